// Trains a kernel classifier (support-vector dual with bias) on a data file in
// the sparse "label index:value ..." format and reports the result.
//
//   kaltro-demo FILE [C] [GAMMA]
//
// The dual: maximise sum_i y_i a_i - 1/2 sum_ij a_i K_ij a_j with
// min(0, C y_i) <= a_i <= max(0, C y_i) and sum_i a_i = 0.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kaltro.h"

namespace {

struct Data {
  int n = 0, d = 0;
  std::vector<double> feat;  // n x d, dense
  std::vector<double> norm2;
  std::vector<double> label;
  double gamma = 0;
};

bool load(const char* path, Data& data) {
  std::ifstream in(path);
  if (!in)
    return false;
  std::vector<std::vector<std::pair<int, double>>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    double y;
    if (!(ls >> y))
      continue;
    data.label.push_back(y > 0 ? 1.0 : -1.0);
    rows.emplace_back();
    std::string tok;
    while (ls >> tok) {
      size_t colon = tok.find(':');
      if (colon == std::string::npos)
        return false;
      int j = std::atoi(tok.c_str());
      double v = std::atof(tok.c_str() + colon + 1);
      if (j < 1)
        return false;
      rows.back().push_back({j - 1, v});
      if (j > data.d)
        data.d = j;
    }
  }
  data.n = static_cast<int>(rows.size());
  data.feat.assign(static_cast<size_t>(data.n) * data.d, 0.0);
  data.norm2.assign(data.n, 0.0);
  for (int i = 0; i < data.n; i++)
    for (auto& e : rows[i]) {
      data.feat[static_cast<size_t>(i) * data.d + e.first] = e.second;
      data.norm2[i] += e.second * e.second;
    }
  return data.n > 0;
}

double rbf(int a, int b, void* arg) {
  const Data& d = *static_cast<const Data*>(arg);
  const double* fa = &d.feat[static_cast<size_t>(a) * d.d];
  const double* fb = &d.feat[static_cast<size_t>(b) * d.d];
  double dot = 0;
  for (int k = 0; k < d.d; k++)
    dot += fa[k] * fb[k];
  return std::exp(-d.gamma * (d.norm2[a] + d.norm2[b] - 2 * dot));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: kaltro-demo FILE [C] [GAMMA]\n");
    return 2;
  }
  Data data;
  if (!load(argv[1], data)) {
    std::fprintf(stderr, "kaltro-demo: cannot read data from %s\n", argv[1]);
    return 1;
  }
  const double C = argc > 2 ? std::atof(argv[2]) : 1.0;
  data.gamma = argc > 3 ? std::atof(argv[3]) : 1.0 / data.d;

  KALTRO s(data.n);
  s.kernel = rbf;
  s.kernel_arg = &data;
  for (int i = 0; i < data.n; i++) {
    s.lin[i] = data.label[i];
    s.lo[i] = std::fmin(0.0, C * data.label[i]);
    s.hi[i] = std::fmax(0.0, C * data.label[i]);
  }
  int steps = s.run(true, true);
  if (steps < 0) {
    std::fprintf(stderr, "kaltro-demo: %s\n", s.last_error);
    return 1;
  }

  // Bias: the gradient is y_i - f_i without bias, equal to b at every free vector.
  int sv = 0, bounded = 0, free_count = 0;
  double free_sum = 0;
  for (int i = 0; i < data.n; i++) {
    if (s.x[i] == 0)
      continue;
    sv++;
    if (s.x[i] <= s.lo[i] || s.x[i] >= s.hi[i])
      bounded++;
    else {
      free_count++;
      free_sum += s.g[i];
    }
  }
  double bias = free_count ? free_sum / free_count : 0.5 * (s.g_low + s.g_high);
  int correct = 0;
  for (int i = 0; i < data.n; i++) {
    double f = bias;
    for (int j = 0; j < data.n; j++)
      if (s.x[j] != 0)
        f += s.x[j] * rbf(i, j, &data);
    if ((f > 0) == (data.label[i] > 0))
      correct++;
  }
  std::printf(
      "n: %d\nd: %d\nC: %g\ngamma: %g\nobjective: %.6f\nsteps: %d\n"
      "support vectors: %d\nbounded support vectors: %d\nbias: %.6f\n"
      "training accuracy: %.2f%%\n",
      data.n, data.d, C, data.gamma, s.w, steps, sv, bounded, bias, 100.0 * correct / data.n);
  return 0;
}
