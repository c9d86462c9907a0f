# Makes a compressed manual page from a template: every line ".@HELP ARGS@"
# becomes the text PROGRAM prints for ARGS (its --help), kept as it is laid out
# on the terminal, so that the options are described in one place only.
#   cmake -DTEMPLATE=in -DOUTPUT=page.1.gz [-DPROGRAM=path] -DVERSION=v -P manpage.cmake
file(READ ${TEMPLATE} page)
# A program built with the sanitizers would fail the build for a leak report
# on its way out of --help.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
while(page MATCHES "\n\\.@HELP ([^\n@]*)@\n")
    set(marker "${CMAKE_MATCH_1}")
    separate_arguments(args UNIX_COMMAND "${marker}")
    execute_process(COMMAND ${PROGRAM} ${args} OUTPUT_VARIABLE help RESULT_VARIABLE status
                    ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR help STREQUAL "")
        message(FATAL_ERROR "${PROGRAM} ${marker} gave no help text (${status}): ${err}")
    endif()
    # Roff: a backslash is \e, a minus sign \-, and a line that begins with a
    # dot or an apostrophe would be a request.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REPLACE "-" "\\-" help "${help}")
    set(help "\n${help}")
    string(REPLACE "\n." "\n\\&." help "${help}")
    string(REPLACE "\n'" "\n\\&'" help "${help}")
    string(REPLACE "\n.@HELP ${marker}@\n" "\n.PP\n.nf${help}.fi\n" page "${page}")
endwhile()
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE ${plain} "${page}")
# Compressed as dpkg expects: no name or time stamp inside.
execute_process(COMMAND gzip -9nf ${plain} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${plain} failed")
endif()
