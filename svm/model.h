// Two-class models in the text format of the common SVM tools: a header of
// "key value" lines, "SV", then one support vector per line as
// "coefficient index:value ...".  The decision value is
// sum_j coef_j K(sv_j, z) - rho; positive means label[0].
#ifndef KSVM_MODEL_H
#define KSVM_MODEL_H

#include <string>

#include "dataset.h"
#include "kernel.h"

namespace ksvm {

struct Model {
  KernelParams kernel;
  double label[2] = {1, -1};
  double rho = 0;
  int nr_sv[2] = {0, 0};  ///< support vectors of label[0], then of label[1]
  Dataset sv;             ///< the support vectors; sv.head holds their coefficients
};

/// Write `m` to `path`; throws Failure when the file cannot be written.
void write_model(const std::string& path, const Model& m);

/// Read a model; throws Failure naming the file, line and fault for anything
/// it cannot use (other model types, kernels or class counts included).
Model read_model(const std::string& path);

/// Decision value at z, a row of m.sv.d entries with squared norm nz.
double decision_value(const Model& m, const double* z, double nz);

}  // namespace ksvm

#endif
