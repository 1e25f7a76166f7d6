# Settings every target of the project links: language level, warnings, and the Qt macros that
# keep signal/slot code unambiguous.
add_library(kv3_common INTERFACE)
target_compile_features(kv3_common INTERFACE cxx_std_17)
target_compile_options(kv3_common INTERFACE -Wall -Wextra $<$<BOOL:${KV3_WERROR}>:-Werror>)
target_compile_definitions(kv3_common INTERFACE
    QT_NO_KEYWORDS
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_USE_QSTRINGBUILDER)

# Sanitized builds (scripts/test.sh --sanitize): every object and every link, the test helpers and
# the preloaded UI driver included, so that no allocation escapes the checks. Any finding ends the
# process: undefined behaviour does not recover.
if(KV3_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
    # A program started with LD_PRELOAD must have the ASan runtime first in its library list.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE KV3_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

# Fuzz builds (bench/fuzz/run.sh): coverage for libFuzzer in every object, and the same sanitizers.
if(KV3_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "KV3_BUILD_FUZZ needs clang (libFuzzer), e.g. CXX=clang++-14")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
