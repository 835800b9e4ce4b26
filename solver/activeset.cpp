// Active set and gradient: positions 0..l-1 are active and carry exact
// gradients; the shrunk positions behind them are rebuilt from the reference
// pair (xref, gref) when the whole set is made active again.
#include "kaltro.h"

#include <memory>
#include <utility>

namespace {

// Largest gradient among variables that can still rise and smallest among
// those that can still fall, over positions [from, to).
void extremes(KALTRO& s, int from, int to) {
  double hi_g = s.equality ? -s.big : 0.0;
  double lo_g = s.equality ? s.big : 0.0;
  for (int p = from; p < to; p++) {
    if (s.g[p] > hi_g && s.x[p] < s.hi[p])
      hi_g = s.g[p];
    if (s.g[p] < lo_g && s.x[p] > s.lo[p])
      lo_g = s.g[p];
  }
  s.g_high = hi_g;
  s.g_low = lo_g;
}

// g[p] -= d * r[p] over [from, to); kept plain so it vectorises.
void axpy_row(double* g, const float* r, double d, int from, int to) {
  for (int p = from; p < to; p++)
    g[p] -= d * static_cast<double>(r[p]);
}

}  // namespace

void KALTRO::swap(int i, int j) {
  if (i == j)
    return;
  std::swap(kidx[i], kidx[j]);
  std::swap(lin[i], lin[j]);
  std::swap(lo[i], lo[j]);
  std::swap(hi[i], hi[j]);
  std::swap(x[i], x[j]);
  std::swap(g[i], g[j]);
  std::swap(gref[i], gref[j]);
  std::swap(xref[i], xref[j]);
  std::swap(home[i], home[j]);
  cache_swap(i, j);
}

void KALTRO::shrink() {
  extremes(*this, 0, l);
  const double t_high = equality ? g_high : 0.0;
  const double t_low = equality ? g_low : 0.0;
  int i = 0;
  while (i < l) {
    bool held = (g[i] >= t_high && x[i] >= hi[i] - eps_bound) ||
                (g[i] <= t_low && x[i] <= lo[i] + eps_bound);
    if (held) {
      l -= 1;
      swap(i, l);  // re-test position i with the variable that came in
    } else {
      i += 1;
    }
  }
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
        cache_clean();
        const float* r = getrow(k, n, false);
        axpy_row(g, r, d, l, n);
      }
    } else {
      for (int p = l; p < n; p++)
        g[p] = lin[p];
      for (int k = 0; k < n; k++) {
        double xk = x[k];
        if (xk == 0)
          continue;
        cache_clean();
        const float* r = getrow(k, n, false);
        axpy_row(g, r, xk, l, n);
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
  axpy_row(gref, r, d, 0, n);
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
