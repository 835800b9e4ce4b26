// Kernel values against their textbook formulas, and the model file: exact
// round trips and a clear message for every model that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kernel.h"
#include "model.h"
#include "support.h"

namespace {

using ksvm::KernelParams;
using ksvm_test::failure_of;
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
    EXPECT_EQ(f(0, 1, &kd), ksvm::kernel_value(p, a, na, b, nb, 5));
    EXPECT_EQ(f(1, 0, &kd), f(0, 1, &kd));
    EXPECT_EQ(kd.evals, 3);
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
          EXPECT_EQ(v, ksvm::kernel_value(kd.p, x.data() + a * d, norm2[static_cast<size_t>(a)],
                                          x.data() + b * d, norm2[static_cast<size_t>(b)], d));
        }
      EXPECT_EQ(kd.evals, 18);
    }
  }
}

// A model with awkward numbers everywhere: they must come back bit for bit.
ksvm::Model awkward_model(int type) {
  ksvm::Model m;
  m.kernel.type = type;
  m.kernel.degree = 4;
  m.kernel.gamma = 1.0 / 3;
  m.kernel.coef0 = -0.1;
  m.label[0] = 7;
  m.label[1] = 0.5;
  m.rho = -2.0 / 7;
  m.nr_sv[0] = 2;
  m.nr_sv[1] = 1;
  m.sv.n = 3;
  m.sv.d = 4;
  m.sv.x = {0.1, 0, 1e-300, -5, 0, 0, 0, 0, 3.0 / 11, 2, 0, 1};
  m.sv.head = {1.0 / 3, 2.5e-17, -0.7};
  for (int i = 0; i < 3; i++)
    m.sv.norm2.push_back(ksvm::dot(m.sv.row(i), m.sv.row(i), 4));
  return m;
}

TEST(SvmModel, RoundTripIsExact) {
  for (int type = 0; type < 3; type++) {
    ScratchFile file("round.model");
    ksvm::Model m = awkward_model(type);
    ksvm::write_model(file.path(), m);
    ksvm::Model r = ksvm::read_model(file.path());
    EXPECT_EQ(r.kernel.type, type);
    if (type != ksvm::kLinear) {
      EXPECT_EQ(r.kernel.gamma, m.kernel.gamma);
    }
    if (type == ksvm::kPolynomial) {
      EXPECT_EQ(r.kernel.degree, 4);
      EXPECT_EQ(r.kernel.coef0, m.kernel.coef0);
    }
    EXPECT_EQ(r.label[0], 7);
    EXPECT_EQ(r.label[1], 0.5);
    EXPECT_EQ(r.rho, m.rho);
    EXPECT_EQ(r.nr_sv[0], 2);
    EXPECT_EQ(r.nr_sv[1], 1);
    EXPECT_EQ(r.sv.n, 3);
    EXPECT_EQ(r.sv.d, 4);
    EXPECT_EQ(r.sv.x, m.sv.x);
    EXPECT_EQ(r.sv.head, m.sv.head);
    EXPECT_EQ(r.sv.norm2, m.sv.norm2);
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
}

TEST(SvmModel, DecisionValueSumsCoefficientsTimesKernelMinusRho) {
  ksvm::Model m = awkward_model(ksvm::kLinear);
  const double z[4] = {1, 2, 3, 4};
  double want = -m.rho;
  for (int i = 0; i < 3; i++)
    want += m.sv.head[i] * ksvm::dot(m.sv.row(i), z, 4);
  EXPECT_DOUBLE_EQ(ksvm::decision_value(m, z, 30), want);
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
      {"svm_type nu_svc\n", ":1: svm_type 'nu_svc' is not supported (only c_svc)"},
      {"svm_type c_svc\nkernel_type sigmoid\n",
       ":2: kernel_type 'sigmoid' is not supported (linear, polynomial, rbf)"},
      {"svm_type c_svc\nkernel_type rbf\nnr_class 3\n",
       ":3: nr_class 3: only two-class models are supported"},
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
      {head + "0.5 1:1\n", ": total_sv is 2 but the file holds 1 support vectors"},
      {head + "0.5 1:1\n-0.5 1:2\n0.1 1:3\n",
       ": total_sv is 2 but the file holds 3 support vectors"},
      {head + "0.5 1:1\nabc 1:2\n", ":11: coefficient 'abc' is not a number"},
      {head + "0.5 2:1 1:1\n-0.5 1:2\n", ":10: feature index 1 after 2: indices must increase"},
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
