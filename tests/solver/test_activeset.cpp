// The active set and the gradient: swap, shrink, unshrink, togbar, unswap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "support.h"

namespace {

// A random box-constrained problem over points, cache set up: kernel
// indices repeat, a few variables sit at each bound and a few at 0.
struct Problem {
  FakeKernel k;
  KALTRO s;
  Problem(int n, unsigned long long seed) : k(random_points(n, 3, seed)), s(n) {
    Lcg r(seed + 100);
    k.attach(s);
    s.trace_level = 0;
    for (int p = 0; p < n; p++) {
      s.kidx[p] = p % 3 == 2 ? p - 2 : p;  // every third shares a row
      s.lin[p] = 2 * r.uniform() - 1;
      s.lo[p] = -r.uniform();
      s.hi[p] = r.uniform();
      int kind = r.below(4);
      s.x[p] = kind == 0   ? s.lo[p]
               : kind == 1 ? s.hi[p]
               : kind == 2 ? 0.0
                           : s.lo[p] + r.uniform() * (s.hi[p] - s.lo[p]);
      s.g[p] = s.gref[p] = s.xref[p] = 0;
    }
    s.cache_init();
    k.calls = 0;
  }
  double K(int p, int q) const { return k.value(s.kidx[p], s.kidx[q]); }
};

// lin - K x for the current order, in double straight from the kernel, and
// how far the solver may be from it: it stores each row entry as a float
// (relative error at most 2^-24) and weights it by x or by xref and the
// difference to x, so 2^-22 times the sum of those weights bounds the error
// with room to spare for the double sums.
struct Reference {
  std::vector<double> g, tol;
  double w = 0, wtol = 0;
};

// `weight`, when given, replaces those weights (for values built up over
// many folds).
Reference reference(const Problem& pb, const std::vector<double>* weight = nullptr) {
  const KALTRO& s = pb.s;
  Reference ref;
  for (int p = 0; p < s.n; p++) {
    double gp = s.lin[p], mag = 0;
    for (int k = 0; k < s.n; k++) {
      double kv = pb.K(p, k);
      gp -= kv * s.x[k];
      mag += std::fabs(kv) * (weight ? (*weight)[static_cast<size_t>(k)]
                                     : std::fabs(s.x[k]) + 2 * std::fabs(s.xref[k]) +
                                           std::fabs(s.x[k] - s.xref[k]));
    }
    ref.g.push_back(gp);
    ref.tol.push_back(std::ldexp(mag, -22) + 1e-15);
    ref.w += s.lin[p] * s.x[p] - 0.5 * s.x[p] * (s.lin[p] - gp);
    ref.wtol += std::fabs(s.x[p]) * ref.tol.back();
  }
  return ref;
}

void expect_gradient(const Problem& pb, const double* g, int from, int to, const char* what,
                     const std::vector<double>* weight = nullptr) {
  Reference ref = reference(pb, weight);
  for (int p = from; p < to; p++)
    EXPECT_NEAR(g[p], ref.g[p], ref.tol[p]) << what << " at position " << p;
}

// gref = lin - K xref, checked by evaluating at xref.
void expect_gref_exact(Problem& pb, const std::vector<double>& weight) {
  std::vector<double> x(pb.s.x, pb.s.x + pb.s.n);
  std::copy(pb.s.xref, pb.s.xref + pb.s.n, pb.s.x);
  expect_gradient(pb, pb.s.gref, 0, pb.s.n, "gref", &weight);
  std::copy(x.begin(), x.end(), pb.s.x);
}

// Every per-variable value and the cached rows, to compare whole states.
struct Snapshot {
  std::vector<double> d;
  std::vector<int> i;
  std::vector<const KALTRO::Arow*> rows;
  int l;
  explicit Snapshot(const KALTRO& s) : l(s.l) {
    for (const double* a : {s.lin, s.lo, s.hi, s.x, s.g, s.gref, s.xref})
      d.insert(d.end(), a, a + s.n);
    i.insert(i.end(), s.kidx, s.kidx + s.n);
    i.insert(i.end(), s.home, s.home + s.n);
    rows.insert(rows.end(), s.rows, s.rows + s.n);
  }
  bool operator==(const Snapshot& o) const {
    return d == o.d && i == o.i && rows == o.rows && l == o.l;
  }
};

// Every cached entry equals the kernel for the variables standing at its
// row's and its column's positions now.
void expect_rows_follow(const Problem& pb) {
  const KALTRO& s = pb.s;
  for (int p = 0; p < s.n; p++) {
    ASSERT_EQ(s.rows[p]->key, s.kidx[p]);
    for (int j = 0; j < s.rows[p]->len; j++)
      ASSERT_EQ(s.rows[p]->data[j], static_cast<float>(pb.K(p, j))) << p << "," << j;
  }
}

// A bare solver for the shrink and extremes rules: variable p has box
// [lo, hi], value x and gradient g.
struct Var {
  double lo, hi, x, g;
};
void place(KALTRO& s, const std::vector<Var>& v) {
  for (int p = 0; p < s.n; p++) {
    s.lo[p] = v[p].lo;
    s.hi[p] = v[p].hi;
    s.x[p] = v[p].x;
    s.g[p] = v[p].g;
    s.gref[p] = s.xref[p] = 0;
    s.lin[p] = 100 + p;  // marks the variable
    s.kidx[p] = s.home[p] = p;
  }
  s.l = s.n;
}
std::vector<int> order(const KALTRO& s) { return std::vector<int>(s.home, s.home + s.n); }

TEST(ActiveSwap, MovesEveryEntryOfBothVariablesAndTheirRows) {
  Problem pb(7, 1);
  KALTRO& s = pb.s;
  for (int p = 0; p < 7; p++) {
    s.g[p] = 10 + p;
    s.gref[p] = 20 + p;
    s.xref[p] = 30 + p;
    s.getrow(p, 7 - p % 3, p % 2 == 0);
  }
  s.l = 5;
  Snapshot before(s);
  s.swap(1, 4);
  Snapshot after(s);
  for (int p = 0; p < 7; p++) {
    int q = p == 1 ? 4 : p == 4 ? 1 : p;
    for (int a = 0; a < 7; a++)  // lin lo hi x g gref xref
      EXPECT_EQ(after.d[a * 7 + p], before.d[a * 7 + q]) << "array " << a << " at " << p;
    for (int a = 0; a < 2; a++)  // kidx home
      EXPECT_EQ(after.i[a * 7 + p], before.i[a * 7 + q]) << "int array " << a << " at " << p;
    EXPECT_EQ(after.rows[p], before.rows[q]);
  }
  EXPECT_EQ(s.l, 5);
  expect_rows_follow(pb);

  s.swap(3, 3);
  EXPECT_TRUE(Snapshot(s) == after);

  KALTRO bare(2);  // no cache set up
  place(bare, {{0, 1, 0.5, 1}, {0, 2, 2, -1}});
  bare.swap(0, 1);
  EXPECT_EQ(bare.hi[0], 2);
  EXPECT_EQ(bare.g[1], 1);
  EXPECT_EQ(order(bare), (std::vector<int>{1, 0}));
}

TEST(ActiveShrink, WalkMovesHeldVariablesToTheEnd) {
  // V0 and V1 held at a bound, V2 and V3 free to move.
  KALTRO s(4);
  s.equality = false;
  place(s, {{0, 1, 1, 0.5}, {0, 1, 0, -0.2}, {0, 1, 0.5, 3}, {0, 1, 0.5, -3}});
  s.shrink();
  EXPECT_EQ(s.l, 2);
  EXPECT_EQ(order(s), (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(s.lin[0], 103);
  EXPECT_EQ(s.g[3], 0.5);
  // The extremes describe the active set before anything left it.
  EXPECT_EQ(s.g_high, 3);
  EXPECT_EQ(s.g_low, -3);

  // Only the active prefix is walked.
  s.shrink();
  EXPECT_EQ(s.l, 2);
  s.l = 1;
  s.x[1] = 1;  // V2 held at its upper bound now, but outside the walk
  s.shrink();
  EXPECT_EQ(s.l, 1);
  EXPECT_EQ(order(s), (std::vector<int>{3, 2, 1, 0}));
}

TEST(ActiveShrink, ThresholdsWithoutEqualityAreZero) {
  KALTRO s(7);
  s.equality = false;
  s.eps_bound = 1e-9;
  place(s, {
               {0, 1, 1, 0.0},   // at hi, gradient exactly 0: held
               {0, 1, 0, 0.0},   // at lo, gradient exactly 0: held
               {0, 1, 0.5, 9},   // inside: never held
               {0, 1, 0.5, -9},  // inside: never held
               {2, 2, 2, 5},     // lo = hi: held whatever the sign
               {2, 2, 2, -5},    //
               {0, 1, 0, 1e-3},  // at lo but could rise
           });
  s.shrink();
  EXPECT_EQ(s.l, 3);
  std::vector<int> active(s.home, s.home + 3);
  EXPECT_EQ(std::set<int>(active.begin(), active.end()), (std::set<int>{2, 3, 6}));
  EXPECT_EQ(s.g_high, 9);
  EXPECT_EQ(s.g_low, -9);
}

TEST(ActiveShrink, ThresholdsWithEqualityAreTheExtremes) {
  KALTRO s(5);
  s.eps_bound = 1e-9;
  place(s, {
               {0, 1, 0.5, 1.0},   // inside; sets g_high = 1
               {0, 1, 1, 1.0},     // at hi, gradient equal to g_high: held
               {0, 1, 0, 0.3},     // at lo, between the extremes: stays
               {0, 1, 0.5, -1.0},  // inside; sets g_low = -1
               {0, 1, 0, -1.0},    // at lo, gradient equal to g_low: held
           });
  s.shrink();
  EXPECT_EQ(s.g_high, 1.0);
  EXPECT_EQ(s.g_low, -1.0);
  EXPECT_EQ(s.l, 3);
  EXPECT_EQ(order(s), (std::vector<int>{0, 3, 2, 4, 1}));

  // A bound within eps_bound counts as reached when testing for held
  // variables, while the extremes count every x strictly inside the box.
  const double near = 1 - 5e-10;
  place(s, {{0, 1, near, 2.0},
            {0, 1, 1 - 1e-6, 1.5},
            {0, 1, 0.5, 0.0},
            {0, 1, 1, 7.0},
            {0, 1, 5e-10, -4.0}});
  s.shrink();
  EXPECT_EQ(s.g_high, 2.0);  // from the variable just below hi, not the one at hi
  EXPECT_EQ(s.g_low, -4.0);
  EXPECT_EQ(s.l, 2);
  EXPECT_EQ(order(s), (std::vector<int>{2, 1, 3, 4, 0}));
}

TEST(ActiveShrink, CachedRowsFollowAsIfExchangedOneByOne) {
  // Twin problems: one shrinks, the other takes the same walk through
  // single swaps.  Cached rows of every length must end up alike.
  for (unsigned long long seed : {14ULL, 15ULL, 16ULL}) {
    Problem a(12, seed), b(12, seed);
    for (KALTRO* s : {&a.s, &b.s}) {
      s->equality = false;
      for (int p : {0, 3, 4})
        s->lo[p] = s->hi[p] = s->x[p];  // held whatever their gradients
      s->l = 0;
      s->unshrink(false);
      Lcg r(seed);
      for (int step = 0; step < 12; step++) {
        int p = r.below(12), upto = r.below(13);
        s->getrow(p, upto, r.below(2) == 1);
      }
      s->l = 10;  // a tail shrunk earlier
    }
    a.s.shrink();
    KALTRO& t = b.s;
    int i = 0;
    while (i < t.l) {
      bool held = (t.g[i] >= 0 && t.x[i] >= t.hi[i] - t.eps_bound) ||
                  (t.g[i] <= 0 && t.x[i] <= t.lo[i] + t.eps_bound);
      if (held) {
        t.l--;
        t.swap(i, t.l);
      } else {
        i++;
      }
    }
    ASSERT_LE(a.s.l, 7);
    EXPECT_EQ(a.s.l, t.l);
    EXPECT_EQ(order(a.s), order(t));
    EXPECT_EQ(a.s.cache_bytes, t.cache_bytes);
    for (int p = 0; p < 12; p++)
      EXPECT_EQ(a.s.rows[p]->len, t.rows[p]->len) << "seed " << seed << " position " << p;
    EXPECT_EQ(ring_of(a.s), ring_of(t));
    expect_rows_follow(a);
  }
}

TEST(ActiveShrink, RowCutToNothingIsRefetchedInPlace) {
  // As in a solve: a short working row has become the least recent, a
  // shrink exchange cuts it to nothing, and togbar then fetches it not hot.
  Problem pb(6, 17);
  KALTRO& s = pb.s;
  s.equality = false;
  for (int p = 0; p < 6; p++) {
    s.kidx[p] = p;
    s.x[p] = 0.5 * (s.lo[p] + s.hi[p]);
    s.g[p] = 0.1;
  }
  s.lo[0] = s.hi[0] = s.x[0];  // held: goes to position 5
  s.cache_init();
  s.getrow(3, 2, true);
  s.getrow(1, 6, true);
  s.l = 6;
  s.shrink();
  ASSERT_EQ(s.l, 5);
  EXPECT_EQ(s.rows[3]->len, 0);
  EXPECT_EQ(ring_of(s), (std::vector<int>{1, 3}));
  pb.k.calls = 0;
  s.x[3] = s.hi[3];
  s.togbar(3);
  EXPECT_EQ(pb.k.calls, 6);
  EXPECT_EQ(s.rows[3]->len, 6);
  std::vector<int> keys = ring_of(s);
  ASSERT_EQ(keys, (std::vector<int>{1, 3}));  // a broken ring would make cache_clean spin
  expect_rows_follow(pb);
  s.maxcachesize = 0;
  EXPECT_EQ(s.cache_clean(), 0);
  EXPECT_TRUE(ring_of(s).empty());
}

TEST(ActiveExtremes, StrictTestsAndStartingValues) {
  KALTRO s(3);
  s.big = 7;
  auto both = [&s](double* high, double* low) {
    s.unshrink(true);  // l == n: only the extremes and w
    high[0] = s.g_high, low[0] = s.g_low;
    s.equality = !s.equality;
    s.unshrink(true);
    high[1] = s.g_high, low[1] = s.g_low;
    s.equality = !s.equality;
  };
  double high[2], low[2];  // equality true, then false
  // Everything at its upper bound: nothing can rise, whatever its gradient.
  place(s, {{0, 1, 1, 3}, {0, 2, 2, -2}, {-1, 0, 0, 5}});
  both(high, low);
  EXPECT_EQ(high[0], -7);
  EXPECT_EQ(high[1], 0);
  EXPECT_EQ(low[0], -2);
  EXPECT_EQ(low[1], -2);
  // Only gradients below 0 can rise; the one at hi would be largest.
  place(s, {{0, 1, 0.5, -3}, {0, 1, 0.2, -1}, {0, 1, 1, 5}});
  both(high, low);
  EXPECT_EQ(high[0], -1);
  EXPECT_EQ(high[1], 0);
  EXPECT_EQ(low[0], -3);
  EXPECT_EQ(low[1], -3);
  // Only gradients above 0 can fall; the one at lo would be smallest.
  place(s, {{0, 1, 0.5, 1}, {0, 1, 0.2, 2}, {0, 1, 0, -4}});
  both(high, low);
  EXPECT_EQ(high[0], 2);
  EXPECT_EQ(high[1], 2);
  EXPECT_EQ(low[0], 1);
  EXPECT_EQ(low[1], 0);
  // Fixed boxes: neither way.
  place(s, {{0, 0, 0, 1}, {1, 1, 1, 2}, {0, 0, 0, 1.5}});
  both(high, low);
  EXPECT_EQ(high[0], -7);
  EXPECT_EQ(low[0], 7);
  EXPECT_EQ(high[1], 0);
  EXPECT_EQ(low[1], 0);
}

TEST(ActiveUnshrink, FromLinMatchesTheGradientInDouble) {
  for (unsigned long long seed : {2ULL, 3ULL, 4ULL}) {
    Problem pb(13, seed);
    KALTRO& s = pb.s;
    // A working row fetched hot stays the most recent: rows fetched for the
    // gradient go to the least recent end, in the order fetched.
    s.x[1] = 0;  // kernel index 1 is used by position 1 alone
    const KALTRO::Arow* work = s.rows[1];
    s.getrow(1, 13, true);
    pb.k.calls = 0;
    std::set<int> moving;
    for (int p = 0; p < 13; p++)
      if (s.x[p] != 0)
        moving.insert(s.kidx[p]);
    s.l = 0;
    s.unshrink(false);
    EXPECT_EQ(s.l, 13);
    expect_gradient(pb, s.g, 0, 13, "g");
    Reference ref = reference(pb);
    EXPECT_NEAR(s.w, ref.w, ref.wtol);
    for (int p = 0; p < 13; p++) {
      EXPECT_EQ(s.gref[p], s.g[p]);
      EXPECT_EQ(s.xref[p], s.x[p]);
      // Full rows for variables off 0 only, each shared row once.
      EXPECT_EQ(s.rows[p]->len, moving.count(s.kidx[p]) || p == 1 ? 13 : 0);
    }
    EXPECT_EQ(pb.k.calls, 13L * static_cast<long>(moving.size()));
    EXPECT_EQ(s.ring->next, work);
    int last = 12;
    while (s.x[last] == 0)
      last--;
    EXPECT_EQ(s.ring->prev, s.rows[last]);
    expect_rows_follow(pb);

    // With a shrunk tail, the active gradients are kept as they are.
    for (int p = 0; p < 13; p++)
      s.g[p] = -1000 - p;
    s.l = 9;
    s.unshrink(false);
    for (int p = 0; p < 9; p++)
      EXPECT_EQ(s.g[p], -1000 - p);
    expect_gradient(pb, s.g, 9, 13, "g tail");
    EXPECT_EQ(s.gref[2], -1002);
  }
}

TEST(ActiveUnshrink, AtZeroFetchesNoRow) {
  Problem pb(6, 5);
  KALTRO& s = pb.s;
  for (int p = 0; p < 6; p++)
    s.x[p] = p == 3 ? -0.0 : 0.0;
  s.l = 0;
  s.unshrink(false);
  EXPECT_EQ(pb.k.calls, 0);
  EXPECT_EQ(s.w, 0);
  for (int p = 0; p < 6; p++)
    EXPECT_EQ(s.g[p], s.lin[p]);
}

TEST(ActiveUnshrink, FromGrefFollowsShrinkAndMovedVariables) {
  for (unsigned long long seed : {6ULL, 7ULL}) {
    Problem pb(12, seed);
    KALTRO& s = pb.s;
    s.equality = seed % 2 == 0;
    s.l = 0;
    s.unshrink(false);
    // Move some variables the way a strategy would, keep the active
    // gradients exact, and shrink: positions and rows get reordered.
    Lcg r(seed);
    for (int p = 0; p < 12; p += 2)
      s.x[p] = r.below(2) ? s.hi[p] : s.lo[p] + r.uniform() * (s.hi[p] - s.lo[p]);
    // Two boxes closed on their values: held whatever their gradients.
    s.lo[0] = s.hi[0] = s.x[0];
    s.lo[5] = s.hi[5] = s.x[5];
    Reference ref = reference(pb);
    std::copy(ref.g.begin(), ref.g.end(), s.g);
    const bool equality = s.equality;
    s.equality = false;
    s.shrink();
    s.equality = equality;
    ASSERT_LE(s.l, 10);
    for (int p = s.l; p < 12; p++)
      s.g[p] = 1e6;  // stale
    Snapshot active(s);
    pb.k.calls = 0;
    s.unshrink(true);
    expect_gradient(pb, s.g, 0, 12, "g after unshrink(true)");
    Reference now = reference(pb);
    EXPECT_NEAR(s.w, now.w, now.wtol);
    for (int p = 0; p < active.l; p++)
      EXPECT_EQ(s.g[p], active.d[4 * 12 + p]);
    expect_rows_follow(pb);
    // Full rows exactly for kernel indices some variable off 0 carries:
    // fetched for every variable off 0 at the start or moved since.
    for (int p = 0; p < 12; p++) {
      bool needed = false;
      for (int q = 0; q < 12; q++)
        needed |= s.kidx[q] == s.kidx[p] && s.x[q] != 0;
      EXPECT_EQ(s.rows[p]->len, needed ? 12 : 0) << p;
    }
  }
}

TEST(ActiveUnshrink, WithEverythingActiveKeepsTheGradients) {
  Problem pb(5, 8);
  KALTRO& s = pb.s;
  for (int p = 0; p < 5; p++) {
    s.g[p] = 0.25 * p;
    s.gref[p] = -1;
    s.xref[p] = -2;
    s.lo[p] = -1;
    s.hi[p] = 1;
    s.x[p] = 0.5;
  }
  s.l = 5;
  s.unshrink(false);
  EXPECT_EQ(pb.k.calls, 0);
  for (int p = 0; p < 5; p++) {
    EXPECT_EQ(s.g[p], 0.25 * p);
    EXPECT_EQ(s.gref[p], -1);
    EXPECT_EQ(s.xref[p], -2);
  }
  EXPECT_EQ(s.g_high, 1.0);
  EXPECT_EQ(s.g_low, 0.0);
  double sum = 0;
  for (int p = 0; p < 5; p++)
    sum += 0.5 * (s.lin[p] + s.g[p]);
  EXPECT_DOUBLE_EQ(s.w, 0.5 * sum);
}

TEST(ActiveTogbar, KeepsGrefExactAtXref) {
  Problem pb(10, 9);
  KALTRO& s = pb.s;
  s.l = 0;
  s.unshrink(false);
  // Every fold adds its own float rounding: weigh each variable by the
  // distance it has travelled from 0 through all its references.
  std::vector<double> travel(10);
  for (int k = 0; k < 10; k++)
    travel[static_cast<size_t>(k)] = 3 * std::fabs(s.x[k]);
  // Shrunk positions get their gref too; the working row stays in front.
  s.l = 4;
  const KALTRO::Arow* work = s.rows[0];
  s.getrow(0, 4, true);
  Lcg r(9);
  for (int step = 0; step < 25; step++) {
    int k = r.below(10);
    s.x[k] = s.lo[k] + r.uniform() * (s.hi[k] - s.lo[k]);
    travel[static_cast<size_t>(k)] += 3 * std::fabs(s.x[k] - s.xref[k]);
    s.togbar(k);
    EXPECT_EQ(s.xref[k], s.x[k]);
    expect_gref_exact(pb, travel);
  }
  EXPECT_EQ(s.ring->next, work);
  // Unmoved: no row, no cache_clean (which would drop every row and report).
  s.trace_level = 1;
  s.maxcachesize = 0;
  long bytes = s.cache_bytes;
  long calls = pb.k.calls;
  ASSERT_GT(bytes, 0);
  Capture cap;
  for (int k = 0; k < 10; k++)
    s.togbar(k);
  EXPECT_EQ(cap.finish(), "");
  EXPECT_EQ(s.cache_bytes, bytes);
  EXPECT_EQ(pb.k.calls, calls);
  // Everything folded in: the rebuilt gradient is the one at x.
  s.l = 0;
  s.unshrink(true);
  EXPECT_EQ(pb.k.calls, calls);
  expect_gradient(pb, s.g, 0, 10, "g from the folded gref", &travel);
}

TEST(ActiveUnswap, RestoresTheCallersOrderAfterAnyExchanges) {
  for (unsigned long long seed : {10ULL, 11ULL, 12ULL, 13ULL}) {
    const int n = 11;
    Problem pb(n, seed);
    KALTRO& s = pb.s;
    for (int p = 0; p < n; p++) {
      s.g[p] = 10 + p;
      s.gref[p] = 20 + p;
      s.xref[p] = 30 + p;
      s.getrow(p, 1 + p, p % 2 == 0);
    }
    s.l = 7;
    Snapshot caller(s);
    Lcg r(seed);
    for (int step = 0; step < 40; step++)
      s.swap(r.below(n), r.below(n));
    s.unswap();
    Snapshot back(s);
    EXPECT_EQ(back.d, caller.d);
    EXPECT_EQ(back.i, caller.i);  // kidx and home (the identity)
    EXPECT_EQ(back.rows, caller.rows);
    EXPECT_EQ(s.l, 7);
    expect_rows_follow(pb);
    s.unswap();
    EXPECT_TRUE(Snapshot(s) == back);
  }
  // After a shrink, and without a cache.
  KALTRO s(4);
  s.equality = false;
  place(s, {{0, 1, 1, 0.5}, {0, 1, 0, -0.2}, {0, 1, 0.5, 3}, {0, 1, 0.5, -3}});
  Snapshot caller(s);
  s.shrink();
  s.unswap();
  Snapshot back(s);
  EXPECT_EQ(back.d, caller.d);
  EXPECT_EQ(back.i, caller.i);
  EXPECT_EQ(s.l, 2);
}

TEST(ActiveUnshrink, NoVariables) {
  KALTRO s(0);
  s.big = 3;
  s.l = 0;
  s.unshrink(false);
  EXPECT_EQ(s.l, 0);
  EXPECT_EQ(s.g_high, -3);
  EXPECT_EQ(s.g_low, 3);
  EXPECT_EQ(s.w, 0);
  s.equality = false;
  s.unshrink(true);
  EXPECT_EQ(s.g_high, 0);
  EXPECT_EQ(s.g_low, 0);
  s.shrink();
  s.unswap();
  EXPECT_EQ(s.l, 0);
}

}  // namespace
