// The seeded sequence behind generated data and cross-validation folds:
// plain 64-bit integer steps, so a seed gives the same numbers everywhere.
#ifndef KSVM_RANDOM_H
#define KSVM_RANDOM_H

#include <cstdint>

namespace ksvm {

// splitmix64: a full-period 64-bit sequence from plain integer steps.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// Uniform on [0, 1), exact: 53 random bits scaled by a power of two.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  /// Approximately standard normal in units of 2^-20: the sum of twelve
  /// uniform 20-bit numbers minus its mean (variance 1 in those units).
  std::int64_t normal_units() {
    std::int64_t sum = 0;
    for (int k = 0; k < 4; k++) {
      std::uint64_t r = next();
      sum += static_cast<std::int64_t>(r & 0xFFFFF) +
             static_cast<std::int64_t>((r >> 20) & 0xFFFFF) +
             static_cast<std::int64_t>((r >> 40) & 0xFFFFF);
    }
    return sum - 6 * (std::int64_t{1} << 20);
  }
};

}  // namespace ksvm

#endif
