// The tasks as programs for the solver: C-SVC one class pair at a time,
// one-class and epsilon-SVR; each solve on rows of the one data set through
// kernel indices, never a copy of the data.
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
#include "kernel.h"
#include "kernel_ahead.h"
#include "pool.h"
#include "text.h"

namespace ksvm {

long cache_budget(double mb) {
  double bytes = mb * 1048576.0;
  // LONG_MAX converts to a double at or above it, so anything from there up
  // (including infinity) clamps instead of wrapping.
  if (!(bytes < static_cast<double>(LONG_MAX)))
    return LONG_MAX;
  return bytes > 0 ? static_cast<long>(bytes) : 0;
}

int thread_count(int threads) { return threads > 0 ? threads : kaltro::detail::hardware_threads(); }

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
  const double* value = nullptr;
};

__attribute__((noinline)) double new_row(WholeRows& w, int a, int b) {
  if (a == b)  // the diagonals, asked for once when the solver sets up
    return kernel_value(w.kd->p, *w.kd->data, a, *w.kd->data, a);
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

// Runs the program set up in s (lin, lo, hi, x, kidx: rows of data) and
// fills the solver's figures and rho of the report.  rho is minus the mean
// gradient of the free variables (those strictly inside their box), where
// the decision value at the training row equals the target; without free
// variables, the middle of the gradient gap; 0 without the equality.
void solve(KALTRO& s, const Dataset& data, const Params& prm, bool paired, int threads,
           SolveReport& r) {
  s.eps_gap = prm.eps;
  s.maxcachesize = cache_budget(prm.cache_mb);
  // Ample for any problem that converges; one that does not (an unbounded
  // objective, or boxes far too wide) ends with a clear message instead.
  s.max_steps = prm.max_steps > 0 ? prm.max_steps : std::max(10000000LL, 100LL * s.n);
  if (s.trace_level <= 0)
    s.output = nullptr;  // quiet: not even the solver's set-up and clean-up lines
  KernelData kd(data, prm.kernel);
  kd.stop = prm.stop;
  kd.threads = threads;
  s.threads = threads;
  std::vector<int> order;
  WholeRows whole{&kd, prm.stop};
  if (paired) {
    order.resize(static_cast<size_t>(data.n));
    for (int i = 0; i < data.n; i++)
      order[static_cast<size_t>(i)] = i;
    kd.follow(order.data(), data.n);
    s.kernel = whole_rows;
    s.kernel_arg = &whole;
  } else {
    // Rows are asked for in position order: compute them ahead, long walks
    // in pieces on the pool's threads.  The stop flag is looked at once per
    // block computed ahead (a test in front of every entry would cost 8-10%
    // of the training time).
    kd.follow(s.kidx, s.n, &s.l);
    s.kernel = kd.callback();
    s.kernel_arg = &kd;
  }
  if (raised(prm.stop))
    throw Interrupted();

  auto t0 = std::chrono::steady_clock::now();
  int steps = s.run(true, true);
  auto t1 = std::chrono::steady_clock::now();
  if (steps < 0) {
    std::string why = s.last_error ? s.last_error : "error";
    if (steps == kaltro::step_limit_result)
      why += " (" + std::to_string(s.max_steps) +
             " steps) before the stopping tolerance was met; a smaller C may help";
    throw Failure("the solver stopped: " + why);
  }
  r.n = s.n;
  r.objective = s.w;
  r.steps = steps;
  r.kernel_evals = kd.evals;
  r.seconds = std::chrono::duration<double>(t1 - t0).count();

  int free_count = 0;
  double free_sum = 0;
  for (int i = 0; i < s.n; i++)
    if (s.x[i] > s.lo[i] + s.eps_bound && s.x[i] < s.hi[i] - s.eps_bound) {
      free_count++;
      free_sum += s.g[i];
    }
  if (s.equality)
    r.rho = -(free_count ? free_sum / free_count : 0.5 * (s.g_low + s.g_high));
}

inline bool at_bound(const KALTRO& s, int i) {
  return s.x[i] <= s.lo[i] + s.eps_bound || s.x[i] >= s.hi[i] - s.eps_bound;
}

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

void check(const Dataset& data, const Params& prm) {
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
  for (const ClassWeight& w : prm.weights)
    if (!(w.weight >= 0) || !std::isfinite(w.weight))
      bad("the weight of class " + format_number(w.label) + " must not be negative");
  if (data.n < 1)
    bad("training needs at least one example");
  if (k.type == kPrecomputed)
    check_precomputed(data, 0, "the training data");
  if (static_cast<long long>(data.n) * (prm.task == kEpsilonSVR ? 2 : 1) > INT_MAX)
    bad("too many examples for one solve");
}

// ---------------------------------------------------------------- C-SVC ---

// What every class pair's solve reads: the data, the parameters, the rows
// of each class, C of each class, the labels in model order.
struct Classes {
  const Dataset& data;
  const Params& prm;
  const std::vector<std::vector<int>>& rows;
  const std::vector<double>& C;
  const std::vector<double>& label;
};

// One class pair's solve and what the model takes from it.
struct PairSolve {
  int i = 0, j = 0;  // the classes coded +1 and -1
  SolveReport r;
  std::vector<double> coef;    // by position: the rows of class i, then those of class j
  std::vector<char> bounded;   // coefficients at a bound of their box
  std::string text;            // the solver's output, kept while pairs run side by side
  std::exception_ptr failure;  // why the solve failed, when pairs run side by side
  bool done = false;
};

void keep_text(const char* text, bool, void* arg) { static_cast<std::string*>(arg)->append(text); }

// Solves pair ps on `threads` threads; fills `fitted` (two classes) with the
// model's labels at the training rows; with `text`, the solver writes there.
void solve_pair(const Classes& c, int threads, PairSolve& ps, std::vector<double>* fitted,
                std::string* text) {
  const int i = ps.i, j = ps.j, k = static_cast<int>(c.label.size());
  const std::vector<int>& ri = c.rows[static_cast<size_t>(i)];
  const std::vector<int>& rj = c.rows[static_cast<size_t>(j)];
  const int ni = static_cast<int>(ri.size());
  const int n = ni + static_cast<int>(rj.size());
  KALTRO s(n);
  for (int p = 0; p < n; p++) {
    const double y = p < ni ? 1 : -1;
    const double cp = c.C[static_cast<size_t>(p < ni ? i : j)];
    s.kidx[p] = p < ni ? ri[static_cast<size_t>(p)] : rj[static_cast<size_t>(p - ni)];
    s.lin[p] = y;
    s.lo[p] = std::fmin(0.0, cp * y);
    s.hi[p] = std::fmax(0.0, cp * y);
    s.x[p] = 0;
  }
  s.equality = c.prm.bias;
  // With more than two classes the per-pair lines stand for the solver's marks.
  s.trace_level = k > 2 ? c.prm.trace_level - 1 : c.prm.trace_level;
  if (text) {
    s.output = keep_text;
    s.output_arg = text;
  }
  SolveReport& r = ps.r;
  r.first = i;
  r.second = j;
  try {
    solve(s, c.data, c.prm, false, threads, r);
  } catch (const Interrupted&) {
    throw;
  } catch (const Failure& e) {
    if (k == 2)
      throw;
    throw Failure("classes " + format_number(c.label[static_cast<size_t>(i)]) + " and " +
                  format_number(c.label[static_cast<size_t>(j)]) + ": " + e.what());
  }
  ps.coef.assign(s.x, s.x + n);
  ps.bounded.assign(static_cast<size_t>(n), 0);
  for (int p = 0; p < n; p++) {
    if (s.x[p] == 0)
      continue;
    r.support_vectors++;
    if (at_bound(s, p)) {
      r.bounded++;
      ps.bounded[static_cast<size_t>(p)] = 1;
    }
  }
  if (fitted)  // f at each training row: lin - g is K x, exact up to the float cache
    for (int p = 0; p < n; p++)
      (*fitted)[static_cast<size_t>(s.kidx[p])] =
          s.lin[p] - s.g[p] - r.rho > 0 ? c.label[0] : c.label[1];
}

// Whether the class pairs are solved side by side.  Each solve keeps the
// whole cache budget, so that its steps and results are those of a solve
// alone; pairs run side by side only when that many caches, each as full as
// its pair can make it, still fit in one budget together.  Larger pairs are
// solved one after the other, each with its rows computed in pieces.
bool side_by_side(const Classes& c, int threads) {
  const size_t k = c.rows.size();
  const size_t pairs = k * (k - 1) / 2;
  if (threads <= 1 || pairs < 2)
    return false;
  std::vector<size_t> size;
  for (const std::vector<int>& r : c.rows)
    size.push_back(r.size());
  std::sort(size.begin(), size.end());
  const double n = static_cast<double>(size[k - 1] + size[k - 2]);  // the largest pair
  const double full = 4.0 * n * n;                                  // every row at full length
  const double budget = static_cast<double>(cache_budget(c.prm.cache_mb));
  const double side = static_cast<double>(std::min(static_cast<size_t>(threads), pairs));
  return side * std::min(full, budget) <= budget;
}

// The class pairs as pieces of one job: each thread of the pool takes the
// next pair; the caller takes pairs too and reports them in pair order as
// they are done (progress, the solver's text), so the output is that of the
// pairs one after the other.  After a failure no further pair is started;
// the failure reported is that of the first failed pair, the one a solve in
// turn would have met first.
struct PairJob : kaltro::detail::Job {
  const Classes& c;
  const int threads;
  std::vector<PairSolve>& solved;
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<bool> failed{false};

  PairJob(const Classes& cls, int t, std::vector<PairSolve>& s) : c(cls), threads(t), solved(s) {}
  ~PairJob() override { close(); }

  void piece(int q) noexcept override {
    PairSolve& ps = solved[static_cast<size_t>(q)];
    if (!failed.load()) {
      try {
        if (raised(c.prm.stop))
          throw Interrupted();
        solve_pair(c, threads, ps, nullptr, c.prm.trace_level > 1 ? &ps.text : nullptr);
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

void solve_pairs(const Classes& c, int threads, std::vector<PairSolve>& solved, TrainReport& rep) {
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
  // Classes in order of first appearance; two classes met as -1, +1 are
  // turned round, so that +1 is the class coded +1, as the common tools do.
  std::vector<double> label = data.labels;
  if (label.size() == 2 && label[0] == -1 && label[1] == 1)
    std::swap(label[0], label[1]);
  const int k = static_cast<int>(label.size());
  if (k < 2)
    throw Failure("every example has label " + format_number(label.at(0)) +
                  "; training needs examples of two labels");
  std::map<double, int> class_of;
  for (int c = 0; c < k; c++)
    class_of[label[static_cast<size_t>(c)]] = c;
  std::vector<std::vector<int>> rows(static_cast<size_t>(k));
  for (int i = 0; i < data.n; i++)
    rows[static_cast<size_t>(class_of[data.head[static_cast<size_t>(i)]])].push_back(i);
  std::vector<double> C(static_cast<size_t>(k), prm.C);
  for (const ClassWeight& w : prm.weights) {
    auto it = class_of.find(w.label);
    if (it != class_of.end())
      C[static_cast<size_t>(it->second)] *= w.weight;
  }

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
  const Classes cls{data, prm, rows, C, label};
  const int threads = thread_count(prm.threads);
  if (k == 2)
    rep.fitted.assign(static_cast<size_t>(data.n), 0.0);
  if (side_by_side(cls, threads)) {
    solve_pairs(cls, threads, solved, rep);
  } else {
    for (size_t q = 0; q < solved.size(); q++) {
      solve_pair(cls, threads, solved[q], k == 2 ? &rep.fitted : nullptr, nullptr);
      rep.solves.push_back(solved[q].r);
      if (prm.progress)
        prm.progress(solved[q].r, static_cast<int>(q) + 1, pairs);
    }
  }
  std::vector<char> support(static_cast<size_t>(data.n), 0);
  for (const PairSolve& ps : solved) {
    const std::vector<int>& ri = rows[static_cast<size_t>(ps.i)];
    const std::vector<int>& rj = rows[static_cast<size_t>(ps.j)];
    for (size_t p = 0; p < ps.coef.size(); p++)
      if (ps.coef[p] != 0)
        support[static_cast<size_t>(p < ri.size() ? ri[p] : rj[p - ri.size()])] = 1;
  }

  Model m;
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

// ------------------------------------------------------------ one-class ---

Model train_one_class(const Dataset& data, const Params& prm, TrainReport& rep) {
  const int n = data.n;
  KALTRO s(n);
  // The sum of the coefficients is nu n, fixed by the start point.
  const double total = prm.nu * n;
  const int whole = static_cast<int>(total);
  for (int i = 0; i < n; i++) {
    s.lin[i] = 0;
    s.lo[i] = 0;
    s.hi[i] = 1;
    s.x[i] = i < whole ? 1 : i == whole ? total - whole : 0;
  }
  s.equality = true;
  s.trace_level = prm.trace_level;
  SolveReport r;
  solve(s, data, prm, false, thread_count(prm.threads), r);

  Model m;
  m.task = kOneClass;
  m.kernel = prm.kernel;
  m.rho = {r.rho};
  m.coef.resize(1);
  rep.fitted.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    rep.fitted[static_cast<size_t>(i)] = -s.g[i] - r.rho > 0 ? 1 : -1;
    if (s.x[i] == 0)
      continue;
    r.support_vectors++;
    r.bounded += at_bound(s, i);
    m.sv_index.push_back(i);
    m.coef[0].push_back(s.x[i]);
  }
  rep.bounded = r.bounded;
  m.sv = support_rows(data, m.sv_index, prm.kernel.type);
  rep.solves.push_back(r);
  if (prm.progress)
    prm.progress(r, 1, 1);
  return m;
}

// ---------------------------------------------------------- epsilon-SVR ---

Model train_svr(const Dataset& data, const Params& prm, TrainReport& rep) {
  // x[i] = alpha_i in [0, C], x[n + i] = -alpha*_i in [-C, 0], both on row i;
  // the coefficient of example i is x[i] + x[n + i].
  const int n = data.n;
  KALTRO s(2 * n);
  for (int i = 0; i < n; i++) {
    const double y = data.head[static_cast<size_t>(i)];
    s.kidx[i] = s.kidx[n + i] = i;
    s.lin[i] = y - prm.p;
    s.lin[n + i] = y + prm.p;
    s.lo[i] = 0;
    s.hi[i] = prm.C;
    s.lo[n + i] = -prm.C;
    s.hi[n + i] = 0;
    s.x[i] = s.x[n + i] = 0;
  }
  s.equality = true;
  s.trace_level = prm.trace_level;
  SolveReport r;
  solve(s, data, prm, true, thread_count(prm.threads), r);

  Model m;
  m.task = kEpsilonSVR;
  m.kernel = prm.kernel;
  m.rho = {r.rho};
  m.coef.resize(1);
  rep.fitted.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    rep.fitted[static_cast<size_t>(i)] = s.lin[i] - s.g[i] - r.rho;
    const double c = s.x[i] + s.x[n + i];
    if (c == 0)
      continue;
    r.support_vectors++;
    r.bounded += (s.x[i] != 0 && at_bound(s, i)) || (s.x[n + i] != 0 && at_bound(s, n + i));
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

}  // namespace

Model train(const Dataset& data, const Params& params, TrainReport* report) {
  check(data, params);
  TrainReport local;
  TrainReport& rep = report ? *report : local;
  rep = TrainReport();
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
