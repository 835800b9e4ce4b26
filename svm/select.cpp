// Model selection: scores, folds, cross-validation and the grid search over
// C and gamma whose solvers each walk the values of C.
#include "select.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "feature_columns.h"
#include "keep_blocks.h"
#include "kernel.h"
#include "model.h"
#include "pool.h"
#include "random.h"
#include "text.h"
#include "train.h"

namespace ksvm {

Score score(int task, const std::vector<double>& predicted, const std::vector<double>& truth) {
  Score s;
  s.task = task;
  const size_t n = predicted.size();
  s.n = static_cast<long long>(n);
  if (task != kEpsilonSVR) {
    for (size_t i = 0; i < n; i++)
      s.correct += predicted[i] == truth[i];
    s.accuracy = 100.0 * static_cast<double>(s.correct) / static_cast<double>(n);
    return s;
  }
  // The common predict tool's figures.
  double error = 0, sv = 0, sy = 0, svv = 0, syy = 0, svy = 0;
  for (size_t i = 0; i < n; i++) {
    const double v = predicted[i], y = truth[i];
    error += (v - y) * (v - y);
    sv += v;
    sy += y;
    svv += v * v;
    syy += y * y;
    svy += v * y;
  }
  const double l = static_cast<double>(n);
  s.mean_squared_error = error / l;
  s.squared_correlation =
      ((l * svy - sv * sy) * (l * svy - sv * sy)) / ((l * svv - sv * sv) * (l * syy - sy * sy));
  return s;
}

std::vector<int> deal_folds(const std::vector<double>& key, bool stratified, int folds,
                            std::uint64_t seed) {
  const size_t n = key.size();
  // Rows grouped by class in order of first appearance (one group unless
  // stratified), each group shuffled, the groups one after the other.
  std::vector<std::vector<int>> groups;
  std::vector<double> seen;
  for (size_t i = 0; i < n; i++) {
    size_t g = 0;
    if (stratified) {
      g = static_cast<size_t>(std::find(seen.begin(), seen.end(), key[i]) - seen.begin());
      if (g == seen.size())
        seen.push_back(key[i]);
    }
    if (g == groups.size())
      groups.emplace_back();
    groups[g].push_back(static_cast<int>(i));
  }
  Random rng{seed};
  std::vector<int> fold(n);
  size_t dealt = 0;
  for (std::vector<int>& g : groups) {
    for (size_t i = g.size(); i > 1; i--)
      std::swap(g[i - 1], g[static_cast<size_t>(rng.next() % i)]);
    for (int row : g)
      fold[static_cast<size_t>(row)] = static_cast<int>(dealt++ % static_cast<size_t>(folds));
  }
  return fold;
}

FoldRows fold_rows(const std::vector<int>& fold, int folds) {
  FoldRows r;
  r.train.resize(static_cast<size_t>(folds));
  r.test.resize(static_cast<size_t>(folds));
  for (size_t i = 0; i < fold.size(); i++)
    for (int f = 0; f < folds; f++)
      (f == fold[i] ? r.test : r.train)[static_cast<size_t>(f)].push_back(static_cast<int>(i));
  return r;
}

std::vector<int> folds_for(const Dataset& data, const Params& params, int folds,
                           std::uint64_t seed) {
  return deal_folds(data.head, params.task == kCSVC, std::min(folds, data.n), seed);
}

namespace {

// The parameters for training on `rows` of the data: row weights follow their rows.
Params for_rows(const Params& prm, const std::vector<int>& rows) {
  Params q = prm;
  if (!prm.row_weight.empty()) {
    q.row_weight.clear();
    for (int r : rows)
      q.row_weight.push_back(prm.row_weight[static_cast<size_t>(r)]);
  }
  return q;
}

}  // namespace

std::vector<double> cross_validate_fold(const Dataset& data, const Params& prm,
                                        const FoldRows& rows, int f) {
  const Dataset train = select_rows(data, rows.train[static_cast<size_t>(f)]);
  const Dataset test = select_rows(data, rows.test[static_cast<size_t>(f)]);
  if (prm.task == kCSVC && train.labels.size() < 2)
    return std::vector<double>(static_cast<size_t>(test.n), train.labels.at(0));
  Params q = for_rows(prm, rows.train[static_cast<size_t>(f)]);
  q.probability = prm.probability && prm.task == kCSVC;
  const Model m = ksvm::train(train, q);
  if (!q.probability)
    return predict(m, test);
  std::vector<double> labels;
  predict_probability(m, test, &labels);
  return labels;
}

Columns::Columns(const Dataset& train, const Dataset& test, const KernelParams& p, double bytes)
    : train_(train), test_(test), p_(p), room_(bytes), kept_(static_cast<size_t>(train.n)) {
  // Sparse rows on both sides: the test rows held by feature as well, out of
  // the same budget (at most half of it).
  if (p.type != kPrecomputed && train.sparse && test.sparse && test.n >= 16) {
    by_feature_.reset(new FeatureColumns);
    if (by_feature_->build(test, static_cast<size_t>(room_ / 2)))
      room_ -= static_cast<double>(by_feature_->bytes());
    else
      by_feature_.reset();
  }
}

Columns::~Columns() = default;

const double* Columns::operator()(int r) {
  std::vector<double>& kept = kept_[static_cast<size_t>(r)];
  if (!kept.empty())
    return kept.data();
  const double bytes = 8.0 * test_.n;
  std::vector<double>& out = room_ >= bytes ? kept : scratch_;
  out.resize(static_cast<size_t>(test_.n));
  if (p_.type == kPrecomputed) {  // looked up in the test rows, as prediction does
    for (int t = 0; t < test_.n; t++)
      out[static_cast<size_t>(t)] = kernel_value(p_, test_, t, train_, r);
  } else {
    kernel_column(p_, test_, train_, r, out.data(), by_feature_.get());
  }
  if (&out == &kept)
    room_ -= bytes;
  return out.data();
}

namespace {

// f at every test row: sum over the training rows with a coefficient of
// coef K(row, test row), in the order given (prediction's order), minus rho.
void decide(Columns& cols, const std::vector<int>& row, const std::vector<double>& coef, double rho,
            std::vector<double>& out) {
  out.assign(out.size(), 0.0);
  for (size_t p = 0; p < row.size(); p++) {
    if (coef[p] == 0)
      continue;
    const double* k = cols(row[p]);
    for (size_t t = 0; t < out.size(); t++)
      out[t] += coef[p] * k[t];
  }
  for (double& v : out)
    v -= rho;
}

// Runs a solve at C, naming C when it fails.
void run_at(Solve& t, double C, SolveReport& r) {
  t.set_bound(C);
  try {
    t.run(true, r);
  } catch (const Interrupted&) {
    throw;
  } catch (const Failure& e) {
    throw Failure("C " + format_number(C) + ": " + e.what());
  }
}

}  // namespace

std::vector<std::vector<double>> grid_fold(const Dataset& data, const Params& params,
                                           const std::vector<double>& Cs, const FoldRows& rows,
                                           int f) {
  const Params prm = for_rows(params, rows.train[static_cast<size_t>(f)]);
  const size_t nc = Cs.size();
  if (prm.task == kOneClass)  // C plays no part
    return std::vector<std::vector<double>>(nc, cross_validate_fold(data, params, rows, f));
  const Dataset train = select_rows(data, rows.train[static_cast<size_t>(f)]);
  const Dataset test = select_rows(data, rows.test[static_cast<size_t>(f)]);
  const size_t nt = static_cast<size_t>(test.n);
  std::vector<std::vector<double>> out(nc, std::vector<double>(nt));
  Columns cols(train, test, prm.kernel, static_cast<double>(cache_budget(prm.cache_mb)));
  std::vector<double> sums(nt);

  if (prm.task == kEpsilonSVR) {
    const int n = train.n;
    Solve t(train, prm, 2 * n, true, prm.trace_level);
    setup_svr(t, train, prm.p);
    std::vector<int> row(static_cast<size_t>(n));
    std::vector<double> coef(static_cast<size_t>(n));
    for (size_t c = 0; c < nc; c++) {
      SolveReport r;
      run_at(t, Cs[c], r);
      for (int i = 0; i < n; i++) {
        row[static_cast<size_t>(i)] = i;
        coef[static_cast<size_t>(i)] = t.x_of(i) + t.x_of(n + i);
      }
      decide(cols, row, coef, r.rho, out[c]);
    }
    t.finish();
    return out;
  }

  const Classes cls = csvc_classes(train, prm);
  const int k = static_cast<int>(cls.label.size());
  if (k < 2) {
    for (std::vector<double>& o : out)
      o.assign(nt, cls.label.at(0));
    return out;
  }
  // Decision values of every C, test row and class pair, pair innermost.
  const size_t pairs = static_cast<size_t>(k * (k - 1) / 2);
  std::vector<double> dec(nc * nt * pairs);
  size_t pair = 0;
  for (int i = 0; i < k; i++)
    for (int j = i + 1; j < k; j++, pair++) {
      const std::vector<int>& ri = cls.rows[static_cast<size_t>(i)];
      const std::vector<int>& rj = cls.rows[static_cast<size_t>(j)];
      const int n = static_cast<int>(ri.size() + rj.size());
      Solve t(train, prm, n, false, prm.trace_level);
      setup_pair(t, ri, rj, cls.weight[static_cast<size_t>(i)], cls.weight[static_cast<size_t>(j)],
                 prm.bias);
      std::vector<int> row(ri);
      row.insert(row.end(), rj.begin(), rj.end());
      std::vector<double> coef(static_cast<size_t>(n));
      for (size_t c = 0; c < nc; c++) {
        SolveReport r;
        run_at(t, Cs[c], r);
        for (int p = 0; p < n; p++)
          coef[static_cast<size_t>(p)] = t.x_of(p);
        decide(cols, row, coef, r.rho, sums);
        for (size_t q = 0; q < nt; q++)
          dec[(c * nt + q) * pairs + pair] = sums[q];
      }
      t.finish();
    }
  std::vector<int> votes;
  for (size_t c = 0; c < nc; c++)
    for (size_t q = 0; q < nt; q++)
      out[c][q] = cls.label[static_cast<size_t>(vote(k, &dec[(c * nt + q) * pairs], votes))];
  return out;
}

namespace {

void check_selection(const Dataset& data, const Params& params, int folds) {
  check_training(data, params);
  if (folds < 2)
    throw Failure("cross-validation needs at least 2 folds");
  if (params.task == kCSVC && data.labels.size() < 2)
    throw Failure("every example has label " + format_number(data.labels.at(0)) +
                  "; training needs examples of two labels");
}

}  // namespace

namespace {

// Runs fold(f, p) for every fold, with p the parameters its solves take:
// side by side when the machine's threads and the cache budget allow (see
// side_by_side: each fold's caches then keep the whole budget or share it),
// else one after the other, each with its rows computed in pieces.  The
// cache never changes a fold's steps or results.  The first failure, in
// fold order, is rethrown.
template <class F>
void each_fold(const Dataset& data, const Params& prm, int k, F&& fold) {
  kaltro::detail::KeepBlocks keep;  // each fold's caches in the blocks of the ones before
  const int threads = std::min(thread_count(prm.threads), k);
  const double m = static_cast<double>(data.n) * (k - 1) / k * (prm.task == kEpsilonSVR ? 2 : 1);
  Params shared = prm;
  shared.cache_mb = side_by_side(prm.cache_mb, threads, static_cast<size_t>(k), m);
  std::vector<std::exception_ptr> failure(static_cast<size_t>(k));
  auto run = [&](int f) {
    try {
      fold(f, shared.cache_mb > 0 ? shared : prm);
    } catch (...) {
      failure[static_cast<size_t>(f)] = std::current_exception();
    }
  };
  if (shared.cache_mb > 0)
    kaltro::detail::each(k, threads, run);
  else
    for (int f = 0; f < k; f++) {
      run(f);
      if (failure[static_cast<size_t>(f)])
        break;
    }
  for (const std::exception_ptr& e : failure)
    if (e)
      std::rethrow_exception(e);
}

}  // namespace

CrossValidation cross_validate(const Dataset& data, const Params& params, int folds,
                               std::uint64_t seed) {
  check_selection(data, params, folds);
  CrossValidation cv;
  cv.fold = folds_for(data, params, folds, seed);
  const int k = std::min(folds, data.n);
  const FoldRows rows = fold_rows(cv.fold, k);
  cv.predicted.resize(static_cast<size_t>(data.n));
  each_fold(data, params, k, [&](int f, const Params& fp) {
    const std::vector<double> p = cross_validate_fold(data, fp, rows, f);
    const std::vector<int>& test = rows.test[static_cast<size_t>(f)];
    for (size_t q = 0; q < test.size(); q++)
      cv.predicted[static_cast<size_t>(test[q])] = p[q];
  });
  cv.score = score(params.task, cv.predicted, data.head);
  return cv;
}

GridResult grid_search(const Dataset& data, const Params& params, const GridOptions& options) {
  check_selection(data, params, options.folds);
  kaltro::detail::KeepBlocks keep;  // from one grid point to the next
  if (params.probability)
    throw Failure("the grid search scores decision values; it does not fit probabilities");
  std::vector<double> log2c = options.log2c, log2g = options.log2g;
  const bool given_c = !log2c.empty(), given_g = !log2g.empty();
  if (!given_c)
    log2c = {std::log2(params.C)};
  if (!given_g)
    log2g = {std::log2(params.kernel.gamma)};
  std::stable_sort(log2c.begin(), log2c.end());
  std::vector<double> Cs;
  for (double v : log2c)
    Cs.push_back(given_c ? std::exp2(v) : params.C);
  for (double C : Cs)
    if (!(C > 0) || !std::isfinite(C))
      throw Failure("C " + format_number(C) + " is not a positive number");

  const std::vector<int> fold = folds_for(data, params, options.folds, options.seed);
  const int k = std::min(options.folds, data.n);
  const FoldRows rows = fold_rows(fold, k);
  GridResult result;
  for (double g : log2g) {
    Params q = params;
    if (given_g)
      q.kernel.gamma = std::exp2(g);
    check_training(data, q);
    std::vector<std::vector<double>> predicted(Cs.size(),
                                               std::vector<double>(static_cast<size_t>(data.n)));
    each_fold(data, q, k, [&](int f, const Params& fp) {
      const std::vector<std::vector<double>> p = grid_fold(data, fp, Cs, rows, f);
      const std::vector<int>& test = rows.test[static_cast<size_t>(f)];
      for (size_t c = 0; c < Cs.size(); c++)
        for (size_t t = 0; t < test.size(); t++)
          predicted[c][static_cast<size_t>(test[t])] = p[c][t];
    });
    for (size_t c = 0; c < Cs.size(); c++) {
      GridPoint point;
      point.log2c = log2c[c];
      point.log2g = g;
      point.C = Cs[c];
      point.gamma = q.kernel.gamma;
      point.score = score(params.task, predicted[c], data.head);
      result.points.push_back(point);
      if (options.on_point)
        options.on_point(point);
    }
  }
  // The best score; ties to the smaller C, then the smaller gamma.
  auto better = [&](const GridPoint& a, const GridPoint& b) {
    if (params.task == kEpsilonSVR) {
      if (a.score.mean_squared_error != b.score.mean_squared_error)
        return a.score.mean_squared_error < b.score.mean_squared_error;
    } else if (a.score.correct != b.score.correct) {
      return a.score.correct > b.score.correct;
    }
    return a.C != b.C ? a.C < b.C : a.gamma < b.gamma;
  };
  for (size_t i = 1; i < result.points.size(); i++)
    if (better(result.points[i], result.points[result.best]))
      result.best = i;
  return result;
}

}  // namespace ksvm
