// Shared helpers for the solver tests: standard output captured at the
// descriptor level, and kernels that count their calls.
#ifndef KALTRO_TEST_SUPPORT_H
#define KALTRO_TEST_SUPPORT_H

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kaltro.h"

// Everything written to file descriptor 1 between construction and finish().
class Capture {
 public:
  Capture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(1);
    dup2(fileno(file_), 1);
  }
  ~Capture() {
    if (saved_ >= 0)
      finish();
  }
  std::string finish() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    std::string out;
    std::rewind(file_);
    int c;
    while ((c = std::fgetc(file_)) != EOF)
      out.push_back(static_cast<char>(c));
    std::fclose(file_);
    return out;
  }

 private:
  std::FILE* file_;
  int saved_;
};

// A kernel over points in R^d given row-major; counts every call and each
// (a, b) pair asked for.
struct PointKernel {
  enum Kind { kLinear, kRbf };
  Kind kind = kRbf;
  int d = 1;
  double gamma = 0.5;
  std::vector<double> pts;
  long calls = 0;
  std::map<std::pair<int, int>, int> asked;
  bool count_pairs = false;

  double eval(int a, int b) const {
    double s = 0;
    if (kind == kLinear) {
      for (int k = 0; k < d; k++)
        s += pts[static_cast<size_t>(a) * d + k] * pts[static_cast<size_t>(b) * d + k];
      return s;
    }
    for (int k = 0; k < d; k++) {
      double t = pts[static_cast<size_t>(a) * d + k] - pts[static_cast<size_t>(b) * d + k];
      s += t * t;
    }
    return std::exp(-gamma * s);
  }
  static double call(int a, int b, void* arg) {
    PointKernel* k = static_cast<PointKernel*>(arg);
    k->calls++;
    if (k->count_pairs)
      k->asked[{a, b}]++;
    return k->eval(a, b);
  }
};

// Deterministic pseudo-random numbers (so tests do not depend on the C
// library's generator).
struct Lcg {
  unsigned long long s;
  explicit Lcg(unsigned long long seed) : s(seed * 6364136223846793005ULL + 1442695040888963407ULL) {}
  double uniform() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) * (1.0 / 9007199254740992.0);
  }
  int below(int m) { return static_cast<int>(uniform() * m); }
};

inline PointKernel random_points(int count, int d, unsigned long long seed,
                                 PointKernel::Kind kind = PointKernel::kRbf) {
  PointKernel k;
  k.kind = kind;
  k.d = d;
  Lcg r(seed);
  k.pts.resize(static_cast<size_t>(count) * d);
  for (double& v : k.pts)
    v = 2 * r.uniform() - 1;
  return k;
}

#endif
