// The three kernels on dense rows with precomputed squared norms, and the
// callbacks that hand them to the solver.
#ifndef KSVM_KERNEL_H
#define KSVM_KERNEL_H

#include <cstddef>
#include <vector>

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
  // At most three left, spelled out (a loop here draws a false warning from
  // the compiler's loop analysis on 32-bit targets).
  if (k < d) {
    s0 += a[k] * b[k];
    if (k + 1 < d) {
      s0 += a[k + 1] * b[k + 1];
      if (k + 2 < d)
        s0 += a[k + 2] * b[k + 2];
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

/// K(a, b) for rows a, b of d entries with squared norms na, nb.
double kernel_value(const KernelParams& p, const double* a, double na,
                    const double* b, double nb, int d);

struct KernelData;

/// K(xa, lane t) for the lanes of a block of rows held in tiles, with their
/// squared norms; see kernel.cpp.
using KernelBlockFn = void (*)(const KernelData& k, const double* xa, double na,
                               const double* tiles, const double* norms, double* out);

/// How many entries of a row a callback computes at once.
constexpr int kAhead = 16;

// What the solver's callback reads: the dense row-major matrix, its squared
// norms and the parameters; counts every evaluation.
//
// The solver asks for a row's entries one by one, walking its positions in
// order.  Given that order (the solver's kidx), a callback computes the
// entries of the next kAhead positions together, in vector registers, and
// answers the following calls from them.  Each value kept is tagged with the
// kernel indices it belongs to, so a call that does not follow the walk
// simply gets its value computed afresh: the answers never depend on the
// guess, and they are the very bits a single evaluation gives.
struct KernelData {
  const double* x = nullptr;
  const double* norm2 = nullptr;
  int d = 0;
  KernelParams p;
  long long evals = 0;

  /// Kernel index at each of n positions, read ahead; null: no reading ahead.
  const int* order = nullptr;
  int n = 0;

  // Entries computed ahead: K(row, key[t]) = val[t] for next <= t < end,
  // key[t] the kernel index at position start + t.
  int row = -1, start = 0, next = 0, end = 0;
  int key[kAhead];
  double val[kAhead];
  std::vector<int> where;   ///< position of each kernel index when last looked up
  std::vector<double> px;   ///< rows copied into position order, in tiles of 8 positions
  std::vector<double> pn;   ///< their squared norms
  std::vector<int> held;    ///< kernel index whose row px holds at each position, or -1
  KernelBlockFn block = nullptr;  ///< computes a block, chosen with the tiles
};

using KernelFn = double (*)(int, int, void*);

/// The callback for rows of d features; its argument is a KernelData with
/// that d, whose p says which kernel.  Small widths get a callback made for
/// them.
KernelFn kernel_callback(int d);

/// Vector width used for entries computed ahead: 1 the build's own
/// instructions, 2 AVX2, 3 AVX-512.
int kernel_simd_level();
/// Use at most `cap` from now on (tests compare the widths); returns the old cap.
int set_kernel_simd_level(int cap);

}  // namespace ksvm

#endif
