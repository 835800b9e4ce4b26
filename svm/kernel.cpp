// The kernel formulas and the solver's callback: one evaluation, or the
// answer from entries computed ahead (kernel_ahead.cpp).
#include "kernel.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "fast_exp.h"
#include "kernel_ahead.h"

namespace ksvm {

namespace {

// The kernel from the dot product of two rows and their squared norms.
inline double from_dot(const KernelParams& p, double ab, double na, double nb) {
  switch (p.type) {
    case kLinear:
      return ab;
    case kPolynomial:
      return power(p.gamma * ab + p.coef0, p.degree);
    case kSigmoid:
      return std::tanh(p.gamma * ab + p.coef0);
    default:
      return exp_inline(-p.gamma * (na + nb - 2 * ab));
  }
}

}  // namespace

double kernel_value(const KernelParams& p, const double* a, double na, const double* b, double nb,
                    int d) {
  return from_dot(p, dot(a, b, d), na, nb);
}

double kernel_value(const KernelParams& p, const Dataset& a, int i, const Dataset& b, int j) {
  if (p.type == kPrecomputed)
    return a.at(i, static_cast<int>(b.at(j, 0)));
  const int d = a.d < b.d ? a.d : b.d;  // features beyond either width are 0
  double ab = 0;
  if (!a.sparse && !b.sparse) {
    ab = dot(a.row(i), b.row(j), d);
  } else {
    // Through one dense copy of row i: the same sums as the dense dot.
    std::vector<double> w(static_cast<size_t>(d), 0.0);
    for (int k = 0; k < d; k++)
      w[static_cast<size_t>(k)] = a.at(i, k);
    std::vector<double> v(static_cast<size_t>(d), 0.0);
    for (int k = 0; k < d; k++)
      v[static_cast<size_t>(k)] = b.at(j, k);
    ab = dot(w.data(), v.data(), d);
  }
  return from_dot(p, ab, a.norm2[static_cast<size_t>(i)], b.norm2[static_cast<size_t>(j)]);
}

void kernel_column(const KernelParams& p, const Dataset& sv, const Dataset& z, int i, double* out) {
  for (int s = 0; s < sv.n; s++)
    out[s] = kernel_value(p, z, i, sv, s);  // a precomputed row of z names sv by serial
}

KernelData::KernelData() : ahead(new KernelAhead) {}

KernelData::KernelData(const Dataset& set, const KernelParams& params) : KernelData() {
  data = &set;
  x = set.x.data();
  norm2 = set.norm2.data();
  d = set.d;
  rows = set.n;
  p = params;
}

KernelData::~KernelData() = default;

void KernelData::follow(const int* kidx, int positions) {
  order = kidx;
  n = positions;
  *ahead = KernelAhead();  // a new walk: nothing kept from another
}

namespace {

inline const double* row(const KernelData& k, int i, int d) {
  return k.x + static_cast<size_t>(i) * static_cast<size_t>(d);
}

template <int D>
double single(const KernelData& k, int a, int b) {
  const int d = width<D>(k);
  return from_dot(k.p, dot(row(k, a, d), row(k, b, d), d), k.norm2[a], k.norm2[b]);
}

template <int D>
__attribute__((noinline)) double fresh(KernelData& k, int a, int b) {
  double v;
  return compute_ahead(k, a, b, v) ? v : single<D>(k, a, b);
}

template <int D>
double callback(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  KernelAhead& h = *k.ahead;
  if (a == h.row && h.next < h.end && h.key[h.next] == b)
    return h.val[h.next++];
  return fresh<D>(k, a, b);
}

// A precomputed kernel: K(a, b) is feature `serial of b` of row a.
double precomputed(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  return kernel_value(k.p, *k.data, a, *k.data, b);
}

template <int... D>
constexpr std::array<KernelFn, sizeof...(D)> table(std::integer_sequence<int, D...>) {
  return std::array<KernelFn, sizeof...(D)>{callback<D>...};
}

}  // namespace

KernelFn kernel_callback(int d) {
  static const auto callbacks = table(Widths());
  return callbacks[d >= 1 && d <= kFixedWidths ? static_cast<size_t>(d) : 0];
}

KernelFn KernelData::callback() const {
  return p.type == kPrecomputed ? precomputed : kernel_callback(d);
}

}  // namespace ksvm
