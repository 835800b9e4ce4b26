#include "generate.h"

#include <vector>

namespace ksvm {

namespace {

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

}  // namespace

void generate(const GenerateOptions& opt, std::FILE* out) {
  Random rng{opt.seed};
  const bool rings = opt.kind == "rings";
  std::vector<std::int64_t> units(static_cast<size_t>(opt.d));
  // The median of a chi-square with d degrees of freedom is close to d - 2/3:
  // compared in units of 2^-40, times 3, so the classes are about even.
  const std::int64_t threshold3 = (3 * static_cast<std::int64_t>(opt.d) - 2) << 20 << 20;
  for (int i = 0; i < opt.n; i++) {
    int y = (rng.next() >> 63) ? 1 : -1;
    std::int64_t r2 = 0;
    for (int k = 0; k < opt.d; k++) {
      std::int64_t u = rng.normal_units();
      if (!rings)
        u += y * (std::int64_t{1} << 19);  // clouds centred at +-0.5 on every axis
      units[static_cast<size_t>(k)] = u;
      r2 += u * u;
    }
    if (rings)
      y = 3 * r2 < threshold3 ? 1 : -1;
    if (rng.uniform() < opt.noise)
      y = -y;
    std::fprintf(out, "%d", y);
    for (int k = 0; k < opt.d; k++) {
      std::int64_t u = units[static_cast<size_t>(k)];
      if (u != 0)
        std::fprintf(out, " %d:%.6g", k + 1, static_cast<double>(u) * 0x1p-20);
    }
    std::fputc('\n', out);
  }
}

}  // namespace ksvm
