// Sparse rows held by feature, and kernel rows summed from them.
#include "feature_columns.h"

#include <algorithm>
#include <cstring>

#include "kernel_ahead.h"

namespace ksvm {

namespace {

// Rows held in part: at least one in this many, or none (the cache's room
// given up for less would buy little).  On text-like data a held eighth
// and more made training faster than a cache of that room and every row
// gathered (20 000 lines: 18% held, 22.0 s against 28.5 s).
const size_t kFewest = 8;

template <class T>
size_t held(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

size_t FeatureColumns::bytes() const {
  return held(feature) + held(start) + held(at) + held(value) + held(placed) + held(parts) +
         held(sums) + held(column);
}

// Placing the entries anew looks up every non-zero's column, and on
// text-like data the binary search over a large vocabulary took most of
// that time.
long FeatureColumns::column_of(int k) const {
  if (!column.empty())
    return k >= 0 && static_cast<size_t>(k) < column.size() ? column[static_cast<size_t>(k)] : -1;
  const auto c = std::lower_bound(feature.begin(), feature.end(), k);
  return c != feature.end() && *c == k ? c - feature.begin() : -1;
}

bool FeatureColumns::build(const Dataset& data, const int* order, int n, size_t budget, bool part) {
  *this = FeatureColumns();
  if (!data.sparse || n <= 0)
    return false;
  size_t pairs = 0;
  for (int p = 0; p < n; p++) {
    const int q = order[p];
    if (q < 0 || q >= data.n)
      return false;
    pairs += data.start[static_cast<size_t>(q) + 1] - data.start[static_cast<size_t>(q)];
  }
  const size_t un = static_cast<size_t>(n);
  const size_t entry = sizeof(int) + sizeof(double);
  // What the sums and the order take however many rows are held, and the
  // entries of the fewest rows worth holding, checked before anything that
  // large is made.
  const size_t fixed = 4 * (un + kAhead) * sizeof(double) + un * sizeof(int);
  const size_t least = part ? pairs / kFewest : pairs;
  if (pairs == 0 || fixed + entry * least > budget)
    return false;
  {
    std::vector<int> seen;
    seen.reserve(pairs);
    for (int p = 0; p < n; p++) {
      const size_t q = static_cast<size_t>(order[p]);
      seen.insert(seen.end(), data.index.begin() + static_cast<std::ptrdiff_t>(data.start[q]),
                  data.index.begin() + static_cast<std::ptrdiff_t>(data.start[q + 1]));
    }
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    feature.assign(seen.begin(), seen.end());
  }
  const size_t base = fixed + feature.size() * sizeof(int) + (feature.size() + 1) * sizeof(size_t);
  const size_t last = static_cast<size_t>(feature.back());
  const size_t lookup = feature.front() >= 0 && last < pairs ? (last + 1) * sizeof(int) : 0;
  // Every row's entries, with the lookup of columns if that fits too; or
  // as many as the budget leaves room for.
  const bool with_lookup = lookup > 0 && base + lookup + entry * least <= budget;
  const size_t over = base + (with_lookup ? lookup : 0);
  if (over + entry * least > budget)
    return false;
  room = std::min(pairs, (budget - over) / entry);
  all = room == pairs;
  if (with_lookup) {
    column.assign(last + 1, -1);
    for (size_t c = 0; c < feature.size(); c++)
      column[static_cast<size_t>(feature[c])] = static_cast<int>(c);
  }
  start.assign(feature.size() + 1, 0);
  if (all) {
    reach = n;
    mean_pairs = static_cast<double>(pairs) / n;
    count(data, order);
  }
  at.resize(room);
  value.resize(room);
  placed.reserve(un);
  sums.assign(4 * (un + kAhead), 0.0);
  follow(data, order, n);  // counts the held rows' columns first when not all are held
  // A row's columns hold, averaged over the rows, sum(length^2) / n entries.
  double square = 0;
  for (size_t c = 1; c < start.size(); c++) {
    const double length = static_cast<double>(start[c] - start[c - 1]);
    square += length * length;
  }
  if (kFewest * static_cast<size_t>(reach) < un || !pays(square / reach) || bytes() > budget) {
    *this = FeatureColumns();
    return false;
  }
  return true;
}

void FeatureColumns::count(const Dataset& data, const int* order) {
  std::fill(start.begin(), start.end(), 0);
  for (int p = 0; p < reach; p++) {
    const size_t q = static_cast<size_t>(order[p]);
    for (size_t e = data.start[q]; e < data.start[q + 1]; e++)
      start[static_cast<size_t>(column_of(data.index[e])) + 1]++;
  }
  for (size_t c = 1; c < start.size(); c++)
    start[c] += start[c - 1];
}

void FeatureColumns::follow(const Dataset& data, const int* order, int n) {
  if (!placed.empty() && std::memcmp(placed.data(), order, placed.size() * sizeof(int)) == 0)
    return;
  if (!all) {
    // The first positions whose rows' pairs fit, and their columns' lengths.
    size_t pairs = 0;
    int r = 0;
    for (; r < n; r++) {
      const size_t q = static_cast<size_t>(order[r]);
      const size_t m = data.start[q + 1] - data.start[q];
      if (pairs + m > room)
        break;
      pairs += m;
    }
    reach = r;
    mean_pairs = r > 0 ? static_cast<double>(pairs) / r : 0;
    count(data, order);
  }
  std::vector<size_t> fill(start.begin(), start.end() - 1);
  for (int p = 0; p < reach; p++) {
    const size_t q = static_cast<size_t>(order[p]);
    for (size_t e = data.start[q]; e < data.start[q + 1]; e++) {
      const size_t i = fill[static_cast<size_t>(column_of(data.index[e]))]++;
      at[i] = p;
      value[i] = data.value[e];
    }
  }
  placed.assign(order, order + reach);
}

bool FeatureColumns::build(const Dataset& data, size_t budget) {
  std::vector<int> order(static_cast<size_t>(data.n));
  for (int i = 0; i < data.n; i++)
    order[static_cast<size_t>(i)] = i;
  return build(data, order.data(), data.n, budget);
}

double FeatureColumns::lay_out(const int* idx, const double* val, size_t m,
                               std::vector<Part>& out) const {
  out.clear();
  double entries = 0;
  for (size_t e = 0; e < m; e++) {
    const int k = idx[e];
    const long found = column_of(k);
    if (found < 0)
      continue;  // no row of the walk holds feature k: its products are all 0
    const size_t c = static_cast<size_t>(found);
    out.push_back(Part{start[c], start[c + 1], val[e], k & 3});
    entries += static_cast<double>(start[c + 1] - start[c]);
  }
  return entries;
}

double FeatureColumns::lay_out(const Dataset& data, int a) {
  const size_t b = data.start[static_cast<size_t>(a)];
  return lay_out(data.index.data() + b, data.value.data() + b,
                 data.start[static_cast<size_t>(a) + 1] - b, parts);
}

void FeatureColumns::add_up(const std::vector<Part>& row, int from, int to, double* s) const {
  std::fill(s + 4 * static_cast<size_t>(from), s + 4 * static_cast<size_t>(to), 0.0);
  const int* p = at.data();
  const double* v = value.data();
  const int n = reach;
  for (const Part& part : row) {
    size_t e = part.from, end = part.to;
    if (from > 0)
      e = static_cast<size_t>(std::lower_bound(p + e, p + end, from) - p);
    double* t = s + part.sum;
    const double x = part.v;
    // The column's end within the piece is found on the way, not searched
    // for: a search misses the cache at most of its steps (the second one
    // cost 5% of a run on one thread, text-like and pixel sets).
    if (to < n) {
      for (; e < end && p[e] < to; e++)
        t[4 * static_cast<size_t>(p[e])] += x * v[e];
    } else {
      for (; e < end; e++)
        t[4 * static_cast<size_t>(p[e])] += x * v[e];
    }
  }
}

}  // namespace ksvm
