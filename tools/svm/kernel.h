// The three kernels on dense rows with precomputed squared norms, and the
// callbacks that hand them to the solver.
#ifndef KSVM_KERNEL_H
#define KSVM_KERNEL_H

#include <cstddef>

namespace ksvm {

enum KernelType { kLinear = 0, kPolynomial = 1, kRbf = 2 };

struct KernelParams {
  int type = kRbf;
  int degree = 3;      ///< polynomial only
  double gamma = 0;    ///< polynomial and RBF
  double coef0 = 0;    ///< polynomial only
};

/// a.b over d entries.  Four independent sums let the compiler use vector
/// registers without reassociating (no fast-math needed).
inline double dot(const double* a, const double* b, int d) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int k = 0;
  for (; k + 4 <= d; k += 4) {
    s0 += a[k] * b[k];
    s1 += a[k + 1] * b[k + 1];
    s2 += a[k + 2] * b[k + 2];
    s3 += a[k + 3] * b[k + 3];
  }
  for (; k < d; k++)
    s0 += a[k] * b[k];
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

/// K(a, b) for rows a, b of d entries with squared norms na, nb.
double kernel_value(const KernelParams& p, const double* a, double na,
                    const double* b, double nb, int d);

// What the solver's callback reads: the dense row-major matrix, its squared
// norms and the parameters; counts every evaluation.
struct KernelData {
  const double* x = nullptr;
  const double* norm2 = nullptr;
  int d = 0;
  KernelParams p;
  long long evals = 0;
};

using KernelFn = double (*)(int, int, void*);

/// The callback for p.type on rows of d features; its argument is a
/// KernelData with that d.  Small widths get a callback made for them.
KernelFn kernel_callback(int type, int d);

}  // namespace ksvm

#endif
