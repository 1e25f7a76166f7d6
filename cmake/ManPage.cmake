# Writes a man page from a program's --help text (script mode):
#   cmake -DPROGRAM=path -DNAME=kv3-publish -DSUMMARY="..." [-DCOMMANDS="a;b"] -DVERSION=x
#         -DOUTPUT=file.1 -P ManPage.cmake
# The help text is kept as it stands, in a no-fill block, so the page says exactly what --help says;
# with COMMANDS, each subcommand's "NAME COMMAND --help" follows in a section of its own.
foreach(required PROGRAM NAME SUMMARY VERSION OUTPUT)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "ManPage.cmake: ${required} is not set")
    endif()
endforeach()

function(help_text out)
    execute_process(COMMAND "${PROGRAM}" ${ARGN} --help
        OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed (${result}): ${errors}")
    endif()
    # Qt names the program by the path it was started with; the page names it by its name.
    string(REPLACE "${PROGRAM}" "${NAME}" text "${text}")
    # roff: a backslash is written as \e; a line that starts with "." or "'" would be a request.
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(TOUPPER "${NAME}" title)
# Honours SOURCE_DATE_EPOCH, for reproducible pages.
string(TIMESTAMP date "%Y-%m-%d" UTC)
help_text(main)
set(page ".TH ${title} 1 \"${date}\" \"${NAME} ${VERSION}\" \"Kelvaro 3 makers' tools\"\n")
string(APPEND page ".SH NAME\n${NAME} \\- ${SUMMARY}\n.SH DESCRIPTION\n.nf\n${main}\n.fi\n")
foreach(command IN LISTS COMMANDS)
    help_text(text ${command})
    string(TOUPPER "${command}" heading)
    string(APPEND page ".SH COMMAND ${heading}\n.nf\n${text}\n.fi\n")
endforeach()
string(APPEND page ".SH SEE ALSO\n")
if(NAME STREQUAL "kv3-publish")
    string(APPEND page ".BR kv3-update-service (1)\n")
else()
    string(APPEND page ".BR kv3-publish (1)\n")
endif()
file(WRITE "${OUTPUT}" "${page}")
