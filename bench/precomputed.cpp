// Solver-only comparison with a precomputed kernel matrix.
//
//   kaltro-precomputed write DATA GAMMA OUT   RBF matrix of DATA in the
//                                             precomputed-kernel text format
//   kaltro-precomputed train MATRIX C EPS MB  solve the dual with bias on it
//
// The matrix file has one line per example: "label 0:serial 1:K(i,1) ... n:K(i,n)",
// the format other SVM tools read for a precomputed kernel, so both programs
// read the very same numbers.
#include <sys/resource.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "dataset.h"
#include "kaltro.h"
#include "kernel.h"

namespace {

const char* number(const char* p, const char* end, double& v) {
  auto r = std::from_chars(p, end, v);
  if (r.ec != std::errc()) {
    std::fprintf(stderr, "bad number near '%.20s'\n", p);
    std::exit(1);
  }
  return r.ptr;
}

// Writes the RBF matrix with the trainer's own reader and kernel, so its
// entries are the values kaltro-svm trains on.
int write_matrix(const char* data_path, double gamma, const char* out_path) {
  ksvm::Dataset data;
  try {
    data = ksvm::read_dataset(data_path, ksvm::ReadOptions());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  ksvm::KernelParams p;
  p.type = ksvm::kRbf;
  p.gamma = gamma;
  std::FILE* out = std::fopen(out_path, "w");
  if (!out) {
    std::perror(out_path);
    return 1;
  }
  for (int i = 0; i < data.n; i++) {
    std::fprintf(out, "%g 0:%d", data.head[static_cast<size_t>(i)], i + 1);
    for (int j = 0; j < data.n; j++)
      std::fprintf(out, " %d:%.9g", j + 1,
                   ksvm::kernel_value(p, data.row(i), data.norm2[static_cast<size_t>(i)],
                                      data.row(j), data.norm2[static_cast<size_t>(j)], data.d));
    std::fputc('\n', out);
  }
  std::fclose(out);
  return 0;
}

// Entries are kept as floats: the solver caches kernel values as floats, so
// the rows it sees are the same, at half the memory.
struct Matrix {
  int n = 0;
  std::vector<float> k;
  std::vector<double> y;
  long long evals = 0;
};

double lookup(int a, int b, void* arg) {
  Matrix& m = *static_cast<Matrix*>(arg);
  m.evals++;
  return m.k[static_cast<size_t>(a) * m.n + b];
}

int train(const char* path, double C, double eps, double mb) {
  // Line by line, so the text is never held whole next to the matrix.
  std::FILE* f = std::fopen(path, "r");
  if (!f) {
    std::perror(path);
    return 1;
  }
  Matrix m;
  char* line = nullptr;
  size_t cap = 0;
  ssize_t got;
  while ((got = getline(&line, &cap, f)) > 0) {
    const char* p = line;
    const char* end = line + got;
    double label;
    if (*p == '+')
      p++;
    p = number(p, end, label);
    if (m.n == 0) {
      // The first line tells the size: one column per example.
      for (const char* q = p; q < end; q++)
        m.n += *q == ':';
      m.n -= 1;  // the serial number
      m.k.reserve(static_cast<size_t>(m.n) * m.n);
    }
    m.y.push_back(label);
    p = std::strchr(p, ':') + 1;  // past the serial number
    for (int j = 0; j < m.n; j++) {
      p = std::strchr(p, ':');
      if (!p) {
        std::fprintf(stderr, "%s: line %zu is short\n", path, m.y.size());
        return 1;
      }
      double v;
      p = number(p + 1, end, v);
      m.k.push_back(static_cast<float>(v));
    }
  }
  std::free(line);
  std::fclose(f);
  if (static_cast<int>(m.y.size()) != m.n) {
    std::fprintf(stderr, "%s: %zu lines for %d columns\n", path, m.y.size(), m.n);
    return 1;
  }

  const double first = m.y[0];
  KALTRO s(m.n);
  s.kernel = lookup;
  s.kernel_arg = &m;
  s.eps_gap = eps;
  s.trace_level = 0;
  s.maxcachesize = static_cast<long>(mb * 1048576.0);
  for (int i = 0; i < m.n; i++) {
    double yi = m.y[i] == first ? 1.0 : -1.0;
    s.lin[i] = yi;
    s.lo[i] = std::fmin(0.0, C * yi);
    s.hi[i] = std::fmax(0.0, C * yi);
  }
  auto t0 = std::chrono::steady_clock::now();
  int steps = s.run(true, true);
  double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (steps < 0) {
    std::fprintf(stderr, "solver: %s\n", s.last_error);
    return 1;
  }
  int sv = 0;
  for (int i = 0; i < m.n; i++)
    sv += s.x[i] != 0;
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  std::printf(
      "n: %d\nobjective: %.9f\nsteps: %d\nkernel evaluations: %lld\n"
      "support vectors: %d\nsolve seconds: %.3f\npeak memory MB: %.1f\n",
      m.n, s.w, steps, m.evals, sv, sec, ru.ru_maxrss / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && !std::strcmp(argv[1], "write"))
    return write_matrix(argv[2], std::atof(argv[3]), argv[4]);
  if (argc == 6 && !std::strcmp(argv[1], "train"))
    return train(argv[2], std::atof(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
  std::fprintf(stderr,
               "usage: kaltro-precomputed write DATA GAMMA OUT\n"
               "       kaltro-precomputed train MATRIX C EPS MB\n");
  return 2;
}
