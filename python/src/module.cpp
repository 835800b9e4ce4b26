// The extension module kaltro._core.
#include "bindings.h"

PYBIND11_MODULE(_core, m) {
  m.doc() = "The kaltro solver and trainer library (use the package kaltro)";
  m.attr("__version__") = KALTRO_VERSION;
  kaltro_python::bind_solver(m);
  kaltro_python::bind_trainer(m);
}
