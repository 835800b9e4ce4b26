// Fuzz target: the solver (KALTRO::run) on small problems decoded from the
// input.
//
// Decoded: up to 16 variables; a kernel K = B^T B (positive semi-definite)
// over up to 12 columns of B, which kernel indices (shared, negative) name
// modulo their count; boxes lo <= hi from tiny to huge, equal bounds and
// infinite sides included, a start point inside; both equality settings,
// several tolerances, byte budgets down to zero, step limits from 1 up; one
// whole solve or a split one (run(true, false), run(false, false) after new
// lin, boxes and start points, run(false, true)).
//
// Every call must end with a result: the step limit makes sure it does.
// Afterwards x lies in its box, the problem (lin, lo, hi, kidx) is where home
// says, and under equality the sum of x is the start's; a solve that
// succeeded also has a gap, recomputed in double from the exact gradient,
// below eps_gap, and w of the point, both up to the rounding allowances
// derived in allowances().  Errors must be ones the solver documents for
// problems like these.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "kaltro.h"

namespace {

const int kMaxN = 16;
const int kCols = 12;  // columns of B
const int kRank = 6;   // rows of B
const int kLowIndex = -6, kHighIndex = 17;

// Magnitudes: B entries up to 2^4 (so K is exact in double and far from
// float's subnormal and overflow ranges), bounds from 2^-10 to 2^47, lin up
// to 2^4 times a scale of up to 2^20.  Large bounds make precision run out
// before eps_gap is reached; the step limit ends such solves.
const int kBScaleLow = -24, kBScaleHigh = -11;  // entries: 16-bit integer x 2^scale
const int kBoxScaleLow = -10, kBoxScaleHigh = 40;
const int kLinScaleLow = -11, kLinScaleHigh = 9;

struct Problem {
  int cols = 1;
  double k[kCols][kCols];                       // exact: sums of products of scaled 16-bit integers
  double kmax = 0;                              // largest |K|
  bool named[kHighIndex - kLowIndex + 1] = {};  // kernel indices in kidx
};

int column(const Problem& p, int index) {
  const int c = index % p.cols;
  return c < 0 ? c + p.cols : c;
}

double kernel(int a, int b, void* arg) {
  const Problem& p = *static_cast<const Problem*>(arg);
  // The solver asks only for kernel indices it was given.
  FUZZ_CHECK(a >= kLowIndex && a <= kHighIndex && p.named[a - kLowIndex]);
  FUZZ_CHECK(b >= kLowIndex && b <= kHighIndex && p.named[b - kLowIndex]);
  return p.k[column(p, a)][column(p, b)];
}

void decode_kernel(fuzz::Bytes& in, Problem& p) {
  p.cols = 1 + static_cast<int>(in.below(kCols));
  const int rank = 1 + static_cast<int>(in.below(kRank));
  const double scale = std::ldexp(1.0, in.within(kBScaleLow, kBScaleHigh));
  double b[kRank][kCols];
  for (int r = 0; r < rank; r++)
    for (int c = 0; c < p.cols; c++)
      b[r][c] = in.word() * scale;
  for (int i = 0; i < p.cols; i++)
    for (int j = 0; j < p.cols; j++) {
      double s = 0;
      for (int r = 0; r < rank; r++)
        s += b[r][i] * b[r][j];
      p.k[i][j] = s;
      p.kmax = std::max(p.kmax, std::fabs(s));
    }
}

// A box (equal bounds one time in four), a start point inside it, and then
// sometimes an open side or two.
void decode_variable(fuzz::Bytes& in, double box_scale, double& lo, double& hi, double& x) {
  lo = in.within(-128, 127) * box_scale;
  hi = in.below(4) == 0 ? lo : lo + in.byte() * box_scale;
  const unsigned t = in.byte();
  x = t == 0 ? lo : t == 255 ? hi : std::min(hi, std::max(lo, lo + (hi - lo) * (t / 255.0)));
  const unsigned open = in.below(16);
  if (open == 1 || open == 3)
    lo = -INFINITY;
  if (open == 2 || open == 3)
    hi = INFINITY;
}

double decode_lin(fuzz::Bytes& in, int scale) { return std::ldexp(in.word(), scale); }

// Where the solver's text goes: nowhere, or counted here (the formatting
// runs either way).
void count_text(const char* text, bool, void* arg) {
  FUZZ_CHECK(text != nullptr);
  *static_cast<size_t*>(arg) += std::strlen(text);
}

// Rounding allowances of one solve that took `steps` steps.
//
// The solver keeps K in single precision: every entry it uses is
// Kf = K (1 + e) with |e| <= 2^-24 (the entries here are far from float's
// subnormal and overflow ranges), and it subtracts the float entries only
// after widening them, so its gradient is that of Kf up to double rounding:
// lin - Kf x differs from lin - K x by at most 2^-24 M S, where M = max |K|
// and S = sum of max(|lo|, |hi|) bounds sum |x|.  On top of that each gradient
// entry goes through at most U = (steps + 2)(2n + 2) rounded updates (one per
// step, one per term of each rebuild, one per folded move; a solve makes at
// most steps + 2 passes), each off by at most 2^-52 of a term no larger than
// G + 2 M W + M S, where G = max |lin| + M S bounds every gradient and W is
// the widest box (a step is never longer).  The gap moves by at most twice
// the error of one gradient entry; w = 1/2 sum x (lin + g) by half sum |x|
// times it, plus the rounding of the sums.  Under equality every step adds
// and subtracts the same amount, each rounded to 2^-53 S, as is the clamp of
// a point that overshot its bound.  Without finite bounds nothing bounds the
// path, and the allowances are infinite.
struct Allowances {
  double gap, w, sum;
};

Allowances allowances(const KALTRO& s, const Problem& p, int steps) {
  double lin_max = 0, sum_bound = 0, width = 0;
  for (int i = 0; i < s.n; i++) {
    lin_max = std::max(lin_max, std::fabs(s.lin[i]));
    sum_bound += std::max(std::fabs(s.lo[i]), std::fabs(s.hi[i]));
    width = std::max(width, s.hi[i] - s.lo[i]);
  }
  if (!std::isfinite(sum_bound))
    return Allowances{INFINITY, INFINITY, INFINITY};
  const double m = p.kmax, n = s.n, u = (steps + 2.0) * (2 * n + 2);
  const double g_max = lin_max + m * sum_bound;
  const double eg =
      std::ldexp(m * sum_bound, -24) + u * std::ldexp(g_max + 2 * m * width + m * sum_bound, -52);
  Allowances a;
  a.gap = 2 * eg;
  a.w = 0.5 * sum_bound * eg + std::ldexp((n + n * n) * sum_bound * (lin_max + g_max), -50);
  a.sum = std::ldexp(sum_bound * (4 * (steps + 1.0) + 2 * n), -52);
  return a;
}

// What the caller wrote, in the caller's order.
struct Caller {
  double lin[kMaxN], lo[kMaxN], hi[kMaxN];
  int kidx[kMaxN];
};

// The checks after a solve that returned `result`; `sum0` is the sum of x at
// its start.
void check_solve(const KALTRO& s, const Problem& p, const Caller& c, int result, double sum0) {
  const int n = s.n;
  // The problem stays the caller's, wherever its variables stand.
  std::vector<bool> seen(static_cast<size_t>(n), false);
  for (int i = 0; i < n; i++) {
    const int h = s.home[i];
    FUZZ_CHECK(h >= 0 && h < n && !seen[static_cast<size_t>(h)]);
    seen[static_cast<size_t>(h)] = true;
    FUZZ_CHECK(s.lin[i] == c.lin[h] && s.lo[i] == c.lo[h] && s.hi[i] == c.hi[h]);
    FUZZ_CHECK(s.kidx[i] == c.kidx[h]);
    FUZZ_CHECK(s.lo[i] <= s.x[i] && s.x[i] <= s.hi[i]);
  }
  const Allowances a = allowances(s, p, s.it);
  if (s.equality && a.sum < INFINITY) {
    double sum = 0;
    for (int i = 0; i < n; i++)
      sum += s.x[i];
    FUZZ_CHECK(std::fabs(sum - sum0) <= a.sum);
  }
  if (result == kaltro::step_limit_result) {
    FUZZ_CHECK(s.last_error == kaltro::msg::step_limit && s.it <= s.max_steps);
    return;
  }
  if (result < 0) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(s.last_error == kaltro::msg::not_convex || s.last_error == kaltro::msg::non_finite ||
               s.last_error == kaltro::msg::beyond_big);
    return;
  }
  FUZZ_CHECK(result == s.it && s.it <= s.max_steps);

  // The exact gradient, the gap as the stopping test defines it (with no
  // equality, 0 joins both extremes: the box conditions alone) and w.
  double high = s.equality ? -INFINITY : 0.0, low = s.equality ? INFINITY : 0.0, w = 0;
  for (int i = 0; i < n; i++) {
    double g = s.lin[i];
    for (int j = 0; j < n; j++)
      g -= p.k[column(p, s.kidx[i])][column(p, s.kidx[j])] * s.x[j];
    if (s.x[i] < s.hi[i])
      high = std::max(high, g);
    if (s.x[i] > s.lo[i])
      low = std::min(low, g);
    w += s.x[i] * (s.lin[i] + g);
  }
  FUZZ_CHECK(high - low < s.eps_gap + a.gap);
  FUZZ_CHECK(std::fabs(0.5 * w - s.w) <= a.w);
}

double sum_x(const KALTRO& s) {
  double sum = 0;
  for (int i = 0; i < s.n; i++)
    sum += s.x[i];
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  Problem p;
  const int n = static_cast<int>(in.below(kMaxN + 1));
  KALTRO s(n);
  s.kernel = kernel;
  s.kernel_arg = &p;
  size_t text_bytes = 0;

  const unsigned flags = in.byte();
  s.equality = (flags & 1) != 0;
  s.trace_level = static_cast<int>(flags >> 1 & 3);
  const bool identity = (flags & 8) != 0;
  const int mode = static_cast<int>(flags >> 4 & 3);  // 0: whole solve; else split with mode solves
  s.eps_gap = std::pow(10.0, -9.0 + 9.0 * in.byte() / 255.0);
  static const double kEpsBound[4] = {1e-20, 0.0, 1e-12, 1e-6};
  s.eps_bound = kEpsBound[in.below(4)];
  static const double kBig[4] = {1e20, 1e20, INFINITY, 100};
  s.big = kBig[in.below(4)];
  const long budgets[6] = {268435456L, 0, 1, 40, 4L * n, 2L * n * n};
  s.maxcachesize = budgets[in.below(6)];
  static const long long kMaxSteps[8] = {1, 40, 1000, 1000, 1000, 1000, 5000, 20000};
  s.max_steps = kMaxSteps[in.below(8)];
  if (in.below(2) == 0) {
    s.output = nullptr;
  } else {
    s.output = count_text;
    s.output_arg = &text_bytes;
  }

  decode_kernel(in, p);
  const double box_scale = std::ldexp(1.0, in.within(kBoxScaleLow, kBoxScaleHigh));
  const int lin_scale = in.within(kLinScaleLow, kLinScaleHigh);
  Caller c;
  for (int i = 0; i < n; i++) {
    s.kidx[i] = c.kidx[i] = identity ? i : in.within(kLowIndex, kHighIndex);
    p.named[s.kidx[i] - kLowIndex] = true;
    s.lin[i] = c.lin[i] = decode_lin(in, lin_scale);
    decode_variable(in, box_scale, s.lo[i], s.hi[i], s.x[i]);
    c.lo[i] = s.lo[i];
    c.hi[i] = s.hi[i];
  }

  double sum0 = sum_x(s);
  if (mode == 0) {
    check_solve(s, p, c, s.run(true, true), sum0);
    return 0;
  }
  check_solve(s, p, c, s.run(true, false), sum0);
  for (int round = 1; round < mode; round++) {
    // New lin, boxes and start points, written at the solver's positions.
    for (int i = 0; i < n; i++) {
      if (in.below(2) == 0)
        continue;
      const int h = s.home[i];
      s.lin[i] = c.lin[h] = decode_lin(in, lin_scale);
      decode_variable(in, box_scale, s.lo[i], s.hi[i], s.x[i]);
      c.lo[h] = s.lo[i];
      c.hi[h] = s.hi[i];
    }
    sum0 = sum_x(s);
    check_solve(s, p, c, s.run(false, false), sum0);
  }
  // The clean-up call only restores the caller's order.
  std::vector<double> x_by_caller(static_cast<size_t>(n));
  for (int i = 0; i < n; i++)
    x_by_caller[static_cast<size_t>(s.home[i])] = s.x[i];
  FUZZ_CHECK(s.run(false, true) == 0);
  for (int i = 0; i < n; i++)
    FUZZ_CHECK(s.home[i] == i && s.x[i] == x_by_caller[static_cast<size_t>(i)]);
  return 0;
}
