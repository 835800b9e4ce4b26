// Model selection and probabilities: folds, the warm-started C path against
// cold solves, Platt's sigmoid and pairwise coupling against references
// computed independently (scipy), and probabilities of trained models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "probability.h"
#include "select.h"
#include "train.h"

namespace {

using ksvm::Dataset;
using ksvm::Params;

Dataset bundled(const std::string& name) { return ksvm::read_dataset(KSVM_DATA + name + ".txt"); }

Params rbf(const Dataset& data, int task) {
  Params p;
  p.task = task;
  p.kernel.type = ksvm::kRbf;
  p.kernel.gamma = 1.0 / data.d;
  return p;
}

// Stratified folds hold each class evenly (counts differ by at most one per
// class), plain ones hold rows evenly; a seed gives the same folds every
// time and another seed other folds.
TEST(SvmSelect, FoldsStratifiedEvenAndRepeatable) {
  struct Case {
    const char* set;
    bool stratified;
    int folds;
    std::uint64_t seed;
  };
  const Case cases[] = {{"iris", true, 5, 1},          {"iris", true, 7, 99},
                        {"wine", true, 10, 3},         {"digits", true, 3, 5},
                        {"breast_cancer", true, 4, 8}, {"diabetes", false, 5, 1},
                        {"wine", false, 2, 11},        {"iris", true, 150, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.set) + " folds " + std::to_string(c.folds));
    const Dataset data = bundled(c.set);
    const std::vector<int> fold = ksvm::deal_folds(data.head, c.stratified, c.folds, c.seed);
    ASSERT_EQ(fold.size(), static_cast<size_t>(data.n));
    EXPECT_EQ(fold, ksvm::deal_folds(data.head, c.stratified, c.folds, c.seed));
    EXPECT_NE(fold, ksvm::deal_folds(data.head, c.stratified, c.folds, c.seed + 1));
    std::map<double, std::vector<int>> per_class;
    std::vector<int> per_fold(static_cast<size_t>(c.folds));
    for (int i = 0; i < data.n; i++) {
      const int f = fold[static_cast<size_t>(i)];
      ASSERT_TRUE(f >= 0 && f < c.folds);
      per_fold[static_cast<size_t>(f)]++;
      std::vector<int>& count = per_class[c.stratified ? data.head[static_cast<size_t>(i)] : 0];
      count.resize(static_cast<size_t>(c.folds));
      count[static_cast<size_t>(f)]++;
    }
    for (const auto& k : per_class)
      EXPECT_LE(*std::max_element(k.second.begin(), k.second.end()) -
                    *std::min_element(k.second.begin(), k.second.end()),
                1)
          << "class " << k.first;
    EXPECT_LE(*std::max_element(per_fold.begin(), per_fold.end()) -
                  *std::min_element(per_fold.begin(), per_fold.end()),
              static_cast<int>(per_class.size()));
    // Every row is tested once and trained on in every other fold.
    const ksvm::FoldRows rows = ksvm::fold_rows(fold, c.folds);
    for (int f = 0; f < c.folds; f++)
      EXPECT_EQ(
          rows.train[static_cast<size_t>(f)].size() + rows.test[static_cast<size_t>(f)].size(),
          static_cast<size_t>(data.n));
  }
}

// A solver walking C upwards from the scaled last solution reaches, at every
// C, the objective of a cold solve at that C (within 1e-6 relative): class
// pairs with and without weights and bias, and regression.
TEST(SvmSelect, WarmStartedPathMatchesColdSolves) {
  struct Case {
    const char* set;
    int task;
    double wi, wj;
    bool bias;
  };
  const Case cases[] = {{"iris", ksvm::kCSVC, 1, 1, true},
                        {"wine", ksvm::kCSVC, 2, 0.5, true},
                        {"breast_cancer", ksvm::kCSVC, 1, 1, false},
                        {"diabetes", ksvm::kEpsilonSVR, 1, 1, true}};
  const std::vector<double> Cs = {0.03125, 0.125, 1, 4, 32, 128};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    const Dataset data = bundled(c.set);
    Params prm = rbf(data, c.task);
    prm.eps = 1e-6;
    prm.p = 20;
    std::vector<int> ri, rj;
    for (int i = 0; i < data.n; i++)
      (data.head[static_cast<size_t>(i)] == data.head[0] ? ri : rj).push_back(i);
    auto setup = [&](ksvm::Solve& t) {
      if (c.task == ksvm::kEpsilonSVR)
        ksvm::setup_svr(t, data, prm.p);
      else
        ksvm::setup_pair(t, ri, rj, c.wi, c.wj, c.bias);
    };
    const bool svr = c.task == ksvm::kEpsilonSVR;
    const int n = svr ? 2 * data.n : data.n;
    ksvm::Solve warm(data, prm, n, svr, 0);
    setup(warm);
    for (double C : Cs) {
      ksvm::Solve cold(data, prm, n, svr, 0);
      setup(cold);
      cold.set_bound(C);
      ksvm::SolveReport rw, rc;
      warm.set_bound(C);
      warm.run(true, rw);
      cold.run(false, rc);
      EXPECT_NEAR(rw.objective, rc.objective, 1e-6 * std::fabs(rc.objective)) << "C " << C;
      EXPECT_NEAR(rw.rho, rc.rho, 1e-3 * (1 + std::fabs(rc.rho))) << "C " << C;
      // Iris's first class is separable: from C 32 on no coefficient sits at
      // C, and the start scaled to its best multiple is already the solution.
      if (std::string(c.set) == "iris" && C == Cs.back()) {
        EXPECT_EQ(rw.steps, 0);
      }
    }
    warm.finish();
  }
}

// Platt's sigmoid by Newton's method against the likelihood's minimum found
// by scipy on the same decision values and classes.
TEST(SvmSelect, SigmoidFitMatchesReference) {
  struct Case {
    int n;
    double scale, offset;
    int mod, below;
    double A, B;
  };
  // Decision values scale sin(0.7 i) + offset + 0.01 i, class +1 when
  // (37 i) mod `mod` < `below`.
  const Case cases[] = {{40, 2.0, 0.0, 11, 5, -0.0180092981877, 0.105080074436},
                        {60, 1.5, 0.3, 7, 2, -0.0074775057622, 0.927906977397},
                        {25, 3.0, -0.5, 5, 4, 0.0318684113519, -1.33340697192}};
  for (const Case& c : cases) {
    std::vector<double> dec;
    std::vector<char> positive;
    for (int i = 0; i < c.n; i++) {
      dec.push_back(std::sin(0.7 * i) * c.scale + c.offset + 0.01 * i);
      positive.push_back((i * 37) % c.mod < c.below);
    }
    const ksvm::Sigmoid s = ksvm::fit_sigmoid(dec, positive);
    EXPECT_NEAR(s.A, c.A, 1e-5) << "n " << c.n;
    EXPECT_NEAR(s.B, c.B, 1e-5) << "n " << c.n;
  }
  // Classes that follow the decision values: a steep sigmoid.
  std::vector<double> dec;
  std::vector<char> positive;
  for (int i = 0; i < 50; i++) {
    dec.push_back(2 * std::sin(0.7 * i));
    positive.push_back(dec.back() + 0.8 * std::cos(1.3 * i) > 0);
  }
  const ksvm::Sigmoid s = ksvm::fit_sigmoid(dec, positive);
  EXPECT_NEAR(s.A, -1.87966540055, 1e-5);
  EXPECT_NEAR(s.B, 0.334413880334, 1e-5);
  // Far out on either side the value saturates instead of overflowing.
  EXPECT_EQ(ksvm::sigmoid_value(1e6, s), 1.0);
  EXPECT_EQ(ksvm::sigmoid_value(-1e6, s), 0.0);
}

// Coupling pairwise probabilities: the minimum of p'Qp over sum p = 1, as a
// linear solve of its optimality conditions (numpy) gives it.
TEST(SvmSelect, CouplingMatchesReference) {
  struct Case {
    int k;
    std::vector<double> upper;  // r[i][j] for i < j, row by row
    std::vector<double> p;
  };
  const Case cases[] = {{3, {0.7, 0.1, 0.6}, {0.202129309008, 0.340637759057, 0.457232931934}},
                        {4,
                         {0.9, 0.8, 0.6, 0.3, 0.5, 0.7},
                         {0.509876015391, 0.100498788656, 0.198973920479, 0.190651275474}},
                        {4,
                         {0.2, 0.95, 0.5, 0.99, 0.5, 0.5},
                         {0.200266543023, 0.463751024793, 0.054420219999, 0.281562212185}},
                        {2, {0.8}, {0.8, 0.2}}};
  for (const Case& c : cases) {
    const size_t k = static_cast<size_t>(c.k);
    std::vector<double> r(k * k, 0.0);
    size_t u = 0;
    for (size_t i = 0; i < k; i++)
      for (size_t j = i + 1; j < k; j++, u++) {
        r[i * k + j] = c.upper[u];
        r[j * k + i] = 1 - c.upper[u];
      }
    std::vector<double> p(k);
    ksvm::couple(c.k, r, p.data(), 1e-12);
    for (size_t t = 0; t < k; t++)
      EXPECT_NEAR(p[t], c.p[t], 1e-9) << "k " << c.k << " class " << t;
  }
}

// Models trained with probabilities: each row's probabilities lie in [0, 1]
// and sum to 1, the label is the most probable class, and they agree with
// the decision values' votes on nearly every row.
TEST(SvmSelect, ProbabilitiesOfTrainedModels) {
  for (const char* set : {"iris", "wine", "breast_cancer"}) {
    SCOPED_TRACE(set);
    const Dataset data = bundled(set);
    Params prm = rbf(data, ksvm::kCSVC);
    prm.probability = true;
    const ksvm::Model m = ksvm::train(data, prm);
    ASSERT_EQ(m.probA.size(), m.rho.size());
    std::vector<double> labels;
    const std::vector<double> prob = ksvm::predict_probability(m, data, &labels);
    const size_t k = static_cast<size_t>(m.nr_class);
    ASSERT_EQ(prob.size(), k * static_cast<size_t>(data.n));
    const std::vector<double> voted = ksvm::predict(m, data);
    int agree = 0;
    for (size_t i = 0; i < static_cast<size_t>(data.n); i++) {
      const double* p = &prob[i * k];
      double sum = 0;
      for (size_t t = 0; t < k; t++) {
        EXPECT_TRUE(p[t] >= 0 && p[t] <= 1) << p[t];
        sum += p[t];
      }
      EXPECT_NEAR(sum, 1, 1e-12) << "row " << i;
      EXPECT_EQ(labels[i], m.label[static_cast<size_t>(std::max_element(p, p + k) - p)]);
      agree += labels[i] == voted[i];
    }
    EXPECT_GE(agree, data.n * 97 / 100);
  }
}

// The grid's warm-started points score as cross-validation at the same C
// and gamma does, give or take the rows a slightly different solution
// turns round; the best point is the highest of them.
TEST(SvmSelect, GridPointsAgreeWithCrossValidation) {
  struct Case {
    const char* set;
    int task;
  };
  for (const Case& c : {Case{"wine", ksvm::kCSVC}, Case{"diabetes", ksvm::kEpsilonSVR}}) {
    SCOPED_TRACE(c.set);
    const Dataset data = bundled(c.set);
    Params prm = rbf(data, c.task);
    prm.p = 20;
    ksvm::GridOptions opt;
    opt.log2c = {3, -1, 1};
    opt.log2g = {-2, -5};
    opt.folds = 4;
    opt.seed = 7;
    std::vector<ksvm::GridPoint> seen;
    opt.on_point = [&](const ksvm::GridPoint& p) { seen.push_back(p); };
    const ksvm::GridResult g = ksvm::grid_search(data, prm, opt);
    ASSERT_EQ(g.points.size(), 6u);
    ASSERT_EQ(seen.size(), 6u);
    for (size_t i = 0; i < g.points.size(); i++) {
      const ksvm::GridPoint& p = g.points[i];
      EXPECT_EQ(p.log2c, (std::vector<double>{-1, 1, 3})[i % 3]);
      EXPECT_EQ(p.log2g, opt.log2g[i / 3]);
      EXPECT_EQ(seen[i].score.correct, p.score.correct);
      Params q = prm;
      q.C = p.C;
      q.kernel.gamma = p.gamma;
      const ksvm::CrossValidation cv = ksvm::cross_validate(data, q, opt.folds, opt.seed);
      if (c.task == ksvm::kCSVC)
        EXPECT_NEAR(p.score.correct, cv.score.correct, 2) << p.log2c << " " << p.log2g;
      else
        EXPECT_NEAR(p.score.mean_squared_error, cv.score.mean_squared_error,
                    1e-3 * cv.score.mean_squared_error);
      const ksvm::Score& best = g.points[g.best].score;
      if (c.task == ksvm::kCSVC)
        EXPECT_GE(best.correct, p.score.correct);
      else
        EXPECT_LE(best.mean_squared_error, p.score.mean_squared_error);
    }
    // Folds side by side on several threads give the very same predictions.
    Params many = prm;
    many.threads = 3;
    const ksvm::GridResult side = ksvm::grid_search(data, many, opt);
    for (size_t i = 0; i < g.points.size(); i++) {
      EXPECT_EQ(side.points[i].score.correct, g.points[i].score.correct);
      EXPECT_EQ(side.points[i].score.mean_squared_error, g.points[i].score.mean_squared_error);
    }
    EXPECT_EQ(ksvm::cross_validate(data, many, opt.folds, opt.seed).predicted,
              ksvm::cross_validate(data, prm, opt.folds, opt.seed).predicted);
    // So do folds that share a budget too small for all their caches (the
    // regression folds here, of 2 x 331 rows).
    Params small = prm;
    small.cache_mb = many.cache_mb = 1.6;
    if (c.task == ksvm::kEpsilonSVR) {
      ASSERT_EQ(ksvm::side_by_side(1.6, 3, 4, 2.0 * data.n * 3 / 4), 1.6 / 3);
    }
    EXPECT_EQ(ksvm::cross_validate(data, many, opt.folds, opt.seed).predicted,
              ksvm::cross_validate(data, small, opt.folds, opt.seed).predicted);
    // Row weights follow their rows into the folds: a fold's predictions are
    // those of a model trained on the other folds' rows with their weights,
    // and the grid's point scores the same.
    Params w = prm;
    w.C = 1;
    w.kernel.gamma = 0.125;
    for (int i = 0; i < data.n; i++)
      w.row_weight.push_back(1 + i % 3);
    const ksvm::CrossValidation wcv = ksvm::cross_validate(data, w, opt.folds, opt.seed);
    std::vector<int> in, out;
    for (int i = 0; i < data.n; i++)
      (wcv.fold[static_cast<size_t>(i)] == 0 ? out : in).push_back(i);
    Params f = w;
    f.row_weight.clear();
    for (int i : in)
      f.row_weight.push_back(w.row_weight[static_cast<size_t>(i)]);
    const std::vector<double> pred =
        ksvm::predict(ksvm::train(ksvm::select_rows(data, in), f), ksvm::select_rows(data, out));
    for (size_t t = 0; t < out.size(); t++)
      EXPECT_EQ(pred[t], wcv.predicted[static_cast<size_t>(out[t])]);
    opt.log2c = {0};
    opt.log2g = {-3};
    const ksvm::Score one = ksvm::grid_search(data, w, opt).points.at(0).score;
    EXPECT_NEAR(one.correct, wcv.score.correct, 1);
    EXPECT_NEAR(one.mean_squared_error, wcv.score.mean_squared_error,
                1e-6 * wcv.score.mean_squared_error);
  }
}

}  // namespace
