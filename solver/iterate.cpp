// The two iteration strategies on the active set 0..l-1.  Both keep g exact
// on the active positions after every step and hand control back to run()
// with 0 (converged on the active set), 1 (a shrink is due) or -1 (error).
#include <climits>
#include <cmath>
#include <vector>

#include "internal.h"
#include "pool.h"
#include "search.h"

namespace {

// Selections beyond twice (gs1) or once (gs2) the distinct positions touched
// before a shrink is asked for.
const int kShrinkSlack = 200;

// The touched flags of one call: one byte per active position.
struct Touched {
  std::vector<unsigned char> flag;
  int count = 0;
  explicit Touched(int l) : flag(static_cast<size_t>(l), 0) {}
  void mark(int p) {
    if (!flag[static_cast<size_t>(p)]) {
      flag[static_cast<size_t>(p)] = 1;
      count += 1;
    }
  }
};

// What second-order selection found: member k of the last step and the
// partner i that gains most with it; the next pair when gain > 0.
struct Pending {
  double gain = 0;
  int i = -1, k = -1;
};

// The scan of the pairs that hold member k, whose row is rk and whose
// gradient is gk.
kaltro::detail::PairScan pair_scan(const KALTRO& s, int k, const float* rk, double gk) {
  kaltro::detail::PairScan scan;
  scan.g = s.g;
  scan.x = s.x;
  scan.lo = s.lo;
  scan.hi = s.hi;
  scan.diag = s.work->kdiag.get();
  scan.rk = rk;
  scan.gk = gk;
  scan.kk = rk[k];
  scan.up_k = s.hi[k] - s.x[k];
  scan.down_k = s.x[k] - s.lo[k];
  scan.eps_gap = s.eps_gap;
  scan.eps_bound = s.eps_bound;
  return scan;
}

// Bounds of the pair scans for the members v and u, in this order, each
// kaltro::detail::kBoundPiece positions of the active set one entry; empty
// when the step did not compute them.
struct ScanBounds {
  std::vector<double> bound;
  int pieces = 0;
  bool valid = false;
};

// Second-order selection among the pairs holding a member of the step just
// taken, from rows still complete over the active set; no kernel is
// evaluated.  The falling member v is looked at before the rising member u,
// and a later find replaces an earlier one only with a larger gain.
void select_second_order(const KALTRO& s, int u, int v, const ScanBounds& b, Pending& p) {
  p.gain = 0;
  const int members[2] = {v, u};
  for (int m = 0; m < 2; m++) {
    const int k = members[m];
    const KALTRO::Arow* rowk = s.rows[k];
    if (rowk->len < s.l)
      continue;
    const kaltro::detail::PairScan scan = pair_scan(s, k, rowk->data, s.g[k]);
    int best = -1;
    if (b.valid) {
      kaltro::detail::scan_bounded(scan, &b.bound[static_cast<size_t>(m * b.pieces)], k, s.l,
                                   p.gain, best);
    } else {
      kaltro::detail::scan_pairs(scan, 0, k, p.gain, best);
      kaltro::detail::scan_pairs(scan, k + 1, s.l, p.gain, best);
    }
    if (best >= 0) {
      p.i = best;
      p.k = k;
    }
  }
}

// The gradient update of a step on a long active set, in pieces on the
// pool's threads, each piece followed by the bounds of the pair scans over
// its positions when `scan` asks for them (the scans themselves, which
// carry the pending gain from position to position, stay on this thread).
// A member's gradient is the value its piece gives it: the same
// expression, evaluated here before that piece has run.
void update_in_pieces(const KALTRO& s, int u, int v, const float* ru, const float* rv, double step,
                      bool scan, ScanBounds& b) {
  const int kBound = kaltro::detail::kBoundPiece;
  const int per = 8;  // bound pieces to a piece of the job
  b.pieces = (s.l + kBound - 1) / kBound;
  b.bound.resize(2 * static_cast<size_t>(b.pieces));
  kaltro::detail::PairScan scans[2];
  if (scan) {
    const int members[2] = {v, u};
    const float* rows[2] = {rv, ru};
    for (int m = 0; m < 2; m++) {
      const int k = members[m];
      scans[m] = pair_scan(
          s, k, rows[m], s.g[k] - step * (static_cast<double>(ru[k]) - static_cast<double>(rv[k])));
    }
  }
  double* const g = s.g;
  const int l = s.l;
  kaltro::detail::each((b.pieces + per - 1) / per, s.threads, [&](int i) {
    const int from = i * per * kBound, to = l - from < per * kBound ? l : from + per * kBound;
    kaltro::detail::update_pair(g + from, ru + from, rv + from, step, to - from);
    if (!scan)
      return;
    for (int m = 0; m < 2; m++)
      for (int p = from; p < to; p += kBound)
        b.bound[static_cast<size_t>(m * b.pieces + p / kBound)] =
            kaltro::detail::pair_bound(scans[m], p, to - p < kBound ? to : p + kBound);
  });
  b.valid = scan && g[v] == scans[0].gk && g[u] == scans[1].gk;
}

// Steps a solve may take: max_steps when it is set, and never more than
// `it` can count.
int step_cap(const KALTRO& s) {
  return s.max_steps > 0 && s.max_steps < INT_MAX ? static_cast<int>(s.max_steps) : INT_MAX;
}

int stop_at_cap(KALTRO& s) {
  s.error(kaltro::msg::step_limit);
  return kaltro::step_limit_result;
}

}  // namespace

int KALTRO::iterate_gs1() {
  Touched touched(l);
  int selections = 0;
  const int cap = step_cap(*this);
  for (;;) {
    // Scan: extremes start at 0, so candidates have gradients of the right sign.
    const kaltro::detail::Extremes e = kaltro::detail::find_extremes(g, x, lo, hi, 0, l, 0.0, 0.0);
    g_high = e.high;
    g_low = e.low;
    const int sel = (g_high + g_low < 0) ? e.down : e.up;
    if (eps_gap > g_high - g_low || sel < 0)
      return 0;

    selections += 1;
    touched.mark(sel);
    if (2 * touched.count < l && selections > 2 * touched.count + kShrinkSlack)
      return 1;
    if (it >= cap)
      return stop_at_cap(*this);

    kaltro::detail::cache_tidy(*this);
    const float* r = getrow(sel, l, true);

    const bool moving_down = g[sel] < 0;
    const double room = moving_down ? x[sel] - lo[sel] : hi[sel] - x[sel];
    const double kappa = r[sel];
    double step;
    bool clipped;
    if (!kaltro::detail::step_length(std::fabs(g[sel]), kappa, room, eps_bound, step, clipped))
      return error(kaltro::msg::not_convex);
    if (!std::isfinite(step))  // a flat direction without a bound: w grows without end
      return error(kaltro::msg::non_finite);
    if (moving_down)
      step = -step;

    x[sel] += step;
    kaltro::detail::update_one(g, r, step, 0, l);
    it += 1;
    if (clipped)
      togbar(sel);
  }
}

int KALTRO::iterate_gs2() {
  Touched touched(l);
  int pairs = 0;
  Pending pending;  // from second-order selection after the last step
  ScanBounds bounds;
  const int cap = step_cap(*this);
  for (;;) {
    int u, v;  // rising and falling member
    if (pending.gain > 0) {
      if (g[pending.k] > g[pending.i]) {
        u = pending.k;
        v = pending.i;
      } else {
        u = pending.i;
        v = pending.k;
      }
      g_high = g[u];
      g_low = g[v];
    } else {
      const kaltro::detail::Extremes e =
          kaltro::detail::find_extremes(g, x, lo, hi, 0, l, -big, big);
      g_high = e.high;
      g_low = e.low;
      u = e.up;
      v = e.down;
      // A NaN gap (inf - inf, with big infinite) is no convergence: it
      // comes only with a member missing, handled below.
      const double gap = g_high - g_low;
      if (gap < eps_gap || gap <= 0)
        return 0;
      if (u < 0 || v < 0)
        return error(kaltro::msg::beyond_big);
    }

    touched.mark(u);
    touched.mark(v);
    pairs += 1;
    if (touched.count < l && pairs > touched.count + kShrinkSlack)
      return 1;
    if (it >= cap)
      return stop_at_cap(*this);

    kaltro::detail::cache_tidy(*this);
    const float* ru = getrow(u, l, true);
    const float* rv = getrow(v, l, true);

    const double room_u = hi[u] - x[u];
    const double room_v = x[v] - lo[v];
    const bool u_limits = room_u <= room_v;
    const double room = u_limits ? room_u : room_v;
    const double kappa = static_cast<double>(ru[u]) + static_cast<double>(rv[v]) -
                         static_cast<double>(ru[v]) - static_cast<double>(rv[u]);
    double step;
    bool clipped;
    if (!kaltro::detail::step_length(g_high - g_low, kappa, room, eps_bound, step, clipped))
      return error(kaltro::msg::not_convex);
    if (!std::isfinite(step))  // as in iterate_gs1
      return error(kaltro::msg::non_finite);

    x[u] += step;
    x[v] -= step;
    const bool open = !clipped || x[u] < hi[u] - eps_bound || x[v] > lo[v] + eps_bound;
    bounds.valid = false;
    if (threads > 1 && l >= work->split_min)
      update_in_pieces(*this, u, v, ru, rv, step, open, bounds);
    else
      kaltro::detail::update_pair(g, ru, rv, step, l);
    it += 1;

    if (clipped) {
      togbar(u_limits ? u : v);
      if (!open) {
        pending.gain = 0;
        continue;
      }
    }

    select_second_order(*this, u, v, bounds, pending);
  }
}
