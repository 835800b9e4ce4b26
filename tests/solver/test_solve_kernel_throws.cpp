// A kernel function that throws: wherever the solver happens to be evaluating
// the kernel (diagonals at set-up, full rows for the first gradient, rows for
// a step, reference updates, rebuilds), the caller's exception reaches the
// caller unchanged, the object can be cleaned up, solved again and destroyed,
// and nothing leaks (the sanitizer build checks the last part).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "../reference/qp_check.h"
#include "support.h"

namespace {

using qpcheck::Qp;

// n variables over fewer points (shared kernel indices), random boxes with
// some fixed ones, start points inside the boxes.
Qp make_problem(int n, bool equality, unsigned long long seed, FakeKernel* kern) {
  const int points = n * 3 / 4;
  kern->value = random_points(points, 2, seed);
  Lcg r(seed + 17);
  Qp q;
  q.n = n;
  q.equality = equality;
  q.eps_gap = 1e-4;
  q.kidx.resize(n);
  q.lin.resize(n);
  q.lo.resize(n);
  q.hi.resize(n);
  q.x0.resize(n);
  for (int i = 0; i < n; i++) {
    q.kidx[i] = i < points ? i : r.below(points);
    q.lin[i] = 4 * r.uniform() - 2;
    double a = 6 * r.uniform() - 3, b = 6 * r.uniform() - 3;
    if (i % 9 == 0)
      b = a;
    q.lo[i] = a < b ? a : b;
    q.hi[i] = a < b ? b : a;
    q.x0[i] = q.lo[i] + r.uniform() * (q.hi[i] - q.lo[i]);
    if (q.x0[i] > q.hi[i])
      q.x0[i] = q.hi[i];
  }
  q.fill_kernel(FakeKernel::call, kern);
  return q;
}

std::unique_ptr<KALTRO> make_solver(const Qp& q, FakeKernel* kern, long maxcache) {
  std::unique_ptr<KALTRO> s(new KALTRO(q.n));
  q.load(*s);
  kern->attach(*s);
  s->trace_level = 0;
  s->maxcachesize = maxcache;
  return s;
}

struct Clean {
  std::vector<double> x;
  double w = 0;
  int steps = 0;
  long calls = 0;
  qpcheck::Verdict v;
};

Clean clean_solve(const Qp& q, FakeKernel* kern, long maxcache) {
  Clean c;
  std::unique_ptr<KALTRO> s = make_solver(q, kern, maxcache);
  kern->calls = 0;
  kern->throw_on = -1;
  Capture cap;
  c.steps = s->run(true, true);
  cap.finish();
  c.calls = kern->calls;
  c.x.assign(s->x, s->x + q.n);
  c.w = s->w;
  EXPECT_GE(c.steps, 0);
  EXPECT_TRUE(qpcheck::judge(q, qpcheck::answer_of(*s, c.steps), &c.v));
  return c;
}

// Runs run(true, true) with the kernel failing at call `at`; expects the
// caller's exception.
void expect_failure(KALTRO& s, FakeKernel* kern, long at) {
  kern->calls = 0;
  kern->throw_on = at;
  Capture cap;
  try {
    s.run(true, true);
    ADD_FAILURE() << "no exception with the kernel failing at call " << at;
  } catch (const KernelFailure& e) {
    EXPECT_EQ(e.call, at);
  }
  cap.finish();
  kern->throw_on = -1;
}

void expect_caller_order(const KALTRO& s, const Qp& q) {
  for (int i = 0; i < q.n; i++) {
    ASSERT_EQ(s.home[i], i);
    ASSERT_EQ(s.kidx[i], q.kidx[i]);
    ASSERT_EQ(s.lin[i], q.lin[i]);
    ASSERT_EQ(s.lo[i], q.lo[i]);
    ASSERT_EQ(s.hi[i], q.hi[i]);
  }
}

// Puts x back into its box, through home[] (so in whichever order the
// arrays are), as the solver itself does at the end of a solve that returns.
// Returns how many variables had to move.
int clamp_x(KALTRO& s) {
  int moved = 0;
  for (int p = 0; p < s.n; p++) {
    if (s.x[p] < s.lo[p]) {
      s.x[p] = s.lo[p];
      moved++;
    } else if (s.x[p] > s.hi[p]) {
      s.x[p] = s.hi[p];
      moved++;
    }
  }
  return moved;
}

// Failure points spread over a whole solve: every one of the first calls
// (diagonals and the first rows), then evenly up to the last call.
std::vector<long> failure_points(long total) {
  std::vector<long> at;
  for (long c = 0; c < 70 && c < total; c++)
    at.push_back(c);
  for (int k = 1; k <= 60; k++)
    at.push_back(70 + (total - 71) * k / 60);
  return at;
}

class KernelThrows : public ::testing::TestWithParam<std::tuple<bool, long>> {};

// The documented way out after an exception is run(false, true), whose
// start-point test needs x inside its box.  A clipped step lands on its
// bound only up to rounding and a solve that returns clamps x at its end,
// but a solve left by an exception skips that clamp.
TEST_P(KernelThrows, InterruptedSolveLeavesXInsideItsBox) {
  const bool equality = std::get<0>(GetParam());
  const long maxcache = std::get<1>(GetParam());
  for (unsigned long long seed = 5; seed <= 8; seed++) {
    FakeKernel kern;
    Qp q = make_problem(64, equality, seed, &kern);
    Clean clean = clean_solve(q, &kern, maxcache);
    for (long at : failure_points(clean.calls)) {
      std::unique_ptr<KALTRO> s = make_solver(q, &kern, maxcache);
      expect_failure(*s, &kern, at);
      for (int p = 0; p < q.n; p++) {
        ASSERT_TRUE(s->lo[p] <= s->x[p] && s->x[p] <= s->hi[p])
            << "seed " << seed << ", kernel failing at call " << at << " of " << clean.calls
            << ": variable " << s->home[p] << " x = " << s->x[p] << " outside [" << s->lo[p] << ", "
            << s->hi[p] << "] by "
            << (s->x[p] > s->hi[p] ? s->x[p] - s->hi[p] : s->lo[p] - s->x[p]);
      }
      Capture cap;
      ASSERT_EQ(s->run(false, true), 0) << s->last_error;
    }
  }
}

// After the failure, clean up with run(false, true), then solve again from
// the original start: the same steps and the same bits as an undisturbed solve.
TEST_P(KernelThrows, CleanUpThenSolveAgainGivesTheUndisturbedAnswer) {
  const bool equality = std::get<0>(GetParam());
  const long maxcache = std::get<1>(GetParam());
  FakeKernel kern;
  Qp q = make_problem(64, equality, 5, &kern);
  Clean clean = clean_solve(q, &kern, maxcache);
  ASSERT_GT(clean.calls, 200);
  for (long at : failure_points(clean.calls)) {
    SCOPED_TRACE("kernel fails at call " + std::to_string(at));
    std::unique_ptr<KALTRO> s = make_solver(q, &kern, maxcache);
    expect_failure(*s, &kern, at);
    clamp_x(*s);  // see InterruptedSolveLeavesXInsideItsBox
    int r;
    {
      Capture cap;
      r = s->run(false, true);
      cap.finish();
    }
    ASSERT_EQ(r, 0) << (s->last_error ? s->last_error : "");
    EXPECT_EQ(s->ring, nullptr);
    expect_caller_order(*s, q);
    for (int i = 0; i < q.n; i++)
      s->x[i] = q.x0[i];
    {
      Capture cap;
      r = s->run(true, true);
      cap.finish();
    }
    ASSERT_EQ(r, clean.steps);
    EXPECT_EQ(s->w, clean.w);
    for (int i = 0; i < q.n; i++)
      ASSERT_EQ(s->x[i], clean.x[i]) << "at " << i;
  }
}

// After the failure, solve at once from wherever the interrupted solve left
// x (possibly in the internal order): the answer is as good and comes back
// in the caller's order.
TEST_P(KernelThrows, SolvingOnFromTheInterruptedPointWorks) {
  const bool equality = std::get<0>(GetParam());
  const long maxcache = std::get<1>(GetParam());
  FakeKernel kern;
  Qp q = make_problem(64, equality, 6, &kern);
  Clean clean = clean_solve(q, &kern, maxcache);
  for (long at : failure_points(clean.calls)) {
    SCOPED_TRACE("kernel fails at call " + std::to_string(at));
    std::unique_ptr<KALTRO> s = make_solver(q, &kern, maxcache);
    expect_failure(*s, &kern, at);
    clamp_x(*s);  // see InterruptedSolveLeavesXInsideItsBox
    int r;
    {
      Capture cap;
      r = s->run(true, true);
      cap.finish();
    }
    ASSERT_GE(r, 0) << (s->last_error ? s->last_error : "");
    expect_caller_order(*s, q);
    qpcheck::Verdict v;
    ASSERT_TRUE(qpcheck::judge(q, qpcheck::answer_of(*s, r), &v));
    EXPECT_TRUE(qpcheck::same_optimum(v, clean.v, q.eps_gap));
  }
}

// The object is destroyed right after the failure, with the cache set up and
// the arrays in the internal order.
TEST_P(KernelThrows, DestroyedRightAfterTheFailure) {
  const bool equality = std::get<0>(GetParam());
  const long maxcache = std::get<1>(GetParam());
  FakeKernel kern;
  Qp q = make_problem(48, equality, 7, &kern);
  Clean clean = clean_solve(q, &kern, maxcache);
  int thrown = 0;
  for (long at : failure_points(clean.calls)) {
    std::unique_ptr<KALTRO> s = make_solver(q, &kern, maxcache);
    expect_failure(*s, &kern, at);
    thrown++;
  }
  EXPECT_EQ(thrown, static_cast<int>(failure_points(clean.calls).size()));
}

// A failure inside run(false, false) of a split solve: the clean-up call
// still restores the caller's order, and a new split solve works.
TEST_P(KernelThrows, FailureInASplitSolve) {
  const bool equality = std::get<0>(GetParam());
  const long maxcache = std::get<1>(GetParam());
  FakeKernel kern;
  Qp q = make_problem(64, equality, 8, &kern);
  Qp q2 = q;
  for (int i = 0; i < q.n; i++)
    q2.lin[i] = -q.lin[i];
  std::unique_ptr<KALTRO> s = make_solver(q, &kern, maxcache);
  Capture cap;
  ASSERT_GE(s->run(true, false), 0);
  for (int p = 0; p < q.n; p++)
    s->lin[p] = q2.lin[s->home[p]];
  kern.calls = 0;
  kern.throw_on = 3;
  bool thrown = false;
  try {
    s->run(false, false);
  } catch (const KernelFailure& e) {
    thrown = true;
    EXPECT_EQ(e.call, 3);
  }
  kern.throw_on = -1;
  clamp_x(*s);  // see InterruptedSolveLeavesXInsideItsBox
  // With the whole matrix cached the new solve may need no kernel call.
  if (maxcache < 4L * q.n * q.n) {
    EXPECT_TRUE(thrown);
  }
  EXPECT_EQ(s->run(false, true), 0);
  cap.finish();
  expect_caller_order(*s, q2);
  Qp q3 = q2;
  for (int i = 0; i < q.n; i++)
    q3.x0[i] = s->x[i];
  int steps;
  {
    Capture cap2;
    steps = s->run(true, false);
    ASSERT_GE(steps, 0);
    ASSERT_EQ(s->run(false, true), 0);
  }
  expect_caller_order(*s, q2);
  ASSERT_TRUE(qpcheck::judge(q3, qpcheck::answer_of(*s, steps), nullptr));
}

INSTANTIATE_TEST_SUITE_P(Modes, KernelThrows,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(268435456L, 4L * 64 * 3, 0L)));

}  // namespace
