// Probabilities as the common tools estimate them: Platt's sigmoid on
// cross-validated decision values per class pair, pairwise coupling, and the
// Laplace scale of cross-validated regression errors.
#include "probability.h"

#include <algorithm>
#include <cmath>

#include "kernel.h"
#include "model.h"
#include "select.h"
#include "train.h"

namespace ksvm {

Sigmoid fit_sigmoid(const std::vector<double>& dec, const std::vector<char>& positive) {
  const size_t n = dec.size();
  double prior1 = 0, prior0 = 0;
  for (char p : positive)
    (p ? prior1 : prior0) += 1;
  // Platt's targets: the labels pulled in by one example's worth of doubt,
  // so that a separable set does not drive A to infinity.
  const double hi = (prior1 + 1) / (prior1 + 2), lo = 1 / (prior0 + 2);
  const int max_iter = 100;
  const double min_step = 1e-10, sigma = 1e-12, eps = 1e-5;
  Sigmoid s;
  s.B = std::log((prior0 + 1) / (prior1 + 1));
  // -log likelihood at (A, B), each term in the form that cannot overflow.
  auto value = [&](double A, double B) {
    double f = 0;
    for (size_t i = 0; i < n; i++) {
      const double t = positive[i] ? hi : lo;
      const double z = dec[i] * A + B;
      f += z >= 0 ? t * z + std::log(1 + std::exp(-z)) : (t - 1) * z + std::log(1 + std::exp(z));
    }
    return f;
  };
  double fval = value(s.A, s.B);
  for (int iter = 0; iter < max_iter; iter++) {
    // Gradient and Hessian (kept positive definite by sigma).
    double h11 = sigma, h22 = sigma, h21 = 0, g1 = 0, g2 = 0;
    for (size_t i = 0; i < n; i++) {
      const double z = dec[i] * s.A + s.B;
      double p, q;
      if (z >= 0) {
        p = std::exp(-z) / (1.0 + std::exp(-z));
        q = 1.0 / (1.0 + std::exp(-z));
      } else {
        p = 1.0 / (1.0 + std::exp(z));
        q = std::exp(z) / (1.0 + std::exp(z));
      }
      const double d2 = p * q;
      h11 += dec[i] * dec[i] * d2;
      h22 += d2;
      h21 += dec[i] * d2;
      const double d1 = (positive[i] ? hi : lo) - p;
      g1 += dec[i] * d1;
      g2 += d1;
    }
    if (std::fabs(g1) < eps && std::fabs(g2) < eps)
      break;
    // The Newton direction, then backtracking until the decrease is sufficient.
    const double det = h11 * h22 - h21 * h21;
    const double dA = -(h22 * g1 - h21 * g2) / det;
    const double dB = -(-h21 * g1 + h11 * g2) / det;
    const double gd = g1 * dA + g2 * dB;
    double step = 1;
    while (step >= min_step) {
      const double A = s.A + step * dA, B = s.B + step * dB;
      const double f = value(A, B);
      if (f < fval + 0.0001 * step * gd) {
        s.A = A;
        s.B = B;
        fval = f;
        break;
      }
      step /= 2;
    }
    if (step < min_step)  // no step decreases f enough: as close as it gets
      break;
  }
  return s;
}

double sigmoid_value(double f, const Sigmoid& s) {
  const double z = f * s.A + s.B;
  return z >= 0 ? std::exp(-z) / (1.0 + std::exp(-z)) : 1.0 / (1 + std::exp(z));
}

void couple(int k, const std::vector<double>& r, double* p, double tolerance) {
  const size_t K = static_cast<size_t>(k);
  auto R = [&](size_t i, size_t j) { return r[i * K + j]; };
  // Q[t][t] = sum_{j != t} r_jt^2, Q[t][j] = -r_jt r_tj.
  std::vector<double> Q(K * K), Qp(K);
  for (size_t t = 0; t < K; t++) {
    p[t] = 1.0 / k;
    Q[t * K + t] = 0;
    for (size_t j = 0; j < t; j++) {
      Q[t * K + t] += R(j, t) * R(j, t);
      Q[t * K + j] = Q[j * K + t];
    }
    for (size_t j = t + 1; j < K; j++) {
      Q[t * K + t] += R(j, t) * R(j, t);
      Q[t * K + j] = -R(j, t) * R(t, j);
    }
  }
  const int max_iter = std::max(100, k);
  for (int iter = 0; iter < max_iter; iter++) {
    // Qp and p'Qp afresh each round, for accuracy; stop when every (Qp)_t is
    // within the tolerance of p'Qp (the optimality condition).
    double pQp = 0;
    for (size_t t = 0; t < K; t++) {
      Qp[t] = 0;
      for (size_t j = 0; j < K; j++)
        Qp[t] += Q[t * K + j] * p[j];
      pQp += p[t] * Qp[t];
    }
    double max_error = 0;
    for (size_t t = 0; t < K; t++)
      max_error = std::max(max_error, std::fabs(Qp[t] - pQp));
    if (max_error < tolerance)
      break;
    // One coordinate at a time, p renormalised to sum 1 after each.
    for (size_t t = 0; t < K; t++) {
      const double diff = (-Qp[t] + pQp) / Q[t * K + t];
      p[t] += diff;
      pQp = (pQp + diff * (diff * Q[t * K + t] + 2 * Qp[t])) / (1 + diff) / (1 + diff);
      for (size_t j = 0; j < K; j++) {
        Qp[j] = (Qp[j] + diff * Q[t * K + j]) / (1 + diff);
        p[j] /= (1 + diff);
      }
    }
  }
}

Sigmoid pair_sigmoid(const Dataset& data, const Params& prm, const std::vector<int>& ri,
                     const std::vector<int>& rj, double wi, double wj, std::uint64_t seed) {
  const size_t ni = ri.size(), n = ni + rj.size();
  std::vector<int> row(ri);
  row.insert(row.end(), rj.begin(), rj.end());
  std::vector<double> key(n);
  std::vector<char> positive(n);
  for (size_t p = 0; p < n; p++) {
    positive[p] = p < ni;
    key[p] = p < ni ? 1 : -1;
  }
  const int folds = static_cast<int>(std::min<size_t>(5, n));
  const std::vector<int> fold = deal_folds(key, true, folds, seed);
  std::vector<double> dec(n);
  for (int f = 0; f < folds; f++) {
    std::vector<int> ti, tj, test;
    for (size_t p = 0; p < n; p++)
      (fold[p] == f ? test : p < ni ? ti : tj).push_back(static_cast<int>(p));
    // A training part of one class only says that class, as it is coded.
    if (ti.empty() || tj.empty()) {
      for (int p : test)
        dec[static_cast<size_t>(p)] = ti.empty() && tj.empty() ? 0 : ti.empty() ? -1 : 1;
      continue;
    }
    std::vector<int> rows_i, rows_j;
    for (int p : ti)
      rows_i.push_back(row[static_cast<size_t>(p)]);
    for (int p : tj)
      rows_j.push_back(row[static_cast<size_t>(p)]);
    Solve t(data, prm, static_cast<int>(ti.size() + tj.size()), false, 0);
    setup_pair(t, rows_i, rows_j, wi, wj, prm.bias);
    t.set_bound(prm.C);
    SolveReport r;
    t.run(false, r);
    // Each held-out decision value summed in prediction's order.
    for (int p : test) {
      const int z = row[static_cast<size_t>(p)];
      double sum = 0;
      for (int v = 0; v < t.s.n; v++)
        if (t.s.x[v] != 0)
          sum += t.s.x[v] * kernel_value(prm.kernel, data, z, data, t.s.kidx[v]);
      dec[static_cast<size_t>(p)] = sum - r.rho;
    }
  }
  return fit_sigmoid(dec, positive);
}

double laplace_scale(const Dataset& data, const Params& prm) {
  Params q = prm;
  q.probability = false;
  q.progress = nullptr;
  q.trace_level = 0;
  const CrossValidation cv = cross_validate(data, q, 5, prm.seed);
  const size_t n = static_cast<size_t>(data.n);
  std::vector<double> error(n);
  double mae = 0;
  for (size_t i = 0; i < n; i++) {
    error[i] = std::fabs(data.head[i] - cv.predicted[i]);
    mae += error[i];
  }
  mae /= static_cast<double>(n);
  // Errors beyond five standard deviations of the Laplace distribution
  // (sqrt 2 times its scale) are outliers, left out of the final mean.
  const double cut = 5 * std::sqrt(2 * mae * mae);
  double sum = 0;
  size_t kept = 0;
  for (double e : error)
    if (!(e > cut)) {
      sum += e;
      kept++;
    }
  return sum / static_cast<double>(kept);
}

std::vector<double> predict_probability(const Model& m, const Dataset& data,
                                        std::vector<double>* labels, int threads) {
  const size_t k = static_cast<size_t>(m.nr_class), pairs = k * (k - 1) / 2;
  if (m.task != kCSVC)
    throw Failure(m.task == kEpsilonSVR
                      ? "a regression model gives the scale of its errors, not class probabilities"
                      : "one-class models give no probabilities");
  if (m.probA.size() != pairs || m.probB.size() != pairs)
    throw Failure("the model holds no probability figures");
  const std::vector<double> dec = decision_values(m, data, threads);
  const size_t n = static_cast<size_t>(data.n);
  std::vector<double> out(n * k), r(k * k);
  if (labels)
    labels->resize(n);
  // Pairwise probabilities kept off 0 and 1, as the common tools keep them.
  const double min_prob = 1e-7;
  for (size_t row = 0; row < n; row++) {
    double* p = out.data() + row * k;
    size_t q = 0;
    for (size_t i = 0; i < k; i++)
      for (size_t j = i + 1; j < k; j++, q++) {
        const double v = sigmoid_value(dec[row * pairs + q], Sigmoid{m.probA[q], m.probB[q]});
        r[i * k + j] = std::min(std::max(v, min_prob), 1 - min_prob);
        r[j * k + i] = 1 - r[i * k + j];
      }
    if (k == 2) {
      p[0] = r[1];
      p[1] = r[2];
    } else {
      couple(static_cast<int>(k), r, p, 0.005 / static_cast<double>(k));
    }
    if (labels) {
      size_t best = 0;
      for (size_t c = 1; c < k; c++)
        if (p[c] > p[best])
          best = c;
      (*labels)[row] = m.label[best];
    }
  }
  return out;
}

}  // namespace ksvm
