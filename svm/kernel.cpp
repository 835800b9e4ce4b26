// The kernel formulas and the solver's callback: one evaluation, or the
// answer from entries computed ahead (kernel_ahead.cpp).
#include "kernel.h"

#include <array>
#include <cstddef>
#include <utility>

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
    default:
      return exp_inline(-p.gamma * (na + nb - 2 * ab));
  }
}

}  // namespace

double kernel_value(const KernelParams& p, const double* a, double na, const double* b, double nb,
                    int d) {
  return from_dot(p, dot(a, b, d), na, nb);
}

KernelData::KernelData() : ahead(new KernelAhead) {}
KernelData::~KernelData() = default;

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

template <int... D>
constexpr std::array<KernelFn, sizeof...(D)> table(std::integer_sequence<int, D...>) {
  return std::array<KernelFn, sizeof...(D)>{callback<D>...};
}

}  // namespace

KernelFn kernel_callback(int d) {
  static const auto callbacks = table(Widths());
  return callbacks[d >= 1 && d <= kFixedWidths ? static_cast<size_t>(d) : 0];
}

}  // namespace ksvm
