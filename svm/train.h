// What training shares with model selection: the tasks laid out as programs
// for the solver, each solve on rows of one data set through kernel
// indices, solved once or along rising values of C.
#ifndef KSVM_TRAIN_H
#define KSVM_TRAIN_H

#include <memory>
#include <vector>

#include "kaltro.h"
#include "kaltro_svm.h"
#include "kernel.h"

namespace ksvm {

/// Byte budget for a cache of `mb` megabytes, clamped to LONG_MAX.
long cache_budget(double mb);

/// The threads a Params::threads value stands for: itself, or for 0 (or
/// less) every thread the machine offers.
int thread_count(int threads);

/// The cache in MB that each of `solves` solves of up to n variables gets
/// when they run side by side on `threads` threads, or 0 when they run one
/// after the other (each with the whole budget, its rows in pieces).
double side_by_side(double cache_mb, int threads, size_t solves, double n);

/// Throws Failure for data or parameters training cannot use.
void check_training(const Dataset& data, const Params& prm);

/// C-SVC's classes: labels in model order (first appearance; two classes met
/// as -1, +1 turned round), the rows of each in increasing order, and the
/// factor on C of each (the product of its weights).
struct Classes {
  std::vector<double> label;
  std::vector<std::vector<int>> rows;
  std::vector<double> weight;
};
Classes csvc_classes(const Dataset& data, const Params& prm);

// One program in a solver, over rows of `data`.  Its boxes are C times a box
// per variable; after a first solve that keeps the solver's state, a solve
// at another C starts from the last solution scaled by the ratio of the two
// (inside the new boxes, with the same sum), with the row cache and the
// active set the solver already has.
class Solve {
 public:
  /// n variables; `paired`: the regression layout, variables i and n/2 + i on row i.
  Solve(const Dataset& data, const Params& prm, int n, bool paired, int trace_level);
  Solve(const Solve&) = delete;
  Solve& operator=(const Solve&) = delete;
  ~Solve();

  KALTRO s;                     ///< lin, x, kidx and equality are the set-up's
  std::vector<double> unit_lo;  ///< box at C = 1 of each variable, in the caller's order
  std::vector<double> unit_hi;

  /// Boxes at C; from the second call on, x scaled by C over the last C.
  void set_bound(double C);
  /// Solve; `keep`: leave the cache and the solver's order for a solve at
  /// another C (finish() ends that).  Fills n, objective, steps, kernel
  /// evaluations, seconds and rho of `r`; throws Failure when the solve fails.
  void run(bool keep, SolveReport& r);
  /// The caller's order back and the cache freed, after runs that kept them.
  void finish();
  /// x of caller variable v, in whichever order the solver holds.
  double x_of(int v) const { return s.x[position_[static_cast<size_t>(v)]]; }
  /// Whether x of caller variable v sits at a bound of its box.
  bool at_bound(int v) const;
  /// The factor on C of data row `row` (Params::row_weight, 1 without).
  double row_factor(int row) const {
    return prm_.row_weight.empty() ? 1.0 : prm_.row_weight[static_cast<size_t>(row)];
  }

 private:
  struct Rows;
  const Params& prm_;
  KernelData kd_;
  std::vector<int> order_;
  std::unique_ptr<Rows> whole_;
  double bound_ = 0;
  bool kept_ = false;
  bool columns_tried_ = false;
  std::vector<int> position_;  ///< position of each caller variable
};

/// C-SVC's program for one class pair: rows ri coded +1 with factor wi on C,
/// then rows rj coded -1 with factor wj; x = 0.
void setup_pair(Solve& t, const std::vector<int>& ri, const std::vector<int>& rj, double wi,
                double wj, bool bias);
/// One-class over all n rows: boxes [0, 1], sum nu n, fixed by the start point.
void setup_one_class(Solve& t, int n, double nu);
/// Epsilon-SVR over all rows of `data`: x[i] = alpha_i in [0, C], x[n + i] =
/// -alpha*_i in [-C, 0], both on row i.
void setup_svr(Solve& t, const Dataset& data, double p);

}  // namespace ksvm

#endif
