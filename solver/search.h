// Inner loops of the iteration strategies, with vector paths chosen at run
// time (the level in lanes.h).  Every path performs the same IEEE operations
// in the same order as the plain loop, so all of them give the same bits.
#ifndef KALTRO_SEARCH_H
#define KALTRO_SEARCH_H

namespace kaltro {
namespace detail {

// Largest gradient among positions of [from, to) that can still rise
// (x < hi) and smallest among those that can still fall (x > lo), both
// compared strictly against the running value from the given starts, so the
// lowest position wins a tie; up/down are -1 when nothing beat the start.
struct Extremes {
  double high, low;
  int up, down;
};
Extremes find_extremes(const double* g, const double* x, const double* lo, const double* hi,
                       int from, int to, double start_high, double start_low);

// Length of a step along a direction whose gain rate is `slope` and whose
// curvature is `kappa`, at most `room`: the Newton step when the curvature
// is at least eps_bound and the room is larger, else the room (clipped).
// Returns false for curvature below -eps_bound (not convex).
bool step_length(double slope, double kappa, double room, double eps_bound, double& step,
                 bool& clipped);

// One row of second-order pair selection: the member k and its row rk.
struct PairScan {
  const double *g, *x, *lo, *hi;
  const float* diag;  // K(i,i) by position
  const float* rk;    // row of k, valid over the active positions
  double gk;          // g[k]
  double kk;          // K(k,k) from the row itself
  double up_k;        // hi[k] - x[k]
  double down_k;      // x[k] - lo[k]
  double eps_gap, eps_bound;
};

// Candidates i in [from, to): a candidate replaces the pending one when
// num > gain * kappa (strict, so the first of equal ones stays).
void scan_pairs(const PairScan& s, int from, int to, double& gain, int& best);

// g[p] -= step * (ru[p] - rv[p]) for p in [0, l).
void update_pair(double* g, const float* ru, const float* rv, double step, int l);

// g[p] -= step * r[p] for p in [from, to).
void update_one(double* g, const float* r, double step, int from, int to);

}  // namespace detail
}  // namespace kaltro

#endif
