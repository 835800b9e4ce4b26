// The parts of the extension module kaltro._core, one per layer bound.
#ifndef KALTRO_PYTHON_BINDINGS_H
#define KALTRO_PYTHON_BINDINGS_H

#include <pybind11/pybind11.h>

namespace kaltro_python {

/// kaltro.solve, kaltro.Problem and kaltro.SolverError: the solver itself.
void bind_solver(pybind11::module_& m);

/// Data sets, parameters, models, training and prediction: the trainer library.
void bind_trainer(pybind11::module_& m);

/// An output sink for the solver that writes to Python's sys.stdout, taking
/// the GIL for each text (the solver may run without it).
void write_python_stdout(const char* text, bool flush, void* arg);

}  // namespace kaltro_python

#endif
