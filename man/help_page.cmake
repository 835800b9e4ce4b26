# Writes kaltro-svm's manual page: the frame TEMPLATE with the program's own
# --help text in place of @HELP@, so that the page lists the options of the
# very program it is installed with, whatever options it gains.
#
#   cmake -DPROGRAM=path [-DEMULATOR=runner] -DTEMPLATE=kaltro-svm.1.in
#         -DOUTPUT=kaltro-svm.1 -DPROJECT_VERSION=x.y.z -P help_page.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --help
  RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help failed (${rc}): ${err}")
endif()
# Printed as it stands (no filling): backslashes and minus signs escaped, and
# no line may start a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REGEX REPLACE "\n+$" "" HELP "${help}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
