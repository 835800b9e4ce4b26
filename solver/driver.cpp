// The driver: start-point test, cache set-up, outer passes of full
// restoration, inner iteration with shrinking, clean-up and summary.
#include <cmath>

#include "internal.h"

namespace {

// Written at every trace level, newline included, left to the ordinary
// buffering of the output.
const char kSetUpLine[] = "\nSetting up cache ...\n";
const char kCleanUpLine[] = "\nCleaning and unswapping  cache...\n";

void write_fixed(KALTRO& s, const char* line) {
  if (s.output)
    s.output(line, false, s.output_arg);
}

// The gap as reported and compared: never negative, and 0 for a NaN.
double clipped_gap(double high, double low) {
  double gap = high - low;
  return gap > 0 ? gap : 0.0;
}

// A clipped move lands on its bound only up to rounding; keep the point
// inside its box so the next solve (or the clean-up call) accepts it.
void clamp_into_box(KALTRO& s) {
  for (int i = 0; i < s.n; i++) {
    if (s.x[i] < s.lo[i])
      s.x[i] = s.lo[i];
    else if (s.x[i] > s.hi[i])
      s.x[i] = s.hi[i];
  }
}

// unshrink as run calls it: nobody holds a row then, so the gradient
// rebuild may slide rows together before its fetches, which keeps the
// full rows it asks for inside the row block.
void unshrink_unheld(KALTRO& s, bool from_gref) {
  struct Unheld {
    kaltro::detail::Work* w;
    explicit Unheld(kaltro::detail::Work* w_) : w(w_) { w->rows_unheld = true; }
    ~Unheld() { w->rows_unheld = false; }
  } unheld(s.work);
  s.unshrink(from_gref);
}

}  // namespace

int KALTRO::run(bool initialize, bool finalize) {
  for (int i = 0; i < n; i++) {
    // Written so that a NaN anywhere in x, lo or hi fails as well.
    if (!(x[i] - lo[i] >= -eps_bound) || !(x[i] - hi[i] <= eps_bound))
      return error(kaltro::msg::start_point);
  }

  if (!initialize && finalize) {
    write_fixed(*this, kCleanUpLine);
    cache_fini();
    unswap();
    return 0;
  }
  if (!(eps_gap > 0))
    return error(kaltro::msg::bad_eps_gap);

  if (initialize || !ring) {
    write_fixed(*this, kSetUpLine);
    cache_init();
  }

  marks = 0;
  it = 0;
  l = 0;
  int result = 0;
  double gap = 0;
  try {
    unshrink_unheld(*this, !initialize && reuse_gref);
    while (result == 0) {
      unshrink_unheld(*this, true);
      gap = clipped_gap(g_high, g_low);
      info("*", "* it:%d l:%d |g|:%f w:%f\n", it, l, gap, w);
      if (gap < eps_gap) {
        if (!std::isfinite(w))
          result = error(kaltro::msg::non_finite);
        break;
      }
      for (;;) {
        int r = equality ? iterate_gs2() : iterate_gs1();
        if (r < 0) {
          result = r;
          break;
        }
        if (r == 0)
          break;
        int before = l;
        shrink();
        double shrink_gap = clipped_gap(g_high, g_low);
        if (l < before)
          info(".", ". it:%d l:%d |g|:%f\n", it, l, shrink_gap);
        else if (trace_level >= 3)
          info("!", "! it:%d l:%d |g|:%f\n", it, l, shrink_gap);
      }
    }
  } catch (...) {
    clamp_into_box(*this);  // also when the kernel or the allocator gives up
    throw;
  }
  clamp_into_box(*this);

  if (initialize && finalize) {
    write_fixed(*this, kCleanUpLine);
    cache_fini();
    unswap();
  }
  if (result != 0)
    return result;
  if (marks > 0)
    info(nullptr, " it:%d l:%d |g|:%f w:%f\n", it, l, gap, w);
  return it;
}
