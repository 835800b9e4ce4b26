// The kernel formulas and the solver's callback: one evaluation, or the
// answer from entries computed ahead (kernel_ahead.cpp).
#include "kernel.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "fast_exp.h"
#include "feature_columns.h"
#include "kernel_ahead.h"
#include "text.h"

namespace ksvm {

namespace {

// The kernel from the dot product of two rows and their squared norms.
inline double from_dot(const KernelParams& p, double ab, double na, double nb) {
  switch (p.type) {
    case kLinear:
      return ab;
    case kPolynomial:
      return power(p.gamma * ab + p.coef0, p.degree);
    case kSigmoid:
      return std::tanh(p.gamma * ab + p.coef0);
    default:
      return exp_inline(-p.gamma * (na + nb - 2 * ab));
  }
}

}  // namespace

double kernel_value(const KernelParams& p, const double* a, double na, const double* b, double nb,
                    int d) {
  return from_dot(p, dot(a, b, d), na, nb);
}

double gather_dot(const int* idx, const double* val, size_t m, const double* w, int wd) {
  // Indices increase: the pairs that meet w end at the first one beyond it.
  if (m > 0 && idx[m - 1] >= wd)
    m = static_cast<size_t>(std::lower_bound(idx, idx + m, wd) - idx);
  return gather_dot(idx, val, m, w);
}

namespace {

// The dot product of two sparse rows, walking both.
double merge_dot(const int* ia, const double* va, size_t ma, const int* ib, const double* vb,
                 size_t mb) {
  double s[4] = {0, 0, 0, 0};
  size_t e = 0, f = 0;
  while (e < ma && f < mb) {
    if (ia[e] < ib[f]) {
      e++;
    } else if (ib[f] < ia[e]) {
      f++;
    } else {
      s[ia[e] & 3] += va[e] * vb[f];
      e++;
      f++;
    }
  }
  return (s[0] + s[1]) + (s[2] + s[3]);
}

// The serial of row j of a precomputed kernel's data, as a feature index
// (-1, a feature no row holds, when it is none).
inline int serial(const Dataset& b, int j) {
  const double s = b.at(j, 0);
  return s >= 0 && s < INT_MAX ? static_cast<int>(s) : -1;
}

}  // namespace

double kernel_value(const KernelParams& p, const Dataset& a, int i, const Dataset& b, int j) {
  if (p.type == kPrecomputed)
    return a.at(i, serial(b, j));
  double ab;
  const int* ia;
  const int* ib;
  const double* va;
  const double* vb;
  if (!a.sparse && !b.sparse) {
    ab = dot(a.row(i), b.row(j), a.d < b.d ? a.d : b.d);  // features beyond either width are 0
  } else if (!b.sparse) {
    const size_t m = pairs(a, i, ia, va);
    ab = gather_dot(ia, va, m, b.row(j), b.d);
  } else if (!a.sparse) {
    const size_t m = pairs(b, j, ib, vb);
    ab = gather_dot(ib, vb, m, a.row(i), a.d);
  } else {
    const size_t ma = pairs(a, i, ia, va), mb = pairs(b, j, ib, vb);
    ab = merge_dot(ia, va, ma, ib, vb, mb);
  }
  return from_dot(p, ab, a.norm2[static_cast<size_t>(i)], b.norm2[static_cast<size_t>(j)]);
}

void kernel_column(const KernelParams& p, const Dataset& sv, const Dataset& z, int i, double* out,
                   const FeatureColumns* by_feature) {
  const size_t ns = static_cast<size_t>(sv.n);
  if (p.type == kPrecomputed) {  // a precomputed row of z names sv by serial
    for (size_t s = 0; s < ns; s++)
      out[s] = z.at(i, serial(sv, static_cast<int>(s)));
    return;
  }
  const double nz = z.norm2[static_cast<size_t>(i)];
  const int* iz;
  const double* vz;
  const int* is;
  const double* vs;
  if (!z.sparse) {
    const double* r = z.row(i);
    for (size_t s = 0; s < ns; s++) {
      const int si = static_cast<int>(s);
      double ab;
      if (sv.sparse) {
        const size_t m = pairs(sv, si, is, vs);
        ab = gather_dot(is, vs, m, r, z.d);
      } else {
        ab = dot(sv.row(si), r, sv.d < z.d ? sv.d : z.d);
      }
      out[s] = from_dot(p, ab, sv.norm2[s], nz);
    }
    return;
  }
  const size_t mz = pairs(z, i, iz, vz);
  if (!sv.sparse) {
    for (size_t s = 0; s < ns; s++)
      out[s] =
          from_dot(p, gather_dot(iz, vz, mz, sv.row(static_cast<int>(s)), sv.d), sv.norm2[s], nz);
    return;
  }
  if (by_feature) {
    thread_local std::vector<FeatureColumns::Part> parts;
    thread_local std::vector<double> sums;
    if (by_feature->pays(by_feature->lay_out(iz, vz, mz, parts))) {
      sums.resize(4 * ns);
      by_feature->add_up(parts, 0, sv.n, sums.data());
      for (size_t s = 0; s < ns; s++)
        out[s] =
            from_dot(p, FeatureColumns::dot(sums.data(), static_cast<int>(s)), sv.norm2[s], nz);
      return;
    }
  }
  // Both sparse, and the features far more than the support vectors hold (a
  // file may name feature 2^31 - 1): the two index lists merged, with the
  // sums of the dense rule, so a work array of d doubles is never made.
  if (static_cast<double>(z.d) > 4.0 * static_cast<double>(sv.index.size() + mz) + 65536) {
    for (size_t s = 0; s < ns; s++) {
      const size_t m = pairs(sv, static_cast<int>(s), is, vs);
      out[s] = from_dot(p, merge_dot(is, vs, m, iz, vz, mz), sv.norm2[s], nz);
    }
    return;
  }
  // Both sparse: row i spread once, each support vector gathered against it.
  // The work array stays all zeros between calls.
  thread_local std::vector<double> w;
  if (w.size() < static_cast<size_t>(z.d))
    w.resize(static_cast<size_t>(z.d), 0.0);
  for (size_t e = 0; e < mz; e++)
    w[static_cast<size_t>(iz[e])] = vz[e];
  for (size_t s = 0; s < ns; s++) {
    const size_t m = pairs(sv, static_cast<int>(s), is, vs);
    out[s] = from_dot(p, gather_dot(is, vs, m, w.data(), z.d), sv.norm2[s], nz);
  }
  for (size_t e = 0; e < mz; e++)
    w[static_cast<size_t>(iz[e])] = 0;
}

void check_precomputed(const Dataset& data, int columns_needed, const std::string& name,
                       bool serials) {
  const int columns = data.d > 0 ? data.d - 1 : 0;
  if (columns < columns_needed)
    throw Failure(name + ": the rows hold kernel values for " + std::to_string(columns) +
                  " columns; " + std::to_string(columns_needed) + " are needed");
  if (!serials)
    return;
  for (int i = 0; i < data.n; i++) {
    const double s = data.at(i, 0);
    if (!(s >= 1 && s <= columns && s == std::floor(s)))
      throw Failure(name + ": row " + std::to_string(i + 1) + ": serial " + format_number(s) +
                    " (feature 0) is not an integer from 1 to " + std::to_string(columns));
  }
}

KernelData::KernelData() : stretch_min(kStretchMin), ahead(new KernelAhead) {}

KernelData::KernelData(const Dataset& set, const KernelParams& params) : KernelData() {
  data = &set;
  x = set.x.data();
  norm2 = set.norm2.data();
  d = set.d;
  rows = set.n;
  p = params;
}

KernelData::~KernelData() = default;

long long KernelData::evaluations() const { return evals + (ahead->next - ahead->counted); }

void KernelData::follow(const int* kidx, int positions, const int* active_size) {
  std::unique_ptr<KernelAhead> fresh(new KernelAhead);
  evals = evaluations();
  ahead = std::move(fresh);  // a new walk: nothing kept from another (any stretch ended)
  order = kidx;
  n = positions;
  active = active_size;
}

namespace {

inline const double* row(const KernelData& k, int i, int d) {
  return k.x + static_cast<size_t>(i) * static_cast<size_t>(d);
}

template <int D>
double single(const KernelData& k, int a, int b) {
  const int d = width<D>(k);
  return from_dot(k.p, dot(row(k, a, d), row(k, b, d), d), k.norm2[a], k.norm2[b]);
}

// A call off the common path counts itself and the answers taken from the
// walk since the last count; whatever compute_ahead then does to the walk
// (even when it throws) starts the tally afresh.
struct Tally {
  KernelData& k;
  explicit Tally(KernelData& kd) : k(kd) { k.evals += k.ahead->next - k.ahead->counted + 1; }
  ~Tally() { k.ahead->counted = k.ahead->next; }
  Tally(const Tally&) = delete;
  Tally& operator=(const Tally&) = delete;
};

template <int D>
__attribute__((noinline)) double fresh(KernelData& k, int a, int b) {
  Tally tally(k);
  double v;
  return compute_ahead(k, a, b, v) ? v : static_cast<float>(single<D>(k, a, b));
}

template <int D>
double callback(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  KernelAhead& h = *k.ahead;
  if (a == h.row && h.next < h.ready && h.key[h.next] == b)
    return h.val[h.next++];
  return fresh<D>(k, a, b);
}

// Sparse rows: row a spread into the work array, row b gathered against it;
// or, where the blocks renumber the features, the two rows walked side by
// side (calls off the walk are few).
double sparse_single(const KernelData& k, int a, int b) {
  const Dataset& data = *k.data;
  const int* ib;
  const double* vb;
  const size_t mb = pairs(data, b, ib, vb);
  double ab;
  if (renumbering(k)) {
    const int* ia;
    const double* va;
    const size_t ma = pairs(data, a, ia, va);
    ab = merge_dot(ia, va, ma, ib, vb, mb);
  } else {
    ab = gather_dot(ib, vb, mb, spread_row(k, a, data.index.data(), data.d));
  }
  return from_dot(k.p, ab, k.norm2[a], k.norm2[b]);
}

__attribute__((noinline)) double sparse_fresh(KernelData& k, int a, int b) {
  Tally tally(k);
  double v;
  return compute_ahead(k, a, b, v) ? v : static_cast<float>(sparse_single(k, a, b));
}

double sparse_callback(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  KernelAhead& h = *k.ahead;
  if (a == h.row && h.next < h.ready && h.key[h.next] == b)
    return h.val[h.next++];
  return sparse_fresh(k, a, b);
}

// A precomputed kernel: K(a, b) is feature `serial of b` of row a.
double precomputed(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  if ((++k.evals & 1023) == 0 && k.stop && k.stop->load(std::memory_order_relaxed))
    throw Interrupted();
  return static_cast<float>(kernel_value(k.p, *k.data, a, *k.data, b));
}

template <int... D>
constexpr std::array<KernelFn, sizeof...(D)> table(std::integer_sequence<int, D...>) {
  return std::array<KernelFn, sizeof...(D)>{callback<D>...};
}

}  // namespace

KernelFn kernel_callback(int d) {
  static const auto callbacks = table(Widths());
  return callbacks[d >= 1 && d <= kFixedWidths ? static_cast<size_t>(d) : 0];
}

KernelFn KernelData::callback() const {
  if (p.type == kPrecomputed)
    return precomputed;
  return data && data->sparse ? sparse_callback : kernel_callback(d);
}

const double* spread_row(const KernelData& k, int a, const int* index, int size) {
  KernelAhead& h = *k.ahead;
  const Dataset& data = *k.data;
  if (h.w.size() != static_cast<size_t>(size) || h.windex != index) {
    h.w.assign(static_cast<size_t>(size), 0.0);
    h.windex = index;
    h.spread = -1;
  }
  if (h.spread != a) {
    if (h.spread >= 0)
      for (size_t e = data.start[static_cast<size_t>(h.spread)];
           e < data.start[static_cast<size_t>(h.spread) + 1]; e++)
        h.w[static_cast<size_t>(index[e])] = 0;
    for (size_t e = data.start[static_cast<size_t>(a)]; e < data.start[static_cast<size_t>(a) + 1];
         e++)
      h.w[static_cast<size_t>(index[e])] = data.value[e];
    h.spread = a;
  }
  return h.w.data();
}

}  // namespace ksvm
