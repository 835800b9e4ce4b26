#include "dataset.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernel.h"
#include "text.h"

namespace ksvm {

namespace {

inline bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A token ends at a blank, at the end of its line or at the end of the text.
inline bool token_ends(const char* p, const char* eol) { return p == eol || blank(*p); }

// The token starting at p, shortened for messages.
std::string token(const char* p, const char* eol) {
  const char* q = p;
  while (q < eol && !blank(*q) && q - p < 40)
    q++;
  std::string t(p, q);
  if (q < eol && !blank(*q))
    t += "...";
  for (char& c : t)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      c = '?';
  return t;
}

// n x d as a count of doubles, or a Failure when that does not fit in memory.
size_t dense_cells(int n, int d, const std::string& name) {
  size_t cells = static_cast<size_t>(n) * static_cast<size_t>(d);
  if (d > 0 && (cells / static_cast<size_t>(d) != static_cast<size_t>(n) ||
                cells > SIZE_MAX / sizeof(double)))
    throw Failure(name + ": " + std::to_string(n) + " rows of " + std::to_string(d) +
                  " features do not fit in memory as a dense matrix");
  return cells;
}

[[noreturn]] void fail(const std::string& name, int line, const std::string& what) {
  throw Failure(name + ":" + std::to_string(line) + ": " + what);
}

// The examples as read, before the width of the dense matrix is known.
struct Sparse {
  std::vector<size_t> start{0};
  std::vector<int> index;
  std::vector<double> value;
  std::vector<double> head;
};

}  // namespace

Dataset parse_sparse(const char* begin, const char* end, const std::string& name,
                     int first_line, const ParseLimits& limits) {
  Sparse s;
  // Sized from a quick count so the staging never grows by copying.
  s.start.reserve(static_cast<size_t>(std::count(begin, end, '\n')) + 2);
  s.head.reserve(s.start.capacity());
  const size_t pairs = static_cast<size_t>(std::count(begin, end, ':'));
  s.index.reserve(pairs);
  s.value.reserve(pairs);
  Dataset data;
  int width = limits.min_d > 0 ? limits.min_d : 0;
  int line = first_line - 1;
  const char* p = begin;
  while (p < end) {
    line++;
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!eol)
      eol = end;
    while (p < eol && blank(*p))
      p++;
    if (p == eol) {
      p = eol < end ? eol + 1 : end;
      continue;
    }

    char* q;
    double h = std::strtod(p, &q);
    if (q == p || !token_ends(q, eol))
      fail(name, line, limits.head_name + std::string(" '") + token(p, eol) + "' is not a number");
    if (!std::isfinite(h))
      fail(name, line, limits.head_name + std::string(" '") + token(p, eol) + "' is not finite");
    bool known = false;
    for (double l : data.labels)
      known = known || l == h;
    if (!known) {
      if (limits.max_labels > 0 && static_cast<int>(data.labels.size()) >= limits.max_labels) {
        std::string seen;
        for (double l : data.labels)
          seen += (seen.empty() ? "" : " and ") + format_number(l);
        fail(name, line, "a third label " + format_number(h) +
                             " (a binary classifier takes two: " + seen + ")");
      }
      data.labels.push_back(h);
    }
    s.head.push_back(h);
    p = q;

    long long prev = 0;
    for (;;) {
      while (p < eol && blank(*p))
        p++;
      if (p == eol)
        break;
      const char* t = p;
      long long idx = 0;
      while (p < eol && *p >= '0' && *p <= '9') {
        if (idx <= INT_MAX)
          idx = idx * 10 + (*p - '0');
        p++;
      }
      if (p == t || p == eol || *p != ':')
        fail(name, line, "expected index:value, found '" + token(t, eol) + "'");
      if (idx > INT_MAX)
        fail(name, line, "feature index '" + std::string(t, p) + "' is too large");
      if (idx < 1)
        fail(name, line, "feature index 0: indices start at 1");
      if (idx <= prev)
        fail(name, line, "feature index " + std::to_string(idx) + " after " +
                             std::to_string(prev) + ": indices must increase");
      p++;
      if (token_ends(p, eol))
        fail(name, line, "feature " + std::to_string(idx) + " has no value");
      double v = std::strtod(p, &q);
      if (q == p || !token_ends(q, eol))
        fail(name, line, "value '" + token(p, eol) + "' of feature " + std::to_string(idx) +
                             " is not a number");
      if (!std::isfinite(v))
        fail(name, line, "value '" + token(p, eol) + "' of feature " + std::to_string(idx) +
                             " is not finite");
      p = q;
      prev = idx;
      s.index.push_back(static_cast<int>(idx - 1));
      s.value.push_back(v);
    }
    if (prev > width)
      width = static_cast<int>(prev);
    s.start.push_back(s.index.size());
    if (s.head.size() > static_cast<size_t>(INT_MAX))
      fail(name, line, "too many lines");
    p = eol < end ? eol + 1 : end;
  }

  data.n = static_cast<int>(s.head.size());
  data.d = width;
  size_t cells = dense_cells(data.n, width, name);
  data.head = std::move(s.head);
  s.head = std::vector<double>();
  data.x.assign(cells, 0.0);
  data.norm2.assign(static_cast<size_t>(data.n), 0.0);
  for (int i = 0; i < data.n; i++) {
    double* r = data.x.data() + static_cast<size_t>(i) * static_cast<size_t>(width);
    for (size_t e = s.start[static_cast<size_t>(i)]; e < s.start[static_cast<size_t>(i) + 1]; e++)
      r[s.index[e]] = s.value[e];
    data.norm2[static_cast<size_t>(i)] = dot(r, r, width);
  }
  return data;
}

Dataset read_dataset(const std::string& path, const ParseLimits& limits) {
  std::string text = read_file(path);
  if (text.empty())
    throw Failure(path + ": the file is empty");
  Dataset data = parse_sparse(text.data(), text.data() + text.size(), path, 1, limits);
  if (data.n == 0)
    throw Failure(path + ": no examples, only blank lines");
  return data;
}

void widen(Dataset& data, int d, const std::string& name) {
  if (d <= data.d)
    return;
  std::vector<double> x(dense_cells(data.n, d, name), 0.0);
  for (int i = 0; i < data.n && data.d > 0; i++)  // rows without features have nothing to copy
    std::memcpy(x.data() + static_cast<size_t>(i) * d, data.row(i),
                sizeof(double) * static_cast<size_t>(data.d));
  data.x.swap(x);
  data.d = d;
}

}  // namespace ksvm
