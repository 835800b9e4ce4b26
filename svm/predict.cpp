// Decision values and predictions of a model, as the common predict tool
// computes them: the same sums in the same order, votes over the class pairs
// with ties to the class that comes first.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "feature_columns.h"
#include "kernel.h"
#include "model.h"
#include "pool.h"
#include "train.h"

namespace ksvm {

namespace {

// Rows of one piece of a prediction shared between threads.
const int kRows = 32;

size_t solves(const Model& m) {
  const size_t k = static_cast<size_t>(m.nr_class);
  return m.task == kCSVC ? k * (k - 1) / 2 : 1;
}

// The decision values at one row from its kernel values against the support vectors.
void decide(const Model& m, const std::vector<int>& first, const double* kv, double* out) {
  if (m.task != kCSVC) {
    double sum = 0;
    const double* c = m.coef[0].data();
    for (int s = 0; s < m.sv.n; s++)
      sum += c[s] * kv[s];
    out[0] = sum - m.rho[0];
    return;
  }
  size_t p = 0;
  for (int i = 0; i < m.nr_class; i++)
    for (int j = i + 1; j < m.nr_class; j++, p++) {
      double sum = 0;
      const double* ci = m.coef[static_cast<size_t>(j - 1)].data();
      const double* cj = m.coef[static_cast<size_t>(i)].data();
      for (int s = first[static_cast<size_t>(i)]; s < first[static_cast<size_t>(i) + 1]; s++)
        sum += ci[s] * kv[s];
      for (int s = first[static_cast<size_t>(j)]; s < first[static_cast<size_t>(j) + 1]; s++)
        sum += cj[s] * kv[s];
      out[p] = sum - m.rho[p];
    }
}

}  // namespace

int max_serial(const Model& m) {
  double top = 0;
  for (int s = 0; s < m.sv.n; s++)
    top = std::fmax(top, m.sv.at(s, 0));
  return static_cast<int>(top);
}

std::vector<double> decision_values(const Model& m, const Dataset& data, int threads) {
  check_model(m);
  if (m.kernel.type == kPrecomputed)
    check_precomputed(data, max_serial(m), "the data", false);
  const size_t per = solves(m);
  std::vector<int> first(1, 0);  // where each class's support vectors start
  for (int c : m.nr_sv)
    first.push_back(first.back() + c);
  std::vector<double> out(static_cast<size_t>(data.n) * per);
  // Sparse rows meeting sparse support vectors: the support vectors held by
  // feature as well (as much memory as they take already), once there are
  // rows enough to pay for building that.
  FeatureColumns by_feature;
  const bool summed = m.kernel.type != kPrecomputed && m.sv.sparse && data.sparse && data.n >= 16 &&
                      by_feature.build(m.sv, SIZE_MAX);
  // Rows in pieces of kRows; a piece borrows one of t columns of kernel values.
  const int count = (data.n + kRows - 1) / kRows;
  const int t = std::max(1, std::min(thread_count(threads), count));
  std::vector<std::vector<double>> columns(static_cast<size_t>(t),
                                           std::vector<double>(static_cast<size_t>(m.sv.n)));
  std::vector<double*> free_columns;
  for (std::vector<double>& c : columns)
    free_columns.push_back(c.data());
  std::mutex mutex;
  kaltro::detail::each(count, t, [&](int piece) {
    double* kv;
    {
      std::lock_guard<std::mutex> lock(mutex);
      kv = free_columns.back();
      free_columns.pop_back();
    }
    const int end = std::min(data.n, (piece + 1) * kRows);
    for (int i = piece * kRows; i < end; i++) {
      kernel_column(m.kernel, m.sv, data, i, kv, summed ? &by_feature : nullptr);
      decide(m, first, kv, out.data() + static_cast<size_t>(i) * per);
    }
    std::lock_guard<std::mutex> lock(mutex);
    free_columns.push_back(kv);
  });
  return out;
}

int vote(int k, const double* dec, std::vector<int>& votes) {
  votes.assign(static_cast<size_t>(k), 0);
  for (int i = 0; i < k; i++)
    for (int j = i + 1; j < k; j++)
      votes[static_cast<size_t>(*dec++ > 0 ? i : j)]++;
  size_t best = 0;
  for (size_t c = 1; c < votes.size(); c++)
    if (votes[c] > votes[best])
      best = c;
  return static_cast<int>(best);
}

std::vector<double> predict(const Model& m, const Dataset& data, int threads) {
  const std::vector<double> dec = decision_values(m, data, threads);
  std::vector<double> out(static_cast<size_t>(data.n));
  if (m.task == kEpsilonSVR)
    return dec;
  if (m.task == kOneClass) {
    for (size_t i = 0; i < out.size(); i++)
      out[i] = dec[i] > 0 ? 1 : -1;
    return out;
  }
  const size_t per = solves(m);
  std::vector<int> votes;
  for (size_t r = 0; r < out.size(); r++)
    out[r] = m.label[static_cast<size_t>(vote(m.nr_class, dec.data() + r * per, votes))];
  return out;
}

}  // namespace ksvm
