// e^x inlined into the kernel's inner loops, on one value and on lanes (see
// exp_fast in kernel.h for its accuracy).  Private to the trainer library.
#ifndef KSVM_FAST_EXP_H
#define KSVM_FAST_EXP_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "lanes.h"

namespace ksvm {

constexpr int kExpTable = 128;

// 2^(j/128) for j in [0, 128).
struct ExpTable {
  double v[kExpTable];
  ExpTable();
};
// Hidden: the inner loops reach it directly, not through the symbol table.
extern const ExpTable exp_table __attribute__((visibility("hidden")));

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

// The arguments it computes itself; it hands the others to std::exp.
inline bool exp_inside(double x) { return x > -700.0 && x < 700.0; }

// x = (k / 128) ln 2 + r with k an integer and |r| <= ln 2 / 256, so that
// e^x = 2^(k div 128) * 2^((k mod 128) / 128) * e^r.
inline double exp_inline(double x) {
  if (!exp_inside(x))
    return std::exp(x);
  const double shift = 0x1.8p52;                        // adding it rounds to an integer
  const double kd0 = x * 0x1.71547652b82fep+7 + shift;  // x * 128 / ln 2
  const std::uint64_t ki = as_bits(kd0);
  const double kd = kd0 - shift;
  const double r = (x - kd * 0x1.62e42fef00000p-8) - kd * 0x1.473de6af278edp-41;
  const double p = r + r * r * (0.5 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120))));
  const double t = exp_table.v[ki % kExpTable];
  const double scale = as_double(as_bits(t) + ((ki / kExpTable) << 52));
  return scale + scale * p;
}

#ifdef KALTRO_LANES

// exp_inline lane by lane, for arguments inside its own range (a lane
// outside gets a meaningless value, to be replaced by std::exp's).
template <class V>
inline V exp_lanes(const V& x) {
  using B = typename V::Bits;
  const V shift = V::all(0x1.8p52);
  const V kd0 = x * V::all(0x1.71547652b82fep+7) + shift;
  const B ki = bits(kd0);
  const V kd = kd0 - shift;
  const V r = (x - kd * V::all(0x1.62e42fef00000p-8)) - kd * V::all(0x1.473de6af278edp-41);
  V q = V::all(1.0 / 24) + r * V::all(1.0 / 120);
  q = V::all(1.0 / 6) + r * q;
  q = V::all(0.5) + r * q;
  const V p = r + r * r * q;
  const V t = V::gather(exp_table.v, ki & B::all(kExpTable - 1));
  const V scale = as_double(bits(t) + ((ki >> 7) << 52));  // (ki / 128) << 52
  return scale + scale * p;
}

#endif

}  // namespace ksvm

#endif
