// Independent judgement of a solver answer: the gradient, the gap and the
// objective are recomputed from the problem; the solver's own figures are
// only compared with them.
//
// The bounds, for a problem  max w(x) = lin.x - 1/2 x'Kx  over the box (and
// sum x fixed):
//
// * Optimality certificate.  w is concave, so for every feasible y
//   w(y) <= w(x) + g.(y - x) with g = lin - Kx exact.  Hence
//   w* - w(x) <= cert(x) = max over feasible y of g.(y - x), a linear
//   program solved in closed form below.  When the exact gap
//   g_high - g_low is below e, cert(x) <= e * sum(hi - lo): each variable
//   can gain at most (g_high - nu) or (nu - g_low) per unit of its room,
//   with nu anywhere in [g_low, g_high] (nu = 0 without the sum constraint,
//   where g_high >= 0 >= g_low).  So an answer whose exact gap is below e is
//   within e * sum(hi - lo) of the optimum, and usually much closer.
//
// * Single-precision rows.  The solver keeps g = lin - sum_j fl(K_ji) x_j,
//   where fl(K_ji) is the float that row j holds for column i: every
//   gradient update from a move of x_j uses that same entry.  So we rebuild
//   that "float gradient" g_f ourselves from the same floats; the solver's
//   gradient must equal it up to double rounding, and the solver's stopping
//   rule holds for it.  The exact gradient differs from g_f by the float
//   effect F = max_i |g_f,i - g_i|, at most 2^-24 sum_j |K_ij| |x_j| (plus
//   2^-150 per entry below the smallest normal float); the exact gap may
//   exceed the float gap by 2F, which is the allowance for the cache.
//
// * Double rounding.  Each step, each reference update and each term of a
//   gradient build or rebuild rounds once in the product and once in the
//   difference, together by at most 2^-53 (|g| + |update|) <= 2^-53 S with
//   S = max_i (|lin_i| + sum_j |K_ij| max(|lo_j|, |hi_j|)) + 2 Kmax max(hi - lo),
//   which bounds every gradient value and every update term.  A value of g
//   collects at most steps + 2n such errors (its own steps, or the reference
//   updates and one rebuild, plus the first build), so the solver's gradient
//   may differ from g_f by D = 2 (steps + 2n + 4) 2^-53 S (a factor 2 of
//   room).  The stopping rule itself is checked on the solver's gradient,
//   without allowance; the measured E = max_i |g_solver,i - g_f,i| carries it
//   to g_f and the exact gradient.
#ifndef KALTRO_QP_CHECK_H
#define KALTRO_QP_CHECK_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kaltro.h"

namespace qpcheck {

const double kDoubleEps = 1.0 / 9007199254740992.0;  // 2^-53
const double kFloatEps = 1.0 / 16777216.0;           // 2^-24
const double kFloatTiny = 7.006492321624085e-46;     // 2^-150

// One problem in the caller's order with its kernel matrix, in double and
// as the floats the solver's row cache holds.
struct Qp {
  int n = 0;
  bool equality = true;
  double eps_gap = 1e-3;
  double big = 1e20;
  std::vector<int> kidx;
  std::vector<double> lin, lo, hi, x0;
  std::vector<double> K;  // n x n, K(kidx[i], kidx[j])
  std::vector<float> Kf;  // n x n, the float row i holds for column j

  double k(int i, int j) const { return K[static_cast<size_t>(i) * n + j]; }
  double kf(int i, int j) const { return Kf[static_cast<size_t>(i) * n + j]; }
  // The float entries are converted exactly as the row cache converts them
  // (straight from the function's result), so they match bit for bit also
  // where doubles are evaluated in wider registers.
  void fill_kernel(double (*kernel)(int, int, void*), void* arg) {
    K.assign(static_cast<size_t>(n) * n, 0.0);
    Kf.assign(static_cast<size_t>(n) * n, 0.0f);
    for (int i = 0; i < n; i++)
      for (int j = 0; j < n; j++) {
        K[static_cast<size_t>(i) * n + j] = kernel(kidx[i], kidx[j], arg);
        Kf[static_cast<size_t>(i) * n + j] = static_cast<float>(kernel(kidx[i], kidx[j], arg));
      }
  }
  // Write the problem into a solver object (caller's order).
  void load(KALTRO& s) const {
    for (int i = 0; i < n; i++) {
      s.kidx[i] = kidx[i];
      s.lin[i] = lin[i];
      s.lo[i] = lo[i];
      s.hi[i] = hi[i];
      s.x[i] = x0[i];
    }
    s.equality = equality;
    s.eps_gap = eps_gap;
    s.big = big;
  }
};

// What a solve left, in the caller's order.
struct Answer {
  std::vector<double> x, g;
  double w = 0, g_high = 0, g_low = 0;
  int steps = 0;
};

// Read the solver's arrays through home[], so this works both after a
// finalising run and between split runs.
inline Answer answer_of(const KALTRO& s, int steps) {
  Answer a;
  a.x.assign(static_cast<size_t>(s.n), std::nan(""));
  a.g.assign(static_cast<size_t>(s.n), std::nan(""));
  for (int p = 0; p < s.n; p++) {
    a.x[static_cast<size_t>(s.home[p])] = s.x[p];
    a.g[static_cast<size_t>(s.home[p])] = s.g[p];
  }
  a.w = s.w;
  a.g_high = s.g_high;
  a.g_low = s.g_low;
  a.steps = steps;
  return a;
}

// max g.(y - x) over the feasible set.  Without the sum constraint each
// coordinate goes to its better bound.  With it, by duality the value is
// min over nu of sum_i max((g_i - nu) up_i, (g_i - nu) down_i); that is
// convex and piecewise linear in nu with kinks at the g_i, and never
// negative (y = x), so its minimum over the kinks is the answer.
inline double certificate(const Qp& q, const std::vector<double>& x, const std::vector<double>& g) {
  const int n = q.n;
  auto term = [&](int i, double nu) {
    double d = g[i] - nu;
    return std::max(d * (q.hi[i] - x[i]), d * (q.lo[i] - x[i]));
  };
  if (!q.equality) {
    double s = 0;
    for (int i = 0; i < n; i++)
      s += term(i, 0.0);
    return s;
  }
  double best = HUGE_VAL;
  for (int k = 0; k < n; k++) {
    double s = 0;
    for (int i = 0; i < n; i++)
      s += term(i, g[k]);
    best = std::min(best, s);
  }
  return n == 0 ? 0.0 : std::max(best, 0.0);
}

// Everything recomputed for one answer.
struct Verdict {
  double w = 0;            // objective at x, exact kernel
  double cert = 0;         // upper bound on w* - w
  double gap = 0;          // exact g_high - g_low (0 if not positive)
  double gap_f = 0;        // the same from the float gradient
  double float_eff = 0;    // F: max_i |g_f,i - g_i|
  double float_bound = 0;  // a priori bound on F
  double round_err = 0;    // D: double-rounding allowance on a gradient value
  double round_eff = 0;    // E: max_i |g_solver,i - g_f,i|
  double width = 0;        // sum(hi - lo)
  double scale = 0;        // sum|lin x| + 1/2 sum |x||K||x|, the size of w's terms
  double grad_scale = 0;   // S above
  double drift = 0;        // |sum x - sum x0| (sum constraint only)
  // Allowed error of a value of w computed by us or by another program.
  double w_slack(double other_scale) const {
    return 1e-11 * (1 + scale + other_scale) + grad_scale * drift;
  }
  // What the stopping rule promises for the exact gap: eps_gap, plus the
  // cache's float effect and the solver's rounding on both extremes.
  double gap_bound(double eps_gap) const { return eps_gap + 2 * (float_eff + round_eff); }
};

// Extremes of a gradient over the variables that can rise / fall.
inline void extremes(const Qp& q, const std::vector<double>& x, const std::vector<double>& g,
                     double* high, double* low) {
  *high = q.equality ? -q.big : 0.0;
  *low = q.equality ? q.big : 0.0;
  for (int i = 0; i < q.n; i++) {
    if (x[i] < q.hi[i])
      *high = std::max(*high, g[i]);
    if (x[i] > q.lo[i])
      *low = std::min(*low, g[i]);
  }
}

// Checks an answer against the problem and fills *out.  Failures name the
// first offending variable.
inline ::testing::AssertionResult judge(const Qp& q, const Answer& a, Verdict* out) {
  const int n = q.n;
  Verdict v;
  double kmax = 0, wmax = 0, gmax = 0, absx = 0, xmax = 0;
  for (int i = 0; i < n; i++) {
    xmax = std::max(xmax, std::max(std::fabs(q.lo[i]), std::fabs(q.hi[i])));
    wmax = std::max(wmax, q.hi[i] - q.lo[i]);
    v.width += q.hi[i] - q.lo[i];
  }
  for (int i = 0; i < n; i++) {
    double gi = std::fabs(q.lin[i]);
    for (int j = 0; j < n; j++) {
      kmax = std::max(kmax, std::fabs(q.k(i, j)));
      gi += std::fabs(q.kf(j, i)) * std::max(std::fabs(q.lo[j]), std::fabs(q.hi[j]));
    }
    gmax = std::max(gmax, gi);
  }

  // Feasibility: the solver clamps at the end, so the box holds exactly.
  for (int i = 0; i < n; i++) {
    if (!(q.lo[i] <= a.x[i] && a.x[i] <= q.hi[i]))
      return ::testing::AssertionFailure()
             << "x[" << i << "] = " << a.x[i] << " outside [" << q.lo[i] << ", " << q.hi[i] << "]";
    absx = std::max(absx, std::fabs(a.x[i]));
  }
  if (q.equality) {
    long double s = 0, s0 = 0;
    for (int i = 0; i < n; i++) {
      s += a.x[i];
      s0 += q.x0[i];
    }
    v.drift = static_cast<double>(std::fabs(s - s0));
    // Every step moves two variables by one rounded amount and the final
    // clamp moves a variable by at most a rounding error.
    double allowed = 4 * kDoubleEps * (a.steps + n + 2.0) * (xmax + wmax);
    if (!(v.drift <= allowed))
      return ::testing::AssertionFailure()
             << "sum of x drifted by " << v.drift << " (allowed " << allowed << ")";
  }

  // Exact and float gradients, accumulated in long double so our own
  // rounding stays well below the solver's allowance.
  std::vector<double> g(static_cast<size_t>(n)), gf(static_cast<size_t>(n));
  v.grad_scale = gmax + 2 * kmax * wmax;
  v.round_err = 2 * kDoubleEps * (a.steps + 2.0 * n + 4) * v.grad_scale;
  for (int i = 0; i < n; i++) {
    long double gi = q.lin[i], gfi = q.lin[i];
    double spread = 0;
    for (int j = 0; j < n; j++) {
      gi -= static_cast<long double>(q.k(i, j)) * a.x[j];
      gfi -= static_cast<long double>(q.kf(j, i)) * a.x[j];
      spread += std::fabs(q.k(i, j)) * std::fabs(a.x[j]);
    }
    g[i] = static_cast<double>(gi);
    gf[i] = static_cast<double>(gfi);
    v.float_eff = std::max(v.float_eff, std::fabs(gf[i] - g[i]));
    v.float_bound = std::max(v.float_bound, kFloatEps * spread + n * kFloatTiny * absx);
    v.scale += std::fabs(q.lin[i] * a.x[i]) + 0.5 * std::fabs(a.x[i]) * spread;
  }
  // The model of the cache: its entries are the kernel rounded to float.
  if (!(v.float_eff <= v.float_bound * (1 + 1e-6) + v.round_err))
    return ::testing::AssertionFailure()
           << "float effect " << v.float_eff << " above its bound " << v.float_bound;
  for (int i = 0; i < n; i++) {
    double err = std::fabs(a.g[i] - gf[i]);
    v.round_eff = std::max(v.round_eff, err);
    if (!(err <= v.round_err))
      return ::testing::AssertionFailure()
             << "gradient of variable " << i << ": solver " << a.g[i] << ", from its float rows "
             << gf[i] << " (exact " << g[i] << "), differ by " << err << " > allowed "
             << v.round_err;
  }

  // The stopping rule on the solver's own gradient, with no allowance: our
  // sets of rising and falling variables are the solver's or smaller (the
  // final clamp can only take a variable off a bound's open side).  Then the
  // same on g_f and on the exact gradient, where the solver's rounding E and
  // the cache's float effect F may each widen the gap twice over.
  double high_s, low_s, high_f, low_f, high, low;
  extremes(q, a.x, a.g, &high_s, &low_s);
  extremes(q, a.x, gf, &high_f, &low_f);
  extremes(q, a.x, g, &high, &low);
  double gap_s = std::max(0.0, high_s - low_s);
  v.gap_f = std::max(0.0, high_f - low_f);
  v.gap = std::max(0.0, high - low);
  if (!(gap_s < q.eps_gap))
    return ::testing::AssertionFailure()
           << "gap " << gap_s << " (g_high " << high_s << ", g_low " << low_s
           << ") of the solver's own gradient not below eps_gap " << q.eps_gap;
  if (!(a.g_high >= high_s) || !(a.g_low <= low_s))
    return ::testing::AssertionFailure()
           << "solver extremes [" << a.g_low << ", " << a.g_high << "] inside recomputed [" << low_s
           << ", " << high_s << "]";
  if (!(v.gap_f < q.eps_gap + 2 * v.round_eff))
    return ::testing::AssertionFailure()
           << "gap " << v.gap_f << " on the solver's float rows not below eps_gap " << q.eps_gap
           << " + " << 2 * v.round_eff;
  if (!(v.gap < v.gap_bound(q.eps_gap)))
    return ::testing::AssertionFailure() << "exact gap " << v.gap << " (g_high " << high
                                         << ", g_low " << low << ") not below eps_gap " << q.eps_gap
                                         << " + allowance " << 2 * (v.float_eff + v.round_eff);

  // Objective: exact, and the solver's own figure, which it computes from its
  // float-row gradient before the clamp.
  long double lx = 0, quad = 0, wf = 0;
  for (int i = 0; i < n; i++) {
    lx += q.lin[i] * a.x[i];
    quad += static_cast<long double>(a.x[i]) * (q.lin[i] - g[i]);
    wf += static_cast<long double>(a.x[i]) * (q.lin[i] + gf[i]);
  }
  v.w = static_cast<double>(lx - 0.5L * quad);
  double w_allowed = 0;
  for (int i = 0; i < n; i++)
    w_allowed += 0.5 * std::fabs(a.x[i]) * v.round_err;
  w_allowed += 8 * kDoubleEps * (n + 4.0) * (v.scale + n * (xmax + wmax) * v.grad_scale);
  if (!(std::fabs(a.w - static_cast<double>(0.5L * wf)) <= w_allowed))
    return ::testing::AssertionFailure()
           << "solver's w " << a.w << ", from its float rows " << static_cast<double>(0.5L * wf)
           << ", differ by more than " << w_allowed;

  v.cert = certificate(q, a.x, g);
  // The certificate is bounded by the gap over all the room (see the top of
  // this file); failing this would mean the judge itself is wrong.
  if (!(v.cert <= v.gap * v.width * (1 + 1e-9) + 1e-300))
    return ::testing::AssertionFailure()
           << "certificate " << v.cert << " above gap * width " << v.gap * v.width;
  if (out)
    *out = v;
  return ::testing::AssertionSuccess();
}

// w* is at most the optimum, and an answer with certificate c is within c of
// it: so two certified answers a, b satisfy w_a - w_b <= c_b and w_b - w_a <= c_a.
inline ::testing::AssertionResult same_optimum(const Verdict& a, const Verdict& b, double eps_gap) {
  double slack = a.w_slack(b.scale) + b.grad_scale * b.drift;
  double lim_ab = std::min(b.cert, b.gap_bound(eps_gap) * b.width) + slack;
  double lim_ba = std::min(a.cert, a.gap_bound(eps_gap) * a.width) + slack;
  if (a.w - b.w <= lim_ab && b.w - a.w <= lim_ba)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "objectives " << a.w << " and " << b.w << " differ beyond certificates " << a.cert
         << " / " << b.cert;
}

}  // namespace qpcheck

#endif
