// Kernel values against their textbook formulas, and the model file: exact
// round trips and a clear message for every model that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dataset.h"
#include "kernel.h"
#include "support.h"
#include "text.h"

namespace {

using ksvm::KernelParams;
using ksvm_test::failure_of;
using ksvm_test::kept;
using ksvm_test::ScratchFile;

TEST(SvmKernel, DotAndPowerMatchPlainArithmetic) {
  std::vector<double> a, b;
  for (int k = 0; k < 11; k++) {
    a.push_back(0.1 * (k + 1) - 0.37);
    b.push_back(1.0 / (k + 2));
  }
  for (int d = 0; d <= 11; d++) {
    double plain = 0;
    for (int k = 0; k < d; k++)
      plain += a[k] * b[k];
    EXPECT_NEAR(ksvm::dot(a.data(), b.data(), d), plain, 1e-15) << "d=" << d;
  }
  for (int e = 0; e <= 9; e++)
    EXPECT_DOUBLE_EQ(ksvm::power(-1.3, e), std::pow(-1.3, e)) << "e=" << e;
}

TEST(SvmKernel, ValuesAndCallbacksMatchTheFormulas) {
  // Rows of 5 entries: the tail beyond the four-wide sums counts too.
  const std::vector<double> x = {0.5, -1, 2, 0.25, 3, 1, 1, -1, 0, -0.5};
  const double* a = x.data();
  const double* b = x.data() + 5;
  double ab = 0, dist2 = 0, na = 0, nb = 0;
  for (int k = 0; k < 5; k++) {
    ab += a[k] * b[k];
    dist2 += (a[k] - b[k]) * (a[k] - b[k]);
    na += a[k] * a[k];
    nb += b[k] * b[k];
  }
  const std::vector<double> norm2 = {na, nb};

  KernelParams p;
  p.gamma = 0.3;
  p.coef0 = 1.5;
  p.degree = 3;
  const double want[3] = {ab, std::pow(0.3 * ab + 1.5, 3), std::exp(-0.3 * dist2)};
  for (int type = 0; type < 3; type++) {
    p.type = type;
    EXPECT_NEAR(ksvm::kernel_value(p, a, na, b, nb, 5), want[type], 1e-13) << "type " << type;

    ksvm::KernelData kd;
    kd.x = x.data();
    kd.norm2 = norm2.data();
    kd.d = 5;
    kd.p = p;
    ksvm::KernelFn f = ksvm::kernel_callback(5);
    // In single precision, as the solver keeps it.
    EXPECT_EQ(f(0, 1, &kd), kept(ksvm::kernel_value(p, a, na, b, nb, 5)));
    EXPECT_EQ(f(1, 0, &kd), f(0, 1, &kd));
    EXPECT_EQ(kd.evaluations(), 3);
    // The general callback (width not known in advance) agrees bit for bit.
    EXPECT_EQ(ksvm::kernel_callback(0)(0, 1, &kd), f(0, 1, &kd));
  }
  p.type = ksvm::kRbf;
  EXPECT_EQ(ksvm::kernel_value(p, a, na, a, na, 5), 1.0);  // distance exactly 0
}

// The kernel's own e^x stays within one unit in the last place of the
// library's, across the range an RBF kernel uses and at the edges.
TEST(SvmKernel, FastExpAgreesWithTheLibrary) {
  int off = 0;
  for (int i = 0; i <= 200000; i++) {
    const double x = -0.0037 * i + 1e-3 * std::sin(i);  // 0 down to about -740
    const double want = std::exp(x), got = ksvm::exp_fast(x);
    const double ulp = std::nextafter(want, INFINITY) - want;
    ASSERT_LE(std::fabs(got - want), ulp) << "x = " << x;
    off += got != want;
  }
  EXPECT_LT(off, 200000 / 4);  // mostly the very same double
  EXPECT_EQ(ksvm::exp_fast(0.0), 1.0);
  EXPECT_EQ(ksvm::exp_fast(-1000.0), 0.0);
  EXPECT_EQ(ksvm::exp_fast(-INFINITY), 0.0);
  EXPECT_TRUE(std::isnan(ksvm::exp_fast(NAN)));
  EXPECT_EQ(ksvm::exp_fast(1.0), std::exp(1.0));
}

// The callbacks made for each width give exactly the values of the general
// callback and of kernel_value, on both sides of the widths that get one.
TEST(SvmKernel, WidthSpecificCallbacksGiveTheSameBits) {
  for (int d = 1; d <= 40; d++) {
    std::vector<double> x(static_cast<size_t>(3 * d)), norm2(3, 0.0);
    for (size_t i = 0; i < x.size(); i++)
      x[i] = std::sin(1.7 * static_cast<double>(i) + d) * (1 + static_cast<double>(i % 5));
    for (int r = 0; r < 3; r++)
      for (int k = 0; k < d; k++)
        norm2[static_cast<size_t>(r)] +=
            x[static_cast<size_t>(r * d + k)] * x[static_cast<size_t>(r * d + k)];
    for (int type = 0; type < 3; type++) {
      ksvm::KernelData kd;
      kd.x = x.data();
      kd.norm2 = norm2.data();
      kd.d = d;
      kd.p.type = type;
      kd.p.gamma = 0.07;
      kd.p.coef0 = 0.5;
      kd.p.degree = 2;
      ksvm::KernelFn fixed = ksvm::kernel_callback(d);
      ksvm::KernelFn general = ksvm::kernel_callback(0);
      for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) {
          double v = fixed(a, b, &kd);
          EXPECT_EQ(v, general(a, b, &kd)) << "d " << d << " type " << type;
          EXPECT_EQ(v,
                    kept(ksvm::kernel_value(kd.p, x.data() + a * d, norm2[static_cast<size_t>(a)],
                                            x.data() + b * d, norm2[static_cast<size_t>(b)], d)));
        }
      EXPECT_EQ(kd.evaluations(), 18);
    }
  }
}

// A model with awkward numbers everywhere: they must come back bit for bit.
ksvm::Model awkward_model(int type, int task = ksvm::kCSVC, int classes = 2) {
  ksvm::Model m;
  m.task = task;
  m.kernel.type = type;
  m.kernel.degree = 4;
  m.kernel.gamma = 1.0 / 3;
  m.kernel.coef0 = -0.1;
  m.nr_class = classes;
  const std::vector<double> x = {0.1, 0, 1e-300, -5, 0, 0, 0, 0, 3.0 / 11, 2, 0, 1};
  const std::vector<double> serials = {3, 1, 2};
  const std::vector<double> head = {1, 1, 1};
  m.sv = type == ksvm::kPrecomputed ? ksvm::dataset_from_dense(3, 1, serials.data(), head.data())
                                    : ksvm::dataset_from_dense(3, 4, x.data(), head.data());
  m.rho = {-2.0 / 7};
  m.coef = {{1.0 / 3, 2.5e-17, -0.7}};
  if (task == ksvm::kCSVC) {
    m.label = {7, 0.5};
    m.nr_sv = {2, 1};
  }
  if (classes == 3) {
    m.label.push_back(-1);
    m.nr_sv = {1, 1, 1};
    m.rho = {0.25, 1e-20, -3};
    m.coef.push_back({0, 0.125, 1.0 / 7});
    m.probA = {1, 2, 3.5};
    m.probB = {-1, 0, 1e300};
  }
  return m;
}

TEST(SvmModel, RoundTripIsExactForEveryTaskAndKernel) {
  struct Case {
    int task, classes;
  };
  for (const Case c : {Case{ksvm::kCSVC, 2}, Case{ksvm::kCSVC, 3}, Case{ksvm::kOneClass, 2},
                       Case{ksvm::kEpsilonSVR, 2}})
    for (int type = 0; type <= ksvm::kPrecomputed; type++) {
      SCOPED_TRACE("task " + std::to_string(c.task) + " classes " + std::to_string(c.classes) +
                   " kernel " + std::to_string(type));
      ScratchFile file("round.model");
      ksvm::Model m = awkward_model(type, c.task, c.classes);
      ksvm::write_model(file.path(), m);
      ksvm::Model r = ksvm::read_model(file.path());
      EXPECT_EQ(r.task, c.task);
      EXPECT_EQ(r.kernel.type, type);
      if (type != ksvm::kLinear && type != ksvm::kPrecomputed) {
        EXPECT_EQ(r.kernel.gamma, m.kernel.gamma);
      }
      if (type == ksvm::kPolynomial) {
        EXPECT_EQ(r.kernel.degree, 4);
      }
      if (type == ksvm::kPolynomial || type == ksvm::kSigmoid) {
        EXPECT_EQ(r.kernel.coef0, m.kernel.coef0);
      }
      EXPECT_EQ(r.nr_class, c.classes);
      EXPECT_EQ(r.label, m.label);
      EXPECT_EQ(r.nr_sv, m.nr_sv);
      EXPECT_EQ(r.rho, m.rho);
      EXPECT_EQ(r.coef, m.coef);
      EXPECT_EQ(r.probA, m.probA);
      EXPECT_EQ(r.probB, m.probB);
      ASSERT_EQ(r.sv.n, 3);
      for (int i = 0; i < 3; i++)
        for (int k = 0; k < 4; k++)
          EXPECT_EQ(r.sv.at(i, k), m.sv.at(i, k)) << i << " " << k;
      EXPECT_EQ(r.sv.norm2, m.sv.norm2);
      // Written again, the same bytes.
      ScratchFile again("again.model");
      ksvm::write_model(again.path(), r);
      EXPECT_EQ(again.text(), file.text());
    }
}

TEST(SvmModel, TextLayout) {
  ScratchFile file("layout.model");
  ksvm::write_model(file.path(), awkward_model(ksvm::kPolynomial));
  EXPECT_EQ(file.text(),
            "svm_type c_svc\n"
            "kernel_type polynomial\n"
            "degree 4\n"
            "gamma 0.33333333333333331\n"
            "coef0 -0.10000000000000001\n"
            "nr_class 2\n"
            "total_sv 3\n"
            "rho -0.2857142857142857\n"
            "label 7 0.5\n"
            "nr_sv 2 1\n"
            "SV\n"
            "0.33333333333333331 1:0.1 3:1e-300 4:-5\n"
            "2.4999999999999999e-17\n"
            "-0.69999999999999996 1:0.2727272727272727 2:2 4:1\n");
  ksvm::write_model(file.path(), awkward_model(ksvm::kLinear));
  std::string linear = file.text();
  EXPECT_EQ(linear.find("gamma"), std::string::npos);
  EXPECT_EQ(linear.find("degree"), std::string::npos);
  EXPECT_EQ(linear.substr(0, 34), "svm_type c_svc\nkernel_type linear\n");
  // Three classes, a precomputed kernel, probability figures.
  ksvm::write_model(file.path(), awkward_model(ksvm::kPrecomputed, ksvm::kCSVC, 3));
  EXPECT_EQ(file.text(),
            "svm_type c_svc\n"
            "kernel_type precomputed\n"
            "nr_class 3\n"
            "total_sv 3\n"
            "rho 0.25 9.9999999999999995e-21 -3\n"
            "label 7 0.5 -1\n"
            "probA 1 2 3.5\n"
            "probB -1 0 1.0000000000000001e+300\n"
            "nr_sv 1 1 1\n"
            "SV\n"
            "0.33333333333333331 0 0:3\n"
            "2.4999999999999999e-17 0.125 0:1\n"
            "-0.69999999999999996 0.14285714285714285 0:2\n");
}

TEST(SvmModel, WrittenWholeOrNotAtAll) {
  // The model replaces an older file in one step and leaves nothing else
  // in the directory; an inconsistent model writes nothing at all.
  const std::string dir = testing::TempDir() + "ksvm_whole";
  ASSERT_EQ(system(("rm -rf '" + dir + "' && mkdir '" + dir + "'").c_str()), 0);
  const std::string path = dir + "/m.model";
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("old\n", f);
    std::fclose(f);
  }
  ksvm::Model bad = awkward_model(ksvm::kRbf);
  bad.coef[0].pop_back();
  EXPECT_EQ(failure_of([&] { ksvm::write_model(path, bad); }),
            "not a usable model: a row of 2 coefficients for 3 support vectors");
  EXPECT_EQ(ksvm::read_file(path), "old\n");
  ksvm::write_model(path, awkward_model(ksvm::kRbf));
  EXPECT_EQ(ksvm::read_model(path).sv.n, 3);
  std::FILE* ls = popen(("ls -a '" + dir + "'").c_str(), "r");
  char buf[256];
  std::string names;
  while (std::fgets(buf, sizeof buf, ls))
    names += buf;
  pclose(ls);
  EXPECT_EQ(names, ".\n..\nm.model\n");
  EXPECT_EQ(failure_of([&] { ksvm::write_model(dir + "/no/m.model", awkward_model(ksvm::kRbf)); }),
            "cannot write '" + dir + "/no/m.model': No such file or directory");
  system(("rm -rf '" + dir + "'").c_str());
}

TEST(SvmModel, DecisionValuesSumCoefficientsTimesKernelMinusRho) {
  // Two classes: one value per row; three: one per pair, each summing the
  // two classes' vectors with the coefficient row of the other class.
  const double z[4] = {1, 2, 3, 4}, head = 0;
  const ksvm::Dataset zd = ksvm::dataset_from_dense(1, 4, z, &head);
  ksvm::Model m = awkward_model(ksvm::kLinear);
  double want = -m.rho[0];
  for (int i = 0; i < 3; i++)
    want += m.coef[0][i] * ksvm::kernel_value(m.kernel, m.sv, i, zd, 0);
  EXPECT_DOUBLE_EQ(ksvm::decision_values(m, zd)[0], want);

  m = awkward_model(ksvm::kLinear, ksvm::kCSVC, 3);
  double k[3];
  for (int i = 0; i < 3; i++)
    k[i] = ksvm::kernel_value(m.kernel, m.sv, i, zd, 0);
  const std::vector<double> dec = ksvm::decision_values(m, zd);
  ASSERT_EQ(dec.size(), 3u);
  EXPECT_EQ(dec[0], m.coef[0][0] * k[0] + m.coef[0][1] * k[1] - m.rho[0]);
  EXPECT_EQ(dec[1], m.coef[1][0] * k[0] + m.coef[0][2] * k[2] - m.rho[1]);
  EXPECT_EQ(dec[2], m.coef[1][1] * k[1] + m.coef[1][2] * k[2] - m.rho[2]);
  // Votes: pair (0,1) +, (0,2) -, (1,2) +: one vote each, the first class
  // wins; with (1,2) - the third.
  const std::vector<double> sum = {dec[0] + m.rho[0], dec[1] + m.rho[1], dec[2] + m.rho[2]};
  m.rho = {sum[0] - 1, sum[1] + 1, sum[2] - 1};
  EXPECT_EQ(ksvm::predict(m, zd), (std::vector<double>{7}));
  m.rho[2] = sum[2] + 1;
  EXPECT_EQ(ksvm::predict(m, zd), (std::vector<double>{-1}));
  // One-class: a decision value of exactly 0 is outside.
  m.task = ksvm::kOneClass;
  m.nr_class = 2;
  m.coef.pop_back();
  m.rho = {sum[0]};
  m.label.clear();
  m.nr_sv.clear();
  EXPECT_EQ(ksvm::predict(m, zd), (std::vector<double>{-1}));
}

TEST(SvmModel, UnusableModelsNamed) {
  const std::string head =
      "svm_type c_svc\nkernel_type rbf\ngamma 0.5\nnr_class 2\ntotal_sv 2\nrho 0.1\n"
      "label 1 -1\nnr_sv 1 1\nSV\n";
  struct Case {
    std::string text;
    std::string message;  // after "<path>"
  };
  const std::vector<Case> cases = {
      {"", ": the file is empty, not a model"},
      {"1 1:0.5 2:1\n", ":1: '1' is not a model header line"},
      {"svm_type nu_svc\n",
       ":1: svm_type 'nu_svc' is not supported (c_svc, one_class, epsilon_svr)"},
      {"svm_type c_svc\nkernel_type laplace\n",
       ":2: kernel_type 'laplace' is not supported (linear, polynomial, rbf, sigmoid, "
       "precomputed)"},
      {"svm_type one_class\nkernel_type rbf\nnr_class 3\n",
       ":3: nr_class 3: a one_class model has 2"},
      {"svm_type c_svc\nkernel_type rbf\nnr_class 1\n",
       ":3: nr_class: '1' is not an integer of at least 2"},
      {"svm_type c_svc\nkernel_type rbf\nnr_class 3\nrho 1 2\n", ":4: rho takes 3 values, found 2"},
      {"svm_type c_svc\nkernel_type rbf\ngamma x\n", ":3: gamma: 'x' is not a number"},
      {"svm_type c_svc\nkernel_type rbf\ngamma 1 2\n", ":3: gamma takes 1 value, found 2"},
      {"svm_type c_svc\nkernel_type polynomial\ndegree -2\n",
       ":3: degree: '-2' is not an integer of at least 0"},
      {"svm_type c_svc\nkernel_type rbf\nlabel 1\n", ":3: label takes 2 values, found 1"},
      {"svm_type c_svc\nkernel_type rbf\ngamma 0.5\nnr_class 2\ntotal_sv 1\nlabel 1 -1\nSV\n",
       ": not a usable model: no 'rho' line in the header"},
      {"svm_type c_svc\nkernel_type rbf\nnr_class 2\ntotal_sv 1\nrho 0\nlabel 1 -1\nSV\n",
       ": not a usable model: no 'gamma' line in the header"},
      {"svm_type c_svc\nkernel_type rbf\ngamma 0.5\nnr_class 2\ntotal_sv 1\nrho 0\nlabel 1 -1\n",
       ": not a usable model: no 'SV' line in the header"},
      {"svm_type c_svc\nkernel_type linear\nnr_class 3\ntotal_sv 0\nrho 0 0 0\nlabel 1 2 3\nSV\n",
       ": not a usable model: no 'nr_sv' line in the header"},
      {head + "0.5 1:1\n", ": total_sv is 2 but the file holds 1 support vectors"},
      {head + "0.5 1:1\n-0.5 1:2\n0.1 1:3\n",
       ": total_sv is 2 but the file holds 3 support vectors"},
      {head + "0.5 1:1\nabc 1:2\n", ":11: coefficient 'abc' is not a number"},
      {head + "0.5 2:1 1:1\n-0.5 1:2\n", ":10: feature index 1 after 2: indices must increase"},
      {"svm_type c_svc\nkernel_type linear\nnr_class 3\ntotal_sv 1\nrho 0 0 0\nlabel 1 2 3\n"
       "nr_sv 1 0 0\nSV\n\n0.5 1:1\n",
       ":10: coefficient '1:1' is not a number"},
      {"svm_type c_svc\nkernel_type rbf\ngamma 0.5\nnr_class 2\ntotal_sv 2\nrho 0\n"
       "label 1 -1\nnr_sv 1 2\nSV\n0.5 1:1\n-0.5 1:2\n",
       ": nr_sv 1 + 2 does not match total_sv 2"},
  };
  for (const Case& c : cases) {
    ScratchFile file("bad.model", c.text);
    EXPECT_EQ(failure_of([&] { ksvm::read_model(file.path()); }), file.path() + c.message)
        << c.text;
  }
  ScratchFile good("good.model", head + "0.5 1:1\n-0.5 1:2\n");
  EXPECT_EQ(ksvm::read_model(good.path()).sv.n, 2);
}

}  // namespace
