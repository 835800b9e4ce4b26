// Training a two-class kernel classifier with the solver, and prediction
// with a model.
#ifndef KSVM_TRAIN_H
#define KSVM_TRAIN_H

#include <string>
#include <vector>

#include "dataset.h"
#include "kernel.h"
#include "model.h"

namespace ksvm {

struct TrainOptions {
  KernelParams kernel;  ///< gamma is used as given
  double C = 1;
  double eps = 0.001;  ///< the solver's eps_gap
  double cache_mb = 100;
  int trace_level = 1;
  bool bias = true;  ///< false: no equality constraint, bias 0
};

struct TrainResult {
  Model model;
  double objective = 0;  ///< the solver's w
  int steps = 0;
  long long kernel_evals = 0;
  int support_vectors = 0;
  int bounded = 0;     ///< support vectors at C
  double bias = 0;     ///< b in f(z) = sum_i x_i K(x_i, z) + b, first label positive
  int correct = 0;     ///< training examples on the right side of the model's decision
  double seconds = 0;  ///< wall time of the solve
};

/// Byte budget for a cache of `mb` megabytes, clamped to LONG_MAX.
long cache_budget(double mb);

/// Train on `data`, which must hold exactly two labels; the first label met
/// is the positive class.  Throws Failure when the solver reports an error.
TrainResult train(const Dataset& data, const TrainOptions& opt);

/// Model labels for every row of `data`.  The narrower of the two is widened
/// first (absent features are 0); `name` names the data in messages.
std::vector<double> predict(Model& m, Dataset& data, const std::string& name);

}  // namespace ksvm

#endif
