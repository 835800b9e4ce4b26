// The fast paths give the same bits as the plain ones: vector loops against
// plain loops, and the one-pass row reordering of a shrink against exchanges
// applied one by one.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "internal.h"
#include "support.h"

namespace kaltro {
namespace detail {
int simd_level();
int set_simd_level(int level);
}  // namespace detail
}  // namespace kaltro

namespace {

struct Outcome {
  int steps;
  double w;
  std::vector<double> x, g;
};

// A support-vector style problem with boxes of mixed sizes and some fixed
// variables, so that clipped steps, shrinking and second-order pairs all occur.
Outcome solve(int n, unsigned long long seed, bool equality, long cache) {
  Points pts = random_points(n, 3, seed);
  pts.gamma = 2.0;
  FakeKernel k(pts);
  Lcg r(seed + 7);
  KALTRO s(n);
  k.attach(s);
  s.trace_level = 0;
  s.equality = equality;
  s.maxcachesize = cache;
  for (int i = 0; i < n; i++) {
    double y = r.uniform() < 0.5 ? -1.0 : 1.0;
    double c = r.uniform() < 0.1 ? 0.0 : 0.5 + 3 * r.uniform();
    s.lin[i] = y + 0.3 * (r.uniform() - 0.5);
    s.lo[i] = y > 0 ? 0.0 : -c;
    s.hi[i] = y > 0 ? c : 0.0;
  }
  Outcome o;
  o.steps = s.run(true, true);
  o.w = s.w;
  o.x.assign(s.x, s.x + n);
  o.g.assign(s.g, s.g + n);
  return o;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Paths, VectorLoopsGiveTheBitsOfThePlainLoops) {
  const int best = kaltro::detail::simd_level();
  for (int n : {1, 2, 3, 7, 64, 301}) {
    for (bool equality : {true, false}) {
      for (long cache : {256L << 20, 3000L}) {
        kaltro::detail::set_simd_level(0);
        Outcome plain = solve(n, 100 + n, equality, cache);
        for (int level = 1; level <= best; level++) {
          kaltro::detail::set_simd_level(level);
          Outcome vec = solve(n, 100 + n, equality, cache);
          SCOPED_TRACE(::testing::Message() << "n=" << n << " eq=" << equality << " cache=" << cache
                                            << " level=" << level);
          if (n >= 7) {
            EXPECT_GT(plain.steps, 0);
          }
          EXPECT_EQ(vec.steps, plain.steps);
          EXPECT_EQ(std::memcmp(&vec.w, &plain.w, sizeof(double)), 0);
          EXPECT_TRUE(same_bits(vec.x, plain.x));
          EXPECT_TRUE(same_bits(vec.g, plain.g));
        }
      }
    }
  }
  kaltro::detail::set_simd_level(3);
}

// Ring contents as (key, len, entries) from most to least recent.
std::vector<std::vector<float>> ring_state(const KALTRO& s) {
  std::vector<std::vector<float>> out;
  std::vector<const KALTRO::Arow*> ring;
  EXPECT_TRUE(ring_rows(s, ring));
  for (const KALTRO::Arow* r : ring) {
    std::vector<float> row{static_cast<float>(r->key), static_cast<float>(r->len)};
    row.insert(row.end(), r->data, r->data + r->len);
    out.push_back(row);
  }
  return out;
}

TEST(Paths, ShrinkReordersRowsAsExchangesOneByOne) {
  const int n = 40;
  FakeKernel k(random_points(n, 2, 5));
  int shrunk = 0;
  for (unsigned long long seed = 1; seed <= 20; seed++) {
    KALTRO a(n), b(n);
    Lcg r(seed);
    for (KALTRO* s : {&a, &b}) {
      k.attach(*s);
      s->trace_level = 0;
      s->equality = seed % 2 == 0;
    }
    for (int i = 0; i < n; i++) {
      // Half the variables sit at a bound with a gradient that holds them.
      double lo = -1, hi = 1, x = 2 * r.uniform() - 1;
      if (r.uniform() < 0.5)
        x = r.uniform() < 0.5 ? lo : hi;
      a.lo[i] = b.lo[i] = lo;
      a.hi[i] = b.hi[i] = hi;
      a.x[i] = b.x[i] = x;
      a.lin[i] = b.lin[i] = 3 * (r.uniform() - 0.5);
    }
    a.cache_init();
    b.cache_init();
    for (KALTRO* s : {&a, &b}) {
      s->l = 0;
      s->unshrink(false);
      s->cache_init();  // start the rows afresh; the gradient stays
      // Rows of assorted lengths, so that some are cut and some exchanged.
      Lcg q(seed * 31);
      for (int t = 0; t < 25; t++) {
        int i = q.below(n);
        s->getrow(i, 1 + q.below(n), q.uniform() < 0.5);
      }
    }
    // b: the same walk by hand, through the public exchange, which follows
    // every exchange in the cache at once.
    {
      double high = b.equality ? -b.big : 0, low = b.equality ? b.big : 0;
      for (int p = 0; p < b.l; p++) {
        if (b.g[p] > high && b.x[p] < b.hi[p])
          high = b.g[p];
        if (b.g[p] < low && b.x[p] > b.lo[p])
          low = b.g[p];
      }
      const double th = b.equality ? high : 0, tl = b.equality ? low : 0;
      int i = 0;
      while (i < b.l) {
        bool held = (b.g[i] >= th && b.x[i] >= b.hi[i] - b.eps_bound) ||
                    (b.g[i] <= tl && b.x[i] <= b.lo[i] + b.eps_bound);
        if (held) {
          b.l -= 1;
          b.swap(i, b.l);
        } else {
          i++;
        }
      }
    }
    a.shrink();
    // Both ends must agree on every per-variable array and the whole cache.
    EXPECT_EQ(a.l, b.l);
    EXPECT_EQ(a.cache_bytes, b.cache_bytes);
    EXPECT_EQ(ring_state(a), ring_state(b));
    long bytes = 0;
    std::vector<const KALTRO::Arow*> ring;
    EXPECT_TRUE(ring_rows(a, ring));
    for (const KALTRO::Arow* r : ring)
      bytes += 4L * r->len;
    EXPECT_EQ(a.cache_bytes, bytes);
    shrunk += n - a.l;
    for (int i = 0; i < n; i++) {
      EXPECT_EQ(a.home[i], b.home[i]);
      EXPECT_EQ(a.x[i], b.x[i]);
      EXPECT_EQ(a.kidx[i], b.kidx[i]);
      EXPECT_EQ(a.work->kdiag[i], a.rows[i]->diag);
      EXPECT_EQ(a.rows[i]->key, b.rows[i]->key);
      EXPECT_EQ(a.rows[i]->len, b.rows[i]->len);
    }
  }
  EXPECT_GT(shrunk, 40);  // the walks did move variables
}

}  // namespace
