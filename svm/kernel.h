// The kernels on rows with precomputed squared norms, and the callbacks that
// hand them to the solver.
#ifndef KSVM_KERNEL_H
#define KSVM_KERNEL_H

#include <memory>

#include "kaltro_svm.h"

namespace ksvm {

/// a.b over d entries, those of b Step apart.  Four independent sums let
/// the compiler use vector registers without reassociating (no fast-math
/// needed).
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
      s0 += a[k + 1] * b[(k + 1) * Step];
      if (k + 2 < d)
        s0 += a[k + 2] * b[(k + 2) * Step];
    }
  }
  return (s0 + s1) + (s2 + s3);
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
/// kernel, feature `serial of j` of row i of a.
double kernel_value(const KernelParams& p, const Dataset& a, int i, const Dataset& b, int j);

/// K(row s of sv, row i of z) for every row s of sv, into out[0..sv.n-1]:
/// the kernel values a prediction at row i of z needs.
void kernel_column(const KernelParams& p, const Dataset& sv, const Dataset& z, int i, double* out);

struct KernelAhead;

using KernelFn = double (*)(int, int, void*);

// What the solver's callback reads: the dense row-major matrix, its squared
// norms and the parameters; counts every evaluation.
//
// The solver asks for a row's entries one by one, walking its positions in
// order.  Given that order (the solver's kidx), a callback computes the
// entries of the next few positions together, in vector registers, and
// answers the following calls from them.  Each value kept is tagged with the
// kernel indices it belongs to, so a call that does not follow the walk
// simply gets its value computed afresh: the answers never depend on the
// guess, and they are the very bits a single evaluation gives.
struct KernelData {
  const Dataset* data = nullptr;
  const double* x = nullptr;
  const double* norm2 = nullptr;
  int d = 0;
  KernelParams p;
  long long evals = 0;

  /// Kernel index at each of n positions, read ahead; null: no reading ahead.
  const int* order = nullptr;
  int n = 0;
  /// Rows that kernel indices may name (0: n).
  int rows = 0;

  /// The entries computed ahead and the rows copied for them (kernel_ahead.h).
  const std::unique_ptr<KernelAhead> ahead;

  KernelData();
  /// For kernel indices that are rows of `data` (which must outlive this).
  KernelData(const Dataset& data, const KernelParams& p);
  ~KernelData();

  /// The solver's kernel indices of its n positions, so that entries can be
  /// computed ahead along its walk.
  void follow(const int* kidx, int positions);
  /// The callback to hand to the solver, with this object as its argument.
  KernelFn callback() const;
};

/// The callback for rows of d features; its argument is a KernelData with
/// that d, whose p says which kernel.  Small widths get a callback made for
/// them.
KernelFn kernel_callback(int d);

}  // namespace ksvm

#endif
