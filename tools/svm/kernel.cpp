#include "kernel.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <utility>

namespace ksvm {

namespace {

constexpr int kExpTable = 128;

struct ExpTable {
  double v[kExpTable];
  ExpTable() {
    for (int j = 0; j < kExpTable; j++)
      v[j] = std::exp2(j / static_cast<double>(kExpTable));
  }
};

const ExpTable exp_table;

inline double as_double(std::uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

inline std::uint64_t as_bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// x = (k / 128) ln 2 + r with k an integer and |r| <= ln 2 / 256, so that
// e^x = 2^(k div 128) * 2^((k mod 128) / 128) * e^r.
inline double exp_inline(double x) {
  if (!(x > -700.0 && x < 700.0))
    return std::exp(x);
  const double shift = 0x1.8p52;             // adding it rounds to an integer
  const double kd0 = x * 0x1.71547652b82fep+7 + shift;  // x * 128 / ln 2
  const std::uint64_t ki = as_bits(kd0);
  const double kd = kd0 - shift;
  const double r = (x - kd * 0x1.62e42fef00000p-8) - kd * 0x1.473de6af278edp-41;
  const double p = r + r * r * (0.5 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120))));
  const double t = exp_table.v[ki % kExpTable];
  const double scale = as_double(as_bits(t) + ((ki / kExpTable) << 52));
  return scale + scale * p;
}

}  // namespace

double exp_fast(double x) { return exp_inline(x); }

double kernel_value(const KernelParams& p, const double* a, double na,
                    const double* b, double nb, int d) {
  double ab = dot(a, b, d);
  switch (p.type) {
    case kLinear:
      return ab;
    case kPolynomial:
      return power(p.gamma * ab + p.coef0, p.degree);
    default:
      return exp_inline(-p.gamma * (na + nb - 2 * ab));
  }
}

namespace {

inline const double* row(const KernelData& k, int i, int d) {
  return k.x + static_cast<size_t>(i) * static_cast<size_t>(d);
}

// D > 0: the number of features is known when the callback is chosen, so the
// dot product unrolls completely (the same sums in the same order as for any
// D, so the values do not change); D == 0 reads it from the data.
template <int D>
inline int width(const KernelData& k) {
  return D > 0 ? D : k.d;
}

template <int D>
double linear_cb(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  const int d = width<D>(k);
  return dot(row(k, a, d), row(k, b, d), d);
}

template <int D>
double polynomial_cb(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  const int d = width<D>(k);
  return power(k.p.gamma * dot(row(k, a, d), row(k, b, d), d) + k.p.coef0, k.p.degree);
}

template <int D>
double rbf_cb(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  const int d = width<D>(k);
  double ab = dot(row(k, a, d), row(k, b, d), d);
  return exp_inline(-k.p.gamma * (k.norm2[a] + k.norm2[b] - 2 * ab));
}

// Callbacks for every width up to kFixedWidths, index 0 the general one.
constexpr int kFixedWidths = 32;

template <int... D>
constexpr std::array<KernelFn, sizeof...(D)> table(int type, std::integer_sequence<int, D...>) {
  return type == kLinear       ? std::array<KernelFn, sizeof...(D)>{linear_cb<D>...}
         : type == kPolynomial ? std::array<KernelFn, sizeof...(D)>{polynomial_cb<D>...}
                               : std::array<KernelFn, sizeof...(D)>{rbf_cb<D>...};
}

}  // namespace

KernelFn kernel_callback(int type, int d) {
  static const auto linear = table(kLinear, std::make_integer_sequence<int, kFixedWidths + 1>());
  static const auto poly = table(kPolynomial, std::make_integer_sequence<int, kFixedWidths + 1>());
  static const auto rbf = table(kRbf, std::make_integer_sequence<int, kFixedWidths + 1>());
  const int i = d >= 1 && d <= kFixedWidths ? d : 0;
  switch (type) {
    case kLinear:
      return linear[static_cast<size_t>(i)];
    case kPolynomial:
      return poly[static_cast<size_t>(i)];
    default:
      return rbf[static_cast<size_t>(i)];
  }
}

}  // namespace ksvm
