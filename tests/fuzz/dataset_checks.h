// Properties of a data set that came back from a reader, shared by the
// targets of the data-file parser and of the model reader.
#ifndef KALTRO_FUZZ_DATASET_CHECKS_H
#define KALTRO_FUZZ_DATASET_CHECKS_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kaltro_svm.h"
#include "kernel.h"

namespace fuzz {

// An upper bound of the cells of the dense matrix the text asks for: its
// lines times one past the largest number before a ':' (or min_d).
inline double dense_cells(const std::string& text, int min_d) {
  double lines = 1, width = min_d, run = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      run = run * 10 + (c - '0');
      continue;
    }
    if (c == ':')
      width = std::max(width, run + 1);
    else if (c == '\n')
      lines += 1;
    run = 0;
  }
  return lines * width;
}

// The dense holding asks for n x d doubles however few features are given,
// so a short text can ask for gigabytes; the sanitizer reports that as a
// fault (its operator new never throws std::bad_alloc).  Such texts are left
// out; the rest, bad numbers and bad indices included, is fair game.
const double kMaxCells = 1 << 21;

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
  std::vector<double> row(d);
  for (int i = 0; i < data.n; i++) {
    for (int k = 0; k < data.d; k++)
      row[static_cast<size_t>(k)] = data.at(i, k);
    const double norm2 = ksvm::dot(row.data(), row.data(), data.d);
    FUZZ_CHECK(data.norm2[static_cast<size_t>(i)] == norm2);
  }
}

// The same examples: heads, features (absent ones read as 0) and norms.
inline bool same_rows(const ksvm::Dataset& a, const ksvm::Dataset& b) {
  if (a.n != b.n || a.head != b.head || a.norm2 != b.norm2)
    return false;
  const int d = std::max(a.d, b.d);
  for (int i = 0; i < a.n; i++)
    for (int k = 0; k < d; k++)
      if (a.at(i, k) != b.at(i, k))
        return false;
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
