# Installation of the makers' tools and the Debian package "kv3-tools" (cpack -G DEB in the build
# folder). The updater itself, the tests and the benchmarks are not installed: the updater ships
# inside each client installation, built with the maker's key.
include(GNUInstallDirs)

install(TARGETS kv3-publish kv3-update-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages from each program's --help, so they never drift from it.
set(KV3_MAN_DIR "${PROJECT_BINARY_DIR}/man")
set(kv3_man_pages)
foreach(program kv3-publish kv3-update-service)
    if(program STREQUAL "kv3-publish")
        set(summary "release keys, signatures, releases, audits and rehearsals for the Kelvaro 3 updater")
        set(commands "keygen;sign;verify;release;audit;rehearse")
    else()
        set(summary "reference version and banner service for the Kelvaro 3 updater")
        set(commands "")
    endif()
    add_custom_command(OUTPUT "${KV3_MAN_DIR}/${program}.1.gz"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${KV3_MAN_DIR}"
        COMMAND ${CMAKE_COMMAND} "-DPROGRAM=$<TARGET_FILE:${program}>" "-DNAME=${program}"
            "-DSUMMARY=${summary}" "-DCOMMANDS=${commands}" "-DVERSION=${PROJECT_VERSION}"
            "-DOUTPUT=${KV3_MAN_DIR}/${program}.1" -P "${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake"
        COMMAND gzip -9 -n -f "${KV3_MAN_DIR}/${program}.1"
        DEPENDS ${program} "${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake"
        COMMENT "Man page of ${program}"
        VERBATIM)
    list(APPEND kv3_man_pages "${KV3_MAN_DIR}/${program}.1.gz")
endforeach()
add_custom_target(kv3_man_pages ALL DEPENDS ${kv3_man_pages})
install(FILES ${kv3_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The service: its unit (not enabled on install) and the example configuration, a conffile.
install(FILES packaging/kv3-update-service.service DESTINATION lib/systemd/system)
install(FILES packaging/service.ini DESTINATION /etc/kv3-update-service)

set(CPACK_PACKAGE_NAME "kv3-tools")
set(CPACK_PACKAGE_VENDOR "Kelvaro")
set(CPACK_PACKAGE_CONTACT "Kelvaro 3 makers <makers@kelvaro.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kelvaro 3 makers' tools: kv3-publish and kv3-update-service")
set(CPACK_PACKAGE_DESCRIPTION "kv3-publish signs, publishes, audits and rehearses releases for the \
Kelvaro 3 client updater; kv3-update-service answers the updater's version and banner requests \
(systemd unit included, not enabled).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# rehearse runs a private nginx.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "nginx-light | nginx")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/conffiles" "${PROJECT_SOURCE_DIR}/packaging/postinst"
    "${PROJECT_SOURCE_DIR}/packaging/prerm" "${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR "DEB")
include(CPack)
