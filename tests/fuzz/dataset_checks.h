// Properties of a data set that came back from a reader, shared by the
// targets of the data-file parser and of the model reader.
#ifndef KALTRO_FUZZ_DATASET_CHECKS_H
#define KALTRO_FUZZ_DATASET_CHECKS_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "kaltro_svm.h"

namespace fuzz {

// Its parts agree: sizes, the holding in use, finite numbers, the distinct
// heads in order of first appearance, and squared norms with the bits the
// dense dot product gives (the kernels rely on that, whatever the holding).
inline void check_whole(const ksvm::Dataset& data) {
  FUZZ_CHECK(data.n >= 0 && data.d >= 0);
  const size_t n = static_cast<size_t>(data.n);
  const size_t d = static_cast<size_t>(data.d);
  FUZZ_CHECK(data.head.size() == n && data.norm2.size() == n);
  if (data.sparse) {
    FUZZ_CHECK(data.start.size() == n + 1 && data.start[0] == 0);
    FUZZ_CHECK(data.index.size() == data.value.size() && data.start[n] == data.index.size());
    for (size_t i = 0; i < n; i++) {
      FUZZ_CHECK(data.start[i] <= data.start[i + 1]);
      for (size_t e = data.start[i]; e < data.start[i + 1]; e++) {
        FUZZ_CHECK(data.index[e] >= 0 && static_cast<size_t>(data.index[e]) < d);
        FUZZ_CHECK(e == data.start[i] || data.index[e - 1] < data.index[e]);
        FUZZ_CHECK(data.value[e] != 0 && std::isfinite(data.value[e]));
      }
    }
  } else {
    FUZZ_CHECK(data.x.size() == n * d);
    for (double v : data.x)
      FUZZ_CHECK(std::isfinite(v));
  }
  std::vector<double> labels;
  for (double h : data.head) {
    FUZZ_CHECK(std::isfinite(h));
    if (std::find(labels.begin(), labels.end(), h) == labels.end())
      labels.push_back(h);
  }
  FUZZ_CHECK(labels == data.labels);
  // Summed as the dense dot product sums (four running sums, feature k into
  // sum k & 3, in increasing k), over the non-zeros alone: a zero adds nothing.
  for (int i = 0; i < data.n; i++) {
    double s[4] = {0, 0, 0, 0};
    data.each_nonzero(i, [&](int k, double v) { s[k & 3] += v * v; });
    FUZZ_CHECK(data.norm2[static_cast<size_t>(i)] == (s[0] + s[1]) + (s[2] + s[3]));
  }
}

// The same examples: heads, features (absent ones read as 0) and norms.
inline bool same_rows(const ksvm::Dataset& a, const ksvm::Dataset& b) {
  if (a.n != b.n || a.head != b.head || a.norm2 != b.norm2)
    return false;
  std::vector<std::pair<int, double>> ra, rb;
  for (int i = 0; i < a.n; i++) {
    ra.clear();
    rb.clear();
    a.each_nonzero(i, [&](int k, double v) { ra.emplace_back(k, v); });
    b.each_nonzero(i, [&](int k, double v) { rb.emplace_back(k, v); });
    if (ra != rb)
      return false;
  }
  return true;
}

// A message names what was read (`name`) and holds no control characters.
inline void check_message(const std::string& message, const std::string& name) {
  FUZZ_CHECK(message.find(name) != std::string::npos);
  for (char c : message)
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 32 && c != 127);
}

}  // namespace fuzz

#endif
