// Entries computed ahead: the rows of the solver's walk copied into tiles in
// position order, and a block of kAhead entries computed from them at once,
// at the vector width chosen at start-up.
//
// The same operations as one evaluation, lane by lane: no contraction and no
// reassociation, so every lane gets the bits of kernel_value.
#include "kernel_ahead.h"

#include <cmath>
#include <cstddef>

#include "fast_exp.h"
#include "lanes.h"

namespace ksvm {

using namespace kaltro::detail;

namespace {

// Positions are held in tiles of kTile: feature i of the tile's lane t at
// tile[i * kTile + t], so that one load brings feature i of kTile rows.
constexpr int kTile = 8;

// A block is two tiles.
static_assert(kAhead == 2 * kTile, "a block is two tiles");

// The column of lane t of a block in its tiles.
inline const double* lane(const double* tiles, int d, int t) {
  return tiles + static_cast<std::ptrdiff_t>(t / kTile) * kTile * d + t % kTile;
}

// What the kernel does with the dot products, on every lane of a block (the
// compiler vectorises these loops).  Returns false for the RBF kernel, whose
// exp arguments are left in arg for the caller.
__attribute__((always_inline)) inline bool finish(const KernelData& k, double na,
                                                  const double* norms, const double* ab,
                                                  double* out, double* arg) {
  switch (k.p.type) {
    case kLinear:
      for (int t = 0; t < kAhead; t++)
        out[t] = ab[t];
      return true;
    case kPolynomial: {
      double v[kAhead];
      for (int t = 0; t < kAhead; t++) {
        v[t] = k.p.gamma * ab[t] + k.p.coef0;
        out[t] = 1;
      }
      for (int e = k.p.degree; e > 0; e >>= 1) {  // power(), lane by lane
        if (e & 1)
          for (int t = 0; t < kAhead; t++)
            out[t] *= v[t];
        for (int t = 0; t < kAhead; t++)
          v[t] *= v[t];
      }
      return true;
    }
    case kSigmoid:
      for (int t = 0; t < kAhead; t++)
        out[t] = std::tanh(k.p.gamma * ab[t] + k.p.coef0);
      return true;
    default: {
      const double g = -k.p.gamma;
      for (int t = 0; t < kAhead; t++)
        arg[t] = g * (na + norms[t] - 2 * ab[t]);
      return false;
    }
  }
}

// The plain block: dot() down each lane's column of the tiles, then the
// kernel, each exp on its own.
void block_plain(const KernelData& k, const double* xa, double na, const double* tiles,
                 const double* norms, double* out) {
  double ab[kAhead], arg[kAhead];
  for (int t = 0; t < kAhead; t++)
    ab[t] = dot<kTile>(xa, lane(tiles, k.d, t), k.d);
  if (finish(k, na, norms, ab, out, arg))
    return;
  for (int t = 0; t < kAhead; t++)
    out[t] = exp_inline(arg[t]);
}

#ifdef KALTRO_LANES

// dot() of xa against V::n lanes of a tile from column c on: feature i of
// the lanes in one register, dot()'s four running sums in four registers
// (feature i to sum i & 3), then (s0 + s1) + (s2 + s3).
template <class V, int D>
inline V dot_lanes(const KernelData& k, const double* xa, const double* c) {
  const int d = width<D>(k);
  V s0 = V::zero(), s1 = s0, s2 = s0, s3 = s0;
  int i = 0;
  for (; i + 4 <= d; i += 4) {
    s0 = s0 + V::all(xa[i]) * V::load(c + i * kTile);
    s1 = s1 + V::all(xa[i + 1]) * V::load(c + (i + 1) * kTile);
    s2 = s2 + V::all(xa[i + 2]) * V::load(c + (i + 2) * kTile);
    s3 = s3 + V::all(xa[i + 3]) * V::load(c + (i + 3) * kTile);
  }
  if (i < d) {
    s0 = s0 + V::all(xa[i]) * V::load(c + i * kTile);
    if (i + 1 < d) {
      s1 = s1 + V::all(xa[i + 1]) * V::load(c + (i + 1) * kTile);
      if (i + 2 < d)
        s2 = s2 + V::all(xa[i + 2]) * V::load(c + (i + 2) * kTile);
    }
  }
  return (s0 + s1) + (s2 + s3);
}

// Lanes whose argument exp_inline hands to std::exp (kept out of line: the
// blocks are inlined whole into their entry points).
__attribute__((noinline)) void exp_outside(const double* arg, double* out) {
  for (int t = 0; t < kAhead; t++)
    if (!exp_inside(arg[t]))
      out[t] = std::exp(arg[t]);
}

// block_plain on V::n lanes at a time.  exp_lanes takes the lanes inside
// the fast range (the others computing on 0); std::exp the rest afterwards.
template <class V, int D>
inline void block_lanes(const KernelData& k, const double* xa, double na, const double* tiles,
                        const double* norms, double* out) {
  static_assert(kTile % V::n == 0, "a tile holds whole vectors");
  using M = typename V::Mask;
  alignas(64) double ab[kAhead], arg[kAhead];
  for (int t = 0; t < kAhead; t += V::n)
    dot_lanes<V, D>(k, xa, lane(tiles, width<D>(k), t)).store(ab + t);
  if (finish(k, na, norms, ab, out, arg))
    return;
  const V lo = V::all(-700.0), hi = V::all(700.0);  // exp_inside
  M inside = M::when(true);
  for (int t = 0; t < kAhead; t += V::n) {
    const V x = V::load(arg + t);
    const M ok = (x > lo) & (x < hi);
    inside = inside & ok;
    exp_lanes(only(ok, x)).store(out + t);
  }
  if (!inside.all())
    exp_outside(arg, out);
}

template <int D>
KALTRO_LANES2 void block2(const KernelData& k, const double* xa, double na, const double* tiles,
                          const double* norms, double* out) {
  block_lanes<Lanes2, D>(k, xa, na, tiles, norms, out);
}

template <int D>
KALTRO_LANES4 void block4(const KernelData& k, const double* xa, double na, const double* tiles,
                          const double* norms, double* out) {
  block_lanes<Lanes4, D>(k, xa, na, tiles, norms, out);
}

template <int D>
KALTRO_LANES8 void block8(const KernelData& k, const double* xa, double na, const double* tiles,
                          const double* norms, double* out) {
  block_lanes<Lanes8, D>(k, xa, na, tiles, norms, out);
}

// The block for d features at the given level.
template <int... D>
KernelBlockFn block_at(int level, int d, std::integer_sequence<int, D...>) {
  static constexpr KernelBlockFn lanes2[] = {block2<D>...};
  static constexpr KernelBlockFn lanes4[] = {block4<D>...};
  static constexpr KernelBlockFn lanes8[] = {block8<D>...};
  const size_t w = d >= 1 && d <= kFixedWidths ? static_cast<size_t>(d) : 0;
  switch (level) {
    case kLanes8:
      return lanes8[w];
    case kLanes4:
      return lanes4[w];
    case kLanes2:
      return lanes2[w];
    default:
      return block_plain;
  }
}

#endif

KernelBlockFn block_for(int d) {
#ifdef KALTRO_LANES
  return block_at(simd_level(), d, Widths());
#else
  (void)d;
  return block_plain;
#endif
}

// Position of kernel index b in the solver's order, or -1.  The table is
// rebuilt when it has gone stale, which happens about once after each
// reordering of the solver's variables.
int locate(KernelData& k, KernelAhead& h, int b) {
  const int rows = k.rows > 0 ? k.rows : k.n;
  if (!k.order || b < 0 || b >= rows)
    return -1;
  const size_t r = static_cast<size_t>(rows);
  if (h.where.size() == r) {
    const int p = h.where[static_cast<size_t>(b)];
    if (p >= 0 && p < k.n && k.order[p] == b)
      return p;
  }
  h.where.assign(r, -1);
  for (int p = 0; p < k.n; p++) {
    const int q = k.order[p];
    if (q < 0 || q >= rows) {
      k.order = nullptr;  // not a set of rows: never read ahead
      return -1;
    }
    h.where[static_cast<size_t>(q)] = p;
  }
  const int p = h.where[static_cast<size_t>(b)];
  return p >= 0 && k.order[p] == b ? p : -1;
}

// Computes the block of the two tiles from position p (rounded down to a
// tile) for row a; false if the block holds a kernel index outside the data.
// The rows of the block are copied, as they are needed, into tiles kept in
// the solver's position order, so that a block reads one stretch of memory
// however the solver has reordered its variables, and one load fetches a
// feature of kTile rows.
bool fill_block(KernelData& k, KernelAhead& h, int a, int p) {
  const int d = k.d;
  const size_t n = static_cast<size_t>(k.n), ud = static_cast<size_t>(d);
  if (h.held.size() != n) {
    const size_t tiles = (n + kAhead + kTile - 1) / kTile;  // room for a block from any tile
    h.px.assign(tiles * kTile * ud, 0.0);                   // unused lanes compute on zeros
    h.pn.assign(tiles * kTile, 0.0);
    h.held.assign(n, -1);
    h.block = block_for(d);
  }
  const int p0 = p - p % kTile;
  const int lanes = k.n - p0 < kAhead ? k.n - p0 : kAhead;
  int* held = h.held.data() + p0;
  // Fixed-length loops for a whole block, so that they stay a few vector
  // instructions instead of library calls.
  int stale = 0;
  if (lanes == kAhead) {
    for (int t = 0; t < kAhead; t++) {
      h.key[t] = k.order[p0 + t];
      stale |= h.key[t] ^ held[t];
    }
  } else {
    for (int t = 0; t < lanes; t++) {
      h.key[t] = k.order[p0 + t];
      stale |= h.key[t] ^ held[t];
    }
  }
  if (stale) {
    for (int t = 0; t < lanes; t++) {
      const int q = h.key[t];
      if (held[t] == q)
        continue;
      if (q < 0 || q >= (k.rows > 0 ? k.rows : k.n))
        return false;
      const size_t at = static_cast<size_t>(p0 + t);
      const double* src = k.x + static_cast<size_t>(q) * ud;
      double* dst = h.px.data() + (at / kTile) * kTile * ud + at % kTile;
      for (int i = 0; i < d; i++)
        dst[static_cast<size_t>(i) * kTile] = src[i];
      h.pn[at] = k.norm2[q];
      held[t] = q;
    }
  }
  h.block(k, k.x + static_cast<size_t>(a) * ud, k.norm2[a],
          h.px.data() + static_cast<size_t>(p0) * ud, h.pn.data() + p0, h.val);
  h.row = a;
  h.start = p0;
  h.next = p - p0 + 1;
  h.end = lanes;
  return true;
}

}  // namespace

bool compute_ahead(KernelData& k, int a, int b, double& value) {
  if (!k.order || !k.x)
    return false;
  KernelAhead& h = *k.ahead;
  // Most often the walk just goes on past the last block.
  const int after = h.start + kAhead;
  const int p = h.end == kAhead && after < k.n && k.order[after] == b ? after : locate(k, h, b);
  if (p < 0 || !fill_block(k, h, a, p)) {
    h.end = 0;
    return false;
  }
  value = h.val[p - h.start];
  return true;
}

}  // namespace ksvm
