// The two iteration strategies on the active set 0..l-1.  Both keep g exact
// on the active positions after every step and hand control back to run()
// with 0 (converged on the active set), 1 (a shrink is due) or -1 (error).
#include <climits>
#include <cmath>
#include <vector>

#include "internal.h"
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

// Second-order selection among the pairs holding a member of the step just
// taken, from rows still complete over the active set; no kernel is
// evaluated.  The falling member v is looked at before the rising member u,
// and a later find replaces an earlier one only with a larger gain.
void select_second_order(const KALTRO& s, int u, int v, Pending& p) {
  p.gain = 0;
  const int members[2] = {v, u};
  for (int m = 0; m < 2; m++) {
    const int k = members[m];
    const KALTRO::Arow* rowk = s.rows[k];
    if (rowk->len < s.l)
      continue;
    kaltro::detail::PairScan scan;
    scan.g = s.g;
    scan.x = s.x;
    scan.lo = s.lo;
    scan.hi = s.hi;
    scan.diag = s.work->kdiag.get();
    scan.rk = rowk->data;
    scan.gk = s.g[k];
    scan.kk = rowk->data[k];
    scan.up_k = s.hi[k] - s.x[k];
    scan.down_k = s.x[k] - s.lo[k];
    scan.eps_gap = s.eps_gap;
    scan.eps_bound = s.eps_bound;
    int best = -1;
    kaltro::detail::scan_pairs(scan, 0, k, p.gain, best);
    kaltro::detail::scan_pairs(scan, k + 1, s.l, p.gain, best);
    if (best >= 0) {
      p.i = best;
      p.k = k;
    }
  }
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
    kaltro::detail::update_pair(g, ru, rv, step, l);
    it += 1;

    if (clipped) {
      const bool open = x[u] < hi[u] - eps_bound || x[v] > lo[v] + eps_bound;
      togbar(u_limits ? u : v);
      if (!open) {
        pending.gain = 0;
        continue;
      }
    }

    select_second_order(*this, u, v, pending);
  }
}
