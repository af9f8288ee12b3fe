# Turns one scdoc page into roff and gzips it, failing on any warning groff
# gives while typesetting it: a page that renders badly fails the build, not
# the reader. Run with cmake -P and -DSCDOC= -DGROFF= -DGZIP= -DIN= -DOUT=.

get_filename_component(name "${OUT}" NAME)
string(REGEX REPLACE "\\.gz$" "" roff "${OUT}")

execute_process(COMMAND "${SCDOC}" INPUT_FILE "${IN}" OUTPUT_VARIABLE page
                ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "scdoc ${IN}: ${errors}")
endif()
# The tables need tbl; this first line is how man-db learns it.
file(WRITE "${roff}" "'\\\" t\n${page}")

execute_process(COMMAND "${GROFF}" -t -man -ww -z -Tutf8 "${roff}"
                OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "${name}: groff reports\n${warnings}")
endif()

execute_process(COMMAND "${GZIP}" -9nf "${roff}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip ${roff} failed")
endif()
