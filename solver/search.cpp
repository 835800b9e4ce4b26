// Vector paths for the pair search and the gradient updates.  The plain
// loops are the reference; the vector loops evaluate the same expressions
// lane by lane and fall back to the plain rule, in index order, for any
// block that holds a winning candidate, so ties and the running gain behave
// exactly as in the plain loop.
#include "search.h"

#include "lanes.h"

namespace kaltro {
namespace detail {

namespace {

// One candidate, exactly as the plain rule states it.
inline void consider(const PairScan& s, int i, double& gain, int& best) {
  const double d = s.gk - s.g[i];
  double D, rm;
  const double down_i = s.x[i] - s.lo[i];
  const double up_i = s.hi[i] - s.x[i];
  if (d >= s.eps_gap && s.up_k > s.eps_bound && down_i > s.eps_bound) {
    D = d;
    rm = down_i < s.up_k ? down_i : s.up_k;
  } else if (d <= -s.eps_gap && s.down_k > s.eps_bound && up_i > s.eps_bound) {
    D = -d;
    rm = up_i < s.down_k ? up_i : s.down_k;
  } else {
    return;
  }
  const double kappa = s.kk + static_cast<double>(s.diag[i]) - 2.0 * static_cast<double>(s.rk[i]);
  const double kr = kappa * rm;
  const double S = kr < D ? kr : D;
  const double num = S * (2.0 * D - S);
  if (num > gain * kappa) {
    gain = num / kappa;
    best = i;
  }
}

void scan_plain(const PairScan& s, int from, int to, double& gain, int& best) {
  for (int i = from; i < to; i++)
    consider(s, i, gain, best);
}

void update_pair_plain(double* g, const float* ru, const float* rv, double step, int l) {
  for (int p = 0; p < l; p++)
    g[p] -= step * (static_cast<double>(ru[p]) - static_cast<double>(rv[p]));
}

void update_one_plain(double* g, const float* r, double step, int from, int to) {
  for (int p = from; p < to; p++)
    g[p] -= step * static_cast<double>(r[p]);
}

#ifdef KALTRO_LANES

// The three loops above on V::n positions at a time.  The pair scan finds
// out lane by lane whether a block holds a candidate that beats the running
// gain, and if so hands the whole block to consider(), in index order.
template <class V>
inline void scan_lanes(const PairScan& s, int from, int to, double& gain, int& best) {
  using M = typename V::Mask;
  const V gk = V::all(s.gk), kk = V::all(s.kk);
  const V eg = V::all(s.eps_gap), neg_eg = V::all(-s.eps_gap);
  const V eb = V::all(s.eps_bound);
  const V up_k = V::all(s.up_k), down_k = V::all(s.down_k);
  const M up_ok = M::when(s.up_k > s.eps_bound);
  const M down_ok = M::when(s.down_k > s.eps_bound);
  const V two = V::all(2.0);
  int i = from;
  for (; i + V::n <= to; i += V::n) {
    const V x = V::load(s.x + i);
    const V d = gk - V::load(s.g + i);
    const V down_i = x - V::load(s.lo + i);
    const V up_i = V::load(s.hi + i) - x;
    const M c1 = (d >= eg) & up_ok & (down_i > eb);
    const M c2 = (d <= neg_eg) & down_ok & (up_i > eb);
    const M cand = c1 | c2;
    if (!cand.any())
      continue;
    const V D = select(c1, d, -d);
    const V rm = select(c1, min(down_i, up_k), min(up_i, down_k));
    const V kappa = (kk + V::load(s.diag + i)) - two * V::load(s.rk + i);
    const V kr = kappa * rm;
    const V S = select(kr < D, kr, D);
    const V num = S * (two * D - S);
    if ((cand & (num > V::all(gain) * kappa)).any())
      for (int j = i; j < i + V::n; j++)
        consider(s, j, gain, best);
  }
  scan_plain(s, i, to, gain, best);
}

template <class V>
inline void update_pair_lanes(double* g, const float* ru, const float* rv, double step, int l) {
  const V st = V::all(step);
  int p = 0;
  for (; p + V::n <= l; p += V::n)
    (V::load(g + p) - st * (V::load(ru + p) - V::load(rv + p))).store(g + p);
  update_pair_plain(g + p, ru + p, rv + p, step, l - p);
}

template <class V>
inline void update_one_lanes(double* g, const float* r, double step, int from, int to) {
  const V st = V::all(step);
  int p = from;
  for (; p + V::n <= to; p += V::n)
    (V::load(g + p) - st * V::load(r + p)).store(g + p);
  update_one_plain(g, r, step, p, to);
}

// One entry point per width and loop.
KALTRO_LANES2 void scan2(const PairScan& s, int from, int to, double& gain, int& best) {
  scan_lanes<Lanes2>(s, from, to, gain, best);
}
KALTRO_LANES4 void scan4(const PairScan& s, int from, int to, double& gain, int& best) {
  scan_lanes<Lanes4>(s, from, to, gain, best);
}
KALTRO_LANES8 void scan8(const PairScan& s, int from, int to, double& gain, int& best) {
  scan_lanes<Lanes8>(s, from, to, gain, best);
}
KALTRO_LANES2 void update_pair2(double* g, const float* ru, const float* rv, double step, int l) {
  update_pair_lanes<Lanes2>(g, ru, rv, step, l);
}
KALTRO_LANES4 void update_pair4(double* g, const float* ru, const float* rv, double step, int l) {
  update_pair_lanes<Lanes4>(g, ru, rv, step, l);
}
KALTRO_LANES8 void update_pair8(double* g, const float* ru, const float* rv, double step, int l) {
  update_pair_lanes<Lanes8>(g, ru, rv, step, l);
}
KALTRO_LANES2 void update_one2(double* g, const float* r, double step, int from, int to) {
  update_one_lanes<Lanes2>(g, r, step, from, to);
}
KALTRO_LANES4 void update_one4(double* g, const float* r, double step, int from, int to) {
  update_one_lanes<Lanes4>(g, r, step, from, to);
}
KALTRO_LANES8 void update_one8(double* g, const float* r, double step, int from, int to) {
  update_one_lanes<Lanes8>(g, r, step, from, to);
}

#endif

}  // namespace

Extremes find_extremes(const double* g, const double* x, const double* lo, const double* hi,
                       int from, int to, double start_high, double start_low) {
  Extremes e{start_high, start_low, -1, -1};
  for (int p = from; p < to; p++) {
    if (g[p] > e.high && x[p] < hi[p]) {
      e.high = g[p];
      e.up = p;
    }
    if (g[p] < e.low && x[p] > lo[p]) {
      e.low = g[p];
      e.down = p;
    }
  }
  return e;
}

bool step_length(double slope, double kappa, double room, double eps_bound, double& step,
                 bool& clipped) {
  if (kappa >= eps_bound) {
    const double t = slope / kappa;
    clipped = !(room > t);
    step = clipped ? room : t;
  } else if (kappa + eps_bound < 0) {
    return false;
  } else {
    step = room;  // flat direction: all the way to the bound
    clipped = true;
  }
  return true;
}

void scan_pairs(const PairScan& s, int from, int to, double& gain, int& best) {
#ifdef KALTRO_LANES
  switch (simd_level()) {
    case kLanes8:
      return scan8(s, from, to, gain, best);
    case kLanes4:
      return scan4(s, from, to, gain, best);
    case kLanes2:
      return scan2(s, from, to, gain, best);
    default:
      break;
  }
#endif
  scan_plain(s, from, to, gain, best);
}

void update_pair(double* g, const float* ru, const float* rv, double step, int l) {
#ifdef KALTRO_LANES
  switch (simd_level()) {
    case kLanes8:
      return update_pair8(g, ru, rv, step, l);
    case kLanes4:
      return update_pair4(g, ru, rv, step, l);
    case kLanes2:
      return update_pair2(g, ru, rv, step, l);
    default:
      break;
  }
#endif
  update_pair_plain(g, ru, rv, step, l);
}

void update_one(double* g, const float* r, double step, int from, int to) {
#ifdef KALTRO_LANES
  switch (simd_level()) {
    case kLanes8:
      return update_one8(g, r, step, from, to);
    case kLanes4:
      return update_one4(g, r, step, from, to);
    case kLanes2:
      return update_one2(g, r, step, from, to);
    default:
      break;
  }
#endif
  update_one_plain(g, r, step, from, to);
}

}  // namespace detail
}  // namespace kaltro
