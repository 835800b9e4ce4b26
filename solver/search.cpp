// Vector paths for the pair search and the gradient updates.  The plain
// loops are the reference; the vector loops evaluate the same expressions
// lane by lane and fall back to the plain rule, in index order, for any
// block that holds a winning candidate, so ties and the running gain behave
// exactly as in the plain loop.
#include "search.h"

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#define KALTRO_X86_VECTORS 1
#endif

namespace kaltro {
namespace detail {

namespace {

// One candidate, exactly as the plain rule states it.
inline void consider(const PairScan& s, int i, double& gain, int& best) {
  const double d = s.gk - s.g[i];
  double D, rm;
  const double down_i = s.x[i] - s.lo[i];
  const double up_i = s.hi[i] - s.x[i];
  if (d >= s.eps_gap && s.up_k > s.eps_bound && down_i > s.eps_bound) {
    D = d;
    rm = down_i < s.up_k ? down_i : s.up_k;
  } else if (d <= -s.eps_gap && s.down_k > s.eps_bound && up_i > s.eps_bound) {
    D = -d;
    rm = up_i < s.down_k ? up_i : s.down_k;
  } else {
    return;
  }
  const double kappa = s.kk + static_cast<double>(s.diag[i]) - 2.0 * static_cast<double>(s.rk[i]);
  const double kr = kappa * rm;
  const double S = kr < D ? kr : D;
  const double num = S * (2.0 * D - S);
  if (num > gain * kappa) {
    gain = num / kappa;
    best = i;
  }
}

void scan_plain(const PairScan& s, int from, int to, double& gain, int& best) {
  for (int i = from; i < to; i++)
    consider(s, i, gain, best);
}

void update_pair_plain(double* g, const float* ru, const float* rv, double step, int l) {
  for (int p = 0; p < l; p++)
    g[p] -= step * (static_cast<double>(ru[p]) - static_cast<double>(rv[p]));
}

void update_one_plain(double* g, const float* r, double step, int from, int to) {
  for (int p = from; p < to; p++)
    g[p] -= step * static_cast<double>(r[p]);
}

#ifdef KALTRO_X86_VECTORS

// ---- 2 lanes: SSE2, present on every x86-64 processor ----

inline __m128d blend2(__m128d a, __m128d b, __m128d mask) {  // mask ? b : a
  return _mm_or_pd(_mm_and_pd(mask, b), _mm_andnot_pd(mask, a));
}

inline __m128d load2f(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

void scan_sse2(const PairScan& s, int from, int to, double& gain, int& best) {
  const __m128d gk = _mm_set1_pd(s.gk), kk = _mm_set1_pd(s.kk);
  const __m128d eg = _mm_set1_pd(s.eps_gap), neg_eg = _mm_set1_pd(-s.eps_gap);
  const __m128d eb = _mm_set1_pd(s.eps_bound);
  const __m128d up_k = _mm_set1_pd(s.up_k), down_k = _mm_set1_pd(s.down_k);
  const __m128d all = _mm_castsi128_pd(_mm_set1_epi32(-1));
  const __m128d up_ok = s.up_k > s.eps_bound ? all : _mm_setzero_pd();
  const __m128d down_ok = s.down_k > s.eps_bound ? all : _mm_setzero_pd();
  const __m128d sign = _mm_set1_pd(-0.0), two = _mm_set1_pd(2.0);
  int i = from;
  for (; i + 2 <= to; i += 2) {
    const __m128d x = _mm_loadu_pd(s.x + i);
    const __m128d d = _mm_sub_pd(gk, _mm_loadu_pd(s.g + i));
    const __m128d down_i = _mm_sub_pd(x, _mm_loadu_pd(s.lo + i));
    const __m128d up_i = _mm_sub_pd(_mm_loadu_pd(s.hi + i), x);
    const __m128d c1 =
        _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(d, eg), up_ok), _mm_cmpgt_pd(down_i, eb));
    const __m128d c2 =
        _mm_and_pd(_mm_and_pd(_mm_cmple_pd(d, neg_eg), down_ok), _mm_cmpgt_pd(up_i, eb));
    const __m128d cand = _mm_or_pd(c1, c2);
    if (_mm_movemask_pd(cand) == 0)
      continue;
    const __m128d D = blend2(_mm_xor_pd(d, sign), d, c1);
    const __m128d rm = blend2(_mm_min_pd(up_i, down_k), _mm_min_pd(down_i, up_k), c1);
    const __m128d kappa = _mm_sub_pd(_mm_add_pd(kk, load2f(s.diag + i)),
                                     _mm_mul_pd(two, load2f(s.rk + i)));
    const __m128d kr = _mm_mul_pd(kappa, rm);
    const __m128d S = blend2(D, kr, _mm_cmplt_pd(kr, D));
    const __m128d num = _mm_mul_pd(S, _mm_sub_pd(_mm_mul_pd(two, D), S));
    const __m128d win = _mm_and_pd(cand, _mm_cmpgt_pd(num, _mm_mul_pd(_mm_set1_pd(gain), kappa)));
    if (_mm_movemask_pd(win) != 0) {
      consider(s, i, gain, best);
      consider(s, i + 1, gain, best);
    }
  }
  scan_plain(s, i, to, gain, best);
}

void update_pair_sse2(double* g, const float* ru, const float* rv, double step, int l) {
  const __m128d st = _mm_set1_pd(step);
  int p = 0;
  for (; p + 2 <= l; p += 2) {
    const __m128d diff = _mm_sub_pd(load2f(ru + p), load2f(rv + p));
    _mm_storeu_pd(g + p, _mm_sub_pd(_mm_loadu_pd(g + p), _mm_mul_pd(st, diff)));
  }
  update_pair_plain(g + p, ru + p, rv + p, step, l - p);
}

void update_one_sse2(double* g, const float* r, double step, int from, int to) {
  const __m128d st = _mm_set1_pd(step);
  int p = from;
  for (; p + 2 <= to; p += 2)
    _mm_storeu_pd(g + p, _mm_sub_pd(_mm_loadu_pd(g + p), _mm_mul_pd(st, load2f(r + p))));
  update_one_plain(g, r, step, p, to);
}

// ---- 4 lanes: AVX2, chosen at run time ----

__attribute__((target("avx2"))) void scan_avx2(const PairScan& s, int from, int to,
                                               double& gain, int& best) {
  const __m256d gk = _mm256_set1_pd(s.gk), kk = _mm256_set1_pd(s.kk);
  const __m256d eg = _mm256_set1_pd(s.eps_gap), neg_eg = _mm256_set1_pd(-s.eps_gap);
  const __m256d eb = _mm256_set1_pd(s.eps_bound);
  const __m256d up_k = _mm256_set1_pd(s.up_k), down_k = _mm256_set1_pd(s.down_k);
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
  const __m256d up_ok = s.up_k > s.eps_bound ? all : _mm256_setzero_pd();
  const __m256d down_ok = s.down_k > s.eps_bound ? all : _mm256_setzero_pd();
  const __m256d sign = _mm256_set1_pd(-0.0), two = _mm256_set1_pd(2.0);
  int i = from;
  for (; i + 4 <= to; i += 4) {
    const __m256d x = _mm256_loadu_pd(s.x + i);
    const __m256d d = _mm256_sub_pd(gk, _mm256_loadu_pd(s.g + i));
    const __m256d down_i = _mm256_sub_pd(x, _mm256_loadu_pd(s.lo + i));
    const __m256d up_i = _mm256_sub_pd(_mm256_loadu_pd(s.hi + i), x);
    const __m256d c1 = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(d, eg, _CMP_GE_OQ), up_ok),
                                     _mm256_cmp_pd(down_i, eb, _CMP_GT_OQ));
    const __m256d c2 = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(d, neg_eg, _CMP_LE_OQ), down_ok),
                                     _mm256_cmp_pd(up_i, eb, _CMP_GT_OQ));
    const __m256d cand = _mm256_or_pd(c1, c2);
    if (_mm256_movemask_pd(cand) == 0)
      continue;
    const __m256d D = _mm256_blendv_pd(_mm256_xor_pd(d, sign), d, c1);
    const __m256d rm =
        _mm256_blendv_pd(_mm256_min_pd(up_i, down_k), _mm256_min_pd(down_i, up_k), c1);
    const __m256d kappa =
        _mm256_sub_pd(_mm256_add_pd(kk, _mm256_cvtps_pd(_mm_loadu_ps(s.diag + i))),
                      _mm256_mul_pd(two, _mm256_cvtps_pd(_mm_loadu_ps(s.rk + i))));
    const __m256d kr = _mm256_mul_pd(kappa, rm);
    const __m256d S = _mm256_blendv_pd(D, kr, _mm256_cmp_pd(kr, D, _CMP_LT_OQ));
    const __m256d num = _mm256_mul_pd(S, _mm256_sub_pd(_mm256_mul_pd(two, D), S));
    const __m256d win = _mm256_and_pd(
        cand, _mm256_cmp_pd(num, _mm256_mul_pd(_mm256_set1_pd(gain), kappa), _CMP_GT_OQ));
    if (_mm256_movemask_pd(win) != 0)
      for (int j = i; j < i + 4; j++)
        consider(s, j, gain, best);
  }
  scan_plain(s, i, to, gain, best);
}

__attribute__((target("avx2"))) void update_pair_avx2(double* g, const float* ru,
                                                      const float* rv, double step, int l) {
  const __m256d st = _mm256_set1_pd(step);
  int p = 0;
  for (; p + 4 <= l; p += 4) {
    const __m256d diff = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(ru + p)),
                                       _mm256_cvtps_pd(_mm_loadu_ps(rv + p)));
    _mm256_storeu_pd(g + p, _mm256_sub_pd(_mm256_loadu_pd(g + p), _mm256_mul_pd(st, diff)));
  }
  update_pair_plain(g + p, ru + p, rv + p, step, l - p);
}

__attribute__((target("avx2"))) void update_one_avx2(double* g, const float* r, double step,
                                                     int from, int to) {
  const __m256d st = _mm256_set1_pd(step);
  int p = from;
  for (; p + 4 <= to; p += 4)
    _mm256_storeu_pd(g + p, _mm256_sub_pd(_mm256_loadu_pd(g + p),
                                          _mm256_mul_pd(st, _mm256_cvtps_pd(_mm_loadu_ps(r + p)))));
  update_one_plain(g, r, step, p, to);
}

// ---- 8 lanes: AVX-512, chosen at run time ----

// The compiler's own headers start some conversions from an undefined
// register, which its flow analysis then reports; nothing here reads one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((target("avx512f"))) inline __m512d flip_sign(__m512d v) {
  return _mm512_castsi512_pd(
      _mm512_xor_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(INT64_MIN)));
}

__attribute__((target("avx512f"))) void scan_avx512(const PairScan& s, int from, int to,
                                                   double& gain, int& best) {
  const __m512d gk = _mm512_set1_pd(s.gk), kk = _mm512_set1_pd(s.kk);
  const __m512d eg = _mm512_set1_pd(s.eps_gap), neg_eg = _mm512_set1_pd(-s.eps_gap);
  const __m512d eb = _mm512_set1_pd(s.eps_bound);
  const __m512d up_k = _mm512_set1_pd(s.up_k), down_k = _mm512_set1_pd(s.down_k);
  const __mmask8 up_ok = s.up_k > s.eps_bound ? 0xff : 0;
  const __mmask8 down_ok = s.down_k > s.eps_bound ? 0xff : 0;
  const __m512d two = _mm512_set1_pd(2.0);
  int i = from;
  for (; i + 8 <= to; i += 8) {
    const __m512d x = _mm512_loadu_pd(s.x + i);
    const __m512d d = _mm512_sub_pd(gk, _mm512_loadu_pd(s.g + i));
    const __m512d down_i = _mm512_sub_pd(x, _mm512_loadu_pd(s.lo + i));
    const __m512d up_i = _mm512_sub_pd(_mm512_loadu_pd(s.hi + i), x);
    const __mmask8 c1 = _mm512_cmp_pd_mask(d, eg, _CMP_GE_OQ) & up_ok &
                        _mm512_cmp_pd_mask(down_i, eb, _CMP_GT_OQ);
    const __mmask8 c2 = _mm512_cmp_pd_mask(d, neg_eg, _CMP_LE_OQ) & down_ok &
                        _mm512_cmp_pd_mask(up_i, eb, _CMP_GT_OQ);
    const __mmask8 cand = c1 | c2;
    if (cand == 0)
      continue;
    const __m512d D = _mm512_mask_blend_pd(c1, flip_sign(d), d);
    const __m512d rm =
        _mm512_mask_blend_pd(c1, _mm512_min_pd(up_i, down_k), _mm512_min_pd(down_i, up_k));
    const __m512d kappa =
        _mm512_sub_pd(_mm512_add_pd(kk, _mm512_cvtps_pd(_mm256_loadu_ps(s.diag + i))),
                      _mm512_mul_pd(two, _mm512_cvtps_pd(_mm256_loadu_ps(s.rk + i))));
    const __m512d kr = _mm512_mul_pd(kappa, rm);
    const __m512d S = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(kr, D, _CMP_LT_OQ), D, kr);
    const __m512d num = _mm512_mul_pd(S, _mm512_sub_pd(_mm512_mul_pd(two, D), S));
    const __mmask8 win =
        cand & _mm512_cmp_pd_mask(num, _mm512_mul_pd(_mm512_set1_pd(gain), kappa), _CMP_GT_OQ);
    if (win != 0)
      for (int j = i; j < i + 8; j++)
        consider(s, j, gain, best);
  }
  scan_plain(s, i, to, gain, best);
}

__attribute__((target("avx512f"))) void update_pair_avx512(double* g, const float* ru,
                                                          const float* rv, double step, int l) {
  const __m512d st = _mm512_set1_pd(step);
  int p = 0;
  for (; p + 8 <= l; p += 8) {
    const __m512d diff = _mm512_sub_pd(_mm512_cvtps_pd(_mm256_loadu_ps(ru + p)),
                                       _mm512_cvtps_pd(_mm256_loadu_ps(rv + p)));
    _mm512_storeu_pd(g + p, _mm512_sub_pd(_mm512_loadu_pd(g + p), _mm512_mul_pd(st, diff)));
  }
  update_pair_plain(g + p, ru + p, rv + p, step, l - p);
}

__attribute__((target("avx512f"))) void update_one_avx512(double* g, const float* r,
                                                         double step, int from, int to) {
  const __m512d st = _mm512_set1_pd(step);
  int p = from;
  for (; p + 8 <= to; p += 8)
    _mm512_storeu_pd(g + p, _mm512_sub_pd(_mm512_loadu_pd(g + p),
                                          _mm512_mul_pd(st, _mm512_cvtps_pd(_mm256_loadu_ps(r + p)))));
  update_one_plain(g, r, step, p, to);
}

#pragma GCC diagnostic pop

int detect_level() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f"))
    return 3;
  return __builtin_cpu_supports("avx2") ? 2 : 1;
}

#else

int detect_level() { return 0; }

#endif

int level_cap = 3;

inline int level() {
  static const int best = detect_level();
  return best < level_cap ? best : level_cap;
}

}  // namespace

Extremes find_extremes(const double* g, const double* x, const double* lo, const double* hi,
                       int from, int to, double start_high, double start_low) {
  Extremes e{start_high, start_low, -1, -1};
  for (int p = from; p < to; p++) {
    if (g[p] > e.high && x[p] < hi[p]) {
      e.high = g[p];
      e.up = p;
    }
    if (g[p] < e.low && x[p] > lo[p]) {
      e.low = g[p];
      e.down = p;
    }
  }
  return e;
}

bool step_length(double slope, double kappa, double room, double eps_bound, double& step,
                 bool& clipped) {
  if (kappa >= eps_bound) {
    const double t = slope / kappa;
    clipped = !(room > t);
    step = clipped ? room : t;
  } else if (kappa + eps_bound < 0) {
    return false;
  } else {
    step = room;  // flat direction: all the way to the bound
    clipped = true;
  }
  return true;
}

int simd_level() { return level(); }

int set_simd_level(int cap) {
  int old = level_cap;
  level_cap = cap;
  return old;
}

void scan_pairs(const PairScan& s, int from, int to, double& gain, int& best) {
#ifdef KALTRO_X86_VECTORS
  switch (level()) {
    case 3:
      return scan_avx512(s, from, to, gain, best);
    case 2:
      return scan_avx2(s, from, to, gain, best);
    case 1:
      return scan_sse2(s, from, to, gain, best);
    default:
      break;
  }
#endif
  scan_plain(s, from, to, gain, best);
}

void update_pair(double* g, const float* ru, const float* rv, double step, int l) {
#ifdef KALTRO_X86_VECTORS
  switch (level()) {
    case 3:
      return update_pair_avx512(g, ru, rv, step, l);
    case 2:
      return update_pair_avx2(g, ru, rv, step, l);
    case 1:
      return update_pair_sse2(g, ru, rv, step, l);
    default:
      break;
  }
#endif
  update_pair_plain(g, ru, rv, step, l);
}

void update_one(double* g, const float* r, double step, int from, int to) {
#ifdef KALTRO_X86_VECTORS
  switch (level()) {
    case 3:
      return update_one_avx512(g, r, step, from, to);
    case 2:
      return update_one_avx2(g, r, step, from, to);
    case 1:
      return update_one_sse2(g, r, step, from, to);
    default:
      break;
  }
#endif
  update_one_plain(g, r, step, from, to);
}

}  // namespace detail
}  // namespace kaltro
