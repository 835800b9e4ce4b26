// The vector width in use: what the processor offers, under a cap.
#include "lanes.h"

namespace kaltro {
namespace detail {

namespace {

int detect_level() {
#ifdef KALTRO_LANES
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f"))
    return kLanes8;
  return __builtin_cpu_supports("avx2") ? kLanes4 : kLanes2;
#else
  return kPlain;
#endif
}

int level_cap = kLanes8;

}  // namespace

int simd_level() {
  static const int best = detect_level();
  return best < level_cap ? best : level_cap;
}

int set_simd_level(int cap) {
  const int old = level_cap;
  level_cap = cap;
  return old;
}

}  // namespace detail
}  // namespace kaltro
