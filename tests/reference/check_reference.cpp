// Solves the problems written by make_problems.py and judges every answer
// against the reference optimiser and against the problem itself: exact
// feasibility, the stopping gap recomputed in double, the gradient the solver
// keeps, and the objective within certified bounds (see qp_check.h).  Split
// solves and starved row caches must reach equally good answers.
//
//   kaltro_reference PROBLEM_FILE EXPECTED_COUNT [gtest options]
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../solver/support.h"
#include "qp_check.h"

namespace {

using qpcheck::Answer;
using qpcheck::Qp;
using qpcheck::Verdict;

const char kSetUp[] = "\nSetting up cache ...\n";
const char kCleanUp[] = "\nCleaning and unswapping  cache...\n";
const int kShards = 4;

std::string g_path;
long g_expected = -1;

// Kernel indices in the file are point numbers shifted by an offset (which
// may be negative), so the solver never sees indices equal to positions by
// accident.  Counts its calls.
struct ShiftedKernel {
  Points pk;
  int offset = 0;
  long calls = 0;
  static double call(int a, int b, void* arg) {
    ShiftedKernel* k = static_cast<ShiftedKernel*>(arg);
    int m = static_cast<int>(k->pk.pts.size()) / k->pk.d;
    int pa = a - k->offset, pb = b - k->offset;
    if (pa < 0 || pa >= m || pb < 0 || pb >= m)
      throw std::out_of_range("kernel index without a point");
    k->calls++;
    return k->pk.eval(pa, pb);
  }
};

struct RefProblem {
  int id = 0;
  std::string kind;
  int points = 0;
  ShiftedKernel kern;
  Qp q;
  double w_ref = 0, cert_ref = 0, scale_ref = 0;
};

void expect_word(std::istream& in, const char* word) {
  std::string t;
  if (!(in >> t) || t != word)
    throw std::runtime_error(std::string("problem file: expected '") + word + "', read '" + t +
                             "'");
}

template <class T>
T read_value(std::istream& in, const char* what) {
  T v;
  if (!(in >> v))
    throw std::runtime_error(std::string("problem file: cannot read ") + what);
  return v;
}

std::vector<RefProblem> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot open problem file " + path);
  expect_word(in, "kaltro-reference");
  expect_word(in, "1");
  expect_word(in, "count");
  long count = read_value<long>(in, "count");
  std::vector<RefProblem> all;
  for (long c = 0; c < count; c++) {
    RefProblem p;
    expect_word(in, "problem");
    p.id = read_value<int>(in, "id");
    expect_word(in, "n");
    p.q.n = read_value<int>(in, "n");
    expect_word(in, "kind");
    p.kind = read_value<std::string>(in, "kind");
    expect_word(in, "d");
    p.kern.pk.d = read_value<int>(in, "d");
    expect_word(in, "gamma");
    p.kern.pk.gamma = read_value<double>(in, "gamma");
    expect_word(in, "points");
    p.points = read_value<int>(in, "points");
    expect_word(in, "offset");
    p.kern.offset = read_value<int>(in, "offset");
    expect_word(in, "equality");
    p.q.equality = read_value<int>(in, "equality") != 0;
    expect_word(in, "eps_gap");
    p.q.eps_gap = read_value<double>(in, "eps_gap");
    if (p.kind == "rbf")
      p.kern.pk.kind = Points::kRbf;
    else if (p.kind == "linear")
      p.kern.pk.kind = Points::kLinear;
    else
      throw std::runtime_error("problem file: unknown kernel " + p.kind);
    p.kern.pk.pts.resize(static_cast<size_t>(p.points) * p.kern.pk.d);
    for (double& v : p.kern.pk.pts)
      v = read_value<double>(in, "point");
    const int n = p.q.n;
    p.q.kidx.resize(n);
    p.q.lin.resize(n);
    p.q.lo.resize(n);
    p.q.hi.resize(n);
    p.q.x0.resize(n);
    for (int i = 0; i < n; i++) {
      p.q.kidx[i] = read_value<int>(in, "kidx");
      p.q.lin[i] = read_value<double>(in, "lin");
      p.q.lo[i] = read_value<double>(in, "lo");
      p.q.hi[i] = read_value<double>(in, "hi");
      p.q.x0[i] = read_value<double>(in, "x0");
    }
    expect_word(in, "reference");
    p.w_ref = read_value<double>(in, "w_ref");
    p.cert_ref = read_value<double>(in, "cert_ref");
    p.scale_ref = read_value<double>(in, "scale_ref");
    all.push_back(std::move(p));
  }
  expect_word(in, "end");
  return all;
}

std::vector<RefProblem>& problems() {
  static std::unique_ptr<std::vector<RefProblem>> all;
  if (!all) {
    if (g_path.empty())
      throw std::runtime_error("no problem file given");
    all.reset(new std::vector<RefProblem>(read_file(g_path)));
  }
  return *all;
}

// A solver loaded with a problem at trace level 0.
std::unique_ptr<KALTRO> make_solver(const Qp& q, ShiftedKernel& kern) {
  std::unique_ptr<KALTRO> s(new KALTRO(q.n));
  q.load(*s);
  s->kernel = ShiftedKernel::call;
  s->kernel_arg = &kern;
  s->trace_level = 0;
  return s;
}

int run_quiet(KALTRO& s, bool initialize, bool finalize, std::string* out) {
  Capture cap;
  int r = s.run(initialize, finalize);
  *out = cap.finish();
  return r;
}

// The caller's arrays are back in the caller's order.
void expect_caller_order(const KALTRO& s, const Qp& q) {
  for (int i = 0; i < q.n; i++) {
    ASSERT_EQ(s.home[i], i);
    ASSERT_EQ(s.kidx[i], q.kidx[i]) << "at " << i;
    ASSERT_EQ(s.lin[i], q.lin[i]) << "at " << i;
    ASSERT_EQ(s.lo[i], q.lo[i]) << "at " << i;
    ASSERT_EQ(s.hi[i], q.hi[i]) << "at " << i;
  }
}

// Whole solve of q from q.x0; judged against the problem.
struct Solved {
  Answer a;
  Verdict v;
  long kernel_calls = 0;
};

::testing::AssertionResult solve_whole(const Qp& q, ShiftedKernel& kern, long maxcache,
                                       Solved* out) {
  std::unique_ptr<KALTRO> s = make_solver(q, kern);
  s->maxcachesize = maxcache;
  kern.calls = 0;
  std::string text;
  int r = run_quiet(*s, true, true, &text);
  out->kernel_calls = kern.calls;
  if (r < 0)
    return ::testing::AssertionFailure() << "run failed: " << (s->last_error ? s->last_error : "?");
  if (text != std::string(kSetUp) + kCleanUp)
    return ::testing::AssertionFailure() << "output at trace level 0: [" << text << "]";
  if (s->ring != nullptr)
    return ::testing::AssertionFailure() << "cache still set up after run(true, true)";
  for (int i = 0; i < q.n; i++)
    if (s->home[i] != i || s->kidx[i] != q.kidx[i] || s->lin[i] != q.lin[i] ||
        s->lo[i] != q.lo[i] || s->hi[i] != q.hi[i])
      return ::testing::AssertionFailure() << "caller's order not restored at " << i;
  out->a = qpcheck::answer_of(*s, r);
  return qpcheck::judge(q, out->a, &out->v);
}

// The solver's objective against the reference: no better than the certified
// optimum, no worse than its own certificate (itself below eps_gap times the
// room, plus the float-row allowance).
::testing::AssertionResult matches_reference(const RefProblem& p, const Verdict& v) {
  double slack = v.w_slack(p.scale_ref);
  double below = p.w_ref - v.w;
  double tol = std::min(v.cert, v.gap_bound(p.q.eps_gap) * v.width);
  if (below > tol + slack)
    return ::testing::AssertionFailure()
           << "w " << v.w << " below reference " << p.w_ref << " by " << below
           << ", more than its certificate " << v.cert << " (+" << slack << ")";
  if (-below > p.cert_ref + slack)
    return ::testing::AssertionFailure()
           << "w " << v.w << " above the certified optimum " << p.w_ref << " + " << p.cert_ref;
  return ::testing::AssertionSuccess();
}

// How tight the comparisons were, for the log.
struct Tightness {
  int solved = 0;
  double worst_vs_eps = 0;       // (w_ref - w) / (eps_gap * width)
  double worst_vs_cert = 0;      // (w_ref - w) / cert
  double worst_float = 0;        // float effect 2F / eps_gap
  double worst_bound = 0;        // its a priori bound / eps_gap
  double worst_round = 0;        // measured double rounding 2E / eps_gap
  double worst_round_bound = 0;  // its bound 2D / eps_gap
  int worst_float_id = -1;
  void add(const RefProblem& p, const Verdict& v) {
    solved++;
    double below = p.w_ref - v.w;
    if (v.width > 0)
      worst_vs_eps = std::max(worst_vs_eps, below / (p.q.eps_gap * v.width));
    if (v.cert > 0)
      worst_vs_cert = std::max(worst_vs_cert, below / v.cert);
    if (2 * v.float_eff / p.q.eps_gap > worst_float) {
      worst_float = 2 * v.float_eff / p.q.eps_gap;
      worst_float_id = p.id;
    }
    worst_bound = std::max(worst_bound, 2 * v.float_bound / p.q.eps_gap);
    worst_round = std::max(worst_round, 2 * v.round_eff / p.q.eps_gap);
    worst_round_bound = std::max(worst_round_bound, 2 * v.round_err / p.q.eps_gap);
  }
  void print(const char* what) const {
    std::printf(
        "%s: %d answers; worst shortfall %.3g of eps_gap*width, %.3g of the "
        "certificate; of eps_gap: float effect up to %.3g (problem %d; bound %.3g), solver "
        "rounding up to %.3g (bound %.3g)\n",
        what, solved, worst_vs_eps, worst_vs_cert, worst_float, worst_float_id, worst_bound,
        worst_round, worst_round_bound);
  }
};

class Reference : public ::testing::TestWithParam<int> {
 protected:
  // Problems of this shard, so ctest can run shards side by side; only
  // these get their kernel matrices (slow in an emulated 32-bit run).
  std::vector<const RefProblem*> shard() const {
    std::vector<const RefProblem*> mine;
    for (RefProblem& p : problems())
      if (p.id % kShards == GetParam()) {
        if (p.q.K.empty() && p.q.n > 0) {
          p.q.fill_kernel(ShiftedKernel::call, &p.kern);
          p.kern.calls = 0;
        }
        mine.push_back(&p);
      }
    return mine;
  }
};

TEST(ReferenceFile, HoldsTheIntendedVariety) {
  const std::vector<RefProblem>& all = problems();
  ASSERT_GE(g_expected, 100);
  ASSERT_EQ(static_cast<long>(all.size()), g_expected);
  int eq = 0, noeq = 0, rbf = 0, lin = 0, rank_low = 0, dup = 0, fixed = 0, fixed_zero = 0,
      shifted = 0, negative = 0, n1 = 0, large = 0, inner_start = 0;
  for (const RefProblem& p : all) {
    (p.q.equality ? eq : noeq)++;
    (p.kind == "rbf" ? rbf : lin)++;
    if (p.kind == "linear" && p.kern.pk.d <= 2 && p.q.n > 10)
      rank_low++;
    if (p.points < p.q.n)
      dup++;
    if (p.kern.offset != 0)
      shifted++;
    if (std::any_of(p.q.kidx.begin(), p.q.kidx.end(), [](int k) { return k < 0; }))
      negative++;
    n1 += p.q.n == 1;
    large += p.q.n >= 250;
    for (int i = 0; i < p.q.n; i++) {
      fixed += p.q.lo[i] == p.q.hi[i] && p.q.lo[i] != 0;
      fixed_zero += p.q.lo[i] == 0 && p.q.hi[i] == 0;
      inner_start += p.q.lo[i] < p.q.x0[i] && p.q.x0[i] < p.q.hi[i];
    }
  }
  // Minimums per hundred problems, about half of what the generator makes.
  const long h = g_expected / 100;
  EXPECT_GE(eq, 30 * h);
  EXPECT_GE(noeq, 30 * h);
  EXPECT_GE(rbf, 25 * h);
  EXPECT_GE(lin, 25 * h);
  EXPECT_GE(rank_low, 5 * h);
  EXPECT_GE(dup, 12 * h);
  EXPECT_GE(shifted, 20 * h);
  EXPECT_GE(negative, 5 * h);
  EXPECT_GE(n1, 1);
  EXPECT_GE(large, 2);
  EXPECT_GE(fixed, 100 * h);
  EXPECT_GE(fixed_zero, 100 * h);
  EXPECT_GE(inner_start, 1000 * h);
}

TEST_P(Reference, WholeSolveMatchesOptimiser) {
  Tightness t;
  for (const RefProblem* pp : shard()) {
    const RefProblem& p = *pp;
    SCOPED_TRACE("problem " + std::to_string(p.id));
    ShiftedKernel kern = p.kern;
    Solved s;
    ASSERT_TRUE(solve_whole(p.q, kern, 268435456L, &s));
    ASSERT_TRUE(matches_reference(p, s.v));
    t.add(p, s.v);
  }
  t.print("whole solves");
}

// run(true,false), run(false,false) at once, after a change of lin and after
// a change of x (both written through home[]), then run(false,true).
TEST_P(Reference, SplitSolveMatchesWholeSolves) {
  Tightness t;
  for (const RefProblem* pp : shard()) {
    const RefProblem& p = *pp;
    const Qp& q = p.q;
    const int n = q.n;
    SCOPED_TRACE("problem " + std::to_string(p.id));
    ShiftedKernel kern = p.kern;
    Solved whole;
    ASSERT_TRUE(solve_whole(q, kern, 268435456L, &whole));

    std::unique_ptr<KALTRO> s = make_solver(q, kern);
    std::string text;
    int r1 = run_quiet(*s, true, false, &text);
    EXPECT_EQ(text, kSetUp);
    ASSERT_GE(r1, 0) << s->last_error;
    ASSERT_NE(s->ring, nullptr);
    // The same computation as the whole solve, only not put back in order.
    EXPECT_EQ(r1, whole.a.steps);
    EXPECT_EQ(s->w, whole.a.w);
    std::vector<int> seen(static_cast<size_t>(n), 0);
    for (int p2 = 0; p2 < n; p2++) {
      int h = s->home[p2];
      ASSERT_TRUE(h >= 0 && h < n && !seen[h]++) << "home is not a permutation at " << p2;
      EXPECT_EQ(s->x[p2], whole.a.x[h]);
      EXPECT_EQ(s->kidx[p2], q.kidx[h]);
      EXPECT_EQ(s->lin[p2], q.lin[h]);
      EXPECT_EQ(s->lo[p2], q.lo[h]);
      EXPECT_EQ(s->hi[p2], q.hi[h]);
    }

    // Straight away: the gradient is rebuilt in the internal order.
    int r2 = run_quiet(*s, false, false, &text);
    EXPECT_EQ(text, "");
    ASSERT_GE(r2, 0) << s->last_error;
    Verdict v2;
    ASSERT_TRUE(qpcheck::judge(q, qpcheck::answer_of(*s, r2), &v2));
    ASSERT_TRUE(matches_reference(p, v2));
    t.add(p, v2);

    // New linear term, continuing from the answer reached.
    Lcg rng(1000 + static_cast<unsigned long long>(p.id));
    Qp q2 = q;
    for (int i = 0; i < n; i++)
      q2.lin[i] = q.lin[i] + (rng.uniform() - 0.5) * (0.5 + std::fabs(q.lin[i]));
    for (int p2 = 0; p2 < n; p2++) {
      s->lin[p2] = q2.lin[s->home[p2]];
      q2.x0[s->home[p2]] = s->x[p2];
    }
    int r3 = run_quiet(*s, false, false, &text);
    ASSERT_GE(r3, 0) << s->last_error;
    Verdict v3;
    ASSERT_TRUE(qpcheck::judge(q2, qpcheck::answer_of(*s, r3), &v3));
    Solved whole2;
    ASSERT_TRUE(solve_whole(q2, kern, 268435456L, &whole2));
    EXPECT_TRUE(qpcheck::same_optimum(v3, whole2.v, q.eps_gap));

    // New start point (for the sum constraint, a new sum too).
    Qp q3 = q2;
    for (int i = 0; i < n; i++)
      q3.x0[i] = q.lo[i] + rng.uniform() * (q.hi[i] - q.lo[i]);
    for (int i = 0; i < n; i++)
      q3.x0[i] = std::min(std::max(q3.x0[i], q.lo[i]), q.hi[i]);
    for (int p2 = 0; p2 < n; p2++)
      s->x[p2] = q3.x0[s->home[p2]];
    int r4 = run_quiet(*s, false, false, &text);
    ASSERT_GE(r4, 0) << s->last_error;
    Answer a4 = qpcheck::answer_of(*s, r4);
    Verdict v4;
    ASSERT_TRUE(qpcheck::judge(q3, a4, &v4));
    Solved whole3;
    ASSERT_TRUE(solve_whole(q3, kern, 268435456L, &whole3));
    EXPECT_TRUE(qpcheck::same_optimum(v4, whole3.v, q.eps_gap));

    // Clean-up only: the caller's order with the answer of the last solve.
    int r5 = run_quiet(*s, false, true, &text);
    EXPECT_EQ(text, kCleanUp);
    EXPECT_EQ(r5, 0);
    EXPECT_EQ(s->ring, nullptr);
    expect_caller_order(*s, q2);
    for (int i = 0; i < n; i++)
      EXPECT_EQ(s->x[i], a4.x[i]) << "at " << i;
  }
  t.print("split solves, first re-solve");
}

// Row budgets of nothing, two rows and five rows: rows are dropped before
// nearly every fetch, and the answers must be as good.
TEST_P(Reference, StarvedCacheReachesTheSameOptimum) {
  Tightness t;
  long whole_calls = 0, starved_calls = 0;
  for (const RefProblem* pp : shard()) {
    const RefProblem& p = *pp;
    SCOPED_TRACE("problem " + std::to_string(p.id));
    ShiftedKernel kern = p.kern;
    Solved whole;
    ASSERT_TRUE(solve_whole(p.q, kern, 268435456L, &whole));
    for (long rows : {0L, 2L, 5L}) {
      SCOPED_TRACE("budget of " + std::to_string(rows) + " rows");
      Solved small;
      ASSERT_TRUE(solve_whole(p.q, kern, rows * 4 * p.q.n, &small));
      ASSERT_TRUE(matches_reference(p, small.v));
      EXPECT_TRUE(qpcheck::same_optimum(small.v, whole.v, p.q.eps_gap));
      // Evicted rows are evaluated again, never fewer times.
      EXPECT_GE(small.kernel_calls, whole.kernel_calls);
      if (rows == 0) {
        whole_calls += whole.kernel_calls;
        starved_calls += small.kernel_calls;
      }
      t.add(p, small.v);
    }
  }
  // The budgets really did starve the cache.
  EXPECT_GT(starved_calls, 2 * whole_calls);
  t.print("starved caches");
}

INSTANTIATE_TEST_SUITE_P(Shard, Reference, ::testing::Range(0, kShards));

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc >= 2)
    g_path = argv[1];
  if (argc >= 3)
    g_expected = std::atol(argv[2]);
  return RUN_ALL_TESTS();
}
