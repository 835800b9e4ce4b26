// Inner loops of the iteration strategies, with vector paths chosen at run
// time.  Every path performs the same IEEE operations in the same order as
// the plain loop, so all of them give the same bits.
#ifndef KALTRO_SEARCH_H
#define KALTRO_SEARCH_H

namespace kaltro {
namespace detail {

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

// 0: plain loops; 1: 2-lane vectors; 2: 4-lane vectors; 3: 8-lane vectors.  The level in use
// is the best the processor offers; set_simd_level (for tests) caps it and
// returns the previous cap.
int simd_level();
int set_simd_level(int level);

}  // namespace detail
}  // namespace kaltro

#endif
