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

#include "fast_exp.h"
#include "kaltro.h"
#include "kernel.h"
#include "lanes.h"

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

bool same_bits(double u, double v) { return std::memcmp(&u, &v, sizeof u) == 0; }

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

// Plays the solver: rows filled over stretches of positions in order,
// variables exchanged in between, calls out of order mixed in.
void walk(const Rows& r, const ksvm::KernelParams& p, std::uint32_t seed, int level) {
  Width w(level);
  std::mt19937 rng(seed);
  std::vector<int> order(static_cast<size_t>(r.n));
  for (int i = 0; i < r.n; i++)
    order[static_cast<size_t>(i)] = i;
  ksvm::KernelData k;
  k.x = r.x.data();
  k.norm2 = r.norm2.data();
  k.d = r.d;
  k.p = p;
  k.order = order.data();
  k.n = r.n;
  ksvm::KernelFn f = ksvm::kernel_callback(r.d);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  long long calls = 0;
  for (int round = 0; round < 60; round++) {
    const int a = pick(r.n);
    int from = pick(r.n), to = pick(r.n + 1);
    if (from > to)
      std::swap(from, to);
    for (int j = from; j < to; j++) {
      const int b = order[static_cast<size_t>(j)];
      const double got = f(a, b, &k);
      calls++;
      ASSERT_TRUE(same_bits(got, reference(r, p, a, b)))
          << "level " << level << " d " << r.d << " type " << p.type << " a " << a << " b " << b
          << " position " << j << ": " << got << " vs " << reference(r, p, a, b);
    }
    switch (round % 3) {
      case 0:  // a shrink-like reordering
        for (int s = pick(r.n); s > 0; s--)
          std::swap(order[static_cast<size_t>(pick(r.n))], order[static_cast<size_t>(pick(r.n))]);
        break;
      case 1:  // calls that follow no walk, including the diagonal
        for (int s = 0; s < 20; s++) {
          const int u = pick(r.n), v = s % 4 ? pick(r.n) : u;
          ASSERT_TRUE(same_bits(f(u, v, &k), reference(r, p, u, v)));
          calls++;
        }
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(k.evals, calls);
}

TEST(SvmKernelAhead, EveryAnswerHasTheBitsOfOneEvaluation) {
  const int dims[] = {1, 2, 3, 4, 5, 7, 8, 10, 13, 31, 32, 33, 40};
  for (int level : widths())
    for (int d : dims) {
      // 53 rows: blocks of 16 and tiles of 8 both end inside the last ones.
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
      ASSERT_TRUE(same_bits(f(a, b, &k), reference(r, k.p, a, b)));
  EXPECT_EQ(k.order, nullptr);
  EXPECT_EQ(k.evals, 900);
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
  out.evals = k.evals;
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
