// Model selection inside the library: rows dealt into folds, and the jobs
// cross-validation and the grid search are made of.  Each job reads only
// the data and its own fold, so jobs may run side by side; the fold
// assignment is made once and is the same for every job.
#ifndef KSVM_SELECT_H
#define KSVM_SELECT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "kaltro_svm.h"

namespace ksvm {

struct FeatureColumns;

/// The fold (0..folds-1) of each of the rows whose class or value is
/// key[i]: the rows shuffled by a generator seeded with `seed`, then dealt
/// round; `stratified`, class by class (in order of first appearance), so
/// each class is spread over the folds as evenly as its size allows.
std::vector<int> deal_folds(const std::vector<double>& key, bool stratified, int folds,
                            std::uint64_t seed);

/// The training rows and the test rows of each fold, in increasing order.
struct FoldRows {
  std::vector<std::vector<int>> train;
  std::vector<std::vector<int>> test;
};
FoldRows fold_rows(const std::vector<int>& fold, int folds);

/// Folds for cross-validating `data` with `params`: at most one per row,
/// stratified for C-SVC.
std::vector<int> folds_for(const Dataset& data, const Params& params, int folds,
                           std::uint64_t seed);

/// One job of cross-validation: the predictions at fold f's test rows of a
/// model trained on its training rows (one class only: that class).
std::vector<double> cross_validate_fold(const Dataset& data, const Params& prm,
                                        const FoldRows& rows, int f);

/// One job of the grid search: the predictions at fold f's test rows for
/// each C of `Cs` (increasing) at prm's kernel, each task's solver walking
/// the values of C in turn.
std::vector<std::vector<double>> grid_fold(const Dataset& data, const Params& prm,
                                           const std::vector<double>& Cs, const FoldRows& rows,
                                           int f);

/// Kernel values between the rows of a training set and all rows of a test
/// set, a column per training row, kept while they fit in `bytes`.
class Columns {
 public:
  Columns(const Dataset& train, const Dataset& test, const KernelParams& p, double bytes);
  ~Columns();
  Columns(const Columns&) = delete;
  Columns& operator=(const Columns&) = delete;
  /// K(training row r, test row t) for every t.
  const double* operator()(int r);

 private:
  const Dataset& train_;
  const Dataset& test_;
  KernelParams p_;
  double room_;
  std::vector<std::vector<double>> kept_;
  std::vector<double> scratch_;
  std::unique_ptr<FeatureColumns> by_feature_;  ///< sparse test rows held by feature, or none
};

}  // namespace ksvm

#endif
