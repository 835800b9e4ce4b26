// Active set and gradient: positions 0..l-1 are active and carry exact
// gradients; the shrunk positions behind them are rebuilt from the reference
// pair (xref, gref) when the whole set is made active again.
#include <memory>
#include <utility>
#include <vector>

#include "internal.h"
#include "pool.h"
#include "search.h"

namespace {

// Largest gradient among variables that can still rise and smallest among
// those that can still fall, over positions [from, to).
void extremes(KALTRO& s, int from, int to) {
  const kaltro::detail::Extremes e = kaltro::detail::find_extremes(
      s.g, s.x, s.lo, s.hi, from, to, s.equality ? -s.big : 0.0, s.equality ? s.big : 0.0);
  s.g_high = e.high;
  s.g_low = e.low;
}

// Positions of one piece when a row's update is shared between threads:
// long enough that handing it over costs little beside it (measured: below
// about twice this, the update is done sooner on one thread).
const int kPiece = 16384;

// g[p] -= d * r[p] over [from, to); long stretches in pieces on s.threads
// threads.  Each g[p] gets the one product of its own, so the pieces give
// the bits of the whole loop.
void axpy_row(const KALTRO& s, double* g, const float* r, double d, int from, int to) {
  if (s.threads > 1 && to - from >= 2 * kPiece) {
    kaltro::detail::each((to - from + kPiece - 1) / kPiece, s.threads, [&](int i) {
      const int a = from + i * kPiece;
      kaltro::detail::update_one(g, r, d, a, to - a < kPiece ? to : a + kPiece);
    });
    return;
  }
  kaltro::detail::update_one(g, r, d, from, to);
}

// Exchanges every per-variable entry of positions i and j; the cache
// (rows and their entries) is the caller's business.
void swap_entries(KALTRO& s, int i, int j) noexcept {
  std::swap(s.kidx[i], s.kidx[j]);
  std::swap(s.lin[i], s.lin[j]);
  std::swap(s.lo[i], s.lo[j]);
  std::swap(s.hi[i], s.hi[j]);
  std::swap(s.x[i], s.x[j]);
  std::swap(s.g[i], s.g[j]);
  std::swap(s.gref[i], s.gref[j]);
  std::swap(s.xref[i], s.xref[j]);
  std::swap(s.home[i], s.home[j]);
  std::swap(s.work->kdiag[i], s.work->kdiag[j]);
}

}  // namespace

void KALTRO::swap(int i, int j) noexcept {
  if (i == j)
    return;
  swap_entries(*this, i, j);
  cache_swap(i, j);
}

void KALTRO::shrink() {
  extremes(*this, 0, l);
  const double t_high = equality ? g_high : 0.0;
  const double t_low = equality ? g_low : 0.0;
  // The cache follows all exchanges of this walk at once, afterwards.
  std::vector<int> exchanged;
  int i = 0;
  while (i < l) {
    bool held = (g[i] >= t_high && x[i] >= hi[i] - eps_bound) ||
                (g[i] <= t_low && x[i] <= lo[i] + eps_bound);
    if (held) {
      l -= 1;
      if (i != l) {  // re-test position i with the variable that came in
        swap_entries(*this, i, l);
        exchanged.push_back(i);
        exchanged.push_back(l);
      }
    } else {
      i += 1;
    }
  }
  kaltro::detail::cache_reorder(*this, exchanged);
}

void KALTRO::unshrink(bool from_gref) {
  if (l < n) {
    if (from_gref) {
      for (int p = l; p < n; p++)
        g[p] = gref[p];
      for (int k = 0; k < n; k++) {
        double d = x[k] - xref[k];
        if (d == 0)
          continue;
        kaltro::detail::cache_room(*this);
        const float* r = getrow(k, n, false);
        axpy_row(*this, g, r, d, l, n);
      }
    } else {
      for (int p = l; p < n; p++)
        g[p] = lin[p];
      for (int k = 0; k < n; k++) {
        double xk = x[k];
        if (xk == 0)
          continue;
        kaltro::detail::cache_room(*this);
        const float* r = getrow(k, n, false);
        axpy_row(*this, g, r, xk, l, n);
      }
    }
    for (int p = 0; p < n; p++) {
      gref[p] = g[p];
      xref[p] = x[p];
    }
  }
  l = n;
  extremes(*this, 0, n);
  double sum = 0;
  for (int p = 0; p < n; p++)
    sum += x[p] * (lin[p] + g[p]);
  w = 0.5 * sum;
}

void KALTRO::togbar(int k) {
  double d = x[k] - xref[k];
  if (d == 0)
    return;
  cache_clean();
  const float* r = getrow(k, n, false);
  axpy_row(*this, gref, r, d, 0, n);
  xref[k] = x[k];
}

void KALTRO::unswap() {
  std::unique_ptr<int[]> inverse(new int[static_cast<size_t>(n)]);
  for (int p = 0; p < n; p++)
    inverse[home[p]] = p;
  for (int j = 0; j < n; j++) {
    int k = inverse[j];
    swap(j, k);
    inverse[home[j]] = j;
    inverse[home[k]] = k;
  }
}
