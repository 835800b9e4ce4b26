# Formats the project's C and C++ sources in place with clang-format, or, with
# -DCHECK=ON, names those that differ from .clang-format and fails.
#
#   cmake [-DCHECK=ON] [-DCLANG_FORMAT=/path/to/clang-format] -P cmake/format.cmake
#
# Output differs between clang-format versions; the reference is Debian's
# clang-format (version 14).
cmake_minimum_required(VERSION 3.25)
get_filename_component(root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)

if(NOT CLANG_FORMAT)
  find_program(CLANG_FORMAT NAMES clang-format-14 clang-format)
  if(NOT CLANG_FORMAT)
    message(FATAL_ERROR "clang-format not found (Debian package clang-format)")
  endif()
endif()

# Every folder with sources of the project; build trees are never among them.
set(patterns)
foreach(dir solver svm tools python server client examples tests bench cmake)
  foreach(ext c cpp h)
    list(APPEND patterns ${root}/${dir}/*.${ext})
  endforeach()
endforeach()
file(GLOB_RECURSE sources LIST_DIRECTORIES false RELATIVE ${root} ${patterns})
list(SORT sources)
list(LENGTH sources count)

if(NOT CHECK)
  execute_process(COMMAND ${CLANG_FORMAT} --style=file -i ${sources}
                  WORKING_DIRECTORY ${root} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CLANG_FORMAT} failed: ${status}")
  endif()
  message(STATUS "${count} sources formatted")
  return()
endif()

# One file at a time, so that the end can name every file that differs; the
# first three places in each are shown.
set(differ)
foreach(file ${sources})
  execute_process(COMMAND ${CLANG_FORMAT} --style=file --dry-run --Werror --ferror-limit=3 ${file}
                  WORKING_DIRECTORY ${root} RESULT_VARIABLE status ERROR_VARIABLE places)
  if(NOT status EQUAL 0)
    message("${places}")
    list(APPEND differ ${file})
  endif()
endforeach()
if(differ)
  list(LENGTH differ n)
  list(JOIN differ "\n  " names)
  message(FATAL_ERROR "${n} of ${count} sources differ from .clang-format "
                      "(./dev.sh format rewrites them):\n  ${names}")
endif()
message(STATUS "${count} sources follow .clang-format")
