// Entries computed ahead: the rows of the solver's walk copied into tiles in
// position order, and a block of kAhead entries computed from them at once,
// at the vector width chosen at start-up.
//
// The same operations as one evaluation, lane by lane: no contraction and no
// reassociation, so every lane gets the bits of kernel_value.
#include "kernel_ahead.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fast_exp.h"
#include "lanes.h"

namespace ksvm {

using namespace kaltro::detail;

namespace {

// Dense positions are held in tiles of kTile: feature i of the tile's lane
// t at tile[i * kTile + t], so that one load brings feature i of kTile rows.
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

// The pairs of row i of sparse data, their indices taken from `index` (the
// data's own, or the renumbered ones, which have the same places).
inline size_t row_pairs(const Dataset& data, const int* index, int i, const int*& idx,
                        const double*& val) {
  const size_t b = data.start[static_cast<size_t>(i)];
  idx = index + b;
  val = data.value.data() + b;
  return data.start[static_cast<size_t>(i) + 1] - b;
}

// The plain sparse block: each row's pairs gathered against the spread row
// w, as one evaluation does.
void sparse_plain(const KernelData& k, const double* w, const int* index, double na,
                  const int* keys, double* out) {
  double ab[kAhead], arg[kAhead], norms[kAhead];
  for (int t = 0; t < kAhead; t++) {
    const int* idx;
    const double* val;
    const size_t m = row_pairs(*k.data, index, keys[t], idx, val);
    ab[t] = gather_dot(idx, val, m, w);
    norms[t] = k.norm2[keys[t]];
  }
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

// exp of the block's arguments, V::n lanes at a time.  exp_lanes takes the
// lanes inside the fast range (the others computing on 0); std::exp the rest
// afterwards.
template <class V>
inline void exp_block(const double* arg, double* out) {
  using M = typename V::Mask;
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

// block_plain on V::n lanes at a time.
template <class V, int D>
inline void block_lanes(const KernelData& k, const double* xa, double na, const double* tiles,
                        const double* norms, double* out) {
  static_assert(kTile % V::n == 0, "a tile holds whole vectors");
  alignas(64) double ab[kAhead], arg[kAhead];
  for (int t = 0; t < kAhead; t += V::n)
    dot_lanes<V, D>(k, xa, lane(tiles, width<D>(k), t)).store(ab + t);
  if (!finish(k, na, norms, ab, out, arg))
    exp_block<V>(arg, out);
}

// The sparse dot products of four rows at once.  The four running sums of
// a row are the lanes of one register: the product of a feature k goes to
// lane k & 3 and +0 to the others, which leaves their sums unchanged (a sum
// that starts at +0 never becomes -0).  Four rows side by side keep four
// chains of additions going; the longer rows finish on their own.
struct ClassMasks {
  alignas(32) std::int64_t m[4][4];
  ClassMasks() {
    for (int c = 0; c < 4; c++)
      for (int l = 0; l < 4; l++)
        m[c][l] = c == l ? -1 : 0;
  }
};
const ClassMasks kClass;

KALTRO_AVX2 inline Lanes4 class_part(const double* w, int k, double v) {
  const Lanes4::Mask m{_mm256_load_pd(reinterpret_cast<const double*>(kClass.m[k & 3]))};
  return only(m, Lanes4::all(w[k] * v));
}

KALTRO_AVX2 inline double lanes_sum(Lanes4 s) {
  alignas(32) double t[4];
  s.store(t);
  return (t[0] + t[1]) + (t[2] + t[3]);
}

KALTRO_AVX2 inline void sparse_dot4(const Dataset& data, const double* w, const int* index,
                                    const int* keys, double* ab) {
  const int* idx[4];
  const double* val[4];
  size_t m[4];
  for (int r = 0; r < 4; r++)
    m[r] = row_pairs(data, index, keys[r], idx[r], val[r]);
  const size_t common = std::min(std::min(m[0], m[1]), std::min(m[2], m[3]));
  Lanes4 s[4] = {Lanes4::zero(), Lanes4::zero(), Lanes4::zero(), Lanes4::zero()};
  for (size_t e = 0; e < common; e++)
    for (int r = 0; r < 4; r++)
      s[r] = s[r] + class_part(w, idx[r][e], val[r][e]);
  for (int r = 0; r < 4; r++) {
    for (size_t e = common; e < m[r]; e++)
      s[r] = s[r] + class_part(w, idx[r][e], val[r][e]);
    ab[r] = lanes_sum(s[r]);
  }
}

// A block of sparse rows four at a time, then the kernel and exp on V::n
// lanes at a time (AVX2 or AVX-512).
template <class V>
inline void sparse_lanes(const KernelData& k, const double* w, const int* index, double na,
                         const int* keys, double* out) {
  alignas(64) double ab[kAhead], arg[kAhead], norms[kAhead];
  for (int t = 0; t < kAhead; t += 4)
    sparse_dot4(*k.data, w, index, keys + t, ab + t);
  for (int t = 0; t < kAhead; t++)
    norms[t] = k.norm2[keys[t]];
  if (!finish(k, na, norms, ab, out, arg))
    exp_block<V>(arg, out);
}

KALTRO_LANES4 void sparse4(const KernelData& k, const double* w, const int* index, double na,
                           const int* keys, double* out) {
  sparse_lanes<Lanes4>(k, w, index, na, keys, out);
}

KALTRO_LANES8 void sparse8(const KernelData& k, const double* w, const int* index, double na,
                           const int* keys, double* out) {
  sparse_lanes<Lanes8>(k, w, index, na, keys, out);
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

SparseBlockFn sparse_block_for() {
#ifdef KALTRO_LANES
  switch (simd_level()) {
    case kLanes8:
      return sparse8;
    case kLanes4:
      return sparse4;
    default:  // two lanes hold two of the four sums: no gain over the plain loop
      break;
  }
#endif
  return sparse_plain;
}

KernelBlockFn block_for(int d) {
#ifdef KALTRO_LANES
  return block_at(simd_level(), d, Widths());
#else
  (void)d;
  return block_plain;
#endif
}

// Rebuilds the table of positions: where[q] the first position of kernel
// index q, twin[p] the next position with the kernel index of p.  False
// (and reading ahead turned off) when the order is not a set of rows.
bool relocate(KernelData& k, KernelAhead& h, int rows) {
  h.where.assign(static_cast<size_t>(rows), -1);
  h.twin.assign(static_cast<size_t>(k.n), -1);
  for (int p = k.n - 1; p >= 0; p--) {
    const int q = k.order[p];
    if (q < 0 || q >= rows) {
      k.order = nullptr;  // not a set of rows: never read ahead
      return false;
    }
    h.twin[static_cast<size_t>(p)] = h.where[static_cast<size_t>(q)];
    h.where[static_cast<size_t>(q)] = p;
  }
  return true;
}

// Whether the table still lists exactly the positions of b (the solver
// only exchanges variables, so b has as many positions as before).
bool fresh_for(const KernelData& k, const KernelAhead& h, int b) {
  int p = h.where[static_cast<size_t>(b)];
  if (p < 0)
    return false;
  for (; p >= 0; p = h.twin[static_cast<size_t>(p)])
    if (p >= k.n || k.order[p] != b)
      return false;
  return true;
}

// Position of kernel index b in the solver's order for a call that follows
// one for kernel index `prev` of the same row (-1: none), or -1.  Where b
// stands at several positions (two variables sharing a kernel row), the one
// behind prev; none such: -1, and the call is answered on its own, so that
// the next one tells where the walk goes.  The table is rebuilt when it has
// gone stale, which happens about once after each reordering of the
// solver's variables.
int locate(KernelData& k, KernelAhead& h, int b, int prev) {
  const int rows = k.rows > 0 ? k.rows : k.n;
  if (!k.order || b < 0 || b >= rows)
    return -1;
  if (h.where.size() != static_cast<size_t>(rows) || !fresh_for(k, h, b))
    if (!relocate(k, h, rows) || !fresh_for(k, h, b))
      return -1;
  const int p = h.where[static_cast<size_t>(b)];
  if (h.twin[static_cast<size_t>(p)] < 0)
    return p;
  if (prev >= 0)
    for (int q = p; q >= 0; q = h.twin[static_cast<size_t>(q)])
      if (q > 0 && k.order[q - 1] == prev)
        return q;
  return -1;
}

// Numbers the features that the rows of the walk hold, so that the spread
// row needs an array of as many doubles, not one of d: for a large
// vocabulary most features never occur, and the few that occur often get
// the first numbers, so that a block's gathers mostly hit a few cache
// lines.  A feature k keeps its class k & 3 (its number is 4 r + (k & 3),
// r its rank by frequency within the class) and the pairs keep their
// places, so every sum gets the same products in the same order: the same
// bits.
void renumber(const KernelData& k, KernelAhead& h) {
  const Dataset& data = *k.data;
  const size_t n = static_cast<size_t>(data.n);
  h.mapped.assign(n, 0);
  for (int p = 0; p < k.n; p++)
    if (k.order[p] >= 0 && k.order[p] < data.n)
      h.mapped[static_cast<size_t>(k.order[p])] = 1;
  std::vector<int> all;
  for (size_t r = 0; r < n; r++)
    if (h.mapped[r])
      all.insert(all.end(), data.index.begin() + static_cast<std::ptrdiff_t>(data.start[r]),
                 data.index.begin() + static_cast<std::ptrdiff_t>(data.start[r + 1]));
  std::sort(all.begin(), all.end());
  std::vector<int> feature, count;
  for (size_t e = 0; e < all.size(); e++) {
    if (e == 0 || all[e] != all[e - 1]) {
      feature.push_back(all[e]);
      count.push_back(0);
    }
    count.back()++;
  }
  all = std::vector<int>();
  std::vector<int> rank(feature.size());
  for (size_t f = 0; f < rank.size(); f++)
    rank[f] = static_cast<int>(f);
  std::sort(rank.begin(), rank.end(), [&](int u, int v) {
    const int cu = feature[static_cast<size_t>(u)] & 3, cv = feature[static_cast<size_t>(v)] & 3;
    if (cu != cv)
      return cu < cv;
    if (count[static_cast<size_t>(u)] != count[static_cast<size_t>(v)])
      return count[static_cast<size_t>(u)] > count[static_cast<size_t>(v)];
    return u < v;
  });
  std::vector<int> number(feature.size());
  int next[4] = {0, 1, 2, 3};
  for (int f : rank) {
    int& free_number = next[feature[static_cast<size_t>(f)] & 3];
    number[static_cast<size_t>(f)] = free_number;
    free_number += 4;
  }
  h.numbers = std::max(std::max(next[0], next[1]), std::max(next[2], next[3]));
  h.renumbered.assign(data.index.size(), 0);
  for (size_t r = 0; r < n; r++)
    if (h.mapped[r])
      for (size_t e = data.start[r]; e < data.start[r + 1]; e++)
        h.renumbered[e] = number[static_cast<size_t>(
            std::lower_bound(feature.begin(), feature.end(), data.index[e]) - feature.begin())];
}

// Computes the block of the two tiles from position p0 for row a of dense
// data; false if the block holds a kernel index outside the data.  The rows
// of the block are copied, as they are needed, into tiles kept in the
// solver's position order, so that a block reads one stretch of memory
// however the solver has reordered its variables, and one load fetches a
// feature of kTile rows.
bool dense_block(KernelData& k, KernelAhead& h, int a, int p0, int lanes, int rows) {
  const int d = k.d;
  const size_t n = static_cast<size_t>(k.n), ud = static_cast<size_t>(d);
  if (h.held.size() != n) {
    const size_t tiles = (n + kAhead + kTile - 1) / kTile;  // room for a block from any tile
    h.px.assign(tiles * kTile * ud, 0.0);                   // unused lanes compute on zeros
    h.pn.assign(tiles * kTile, 0.0);
    h.held.assign(n, -1);
    h.block = block_for(d);
  }
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
      if (q < 0 || q >= rows)
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
  return true;
}

// Computes the block from position p (rounded down to a tile) for row a;
// false if the block holds a kernel index outside the data.
bool fill_block(KernelData& k, KernelAhead& h, int a, int p) {
  const int rows = k.rows > 0 ? k.rows : k.n;
  const int p0 = p - p % kTile;
  const int lanes = k.n - p0 < kAhead ? k.n - p0 : kAhead;
  if (k.data && k.data->sparse) {  // rows read where they lie: no copies to keep
    const bool numbered = renumbering(k);
    if (numbered && h.mapped.empty())
      renumber(k, h);
    for (int t = 0; t < kAhead; t++) {
      h.key[t] = t < lanes ? k.order[p0 + t] : a;  // lanes beyond the end repeat row a
      if (h.key[t] < 0 || h.key[t] >= rows ||
          (numbered && !h.mapped[static_cast<size_t>(h.key[t])]))
        return false;
    }
    if (numbered && (a < 0 || a >= rows || !h.mapped[static_cast<size_t>(a)]))
      return false;
    if (!h.sparse_block)
      h.sparse_block = sparse_block_for();
    const int* index = numbered ? h.renumbered.data() : k.data->index.data();
    const double* w = spread_row(k, a, index, numbered ? h.numbers : k.d);
    h.sparse_block(k, w, index, k.norm2[a], h.key, h.val);
  } else if (!dense_block(k, h, a, p0, lanes, rows)) {
    return false;
  }
  h.row = a;
  h.start = p0;
  h.next = p - p0 + 1;
  h.end = lanes;
  h.blocks++;
  return true;
}

}  // namespace

bool compute_ahead(KernelData& k, int a, int b, double& value) {
  // Every call that is not answered from a block comes here, so a stop
  // asked for is seen within a block of entries, at no cost per entry.
  if (k.stop && k.stop->load(std::memory_order_relaxed))
    throw Interrupted();
  if (!k.order || !(k.x || (k.data && k.data->sparse)))
    return false;
  KernelAhead& h = *k.ahead;
  // Most often the walk just goes on past the last block.
  const int after = h.start + kAhead;
  int p = -1;
  if (h.end == kAhead && after < k.n && k.order[after] == b) {
    p = after;
  } else {
    const int prev = h.row != a ? -1 : h.end > 0 ? h.key[h.next - 1] : h.last;
    p = locate(k, h, b, prev);
  }
  if (p < 0 || !fill_block(k, h, a, p)) {
    h.row = a;
    h.end = 0;
    h.last = b;
    return false;
  }
  value = h.val[p - h.start];
  return true;
}

}  // namespace ksvm
