// Entries computed ahead of the solver's requests: every answer must be the
// very double one evaluation gives, whatever the order of the calls, the
// vector width, the number of features or the reordering of the variables,
// and a whole solve must come out bit for bit as without reading ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dataset.h"
#include "fast_exp.h"
#include "feature_columns.h"
#include "kaltro.h"
#include "kernel.h"
#include "kernel_ahead.h"
#include "lanes.h"
#include "support.h"

namespace {

struct Rows {
  int n, d;
  std::vector<double> x, norm2;
};

// Rows with a few exact duplicates and one all-zero row.
Rows make_rows(int n, int d, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
  Rows r{n, d, std::vector<double>(static_cast<size_t>(n) * d), std::vector<double>(n)};
  for (double& v : r.x)
    v = normal(rng);
  for (int k = 0; k < d; k++) {
    r.x[static_cast<size_t>(3 * d + k)] = r.x[static_cast<size_t>(k)];  // row 3 = row 0
    r.x[static_cast<size_t>(5 * d + k)] = 0;                            // row 5 = 0
  }
  for (int i = 0; i < n; i++) {
    double s = 0;
    for (int k = 0; k < d; k++)
      s += r.x[static_cast<size_t>(i * d + k)] * r.x[static_cast<size_t>(i * d + k)];
    r.norm2[static_cast<size_t>(i)] = s;
  }
  return r;
}

double reference(const Rows& r, const ksvm::KernelParams& p, int a, int b) {
  return ksvm::kernel_value(
      p, r.x.data() + static_cast<size_t>(a) * r.d, r.norm2[static_cast<size_t>(a)],
      r.x.data() + static_cast<size_t>(b) * r.d, r.norm2[static_cast<size_t>(b)], r.d);
}

using ksvm_test::kept;
using ksvm_test::same_bits;

// Restores the vector width when a test ends, whatever happens.
struct Width {
  int old;
  explicit Width(int cap) : old(kaltro::detail::set_simd_level(cap)) {}
  ~Width() { kaltro::detail::set_simd_level(old); }
};

// The widths this machine can run: plain always, then the vector widths it has.
std::vector<int> widths() {
  Width all(kaltro::detail::kLanes8);
  std::vector<int> w;
  for (int level = kaltro::detail::kPlain; level <= kaltro::detail::simd_level(); level++)
    w.push_back(level);
  return w;
}

// Plays the solver on k, which follows `order` (kernel indices of rows):
// rows filled over stretches of positions in order, variables exchanged in
// between, calls out of order mixed in.  Every answer must have the bits of
// want(a, b).
template <class Want>
void walk(ksvm::KernelData& k, std::vector<int>& order, Want want, std::uint32_t seed, int level) {
  Width w(level);
  std::mt19937 rng(seed);
  const int n = static_cast<int>(order.size());
  k.follow(order.data(), n);
  ksvm::KernelFn f = k.callback();
  auto pick = [&](int m) { return static_cast<int>(rng() % static_cast<unsigned>(m)); };
  long long calls = k.evaluations();
  for (int round = 0; round < 60; round++) {
    const int a = order[static_cast<size_t>(pick(n))];
    int from = pick(n), to = pick(n + 1);
    if (from > to)
      std::swap(from, to);
    for (int j = from; j < to; j++) {
      const int b = order[static_cast<size_t>(j)];
      const double got = f(a, b, &k);
      calls++;
      ASSERT_TRUE(same_bits(got, kept(want(a, b))))
          << "level " << level << " d " << k.d << " type " << k.p.type << " a " << a << " b " << b
          << " position " << j << ": " << got << " vs " << want(a, b);
    }
    switch (round % 3) {
      case 0:  // a shrink-like reordering
        for (int s = pick(n); s > 0; s--)
          std::swap(order[static_cast<size_t>(pick(n))], order[static_cast<size_t>(pick(n))]);
        break;
      case 1:  // calls that follow no walk, including the diagonal
        for (int s = 0; s < 20; s++) {
          const int u = order[static_cast<size_t>(pick(n))];
          const int v = s % 4 ? order[static_cast<size_t>(pick(n))] : u;
          ASSERT_TRUE(same_bits(f(u, v, &k), kept(want(u, v))));
          calls++;
        }
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(k.evaluations(), calls);
}

void walk(const Rows& r, const ksvm::KernelParams& p, std::uint32_t seed, int level) {
  std::vector<int> order(static_cast<size_t>(r.n));
  for (int i = 0; i < r.n; i++)
    order[static_cast<size_t>(i)] = i;
  ksvm::KernelData k;
  k.x = r.x.data();
  k.norm2 = r.norm2.data();
  k.d = r.d;
  k.p = p;
  walk(
      k, order, [&](int a, int b) { return reference(r, p, a, b); }, seed, level);
}

TEST(SvmKernelAhead, EveryAnswerHasTheBitsOfOneEvaluation) {
  const int dims[] = {1, 2, 3, 4, 5, 7, 8, 10, 13, 31, 32, 33, 40};
  for (int level : widths())
    for (int d : dims) {
      // 53 rows: blocks of 32 and tiles of 8 both end inside the last ones.
      const Rows r = make_rows(53, d, static_cast<std::uint32_t>(d));
      for (int type = 0; type < 3; type++) {
        ksvm::KernelParams p;
        p.type = type;
        p.gamma = 0.07;
        p.coef0 = 0.5;
        p.degree = 3;
        walk(r, p, static_cast<std::uint32_t>(100 * d + type), level);
        if (HasFatalFailure())
          return;
      }
    }
}

TEST(SvmKernelAhead, ExpArgumentsBeyondTheFastRange) {
  // gamma so large that most distances give arguments below -700 (exp hands
  // those lanes to the library), the duplicate rows exactly 0.
  const Rows r = make_rows(40, 6, 7);
  for (int level : widths())
    for (double gamma : {300.0, 1e300, static_cast<double>(INFINITY)}) {
      ksvm::KernelParams p;
      p.type = ksvm::kRbf;
      p.gamma = gamma;
      walk(r, p, 11, level);
      if (HasFatalFailure())
        return;
    }
}

TEST(SvmKernelAhead, OrderThatIsNotASetOfRows) {
  // A kernel index outside the data turns reading ahead off; the answers
  // for valid calls stay right.
  const Rows r = make_rows(30, 4, 3);
  std::vector<int> order(30);
  for (int i = 0; i < 30; i++)
    order[static_cast<size_t>(i)] = i;
  order[17] = 99;
  ksvm::KernelData k;
  k.x = r.x.data();
  k.norm2 = r.norm2.data();
  k.d = r.d;
  k.p.gamma = 0.3;
  k.order = order.data();
  k.n = r.n;
  ksvm::KernelFn f = ksvm::kernel_callback(r.d);
  for (int a = 0; a < 30; a++)
    for (int b = 0; b < 30; b++)
      ASSERT_TRUE(same_bits(f(a, b, &k), kept(reference(r, k.p, a, b))));
  EXPECT_EQ(k.order, nullptr);
  EXPECT_EQ(k.evaluations(), 900);
}

struct Solve {
  std::vector<double> x, g;
  double w;
  int steps;
  long long evals;
};

// An RBF support-vector dual through the library, as the trainer sets it up.
Solve solve(const Rows& r, const std::vector<double>& y, bool ahead, int level, long cache) {
  Width w(level);
  ksvm::KernelData k;
  k.x = r.x.data();
  k.norm2 = r.norm2.data();
  k.d = r.d;
  k.p.gamma = 0.5;
  KALTRO s(r.n);
  s.kernel = ksvm::kernel_callback(r.d);
  s.kernel_arg = &k;
  if (ahead) {
    k.order = s.kidx;
    k.n = r.n;
  }
  s.trace_level = 0;
  s.maxcachesize = cache;
  for (int i = 0; i < r.n; i++) {
    s.lin[i] = y[static_cast<size_t>(i)];
    s.lo[i] = std::fmin(0.0, 2 * y[static_cast<size_t>(i)]);
    s.hi[i] = std::fmax(0.0, 2 * y[static_cast<size_t>(i)]);
  }
  Solve out;
  out.steps = s.run(true, true);
  out.x.assign(s.x, s.x + r.n);
  out.g.assign(s.g, s.g + r.n);
  out.w = s.w;
  out.evals = k.evaluations();
  return out;
}

TEST(SvmKernelAhead, WholeSolvesComeOutBitForBit) {
  // 700 points, labels from a nonlinear rule with some flipped: enough
  // shrinking and reordering to exercise the position-ordered rows, with a
  // cache that holds everything and one that holds a few rows.
  const Rows r = make_rows(700, 5, 21);
  std::vector<double> y(700);
  std::mt19937 rng(5);
  for (int i = 0; i < 700; i++) {
    const double* v = r.x.data() + static_cast<size_t>(i) * 5;
    y[static_cast<size_t>(i)] = (v[0] * v[1] + 0.3 * v[2] > 0) != (rng() % 10 == 0) ? 1 : -1;
  }
  for (long cache : {64L << 20, 40L * 700 * 4}) {
    const Solve plain = solve(r, y, false, kaltro::detail::kPlain, cache);
    ASSERT_GT(plain.steps, 0);
    for (int level : widths()) {
      const Solve fast = solve(r, y, true, level, cache);
      EXPECT_EQ(fast.steps, plain.steps) << "level " << level;
      EXPECT_TRUE(same_bits(fast.w, plain.w)) << "level " << level;
      EXPECT_EQ(fast.evals, plain.evals) << "level " << level;
      for (int i = 0; i < 700; i++) {
        ASSERT_TRUE(same_bits(fast.x[static_cast<size_t>(i)], plain.x[static_cast<size_t>(i)]))
            << i;
        ASSERT_TRUE(same_bits(fast.g[static_cast<size_t>(i)], plain.g[static_cast<size_t>(i)]))
            << i;
      }
    }
  }
}

// n rows of d features, one in `one_in` of them non-zero, with a duplicate
// row and an empty one; the labels alternate.
ksvm::Dataset sparse_rows(int n, int d, std::uint32_t seed, unsigned one_in = 3) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
  std::vector<double> x(static_cast<size_t>(n) * d), head(static_cast<size_t>(n));
  for (double& v : x)
    v = rng() % one_in == 0 ? normal(rng) : 0;
  for (int k = 0; k < d; k++) {
    x[static_cast<size_t>(3 * d + k)] = x[static_cast<size_t>(k)];  // row 3 = row 0
    x[static_cast<size_t>(5 * d + k)] = 0;                          // row 5 = 0
  }
  for (int i = 0; i < n; i++)
    head[static_cast<size_t>(i)] = i % 2 ? 1 : -1;
  return ksvm::dataset_from_dense(n, d, x.data(), head.data());
}

ksvm::KernelParams params(int type) {
  ksvm::KernelParams p;
  p.type = type;
  p.gamma = 0.07;
  p.coef0 = 0.5;
  p.degree = 3;
  return p;
}

TEST(SvmKernelAhead, SparseRowsGiveTheBitsOfDenseOnes) {
  // Widths that are not multiples of 4: every sum of the four gets the
  // features of its class, whatever holds them.
  // The widest set has so few non-zeros that the blocks renumber its features.
  for (int d : {5, 13, 38, 203, 2003}) {
    const ksvm::Dataset data =
        sparse_rows(45, d, static_cast<std::uint32_t>(d), d > 1000 ? 150 : 3);
    const ksvm::Dataset dense = ksvm::with_holding(data, false);
    const ksvm::Dataset sparse = ksvm::with_holding(data, true);
    ASSERT_TRUE(sparse.sparse && !dense.sparse);
    for (int i = 0; i < data.n; i++)
      ASSERT_TRUE(
          same_bits(sparse.norm2[static_cast<size_t>(i)], dense.norm2[static_cast<size_t>(i)]));
    ksvm::Dataset wider = dense;  // a dense row longer than the sparse data's width
    ksvm::widen(wider, d + 3, "wider");
    const ksvm::Dataset* sets[] = {&dense, &sparse, &wider};
    std::vector<double> column(static_cast<size_t>(data.n));
    for (int type = 0; type < 4; type++) {
      const ksvm::KernelParams p = params(type);
      auto want = [&](int a, int b) { return ksvm::kernel_value(p, dense, a, dense, b); };
      for (int a = 0; a < data.n; a++)
        for (int b = 0; b < data.n; b++)
          for (const ksvm::Dataset* u : sets)
            for (const ksvm::Dataset* v : sets)
              ASSERT_TRUE(same_bits(ksvm::kernel_value(p, *u, a, *v, b), want(a, b)))
                  << "d " << d << " type " << type << " a " << a << " b " << b;
      // Sparse support vectors also held by feature (summed from their
      // columns where that pays: the sparser sets).
      ksvm::FeatureColumns by_feature;
      const bool built = by_feature.build(sparse, size_t{1} << 30);
      ASSERT_TRUE(built || d < 1000);
      for (const ksvm::Dataset* sv : sets)
        for (const ksvm::Dataset* z : sets)
          for (int i = 0; i < data.n; i++)
            for (bool summed : {false, true}) {
              if (summed && (!built || sv != &sparse || z != &sparse))
                continue;
              ksvm::kernel_column(p, *sv, *z, i, column.data(), summed ? &by_feature : nullptr);
              for (int s = 0; s < data.n; s++)
                ASSERT_TRUE(same_bits(column[static_cast<size_t>(s)], want(s, i)))
                    << "d " << d << " type " << type << " sv " << s << " z " << i;
            }
      // Rows to predict that hold features no support vector holds, some
      // beyond the last one.
      const ksvm::Dataset beyond = sparse_rows(45, d + 40, static_cast<std::uint32_t>(d + 1), 3);
      const ksvm::Dataset beyond_sparse = ksvm::with_holding(beyond, true);
      for (int i = 0; built && i < data.n; i++) {
        ksvm::kernel_column(p, sparse, beyond_sparse, i, column.data(), &by_feature);
        for (int s = 0; s < data.n; s++)
          ASSERT_TRUE(
              same_bits(column[static_cast<size_t>(s)], ksvm::kernel_value(p, dense, s, beyond, i)))
              << "d " << d << " type " << type << " sv " << s << " z " << i;
      }
      // The solver's callback at every vector width, with and without
      // reading ahead.
      for (int level : widths()) {
        std::vector<int> order(static_cast<size_t>(data.n));
        for (int i = 0; i < data.n; i++)
          order[static_cast<size_t>(i)] = i;
        ksvm::KernelData k(sparse, p);
        walk(k, order, want, static_cast<std::uint32_t>(d + type), level);
        EXPECT_EQ(k.ahead->numbers > 0, d > 1000);
        EXPECT_LT(k.ahead->numbers, d);
        ksvm::KernelData single(sparse, p);
        ksvm::KernelFn f = single.callback();
        for (int a = 0; a < data.n; a++)
          ASSERT_TRUE(same_bits(f(a, (a * 7) % data.n, &single), kept(want(a, (a * 7) % data.n))));
        if (HasFatalFailure())
          return;
      }
    }
  }
}

TEST(SvmKernelAhead, PrecomputedKernelFromEitherHolding) {
  // Rows "0:serial 1:K(i,1) ..." with zeros among the values; the serials
  // run backwards so that row i names column n - i.
  const int n = 6;
  std::vector<double> x, head(n, 1);
  for (int i = 0; i < n; i++) {
    x.push_back(n - i);
    for (int j = 1; j <= n; j++)
      x.push_back((i + j) % 3 ? 0.25 * i - j : 0);
  }
  const ksvm::Dataset data = ksvm::dataset_from_dense(n, n + 1, x.data(), head.data());
  ksvm::KernelParams p;
  p.type = ksvm::kPrecomputed;
  for (bool holding : {false, true}) {
    const ksvm::Dataset held = ksvm::with_holding(data, holding);
    ksvm::KernelData k(held, p);
    std::vector<double> column(n);
    for (int a = 0; a < n; a++) {
      ksvm::kernel_column(p, held, held, a, column.data());
      for (int b = 0; b < n; b++) {
        const double want = x[static_cast<size_t>(a * (n + 1) + n - b)];
        EXPECT_EQ(k.callback()(a, b, &k), want) << a << " " << b;
        EXPECT_EQ(ksvm::kernel_value(p, held, a, held, b), want);
        EXPECT_EQ(column[static_cast<size_t>(b)], want);  // a test row names support vectors
      }
    }
    EXPECT_EQ(ksvm_test::failure_of([&] { ksvm::check_precomputed(held, n, "k.txt"); }),
              "(no failure)");
    EXPECT_EQ(ksvm_test::failure_of([&] { ksvm::check_precomputed(held, n + 1, "k.txt"); }),
              "k.txt: the rows hold kernel values for 6 columns; 7 are needed");
  }
  std::vector<double> bad = x;
  bad[2 * (n + 1)] = 2.5;
  const ksvm::Dataset broken = ksvm::dataset_from_dense(n, n + 1, bad.data(), head.data());
  EXPECT_EQ(ksvm_test::failure_of([&] { ksvm::check_precomputed(broken, n, "k.txt"); }),
            "k.txt: row 3: serial 2.5 (feature 0) is not an integer from 1 to 6");
  EXPECT_EQ(ksvm_test::failure_of([&] { ksvm::check_precomputed(broken, n, "k.txt", false); }),
            "(no failure)");
}

TEST(SvmKernelAhead, ReadsAheadOverSubsetsAndSharedKernelIndices) {
  // Kernel indices that are a third of the rows of a larger set (one pair
  // of classes), and each of them at two positions (the two variables of a
  // regression example).  The answers stay those of single evaluations,
  // and whole rows filled in position order are answered from blocks: one
  // per kAhead positions, and one more where the walk starts.
  // The second set is wide and thin enough for the features to be renumbered.
  const ksvm::Dataset sets[] = {sparse_rows(150, 37, 4), sparse_rows(150, 3001, 5, 300)};
  for (const ksvm::Dataset& data : sets)
    for (bool holding : {false, true}) {
      const ksvm::Dataset held = ksvm::with_holding(data, holding);
      const ksvm::KernelParams p = params(ksvm::kRbf);
      auto want = [&](int a, int b) { return ksvm::kernel_value(p, held, a, held, b); };
      std::vector<int> subset, twice;
      for (int i = 1; i < held.n; i += 3)
        subset.push_back(i);
      twice = subset;
      twice.insert(twice.end(), subset.begin(), subset.end());
      for (std::vector<int>* order : {&subset, &twice}) {
        for (int level : widths()) {
          ksvm::KernelData k(held, p);
          walk(k, *order, want, 9, level);
          if (HasFatalFailure())
            return;
          // Rows filled from start to end after the walk's exchanges.
          Width w(level);
          const int n = static_cast<int>(order->size());
          const long long before = k.ahead->blocks;
          ksvm::KernelFn f = k.callback();
          for (int r = 0; r < 10; r++) {
            const int a = (*order)[static_cast<size_t>(r * 7 % n)];
            for (int j = 0; j < n; j++)
              ASSERT_TRUE(same_bits(f(a, (*order)[static_cast<size_t>(j)], &k),
                                    kept(want(a, (*order)[static_cast<size_t>(j)]))));
          }
          const long long blocks = k.ahead->blocks - before;
          EXPECT_GE(blocks, 10 * (n / ksvm::kAhead)) << "level " << level << " n " << n;
          EXPECT_LE(blocks, 10 * (n / ksvm::kAhead + 2)) << "level " << level << " n " << n;
        }
      }
    }
}

TEST(SvmKernelAhead, SinglePrecisionAtEveryWidthIsTheCast) {
  // Ties to even, the top of the float range, subnormals and below, NaN,
  // and the lanes of each register in their places.
  const double edge[] = {0x1.000001p0,  0x1.000003p0, -0x1.000001p0, 3.4028235677973366e38,
                         3.40282357e38, 1e39,         -1e39,         0x1p-149,
                         0x1p-150,      0x3p-151,     1e-46,         -0.0,
                         NAN,           -INFINITY,    0.1,           0.3333333333333333};
  double v[ksvm::kAhead];
  for (int t = 0; t < ksvm::kAhead; t++)
    v[t] = t < 16 ? edge[t] : 0.7 + t * 1e-9;
  for (int level : widths()) {
    Width w(level);
    float out[ksvm::kAhead];
    ksvm::to_single(v, out);
    for (int t = 0; t < ksvm::kAhead; t++) {
      const float want = static_cast<float>(v[t]);
      ASSERT_EQ(std::memcmp(&out[t], &want, sizeof want), 0) << "level " << level << " lane " << t;
    }
  }
}

#ifdef KALTRO_LANES
// exp_lanes over a whole array, at each width.
template <class V>
void exp_array(const double* x, double* out, int n) {
  for (int i = 0; i < n; i += V::n)
    ksvm::exp_lanes(V::load(x + i)).store(out + i);
}
KALTRO_LANES2 void exp2_array(const double* x, double* out, int n) {
  exp_array<kaltro::detail::Lanes2>(x, out, n);
}
KALTRO_LANES4 void exp4_array(const double* x, double* out, int n) {
  exp_array<kaltro::detail::Lanes4>(x, out, n);
}
KALTRO_LANES8 void exp8_array(const double* x, double* out, int n) {
  exp_array<kaltro::detail::Lanes8>(x, out, n);
}

TEST(SvmKernelAhead, ExpOnLanesHasTheBitsOfThePlainExp) {
  // The whole fast range, every table entry many times over, and both signs.
  std::vector<double> x;
  for (double v = -699.99; v < 700; v += 0.0137)
    x.push_back(v);
  for (double v : {0.0, -0.0, 1e-300, -1e-17, 0x1p-8, 699.9999, -699.9999})
    x.push_back(v);
  x.resize((x.size() + 7) / 8 * 8, 0.5);
  void (*const paths[])(const double*, double*, int) = {exp2_array, exp4_array, exp8_array};
  for (int level = kaltro::detail::kLanes2; level <= kaltro::detail::simd_level(); level++) {
    std::vector<double> out(x.size());
    paths[level - kaltro::detail::kLanes2](x.data(), out.data(), static_cast<int>(x.size()));
    for (size_t i = 0; i < x.size(); i++)
      ASSERT_TRUE(same_bits(out[i], ksvm::exp_inline(x[i])))
          << "level " << level << " x " << x[i] << ": " << out[i];
  }
}
#endif

}  // namespace
