# Installs the package into a scratch prefix and builds the consumer against
# it twice, through find_package and through pkg-config, then runs both.
# MODE is static or shared: the kind of library checked.  The build tree BUILD
# is installed as it is, unless SEPARATE is set: then the sources SOURCE are
# built for MODE (no tests) in a tree of their own.  Further arguments: SRC
# (this folder), VERSION, SOVERSION, LIBDIR, CXX, C, GENERATOR, PKG_CONFIG,
# READELF.
foreach(tool PKG_CONFIG READELF)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} not found (Debian packages pkgconf, binutils)")
  endif()
endforeach()
set(work ${BUILD}/install-${MODE})
set(prefix ${work}/prefix)
file(REMOVE_RECURSE ${work})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
function(expect what path)
  if(what STREQUAL "present" AND NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  elseif(what STREQUAL "absent" AND EXISTS ${prefix}/${path})
    message(FATAL_ERROR "installed, but must not be: ${path}")
  endif()
endfunction()
# The libraries a program needs at run time, as the dynamic section lists them.
function(needed var program)
  run(${READELF} -d ${program})
  string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]*\\]" lines "${out}")
  set(${var} "${lines}" PARENT_SCOPE)
endfunction()

set(tree ${BUILD})
if(SEPARATE)
  set(tree ${work}/tree)
  set(shared OFF)
  if(MODE STREQUAL "shared")
    set(shared ON)
  endif()
  run(${CMAKE_COMMAND} -S ${SOURCE} -B ${tree} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${C} -DBUILD_SHARED_LIBS=${shared}
      -DKALTRO_TESTS=OFF)
  run(${CMAKE_COMMAND} --build ${tree} -j 2)
endif()
run(${CMAKE_COMMAND} --install ${tree} --prefix ${prefix})

# What a consumer and a user find in the prefix; the example is not a program
# to install.
foreach(path include/kaltro/kaltro.h include/kaltro/kaltro_svm.h ${LIBDIR}/pkgconfig/kaltro.pc
             ${LIBDIR}/pkgconfig/kaltro-svm.pc
             ${LIBDIR}/cmake/kaltro/kaltro-config.cmake bin/kaltro-svm bin/ostrel bin/penvik)
  expect(present ${path})
endforeach()
expect(absent bin/kaltro-demo)
expect(absent include/kaltro.h)
set(lib ${prefix}/${LIBDIR}/libkaltro)
if(MODE STREQUAL "shared")
  expect(absent ${LIBDIR}/libkaltro.a)
  foreach(link libkaltro.so libkaltro.so.${SOVERSION})
    if(NOT IS_SYMLINK ${prefix}/${LIBDIR}/${link})
      message(FATAL_ERROR "not a link to the versioned library: ${link}")
    endif()
  endforeach()
  run(${READELF} -d ${lib}.so.${VERSION})
  if(NOT out MATCHES "\\(SONAME\\)[^[]*\\[libkaltro\\.so\\.${SOVERSION}\\]")
    message(FATAL_ERROR "libkaltro.so.${VERSION} lacks the soname libkaltro.so.${SOVERSION}:\n${out}")
  endif()
  # The installed program finds the installed library by itself.
  run(${prefix}/bin/kaltro-svm --version)
  if(NOT out MATCHES "^kaltro-svm ${VERSION}")
    message(FATAL_ERROR "bin/kaltro-svm --version printed: ${out}")
  endif()
else()
  expect(present ${LIBDIR}/libkaltro.a)
  expect(absent ${LIBDIR}/libkaltro.so)
endif()

# The same consumer, built the CMake way and the pkg-config way.
run(${CMAKE_COMMAND} -S ${SRC} -B ${work}/cmake-consumer -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${work}/cmake-consumer)
set(pc ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig ${PKG_CONFIG})
run(${pc} --modversion kaltro)
if(NOT out STREQUAL "${VERSION}\n")
  message(FATAL_ERROR "pkg-config --modversion kaltro printed: ${out}")
endif()
foreach(module kaltro kaltro-svm)
  run(${pc} --cflags ${module})
  separate_arguments(cflags UNIX_COMMAND "${out}")
  run(${pc} --libs ${module})
  separate_arguments(libs UNIX_COMMAND "${out}")
  set(source consumer)
  if(module STREQUAL "kaltro-svm")
    set(source svm_consumer)
  endif()
  run(${CXX} -std=c++17 ${cflags} ${SRC}/${source}.cpp -o ${work}/pc-${source} ${libs})
endforeach()

foreach(consumer ${work}/cmake-consumer/consumer ${work}/cmake-consumer/svm_consumer
                 ${work}/pc-consumer ${work}/pc-svm_consumer)
  needed(libs ${consumer})
  set(want libkaltro)
  if(consumer MATCHES "svm_consumer$")
    set(want libkaltro_svm)
  endif()
  if(MODE STREQUAL "shared" AND NOT libs MATCHES "\\[${want}\\.so\\.${SOVERSION}\\]")
    message(FATAL_ERROR "${consumer} does not load ${want}.so.${SOVERSION}: ${libs}")
  elseif(MODE STREQUAL "static" AND libs MATCHES "libkaltro")
    message(FATAL_ERROR "${consumer} loads a shared libkaltro: ${libs}")
  endif()
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${consumer})
  message(STATUS "${consumer}: ${out}")
endforeach()
