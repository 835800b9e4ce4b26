# Installs the build tree into a scratch prefix, then configures, builds and
# runs the consumer against it.  Arguments: BUILD (build tree), SRC (this folder).
set(work ${BUILD}/install-check)
file(REMOVE_RECURSE ${work})
foreach(step
    "${CMAKE_COMMAND};--install;${BUILD};--prefix;${work}/prefix"
    "${CMAKE_COMMAND};-S;${SRC};-B;${work}/consumer;-DCMAKE_PREFIX_PATH=${work}/prefix"
    "${CMAKE_COMMAND};--build;${work}/consumer"
    "${work}/consumer/consumer")
  execute_process(COMMAND ${step} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${step}\n${out}\n${err}")
  endif()
endforeach()
message(STATUS "${out}")
