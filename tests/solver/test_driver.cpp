// run(): the start-point test, the four modes and the states they leave,
// the console output of whole solves byte for byte, the result codes, and
// solutions checked against the optimality conditions recomputed from
// scratch.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace {

bool home_is_identity(const KALTRO& s) {
  for (int i = 0; i < s.n; i++)
    if (s.home[i] != i)
      return false;
  return true;
}

// run() with its console output swallowed, for tests about other things.
int quiet_run(KALTRO& s, bool initialize, bool finalize) {
  Capture cap;
  int r = s.run(initialize, finalize);
  cap.finish();
  return r;
}

const std::string kSetUp = "\nSetting up cache ...\n";
const std::string kCleanUp = "\nCleaning and unswapping  cache...\n";

// The solve whose output the tests below spell out.  Positions 0 and 1 form
// a flat pair (K = 1 on their 2x2 block) with lin = (1, 0): coordinate steps
// alternate between them, each moving one of them by exactly 1, until x0
// reaches 250 and x1 reaches -250 after 500 steps, w = 250.  Positions 2..4
// are fixed (lo = hi = 0) and are shrunk at the first shrink; positions 5..7
// sit inside their boxes with a zero gradient, so they are never chosen nor
// shrunk and keep the active set large enough for the shrink rule:
//   steps 1..204, shrink due, 2..4 dropped (l 8 -> 5): "."
//   steps 205..408, shrink due, nothing dropped: "!" at level 3 only
//   steps 409..500, converged; the second pass finds a gap of 0.
struct TraceProblem {
  FakeKernel k;
  KALTRO s;
  TraceProblem() : s(8) {
    k.value = [](int a, int b) {
      if (a == b)
        return 1.0;
      return (a < 2 && b < 2) ? 1.0 : 0.0;
    };
    k.attach(s);
    s.equality = false;
    s.lin[0] = 1;
    s.hi[0] = 250;
    s.lo[1] = -250;
    for (int i = 5; i < 8; i++) {
      s.lo[i] = -1;
      s.hi[i] = 1;
    }
  }
};

std::string solve_output(int level, bool init, bool fini, int* result) {
  TraceProblem p;
  p.s.trace_level = level;
  Capture cap;
  *result = p.s.run(init, fini);
  return cap.finish();
}

TEST(DriverOutput, WholeSolveAtEveryLevel) {
  int r = 0;
  EXPECT_EQ(solve_output(0, true, true, &r), kSetUp + kCleanUp);
  EXPECT_EQ(r, 500);
  EXPECT_EQ(solve_output(1, true, true, &r),
            kSetUp + "*.*" + kCleanUp + " it:500 l:8 |g|:0.000000 w:250.000000\n");
  EXPECT_EQ(r, 500);
  EXPECT_EQ(solve_output(2, true, true, &r), kSetUp +
                                                 "* it:0 l:8 |g|:1.000000 w:0.000000\n"
                                                 ". it:204 l:5 |g|:1.000000\n"
                                                 "* it:500 l:8 |g|:0.000000 w:250.000000\n" +
                                                 kCleanUp);
  EXPECT_EQ(r, 500);
  EXPECT_EQ(solve_output(3, true, true, &r), kSetUp +
                                                 "* it:0 l:8 |g|:1.000000 w:0.000000\n"
                                                 ". it:204 l:5 |g|:1.000000\n"
                                                 "! it:408 l:5 |g|:1.000000\n"
                                                 "* it:500 l:8 |g|:0.000000 w:250.000000\n" +
                                                 kCleanUp);
  EXPECT_EQ(r, 500);
}

TEST(DriverOutput, CacheReportTakesItsPlaceAmongTheMarks) {
  // With no cache budget the second step's clean finds the first row held.
  const std::string expected[2] = {
      kSetUp + "*@.*" + kCleanUp + " it:500 l:8 |g|:0.000000 w:250.000000\n",
      kSetUp +
          "* it:0 l:8 |g|:1.000000 w:0.000000\n"
          "@ Reached maxcachesize (0 MB)\n"
          ". it:204 l:5 |g|:1.000000\n"
          "* it:500 l:8 |g|:0.000000 w:250.000000\n" +
          kCleanUp};
  for (int level : {1, 2}) {
    TraceProblem p;
    p.s.trace_level = level;
    p.s.maxcachesize = 0;
    Capture cap;
    EXPECT_EQ(p.s.run(true, true), 500);
    EXPECT_EQ(cap.finish(), expected[level - 1]);
  }
}

TEST(DriverOutput, WholeSolveLeavesTheCallersOrderAndNoCache) {
  TraceProblem p;
  p.s.trace_level = 0;
  Capture cap;
  EXPECT_EQ(p.s.run(true, true), 500);
  cap.finish();
  EXPECT_EQ(p.s.ring, nullptr);
  EXPECT_TRUE(home_is_identity(p.s));
  EXPECT_EQ(p.s.it, 500);
  EXPECT_EQ(p.s.l, 8);
  EXPECT_EQ(p.s.w, 250.0);
  EXPECT_EQ(p.s.x[0], 250.0);
  EXPECT_EQ(p.s.x[1], -250.0);
  for (int i = 2; i < 8; i++)
    EXPECT_EQ(p.s.x[i], 0.0) << i;
  EXPECT_EQ(p.s.hi[0], 250.0);  // bounds travel back with their variables
  EXPECT_EQ(p.s.hi[5], 1.0);
  EXPECT_EQ(p.s.marks, 0);
}

TEST(DriverOutput, SplitSolveSequence) {
  TraceProblem p;
  {
    Capture cap;
    EXPECT_EQ(p.s.run(true, false), 500);
    EXPECT_EQ(cap.finish(), kSetUp + "*.* it:500 l:8 |g|:0.000000 w:250.000000\n");
  }
  EXPECT_NE(p.s.ring, nullptr);
  // The shrink moved the three fixed variables behind the active set.
  EXPECT_EQ(std::vector<int>(p.s.home, p.s.home + 8), (std::vector<int>{0, 1, 7, 6, 5, 4, 3, 2}));
  EXPECT_EQ(p.s.lo[2], -1.0);  // variable 7, an inner one, now at position 2
  {
    // Solving again from the solution: no set-up, nothing to do.
    Capture cap;
    EXPECT_EQ(p.s.run(false, false), 0);
    EXPECT_EQ(cap.finish(), "* it:0 l:8 |g|:0.000000 w:250.000000\n");
  }
  EXPECT_NE(p.s.ring, nullptr);
  {
    Capture cap;
    EXPECT_EQ(p.s.run(false, true), 0);
    EXPECT_EQ(cap.finish(), kCleanUp);
  }
  EXPECT_EQ(p.s.ring, nullptr);
  EXPECT_TRUE(home_is_identity(p.s));
  EXPECT_EQ(p.s.x[0], 250.0);
  EXPECT_EQ(p.s.x[1], -250.0);
  EXPECT_EQ(p.s.lo[7], -1.0);
  EXPECT_EQ(p.s.lo[2], 0.0);
}

// The flat pair of TraceProblem running for 9000 steps (x0 up to 4500),
// next to 40 "ladder" variables at their lower bound whose gradients
// c * (100 + 110 j - x0), c = 2^-13, stay below the pair's 1 (so they are
// never chosen) and reach 0 one after the other.  A shrink is due every 204
// steps (x0 grows by 102 in between); ladder j is shrunk at the first such
// moment with x0 >= 100 + 110 j, so the 40 ladders leave in 40 different
// shrinks.  Three inner variables keep the shrink rule alive to the end.
struct LadderProblem {
  static const int kLadders = 40;
  FakeKernel k;
  KALTRO s;
  LadderProblem() : s(2 + kLadders + 3) {
    const double c = 1.0 / 8192;
    k.value = [c](int a, int b) {
      if (a == b)
        return 1.0;
      if (a < 2 && b < 2)
        return 1.0;
      if ((a == 0 && b >= 2 && b < 2 + kLadders) || (b == 0 && a >= 2 && a < 2 + kLadders))
        return c;
      return 0.0;
    };
    k.attach(s);
    s.equality = false;
    s.lin[0] = 1;
    s.hi[0] = 4500;
    s.lo[1] = -4500;
    for (int j = 0; j < kLadders; j++) {
      s.lin[2 + j] = c * (100 + 110 * j);
      s.hi[2 + j] = 1;
    }
    for (int i = 2 + kLadders; i < s.n; i++) {
      s.lo[i] = -1;
      s.hi[i] = 1;
    }
  }
  // Steps taken when ladder j is shrunk.
  static int shrunk_at(int j) { return 204 * ((100 + 110 * j + 101) / 102); }
};

TEST(DriverOutput, FortyMarksThenAFullLine) {
  {
    LadderProblem p;
    Capture cap;
    EXPECT_EQ(p.s.run(true, true), 9000);
    // The 41st status finds 40 marks on the line and is written in full; the
    // last pass starts a new row of marks, ended by the clean-up line.
    EXPECT_EQ(cap.finish(), kSetUp + "*" + std::string(39, '.') +
                                ". it:" + std::to_string(LadderProblem::shrunk_at(39)) +
                                " l:5 |g|:1.000000\n*" + kCleanUp +
                                " it:9000 l:45 |g|:0.000000 w:4500.000000\n");
    EXPECT_EQ(LadderProblem::shrunk_at(39), 8976);
  }
  {
    LadderProblem p;
    p.s.trace_level = 2;
    std::string expected = kSetUp + "* it:0 l:45 |g|:1.000000 w:0.000000\n";
    for (int j = 0; j < LadderProblem::kLadders; j++)
      expected += ". it:" + std::to_string(LadderProblem::shrunk_at(j)) +
                  " l:" + std::to_string(44 - j) + " |g|:1.000000\n";
    expected += "* it:9000 l:45 |g|:0.000000 w:4500.000000\n" + kCleanUp;
    Capture cap;
    EXPECT_EQ(p.s.run(true, true), 9000);
    EXPECT_EQ(cap.finish(), expected);
  }
}

TEST(DriverOutput, PairwiseWholeSolve) {
  // Three pairwise steps with exact values (K = diag(23, 1, 1)): a clipped
  // step, one from second-order selection, a free one.
  const std::string lines[2] = {
      kSetUp + "**" + kCleanUp + " it:3 l:3 |g|:0.000000 w:52.292969\n",
      kSetUp + "* it:0 l:3 |g|:50.000000 w:0.000000\n* it:3 l:3 |g|:0.000000 w:52.292969\n" +
          kCleanUp};
  for (int level : {1, 2}) {
    FakeKernel k;
    k.value = [](int a, int b) { return a != b ? 0.0 : (a == 0 ? 23.0 : 1.0); };
    KALTRO s(3);
    k.attach(s);
    s.trace_level = level;
    const double lin[3] = {48, -2, -1}, lo[3] = {-10, -2, -0.25};
    for (int i = 0; i < 3; i++) {
      s.lin[i] = lin[i];
      s.lo[i] = lo[i];
      s.hi[i] = 10;
    }
    Capture cap;
    EXPECT_EQ(s.run(true, true), 3);
    EXPECT_EQ(cap.finish(), lines[level - 1]);
    EXPECT_EQ(s.x[0], 2.09375);
    EXPECT_EQ(s.x[1], -1.84375);
    EXPECT_EQ(s.x[2], -0.25);
  }
}

TEST(DriverOutput, GapEqualToEpsGapDoesNotEndTheSolve) {
  FakeKernel k;
  k.value = [](int, int) { return 1.0; };
  KALTRO s(1);
  k.attach(s);
  s.equality = false;
  s.trace_level = 2;
  s.eps_gap = 0.5;
  s.lin[0] = 0.5;
  s.hi[0] = 10;
  Capture cap;
  EXPECT_EQ(s.run(true, true), 1);
  EXPECT_EQ(cap.finish(), kSetUp +
                              "* it:0 l:1 |g|:0.500000 w:0.000000\n"
                              "* it:1 l:1 |g|:0.000000 w:0.125000\n" +
                              kCleanUp);
  EXPECT_EQ(s.x[0], 0.5);
}

TEST(DriverOutput, EmptyProblem) {
  for (int level : {0, 1, 2}) {
    KALTRO s(0);
    s.trace_level = level;
    Capture cap;
    EXPECT_EQ(s.run(true, true), 0);
    std::string out = cap.finish();
    const std::string expected[3] = {
        kSetUp + kCleanUp, kSetUp + "*" + kCleanUp + " it:0 l:0 |g|:0.000000 w:0.000000\n",
        kSetUp + "* it:0 l:0 |g|:0.000000 w:0.000000\n" + kCleanUp};
    EXPECT_EQ(out, expected[level]);
    EXPECT_EQ(s.w, 0.0);
  }
}

TEST(DriverOutput, NothingCanRiseEndsTheFirstPass) {
  // equality true, every variable at its upper bound: g_high stays -big,
  // the gap is negative and is shown as 0.
  FakeKernel k;
  k.value = [](int a, int b) { return a == b ? 1.0 : 0.0; };
  KALTRO s(2);
  k.attach(s);
  s.trace_level = 2;
  s.hi[0] = s.hi[1] = s.x[0] = s.x[1] = 1;
  s.lin[0] = 3;
  Capture cap;
  EXPECT_EQ(s.run(true, true), 0);
  EXPECT_EQ(cap.finish(), kSetUp + "* it:0 l:2 |g|:0.000000 w:2.000000\n" + kCleanUp);
  EXPECT_EQ(s.g_high, -1e20);
  EXPECT_EQ(s.g_low, -1.0);
}

// ------------------------------------------------------------------ failures

// One variable with negative curvature: the first step is refused.
struct Concave {
  FakeKernel k;
  KALTRO s;
  Concave() : s(1) {
    k.value = [](int, int) { return -1.0; };
    k.attach(s);
    s.equality = false;
    s.lin[0] = 1;
    s.hi[0] = 1;
  }
};

TEST(DriverFailure, FailedWholeSolveStillCleansUp) {
  const std::string err = "KALTRO error: Function is not convex (negative curvature)\n";
  {
    Concave c;
    Capture cap;
    EXPECT_EQ(c.s.run(true, true), -1);
    EXPECT_EQ(cap.finish(), kSetUp + "*\n" + err + kCleanUp);
    EXPECT_EQ(c.s.ring, nullptr);
    EXPECT_EQ(c.s.marks, 1);  // the row of marks was ended by the error only
    EXPECT_EQ(c.s.last_error, kaltro::msg::not_convex);
    EXPECT_EQ(c.s.x[0], 0.0);
  }
  {
    Concave c;
    c.s.trace_level = 2;
    Capture cap;
    EXPECT_EQ(c.s.run(true, true), -1);
    EXPECT_EQ(cap.finish(), kSetUp + "* it:0 l:1 |g|:1.000000 w:0.000000\n" + err + kCleanUp);
  }
  {
    Concave c;
    Capture cap;
    EXPECT_EQ(c.s.run(true, false), -1);
    EXPECT_EQ(cap.finish(), kSetUp + "*\n" + err);
    EXPECT_NE(c.s.ring, nullptr);
  }
}

TEST(DriverFailure, NonFiniteObjectiveIsNotASuccess) {
  // An infinite kernel value: the fixed variable has an infinite gradient
  // and w = -inf, yet no variable can move, so the gap is 0.
  for (bool equality : {false, true}) {
    FakeKernel k;
    k.value = [](int, int) { return std::numeric_limits<double>::infinity(); };
    KALTRO s(1);
    k.attach(s);
    s.equality = equality;
    s.lo[0] = s.hi[0] = s.x[0] = 1;
    {
      Capture cap;
      EXPECT_EQ(s.run(true, true), -1);
      EXPECT_EQ(cap.finish(),
                kSetUp + "*\nKALTRO error: Non-finite value in the solution\n" + kCleanUp);
    }
    EXPECT_EQ(s.last_error, kaltro::msg::non_finite);
    EXPECT_STREQ(s.last_error, "Non-finite value in the solution");
    EXPECT_EQ(s.ring, nullptr);
    s.trace_level = 2;
    {
      Capture cap;
      EXPECT_EQ(s.run(true, false), -1);
      EXPECT_EQ(cap.finish(), kSetUp +
                                  "* it:0 l:1 |g|:0.000000 w:-inf\n"
                                  "KALTRO error: Non-finite value in the solution\n");
    }
  }
}

TEST(DriverFailure, GradientBeyondBig) {
  FakeKernel k;
  k.value = [](int a, int b) { return a == b ? 1.0 : 0.0; };
  KALTRO s(1);
  k.attach(s);
  s.big = 10;
  s.lin[0] = 50;
  s.hi[0] = 1;
  {
    Capture cap;
    EXPECT_EQ(s.run(true, true), -1);
    EXPECT_EQ(cap.finish(), kSetUp + "*\nKALTRO error: Gradient beyond big\n" + kCleanUp);
  }
  EXPECT_EQ(s.last_error, kaltro::msg::beyond_big);
  s.trace_level = 2;
  {
    Capture cap;
    EXPECT_EQ(s.run(true, true), -1);
    EXPECT_EQ(cap.finish(), kSetUp +
                                "* it:0 l:1 |g|:40.000000 w:0.000000\n"
                                "KALTRO error: Gradient beyond big\n" +
                                kCleanUp);
  }
  EXPECT_EQ(s.x[0], 0.0);
}

TEST(DriverFailure, KernelExceptionReachesTheCaller) {
  for (long at : {0L, 1L, 5L, 40L}) {
    FakeKernel k;
    k.value = [](int a, int b) { return std::exp(-0.1 * (a - b) * (a - b)); };
    k.throw_on = at;
    KALTRO s(12);
    k.attach(s);
    s.trace_level = 0;
    for (int i = 0; i < 12; i++) {
      s.lo[i] = -1;
      s.hi[i] = 1;
      s.lin[i] = (i % 3) - 1.0;
    }
    Capture cap;
    EXPECT_THROW(s.run(true, true), std::runtime_error) << at;
    cap.finish();
    for (int i = 0; i < 12; i++) {
      EXPECT_GE(s.x[i], s.lo[i]) << at;
      EXPECT_LE(s.x[i], s.hi[i]) << at;
    }
    // The object is still usable: a new whole solve sets everything up again.
    k.throw_on = -1;
    EXPECT_GE(quiet_run(s, true, true), 0) << at;
    EXPECT_TRUE(home_is_identity(s));
  }
}

TEST(DriverFailure, StepLimitEndsASolveThatNeverConverges) {
  // Coordinate steps: two variables on one kernel index (K = 1) with
  // lin = (1, -1); w grows without bound along x0 = -x1 and every step moves
  // by 2.  Pairwise steps: K = v v^T with v = (1, 2, 3) is flat along
  // (1, -2, 1), which keeps the sum and gains 2 per unit with lin = (1, 0, 1),
  // while every pair has positive curvature and so takes finite steps.
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    bool equality;
    double box;
    long long limit;
  };
  const Case cases[] = {
      {false, inf, 1000}, {false, 1e150, 1}, {true, inf, 777}, {true, 1e150, 5000}};
  for (const Case& c : cases) {
    const int n = c.equality ? 3 : 2;
    FakeKernel k;
    KALTRO s(n);
    if (c.equality) {
      k.value = [](int a, int b) { return (a + 1.0) * (b + 1.0); };
      s.lin[0] = s.lin[2] = 1;
    } else {
      k.value = [](int, int) { return 1.0; };
      s.kidx[1] = 0;
      s.lin[0] = 1;
      s.lin[1] = -1;
    }
    k.attach(s);
    s.equality = c.equality;
    s.max_steps = c.limit;
    for (int i = 0; i < n; i++) {
      s.lo[i] = -c.box;
      s.hi[i] = c.box;
    }
    Capture cap;
    EXPECT_EQ(s.run(true, true), kaltro::step_limit_result) << c.limit;
    const std::string out = cap.finish();
    const std::string tail = "\nKALTRO error: Step limit reached\n" + kCleanUp;
    EXPECT_EQ(out.substr(0, kSetUp.size() + 1), kSetUp + "*") << c.limit;
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << c.limit;
    EXPECT_EQ(s.it, c.limit);
    EXPECT_EQ(s.last_error, kaltro::msg::step_limit);
    EXPECT_EQ(s.ring, nullptr);
    EXPECT_TRUE(home_is_identity(s));
    double sum = 0;
    for (int i = 0; i < n; i++) {
      EXPECT_TRUE(std::isfinite(s.x[i])) << c.limit;
      EXPECT_LE(std::fabs(s.x[i]), c.box);
      sum += s.x[i];
    }
    EXPECT_GT(std::fabs(s.x[0]), c.limit * 0.1) << "the point did run away";
    if (c.equality) {
      EXPECT_LE(std::fabs(sum), 1e-9 * std::fabs(s.x[0]));
    }
  }

  // A solve that needs exactly the limit succeeds; one step less does not.
  for (long long limit : {500LL, 499LL}) {
    TraceProblem p;
    p.s.max_steps = limit;
    Capture cap;
    const int r = p.s.run(true, true);
    const std::string out = cap.finish();
    if (limit == 500) {
      EXPECT_EQ(r, 500);
    } else {
      EXPECT_EQ(r, kaltro::step_limit_result);
      EXPECT_EQ(out, kSetUp + "*.\nKALTRO error: Step limit reached\n" + kCleanUp);
      EXPECT_EQ(p.s.it, 499);
    }
  }

  // Split solves keep the cache; and `it` never passes INT_MAX, with no
  // limit set or a larger one.
  FakeKernel k;
  k.value = [](int, int) { return 1.0; };
  KALTRO s(2);
  k.attach(s);
  s.trace_level = 0;
  s.equality = false;
  s.kidx[1] = 0;
  s.lin[0] = 1;
  s.lin[1] = -1;
  s.lo[0] = s.lo[1] = -inf;
  s.hi[0] = s.hi[1] = inf;
  s.max_steps = 5;
  EXPECT_EQ(quiet_run(s, true, false), kaltro::step_limit_result);
  EXPECT_NE(s.ring, nullptr);
  for (long long limit : {0LL, -1LL, static_cast<long long>(INT_MAX) + 7}) {
    s.max_steps = limit;
    s.it = INT_MAX - 3;
    EXPECT_EQ(s.iterate_gs1(), kaltro::step_limit_result) << limit;
    EXPECT_EQ(s.it, INT_MAX);
  }
  EXPECT_EQ(quiet_run(s, false, true), 0);
}

// Every text handed to a caller's output, with its flush flag.
struct Recorder {
  std::vector<std::pair<std::string, bool>> calls;
  static void take(const char* text, bool flush, void* arg) {
    static_cast<Recorder*>(arg)->calls.push_back({text, flush});
  }
  std::string bytes() const {
    std::string all;
    for (const auto& c : calls)
      all += c.first;
    return all;
  }
};

TEST(DriverOutput, ReplaceableOutputReceivesTheSameBytes) {
  // Solves that write every kind of text: marks and lines at each level, the
  // cache report, a full line after 40 marks, errors with and without marks
  // on the line, the split sequence and the step limit.  Each runs with the
  // default output (standard output), with a recording output and with none.
  enum Kind { kWhole, kSplit, kBadStart, kConcave, kLadder };
  struct Scene {
    int level;
    long cache;
    long long limit;
    Kind kind;
  };
  const long mb = 1L << 20;
  const Scene scenes[] = {{0, mb, 0, kWhole},    {1, 0, 0, kWhole},   {3, mb, 0, kWhole},
                          {1, mb, 0, kLadder},   {1, mb, 0, kSplit},  {1, mb, 0, kConcave},
                          {2, mb, 0, kBadStart}, {1, mb, 450, kWhole}};
  auto play = [](const Scene& sc, void (*out)(const char*, bool, void*), void* arg) {
    TraceProblem p;
    LadderProblem ladder;
    Concave concave;
    KALTRO& s = sc.kind == kLadder ? ladder.s : sc.kind == kConcave ? concave.s : p.s;
    s.trace_level = sc.level;
    s.maxcachesize = sc.cache;
    s.max_steps = sc.limit;
    if (sc.kind == kBadStart)
      s.x[0] = -1;  // refused before anything else is written
    s.output = out;
    s.output_arg = arg;
    if (sc.kind == kSplit)
      return s.run(true, false) + s.run(false, false) + s.run(false, true);
    return s.run(true, true);
  };
  for (const Scene& sc : scenes) {
    const int index = static_cast<int>(&sc - scenes);
    Capture standard;
    const int expected_result = play(sc, kaltro::write_stdout, nullptr);
    const std::string expected = standard.finish();
    ASSERT_FALSE(expected.empty()) << index;

    Recorder rec;
    Capture recorded;
    EXPECT_EQ(play(sc, Recorder::take, &rec), expected_result) << index;
    EXPECT_EQ(recorded.finish(), "") << index;
    EXPECT_EQ(rec.bytes(), expected) << index;
    // Progress texts are flushed; errors and the two fixed lines are not.
    for (const auto& c : rec.calls) {
      const bool buffered = c.first == kSetUp || c.first == kCleanUp ||
                            c.first.find("KALTRO error: ") != std::string::npos;
      EXPECT_EQ(c.second, !buffered) << index << " " << c.first;
    }

    Capture none;
    EXPECT_EQ(play(sc, nullptr, nullptr), expected_result) << index;
    EXPECT_EQ(none.finish(), "") << index;
  }
}

// --------------------------------------------------------- start-point test

struct Small {
  FakeKernel k;
  KALTRO s;
  explicit Small(int n) : s(n) {
    k.value = [](int a, int b) { return a == b ? 1.0 : 0.0; };
    k.attach(s);
    s.equality = false;
    for (int i = 0; i < n; i++) {
      s.lo[i] = 0;
      s.hi[i] = 1;
      s.lin[i] = 0.5;
    }
  }
};

TEST(DriverStartPoint, OutsideTheBoxIsRefusedWithNoOtherEffect) {
  const std::string err = "KALTRO error: Initial x[] does not satisfy inequality constraint\n";
  for (int mode = 0; mode < 4; mode++) {
    Small p(3);
    p.s.x[1] = 1.5;
    p.s.x[2] = -0.5;  // a second failure: still one line
    p.s.marks = 0;
    p.s.it = 17;
    p.s.l = 2;
    Capture cap;
    EXPECT_EQ(p.s.run(mode & 1, mode & 2), -1) << mode;
    EXPECT_EQ(cap.finish(), err) << mode;
    EXPECT_EQ(p.s.last_error, kaltro::msg::start_point);
    EXPECT_EQ(p.s.it, 17);
    EXPECT_EQ(p.s.l, 2);
    EXPECT_EQ(p.s.ring, nullptr);
    EXPECT_EQ(p.k.calls, 0);
  }
}

TEST(DriverStartPoint, CleanUpWithABadPointFreesNothing) {
  TraceProblem p;
  p.s.trace_level = 0;
  Capture cap;
  ASSERT_EQ(p.s.run(true, false), 500);
  std::vector<int> home(p.s.home, p.s.home + 8);
  p.s.x[3] = 5;  // an inner variable far outside [-1, 1]
  EXPECT_EQ(p.s.run(false, true), -1);
  EXPECT_EQ(cap.finish(), kSetUp);  // level 0: no error line
  EXPECT_NE(p.s.ring, nullptr);
  EXPECT_EQ(std::vector<int>(p.s.home, p.s.home + 8), home);
}

TEST(DriverStartPoint, ExactlyEpsBoundOutsideIsAccepted) {
  Small p(2);
  p.s.trace_level = 0;
  p.s.eps_bound = 0.25;
  p.s.x[0] = -0.25;  // x - lo == -eps_bound
  p.s.x[1] = 1.25;   // x - hi == eps_bound
  Capture cap;
  EXPECT_GE(p.s.run(true, true), 0);
  Small q(2);
  q.s.trace_level = 0;
  q.s.eps_bound = 0.25;
  q.s.x[0] = std::nextafter(-0.25, -1.0);
  EXPECT_EQ(q.s.run(true, true), -1);
  q.s.x[0] = 0;
  q.s.x[1] = std::nextafter(1.25, 2.0);
  EXPECT_EQ(q.s.run(true, true), -1);
  cap.finish();
}

TEST(DriverStartPoint, NaNFailsTheTest) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int which = 0; which < 3; which++) {
    Small p(2);
    double* arr[3] = {p.s.x, p.s.lo, p.s.hi};
    arr[which][1] = nan;
    Capture cap;
    EXPECT_EQ(p.s.run(true, true), -1) << which;
    EXPECT_EQ(cap.finish(), "KALTRO error: Initial x[] does not satisfy inequality constraint\n")
        << which;
    EXPECT_EQ(p.s.last_error, kaltro::msg::start_point);
  }
}

// ---------------------------------------------------------------- eps_gap

TEST(DriverEpsGap, NonPositiveOrNaNIsRefusedBeforeAnything) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double eps : {0.0, -0.001, nan}) {
    for (int mode : {0, 1, 3}) {  // (false,false), (true,false), (true,true)
      Small p(2);
      p.s.eps_gap = eps;
      p.s.it = 9;
      p.s.marks = 3;
      Capture cap;
      EXPECT_EQ(p.s.run(mode & 1, mode & 2), -1);
      EXPECT_EQ(cap.finish(), "\nKALTRO error: eps_gap must be positive\n") << eps << " " << mode;
      EXPECT_EQ(p.s.last_error, kaltro::msg::bad_eps_gap);
      EXPECT_STREQ(p.s.last_error, "eps_gap must be positive");
      EXPECT_EQ(p.s.ring, nullptr);
      EXPECT_EQ(p.s.it, 9);
      EXPECT_EQ(p.s.marks, 3);
      EXPECT_EQ(p.k.calls, 0);
    }
  }
}

TEST(DriverEpsGap, StartPointIsTestedFirstAndCleanUpDoesNotCheck) {
  Small p(2);
  p.s.eps_gap = 0;
  p.s.x[0] = 2;
  Capture cap;
  EXPECT_EQ(p.s.run(true, true), -1);
  EXPECT_EQ(p.s.last_error, kaltro::msg::start_point);
  p.s.x[0] = 0;
  EXPECT_EQ(p.s.run(false, true), 0);
  EXPECT_EQ(cap.finish(),
            "KALTRO error: Initial x[] does not satisfy inequality constraint\n" + kCleanUp);
}

TEST(DriverEpsGap, RefusedWithACacheSetUpLeavesIt) {
  TraceProblem p;
  p.s.trace_level = 0;
  Capture cap;
  ASSERT_EQ(p.s.run(true, false), 500);
  KALTRO::Arow* ring = p.s.ring;
  p.s.eps_gap = 0;
  EXPECT_EQ(p.s.run(false, false), -1);
  EXPECT_EQ(p.s.ring, ring);
  EXPECT_EQ(p.s.it, 500);
  cap.finish();
}

// --------------------------------------------------------------- the modes

TEST(DriverModes, SolveWithoutACacheSetsOneUpAndKeepsIt) {
  TraceProblem p;
  Capture cap;
  EXPECT_EQ(p.s.run(false, false), 500);
  EXPECT_EQ(cap.finish(), kSetUp + "*.* it:500 l:8 |g|:0.000000 w:250.000000\n");
  EXPECT_NE(p.s.ring, nullptr);
  EXPECT_FALSE(home_is_identity(p.s));
}

TEST(DriverModes, CleanUpNeedsNoCache) {
  {
    Small p(3);
    Capture cap;
    EXPECT_EQ(p.s.run(false, true), 0);
    EXPECT_EQ(cap.finish(), kCleanUp);
    EXPECT_EQ(p.s.ring, nullptr);
    EXPECT_EQ(p.s.last_error, nullptr);
  }
  {
    // Internal order with the cache already gone: the order is restored.
    TraceProblem p;
    p.s.trace_level = 0;
    Capture cap;
    ASSERT_EQ(p.s.run(true, false), 500);
    p.s.cache_fini();
    ASSERT_FALSE(home_is_identity(p.s));
    EXPECT_EQ(p.s.run(false, true), 0);
    EXPECT_EQ(cap.finish(), kSetUp + kCleanUp);
    EXPECT_TRUE(home_is_identity(p.s));
    EXPECT_EQ(p.s.lo[7], -1.0);
  }
}

TEST(DriverModes, CleanUpWritesItsLineAtEveryLevel) {
  for (int level : {0, -1, 1, 3}) {
    Small p(1);
    p.s.trace_level = level;
    Capture cap;
    EXPECT_EQ(p.s.run(false, true), 0);
    EXPECT_EQ(cap.finish(), kCleanUp);
  }
}

TEST(DriverModes, LastErrorSurvivesALaterSuccess) {
  Small p(2);
  p.s.trace_level = 0;
  p.s.x[0] = 3;
  EXPECT_EQ(quiet_run(p.s, true, true), -1);
  p.s.x[0] = 0;
  Capture cap;
  EXPECT_EQ(p.s.run(true, true), 2);
  cap.finish();
  EXPECT_EQ(p.s.last_error, kaltro::msg::start_point);
  EXPECT_EQ(p.s.x[0], 0.5);
}

// ------------------------------------------------------------- x in the box

// One coordinate step from x0 toward a bound that x0 + (bound - x0) misses
// by one rounding error in double arithmetic: 0.3 + (0.9 - 0.3) > 0.9 and
// 1.1 - (1.1 + 0.3) < -0.3.  (With extended-precision intermediates the move
// may land exactly; the outcome must be the same.)
TEST(DriverBox, ClippedMovesEndExactlyOnTheBound) {
  struct Case {
    double x, lo, hi, lin;
    double bound;
  };
  for (const Case& c : {Case{0.3, 0, 0.9, 10, 0.9}, Case{1.1, -0.3, 2, -10, -0.3}}) {
    Small p(1);
    p.s.trace_level = 0;
    p.s.x[0] = c.x;
    p.s.lo[0] = c.lo;
    p.s.hi[0] = c.hi;
    p.s.lin[0] = c.lin;
    EXPECT_EQ(quiet_run(p.s, true, false), 1);
    EXPECT_EQ(p.s.x[0], c.bound);
    // The documented sequence goes on from there.
    EXPECT_EQ(quiet_run(p.s, false, false), 0);
    EXPECT_EQ(quiet_run(p.s, false, true), 0);
    EXPECT_EQ(p.s.x[0], c.bound);
  }
}

TEST(DriverBox, PairwiseMoveEndsExactlyOnTheBound) {
  Small p(2);
  p.s.trace_level = 0;
  p.s.equality = true;
  p.s.x[0] = 0.3;
  p.s.lo[0] = p.s.lo[1] = -5;
  p.s.hi[0] = 0.9;
  p.s.hi[1] = 5;
  p.s.lin[0] = 10;
  p.s.lin[1] = 0;
  EXPECT_GE(quiet_run(p.s, true, false), 1);
  EXPECT_LE(p.s.x[0], 0.9);
  EXPECT_LE(p.s.x[1], 5.0);
  EXPECT_GE(quiet_run(p.s, false, false), 0);
  EXPECT_EQ(quiet_run(p.s, false, true), 0);
  EXPECT_EQ(p.s.x[0], 0.9);
}

TEST(DriverBox, FailedSolveIsClampedToo) {
  // The first step overshoots 0.9; the second is refused (negative curvature).
  FakeKernel k;
  k.value = [](int a, int b) { return a != b ? 0.0 : (a == 0 ? 1.0 : -1.0); };
  KALTRO s(2);
  k.attach(s);
  s.trace_level = 0;
  s.equality = false;
  s.x[0] = 0.3;
  s.hi[0] = 0.9;
  s.lin[0] = 10;
  s.hi[1] = 1;
  s.lin[1] = 1;
  EXPECT_EQ(quiet_run(s, true, true), -1);
  EXPECT_EQ(s.last_error, kaltro::msg::not_convex);
  EXPECT_EQ(s.x[0], 0.9);
}

TEST(DriverBox, StartPointWithinEpsBoundIsPulledIntoTheBox) {
  Small p(1);
  p.s.trace_level = 0;
  p.s.eps_bound = 0.25;
  p.s.lin[0] = 5;  // pushes further up: no step is possible
  p.s.x[0] = 1.25;
  EXPECT_EQ(quiet_run(p.s, true, true), 0);
  EXPECT_EQ(p.s.x[0], 1.0);
}

// ------------------------------------------------- solutions, checked afresh

// A random problem: points for an RBF or linear kernel (rank-deficient when
// the dimension is below n), boxes including lo = hi, duplicate kernel
// indices, a start point anywhere in the box.
struct Random {
  FakeKernel k;
  std::vector<int> kidx;
  std::vector<double> lin, lo, hi, x;
  bool equality;
  int n;
  Random(int n_, unsigned long long seed, bool eq) : equality(eq), n(n_) {
    Lcg r(seed);
    int d = 1 + r.below(4);
    k.value = random_points(n, d, seed + 1, r.below(2) ? Points::kRbf : Points::kLinear);
    for (int i = 0; i < n; i++) {
      kidx.push_back(r.below(5) == 0 ? r.below(n) : i);
      double a = -r.uniform() * 2, b = r.uniform() * 2;
      int shape = r.below(8);
      if (shape == 0)
        a = b = 0;
      else if (shape == 1)
        a = b;
      lo.push_back(a);
      hi.push_back(b);
      x.push_back(a + (b - a) * r.uniform());
      lin.push_back(2 * r.uniform() - 1);
    }
  }
  void load(KALTRO& s) {
    k.attach(s);
    s.equality = equality;
    s.trace_level = 0;
    for (int i = 0; i < n; i++) {
      s.kidx[i] = kidx[static_cast<size_t>(i)];
      s.lin[i] = lin[static_cast<size_t>(i)];
      s.lo[i] = lo[static_cast<size_t>(i)];
      s.hi[i] = hi[static_cast<size_t>(i)];
      s.x[i] = x[static_cast<size_t>(i)];
    }
  }
  // Gradient from scratch in double, with the kernel rounded to float as the
  // cache stores it.
  std::vector<double> gradient(const double* xs) const {
    std::vector<double> g(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      double s = lin[static_cast<size_t>(i)];
      for (int j = 0; j < n; j++)
        s -= static_cast<double>(static_cast<float>(
                 k.value(kidx[static_cast<size_t>(i)], kidx[static_cast<size_t>(j)]))) *
             xs[j];
      g[static_cast<size_t>(i)] = s;
    }
    return g;
  }
  double objective(const double* xs) const {
    std::vector<double> g = gradient(xs);
    double w = 0;
    for (int i = 0; i < n; i++)
      w += xs[i] * (lin[static_cast<size_t>(i)] + g[static_cast<size_t>(i)]);
    return 0.5 * w;
  }
  double eps_gap() const { return 0.001; }
  double width() const {
    double s = 0;
    for (int i = 0; i < n; i++)
      s += hi[static_cast<size_t>(i)] - lo[static_cast<size_t>(i)];
    return s;
  }
  // Check a solution given in the caller's order.
  void check(const KALTRO& s, const char* what) const {
    SCOPED_TRACE(what);
    double sum0 = 0, sum = 0;
    for (int i = 0; i < n; i++) {
      EXPECT_GE(s.x[i], lo[static_cast<size_t>(i)]) << i;
      EXPECT_LE(s.x[i], hi[static_cast<size_t>(i)]) << i;
      sum0 += x[static_cast<size_t>(i)];
      sum += s.x[i];
    }
    if (equality) {
      EXPECT_NEAR(sum, sum0, 1e-9 * (1 + width()));
    }
    std::vector<double> g = gradient(s.x);
    double gh = equality ? -s.big : 0, gl = equality ? s.big : 0;
    for (int i = 0; i < n; i++) {
      if (g[static_cast<size_t>(i)] > gh && s.x[i] < hi[static_cast<size_t>(i)])
        gh = g[static_cast<size_t>(i)];
      if (g[static_cast<size_t>(i)] < gl && s.x[i] > lo[static_cast<size_t>(i)])
        gl = g[static_cast<size_t>(i)];
    }
    EXPECT_LT(gh - gl, s.eps_gap + 1e-6);
    EXPECT_NEAR(s.w, objective(s.x), 1e-7 * (1 + std::fabs(s.w)));
  }
};

TEST(DriverSolutions, RandomProblemsMeetTheStoppingConditionFromScratch) {
  for (unsigned long long seed = 1; seed <= 60; seed++) {
    for (bool eq : {true, false}) {
      int n = 1 + static_cast<int>(seed * 7 % 90);
      Random p(n, seed, eq);
      KALTRO s(n);
      p.load(s);
      int r = quiet_run(s, true, true);
      ASSERT_GE(r, 0) << seed << " " << eq;
      EXPECT_EQ(r, s.it);
      EXPECT_TRUE(home_is_identity(s));
      p.check(s, ("seed " + std::to_string(seed) + (eq ? " eq" : " box")).c_str());
    }
  }
}

TEST(DriverSolutions, SplitSolvesMatchWholeSolves) {
  for (unsigned long long seed = 101; seed <= 110; seed++) {
    for (bool eq : {true, false}) {
      int n = 20 + static_cast<int>(seed % 40);
      Random p(n, seed, eq);
      Random q = p;  // the same problem with another linear term
      for (double& v : q.lin)
        v = 0.5 - v;
      const double tol = (p.eps_gap() + 1e-6) * p.width() + 1e-9;

      KALTRO split(n);
      p.load(split);
      ASSERT_GE(quiet_run(split, true, false), 0);
      const double w_first = split.w;
      // Between the calls the arrays are in the internal order.
      for (int pos = 0; pos < n; pos++)
        split.lin[pos] = q.lin[static_cast<size_t>(split.home[pos])];
      ASSERT_GE(quiet_run(split, false, false), 0);
      const double w_second = split.w;
      for (int pos = 0; pos < n; pos++) {
        split.lin[pos] = p.lin[static_cast<size_t>(split.home[pos])];
        split.x[pos] = p.x[static_cast<size_t>(split.home[pos])];
      }
      ASSERT_GE(quiet_run(split, false, false), 0);
      const double w_third = split.w;
      ASSERT_EQ(quiet_run(split, false, true), 0);
      EXPECT_TRUE(home_is_identity(split));
      EXPECT_EQ(split.ring, nullptr);
      for (int i = 0; i < n; i++) {
        EXPECT_EQ(split.lin[i], p.lin[static_cast<size_t>(i)]);
        EXPECT_EQ(split.kidx[i], p.kidx[static_cast<size_t>(i)]);
      }
      p.check(split, "split");

      KALTRO whole_p(n), whole_q(n);
      p.load(whole_p);
      q.load(whole_q);
      ASSERT_GE(quiet_run(whole_p, true, true), 0);
      ASSERT_GE(quiet_run(whole_q, true, true), 0);
      q.check(whole_q, "whole");
      EXPECT_NEAR(w_first, whole_p.w, tol) << seed;
      EXPECT_NEAR(w_second, whole_q.w, tol) << seed;
      EXPECT_NEAR(w_third, whole_p.w, tol) << seed;
    }
  }
}

TEST(DriverSolutions, TinyCachesReachAnEquallyGoodSolution) {
  for (unsigned long long seed = 201; seed <= 206; seed++) {
    int n = 40 + static_cast<int>(seed % 20);
    Random p(n, seed, seed % 2 == 0);
    KALTRO big(n);
    p.load(big);
    ASSERT_GE(quiet_run(big, true, true), 0);
    for (long budget : {0L, 64L, 4L * n}) {
      KALTRO s(n);
      p.load(s);
      s.maxcachesize = budget;
      s.trace_level = 1;
      Capture cap;
      ASSERT_GE(s.run(true, true), 0);
      std::string out = cap.finish();
      EXPECT_NE(out.find('@'), std::string::npos) << budget;
      p.check(s, "tiny cache");
      EXPECT_NEAR(s.w, big.w, (s.eps_gap + 1e-6) * p.width() + 1e-9) << seed << " " << budget;
    }
  }
}

// A continued run with reuse_gref starts from gref, exact at xref: with
// nothing moved it evaluates no kernel entry (the ordinary restart fetches a
// row for every non-zero x), and from a point moved away from xref it still
// reaches the solution.
TEST(DriverSolutions, ContinuedRunsStartFromTheReferenceGradient) {
  for (unsigned long long seed = 301; seed <= 320; seed++) {
    Random p(20 + static_cast<int>(seed % 40), seed, seed % 2 == 0);
    KALTRO s(p.n);
    p.load(s);
    s.maxcachesize = 0;  // every row fetched is evaluated
    s.reuse_gref = true;
    ASSERT_GE(quiet_run(s, true, false), 0);
    for (int pos = 0; pos < p.n; pos++) {  // the gradient is exact everywhere after a solve
      s.gref[pos] = s.g[pos];
      s.xref[pos] = s.x[pos];
    }
    p.k.reset();
    ASSERT_GE(quiet_run(s, false, false), 0);
    EXPECT_EQ(p.k.calls, 0) << seed;
    for (int pos = 0; pos < p.n; pos++)  // back to the start point; gref stays
      s.x[pos] = p.x[static_cast<size_t>(s.home[pos])];
    ASSERT_GE(quiet_run(s, false, false), 0);
    ASSERT_EQ(quiet_run(s, false, true), 0);
    p.check(s, ("seed " + std::to_string(seed)).c_str());
  }
}

}  // namespace
