// Shared helpers for the solver tests: standard output captured at the
// descriptor level, the fake kernel, point sets, and the walk of the ring.
#ifndef KALTRO_TEST_SUPPORT_H
#define KALTRO_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
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

// Points in R^d given row-major and the RBF or linear kernel over them.
struct Points {
  enum Kind { kLinear, kRbf };
  Kind kind = kRbf;
  int d = 1;
  double gamma = 0.5;
  std::vector<double> pts;

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
  double operator()(int a, int b) const { return eval(a, b); }
};

// What the fake kernel throws; `call` tells which call failed, to prove the
// very object arrives.
struct KernelFailure : std::runtime_error {
  long call;
  explicit KernelFailure(long number) : std::runtime_error("kernel failed"), call(number) {}
};

// The kernel of the solver tests: values from `value`, a function of the
// two kernel indices.  It counts every call, throws KernelFailure on the
// call numbered `throw_on` (counted from 0 since the last reset; -1: never)
// and, when told to, logs the pairs of the calls that returned.
struct FakeKernel {
  std::function<double(int, int)> value;
  long calls = 0;
  long throw_on = -1;
  bool keep_log = false;
  std::vector<std::pair<int, int>> log;

  FakeKernel() = default;
  explicit FakeKernel(std::function<double(int, int)> f) : value(std::move(f)) {}

  static double call(int a, int b, void* arg) {
    FakeKernel* k = static_cast<FakeKernel*>(arg);
    const long number = k->calls++;
    if (number == k->throw_on)
      throw KernelFailure(number);
    if (k->keep_log)
      k->log.push_back({a, b});
    return k->value(a, b);
  }
  void attach(KALTRO& s) {
    s.kernel = call;
    s.kernel_arg = this;
  }
  void reset() {
    calls = 0;
    log.clear();
  }
  // How often each pair was asked for.
  std::map<std::pair<int, int>, int> asked() const {
    std::map<std::pair<int, int>, int> m;
    for (const auto& c : log)
      m[c]++;
    return m;
  }
  // Keys of the rows evaluated, in order; consecutive calls for one row count once.
  std::vector<int> rows_asked() const {
    std::vector<int> out;
    for (const auto& c : log)
      if (out.empty() || out.back() != c.first)
        out.push_back(c.first);
    return out;
  }
  bool asked_column(int col) const {
    for (const auto& c : log)
      if (c.second == col)
        return true;
    return false;
  }
};

// The rows of the cache ring from the most to the least recent.  The walk
// along next must be the reverse of the walk along prev, every link must be
// mirrored, and a broken ring fails here instead of looping.
inline testing::AssertionResult ring_rows(const KALTRO& s, std::vector<const KALTRO::Arow*>& rows) {
  using Arow = KALTRO::Arow;
  rows.clear();
  if (!s.ring)
    return testing::AssertionFailure() << "no cache set up";
  const size_t limit = static_cast<size_t>(s.n) + 1;
  std::vector<const Arow*> back;
  for (const Arow* r = s.ring;; r = r->next) {
    if (!r->next || r->next->prev != r)
      return testing::AssertionFailure() << "next link of key " << r->key << " is not mirrored";
    if (r->next == s.ring)
      break;
    if (rows.size() == limit)
      return testing::AssertionFailure() << "walk along next does not come back to the sentinel";
    rows.push_back(r->next);
  }
  for (const Arow* r = s.ring->prev; r != s.ring; r = r->prev) {
    if (!r || back.size() == limit)
      return testing::AssertionFailure() << "walk along prev does not come back to the sentinel";
    back.push_back(r);
  }
  std::reverse(back.begin(), back.end());
  if (rows != back)
    return testing::AssertionFailure() << "the two walks disagree";
  return testing::AssertionSuccess();
}

// The same walk, giving the keys.
inline testing::AssertionResult ring_keys(const KALTRO& s, std::vector<int>& keys) {
  std::vector<const KALTRO::Arow*> rows;
  testing::AssertionResult intact = ring_rows(s, rows);
  keys.clear();
  for (const KALTRO::Arow* r : rows)
    keys.push_back(r->key);
  return intact;
}

// Keys of the ring, most recent first; a broken ring is a test failure.
inline std::vector<int> ring_of(const KALTRO& s) {
  std::vector<int> keys;
  EXPECT_TRUE(ring_keys(s, keys));
  return keys;
}

// Deterministic pseudo-random numbers (so tests do not depend on the C
// library's generator).
struct Lcg {
  unsigned long long s;
  explicit Lcg(unsigned long long seed)
      : s(seed * 6364136223846793005ULL + 1442695040888963407ULL) {}
  double uniform() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) * (1.0 / 9007199254740992.0);
  }
  int below(int m) { return static_cast<int>(uniform() * m); }
};

inline Points random_points(int count, int d, unsigned long long seed,
                            Points::Kind kind = Points::kRbf) {
  Points k;
  k.kind = kind;
  k.d = d;
  Lcg r(seed);
  k.pts.resize(static_cast<size_t>(count) * d);
  for (double& v : k.pts)
    v = 2 * r.uniform() - 1;
  return k;
}

#endif
