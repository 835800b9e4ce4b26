# Installs the package with pip into a scratch virtual environment that sees
# the system's packages (numpy, scipy, scikit-learn), as the README shows,
# then imports it there and trains once.  Arguments: PYTHON, SOURCE, WORK,
# VERSION.  The pip build tree WORK/build is kept between runs (rebuilt as
# needed); the environment is made anew.
set(venv ${WORK}/venv)
file(REMOVE_RECURSE ${venv})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${WORK})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY ${WORK})
run(${PYTHON} -m venv --system-site-packages ${venv})
run(${CMAKE_COMMAND} -E env KALTRO_BUILD_BASE=${WORK}/build CMAKE_BUILD_PARALLEL_LEVEL=2
    ${venv}/bin/python3 -m pip install --no-build-isolation --no-index --no-cache-dir ${SOURCE})
run(${venv}/bin/python3 -c [=[
import kaltro, numpy as np
X = np.array([[0.0, 0], [0, 1], [1, 0], [1, 1]])
print(kaltro.__version__, kaltro.__file__, kaltro.SVC(kernel="linear").fit(X, X[:, 0]).predict(X).tolist())
]=])
set(want "${VERSION} ${venv}/lib/")
string(FIND "${out}" "${want}" at)
if(NOT at EQUAL 0 OR NOT out MATCHES "/site-packages/kaltro/__init__.py \\[0\\.0, 0\\.0, 1\\.0, 1\\.0\\]")
  message(FATAL_ERROR "expected version ${VERSION}, the package in ${venv} and the "
                      "predictions [0.0, 0.0, 1.0, 1.0]; got: ${out}")
endif()
message(STATUS "${out}")
