#include "kernel.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

double kernel_value(const KernelParams& p, const double* a, double na,
                    const double* b, double nb, int d) {
  return from_dot(p, dot(a, b, d), na, nb);
}

namespace {

// D > 0: the number of features is known when the callback or the block is
// chosen, so the dot product unrolls completely (the same sums in the same
// order as for any D, so the values do not change); D == 0 reads it from the
// data.
template <int D>
inline int width(const KernelData& k) {
  return D > 0 ? D : k.d;
}

// Callbacks and blocks are made for every width up to this one.
constexpr int kFixedWidths = 32;
using Widths = std::make_integer_sequence<int, kFixedWidths + 1>;

// ---- kAhead entries at once ----
//
// The same operations as one evaluation, lane by lane: no contraction and no
// reassociation, so every lane gets the bits of kernel_value.

// Positions are held in tiles of kTile: feature i of the tile's lane t at
// tile[i * kTile + t], so that one load brings feature i of kTile rows.
constexpr int kTile = 8;

// A block is two tiles.
static_assert(kAhead == 2 * kTile, "a block is two tiles");

void block_plain(const KernelData& k, const double* xa, double na, const double* tiles,
                 const double* norms, double* out) {
  const int d = k.d;
  for (int t = 0; t < kAhead; t++) {
    // dot(), reading the row down its tile.
    const double* c = tiles + static_cast<std::ptrdiff_t>(t / kTile) * kTile * d + t % kTile;
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int i = 0;
    for (; i + 4 <= d; i += 4) {
      s0 += xa[i] * c[i * kTile];
      s1 += xa[i + 1] * c[(i + 1) * kTile];
      s2 += xa[i + 2] * c[(i + 2) * kTile];
      s3 += xa[i + 3] * c[(i + 3) * kTile];
    }
    for (; i < d; i++)
      s0 += xa[i] * c[i * kTile];
    out[t] = from_dot(k.p, (s0 + s1) + (s2 + s3), na, norms[t]);
  }
}

// Vector blocks on 64-bit x86 only.  32-bit builds get tested under an
// emulator, which computed wrong table lookups in the AVX2 block; a path
// that cannot be checked must not decide kernel values.
#if defined(__x86_64__)
#define KSVM_X86_VECTORS 1

// dot() of xa against every lane of a block: feature i of the lanes in one
// register, dot()'s four running sums in four registers, the features left
// over added to the first, then (s0 + s1) + (s2 + s3).
template <int D>
__attribute__((target("avx2"), always_inline)) inline void dots4(const KernelData& k,
                                                                 const double* xa,
                                                                 const double* tiles, double* ab) {
  const int d = width<D>(k);
  for (int h = 0; h < kAhead / 4; h++) {
    const double* c = tiles + static_cast<std::ptrdiff_t>(h / 2) * kTile * d + (h % 2) * 4;
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    int i = 0;
    for (; i + 4 <= d; i += 4) {
      s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_set1_pd(xa[i]), _mm256_loadu_pd(c + i * kTile)));
      s1 = _mm256_add_pd(s1, _mm256_mul_pd(_mm256_set1_pd(xa[i + 1]), _mm256_loadu_pd(c + (i + 1) * kTile)));
      s2 = _mm256_add_pd(s2, _mm256_mul_pd(_mm256_set1_pd(xa[i + 2]), _mm256_loadu_pd(c + (i + 2) * kTile)));
      s3 = _mm256_add_pd(s3, _mm256_mul_pd(_mm256_set1_pd(xa[i + 3]), _mm256_loadu_pd(c + (i + 3) * kTile)));
    }
    for (; i < d; i++)
      s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_set1_pd(xa[i]), _mm256_loadu_pd(c + i * kTile)));
    _mm256_store_pd(ab + 4 * h, _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
  }
}

// The same, a whole tile per register.
template <int D>
__attribute__((target("avx512f"), always_inline)) inline void dots8(const KernelData& k,
                                                                    const double* xa,
                                                                    const double* tiles,
                                                                    double* ab) {
  const int d = width<D>(k);
  for (int h = 0; h < kAhead / kTile; h++) {
    const double* c = tiles + static_cast<std::ptrdiff_t>(h) * kTile * d;
    __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    int i = 0;
    for (; i + 4 <= d; i += 4) {
      s0 = _mm512_add_pd(s0, _mm512_mul_pd(_mm512_set1_pd(xa[i]), _mm512_loadu_pd(c + i * kTile)));
      s1 = _mm512_add_pd(s1, _mm512_mul_pd(_mm512_set1_pd(xa[i + 1]), _mm512_loadu_pd(c + (i + 1) * kTile)));
      s2 = _mm512_add_pd(s2, _mm512_mul_pd(_mm512_set1_pd(xa[i + 2]), _mm512_loadu_pd(c + (i + 2) * kTile)));
      s3 = _mm512_add_pd(s3, _mm512_mul_pd(_mm512_set1_pd(xa[i + 3]), _mm512_loadu_pd(c + (i + 3) * kTile)));
    }
    for (; i < d; i++)
      s0 = _mm512_add_pd(s0, _mm512_mul_pd(_mm512_set1_pd(xa[i]), _mm512_loadu_pd(c + i * kTile)));
    _mm512_store_pd(ab + kTile * h, _mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
  }
}

// What the kernel does with the dot products, on lanes of any width (the
// compiler vectorises these loops).  Returns false for the RBF kernel, whose
// exp arguments are left in arg for the caller.
__attribute__((always_inline)) inline bool finish(const KernelData& k, double na,
                                                  const double* norms, const double* ab,
                                                  double* out, double* arg) {
  switch (k.p.type) {
    case kLinear:
      for (int t = 0; t < kAhead; t++)
        out[t] = ab[t];
      return true;
    case kPolynomial: {
      double v[kAhead];
      for (int t = 0; t < kAhead; t++) {
        v[t] = k.p.gamma * ab[t] + k.p.coef0;
        out[t] = 1;
      }
      for (int e = k.p.degree; e > 0; e >>= 1) {  // power(), lane by lane
        if (e & 1)
          for (int t = 0; t < kAhead; t++)
            out[t] *= v[t];
        for (int t = 0; t < kAhead; t++)
          v[t] *= v[t];
      }
      return true;
    }
    default: {
      const double g = -k.p.gamma;
      for (int t = 0; t < kAhead; t++)
        arg[t] = g * (na + norms[t] - 2 * ab[t]);
      return false;
    }
  }
}

// Lanes whose argument exp_inline hands to std::exp.
inline void exp_outside(const double* arg, double* out) {
  for (int t = 0; t < kAhead; t++)
    if (!(arg[t] > -700.0 && arg[t] < 700.0))
      out[t] = std::exp(arg[t]);
}

// exp_inline on four lanes (x is 0 on lanes it hands over).
__attribute__((target("avx2"))) inline __m256d exp4(__m256d x) {
  const __m256d shift = _mm256_set1_pd(0x1.8p52);
  const __m256d kd0 = _mm256_add_pd(_mm256_mul_pd(x, _mm256_set1_pd(0x1.71547652b82fep+7)), shift);
  const __m256i ki = _mm256_castpd_si256(kd0);
  const __m256d kd = _mm256_sub_pd(kd0, shift);
  const __m256d r =
      _mm256_sub_pd(_mm256_sub_pd(x, _mm256_mul_pd(kd, _mm256_set1_pd(0x1.62e42fef00000p-8))),
                    _mm256_mul_pd(kd, _mm256_set1_pd(0x1.473de6af278edp-41)));
  __m256d q = _mm256_add_pd(_mm256_set1_pd(1.0 / 24), _mm256_mul_pd(r, _mm256_set1_pd(1.0 / 120)));
  q = _mm256_add_pd(_mm256_set1_pd(1.0 / 6), _mm256_mul_pd(r, q));
  q = _mm256_add_pd(_mm256_set1_pd(0.5), _mm256_mul_pd(r, q));
  const __m256d p = _mm256_add_pd(r, _mm256_mul_pd(_mm256_mul_pd(r, r), q));
  const __m256i j = _mm256_and_si256(ki, _mm256_set1_epi64x(kExpTable - 1));
  const __m256d tv = _mm256_i64gather_pd(exp_table.v, j, 8);
  const __m256i e = _mm256_slli_epi64(_mm256_srli_epi64(ki, 7), 52);  // (ki / 128) << 52
  const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(tv), e));
  return _mm256_add_pd(scale, _mm256_mul_pd(scale, p));
}

// The compiler's own headers start some AVX-512 operations from an undefined
// register, which its flow analysis then reports; nothing here reads one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The same on eight lanes.
__attribute__((target("avx512f"))) inline __m512d exp8(__m512d x) {
  const __m512d shift = _mm512_set1_pd(0x1.8p52);
  const __m512d kd0 = _mm512_add_pd(_mm512_mul_pd(x, _mm512_set1_pd(0x1.71547652b82fep+7)), shift);
  const __m512i ki = _mm512_castpd_si512(kd0);
  const __m512d kd = _mm512_sub_pd(kd0, shift);
  const __m512d r =
      _mm512_sub_pd(_mm512_sub_pd(x, _mm512_mul_pd(kd, _mm512_set1_pd(0x1.62e42fef00000p-8))),
                    _mm512_mul_pd(kd, _mm512_set1_pd(0x1.473de6af278edp-41)));
  __m512d q = _mm512_add_pd(_mm512_set1_pd(1.0 / 24), _mm512_mul_pd(r, _mm512_set1_pd(1.0 / 120)));
  q = _mm512_add_pd(_mm512_set1_pd(1.0 / 6), _mm512_mul_pd(r, q));
  q = _mm512_add_pd(_mm512_set1_pd(0.5), _mm512_mul_pd(r, q));
  const __m512d p = _mm512_add_pd(r, _mm512_mul_pd(_mm512_mul_pd(r, r), q));
  const __m512i j = _mm512_and_si512(ki, _mm512_set1_epi64(kExpTable - 1));
  const __m512d tv = _mm512_i64gather_pd(j, exp_table.v, 8);
  const __m512i e = _mm512_slli_epi64(_mm512_srli_epi64(ki, 7), 52);  // (ki / 128) << 52
  const __m512d scale = _mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(tv), e));
  return _mm512_add_pd(scale, _mm512_mul_pd(scale, p));
}

template <int D>
__attribute__((target("avx2"))) void block_avx2(const KernelData& k, const double* xa, double na,
                                                const double* tiles, const double* norms,
                                                double* out) {
  alignas(32) double ab[kAhead], arg[kAhead];
  dots4<D>(k, xa, tiles, ab);
  if (finish(k, na, norms, ab, out, arg))
    return;
  const __m256d lo = _mm256_set1_pd(-700.0), hi = _mm256_set1_pd(700.0);
  int inside = 0xf;
  for (int t = 0; t < kAhead; t += 4) {
    const __m256d in = _mm256_load_pd(arg + t);
    const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(in, lo, _CMP_GT_OQ),
                                     _mm256_cmp_pd(in, hi, _CMP_LT_OQ));
    inside &= _mm256_movemask_pd(ok);
    _mm256_storeu_pd(out + t, exp4(_mm256_and_pd(in, ok)));
  }
  if (inside != 0xf)
    exp_outside(arg, out);
}

template <int D>
__attribute__((target("avx512f"))) void block_avx512(const KernelData& k, const double* xa,
                                                     double na, const double* tiles,
                                                     const double* norms, double* out) {
  alignas(64) double ab[kAhead], arg[kAhead];
  dots8<D>(k, xa, tiles, ab);
  if (finish(k, na, norms, ab, out, arg))
    return;
  const __m512d lo = _mm512_set1_pd(-700.0), hi = _mm512_set1_pd(700.0);
  unsigned inside = 0xff;
  for (int t = 0; t < kAhead; t += 8) {
    const __m512d in = _mm512_load_pd(arg + t);
    const __mmask8 ok =
        _mm512_cmp_pd_mask(in, lo, _CMP_GT_OQ) & _mm512_cmp_pd_mask(in, hi, _CMP_LT_OQ);
    inside &= ok;
    _mm512_storeu_pd(out + t, exp8(_mm512_maskz_mov_pd(ok, in)));
  }
  if (inside != 0xff)
    exp_outside(arg, out);
}

#pragma GCC diagnostic pop

template <int... D>
constexpr std::array<KernelBlockFn, sizeof...(D)> avx2_blocks(std::integer_sequence<int, D...>) {
  return std::array<KernelBlockFn, sizeof...(D)>{block_avx2<D>...};
}

template <int... D>
constexpr std::array<KernelBlockFn, sizeof...(D)> avx512_blocks(std::integer_sequence<int, D...>) {
  return std::array<KernelBlockFn, sizeof...(D)>{block_avx512<D>...};
}

int detect_level() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f"))
    return 3;
  return __builtin_cpu_supports("avx2") ? 2 : 1;
}
#else
int detect_level() { return 1; }
#endif

int level_cap = 3;

inline int level() {
  static const int best = detect_level();
  return best < level_cap ? best : level_cap;
}

// The function for k.d features at the vector width chosen at start-up.
KernelBlockFn block_for(int d) {
#ifdef KSVM_X86_VECTORS
  static const auto wide = avx512_blocks(Widths());
  static const auto narrow = avx2_blocks(Widths());
  const size_t w = d >= 1 && d <= kFixedWidths ? static_cast<size_t>(d) : 0;
  switch (level()) {
    case 3:
      return wide[w];
    case 2:
      return narrow[w];
    default:
      break;
  }
#else
  (void)d;
#endif
  return block_plain;
}

// ---- the callbacks ----

inline const double* row(const KernelData& k, int i, int d) {
  return k.x + static_cast<size_t>(i) * static_cast<size_t>(d);
}

template <int D>
double single(const KernelData& k, int a, int b) {
  const int d = width<D>(k);
  return from_dot(k.p, dot(row(k, a, d), row(k, b, d), d), k.norm2[a], k.norm2[b]);
}

// Position of kernel index b in the solver's order, or -1.  The table is
// rebuilt when it has gone stale, which happens about once after each
// reordering of the solver's variables.
int locate(KernelData& k, int b) {
  if (!k.order || b < 0 || b >= k.n)
    return -1;
  const size_t n = static_cast<size_t>(k.n);
  if (k.where.size() == n) {
    const int p = k.where[static_cast<size_t>(b)];
    if (p >= 0 && k.order[p] == b)
      return p;
  }
  k.where.assign(n, -1);
  for (int p = 0; p < k.n; p++) {
    const int q = k.order[p];
    if (q < 0 || q >= k.n) {
      k.order = nullptr;  // not a set of rows: never read ahead
      return -1;
    }
    k.where[static_cast<size_t>(q)] = p;
  }
  const int p = k.where[static_cast<size_t>(b)];
  return p >= 0 && k.order[p] == b ? p : -1;
}

// Computes the block of the two tiles from position p (rounded down to a
// tile) for row a and returns the entry of position p.  The rows of the
// block are copied, as they are needed, into tiles kept in the solver's
// position order, so that a block reads one stretch of memory however the
// solver has reordered its variables, and one load fetches a feature of
// kTile rows.
template <int D>
__attribute__((noinline)) double fill_block(KernelData& k, int a, int b, int p) {
  const int d = width<D>(k);
  const size_t n = static_cast<size_t>(k.n), ud = static_cast<size_t>(d);
  if (k.held.size() != n) {
    const size_t tiles = (n + kAhead + kTile - 1) / kTile;  // room for a block from any tile
    k.px.assign(tiles * kTile * ud, 0.0);  // unused lanes compute on zeros
    k.pn.assign(tiles * kTile, 0.0);
    k.held.assign(n, -1);
    k.block = block_for(k.d);
  }
  const int p0 = p - p % kTile;
  const int lanes = k.n - p0 < kAhead ? k.n - p0 : kAhead;
  int* held = k.held.data() + p0;
  // Fixed-length loops for a whole block, so that they stay a few vector
  // instructions instead of library calls.
  int stale = 0;
  if (lanes == kAhead) {
    for (int t = 0; t < kAhead; t++) {
      k.key[t] = k.order[p0 + t];
      stale |= k.key[t] ^ held[t];
    }
  } else {
    for (int t = 0; t < lanes; t++) {
      k.key[t] = k.order[p0 + t];
      stale |= k.key[t] ^ held[t];
    }
  }
  if (stale) {
    for (int t = 0; t < lanes; t++) {
      const int q = k.key[t];
      if (held[t] == q)
        continue;
      if (q < 0 || q >= k.n) {
        k.end = 0;
        return single<D>(k, a, b);
      }
      const size_t at = static_cast<size_t>(p0 + t);
      const double* src = row(k, q, d);
      double* dst = k.px.data() + (at / kTile) * kTile * ud + at % kTile;
      for (int i = 0; i < d; i++)
        dst[static_cast<size_t>(i) * kTile] = src[i];
      k.pn[at] = k.norm2[q];
      held[t] = q;
    }
  }
  k.block(k, row(k, a, d), k.norm2[a], k.px.data() + static_cast<size_t>(p0) * ud,
          k.pn.data() + p0, k.val);
  k.row = a;
  k.start = p0;
  k.next = p - p0 + 1;
  k.end = lanes;
  return k.val[p - p0];
}

template <int D>
__attribute__((noinline)) double fresh(KernelData& k, int a, int b) {
  // Most often the walk just goes on past the last block.
  const int after = k.start + kAhead;
  const int p = k.end == kAhead && after < k.n && k.order[after] == b ? after : locate(k, b);
  if (p < 0) {
    k.end = 0;
    return single<D>(k, a, b);
  }
  return fill_block<D>(k, a, b, p);
}

template <int D>
double callback(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  if (a == k.row && k.next < k.end && k.key[k.next] == b)
    return k.val[k.next++];
  return fresh<D>(k, a, b);
}

template <int... D>
constexpr std::array<KernelFn, sizeof...(D)> table(std::integer_sequence<int, D...>) {
  return std::array<KernelFn, sizeof...(D)>{callback<D>...};
}

}  // namespace

int kernel_simd_level() { return level(); }

int set_kernel_simd_level(int cap) {
  const int old = level_cap;
  level_cap = cap;
  return old;
}

KernelFn kernel_callback(int d) {
  static const auto callbacks = table(Widths());
  return callbacks[d >= 1 && d <= kFixedWidths ? static_cast<size_t>(d) : 0];
}

}  // namespace ksvm
