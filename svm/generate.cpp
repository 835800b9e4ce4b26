#include "generate.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "random.h"

namespace ksvm {

namespace {

// Features in units of 2^-20, printed as the clouds are.
void print_row(std::FILE* out, const std::vector<std::int64_t>& units) {
  for (size_t k = 0; k < units.size(); k++)
    if (units[k] != 0)
      std::fprintf(out, " %zu:%.6g", k + 1, static_cast<double>(units[k]) * 0x1p-20);
  std::fputc('\n', out);
}

// Classes 1..K, each a unit Gaussian cloud around a centre drawn from a
// Gaussian of spread 1.5 (so neighbouring classes overlap); a label moves
// to another class at random with probability `noise`.
void blobs(const GenerateOptions& opt, Random& rng, std::FILE* out) {
  const size_t d = static_cast<size_t>(opt.d), k = static_cast<size_t>(opt.classes);
  std::vector<std::int64_t> centre(k * d), units(d);
  for (std::int64_t& c : centre)
    c = rng.normal_units() * 3 / 2;
  for (int i = 0; i < opt.n; i++) {
    const size_t c = static_cast<size_t>(rng.next() % k);
    for (size_t j = 0; j < d; j++)
      units[j] = centre[c * d + j] + rng.normal_units();
    size_t y = c;
    if (rng.uniform() < opt.noise && k > 1)
      y = (c + 1 + static_cast<size_t>(rng.next() % (k - 1))) % k;
    std::fprintf(out, "%zu", y + 1);
    print_row(out, units);
  }
}

// Unit Gaussian features; the target a fixed linear part (weights -2..2)
// plus the products of neighbouring features, plus Gaussian noise of
// standard deviation `noise`, all in units of 2^-40 until printed.
void regression(const GenerateOptions& opt, Random& rng, std::FILE* out) {
  const size_t d = static_cast<size_t>(opt.d);
  std::vector<std::int64_t> weight(d), units(d);
  for (std::int64_t& w : weight)
    w = static_cast<std::int64_t>(rng.next() % 5) - 2;
  // The noise's scale in units of 2^-20, rounded to an integer.
  const std::int64_t scale = static_cast<std::int64_t>(opt.noise * 0x1p20 + 0.5);
  for (int i = 0; i < opt.n; i++) {
    std::int64_t y = 0;
    for (size_t j = 0; j < d; j++) {
      units[j] = rng.normal_units();
      y += weight[j] * units[j] * (std::int64_t{1} << 20);
    }
    for (size_t j = 0; j + 1 < d; j++)
      y += units[j] * units[j + 1] / 2;
    y += rng.normal_units() * scale;
    std::fprintf(out, "%.6g", static_cast<double>(y) * 0x1p-40);
    print_row(out, units);
  }
}

// Short documents as bags of words, the way text classifiers see them:
// word frequencies follow Zipf's law (the word of rank r is drawn with
// weight 1/r), each class has topic words of middling rank that make up
// about one word in eight of its documents, and a line holds the counts of
// its distinct words divided by their Euclidean norm.  Ranks map to feature
// indices through a fixed permutation, so common words are spread over the
// vocabulary as in a dictionary ordered by spelling.
void generate_text(const GenerateOptions& opt, std::FILE* out) {
  Random rng{opt.seed};
  const std::uint64_t d = static_cast<std::uint64_t>(opt.d);
  // Cumulative weights floor(2^40 / r): exact integers, below 2^45 for any int d.
  std::vector<std::uint64_t> cumulative(d);
  std::uint64_t total = 0;
  for (std::uint64_t r = 0; r < d; r++)
    cumulative[r] = total += (std::uint64_t{1} << 40) / (r + 1);
  // Index of rank r: (r + 1) * stride mod d, stride coprime to d near d / golden ratio.
  std::uint64_t stride = ((d * 0x9E3779B9ULL) >> 32) | 1;
  auto gcd = [](std::uint64_t a, std::uint64_t b) {
    while (b) {
      a %= b;
      std::swap(a, b);
    }
    return a;
  };
  while (gcd(stride, d) != 1)
    stride++;
  const std::uint64_t topics = std::min<std::uint64_t>(std::max<std::uint64_t>(d / 8, 1), 200);
  const std::uint64_t first_topic = d >= 2 * topics + 10 ? 10 : 0;
  const int mean = std::min(std::max(opt.nnz, 1), opt.d);

  std::vector<std::pair<int, int>> words;  // feature index, count
  for (int i = 0; i < opt.n; i++) {
    const int y = (rng.next() >> 63) ? 1 : -1;
    const int length = std::min(
        std::max(mean / 2 + static_cast<int>(rng.next() % static_cast<std::uint64_t>(mean + 1)), 1),
        opt.d);
    words.clear();
    // Draws until the line has its length in distinct words, or gives up
    // (a vocabulary of a few words can take long to cover).
    for (int draw = 0; static_cast<int>(words.size()) < length && draw < 16 * length + 100;
         draw++) {
      std::uint64_t rank;
      if ((rng.next() & 7) == 0) {
        rank = (first_topic + 2 * (rng.next() % topics) + (y > 0)) % d;
      } else {
        const std::uint64_t u = rng.next() % total;
        rank = static_cast<std::uint64_t>(
            std::upper_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
      }
      const int k = static_cast<int>((rank + 1) * stride % d);
      auto w = std::find_if(words.begin(), words.end(),
                            [k](const std::pair<int, int>& e) { return e.first == k; });
      if (w == words.end())
        words.emplace_back(k, 1);
      else
        w->second++;
    }
    std::sort(words.begin(), words.end());
    std::int64_t sum2 = 0;
    for (const auto& w : words)
      sum2 += static_cast<std::int64_t>(w.second) * w.second;
    const double norm = std::sqrt(static_cast<double>(sum2));
    std::fprintf(out, "%d", rng.uniform() < opt.noise ? -y : y);
    for (const auto& w : words)
      std::fprintf(out, " %d:%.6g", w.first + 1, w.second / norm);
    std::fputc('\n', out);
  }
}

}  // namespace

void generate(const GenerateOptions& opt, std::FILE* out) {
  if (opt.kind == "text") {
    generate_text(opt, out);
    return;
  }
  Random rng{opt.seed};
  if (opt.kind == "blobs")
    return blobs(opt, rng, out);
  if (opt.kind == "regression")
    return regression(opt, rng, out);
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
