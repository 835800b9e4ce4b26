// The tasks as programs for the solver: C-SVC one class pair at a time,
// one-class and epsilon-SVR; each solve on rows of the one data set through
// kernel indices, never a copy of the data.  Model selection (select.cpp)
// sets its solves up through the same functions.
#include "train.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "kaltro.h"
#include "keep_blocks.h"
#include "kernel.h"
#include "kernel_ahead.h"
#include "pool.h"
#include "probability.h"
#include "text.h"

namespace ksvm {

// Bytes the solver holds for each variable besides its cached rows.
const int kPerVariable = 192;

long cache_budget(double mb) {
  double bytes = mb * 1048576.0;
  // LONG_MAX converts to a double at or above it, so anything from there up
  // (including infinity) clamps instead of wrapping.
  if (!(bytes < static_cast<double>(LONG_MAX)))
    return LONG_MAX;
  return bytes > 0 ? static_cast<long>(bytes) : 0;
}

int thread_count(int threads) { return threads > 0 ? threads : kaltro::detail::hardware_threads(); }

// Solves side by side keep the whole budget each when that many caches, as
// full as their problems can make them, still fit in it together: their
// kernel evaluations are then those of solves in turn.  Otherwise they
// share the budget, as long as a share still holds four times what the
// solver keeps per variable besides its rows.  The cache never changes a
// solve's steps or results, only how often rows are computed again, and
// with rows of a few thousand entries pieces hardly pay: sharing the budget
// took 0.52 of the time of solving in turn on ten classes of 2 000 rows and
// 0.69-0.74 on four of 10 000-12 500 (dense and text-like, both threads),
// for 0-18% more kernel evaluations.
double side_by_side(double cache_mb, int threads, size_t solves, double n) {
  if (threads <= 1 || solves < 2)
    return 0;
  const double side = static_cast<double>(std::min(static_cast<size_t>(threads), solves));
  const double budget = static_cast<double>(cache_budget(cache_mb));
  if (side * std::min(4.0 * n * n, budget) <= budget)
    return cache_mb;
  return budget / side >= 4.0 * kPerVariable * n ? cache_mb / side : 0;
}

namespace {

inline bool raised(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_relaxed);
}

// Out of line, so that the callback below stays a test and a load.
[[noreturn]] __attribute__((noinline, cold)) void stop_now() { throw Interrupted(); }

// Epsilon-SVR: positions i and n + i stand for the same row i, so a row the
// solver asks for holds each kernel value twice.  The first request of a row
// computes it once over all rows of the data, in their order, with no call
// per entry (in pieces on the pool's threads when it is long); every further
// request of it is a lookup.
struct WholeRows {
  KernelData* kd;
  const std::atomic<bool>* stop;
  int row = -1;
  const float* value = nullptr;
};

__attribute__((noinline)) double new_row(WholeRows& w, int a, int b) {
  if (a == b)  // the diagonals, asked for once when the solver sets up
    return static_cast<float>(kernel_value(w.kd->p, *w.kd->data, a, *w.kd->data, a));
  if (raised(w.stop))
    stop_now();
  w.value = whole_row(*w.kd, a);
  w.row = a;
  return w.value[b];
}

double whole_rows(int a, int b, void* p) {
  WholeRows& w = *static_cast<WholeRows*>(p);
  return a == w.row ? w.value[b] : new_row(w, a, b);
}

}  // namespace

struct Solve::Rows : WholeRows {};

Solve::Solve(const Dataset& data, const Params& prm, int n, bool paired, int trace_level)
    : s(n),
      unit_lo(static_cast<size_t>(n)),
      unit_hi(static_cast<size_t>(n)),
      prm_(prm),
      kd_(data, prm.kernel),
      position_(static_cast<size_t>(n)) {
  s.trace_level = trace_level;
  s.eps_gap = prm.eps;
  // The cache size asked for covers all the solver holds: its row block,
  // which adds to the budget an eighth as slack (holes are closed only now
  // and then), a cache line per row for rounding and two rows that may join
  // before a clean, and its own arrays and row objects, about 120 bytes a
  // variable.  So -m bounds what the cache takes in memory as a whole, not
  // only its entries.
  const long long extra = static_cast<long long>(kPerVariable) * n;
  s.maxcachesize = static_cast<long>(std::max(0LL, cache_budget(prm.cache_mb) / 9 * 8 - extra));
  // Ample for any problem that converges; one that does not (an unbounded
  // objective, or boxes far too wide) ends with a clear message instead.
  s.max_steps = prm.max_steps > 0 ? prm.max_steps : std::max(10000000LL, 100LL * s.n);
  if (s.trace_level <= 0)
    s.output = nullptr;  // quiet: not even the solver's set-up and clean-up lines
  kd_.stop = prm.stop;
  kd_.threads = s.threads = thread_count(prm.threads);
  for (int i = 0; i < n; i++)
    position_[static_cast<size_t>(i)] = i;
  if (paired) {
    order_.resize(static_cast<size_t>(data.n));
    for (int i = 0; i < data.n; i++)
      order_[static_cast<size_t>(i)] = i;
    kd_.follow(order_.data(), data.n);
    whole_.reset(new Rows{{&kd_, prm.stop}});
    s.kernel = whole_rows;
    s.kernel_arg = static_cast<WholeRows*>(whole_.get());
  } else {
    // Rows are asked for in position order: compute them ahead, long walks
    // in pieces on the pool's threads.  The stop flag is looked at once per
    // block computed ahead (a test in front of every entry would cost 8-10%
    // of the training time).
    kd_.follow(s.kidx, s.n, &s.l);
    s.kernel = kd_.callback();
    s.kernel_arg = &kd_;
  }
}

Solve::~Solve() = default;

void Solve::set_bound(double C) {
  // The last solution scaled by t: the sum (the equality, 0 for the tasks
  // that walk C) stays, and the box holds t x for any t in [0, C / last C].
  // After a solve that ended with every variable active the gradient g is
  // exact, so the objective along that ray, t lin.x - t^2/2 x.Kx with
  // Kx = lin - g, gives the best t directly: near 1 where C no longer
  // binds (the old solution is still nearly optimal), the whole ratio where
  // most coefficients sit at C.  Without an exact gradient, the whole ratio.
  const double factor = bound_ > 0 ? C / bound_ : 1;
  s.reuse_gref = kept_ && s.l == s.n;
  double t = factor;
  if (s.reuse_gref) {
    double a = 0, b = 0;
    for (int i = 0; i < s.n; i++) {
      a += s.lin[i] * s.x[i];
      b += s.x[i] * (s.lin[i] - s.g[i]);
    }
    if (b > 0)
      t = std::fmin(std::fmax(a / b, 0.0), factor);
  }
  for (int i = 0; i < s.n; i++) {
    const size_t v = static_cast<size_t>(s.home[i]);
    const double lo = C * unit_lo[v], hi = C * unit_hi[v];
    if (bound_ > 0) {
      double x = s.x[i];
      if (t == factor && x == s.lo[i])
        x = lo;  // a variable at a bound stays exactly at it
      else if (t == factor && x == s.hi[i])
        x = hi;
      else
        x = std::fmin(std::fmax(x * t, lo), hi);
      s.x[i] = x;
      // lin - K (t x) = (1 - t) lin + t g: the next solve starts from that
      // instead of fetching a row for every non-zero x.  Values moved onto
      // a bound differ from t x by rounding only, so they count as the
      // reference point.
      if (s.reuse_gref) {
        s.gref[i] = (1 - t) * s.lin[i] + t * s.g[i];
        s.xref[i] = x;
      }
    }
    s.lo[i] = lo;
    s.hi[i] = hi;
  }
  bound_ = C;
}

// rho is minus the mean gradient of the free variables (those strictly
// inside their box), where the decision value at the training row equals
// the target; without free variables, the middle of the gradient gap; 0
// without the equality.
void Solve::run(bool keep, SolveReport& r) {
  if (raised(prm_.stop))
    throw Interrupted();
  const long long evals = kd_.evaluations();
  auto t0 = std::chrono::steady_clock::now();
  if (!columns_tried_) {
    // Sparse rows held by feature as well come out of the cache's budget,
    // so that -m still bounds what kernel rows take.  The cache keeps room
    // for a few whole rows: summed from the columns, a row is cheap to
    // compute again (text-like n = 100 000: 150 s with a cache of 9 MB
    // left, 160 s with 1 GB).
    columns_tried_ = true;
    const long room = s.maxcachesize - 16L * 4 * s.n;
    if (room > 0)
      s.maxcachesize -= static_cast<long>(kd_.build_columns(static_cast<size_t>(room)));
  }
  int steps;
  if (kept_) {
    steps = s.run(false, false);
  } else {
    kept_ = keep;
    steps = s.run(true, !keep);
  }
  auto t1 = std::chrono::steady_clock::now();
  if (kept_)
    for (int i = 0; i < s.n; i++)
      position_[static_cast<size_t>(s.home[i])] = i;
  if (steps == kaltro::step_limit_result && prm_.keep_at_step_limit) {
    steps = s.it;
    r.converged = false;
  } else if (steps < 0) {
    std::string why = s.last_error ? s.last_error : "error";
    if (steps == kaltro::step_limit_result)
      why += " (" + std::to_string(s.max_steps) +
             " steps) before the stopping tolerance was met; a smaller C may help";
    throw Failure("the solver stopped: " + why);
  }
  r.n = s.n;
  r.objective = s.w;
  r.steps = steps;
  r.kernel_evals = kd_.evaluations() - evals;
  r.seconds = std::chrono::duration<double>(t1 - t0).count();

  int free_count = 0;
  double free_sum = 0;
  for (int i = 0; i < s.n; i++)
    if (s.x[i] > s.lo[i] + s.eps_bound && s.x[i] < s.hi[i] - s.eps_bound) {
      free_count++;
      free_sum += s.g[i];
    }
  r.rho = s.equality ? -(free_count ? free_sum / free_count : 0.5 * (s.g_low + s.g_high)) : 0;
}

void Solve::finish() {
  if (!kept_)
    return;
  kept_ = false;
  s.run(false, true);
  for (int i = 0; i < s.n; i++)
    position_[static_cast<size_t>(i)] = i;
}

bool Solve::at_bound(int v) const {
  const int i = position_[static_cast<size_t>(v)];
  return s.x[i] <= s.lo[i] + s.eps_bound || s.x[i] >= s.hi[i] - s.eps_bound;
}

void setup_pair(Solve& t, const std::vector<int>& ri, const std::vector<int>& rj, double wi,
                double wj, bool bias) {
  KALTRO& s = t.s;
  const int ni = static_cast<int>(ri.size());
  for (int p = 0; p < s.n; p++) {
    const double y = p < ni ? 1 : -1;
    const double w = p < ni ? wi : wj;
    s.kidx[p] = p < ni ? ri[static_cast<size_t>(p)] : rj[static_cast<size_t>(p - ni)];
    s.lin[p] = y;
    const double c = w * t.row_factor(s.kidx[p]);
    t.unit_lo[static_cast<size_t>(p)] = std::fmin(0.0, c * y);
    t.unit_hi[static_cast<size_t>(p)] = std::fmax(0.0, c * y);
    s.x[p] = 0;
  }
  s.equality = bias;
}

void setup_one_class(Solve& t, int n, double nu) {
  KALTRO& s = t.s;
  // The sum of the coefficients is nu times the sum of the boxes (n without
  // row weights), fixed by the start point: boxes filled in row order.
  double total = 0;
  for (int i = 0; i < n; i++)
    total += t.row_factor(i);
  double left = nu * total;
  for (int i = 0; i < n; i++) {
    s.lin[i] = 0;
    t.unit_lo[static_cast<size_t>(i)] = 0;
    t.unit_hi[static_cast<size_t>(i)] = t.row_factor(i);
    s.x[i] = std::fmin(t.unit_hi[static_cast<size_t>(i)], left);
    left -= s.x[i];
  }
  s.equality = true;
}

void setup_svr(Solve& t, const Dataset& data, double p) {
  KALTRO& s = t.s;
  const int n = data.n;
  for (int i = 0; i < n; i++) {
    const double y = data.head[static_cast<size_t>(i)];
    const size_t a = static_cast<size_t>(i), b = static_cast<size_t>(n + i);
    s.kidx[i] = s.kidx[n + i] = i;
    s.lin[i] = y - p;
    s.lin[n + i] = y + p;
    t.unit_lo[a] = 0;
    t.unit_hi[a] = t.row_factor(i);
    t.unit_lo[b] = -t.row_factor(i);
    t.unit_hi[b] = 0;
    s.x[i] = s.x[n + i] = 0;
  }
  s.equality = true;
}

namespace {

// The support vectors of a model: the given training rows (for a
// precomputed kernel only their serials, which is all the format keeps).
Dataset support_rows(const Dataset& data, const std::vector<int>& rows, int kernel) {
  if (kernel != kPrecomputed)
    return select_rows(data, rows);
  std::vector<double> serial, head;
  for (int r : rows) {
    serial.push_back(data.at(r, 0));
    head.push_back(data.head[static_cast<size_t>(r)]);
  }
  return dataset_from_dense(static_cast<int>(rows.size()), 1, serial.data(), head.data());
}

// ---------------------------------------------------------------- C-SVC ---

// What every class pair's solve reads.
struct PairWork {
  const Dataset& data;
  const Params& prm;
  const Classes& cls;
};

// One class pair's solve and what the model takes from it.
struct PairSolve {
  int i = 0, j = 0;  // the classes coded +1 and -1
  SolveReport r;
  std::vector<double> coef;    // by position: the rows of class i, then those of class j
  std::vector<char> bounded;   // coefficients at a bound of their box
  Sigmoid sigmoid;             // with probabilities
  std::string text;            // the solver's output, kept while pairs run side by side
  std::exception_ptr failure;  // why the solve failed, when pairs run side by side
  bool done = false;
};

void keep_text(const char* text, bool, void* arg) { static_cast<std::string*>(arg)->append(text); }

// Solves pair ps, the q-th; fills `fitted` (two classes) with the model's
// labels at the training rows; with `text`, the solver writes there.
void solve_pair(const PairWork& w, PairSolve& ps, size_t q, std::vector<double>* fitted,
                std::string* text) {
  const Params& prm = w.prm;
  const std::vector<double>& label = w.cls.label;
  const int i = ps.i, j = ps.j, k = static_cast<int>(label.size());
  const std::vector<int>& ri = w.cls.rows[static_cast<size_t>(i)];
  const std::vector<int>& rj = w.cls.rows[static_cast<size_t>(j)];
  const int n = static_cast<int>(ri.size() + rj.size());
  // With more than two classes the per-pair lines stand for the solver's marks.
  Solve t(w.data, prm, n, false, k > 2 ? prm.trace_level - 1 : prm.trace_level);
  if (text && t.s.output) {
    t.s.output = keep_text;
    t.s.output_arg = text;
  }
  const double wi = w.cls.weight[static_cast<size_t>(i)], wj = w.cls.weight[static_cast<size_t>(j)];
  setup_pair(t, ri, rj, wi, wj, prm.bias);
  t.set_bound(prm.C);
  SolveReport& r = ps.r;
  r.first = i;
  r.second = j;
  try {
    t.run(false, r);
    if (prm.probability)
      ps.sigmoid = pair_sigmoid(w.data, prm, ri, rj, wi, wj, prm.seed + q);
  } catch (const Interrupted&) {
    throw;
  } catch (const Failure& e) {
    if (k == 2)
      throw;
    throw Failure("classes " + format_number(label[static_cast<size_t>(i)]) + " and " +
                  format_number(label[static_cast<size_t>(j)]) + ": " + e.what());
  }
  const KALTRO& s = t.s;
  ps.coef.assign(s.x, s.x + n);
  ps.bounded.assign(static_cast<size_t>(n), 0);
  for (int p = 0; p < n; p++) {
    if (s.x[p] == 0)
      continue;
    r.support_vectors++;
    if (t.at_bound(p)) {
      r.bounded++;
      ps.bounded[static_cast<size_t>(p)] = 1;
    }
  }
  if (fitted)  // f at each training row: lin - g is K x, exact up to the float cache
    for (int p = 0; p < n; p++)
      (*fitted)[static_cast<size_t>(s.kidx[p])] =
          s.lin[p] - s.g[p] - r.rho > 0 ? label[0] : label[1];
}

// The cache of each class pair's solve when pairs run side by side, or 0.
double pair_cache(const PairWork& c, int threads) {
  const size_t k = c.cls.rows.size();
  std::vector<size_t> size;
  for (const std::vector<int>& r : c.cls.rows)
    size.push_back(r.size());
  std::sort(size.begin(), size.end());
  const double n = static_cast<double>(size[k - 1] + size[k - 2]);  // the largest pair
  return side_by_side(c.prm.cache_mb, threads, k * (k - 1) / 2, n);
}

// The class pairs as pieces of one job: each thread of the pool takes the
// next pair; the caller takes pairs too and reports them in pair order as
// they are done (progress, the solver's text), so the output is that of the
// pairs one after the other.  After a failure no further pair is started;
// the failure reported is that of the first failed pair, the one a solve in
// turn would have met first.
struct PairJob : kaltro::detail::Job {
  const PairWork& c;
  const int threads;
  std::vector<PairSolve>& solved;
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<bool> failed{false};

  PairJob(const PairWork& w, int t, std::vector<PairSolve>& s) : c(w), threads(t), solved(s) {}
  ~PairJob() override { close(); }

  void piece(int q) noexcept override {
    PairSolve& ps = solved[static_cast<size_t>(q)];
    if (!failed.load()) {
      try {
        if (raised(c.prm.stop))
          throw Interrupted();
        solve_pair(c, ps, static_cast<size_t>(q), nullptr,
                   c.prm.trace_level > 1 ? &ps.text : nullptr);
      } catch (...) {
        ps.failure = std::current_exception();
        failed.store(true);
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    ps.done = true;
    finished.notify_all();
  }
};

void solve_pairs(const PairWork& c, int threads, std::vector<PairSolve>& solved, TrainReport& rep) {
  const int pairs = static_cast<int>(solved.size());
  PairJob job(c, threads, solved);
  job.open(pairs, std::min(threads, pairs) - 1);
  int shown = 0;
  bool stopped = false;
  // Reports the pairs done in a row from `shown` on.
  auto report = [&] {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(job.mutex);
        if (stopped || shown == pairs || !solved[static_cast<size_t>(shown)].done)
          return;
      }
      PairSolve& ps = solved[static_cast<size_t>(shown)];
      if (!ps.text.empty())
        kaltro::write_stdout(ps.text.c_str(), true, nullptr);
      if (ps.failure) {
        stopped = true;
        return;
      }
      rep.solves.push_back(ps.r);
      shown++;
      if (c.prm.progress)
        c.prm.progress(ps.r, shown, pairs);
    }
  };
  while (job.take())
    report();
  for (;;) {
    report();
    std::unique_lock<std::mutex> lock(job.mutex);
    if (stopped || shown == pairs)
      break;
    job.finished.wait(lock, [&] { return solved[static_cast<size_t>(shown)].done; });
  }
  job.close();
  for (const PairSolve& ps : solved)
    if (ps.failure)
      std::rethrow_exception(ps.failure);
}

Model train_csvc(const Dataset& data, const Params& prm, TrainReport& rep) {
  const Classes cls = csvc_classes(data, prm);
  const std::vector<double>& label = cls.label;
  const int k = static_cast<int>(label.size());
  if (k < 2)
    throw Failure("every example has label " + format_number(label.at(0)) +
                  "; training needs examples of two labels");
  const std::vector<std::vector<int>>& rows = cls.rows;

  const int pairs = k * (k - 1) / 2;
  std::vector<PairSolve> solved(static_cast<size_t>(pairs));
  {
    size_t q = 0;
    for (int i = 0; i < k; i++)
      for (int j = i + 1; j < k; j++, q++) {
        solved[q].i = i;
        solved[q].j = j;
      }
  }
  const PairWork work{data, prm, cls};
  const int threads = thread_count(prm.threads);
  if (k == 2)
    rep.fitted.assign(static_cast<size_t>(data.n), 0.0);
  {
    // The pairs' caches take turns at the same blocks, freed before the
    // model is put together.
    kaltro::detail::KeepBlocks keep;
    const double share = pair_cache(work, threads);
    if (share > 0) {
      Params shared = prm;
      shared.cache_mb = share;
      const PairWork split{data, shared, cls};
      solve_pairs(split, threads, solved, rep);
    } else {
      for (size_t q = 0; q < solved.size(); q++) {
        solve_pair(work, solved[q], q, k == 2 ? &rep.fitted : nullptr, nullptr);
        rep.solves.push_back(solved[q].r);
        if (prm.progress)
          prm.progress(solved[q].r, static_cast<int>(q) + 1, pairs);
      }
    }
  }
  std::vector<char> support(static_cast<size_t>(data.n), 0);
  Model m;
  for (const PairSolve& ps : solved) {
    const std::vector<int>& ri = rows[static_cast<size_t>(ps.i)];
    const std::vector<int>& rj = rows[static_cast<size_t>(ps.j)];
    for (size_t p = 0; p < ps.coef.size(); p++)
      if (ps.coef[p] != 0)
        support[static_cast<size_t>(p < ri.size() ? ri[p] : rj[p - ri.size()])] = 1;
    if (prm.probability) {
      m.probA.push_back(ps.sigmoid.A);
      m.probB.push_back(ps.sigmoid.B);
    }
  }

  m.task = kCSVC;
  m.kernel = prm.kernel;
  m.nr_class = k;
  m.label = label;
  std::vector<int> sv_of(static_cast<size_t>(data.n), -1);
  for (int c = 0; c < k; c++) {
    int count = 0;
    for (int row : rows[static_cast<size_t>(c)])
      if (support[static_cast<size_t>(row)]) {
        sv_of[static_cast<size_t>(row)] = static_cast<int>(m.sv_index.size());
        m.sv_index.push_back(row);
        count++;
      }
    m.nr_sv.push_back(count);
  }
  // Row c' of the coefficients of a class-c vector holds its coefficient in
  // the pair with class o, c' = o - 1 when o > c, else o.  A vector counts
  // as bounded when it sits at a bound in every pair in which it is non-zero.
  const size_t nsv = m.sv_index.size();
  m.coef.assign(static_cast<size_t>(k - 1), std::vector<double>(nsv, 0.0));
  std::vector<char> free_somewhere(nsv, 0);
  size_t pair = 0;
  for (int i = 0; i < k; i++)
    for (int j = i + 1; j < k; j++, pair++) {
      const std::vector<int>& ri = rows[static_cast<size_t>(i)];
      const std::vector<int>& rj = rows[static_cast<size_t>(j)];
      const size_t ni = ri.size();
      for (size_t p = 0; p < solved[pair].coef.size(); p++) {
        const double x = solved[pair].coef[p];
        if (x == 0)
          continue;
        const int row = p < ni ? ri[p] : rj[p - ni];
        const size_t s = static_cast<size_t>(sv_of[static_cast<size_t>(row)]);
        m.coef[static_cast<size_t>(p < ni ? j - 1 : i)][s] = x;
        if (!solved[pair].bounded[p])
          free_somewhere[s] = 1;
      }
      m.rho.push_back(rep.solves[pair].rho);
    }
  for (char f : free_somewhere)
    rep.bounded += !f;
  m.sv = support_rows(data, m.sv_index, prm.kernel.type);
  return m;
}

// ------------------------------------------------- one-class and SVR ---

// The model of a task solved in one solve: coef(i, bounded) gives row i's
// coefficient (and whether it sits at a bound), fitted(i) the value the
// report gives for row i.
template <class Coef, class Fitted>
Model one_solve_model(int task, const Dataset& data, const Params& prm, SolveReport& r,
                      TrainReport& rep, Coef coef, Fitted fitted) {
  Model m;
  m.task = task;
  m.kernel = prm.kernel;
  m.rho = {r.rho};
  m.coef.resize(1);
  rep.fitted.resize(static_cast<size_t>(data.n));
  for (int i = 0; i < data.n; i++) {
    rep.fitted[static_cast<size_t>(i)] = fitted(i);
    bool bounded = false;
    const double c = coef(i, bounded);
    if (c == 0)
      continue;
    r.support_vectors++;
    r.bounded += bounded;
    m.sv_index.push_back(i);
    m.coef[0].push_back(c);
  }
  rep.bounded = r.bounded;
  m.sv = support_rows(data, m.sv_index, prm.kernel.type);
  rep.solves.push_back(r);
  if (prm.progress)
    prm.progress(r, 1, 1);
  return m;
}

Model train_one_class(const Dataset& data, const Params& prm, TrainReport& rep) {
  const int n = data.n;
  Solve t(data, prm, n, false, prm.trace_level);
  setup_one_class(t, n, prm.nu);
  t.set_bound(1);
  SolveReport r;
  t.run(false, r);
  const KALTRO& s = t.s;
  return one_solve_model(
      kOneClass, data, prm, r, rep,
      [&](int i, bool& bounded) {
        bounded = s.x[i] != 0 && t.at_bound(i);
        return s.x[i];
      },
      [&](int i) { return -s.g[i] - r.rho > 0 ? 1.0 : -1.0; });
}

Model train_svr(const Dataset& data, const Params& prm, TrainReport& rep) {
  // The coefficient of example i is x[i] + x[n + i].
  const int n = data.n;
  Solve t(data, prm, 2 * n, true, prm.trace_level);
  setup_svr(t, data, prm.p);
  t.set_bound(prm.C);
  SolveReport r;
  t.run(false, r);
  const KALTRO& s = t.s;
  Model m = one_solve_model(
      kEpsilonSVR, data, prm, r, rep,
      [&](int i, bool& bounded) {
        bounded = (s.x[i] != 0 && t.at_bound(i)) || (s.x[n + i] != 0 && t.at_bound(n + i));
        return s.x[i] + s.x[n + i];
      },
      [&](int i) { return s.lin[i] - s.g[i] - r.rho; });
  if (prm.probability)
    m.probA = {laplace_scale(data, prm)};
  return m;
}

// Training on the rows of positive weight only; the support vectors keep
// their places among all rows.
Model train_weighted(const Dataset& data, const Params& params, TrainReport& rep) {
  std::vector<int> kept;
  Params p = params;
  p.row_weight.clear();
  for (int i = 0; i < data.n; i++)
    if (params.row_weight[static_cast<size_t>(i)] > 0) {
      kept.push_back(i);
      p.row_weight.push_back(params.row_weight[static_cast<size_t>(i)]);
    }
  if (kept.empty())
    throw Failure("every row has weight 0; training needs at least one example");
  Model m = train(select_rows(data, kept), p, &rep);
  for (int& row : m.sv_index)
    row = kept[static_cast<size_t>(row)];
  rep.fitted.clear();
  return m;
}

}  // namespace

void check_training(const Dataset& data, const Params& prm) {
  auto bad = [](const std::string& what) { throw Failure(what); };
  if (prm.task == 1 || prm.task == 4)
    bad("nu-SVC and nu-SVR need two equality constraints, which the solver does not have; "
        "the tasks are 0 (C-SVC), 2 (one-class) and 3 (epsilon-SVR)");
  if (prm.task != kCSVC && prm.task != kOneClass && prm.task != kEpsilonSVR)
    bad("task " + std::to_string(prm.task) +
        " is not one of 0 (C-SVC), 2 (one-class) and 3 (epsilon-SVR)");
  const KernelParams& k = prm.kernel;
  if (k.type < kLinear || k.type > kPrecomputed)
    bad("kernel type " + std::to_string(k.type) + " is not one of 0 to 4");
  if (k.degree < 0 || !(k.gamma >= 0) || !std::isfinite(k.gamma) || !std::isfinite(k.coef0))
    bad("the kernel needs a degree and a gamma of at least 0 and a finite coef0");
  if (!(prm.C > 0) || !std::isfinite(prm.C))
    bad("C must be positive");
  if (!(prm.eps > 0) || !(prm.cache_mb > 0))
    bad("the tolerance and the cache size must be positive");
  if (prm.task == kOneClass && !(prm.nu > 0 && prm.nu <= 1))
    bad("nu must lie in (0, 1]");
  if (prm.task == kEpsilonSVR && !(prm.p >= 0 && std::isfinite(prm.p)))
    bad("the tube width p must not be negative");
  if (!prm.bias && prm.task != kCSVC)
    bad("only C-SVC can train without a bias term");
  if (prm.probability && prm.task == kOneClass)
    bad("probability estimates are not offered for one-class");
  for (const ClassWeight& w : prm.weights)
    if (!(w.weight >= 0) || !std::isfinite(w.weight))
      bad("the weight of class " + format_number(w.label) + " must not be negative");
  if (!prm.row_weight.empty()) {
    if (prm.row_weight.size() != static_cast<size_t>(data.n))
      bad(std::to_string(prm.row_weight.size()) + " row weights for " + std::to_string(data.n) +
          " rows");
    for (size_t i = 0; i < prm.row_weight.size(); i++)
      if (!(prm.row_weight[i] >= 0) || !std::isfinite(prm.row_weight[i]))
        bad("the weight of row " + std::to_string(i + 1) + " must be finite and not negative");
  }
  if (data.n < 1)
    bad("training needs at least one example");
  if (k.type == kPrecomputed)
    check_precomputed(data, 0, "the training data");
  if (static_cast<long long>(data.n) * (prm.task == kEpsilonSVR ? 2 : 1) > INT_MAX)
    bad("too many examples for one solve");
}

Classes csvc_classes(const Dataset& data, const Params& prm) {
  // Classes in order of first appearance; two classes met as -1, +1 are
  // turned round, so that +1 is the class coded +1, as the common tools do.
  Classes c;
  c.label = data.labels;
  if (prm.sorted_labels)
    std::sort(c.label.begin(), c.label.end());
  else if (c.label.size() == 2 && c.label[0] == -1 && c.label[1] == 1)
    std::swap(c.label[0], c.label[1]);
  const size_t k = c.label.size();
  std::map<double, size_t> class_of;
  for (size_t i = 0; i < k; i++)
    class_of[c.label[i]] = i;
  c.rows.resize(k);
  for (int i = 0; i < data.n; i++)
    c.rows[class_of[data.head[static_cast<size_t>(i)]]].push_back(i);
  c.weight.assign(k, 1.0);
  for (const ClassWeight& w : prm.weights) {
    auto it = class_of.find(w.label);
    if (it != class_of.end())
      c.weight[it->second] *= w.weight;
  }
  return c;
}

Model train(const Dataset& data, const Params& params, TrainReport* report) {
  check_training(data, params);
  TrainReport local;
  TrainReport& rep = report ? *report : local;
  rep = TrainReport();
  if (std::find(params.row_weight.begin(), params.row_weight.end(), 0.0) != params.row_weight.end())
    return train_weighted(data, params, rep);
  switch (params.task) {
    case kOneClass:
      return train_one_class(data, params, rep);
    case kEpsilonSVR:
      return train_svr(data, params, rep);
    default:
      return train_csvc(data, params, rep);
  }
}

}  // namespace ksvm
