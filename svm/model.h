// What the model writer, prediction and the command line ask of a model.
#ifndef KSVM_MODEL_H
#define KSVM_MODEL_H

#include <vector>

#include "kaltro_svm.h"

namespace ksvm {

/// Throws Failure unless the parts of `m` fit together: the task and kernel
/// known, as many rho values as solves, nr_class - 1 coefficients for each
/// support vector, and (C-SVC) a label and a count for each class.
void check_model(const Model& m);

/// A precomputed kernel's model: the largest serial of its support vectors,
/// the kernel columns a row to predict must hold.
int max_serial(const Model& m);

/// C-SVC's vote over the class pairs (0,1), (0,2), ..., (1,2), ... of k
/// classes with decision values dec: the class with the most votes, ties to
/// the one that comes first.  `votes` is working room.
int vote(int k, const double* dec, std::vector<int>& votes);

}  // namespace ksvm

#endif
