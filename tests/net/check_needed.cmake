# cmake -DREADELF=... -DPROGRAM=... -P check_needed.cmake
# Fails unless the program's only needed shared library is libc.
execute_process(COMMAND ${READELF} -d ${PROGRAM}
  OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf -d ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "${PROGRAM} needs: ${needed}")
endif()
