// Training through the solver: known small solutions, the label order of the
// model, optimality rechecked in double from the model alone, the cache
// budget and the data generator.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dataset.h"
#include "generate.h"
#include "support.h"
#include "train.h"

namespace {

using ksvm::Dataset;
using ksvm::TrainOptions;
using ksvm::TrainResult;

Dataset parse(const std::string& text) {
  return ksvm::parse_text(text.data(), text.data() + text.size(), "t", 1, ksvm::ReadOptions());
}

TrainOptions quiet(int type, double C) {
  TrainOptions o;
  o.kernel.type = type;
  o.C = C;
  o.trace_level = 0;
  return o;
}

std::string generated(const ksvm::GenerateOptions& opt) {
  std::FILE* f = std::tmpfile();
  ksvm::generate(opt, f);
  std::string text(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  size_t got = std::fread(&text[0], 1, text.size(), f);
  std::fclose(f);
  text.resize(got);
  return text;
}

TEST(SvmTrain, TwoPointsLinearFreeAndBounded) {
  // y = +1 at 1, y = -1 at -1.  Free: alpha = 1/2 each, w = 2a - 2a^2 = 1/2,
  // f(z) = z.  With C = 1/4 both sit at C: w = 1/2 - 1/8.
  Dataset d = parse("1 1:1\n-1 1:-1\n");
  TrainResult r = ksvm::train(d, quiet(ksvm::kLinear, 10));
  EXPECT_NEAR(r.objective, 0.5, 1e-12);
  EXPECT_NEAR(r.bias, 0, 1e-12);
  EXPECT_EQ(r.support_vectors, 2);
  EXPECT_EQ(r.bounded, 0);
  EXPECT_EQ(r.correct, 2);
  ASSERT_EQ(r.model.sv.n, 2);
  EXPECT_NEAR(r.model.sv.head[0], 0.5, 1e-12);
  EXPECT_NEAR(r.model.sv.head[1], -0.5, 1e-12);
  EXPECT_EQ(r.model.sv.x, (std::vector<double>{1, -1}));

  TrainResult b = ksvm::train(d, quiet(ksvm::kLinear, 0.25));
  EXPECT_NEAR(b.objective, 0.375, 1e-12);
  EXPECT_EQ(b.bounded, 2);
  EXPECT_EQ(b.model.sv.head, (std::vector<double>{0.25, -0.25}));
  EXPECT_GT(b.kernel_evals, 0);
}

TEST(SvmTrain, ModelLabelOrderAndSupportVectorGroups) {
  // -1 before +1 is written as "label 1 -1"; any other pair keeps the order
  // met.  Support vectors of label[0] come first; coefficients of label[0]
  // are positive, and the model classifies its own separable data.
  struct Case {
    const char* text;
    double first, second;
  };
  const Case cases[] = {
      {"-1 1:-1\n1 1:1\n-1 1:-2\n1 1:2.5\n", 1, -1},
      {"1 1:1\n-1 1:-1\n-1 1:-2\n1 1:2.5\n", 1, -1},
      {"2 1:-1\n1 1:1\n2 1:-2\n1 1:2.5\n", 2, 1},
      {"0 1:-1\n1 1:1\n0 1:-2\n1 1:2.5\n", 0, 1},
  };
  for (const Case& c : cases) {
    Dataset d = parse(c.text);
    TrainResult r = ksvm::train(d, quiet(ksvm::kLinear, 10));
    ksvm::Model& m = r.model;
    EXPECT_EQ(m.label[0], c.first) << c.text;
    EXPECT_EQ(m.label[1], c.second) << c.text;
    ASSERT_EQ(m.nr_sv[0] + m.nr_sv[1], m.sv.n);
    for (int i = 0; i < m.sv.n; i++)
      EXPECT_EQ(m.sv.head[i] > 0, i < m.nr_sv[0]) << c.text << " sv " << i;
    EXPECT_EQ(r.correct, 4) << c.text;
    EXPECT_EQ(ksvm::predict(m, d, "t"), d.head) << c.text;
  }
}

// Optimality from the model alone, in double: the gradient gap of the dual
// with coefficients a_i (0 for non-support vectors) must be below the
// tolerance, the objective must match, and the bias must sit between the
// gradient extremes.
void check_optimal(const Dataset& d, const TrainOptions& o, const TrainResult& r) {
  const ksvm::Model& m = r.model;
  std::vector<double> coef(static_cast<size_t>(d.n), 0.0);
  // Support vectors are written in training order within each label.
  int next[2] = {0, m.nr_sv[0]};
  for (int i = 0; i < d.n; i++) {
    int group = d.head[i] == m.label[0] ? 0 : 1;
    int j = next[group];
    if (j < (group == 0 ? m.nr_sv[0] : m.sv.n) &&
        std::equal(d.row(i), d.row(i) + d.d, m.sv.row(j))) {
      coef[i] = m.sv.head[j];
      next[group]++;
    }
  }
  ASSERT_EQ(next[0], m.nr_sv[0]);
  ASSERT_EQ(next[1], m.sv.n);

  double g_high = o.bias ? -1e300 : 0, g_low = o.bias ? 1e300 : 0, w = 0;
  for (int i = 0; i < d.n; i++) {
    double y = d.head[i] == m.label[0] ? 1 : -1;
    double f = 0;
    for (int j = 0; j < d.n; j++)
      if (coef[j] != 0)
        f +=
            coef[j] * ksvm::kernel_value(o.kernel, d.row(j), d.norm2[j], d.row(i), d.norm2[i], d.d);
    double g = y - f, lo = std::fmin(0.0, o.C * y), hi = std::fmax(0.0, o.C * y);
    if (coef[i] < hi)
      g_high = std::fmax(g_high, g);
    if (coef[i] > lo)
      g_low = std::fmin(g_low, g);
    w += coef[i] * (y - 0.5 * f);
  }
  EXPECT_LT(g_high - g_low, o.eps);
  // The solver's w comes from single-precision cached kernel rows.
  EXPECT_NEAR(w, r.objective, 1e-7 * std::fabs(w));
  if (o.bias) {
    EXPECT_LE(-m.rho, g_high + 1e-12);
    EXPECT_GE(-m.rho, g_low - 1e-12);
  } else {
    EXPECT_EQ(m.rho, 0);
    EXPECT_EQ(r.bias, 0);
  }
}

TEST(SvmTrain, SolutionsOptimalForEachKernelWithAndWithoutBias) {
  ksvm::GenerateOptions g;
  g.n = 300;
  g.d = 3;
  g.kind = "rings";
  Dataset d = parse(generated(g));
  for (int type = 0; type < 3; type++) {
    for (bool bias : {true, false}) {
      TrainOptions o = quiet(type, 2);
      o.bias = bias;
      o.kernel.gamma = 0.5;
      o.kernel.coef0 = 1;
      o.kernel.degree = 2;
      TrainResult r = ksvm::train(d, o);
      SCOPED_TRACE("type " + std::to_string(type) + (bias ? " bias" : " no bias"));
      check_optimal(d, o, r);
      EXPECT_EQ(r.support_vectors, r.model.sv.n);
      int at_c = 0;
      for (double c : r.model.sv.head)
        at_c += std::fabs(c) >= o.C;
      EXPECT_EQ(r.bounded, at_c);
      std::vector<double> p = ksvm::predict(r.model, d, "t");
      int correct = 0;
      for (int i = 0; i < d.n; i++)
        correct += p[i] == d.head[i];
      EXPECT_EQ(correct, r.correct);
    }
  }
}

TEST(SvmTrain, PredictWidensTheNarrowerSide) {
  // Trained on one feature; the test rows carry a second one that the RBF
  // distance must include.
  Dataset train = parse("1 1:1\n-1 1:-1\n");
  TrainOptions o = quiet(ksvm::kRbf, 10);
  o.kernel.gamma = 1;
  ksvm::Model m = ksvm::train(train, o).model;
  Dataset test = parse("1 1:0.2 2:3\n");
  double want = -m.rho;
  for (int j = 0; j < 2; j++) {
    double dx = m.sv.x[j] - 0.2;
    want += m.sv.head[j] * std::exp(-(dx * dx + 9));
  }
  std::vector<double> p = ksvm::predict(m, test, "t");
  EXPECT_EQ(m.sv.d, 2);
  EXPECT_EQ(p[0], want > 0 ? m.label[0] : m.label[1]);
  EXPECT_NEAR(ksvm::decision_value(m, test.row(0), test.norm2[0]), want, 1e-15);

  // Test rows with no features at all are the origin once widened.
  Dataset bare = parse("1\n-1\n");
  ASSERT_EQ(bare.d, 0);
  double at_origin = -m.rho;
  for (int j = 0; j < 2; j++)
    at_origin += m.sv.head[j] * std::exp(-m.sv.x[2 * j] * m.sv.x[2 * j]);
  const double label = at_origin > 0 ? m.label[0] : m.label[1];
  EXPECT_EQ(ksvm::predict(m, bare, "t"), (std::vector<double>{label, label}));
  EXPECT_EQ(bare.x, (std::vector<double>(4, 0.0)));
}

TEST(SvmTrain, CacheBudgetClampsInsteadOfWrapping) {
  EXPECT_EQ(ksvm::cache_budget(100), 104857600L);
  EXPECT_EQ(ksvm::cache_budget(0.5), 524288L);
  EXPECT_EQ(ksvm::cache_budget(1e30), LONG_MAX);
  EXPECT_EQ(ksvm::cache_budget(HUGE_VAL), LONG_MAX);
  // 2048 MB is 2^31 bytes: one past a 32-bit long.
  if (sizeof(long) == 4) {
    EXPECT_EQ(ksvm::cache_budget(2048), LONG_MAX);
    EXPECT_EQ(ksvm::cache_budget(4096), LONG_MAX);
    EXPECT_EQ(ksvm::cache_budget(2047), 2146435072L);
  } else {
    EXPECT_EQ(ksvm::cache_budget(4096), 4294967296L);
  }
}

std::uint64_t fnv1a(const std::string& s) {
  std::uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : s)
    h = (h ^ c) * 1099511628211ULL;
  return h;
}

TEST(SvmGenerate, SameBytesEverywhereAndSensibleContent) {
  ksvm::GenerateOptions clouds;
  clouds.n = 2000;
  ksvm::GenerateOptions rings = clouds;
  rings.kind = "rings";
  rings.d = 4;
  rings.seed = 7;
  rings.noise = 0;
  const std::string a = generated(clouds), b = generated(rings);
  // Recorded once; a change means data sets made elsewhere differ.
  EXPECT_EQ(fnv1a(a), 15604477464724749074ULL) << "clouds";
  EXPECT_EQ(fnv1a(b), 7827555191604424752ULL) << "rings";
  EXPECT_EQ(generated(clouds), a);
  ksvm::GenerateOptions other = clouds;
  other.seed = 2;
  EXPECT_NE(generated(other), a);

  Dataset dc = parse(a), dr = parse(b);
  EXPECT_EQ(dc.n, 2000);
  EXPECT_EQ(dc.d, 10);
  EXPECT_EQ(dr.d, 4);
  for (const Dataset* d : {&dc, &dr}) {
    int pos = 0;
    for (double y : d->head)
      pos += y == 1;
    EXPECT_GT(pos, 850);
    EXPECT_LT(pos, 1150);
  }
  // Clouds: centres at +-0.5 on 10 axes, 10% of labels flipped, so the
  // feature sums average +-(0.9 - 0.1) * 5 per label; rings without noise:
  // +1 exactly inside radius^2 = d - 2/3.
  double sum[2] = {0, 0};
  int count[2] = {0, 0};
  for (int i = 0; i < dc.n; i++) {
    int c = dc.head[i] == 1 ? 0 : 1;
    for (int k = 0; k < dc.d; k++)
      sum[c] += dc.row(i)[k];
    count[c]++;
  }
  EXPECT_NEAR(sum[0] / count[0], 4, 0.4);
  EXPECT_NEAR(sum[1] / count[1], -4, 0.4);
  for (int i = 0; i < dr.n; i++)
    EXPECT_EQ(dr.head[i] == 1, dr.norm2[i] < 4 - 2.0 / 3 + 1e-4) << "row " << i;
}

}  // namespace
