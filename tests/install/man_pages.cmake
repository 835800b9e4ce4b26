# Installs the build tree BUILD into a scratch prefix and checks the manual
# pages there: each renders without a warning, each shows the usage lines its
# program prints, and kaltro-svm's holds the whole of the program's --help.
# Further arguments: MANDIR, GROFF.
if(NOT GROFF)
  message(FATAL_ERROR "groff not found (Debian package groff-base)")
endif()
set(prefix ${BUILD}/install-man/prefix)
file(REMOVE_RECURSE ${BUILD}/install-man)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(rc "${rc}" PARENT_SCOPE)
endfunction()
# Text compared word for word: any run of blanks or newlines is one blank.
function(words var text)
  string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")
  string(STRIP "${text}" text)
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed:\n${out}\n${err}")
endif()

# What each program prints that its page must show as printed.
set(shown_kaltro-svm --help)
set(shown_ostrel)   # no argument: the two usage lines
set(shown_penvik)
foreach(program kaltro-svm ostrel penvik)
  set(page ${prefix}/${MANDIR}/man1/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "no manual page ${MANDIR}/man1/${program}.1")
  endif()
  run(${GROFF} -man -Tutf8 -ww -z ${page})
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "${program}.1 does not render cleanly:\n${err}")
  endif()
  run(${GROFF} -man -Tascii -P-cbou ${page})
  words(page_text "${out}")
  run(${prefix}/bin/${program} ${shown_${program}})
  words(printed "${out}")
  string(FIND "${page_text}" "NAME ${program} - " at_name)
  string(FIND "${page_text}" "${printed}" at_printed)
  if(at_name EQUAL -1 OR at_printed EQUAL -1 OR printed STREQUAL "")
    message(FATAL_ERROR "${program}.1 lacks its NAME line or what "
                        "'${program} ${shown_${program}}' prints:\n${printed}\n---\n${page_text}")
  endif()
endforeach()
