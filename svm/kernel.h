// The kernels on rows with precomputed squared norms, and the callbacks that
// hand them to the solver.
#ifndef KSVM_KERNEL_H
#define KSVM_KERNEL_H

#include <cstddef>
#include <memory>
#include <string>

#include "kaltro_svm.h"

namespace ksvm {

// Every dot product here keeps four running sums and adds the product of
// feature k to sum k & 3, in increasing k, then returns (s0 + s1) + (s2 + s3).
// The rule does not depend on the width, and a feature absent from either row
// adds nothing (a sum starting at +0 never becomes -0, so adding a zero
// product leaves it unchanged): dense and sparse rows give the same bits.
// Four independent sums also let the compiler use vector registers without
// reassociating (no fast-math needed).

/// a.b over d entries, those of b Step apart.
template <int Step = 1>
inline double dot(const double* a, const double* b, int d) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int k = 0;
  for (; k + 4 <= d; k += 4) {
    s0 += a[k] * b[k * Step];
    s1 += a[k + 1] * b[(k + 1) * Step];
    s2 += a[k + 2] * b[(k + 2) * Step];
    s3 += a[k + 3] * b[(k + 3) * Step];
  }
  // At most three left, spelled out (a loop here draws a false warning from
  // the compiler's loop analysis on 32-bit targets).
  if (k < d) {
    s0 += a[k] * b[k * Step];
    if (k + 1 < d) {
      s1 += a[k + 1] * b[(k + 1) * Step];
      if (k + 2 < d)
        s2 += a[k + 2] * b[(k + 2) * Step];
    }
  }
  return (s0 + s1) + (s2 + s3);
}

/// The dot product of a sparse row (m pairs idx/val, idx increasing) with a
/// dense row w that holds every idx.
inline double gather_dot(const int* idx, const double* val, size_t m, const double* w) {
  double s[4] = {0, 0, 0, 0};
  for (size_t e = 0; e < m; e++)
    s[idx[e] & 3] += w[idx[e]] * val[e];
  return (s[0] + s[1]) + (s[2] + s[3]);
}

/// The same for a dense row of wd entries: the pairs from wd on meet zeros.
double gather_dot(const int* idx, const double* val, size_t m, const double* w, int wd);

/// The squared norm of a sparse row.
inline double sparse_norm2(const int* idx, const double* val, size_t m) {
  double s[4] = {0, 0, 0, 0};
  for (size_t e = 0; e < m; e++)
    s[idx[e] & 3] += val[e] * val[e];
  return (s[0] + s[1]) + (s[2] + s[3]);
}

/// Row i of a sparse holding: its pairs and their count.
inline size_t pairs(const Dataset& data, int i, const int*& idx, const double*& val) {
  const size_t b = data.start[static_cast<size_t>(i)];
  idx = data.index.data() + b;
  val = data.value.data() + b;
  return data.start[static_cast<size_t>(i) + 1] - b;
}

/// e^x, within one unit in the last place of the exact value (glibc's exp
/// keeps the same bound), inlined into the kernel's inner loop where the
/// library call costs a third of the training time.  2^(j/128) comes from a
/// table; the remainder, |r| <= ln 2 / 256, from a degree-5 polynomial.
/// Outside [-700, 700] (no RBF kernel of sensible scale gets there) it hands
/// over to std::exp, which also takes care of NaN and infinities.
double exp_fast(double x);

/// v^e for e >= 0 by repeated squaring.
inline double power(double v, int e) {
  double r = 1;
  for (; e > 0; e >>= 1) {
    if (e & 1)
      r *= v;
    v *= v;
  }
  return r;
}

/// K(a, b) for rows a, b of d entries with squared norms na, nb (not for
/// precomputed kernels, whose values are looked up).
double kernel_value(const KernelParams& p, const double* a, double na, const double* b, double nb,
                    int d);

/// K(row i of a, row j of b), for any holdings and widths; for a precomputed
/// kernel, feature `serial of j` of row i of a.  Allocates nothing.
double kernel_value(const KernelParams& p, const Dataset& a, int i, const Dataset& b, int j);

struct FeatureColumns;

/// K(row s of sv, row i of z) for every row s of sv, into out[0..sv.n-1]:
/// the kernel values a prediction at row i of z needs.  A sparse row i meeting
/// sparse support vectors is spread into a work array of z.d doubles kept
/// per thread, or, given sv's rows held by feature (`by_feature`, built over
/// all of sv in its order), summed from their columns where that pays.
void kernel_column(const KernelParams& p, const Dataset& sv, const Dataset& z, int i, double* out,
                   const FeatureColumns* by_feature = nullptr);

/// For a precomputed kernel (rows "0:serial 1:K(i,1) ..."): throws Failure
/// naming `name` when the rows hold fewer than `columns_needed` kernel
/// columns (d - 1), or, with `serials`, naming the row (from 1) whose serial
/// is not an integer from 1 to d - 1.  Test rows need no serials of their
/// own; training rows and support vectors do.
void check_precomputed(const Dataset& data, int columns_needed, const std::string& name,
                       bool serials = true);

struct KernelAhead;

using KernelFn = double (*)(int, int, void*);

// What the solver's callback reads: the data (dense: the row-major matrix x;
// sparse: the pairs of `data`), the squared norms and the parameters; counts
// every evaluation.  Sparse rows are met through a work array holding one
// row densely (kernel_ahead.h): d doubles, or, when the solver's walk is
// followed and the features that occur are far fewer, a double for each of
// them plus an index for each non-zero.
//
// The solver asks for a row's entries one by one, walking its positions in
// order.  Given that order (the solver's kidx), a callback computes the
// entries of the next few positions together, in vector registers, and
// answers the following calls from them.  Each value kept is tagged with the
// kernel indices it belongs to, so a call that does not follow the walk
// simply gets its value computed afresh: the answers never depend on the
// guess, and they are the very bits a single evaluation gives.
//
// With more than one thread, a long walk is computed in pieces by the
// pool's threads while the caller answers from the pieces done.  How far a
// walk goes comes from the solver's active-set size: a walk that starts
// below it fills an active row and ends there; one that starts at or beyond
// it fills a row for the gradient and ends at n.  The solver walks each row
// it fetches to the end, so no piece is still being computed when it next
// reorders its variables; any call off the walk ends the stretch (waiting
// for the pieces under way) before it is answered.
struct KernelData {
  const Dataset* data = nullptr;
  const double* x = nullptr;
  const double* norm2 = nullptr;
  int d = 0;
  KernelParams p;
  /// When raised, the next block computed (or entry off the walk) throws Interrupted.
  const std::atomic<bool>* stop = nullptr;

  /// Kernel index at each of n positions, read ahead; null: no reading ahead.
  const int* order = nullptr;
  int n = 0;
  /// Rows that kernel indices may name (0: n).
  int rows = 0;
  /// The solver's active-set size, where walks below it end; null: walks are
  /// not computed in pieces.
  const int* active = nullptr;
  /// Threads (the caller's included) that compute long walks; 1: blocks only.
  int threads = 1;
  /// Walks shorter than this stay in blocks on the caller's thread
  /// (kernel_ahead.h: kStretchMin; tests and measurements lower it).
  int stretch_min;

  /// The entries computed ahead and the rows copied for them (kernel_ahead.h).
  std::unique_ptr<KernelAhead> ahead;

  /// Evaluations counted so far.  An answer taken from entries computed
  /// ahead only moves the walk on (a count in memory on every call cost 5-7%
  /// of a training run); such answers are added on the next call that does
  /// more.  On a cache line of its own (the last): the threads that compute
  /// pieces of a walk read the fields above all along.
  alignas(64) long long evals = 0;

  KernelData();
  /// For kernel indices that are rows of `data` (which must outlive this).
  KernelData(const Dataset& data, const KernelParams& p);
  ~KernelData();

  /// The solver's kernel indices of its n positions, so that entries can be
  /// computed ahead along its walk; with the solver's active-set size (its
  /// field l), long walks are computed in pieces on `threads` threads.
  void follow(const int* kidx, int positions, const int* active_size = nullptr);
  /// Sparse data, after follow() with the walk's kernel indices in place:
  /// holds its rows by feature as well (feature_columns.h), so that a long walk
  /// sums the columns of one row instead of gathering every row, where that
  /// is cheaper.  Built when that takes at most `budget` bytes and pays on
  /// average; when the budget takes fewer rows, of those at the walk's first
  /// positions, at least an eighth of them (the others gathered).  Returns the
  /// bytes taken (0: none built).
  size_t build_columns(size_t budget);
  /// The callback to hand to the solver, with this object as its argument.
  /// It answers each kernel value rounded to single precision, all that the
  /// solver keeps of it (so entries computed ahead are held as floats).
  KernelFn callback() const;
  /// Every value handed out so far: evals and the answers not yet added to it.
  long long evaluations() const;
};

/// The callback for rows of d features; its argument is a KernelData with
/// that d, whose p says which kernel.  Small widths get a callback made for
/// them.
KernelFn kernel_callback(int d);

}  // namespace ksvm

#endif
