#include "dataset.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

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

// The examples as read, before the width and the holding are known.
struct Sparse {
  std::vector<size_t> start{0};
  std::vector<int> index;
  std::vector<double> value;
  std::vector<double> head;
};

// Sparse holding takes an index and a value per non-zero and a start per
// row.  It is chosen when that is less than half the dense matrix: dense
// rows run through vector tiles that pay for the zeros they hold up to
// about that density.
bool prefer_sparse(size_t n, size_t d, size_t nonzeros) {
  const double dense = static_cast<double>(n) * static_cast<double>(d) * sizeof(double);
  const double sparse = static_cast<double>(nonzeros) * (sizeof(int) + sizeof(double)) +
                        static_cast<double>(n + 1) * sizeof(size_t);
  return 2 * sparse < dense;
}

// Moves the staged rows into `data` (n and d set) in the holding chosen.
void hold(Dataset& data, Sparse& s, const std::string& name) {
  const size_t n = static_cast<size_t>(data.n);
  data.norm2.assign(n, 0.0);
  if (prefer_sparse(n, static_cast<size_t>(data.d), s.index.size())) {
    data.sparse = true;
    data.start.swap(s.start);
    data.index.swap(s.index);
    data.value.swap(s.value);
    for (int i = 0; i < data.n; i++) {
      const int* idx;
      const double* val;
      const size_t m = pairs(data, i, idx, val);
      data.norm2[static_cast<size_t>(i)] = sparse_norm2(idx, val, m);
    }
    return;
  }
  const size_t ud = static_cast<size_t>(data.d);
  data.x.assign(dense_cells(data.n, data.d, name), 0.0);
  for (size_t i = 0; i < n; i++) {
    double* r = data.x.data() + i * ud;
    for (size_t e = s.start[i]; e < s.start[i + 1]; e++)
      r[s.index[e]] = s.value[e];
    data.norm2[i] = dot(r, r, data.d);
  }
  s = Sparse();
}

}  // namespace

Dataset parse_text(const char* begin, const char* end, const std::string& name, int first_line,
                   const ReadOptions& opt) {
  Sparse s;
  // Sized from a quick count so the staging never grows by copying.
  s.start.reserve(static_cast<size_t>(std::count(begin, end, '\n')) + 2);
  s.head.reserve(s.start.capacity());
  const size_t pairs = static_cast<size_t>(std::count(begin, end, ':'));
  s.index.reserve(pairs);
  s.value.reserve(pairs);
  Dataset data;
  std::unordered_set<double> seen;  // the labels, looked up by hash (a regression has many)
  int width = opt.min_d > 0 ? opt.min_d : 0;
  // A precomputed kernel's rows start with feature 0, the serial.
  const long long first = opt.precomputed ? 0 : 1;
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
      fail(name, line, opt.head_name + std::string(" '") + token(p, eol) + "' is not a number");
    if (!std::isfinite(h))
      fail(name, line, opt.head_name + std::string(" '") + token(p, eol) + "' is not finite");
    if (seen.find(h) == seen.end()) {
      if (opt.max_labels > 0 && static_cast<int>(data.labels.size()) >= opt.max_labels) {
        std::string seen;
        for (double l : data.labels)
          seen += (seen.empty() ? "" : " and ") + format_number(l);
        fail(
            name, line,
            "a third label " + format_number(h) + " (a binary classifier takes two: " + seen + ")");
      }
      data.labels.push_back(h);
      seen.insert(h);
    }
    s.head.push_back(h);
    p = q;

    long long prev = first - 1;
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
      if (idx - first >= INT_MAX)
        fail(name, line, "feature index '" + std::string(t, p) + "' is too large");
      if (idx < first)
        fail(name, line, "feature index 0: indices start at 1");
      if (idx <= prev)
        fail(name, line,
             "feature index " + std::to_string(idx) + " after " + std::to_string(prev) +
                 ": indices must increase");
      p++;
      if (token_ends(p, eol))
        fail(name, line, "feature " + std::to_string(idx) + " has no value");
      double v = std::strtod(p, &q);
      if (q == p || !token_ends(q, eol))
        fail(
            name, line,
            "value '" + token(p, eol) + "' of feature " + std::to_string(idx) + " is not a number");
      if (!std::isfinite(v))
        fail(name, line,
             "value '" + token(p, eol) + "' of feature " + std::to_string(idx) + " is not finite");
      p = q;
      prev = idx;
      if (v != 0) {  // an explicit zero is held like an absent feature
        s.index.push_back(static_cast<int>(idx - first));
        s.value.push_back(v);
      }
    }
    if (prev - first + 1 > width)
      width = static_cast<int>(prev - first + 1);
    s.start.push_back(s.index.size());
    if (s.head.size() > static_cast<size_t>(INT_MAX))
      fail(name, line, "too many lines");
    p = eol < end ? eol + 1 : end;
  }

  data.n = static_cast<int>(s.head.size());
  data.d = width;
  data.head.swap(s.head);
  hold(data, s, name);
  return data;
}

Dataset read_dataset(const std::string& path, const ReadOptions& opt) {
  std::string text = read_file(path);
  if (text.empty())
    throw Failure(path + ": the file is empty");
  Dataset data = parse_text(text.data(), text.data() + text.size(), path, 1, opt);
  if (data.n == 0)
    throw Failure(path + ": no examples, only blank lines");
  return data;
}

void widen(Dataset& data, int d, const std::string& name) {
  if (d <= data.d)
    return;
  if (data.sparse) {  // the pairs stay as they are
    data.d = d;
    return;
  }
  std::vector<double> x(dense_cells(data.n, d, name), 0.0);
  if (data.d > 0)  // rows without features have nothing to copy (and no storage)
    for (int i = 0; i < data.n; i++)
      std::memcpy(x.data() + static_cast<size_t>(i) * d, data.row(i),
                  sizeof(double) * static_cast<size_t>(data.d));
  data.x.swap(x);
  data.d = d;
}

double Dataset::at(int i, int k) const {
  if (k < 0 || k >= d)
    return 0;
  if (!sparse)
    return x[static_cast<size_t>(i) * static_cast<size_t>(d) + static_cast<size_t>(k)];
  const int* b = index.data() + start[static_cast<size_t>(i)];
  const int* e = index.data() + start[static_cast<size_t>(i) + 1];
  const int* f = std::lower_bound(b, e, k);
  return f != e && *f == k ? value[static_cast<size_t>(f - index.data())] : 0;
}

size_t Dataset::nonzeros() const {
  if (sparse)
    return value.size();
  return static_cast<size_t>(std::count_if(x.begin(), x.end(), [](double v) { return v != 0; }));
}

namespace {

void check_shape(int n, int d) {
  if (n < 0 || d < 0)
    throw Failure("a data set needs a row count and a feature count of at least 0");
}

// Heads and their distinct values in order of first appearance.
void set_heads(Dataset& data, const double* head) {
  data.head.assign(head, head + data.n);
  std::unordered_set<double> seen;
  for (double h : data.head)
    if (seen.insert(h).second)
      data.labels.push_back(h);
}

// Rows [0, n) of `data` as (row, feature, value) calls, through a stage of
// pairs when the result is to be sparse.  `each(i, f)` calls f(k, v) for the
// non-zero features of row i.
template <class Each>
void fill(Dataset& out, size_t nonzeros, Each each, int holding = -1) {
  const size_t n = static_cast<size_t>(out.n), ud = static_cast<size_t>(out.d);
  out.norm2.assign(n, 0.0);
  out.sparse = holding < 0 ? prefer_sparse(n, ud, nonzeros) : holding == 1;
  if (out.sparse) {
    out.start.reserve(n + 1);
    out.start.push_back(0);
    out.index.reserve(nonzeros);
    out.value.reserve(nonzeros);
    for (int i = 0; i < out.n; i++) {
      each(i, [&](int k, double v) {
        out.index.push_back(k);
        out.value.push_back(v);
      });
      out.start.push_back(out.index.size());
      const int* idx;
      const double* val;
      const size_t m = pairs(out, i, idx, val);
      out.norm2[static_cast<size_t>(i)] = sparse_norm2(idx, val, m);
    }
    return;
  }
  out.x.assign(dense_cells(out.n, out.d, "the data"), 0.0);
  for (int i = 0; i < out.n; i++) {
    double* r = out.x.data() + static_cast<size_t>(i) * ud;
    each(i, [&](int k, double v) { r[k] = v; });
    out.norm2[static_cast<size_t>(i)] = dot(r, r, out.d);
  }
}

}  // namespace

Dataset dataset_from_dense(int n, int d, const double* x, const double* head) {
  check_shape(n, d);
  const size_t ud = static_cast<size_t>(d);
  const size_t cells = dense_cells(n, d, "the data");
  const size_t nonzeros =
      static_cast<size_t>(std::count_if(x, x + cells, [](double v) { return v != 0; }));
  Dataset data;
  data.n = n;
  data.d = d;
  fill(data, nonzeros, [&](int i, auto&& f) {
    const double* r = x + static_cast<size_t>(i) * ud;
    for (int k = 0; k < d; k++)
      if (r[k] != 0)
        f(k, r[k]);
  });
  set_heads(data, head);
  return data;
}

Dataset dataset_from_csr(int n, int d, const std::int64_t* indptr, const std::int32_t* indices,
                         const double* values, const double* head) {
  check_shape(n, d);
  size_t nonzeros = 0;
  for (int i = 0; i < n; i++) {
    std::int64_t prev = -1;
    if (indptr[i + 1] < indptr[i])
      throw Failure("row " + std::to_string(i) + ": its end comes before its start");
    for (std::int64_t e = indptr[i]; e < indptr[i + 1]; e++) {
      const std::int32_t k = indices[e];
      if (k <= prev || k >= d)
        throw Failure(
            "row " + std::to_string(i) + ": feature index " + std::to_string(k) +
            (k >= d ? " is beyond the " + std::to_string(d) + " features" : " does not increase"));
      prev = k;
      nonzeros += values[e] != 0;
    }
  }
  Dataset data;
  data.n = n;
  data.d = d;
  fill(data, nonzeros, [&](int i, auto&& f) {
    for (std::int64_t e = indptr[i]; e < indptr[i + 1]; e++)
      if (values[e] != 0)
        f(indices[e], values[e]);
  });
  set_heads(data, head);
  return data;
}

Dataset with_holding(const Dataset& data, bool sparse) {
  Dataset out;
  out.n = data.n;
  out.d = data.d;
  fill(
      out, data.nonzeros(), [&](int i, auto&& f) { data.each_nonzero(i, f); }, sparse ? 1 : 0);
  out.head = data.head;
  out.labels = data.labels;
  return out;
}

Dataset select_rows(const Dataset& data, const std::vector<int>& rows) {
  size_t nonzeros = 0;
  for (int r : rows) {
    if (r < 0 || r >= data.n)
      throw Failure("row " + std::to_string(r) + " is not in the data");
    if (data.sparse) {
      nonzeros += data.start[static_cast<size_t>(r) + 1] - data.start[static_cast<size_t>(r)];
    } else {
      const double* x = data.row(r);
      nonzeros +=
          static_cast<size_t>(std::count_if(x, x + data.d, [](double v) { return v != 0; }));
    }
  }
  Dataset out;
  out.n = static_cast<int>(rows.size());
  out.d = data.d;
  fill(out, nonzeros, [&](int i, auto&& f) { data.each_nonzero(rows[static_cast<size_t>(i)], f); });
  std::vector<double> head(rows.size());
  for (size_t i = 0; i < rows.size(); i++)
    head[i] = data.head[static_cast<size_t>(rows[i])];
  set_heads(out, head.data());
  return out;
}

}  // namespace ksvm
