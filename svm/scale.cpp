// Feature scaling as the common scaling tool does it, with the same
// arithmetic (so the same numbers) and its range-file format both ways.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "kaltro_svm.h"
#include "text.h"

namespace ksvm {

namespace {

// v's image on [lower, upper] for the range [lo, hi]; the ends map exactly.
inline double image(double v, double lo, double hi, double lower, double upper) {
  if (v == lo)
    return lower;
  if (v == hi)
    return upper;
  return lower + (upper - lower) * (v - lo) / (hi - lo);
}

}  // namespace

ScaleRanges measure_ranges(const Dataset& data, const ScaleRanges& to) {
  ScaleRanges r = to;
  r.index.clear();
  r.min.clear();
  r.max.clear();
  // Every non-zero by feature; a feature absent from some row also takes 0.
  std::vector<std::pair<int, double>> all;
  all.reserve(data.nonzeros());
  for (int i = 0; i < data.n; i++)
    data.each_nonzero(i, [&](int k, double v) { all.emplace_back(k, v); });
  std::stable_sort(all.begin(), all.end(),
                   [](const std::pair<int, double>& a, const std::pair<int, double>& b) {
                     return a.first < b.first;
                   });
  for (size_t e = 0; e < all.size();) {
    const int k = all[e].first;
    double lo = all[e].second, hi = lo;
    size_t f = e;
    for (; f < all.size() && all[f].first == k; f++) {
      lo = std::min(lo, all[f].second);
      hi = std::max(hi, all[f].second);
    }
    if (f - e < static_cast<size_t>(data.n)) {
      lo = std::min(lo, 0.0);
      hi = std::max(hi, 0.0);
    }
    if (lo != hi) {
      r.index.push_back(k);
      r.min.push_back(lo);
      r.max.push_back(hi);
    }
    e = f;
  }
  if (r.y_scaling && data.n > 0) {
    r.y_min = *std::min_element(data.head.begin(), data.head.end());
    r.y_max = *std::max_element(data.head.begin(), data.head.end());
  }
  return r;
}

Dataset apply_ranges(const Dataset& data, const ScaleRanges& r, std::vector<int>* dropped) {
  const size_t m = r.index.size();
  // The listed features where 0 has an image other than 0: absent features
  // there are written too.
  std::vector<size_t> zero_moves;
  std::vector<double> zero_image(m);
  for (size_t q = 0; q < m; q++) {
    zero_image[q] = image(0, r.min[q], r.max[q], r.lower, r.upper);
    if (r.min[q] != r.max[q] && zero_image[q] != 0)
      zero_moves.push_back(q);
  }
  std::vector<std::int64_t> indptr{0};
  std::vector<std::int32_t> indices;
  std::vector<double> values, head(static_cast<size_t>(data.n));
  std::vector<std::pair<int, double>> row;
  for (int i = 0; i < data.n; i++) {
    row.clear();
    data.each_nonzero(i, [&](int k, double v) { row.emplace_back(k, v); });
    // The row's features and the moved zeros, merged in increasing order.
    size_t a = 0, b = 0;
    auto put = [&](int k, double v) {
      const size_t q = static_cast<size_t>(std::lower_bound(r.index.begin(), r.index.end(), k) -
                                           r.index.begin());
      if (q == m || r.index[q] != k || r.min[q] == r.max[q])
        return;
      const double s = image(v, r.min[q], r.max[q], r.lower, r.upper);
      if (s != 0) {
        indices.push_back(k);
        values.push_back(s);
      }
    };
    while (a < row.size() || b < zero_moves.size()) {
      const int kz = b < zero_moves.size() ? r.index[zero_moves[b]] : INT_MAX;
      if (a < row.size() && row[a].first <= kz) {
        put(row[a].first, row[a].second);
        b += row[a].first == kz;
        a++;
      } else {
        put(kz, 0);
        b++;
      }
    }
    indptr.push_back(static_cast<std::int64_t>(indices.size()));
    const double y = data.head[static_cast<size_t>(i)];
    head[static_cast<size_t>(i)] =
        r.y_scaling ? image(y, r.y_min, r.y_max, r.y_lower, r.y_upper) : y;
  }
  int d = data.d;
  if (m > 0)
    d = std::max(d, r.index.back() + 1);
  if (dropped) {
    dropped->clear();
    const ScaleRanges own = measure_ranges(data, ScaleRanges());
    for (int k : own.index)
      if (!std::binary_search(r.index.begin(), r.index.end(), k))
        dropped->push_back(k);
  }
  return dataset_from_csr(data.n, d, indptr.data(), indices.data(), values.data(), head.data());
}

void write_ranges(const std::string& path, const ScaleRanges& r) {
  OutFile out(path);
  std::FILE* f = out.get();
  if (r.y_scaling)
    std::fprintf(f, "y\n%.17g %.17g\n%.17g %.17g\n", r.y_lower, r.y_upper, r.y_min, r.y_max);
  std::fprintf(f, "x\n%.17g %.17g\n", r.lower, r.upper);
  for (size_t q = 0; q < r.index.size(); q++)
    if (r.min[q] != r.max[q])
      std::fprintf(f, "%d %.17g %.17g\n", r.index[q] + 1, r.min[q], r.max[q]);
  out.close();
}

namespace {

// The words of a range file, each with its line.
struct Words {
  std::string path, text;
  size_t at = 0;
  int line = 1;

  [[noreturn]] void fail(const std::string& what) const {
    throw Failure(path + ":" + std::to_string(line) + ": " + what);
  }
  // At the end of the text `line` stays at the last word's line, so that a
  // missing word is reported where it should have followed.
  bool next(std::string& w) {
    int lines = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
      lines += text[at] == '\n';
      at++;
    }
    if (at == text.size())
      return false;
    line += lines;
    const size_t b = at;
    while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at])))
      at++;
    w = text.substr(b, std::min<size_t>(at - b, 40));
    for (char& c : w)
      if (static_cast<unsigned char>(c) < 32 || c == 127)
        c = '?';
    return true;
  }
  double number(const char* what) {
    std::string w;
    if (!next(w))
      fail(std::string("the file ends where ") + what + " should be");
    char* end;
    const double v = std::strtod(w.c_str(), &end);
    if (end == w.c_str() || *end || !std::isfinite(v))
      fail(std::string(what) + " '" + w + "' is not a number");
    return v;
  }
};

}  // namespace

ScaleRanges read_ranges(const std::string& path) {
  Words in{path, read_file(path)};
  ScaleRanges r;
  std::string w;
  if (!in.next(w))
    throw Failure(path + ": the file is empty, not a range file");
  if (w == "y") {
    r.y_scaling = true;
    r.y_lower = in.number("y_lower");
    r.y_upper = in.number("y_upper");
    r.y_min = in.number("y_min");
    r.y_max = in.number("y_max");
    if (!in.next(w))
      in.fail("the file ends where 'x' should be");
  }
  if (w != "x")
    in.fail("'" + w + "' where 'x' (or 'y') should start the ranges");
  r.lower = in.number("lower");
  r.upper = in.number("upper");
  while (in.next(w)) {
    char* end;
    errno = 0;
    const long idx = std::strtol(w.c_str(), &end, 10);
    if (end == w.c_str() || *end || errno == ERANGE || idx < 1 || idx > INT_MAX)
      in.fail("feature index '" + w + "' is not an integer from 1 to " + std::to_string(INT_MAX));
    if (!r.index.empty() && idx - 1 <= r.index.back())
      in.fail("feature index " + w + " after " + std::to_string(r.index.back() + 1) +
              ": indices must increase");
    r.index.push_back(static_cast<int>(idx - 1));
    r.min.push_back(in.number("min"));
    r.max.push_back(in.number("max"));
  }
  return r;
}

}  // namespace ksvm
