// The two iteration strategies, driven directly on problems small enough to
// follow step by step: which variable or pair is chosen, how far it moves,
// what the gradient and the reference pair look like afterwards, and when a
// shrink is asked for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "lanes.h"
#include "support.h"

namespace {

// A kernel given as an explicit m x m matrix.
FakeKernel matrix(int m, std::vector<double> k) {
  return FakeKernel([m, k](int a, int b) { return k[static_cast<size_t>(a) * m + b]; });
}

FakeKernel diagonal(std::vector<double> d) {
  std::vector<double> k(d.size() * d.size(), 0.0);
  for (size_t i = 0; i < d.size(); i++)
    k[i * d.size() + i] = d[i];
  return matrix(static_cast<int>(d.size()), k);
}

// Fill a problem: lin, lo, hi and x per position.  Every kernel call is
// logged, so a test can see which rows were evaluated and in which order.
void fill(KALTRO& s, FakeKernel& t, const std::vector<double>& lin, const std::vector<double>& lo,
          const std::vector<double>& hi, const std::vector<double>& x) {
  t.keep_log = true;
  t.attach(s);
  for (int i = 0; i < s.n; i++) {
    s.lin[i] = lin[static_cast<size_t>(i)];
    s.lo[i] = lo[static_cast<size_t>(i)];
    s.hi[i] = hi[static_cast<size_t>(i)];
    s.x[i] = x[static_cast<size_t>(i)];
  }
}

// What run does before its first pass: cache, exact gradient everywhere,
// reference pair, whole set active.  The kernel's count and log start
// afresh afterwards.
void start(KALTRO& s, FakeKernel& t) {
  s.cache_init();
  s.it = 0;
  s.l = 0;
  s.unshrink(false);
  t.reset();
}

std::vector<double> same(int n, double v) { return std::vector<double>(static_cast<size_t>(n), v); }

// Caps the vector paths of the pair search for one scope, so that tie
// handling is checked on the plain loop and on every vector width.
struct SimdCap {
  int old;
  explicit SimdCap(int level) : old(kaltro::detail::set_simd_level(level)) {}
  ~SimdCap() { kaltro::detail::set_simd_level(old); }
};
const int kSimdLevels[] = {kaltro::detail::kPlain, kaltro::detail::kLanes2, kaltro::detail::kLanes4,
                           kaltro::detail::kLanes8};

// ---------------------------------------------------------------- iterate_gs1

class IterateGs1 : public ::testing::Test {
 protected:
  // One variable, kernel value kappa, gradient lin at x = 0, box [lo, hi].
  void single(double kappa, double lin, double lo, double hi) {
    t = diagonal({kappa});
    s1.reset(new KALTRO(1));
    s1->equality = false;
    s1->trace_level = 0;
    fill(*s1, t, {lin}, {lo}, {hi}, {0});
  }
  FakeKernel t;
  std::unique_ptr<KALTRO> s1;
};

TEST_F(IterateGs1, EmptyActiveSetReturnsAtOnce) {
  FakeKernel k = diagonal({1, 1});
  KALTRO s(2);
  s.equality = false;
  fill(s, k, {3, -3}, same(2, -1), same(2, 1), same(2, 0));
  start(s, k);
  s.l = 0;
  s.g_high = 5;
  s.g_low = -5;
  EXPECT_EQ(s.iterate_gs1(), 0);
  EXPECT_EQ(s.g_high, 0.0);
  EXPECT_EQ(s.g_low, 0.0);
  EXPECT_EQ(s.it, 0);
  EXPECT_TRUE(k.log.empty());
}

TEST_F(IterateGs1, NoCandidateMeansNoStep) {
  // Upper bound with a rising gradient, lower bound with a falling one, and
  // a zero gradient inside the box: nothing can improve.
  FakeKernel k = diagonal({1, 1, 1});
  KALTRO s(3);
  s.equality = false;
  fill(s, k, {5, -2, 0}, {0, 0, -1}, {1, 1, 1}, {1, 0, 0});
  start(s, k);
  EXPECT_EQ(s.iterate_gs1(), 0);
  EXPECT_EQ(s.it, 0);
  EXPECT_EQ(s.g_high, 0.0);
  EXPECT_EQ(s.g_low, 0.0);
  EXPECT_EQ(s.x[0], 1.0);
  EXPECT_EQ(s.x[1], 0.0);
  EXPECT_TRUE(k.log.empty());
}

TEST_F(IterateGs1, FreeStepGoesToTheCoordinateMaximum) {
  single(2, 3, 0, 10);
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->it, 1);
  EXPECT_EQ(s1->x[0], 1.5);
  EXPECT_EQ(s1->g[0], 0.0);
  // Not clipped: the reference pair is left for the next full restoration.
  EXPECT_EQ(s1->xref[0], 0.0);
  EXPECT_EQ(s1->gref[0], 3.0);

  single(2, -3, -10, 0);
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->x[0], -1.5);
  EXPECT_EQ(s1->g[0], 0.0);
}

TEST_F(IterateGs1, ClippedStepStopsAtTheBoundAndFoldsIntoReference) {
  single(2, 3, 0, 1);
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->it, 1);
  EXPECT_EQ(s1->x[0], 1.0);
  EXPECT_EQ(s1->g[0], 1.0);
  EXPECT_EQ(s1->xref[0], 1.0);
  EXPECT_EQ(s1->gref[0], 1.0);
  EXPECT_EQ(s1->g_high, 0.0);  // still pushing up, but at the bound
}

TEST_F(IterateGs1, StepEqualToTheRoomCountsAsClipped) {
  single(2, 3, 0, 1.5);  // Newton step 1.5, room 1.5
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->x[0], 1.5);
  EXPECT_EQ(s1->xref[0], 1.5);
  EXPECT_EQ(s1->gref[0], 0.0);

  single(2, 3, 0, 1.5 + std::ldexp(1.0, -20));  // room just larger: free
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->x[0], 1.5);
  EXPECT_EQ(s1->xref[0], 0.0);
  EXPECT_EQ(s1->gref[0], 3.0);
}

TEST_F(IterateGs1, GapEqualToEpsGapDoesNotStop) {
  single(1, 0.5, 0, 10);
  s1->eps_gap = 0.5;
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->it, 1);
  EXPECT_EQ(s1->x[0], 0.5);

  single(1, -0.5, -10, 0);
  s1->eps_gap = 0.5;
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->x[0], -0.5);

  single(1, 0.5, 0, 10);
  s1->eps_gap = std::nextafter(0.5, 1.0);
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->it, 0);
  EXPECT_EQ(s1->x[0], 0.0);
  EXPECT_EQ(s1->g_high, 0.5);
}

TEST_F(IterateGs1, FlatAndBarelyCurvedCoordinates) {
  // Zero curvature: the whole room, as a clipped move.
  single(0, 1, 0, 2);
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->it, 1);
  EXPECT_EQ(s1->x[0], 2.0);
  EXPECT_EQ(s1->g[0], 1.0);
  EXPECT_EQ(s1->xref[0], 2.0);

  // Curvature exactly -eps_bound is still flat, not an error.
  single(-0.25, 1, 0, 2);
  s1->eps_bound = 0.25;
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->x[0], 2.0);
  EXPECT_EQ(s1->g[0], 1.5);

  // Curvature exactly eps_bound takes the Newton step 1 / 0.25.
  single(0.25, 1, 0, 10);
  s1->eps_bound = 0.25;
  start(*s1, t);
  EXPECT_EQ(s1->iterate_gs1(), 0);
  EXPECT_EQ(s1->x[0], 4.0);
  EXPECT_EQ(s1->g[0], 0.0);
  EXPECT_EQ(s1->xref[0], 0.0);
}

TEST_F(IterateGs1, NegativeCurvatureStopsWithThePointUnchanged) {
  FakeKernel k = diagonal({1, -1});
  KALTRO s(2);
  s.equality = false;
  fill(s, k, {5, 1}, same(2, 0), same(2, 10), same(2, 0));
  start(s, k);
  Capture cap;
  int r = s.iterate_gs1();
  std::string out = cap.finish();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(out, "KALTRO error: Function is not convex (negative curvature)\n");
  EXPECT_EQ(s.last_error, kaltro::msg::not_convex);
  EXPECT_STREQ(s.last_error, "Function is not convex (negative curvature)");
  EXPECT_EQ(s.it, 1);  // the first step, not the refused one
  EXPECT_EQ(s.x[0], 5.0);
  EXPECT_EQ(s.x[1], 0.0);
  EXPECT_EQ(s.g[0], 0.0);
  EXPECT_EQ(s.g[1], 1.0);
}

TEST_F(IterateGs1, CoupledPairFollowsTheHandComputedPath) {
  // K = [[2,1],[1,2]], g = (4,4): every step halves the gradient that is
  // left, so all values stay exact; the gap first drops below 0.001 after
  // the 12th step.
  FakeKernel k = matrix(2, {2, 1, 1, 2});
  KALTRO s(2);
  s.equality = false;
  fill(s, k, {4, 4}, same(2, -10), same(2, 10), same(2, 0));
  start(s, k);
  EXPECT_EQ(s.iterate_gs1(), 0);
  EXPECT_EQ(s.it, 12);
  EXPECT_EQ(s.x[0], 2 - 0.5 - 0.125 - 0.03125 - 0.0078125 - 0.001953125);
  EXPECT_EQ(s.x[1], 1 + 0.25 + 0.0625 + 0.015625 + 0.00390625 + 0.0009765625);
  EXPECT_EQ(s.g[0], -1.0 / 1024);
  EXPECT_EQ(s.g[1], 0.0);
  EXPECT_EQ(s.g_high, 0.0);
  EXPECT_EQ(s.g_low, -1.0 / 1024);
  EXPECT_EQ(k.rows_asked(), (std::vector<int>{0, 1}));
}

// Decoupled variables: each is chosen once, and the first evaluation of its
// row shows when.
std::vector<int> selection_order(std::vector<double> lin) {
  int n = static_cast<int>(lin.size());
  FakeKernel k = diagonal(same(n, 1));
  KALTRO s(n);
  s.equality = false;
  s.trace_level = 0;
  fill(s, k, lin, same(n, -10), same(n, 10), same(n, 0));
  start(s, k);
  EXPECT_EQ(s.iterate_gs1(), 0);
  EXPECT_EQ(s.it, n);
  for (int i = 0; i < n; i++)
    EXPECT_EQ(s.x[i], lin[static_cast<size_t>(i)]);
  return k.rows_asked();
}

TEST_F(IterateGs1, LargestMagnitudeFirstTiesGoUpAndToTheLowestPosition) {
  // |g| tie between 3 and -3: the upward candidate.
  EXPECT_EQ(selection_order({1, -3, 3, 2}), (std::vector<int>{2, 1, 3, 0}));
  EXPECT_EQ(selection_order({-2, 2}), (std::vector<int>{1, 0}));
  // Equal gradients: the lowest position.
  EXPECT_EQ(selection_order({1, 3, 3}), (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(selection_order({-3, -3, -1}), (std::vector<int>{0, 1, 2}));
}

TEST_F(IterateGs1, ShrunkPositionsAreLeftStale) {
  FakeKernel k = matrix(3, {1, 0, 0.5, 0, 1, 0, 0.5, 0, 1});
  KALTRO s(3);
  s.equality = false;
  fill(s, k, {2, 0, 0}, same(3, -10), same(3, 10), same(3, 0));
  start(s, k);
  s.l = 2;
  EXPECT_EQ(s.iterate_gs1(), 0);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 2.0);
  EXPECT_EQ(s.g[0], 0.0);
  EXPECT_EQ(s.g[2], 0.0);  // would be -1 if it were kept exact
  EXPECT_EQ(s.l, 2);
  EXPECT_FALSE(k.asked_column(2));  // rows over the active columns only
}

// Two coupled variables that take turns for ever (K01 = 0.5: each step
// leaves exactly half the gradient on the other one) next to `n` - 2
// variables with a zero gradient that are never chosen.
struct Alternating {
  FakeKernel k;
  KALTRO s;
  explicit Alternating(int n) : s(n) {
    k.value = [](int a, int b) {
      if (a == b)
        return 1.0;
      return (a + b == 1) ? 0.5 : 0.0;
    };
    s.equality = false;
    s.trace_level = 0;
    s.eps_gap = 1e-300;  // gradients are 2^-steps; keep going
    std::vector<double> lin = same(n, 0), lo = same(n, 0), hi = same(n, 0);
    lin[0] = 1;
    lo[0] = lo[1] = -10;
    hi[0] = hi[1] = 10;
    fill(s, k, lin, lo, hi, same(n, 0));
    start(s, k);
  }
};

TEST_F(IterateGs1, ShrinkIsDueAfter204StepsAndCountsRestartPerCall) {
  Alternating a(1000);
  EXPECT_EQ(a.s.iterate_gs1(), 1);
  EXPECT_EQ(a.s.it, 204);
  EXPECT_EQ(a.s.l, 1000);
  // The 205th selection was not moved: position 0 still has its gradient.
  EXPECT_EQ(a.s.g[0], std::ldexp(1.0, -204));
  EXPECT_EQ(a.s.g[1], 0.0);
  EXPECT_EQ(a.s.g_high, std::ldexp(1.0, -204));
  EXPECT_EQ(a.s.g_low, 0.0);
  EXPECT_EQ(a.k.rows_asked(), (std::vector<int>{0, 1}));
  EXPECT_EQ(a.s.iterate_gs1(), 1);
  EXPECT_EQ(a.s.it, 408);
}

TEST_F(IterateGs1, ShrinkNeedsFewerThanHalfTheActivePositionsTouched) {
  Alternating five(5);
  EXPECT_EQ(five.s.iterate_gs1(), 1);
  EXPECT_EQ(five.s.it, 204);
  // Two touched of four is not fewer than half: runs to the end, where the
  // gradient 2^-997 is the first below 1e-300.
  for (int n : {4, 2}) {
    Alternating a(n);
    EXPECT_EQ(a.s.iterate_gs1(), 0) << n;
    EXPECT_EQ(a.s.it, 997) << n;
    EXPECT_EQ(a.s.g_high - a.s.g_low, std::ldexp(1.0, -997)) << n;
  }
}

TEST_F(IterateGs1, KernelExceptionPassesThrough) {
  FakeKernel k = matrix(2, {2, 1, 1, 2});
  KALTRO s(2);
  s.equality = false;
  fill(s, k, {4, 4}, same(2, -10), same(2, 10), same(2, 0));
  start(s, k);
  k.throw_on = 3;  // inside the second row
  EXPECT_THROW(s.iterate_gs1(), std::runtime_error);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 2.0);
  k.throw_on = -1;
  EXPECT_EQ(s.iterate_gs1(), 0);
  EXPECT_EQ(s.it, 12);
}

// ---------------------------------------------------------------- iterate_gs2

TEST(IterateGs2, EmptyActiveSetReturnsWithTheStartingExtremes) {
  FakeKernel k = diagonal({1, 1});
  KALTRO s(2);
  fill(s, k, {3, -3}, same(2, -1), same(2, 1), same(2, 0));
  start(s, k);
  s.l = 0;
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.g_high, -1e20);
  EXPECT_EQ(s.g_low, 1e20);
  EXPECT_EQ(s.it, 0);
  EXPECT_TRUE(k.log.empty());
}

TEST(IterateGs2, OneInteriorVariableIsBothMembers) {
  FakeKernel k = diagonal({1});
  KALTRO s(1);
  fill(s, k, {3}, {-1}, {1}, {0});
  start(s, k);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.g_high, 3.0);
  EXPECT_EQ(s.g_low, 3.0);
  EXPECT_EQ(s.it, 0);
}

TEST(IterateGs2, NothingCanRise) {
  FakeKernel k = diagonal({1, 1});
  KALTRO s(2);
  fill(s, k, {5, -5}, same(2, 0), same(2, 1), same(2, 1));
  start(s, k);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.g_high, -1e20);
  EXPECT_EQ(s.g_low, -6.0);
  EXPECT_EQ(s.it, 0);
  EXPECT_TRUE(k.log.empty());
}

TEST(IterateGs2, RoomEqualToTheNewtonStepIsClipped) {
  // g = (2, 0), curvature 2: Newton step 1, falling member's room 1.
  FakeKernel k = diagonal({1, 1});
  KALTRO s(2);
  fill(s, k, {3, 1}, same(2, 0), same(2, 10), same(2, 1));
  start(s, k);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 2.0);
  EXPECT_EQ(s.x[1], 0.0);
  EXPECT_EQ(s.g[0], 1.0);
  EXPECT_EQ(s.g[1], 1.0);
  // togbar on the falling member, which limited the step, only.
  EXPECT_EQ(s.xref[0], 1.0);
  EXPECT_EQ(s.xref[1], 0.0);
  EXPECT_EQ(s.gref[0], 2.0);
  EXPECT_EQ(s.gref[1], 1.0);

  FakeKernel k2 = diagonal({1, 1});
  KALTRO f(2);
  fill(f, k2, {3, 1}, {0, -std::ldexp(1.0, -20)}, same(2, 10), same(2, 1));
  start(f, k2);
  EXPECT_EQ(f.iterate_gs2(), 0);
  EXPECT_EQ(f.x[0], 2.0);
  EXPECT_EQ(f.x[1], 0.0);
  EXPECT_EQ(f.xref[1], 1.0);  // a free step leaves the reference alone
  EXPECT_EQ(f.gref[1], 0.0);
}

TEST(IterateGs2, EqualRoomFoldsTheRisingMemberOnly) {
  FakeKernel k = diagonal({1, 1});
  KALTRO s(2);
  fill(s, k, {4, -4}, same(2, -1), same(2, 1), same(2, 0));
  start(s, k);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 1.0);
  EXPECT_EQ(s.x[1], -1.0);
  EXPECT_EQ(s.g[0], 3.0);
  EXPECT_EQ(s.g[1], -3.0);
  EXPECT_EQ(s.xref[0], 1.0);
  EXPECT_EQ(s.gref[0], 3.0);
  EXPECT_EQ(s.xref[1], 0.0);
  EXPECT_EQ(s.gref[1], -4.0);
  // Both at their bounds: the pair is closed and first-order selection,
  // which finds nothing to move, ends the call.
  EXPECT_EQ(s.g_high, -3.0);
  EXPECT_EQ(s.g_low, 3.0);
}

TEST(IterateGs2, ClosedPairGoesBackToFirstOrderSelection) {
  // The first pair (0, 1) ends with both members at their bounds.  Second-
  // order selection would now offer (2 up, 0 down); first-order selection
  // takes the maximal violating pair (2 up, 3 down), whose free step ends
  // the call.
  FakeKernel k = diagonal(same(4, 1));
  KALTRO s(4);
  fill(s, k, {4, -4, 3.5, -3}, {-1, -1, -10, -10}, {1, 1, 10, 10}, same(4, 0));
  start(s, k);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.it, 2);
  EXPECT_EQ(s.x[0], 1.0);
  EXPECT_EQ(s.x[1], -1.0);
  EXPECT_EQ(s.x[2], 3.25);
  EXPECT_EQ(s.x[3], -3.25);
  EXPECT_EQ(s.g[2], 0.25);
  EXPECT_EQ(s.g[3], 0.25);
}

TEST(IterateGs2, SharedKernelRowGivesAFlatPair) {
  FakeKernel k = diagonal({1});
  KALTRO s(2);
  s.kidx[1] = 0;
  fill(s, k, {2, 1}, same(2, -1), same(2, 1), same(2, 0));
  start(s, k);
  EXPECT_EQ(s.rows[0], s.rows[1]);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 1.0);  // full room
  EXPECT_EQ(s.x[1], -1.0);
  EXPECT_EQ(s.g[0], 2.0);  // the move does not change the gradient
  EXPECT_EQ(s.g[1], 1.0);
  EXPECT_EQ(s.xref[0], 1.0);
  EXPECT_EQ(s.gref[0], 1.0);
  EXPECT_EQ(s.gref[1], 0.0);
}

TEST(IterateGs2, CurvatureThresholds) {
  {  // exactly -eps_bound: flat, the whole room
    FakeKernel k = matrix(2, {1, 1.125, 1.125, 1});
    KALTRO s(2);
    s.eps_bound = 0.25;
    fill(s, k, {1, 0}, same(2, -10), same(2, 10), same(2, 0));
    start(s, k);
    EXPECT_EQ(s.iterate_gs2(), 0);
    EXPECT_EQ(s.it, 1);
    EXPECT_EQ(s.x[0], 10.0);
    EXPECT_EQ(s.x[1], -10.0);
    EXPECT_EQ(s.g[0], 2.25);
    EXPECT_EQ(s.g[1], -1.25);
  }
  {  // below -eps_bound: error, nothing moved
    FakeKernel k = matrix(2, {1, 1.25, 1.25, 1});
    KALTRO s(2);
    s.eps_bound = 0.25;
    s.trace_level = 0;
    fill(s, k, {1, 0}, same(2, -10), same(2, 10), same(2, 0));
    start(s, k);
    EXPECT_EQ(s.iterate_gs2(), -1);
    EXPECT_EQ(s.last_error, kaltro::msg::not_convex);
    EXPECT_EQ(s.it, 0);
    EXPECT_EQ(s.x[0], 0.0);
    EXPECT_EQ(s.g[0], 1.0);
  }
  {  // exactly eps_bound: the Newton step 0.5 / 0.25
    FakeKernel k = diagonal({0.125, 0.125});
    KALTRO s(2);
    s.eps_bound = 0.25;
    fill(s, k, {0.5, 0}, same(2, -10), same(2, 10), same(2, 0));
    start(s, k);
    EXPECT_EQ(s.iterate_gs2(), 0);
    EXPECT_EQ(s.it, 1);
    EXPECT_EQ(s.x[0], 2.0);
    EXPECT_EQ(s.x[1], -2.0);
    EXPECT_EQ(s.g[0], 0.25);
    EXPECT_EQ(s.g[1], 0.25);
  }
}

TEST(IterateGs2, GapEqualToEpsGapDoesNotStop) {
  FakeKernel k = diagonal({1, 1});
  KALTRO s(2);
  s.eps_gap = 0.5;
  fill(s, k, {0.5, 0}, same(2, -10), same(2, 10), same(2, 0));
  start(s, k);
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 0.25);
  EXPECT_EQ(s.x[1], -0.25);

  KALTRO t(2);
  t.eps_gap = std::nextafter(0.5, 1.0);
  fill(t, k, {0.5, 0}, same(2, -10), same(2, 10), same(2, 0));
  start(t, k);
  EXPECT_EQ(t.iterate_gs2(), 0);
  EXPECT_EQ(t.it, 0);
  EXPECT_EQ(t.g_high, 0.5);
  EXPECT_EQ(t.g_low, 0.0);
}

TEST(IterateGs2, NegativeCurvatureKeepsTheStepsBefore) {
  // The first pair (0, 1) is fine; the next one, (0, 2), has curvature -3.
  FakeKernel k = diagonal({1, 1, -4});
  KALTRO s(3);
  fill(s, k, {4, 0, 1}, same(3, -10), same(3, 10), same(3, 0));
  start(s, k);
  Capture cap;
  int r = s.iterate_gs2();
  EXPECT_EQ(cap.finish(), "KALTRO error: Function is not convex (negative curvature)\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(s.last_error, kaltro::msg::not_convex);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 2.0);
  EXPECT_EQ(s.x[1], -2.0);
  EXPECT_EQ(s.x[2], 0.0);
  EXPECT_EQ(s.g[0], 2.0);
  EXPECT_EQ(s.g[1], 2.0);
  EXPECT_EQ(s.g[2], 1.0);
  EXPECT_EQ(s.g_high, 2.0);  // the refused pair's gradients
  EXPECT_EQ(s.g_low, 1.0);
}

TEST(IterateGs2, GradientBeyondBigIsAnError) {
  // One member missing and the other's gradient beyond big.  With big
  // infinite the gap is then inf - inf, a NaN, which is no convergence either.
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double big, lin0, lin1, x;
  };
  const Case cases[] = {
      {10, 50, 0, 0},     // a variable that can rise, none that can fall
      {10, -49, 1, 1},    // a variable that can fall, none that can rise
      {inf, inf, 0, 0},   // g_high = g_low = +inf
      {inf, -inf, 1, 1},  // g_high = g_low = -inf
  };
  for (const Case& c : cases) {
    FakeKernel k = diagonal({1, 1});
    KALTRO s(2);
    s.big = c.big;
    fill(s, k, {c.lin0, c.lin1}, same(2, 0), same(2, 1), same(2, c.x));
    start(s, k);
    Capture cap;
    int r = s.iterate_gs2();
    EXPECT_EQ(cap.finish(), "KALTRO error: Gradient beyond big\n") << c.lin0;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(s.last_error, kaltro::msg::beyond_big);
    EXPECT_STREQ(s.last_error, "Gradient beyond big");
    EXPECT_EQ(s.x[0], c.x);
    EXPECT_EQ(s.it, 0);
  }
}

TEST(IterateGs2, ShrunkPositionsAreLeftStale) {
  FakeKernel k = matrix(3, {1, 0, 0.5, 0, 1, 0, 0.5, 0, 1});
  KALTRO s(3);
  fill(s, k, {2, 0, 0}, same(3, -10), same(3, 10), same(3, 0));
  start(s, k);
  s.l = 2;
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_EQ(s.it, 1);
  EXPECT_EQ(s.x[0], 1.0);
  EXPECT_EQ(s.x[1], -1.0);
  EXPECT_EQ(s.g[0], 1.0);
  EXPECT_EQ(s.g[1], 1.0);
  EXPECT_EQ(s.g[2], 0.0);  // would be -0.5 if it were kept exact
  EXPECT_FALSE(k.asked_column(2));
}

// Five decoupled variables (K = I).  The first pair is (0 up, 1 down),
// clipped by the room of 1, which then sits at its lower bound; the pair is
// still open.  Afterwards g = (3, 1, 2, 0.5, 0.125):
//   from 1's row (falling member) the best candidate is (1 up, 3 down);
//   from 0's row it is (0 up, 2 down), the best of all;
//   first-order selection would take (0 up, 4 down).
// Variables 3 and 4 have so little room that their candidates gain little.
void second_order_problem(KALTRO& s, FakeKernel& k) {
  fill(s, k, {4, 0, 2, 0.5, 0.125}, {-1, -1, -1, -0.0625, -0.015625}, same(5, 10), same(5, 0));
  start(s, k);
}

TEST(IterateGs2, SecondOrderPicksTheLargestGainAmongTheLastMembers) {
  for (int level : kSimdLevels) {
    SimdCap cap_level(level);
    SCOPED_TRACE(level);
    FakeKernel k = diagonal(same(5, 1));
    KALTRO s(5);
    second_order_problem(s, k);
    EXPECT_EQ(s.iterate_gs2(), 0);
    std::vector<int> rows = k.rows_asked();
    ASSERT_GE(rows.size(), 3u);
    // Rows 0 and 1 for the first pair, then only row 2 is new: (0, 2).
    EXPECT_EQ(std::vector<int>(rows.begin(), rows.begin() + 3), (std::vector<int>{0, 1, 2}));
  }
}

TEST(IterateGs2, SecondOrderSkipsTheRisingRowWhenTheCacheCutIt) {
  for (int level : kSimdLevels) {
    SimdCap cap_level(level);
    SCOPED_TRACE(level);
    // Budget of one row: folding the first step drops the least recent row,
    // the rising member's; only the falling member's row is searched, which
    // yields (1 up, 3 down).
    FakeKernel k = diagonal(same(5, 1));
    KALTRO s(5);
    s.maxcachesize = 20;
    second_order_problem(s, k);
    Capture cap;
    EXPECT_EQ(s.iterate_gs2(), 0);
    std::string out = cap.finish();
    EXPECT_EQ(out.substr(0, 1), "@");
    std::vector<int> rows = k.rows_asked();
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(std::vector<int>(rows.begin(), rows.begin() + 3), (std::vector<int>{0, 1, 3}));
  }
}

// The mirror image of second_order_problem: the rising member (1) limits
// the first step and ends at its upper bound; its row is fetched again by
// togbar, so with an empty budget only the falling member's row (0) is left
// cut.  From 1's row the best candidate is (3 up, 1 down); from 0's row it
// is (2 up, 0 down); first-order selection would take (4 up, 0 down).
void mirrored_problem(KALTRO& s, FakeKernel& k) {
  fill(s, k, {-4, 0, -2, -0.5, -0.125}, same(5, -10), {1, 1, 1, 0.0625, 0.015625}, same(5, 0));
  start(s, k);
}

TEST(IterateGs2, SecondOrderSkipsTheFallingRowWhenTheCacheCutIt) {
  for (int level : kSimdLevels) {
    SimdCap cap_level(level);
    SCOPED_TRACE(level);
    {
      FakeKernel k = diagonal(same(5, 1));
      KALTRO s(5);
      mirrored_problem(s, k);
      EXPECT_EQ(s.iterate_gs2(), 0);
      std::vector<int> rows = k.rows_asked();
      ASSERT_GE(rows.size(), 3u);
      EXPECT_EQ(std::vector<int>(rows.begin(), rows.begin() + 3), (std::vector<int>{1, 0, 2}));
    }
    {
      FakeKernel k = diagonal(same(5, 1));
      KALTRO s(5);
      s.maxcachesize = 0;
      s.trace_level = 0;
      mirrored_problem(s, k);
      EXPECT_EQ(s.iterate_gs2(), 0);
      std::vector<int> rows = k.rows_asked();
      ASSERT_GE(rows.size(), 4u);
      // Row 1 again for togbar, then row 3 for the second pair's rising member.
      EXPECT_EQ(std::vector<int>(rows.begin(), rows.begin() + 4), (std::vector<int>{1, 0, 1, 3}));
    }
  }
}

TEST(IterateGs2, SecondOrderTakesADifferenceOfExactlyEpsGap) {
  // eps_gap 0.5.  After the free first step g = (1, 1, 0.5, 1.25): the only
  // second-order candidates pair 2 with a member of the step, d = 0.5
  // exactly, so (1 up, 2 down) is moved next and row 3 is not needed yet;
  // first-order selection would have taken (3 up, 2 down).
  for (int level : kSimdLevels) {
    SimdCap cap_level(level);
    SCOPED_TRACE(level);
    FakeKernel k = diagonal(same(4, 1));
    KALTRO s(4);
    s.eps_gap = 0.5;
    fill(s, k, {3, -1, 0.5, 1.25}, same(4, -10), same(4, 10), same(4, 0));
    start(s, k);
    EXPECT_EQ(s.iterate_gs2(), 0);
    std::vector<int> rows = k.rows_asked();
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(std::vector<int>(rows.begin(), rows.begin() + 3), (std::vector<int>{0, 1, 2}));
  }
}

TEST(IterateGs2, EqualGainsKeepTheFallingMembersCandidate) {
  for (int level : kSimdLevels) {
    SimdCap cap_level(level);
    SCOPED_TRACE(level);
    // K = diag(23, 1, 1).  After the first step (0 up, 1 down, clipped at 1's
    // bound) g = (2, 0, -1).  The candidates (1 up, 2 down) from the falling
    // member's row and (0 up, 2 down) from the rising member's row have the
    // same value 0.375 exactly; the first stays pending.  Its step is clipped
    // at 2's bound, then (0 up, 1 down) takes a free step of 3/32 and the call
    // ends.  Taking (0, 2) instead would have given a different point.
    FakeKernel k = diagonal({23, 1, 1});
    KALTRO s(3);
    fill(s, k, {48, -2, -1}, {-10, -2, -0.25}, same(3, 10), same(3, 0));
    start(s, k);
    EXPECT_EQ(s.iterate_gs2(), 0);
    EXPECT_EQ(s.it, 3);
    EXPECT_EQ(s.x[0], 2.09375);
    EXPECT_EQ(s.x[1], -1.84375);
    EXPECT_EQ(s.x[2], -0.25);
    EXPECT_EQ(s.g[0], -0.15625);
    EXPECT_EQ(s.g[1], -0.15625);
    EXPECT_EQ(s.g[2], -0.75);
  }
}

TEST(IterateGs2, EqualGainsInOneRowKeepTheLowestPosition) {
  // As above with twins of variable 2 behind it and K00 = 31, so that the
  // rising member's candidates lose: (1 up, 2 down), (1 up, 3 down), ... are
  // equal, and 2, the lowest position, is moved next.  Ten twins fill whole
  // vector blocks.
  for (int twins : {2, 10}) {
    for (int level : kSimdLevels) {
      SimdCap cap_level(level);
      SCOPED_TRACE(level);
      int n = 2 + twins;
      std::vector<double> d = same(n, 1), lin = same(n, -1), lo = same(n, -0.25);
      d[0] = 31;
      lin[0] = 64;
      lin[1] = -2;
      lo[0] = -10;
      lo[1] = -2;
      FakeKernel k = diagonal(d);
      KALTRO s(n);
      fill(s, k, lin, lo, same(n, 10), same(n, 0));
      start(s, k);
      EXPECT_EQ(s.iterate_gs2(), 0);
      std::vector<int> rows = k.rows_asked();
      ASSERT_GE(rows.size(), 3u);
      EXPECT_EQ(std::vector<int>(rows.begin(), rows.begin() + 3), (std::vector<int>{0, 1, 2}))
          << twins;
    }
  }
}

// Three variables with K = v v^T + I/1024, v = (1, -1, 0): the pairs zig-zag
// along the flat direction (1, 1, -2) for thousands of steps.  Positions 3..
// are fixed (lo = hi = 0) and never take part.
struct ZigZag {
  FakeKernel k;
  KALTRO s;
  explicit ZigZag(int n) : s(n) {
    k.value = [](int a, int b) {
      static const double v[3] = {1, -1, 0};
      if (a < 3 && b < 3)
        return v[a] * v[b] + (a == b ? 1.0 / 1024 : 0.0);
      return a == b ? 1.0 : 0.0;
    };
    std::vector<double> lin = same(n, 0), lo = same(n, 0), hi = same(n, 0);
    lin[0] = 1;
    lin[1] = 1;
    lin[2] = -2;
    for (int i = 0; i < 3; i++) {
      lo[static_cast<size_t>(i)] = -1e5;
      hi[static_cast<size_t>(i)] = 1e5;
    }
    fill(s, k, lin, lo, hi, same(n, 0));
    start(s, k);
  }
};

TEST(IterateGs2, ShrinkIsDueAt204thPairWithThreeOfTenTouched) {
  ZigZag z(10);
  EXPECT_EQ(z.s.iterate_gs2(), 1);
  EXPECT_EQ(z.s.it, 203);
  EXPECT_EQ(z.s.l, 10);
  // The 204th pair was chosen but not moved: its gradients are current.
  bool high_found = false, low_found = false;
  for (int i = 0; i < 3; i++) {
    high_found = high_found || z.s.g[i] == z.s.g_high;
    low_found = low_found || z.s.g[i] == z.s.g_low;
  }
  EXPECT_TRUE(high_found);
  EXPECT_TRUE(low_found);
  EXPECT_GE(z.s.g_high - z.s.g_low, z.s.eps_gap);
  for (const auto& c : z.k.log)
    EXPECT_LT(c.first, 3);
  // A new call counts afresh.
  EXPECT_EQ(z.s.iterate_gs2(), 1);
  EXPECT_EQ(z.s.it, 406);
  double sum = z.s.x[0] + z.s.x[1] + z.s.x[2];
  EXPECT_NEAR(sum, 0.0, 1e-9);
}

TEST(IterateGs2, ShrinkNeverDueOnceEveryActivePositionIsTouched) {
  ZigZag z(3);
  EXPECT_EQ(z.s.iterate_gs2(), 0);
  EXPECT_GT(z.s.it, 1000);
  EXPECT_LT(z.s.g_high - z.s.g_low, z.s.eps_gap);
  // The optimum along the flat direction is x = (1024, 1024, -2048).
  EXPECT_NEAR(z.s.x[0], 1024, 1);
  EXPECT_NEAR(z.s.x[2], -2048, 2);
}

TEST(IterateGs2, KernelExceptionPassesThrough) {
  FakeKernel k = diagonal({1, 1, 1});
  KALTRO s(3);
  fill(s, k, {4, 0, 2}, same(3, -1), same(3, 10), same(3, 0));
  start(s, k);
  k.throw_on = 4;  // inside the second row of the first pair
  EXPECT_THROW(s.iterate_gs2(), std::runtime_error);
  EXPECT_EQ(s.it, 0);
  EXPECT_EQ(s.x[0], 0.0);
  k.throw_on = -1;
  EXPECT_EQ(s.iterate_gs2(), 0);
  EXPECT_GE(s.it, 1);
  EXPECT_NEAR(s.x[0] + s.x[1] + s.x[2], 0.0, 1e-12);
}

}  // namespace
