#include "train.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <string>

#include "kaltro.h"
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

TrainResult train(const Dataset& data, const TrainOptions& opt) {
  const int n = data.n;
  KernelData kd(data, opt.kernel);
  KALTRO s(n);
  s.kernel = kd.callback();
  s.kernel_arg = &kd;
  kd.follow(s.kidx, n);  // rows are asked for in this order: compute them ahead
  s.equality = opt.bias;
  s.trace_level = opt.trace_level;
  s.eps_gap = opt.eps;
  s.maxcachesize = cache_budget(opt.cache_mb);
  // Ample for any problem that converges; one that does not (an unbounded
  // objective, or boxes far too wide) ends with a clear message instead.
  s.max_steps = std::max(10000000LL, 100LL * n);
  if (opt.trace_level <= 0)
    s.output = nullptr;  // quiet: not even the solver's set-up and clean-up lines
  const double first = data.labels.at(0);
  for (int i = 0; i < n; i++) {
    double y = data.head[static_cast<size_t>(i)] == first ? 1.0 : -1.0;
    s.lin[i] = y;
    s.lo[i] = std::fmin(0.0, opt.C * y);
    s.hi[i] = std::fmax(0.0, opt.C * y);
    s.x[i] = 0;
  }

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

  TrainResult r;
  r.objective = s.w;
  r.steps = steps;
  r.kernel_evals = kd.evals;
  r.seconds = std::chrono::duration<double>(t1 - t0).count();

  // g[i] = y_i - sum_j x_j K_ij, so a free support vector has f(x_i) = y_i
  // exactly when b = g[i]; their mean is the bias.
  int free_count = 0;
  double free_sum = 0;
  for (int i = 0; i < n; i++) {
    if (s.x[i] == 0)
      continue;
    r.support_vectors++;
    if (s.x[i] <= s.lo[i] + s.eps_bound || s.x[i] >= s.hi[i] - s.eps_bound) {
      r.bounded++;
    } else {
      free_count++;
      free_sum += s.g[i];
    }
  }
  if (opt.bias)
    r.bias = free_count ? free_sum / free_count : 0.5 * (s.g_low + s.g_high);

  // The model file lists +1 before -1 when those are the labels, whatever
  // came first; otherwise the first label met leads.  Flipping the label
  // order flips the sign of the decision function.
  Model& m = r.model;
  const double second = data.labels.size() > 1 ? data.labels[1] : -first;
  const bool flip = first == -1 && second == 1;
  const double sign = flip ? -1.0 : 1.0;
  m.kernel = opt.kernel;
  m.label[0] = flip ? second : first;
  m.label[1] = flip ? first : second;
  m.rho = -sign * r.bias;

  for (int i = 0; i < n; i++) {
    // f(x_i) without b is lin - g, exact up to the single-precision cache.
    double f = s.lin[i] - s.g[i] + r.bias;
    double predicted = sign * f > 0 ? m.label[0] : m.label[1];
    if (predicted == data.head[static_cast<size_t>(i)])
      r.correct++;
  }

  // Support vectors of label[0] first, each group in training order.
  std::vector<int> rows;
  std::vector<double> coef;
  for (int group = 0; group < 2; group++) {
    for (int i = 0; i < n; i++) {
      double x = s.x[i];
      if (x == 0 || (sign * x > 0) != (group == 0))
        continue;
      m.nr_sv[group]++;
      rows.push_back(i);
      coef.push_back(sign * x);
    }
  }
  Dataset& sv = m.sv;
  sv = select_rows(data, rows);
  sv.head = coef;
  sv.labels = {m.label[0], m.label[1]};
  return r;
}

std::vector<double> predict(Model& m, Dataset& data, const std::string& name) {
  widen(m.sv, data.d, name);
  widen(data, m.sv.d, name);
  std::vector<double> out(static_cast<size_t>(data.n));
  std::vector<double> k(static_cast<size_t>(m.sv.n));
  for (int i = 0; i < data.n; i++) {
    kernel_column(m.kernel, m.sv, data, i, k.data());
    double v = 0;
    for (size_t j = 0; j < k.size(); j++)
      v += m.sv.head[j] * k[j];
    v -= m.rho;
    out[static_cast<size_t>(i)] = v > 0 ? m.label[0] : m.label[1];
  }
  return out;
}

}  // namespace ksvm
