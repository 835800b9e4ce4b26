// Training, kernel walks and prediction on several threads: the same bits as
// on one, for every task, dense and sparse, whatever the walk does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dataset.h"
#include "feature_columns.h"
#include "generate.h"
#include "kaltro.h"
#include "kernel.h"
#include "kernel_ahead.h"
#include "support.h"
#include "train.h"

namespace {

using ksvm::Dataset;

using ksvm_test::kept;
using ksvm_test::same_bits;

bool same_bits(const std::vector<double>& u, const std::vector<double>& v) {
  return u.size() == v.size() &&
         (u.empty() || std::memcmp(u.data(), v.data(), sizeof(double) * u.size()) == 0);
}

Dataset generated(const char* kind, int n, int d, int classes = 2) {
  ksvm::GenerateOptions opt;
  opt.kind = kind;
  opt.n = n;
  opt.d = d;
  opt.classes = classes;
  opt.nnz = 20;
  std::FILE* f = std::tmpfile();
  ksvm::generate(opt, f);
  std::string text(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  text.resize(std::fread(&text[0], 1, text.size(), f));
  std::fclose(f);
  return ksvm::parse_text(text.data(), text.data() + text.size(), kind, 1, ksvm::ReadOptions());
}

// Holds k's rows by feature, every row or (`part`) those of at most 80% of
// the positions, in a budget short of every row; false if none is built.
bool hold_columns(ksvm::KernelData& k, bool part) {
  const size_t all = k.build_columns(size_t{1} << 30);
  for (int twentieths = 19; part && all > 0 && twentieths > 0; twentieths--) {
    const size_t budget = all / 20 * static_cast<size_t>(twentieths);
    const size_t bytes = k.build_columns(budget);
    if (bytes > budget)
      return false;
    if (bytes > 0 && 5 * k.ahead->columns->reach <= 4 * k.n)
      return true;
  }
  return all > 0 && !part;
}

// Plays the solver on k with its walks in pieces (threads, short stretches):
// rows walked from a position to the active size or beyond it to the end,
// calls off the walk in the middle of some walks (which end the stretch),
// variables exchanged and the active size changed between walks; after each
// walk no thread may be left reading positions the solver is about to
// reorder (the order repeats every 100 positions at first, as SVR's does,
// so a walk can be followed from a position other than its own).  With
// `columns`, sparse rows are also held by feature and long walks summed
// from them (on one thread too): 1 every row, 2 the rows of some of the first
// positions, at most 80%, which change as the walk is reordered.
void walk(const Dataset& data, const ksvm::KernelParams& p, int threads, std::uint32_t seed,
          int columns = 0) {
  std::mt19937 rng(seed);
  const int n = data.n;
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; i++)
    order[static_cast<size_t>(i)] = (i * 7) % n;
  int active = n;
  ksvm::KernelData k(data, p);
  k.threads = threads;
  k.stretch_min = 16;
  k.follow(order.data(), n, &active);
  if (columns) {
    ASSERT_TRUE(hold_columns(k, columns == 2));
  }
  const ksvm::KernelFn f = k.callback();
  auto pick = [&](int m) { return static_cast<int>(rng() % static_cast<unsigned>(m)); };
  auto check = [&](int a, int b) {
    ASSERT_TRUE(same_bits(f(a, b, &k), kept(ksvm::kernel_value(p, data, a, data, b))))
        << "threads " << threads << " a " << a << " b " << b;
  };
  for (int round = 0; round < 40; round++) {
    const int a = order[static_cast<size_t>(pick(n))];
    const int from = pick(n);
    const int to = from < active && round % 3 ? active : n;
    const int cut = round % 4 == 0 ? from + pick(to - from) : -1;
    for (int j = from; j < to; j++) {
      if (j == cut)
        for (int s = 0; s < 3; s++)  // off the walk; the walk then goes on
          check(order[static_cast<size_t>(pick(n))], order[static_cast<size_t>(pick(n))]);
      check(a, order[static_cast<size_t>(j)]);
      if (testing::Test::HasFatalFailure())
        return;
    }
    EXPECT_TRUE(ksvm::walk_settled(*k.ahead)) << "threads " << threads << " round " << round;
    for (int s = pick(n / 4); s > 0; s--)
      std::swap(order[static_cast<size_t>(pick(n))], order[static_cast<size_t>(pick(n))]);
    active = 1 + pick(n);
  }
  EXPECT_GT(k.ahead->stretches, 20) << "threads " << threads;
}

TEST(SvmThreads, WalksInPiecesAnswerWithTheBitsOfOneEvaluation) {
  const Dataset dense = generated("clouds", 700, 7);
  const Dataset sparse = generated("text", 700, 5000);
  const Dataset renumbered = generated("text", 700, 100000);  // a vocabulary the blocks renumber
  ASSERT_TRUE(sparse.sparse && renumbered.sparse && !dense.sparse);
  for (const Dataset* data : {&dense, &sparse, &renumbered})
    for (int type = 0; type < 3; type++)
      for (int threads : {1, 2, 3})
        for (int columns : {0, 1, 2}) {
          if (!data->sparse && columns)
            continue;
          if (threads == 1 && !columns)
            continue;  // no stretches: blocks only
          ksvm::KernelParams p;
          p.type = type;
          p.gamma = 0.25;
          p.coef0 = 0.5;
          walk(*data, p, threads, static_cast<std::uint32_t>(10 * type + threads), columns);
          if (HasFatalFailure())
            return;
        }
}

TEST(SvmThreads, ColumnsKeepWithinTheirBudget) {
  const Dataset sparse = generated("text", 700, 5000);
  std::vector<int> order(static_cast<size_t>(sparse.n));
  for (int i = 0; i < sparse.n; i++)
    order[static_cast<size_t>(i)] = (i * 7) % sparse.n;
  ksvm::KernelData k(sparse, ksvm::KernelParams());
  k.follow(order.data(), sparse.n);
  const size_t bytes = k.build_columns(size_t{1} << 30);
  ASSERT_GT(bytes, 0u);
  EXPECT_EQ(k.build_columns(bytes), bytes);
  EXPECT_EQ(k.ahead->columns->reach, sparse.n);
  // A budget short of every row holds those of the first positions, at
  // least an eighth of them, or none.
  int reach = sparse.n;
  for (size_t budget = bytes - 1; budget > 0; budget = budget * 9 / 10) {
    const size_t held = k.build_columns(budget);
    EXPECT_LE(held, budget);
    if (!held)
      break;
    const ksvm::FeatureColumns& c = *k.ahead->columns;
    EXPECT_GE(8 * c.reach, sparse.n);
    reach = std::min(reach, c.reach);
    size_t pairs = 0;  // the rows held are exactly those that fit
    for (int p = 0; p < c.reach; p++)
      pairs += sparse.start[static_cast<size_t>(order[static_cast<size_t>(p)]) + 1] -
               sparse.start[static_cast<size_t>(order[static_cast<size_t>(p)])];
    EXPECT_LE(pairs, c.room);
    if (c.reach < sparse.n) {
      const size_t q = static_cast<size_t>(order[static_cast<size_t>(c.reach)]);
      EXPECT_GT(pairs + sparse.start[q + 1] - sparse.start[q], c.room);
    }
  }
  EXPECT_LT(reach, sparse.n);
  // Rows that hold every feature: a row's columns hold every pair, and
  // gathering is cheaper.
  const Dataset full = ksvm::with_holding(generated("clouds", 300, 6), true);
  ksvm::KernelData kf(full, ksvm::KernelParams());
  kf.follow(order.data(), full.n);
  EXPECT_EQ(kf.build_columns(size_t{1} << 30), 0u);
}

struct Outcome {
  std::vector<double> x, g;
  double w;
  int steps;
  long long evals, stretches;
};

// A two-class dual as the trainer sets it up, its rows walked in pieces of
// short stretches on `threads` threads, sparse rows with `columns` summed
// from columns where that pays.
Outcome solve(const Dataset& data, int threads, long cache, int columns = 0) {
  ksvm::KernelParams p;
  p.gamma = 0.5;
  ksvm::KernelData k(data, p);
  KALTRO s(data.n);
  k.threads = threads;
  k.stretch_min = 32;
  k.follow(s.kidx, s.n, &s.l);
  if (columns && !hold_columns(k, columns == 2))
    return Outcome();
  s.kernel = k.callback();
  s.kernel_arg = &k;
  s.threads = threads;
  s.trace_level = 0;
  s.maxcachesize = cache;
  for (int i = 0; i < data.n; i++) {
    const double y = data.head[static_cast<size_t>(i)] > 0 ? 1 : -1;
    s.lin[i] = y;
    s.lo[i] = std::fmin(0.0, 2 * y);
    s.hi[i] = std::fmax(0.0, 2 * y);
  }
  Outcome out;
  out.steps = s.run(true, true);
  out.x.assign(s.x, s.x + data.n);
  out.g.assign(s.g, s.g + data.n);
  out.w = s.w;
  out.evals = k.evaluations();
  out.stretches = k.ahead->stretches;
  return out;
}

TEST(SvmThreads, SolvesWithRowsInPiecesComeOutBitForBit) {
  // A cache that holds everything and one of a few rows (rows fetched again
  // and again, shrinking and unshrinking in between).
  for (const char* kind : {"rings", "text"}) {
    const Dataset data = generated(kind, 900, kind[0] == 't' ? 3000 : 5);
    for (long cache : {64L << 20, 30L * 900 * 4}) {
      const Outcome one = solve(data, 1, cache);
      ASSERT_GT(one.steps, 0);
      for (int threads : {1, 2, 3})
        for (int columns : {0, 1, 2}) {
          if ((threads == 1 && !columns) || (columns && !data.sparse))
            continue;
          const Outcome more = solve(data, threads, cache, columns);
          const std::string what = std::string(kind) + " threads " + std::to_string(threads) +
                                   " columns " + std::to_string(columns);
          EXPECT_EQ(more.steps, one.steps) << what;
          EXPECT_EQ(more.evals, one.evals) << what;
          EXPECT_TRUE(same_bits(more.w, one.w)) << what;
          EXPECT_TRUE(same_bits(more.x, one.x)) << what;
          EXPECT_TRUE(same_bits(more.g, one.g)) << what;
          EXPECT_GT(more.stretches, 100) << what;
        }
    }
  }
}

// Sparse rows with other heads: classes 1..4 (C-SVC) or targets (SVR).
Dataset reheaded(Dataset data, bool targets) {
  for (int i = 0; i < data.n; i++) {
    double& y = data.head[static_cast<size_t>(i)];
    y = targets ? y * (1 + (i % 7) / 7.0) : (y > 0 ? 1 : 2) + (i % 5 == 0 ? 2 : 0);
  }
  return data;
}

TEST(SvmThreads, EveryTaskTrainsAndPredictsTheSameOnAnyNumberOfThreads) {
  // Sizes past the length from which walks go in pieces (and regression's
  // whole rows with them); class pairs small enough, for their cache, to be
  // solved side by side, with the whole budget each or, for "blobs, shared
  // cache", half of it (their kernel evaluations may then differ).
  struct Case {
    const char* name;
    Dataset data;
    int task;
    double cache_mb;
    bool same_evals = true;
  };
  const Dataset text = generated("text", 2300, 3000);
  Case cases[] = {
      {"clouds", generated("clouds", 2300, 4), ksvm::kCSVC, 2},
      {"text", text, ksvm::kCSVC, 2},
      {"blobs", generated("blobs", 1200, 3, 6), ksvm::kCSVC, 2},
      {"blobs, shared cache", generated("blobs", 1200, 3, 6), ksvm::kCSVC, 1, false},
      {"text classes", reheaded(text, false), ksvm::kCSVC, 16},
      {"one-class", generated("rings", 2300, 3), ksvm::kOneClass, 2},
      {"text one-class", text, ksvm::kOneClass, 2},
      {"regression", generated("regression", 2100, 3), ksvm::kEpsilonSVR, 2},
      {"text regression", reheaded(text, true), ksvm::kEpsilonSVR, 2},
  };
  ASSERT_TRUE(text.sparse && cases[4].data.sparse && cases[8].data.sparse);
  for (const Case& c : cases) {
    ksvm::Params prm;
    prm.task = c.task;
    prm.kernel.gamma = 0.5;
    prm.eps = 0.01;
    prm.cache_mb = c.cache_mb;
    std::vector<ksvm::TrainReport> reps;
    std::vector<ksvm::Model> models;
    std::vector<std::vector<double>> decisions, probabilities;
    for (int threads : {1, 2, 3}) {
      prm.threads = threads;
      reps.emplace_back();
      models.push_back(ksvm::train(c.data, prm, &reps.back()));
      decisions.push_back(ksvm::decision_values(models.back(), c.data, threads));
      if (c.task == ksvm::kCSVC) {  // sigmoids of its own: no cross-validation needed
        ksvm::Model m = models.back();
        const size_t pairs = static_cast<size_t>(m.nr_class * (m.nr_class - 1) / 2);
        m.probA.assign(pairs, -1.5);
        m.probB.assign(pairs, 0.25);
        probabilities.push_back(ksvm::predict_probability(m, c.data, nullptr, threads));
      }
    }
    for (size_t t = 1; t < models.size(); t++) {
      const std::string where = std::string(c.name) + " threads " + std::to_string(t + 1);
      ASSERT_EQ(reps[t].solves.size(), reps[0].solves.size()) << where;
      for (size_t q = 0; q < reps[0].solves.size(); q++) {
        EXPECT_TRUE(same_bits(reps[t].solves[q].objective, reps[0].solves[q].objective)) << where;
        EXPECT_EQ(reps[t].solves[q].steps, reps[0].solves[q].steps) << where;
        if (c.same_evals) {
          EXPECT_EQ(reps[t].solves[q].kernel_evals, reps[0].solves[q].kernel_evals) << where;
        }
      }
      EXPECT_EQ(models[t].sv_index, models[0].sv_index) << where;
      EXPECT_TRUE(same_bits(models[t].rho, models[0].rho)) << where;
      for (size_t r = 0; r < models[0].coef.size(); r++)
        EXPECT_TRUE(same_bits(models[t].coef[r], models[0].coef[r])) << where;
      EXPECT_TRUE(same_bits(reps[t].fitted, reps[0].fitted)) << where;
      EXPECT_TRUE(same_bits(decisions[t], decisions[0])) << where;
      if (!probabilities.empty()) {
        EXPECT_TRUE(same_bits(probabilities[t], probabilities[0])) << where;
      }
    }
  }
}

}  // namespace

TEST(SvmThreads, SparseRowsTrainPredictAndSearchAsTheirDenseHolding) {
  // A cache that holds every row, so that the solver's path cannot depend on
  // what else the budget holds: sparse rows (held by feature as well for
  // training, prediction and the grid's held-out rows) and the same rows
  // held densely give the same bits.
  const Dataset text = generated("text", 600, 3000);
  for (const Dataset& sparse : {text, reheaded(text, true)}) {
    const Dataset dense = ksvm::with_holding(sparse, false);
    ASSERT_TRUE(sparse.sparse && !dense.sparse);
    ksvm::Params prm;
    prm.task = sparse.head == text.head ? ksvm::kCSVC : ksvm::kEpsilonSVR;
    prm.kernel.gamma = 0.5;
    prm.threads = 2;
    const ksvm::Model ms = ksvm::train(sparse, prm), md = ksvm::train(dense, prm);
    EXPECT_EQ(ms.sv_index, md.sv_index);
    for (size_t r = 0; r < md.coef.size(); r++)
      EXPECT_TRUE(same_bits(ms.coef[r], md.coef[r]));
    EXPECT_TRUE(
        same_bits(ksvm::decision_values(ms, sparse, 2), ksvm::decision_values(md, dense, 2)));
    ksvm::GridOptions opt;
    opt.log2c = {3, -1, 2};
    opt.log2g = {-1, -3};
    opt.folds = 3;
    const ksvm::GridResult gs = ksvm::grid_search(sparse, prm, opt);
    const ksvm::GridResult gd = ksvm::grid_search(dense, prm, opt);
    ASSERT_EQ(gs.points.size(), gd.points.size());
    for (size_t i = 0; i < gs.points.size(); i++) {
      EXPECT_EQ(gs.points[i].score.correct, gd.points[i].score.correct) << i;
      EXPECT_TRUE(
          same_bits(gs.points[i].score.mean_squared_error, gd.points[i].score.mean_squared_error))
          << i;
    }
  }
}

TEST(SvmThreads, SolvesSideBySideKeepOrShareTheCacheBudget) {
  // (cache MB, threads, solves, variables) -> the MB each solve gets side by
  // side, 0 for one after the other.  The two blobs cases of the test above
  // lie on either side of the first line.
  struct Case {
    double mb;
    int threads;
    size_t solves;
    double n;
    double share;
  };
  const Case cases[] = {
      {2, 2, 15, 460, 2},      // two full caches fit: the whole budget each
      {1, 2, 15, 460, 0.5},    // they do not: half each
      {1, 3, 15, 460, 0},      // a third holds less than 4 x 192 bytes a variable
      {100, 2, 45, 4000, 50},  // ten classes of 2 000
      {100, 2, 6, 70000, 0},   // pairs too large to share: in turn, rows in pieces
  };
  for (const Case& c : cases)
    EXPECT_EQ(ksvm::side_by_side(c.mb, c.threads, c.solves, c.n), c.share)
        << c.mb << " MB, " << c.threads << " threads, " << c.solves << " solves of " << c.n;
}
