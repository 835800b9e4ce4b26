// Lane types for the vector loops of the solver and the trainer: a few
// operations on 2, 4 or 8 doubles, each the one instruction that does the
// IEEE operation lane by lane.  A loop written once over a lane type V thus
// performs, in every lane, exactly the operations of its plain form, at any
// width.  Not installed: the trainer builds against it, nothing else.
//
// Only 64-bit x86 has lane types (KALTRO_LANES).  32-bit builds get tested
// under an emulator, which once computed wrong table lookups in a vector
// path; a path that cannot be checked must not decide any value there.
//
// The 4- and 8-lane operations are compiled for AVX2 and AVX-512, which the
// program checks for at run time.  The compiler inlines a function of one
// target only into a caller of the same, so a generic loop over V is run
// from a small entry point marked KALTRO_LANES4 or KALTRO_LANES8, which pulls
// the loop and every operation in it into one function of that target.
#ifndef KALTRO_LANES_H
#define KALTRO_LANES_H

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#define KALTRO_LANES 1
#endif

namespace kaltro {
namespace detail {

// The vector widths, on one scale for the solver and the trainer.
enum Level { kPlain = 0, kLanes2 = 1, kLanes4 = 2, kLanes8 = 3 };

// The widest level the processor offers (kPlain without lane types), at
// most the cap; set_simd_level (for tests) sets the cap and returns the old.
int simd_level();
int set_simd_level(int cap);

#ifdef KALTRO_LANES

// Entry points of the generic loops at each width, and the operations'
// targets.
#define KALTRO_LANES2 __attribute__((flatten))
#define KALTRO_LANES4 __attribute__((target("avx2"), flatten))
#define KALTRO_LANES8 __attribute__((target("avx512f"), flatten))

#define KALTRO_AVX2 __attribute__((target("avx2")))
#define KALTRO_AVX512 __attribute__((target("avx512f")))

// Every type offers: n; load (doubles, or floats widened); all (broadcast);
// zero; store; + - * and unary -; min(a, b) as a < b ? a : b; the ordered
// comparisons < <= > >= giving a Mask; select(m, yes, no); only(m, a) (a
// where m, else 0); gather(table, i) (table[i] for integer lanes i);
// bits/as_double (the lanes' bit patterns as 64-bit integer lanes, Bits,
// with &, +, shifts).  A Mask has &, |, any(), all() and when(b) (every lane
// b).

// ---- 2 lanes: SSE2, present on every x86-64 processor ----

struct Lanes2 {
  static constexpr int n = 2;
  __m128d v;

  struct Mask {
    __m128d m;
    static Mask when(bool b) {
      return {b ? _mm_castsi128_pd(_mm_set1_epi32(-1)) : _mm_setzero_pd()};
    }
    friend Mask operator&(Mask a, Mask b) { return {_mm_and_pd(a.m, b.m)}; }
    friend Mask operator|(Mask a, Mask b) { return {_mm_or_pd(a.m, b.m)}; }
    bool any() const { return _mm_movemask_pd(m) != 0; }
    bool all() const { return _mm_movemask_pd(m) == 3; }
  };

  struct Bits {
    __m128i v;
    static Bits all(std::int64_t x) { return {_mm_set1_epi64x(x)}; }
    friend Bits operator&(Bits a, Bits b) { return {_mm_and_si128(a.v, b.v)}; }
    friend Bits operator+(Bits a, Bits b) { return {_mm_add_epi64(a.v, b.v)}; }
    friend Bits operator>>(Bits a, int s) { return {_mm_srli_epi64(a.v, s)}; }
    friend Bits operator<<(Bits a, int s) { return {_mm_slli_epi64(a.v, s)}; }
  };

  static Lanes2 load(const double* p) { return {_mm_loadu_pd(p)}; }
  static Lanes2 load(const float* p) {
    return {_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))))};
  }
  static Lanes2 all(double x) { return {_mm_set1_pd(x)}; }
  static Lanes2 zero() { return {_mm_setzero_pd()}; }
  void store(double* p) const { _mm_storeu_pd(p, v); }

  friend Lanes2 operator+(Lanes2 a, Lanes2 b) { return {_mm_add_pd(a.v, b.v)}; }
  friend Lanes2 operator-(Lanes2 a, Lanes2 b) { return {_mm_sub_pd(a.v, b.v)}; }
  friend Lanes2 operator*(Lanes2 a, Lanes2 b) { return {_mm_mul_pd(a.v, b.v)}; }
  friend Lanes2 operator-(Lanes2 a) { return {_mm_xor_pd(a.v, _mm_set1_pd(-0.0))}; }
  friend Lanes2 min(Lanes2 a, Lanes2 b) { return {_mm_min_pd(a.v, b.v)}; }
  friend Mask operator<(Lanes2 a, Lanes2 b) { return {_mm_cmplt_pd(a.v, b.v)}; }
  friend Mask operator<=(Lanes2 a, Lanes2 b) { return {_mm_cmple_pd(a.v, b.v)}; }
  friend Mask operator>(Lanes2 a, Lanes2 b) { return {_mm_cmpgt_pd(a.v, b.v)}; }
  friend Mask operator>=(Lanes2 a, Lanes2 b) { return {_mm_cmpge_pd(a.v, b.v)}; }
  friend Lanes2 select(Mask m, Lanes2 yes, Lanes2 no) {
    return {_mm_or_pd(_mm_and_pd(m.m, yes.v), _mm_andnot_pd(m.m, no.v))};
  }
  friend Lanes2 only(Mask m, Lanes2 a) { return {_mm_and_pd(m.m, a.v)}; }

  static Lanes2 gather(const double* table, Bits i) {  // no gather instruction
    return {_mm_set_pd(table[_mm_cvtsi128_si64(_mm_unpackhi_epi64(i.v, i.v))],
                       table[_mm_cvtsi128_si64(i.v)])};
  }
  friend Bits bits(Lanes2 a) { return {_mm_castpd_si128(a.v)}; }
  friend Lanes2 as_double(Bits a) { return {_mm_castsi128_pd(a.v)}; }
};

// ---- 4 lanes: AVX2 ----

struct Lanes4 {
  static constexpr int n = 4;
  __m256d v;

  struct Mask {
    __m256d m;
    KALTRO_AVX2 static Mask when(bool b) {
      return {b ? _mm256_castsi256_pd(_mm256_set1_epi32(-1)) : _mm256_setzero_pd()};
    }
    KALTRO_AVX2 friend Mask operator&(Mask a, Mask b) { return {_mm256_and_pd(a.m, b.m)}; }
    KALTRO_AVX2 friend Mask operator|(Mask a, Mask b) { return {_mm256_or_pd(a.m, b.m)}; }
    KALTRO_AVX2 bool any() const { return _mm256_movemask_pd(m) != 0; }
    KALTRO_AVX2 bool all() const { return _mm256_movemask_pd(m) == 0xf; }
  };

  struct Bits {
    __m256i v;
    KALTRO_AVX2 static Bits all(std::int64_t x) { return {_mm256_set1_epi64x(x)}; }
    KALTRO_AVX2 friend Bits operator&(Bits a, Bits b) { return {_mm256_and_si256(a.v, b.v)}; }
    KALTRO_AVX2 friend Bits operator+(Bits a, Bits b) { return {_mm256_add_epi64(a.v, b.v)}; }
    KALTRO_AVX2 friend Bits operator>>(Bits a, int s) { return {_mm256_srli_epi64(a.v, s)}; }
    KALTRO_AVX2 friend Bits operator<<(Bits a, int s) { return {_mm256_slli_epi64(a.v, s)}; }
  };

  KALTRO_AVX2 static Lanes4 load(const double* p) { return {_mm256_loadu_pd(p)}; }
  KALTRO_AVX2 static Lanes4 load(const float* p) { return {_mm256_cvtps_pd(_mm_loadu_ps(p))}; }
  KALTRO_AVX2 static Lanes4 all(double x) { return {_mm256_set1_pd(x)}; }
  KALTRO_AVX2 static Lanes4 zero() { return {_mm256_setzero_pd()}; }
  KALTRO_AVX2 void store(double* p) const { _mm256_storeu_pd(p, v); }

  KALTRO_AVX2 friend Lanes4 operator+(Lanes4 a, Lanes4 b) { return {_mm256_add_pd(a.v, b.v)}; }
  KALTRO_AVX2 friend Lanes4 operator-(Lanes4 a, Lanes4 b) { return {_mm256_sub_pd(a.v, b.v)}; }
  KALTRO_AVX2 friend Lanes4 operator*(Lanes4 a, Lanes4 b) { return {_mm256_mul_pd(a.v, b.v)}; }
  KALTRO_AVX2 friend Lanes4 operator-(Lanes4 a) {
    return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))};
  }
  KALTRO_AVX2 friend Lanes4 min(Lanes4 a, Lanes4 b) { return {_mm256_min_pd(a.v, b.v)}; }
  KALTRO_AVX2 friend Mask operator<(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
  }
  KALTRO_AVX2 friend Mask operator<=(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)};
  }
  KALTRO_AVX2 friend Mask operator>(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)};
  }
  KALTRO_AVX2 friend Mask operator>=(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)};
  }
  KALTRO_AVX2 friend Lanes4 select(Mask m, Lanes4 yes, Lanes4 no) {
    return {_mm256_blendv_pd(no.v, yes.v, m.m)};
  }
  KALTRO_AVX2 friend Lanes4 only(Mask m, Lanes4 a) { return {_mm256_and_pd(m.m, a.v)}; }

  KALTRO_AVX2 static Lanes4 gather(const double* table, Bits i) {
    return {_mm256_i64gather_pd(table, i.v, 8)};
  }
  KALTRO_AVX2 friend Bits bits(Lanes4 a) { return {_mm256_castpd_si256(a.v)}; }
  KALTRO_AVX2 friend Lanes4 as_double(Bits a) { return {_mm256_castsi256_pd(a.v)}; }
};

// ---- 8 lanes: AVX-512 ----

// The compiler's own headers start some AVX-512 operations from an undefined
// register, which its flow analysis then reports; nothing here reads one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

struct Lanes8 {
  static constexpr int n = 8;
  __m512d v;

  struct Mask {
    __mmask8 m;
    static Mask when(bool b) { return {static_cast<__mmask8>(b ? 0xff : 0)}; }
    friend Mask operator&(Mask a, Mask b) { return {static_cast<__mmask8>(a.m & b.m)}; }
    friend Mask operator|(Mask a, Mask b) { return {static_cast<__mmask8>(a.m | b.m)}; }
    bool any() const { return m != 0; }
    bool all() const { return m == 0xff; }
  };

  struct Bits {
    __m512i v;
    KALTRO_AVX512 static Bits all(std::int64_t x) { return {_mm512_set1_epi64(x)}; }
    KALTRO_AVX512 friend Bits operator&(Bits a, Bits b) { return {_mm512_and_si512(a.v, b.v)}; }
    KALTRO_AVX512 friend Bits operator+(Bits a, Bits b) { return {_mm512_add_epi64(a.v, b.v)}; }
    KALTRO_AVX512 friend Bits operator>>(Bits a, int s) {
      return {_mm512_srli_epi64(a.v, static_cast<unsigned>(s))};
    }
    KALTRO_AVX512 friend Bits operator<<(Bits a, int s) {
      return {_mm512_slli_epi64(a.v, static_cast<unsigned>(s))};
    }
  };

  KALTRO_AVX512 static Lanes8 load(const double* p) { return {_mm512_loadu_pd(p)}; }
  KALTRO_AVX512 static Lanes8 load(const float* p) { return {_mm512_cvtps_pd(_mm256_loadu_ps(p))}; }
  KALTRO_AVX512 static Lanes8 all(double x) { return {_mm512_set1_pd(x)}; }
  KALTRO_AVX512 static Lanes8 zero() { return {_mm512_setzero_pd()}; }
  KALTRO_AVX512 void store(double* p) const { _mm512_storeu_pd(p, v); }

  KALTRO_AVX512 friend Lanes8 operator+(Lanes8 a, Lanes8 b) { return {_mm512_add_pd(a.v, b.v)}; }
  KALTRO_AVX512 friend Lanes8 operator-(Lanes8 a, Lanes8 b) { return {_mm512_sub_pd(a.v, b.v)}; }
  KALTRO_AVX512 friend Lanes8 operator*(Lanes8 a, Lanes8 b) { return {_mm512_mul_pd(a.v, b.v)}; }
  KALTRO_AVX512 friend Lanes8 operator-(Lanes8 a) {  // the xor of doubles needs AVX-512DQ
    return {_mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(a.v), _mm512_set1_epi64(INT64_MIN)))};
  }
  KALTRO_AVX512 friend Lanes8 min(Lanes8 a, Lanes8 b) { return {_mm512_min_pd(a.v, b.v)}; }
  KALTRO_AVX512 friend Mask operator<(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)};
  }
  KALTRO_AVX512 friend Mask operator<=(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)};
  }
  KALTRO_AVX512 friend Mask operator>(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)};
  }
  KALTRO_AVX512 friend Mask operator>=(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)};
  }
  KALTRO_AVX512 friend Lanes8 select(Mask m, Lanes8 yes, Lanes8 no) {
    return {_mm512_mask_blend_pd(m.m, no.v, yes.v)};
  }
  KALTRO_AVX512 friend Lanes8 only(Mask m, Lanes8 a) { return {_mm512_maskz_mov_pd(m.m, a.v)}; }

  KALTRO_AVX512 static Lanes8 gather(const double* table, Bits i) {
    return {_mm512_i64gather_pd(i.v, table, 8)};
  }
  KALTRO_AVX512 friend Bits bits(Lanes8 a) { return {_mm512_castpd_si512(a.v)}; }
  KALTRO_AVX512 friend Lanes8 as_double(Bits a) { return {_mm512_castsi512_pd(a.v)}; }
};

#pragma GCC diagnostic pop

#endif  // KALTRO_LANES

}  // namespace detail
}  // namespace kaltro

#endif
