// Entries computed ahead: the rows of the solver's walk copied into tiles in
// position order, and a block of kAhead entries computed from them at once,
// at the vector width chosen at start-up.
//
// The same operations as one evaluation, lane by lane: no contraction and no
// reassociation, so every lane gets the bits of kernel_value.
#include "kernel_ahead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "fast_exp.h"
#include "feature_columns.h"
#include "lanes.h"
#include "pool.h"

namespace ksvm {

using namespace kaltro::detail;

namespace {

// Dense positions are held in tiles of kTile: feature i of the tile's lane
// t at tile[i * kTile + t], so that one load brings feature i of kTile rows.
static_assert(kAhead % kTile == 0, "a block is whole tiles");

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

// The dot products of the block from position p0, read from the columns'
// sums.
inline void column_dots(const KernelData& k, const FeatureColumns& c, int p0, const int* keys,
                        double* ab, double* norms) {
  for (int t = 0; t < kAhead; t++) {
    ab[t] = c.dot(p0 + t);
    norms[t] = k.norm2[keys[t]];
  }
}

void column_plain(const KernelData& k, const FeatureColumns& c, double na, int p0, const int* keys,
                  double* out) {
  double ab[kAhead], arg[kAhead], norms[kAhead];
  column_dots(k, c, p0, keys, ab, norms);
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

template <class V>
inline void column_lanes(const KernelData& k, const FeatureColumns& c, double na, int p0,
                         const int* keys, double* out) {
  alignas(64) double ab[kAhead], arg[kAhead], norms[kAhead];
  column_dots(k, c, p0, keys, ab, norms);
  if (!finish(k, na, norms, ab, out, arg))
    exp_block<V>(arg, out);
}

KALTRO_LANES4 void column4(const KernelData& k, const FeatureColumns& c, double na, int p0,
                           const int* keys, double* out) {
  column_lanes<Lanes4>(k, c, na, p0, keys, out);
}

KALTRO_LANES8 void column8(const KernelData& k, const FeatureColumns& c, double na, int p0,
                           const int* keys, double* out) {
  column_lanes<Lanes8>(k, c, na, p0, keys, out);
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

ColumnBlockFn column_block_for() {
#ifdef KALTRO_LANES
  switch (simd_level()) {
    case kLanes8:
      return column8;
    case kLanes4:
      return column4;
    default:
      break;
  }
#endif
  return column_plain;
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

// The solver's active size, where a walk may end (the whole order when the
// caller gave none).
inline int active_size(const KernelData& k) { return k.active ? *k.active : k.n; }

// Position of kernel index b in the solver's order for a call that follows
// one for kernel index `prev` of the same row (-1: none), or -1.  Where b
// stands at several positions (two variables sharing a kernel row), one
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
  if (prev < 0)
    return -1;
  // Several may stand behind prev (two variables' rows in the same order,
  // as SVR's are until the first reordering).  The last one is taken: read
  // ahead from there, the walk cannot end before the entries computed for
  // it do, so no piece is left running once the solver has its row.  That
  // holds only if the walk and the position end at the same place, the
  // active size or the end: behind prev on both sides of it, none is taken.
  const int active = active_size(k);
  int last = -1, below = 0, above = 0;
  for (int q = p; q >= 0; q = h.twin[static_cast<size_t>(q)])
    if (q > 0 && k.order[q - 1] == prev) {
      last = q;
      (q < active ? below : above)++;
    }
  return below > 0 && above > 0 ? -1 : last;
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

// The tiles for dense rows, made at first use: room for a block from any
// tile, unused lanes computing on zeros.
void make_tiles(const KernelData& k, KernelAhead& h) {
  const size_t n = static_cast<size_t>(k.n), ud = static_cast<size_t>(k.d);
  if (h.held.size() == n)
    return;
  const size_t tiles = (n + kAhead + kTile - 1) / kTile;
  h.px.assign(tiles * kTile * ud, 0.0);
  h.pn.assign(tiles * kTile, 0.0);
  h.held.assign(n, -1);
  h.block = block_for(k.d);
}

// Computes the block of the two tiles from position p0 for row a of dense
// data into key/val; false if the block holds a kernel index outside the
// data.  The rows of the block are copied, as they are needed, into tiles
// kept in the solver's position order, so that a block reads one stretch of
// memory however the solver has reordered its variables, and one load
// fetches a feature of kTile rows.  A block touches only its own two tiles,
// so blocks of different positions may be computed at the same time.
bool dense_block(const KernelData& k, KernelAhead& h, int a, int p0, int lanes, int rows, int* key,
                 double* val) {
  const int d = k.d;
  const size_t ud = static_cast<size_t>(d);
  int* held = h.held.data() + p0;
  // Fixed-length loops for a whole block, so that they stay a few vector
  // instructions instead of library calls.
  int stale = 0;
  if (lanes == kAhead) {
    for (int t = 0; t < kAhead; t++) {
      key[t] = k.order[p0 + t];
      stale |= key[t] ^ held[t];
    }
  } else {
    for (int t = 0; t < lanes; t++) {
      key[t] = k.order[p0 + t];
      stale |= key[t] ^ held[t];
    }
  }
  if (stale) {
    for (int t = 0; t < lanes; t++) {
      const int q = key[t];
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
          h.px.data() + static_cast<size_t>(p0) * ud, h.pn.data() + p0, val);
  return true;
}

// What the blocks of sparse row a read: the row spread at the places
// `index` gives (set up here, on the caller's thread); false when the
// blocks cannot serve row a.
bool sparse_setup(const KernelData& k, KernelAhead& h, int a, int rows, const double*& w,
                  const int*& index) {
  const bool numbered = renumbering(k);
  if (numbered && h.mapped.empty())
    renumber(k, h);
  if (a < 0 || a >= rows || (numbered && !h.mapped[static_cast<size_t>(a)]))
    return false;
  if (!h.sparse_block)
    h.sparse_block = sparse_block_for();
  index = numbered ? h.renumbered.data() : k.data->index.data();
  w = spread_row(k, a, index, numbered ? h.numbers : k.d);
  return true;
}

// The block from position p0 for row a of sparse data, its rows read where
// they lie; false if it holds a kernel index the blocks cannot serve.
bool sparse_fill(const KernelData& k, const KernelAhead& h, int a, int p0, int lanes, int rows,
                 const double* w, const int* index, int* key, double* val) {
  const bool numbered = !h.mapped.empty() && index == h.renumbered.data();
  for (int t = 0; t < kAhead; t++) {
    key[t] = t < lanes ? k.order[p0 + t] : a;  // lanes beyond the end repeat row a
    if (key[t] < 0 || key[t] >= rows || (numbered && !h.mapped[static_cast<size_t>(key[t])]))
      return false;
  }
  h.sparse_block(k, w, index, k.norm2[a], key, val);
  return true;
}

// The block from position p0 for the row laid out in the columns, from
// their sums; false if it holds a kernel index outside the data.
bool column_fill(const KernelData& k, const KernelAhead& h, int a, int p0, int lanes, int* key,
                 double* val) {
  // Read once: stores to key might otherwise be taken to change them.
  const int rows = k.data->n;
  const int* const order = k.order + p0;
  for (int t = 0; t < kAhead; t++) {
    key[t] = t < lanes ? order[t] : a;  // lanes beyond the end repeat row a
    if (key[t] < 0 || key[t] >= rows)
      return false;
  }
  h.column_block(k, *h.columns, k.norm2[a], p0, key, val);
  return true;
}

// The conversion to single precision, one entry at a time: the reference.
void single_plain(const double* v, float* out) {
  for (int t = 0; t < kAhead; t++)
    out[t] = static_cast<float>(v[t]);
}

#ifdef KALTRO_LANES
// The same conversions a register at a time, each load the width of the
// block's own stores: narrower ones, as the plain loop compiles to, wait
// for those stores to reach the cache (a third of a piece's time on the
// dense set).
KALTRO_AVX2 void single4(const double* v, float* out) {
  for (int t = 0; t < kAhead; t += 4)
    _mm_storeu_ps(out + t, _mm256_cvtpd_ps(_mm256_loadu_pd(v + t)));
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"  // the intrinsic's own placeholder
KALTRO_AVX512 void single8(const double* v, float* out) {
  for (int t = 0; t < kAhead; t += 8)
    _mm256_storeu_ps(out + t, _mm512_cvtpd_ps(_mm512_loadu_pd(v + t)));
}
#pragma GCC diagnostic pop
#endif

}  // namespace

// A block's entries as the solver keeps them, in single precision: the
// thread answering the solver then reads half as much of what another
// thread computed.
void to_single(const double* v, float* out) {
#ifdef KALTRO_LANES
  switch (simd_level()) {
    case kLanes8:
      return single8(v, out);
    case kLanes4:
      return single4(v, out);
    default:
      break;
  }
#endif
  single_plain(v, out);
}

namespace {

inline int row_count(const KernelData& k) { return k.rows > 0 ? k.rows : k.n; }

// Computes the block from position p (rounded down to a tile) for row a;
// false if the block holds a kernel index outside the data.
bool fill_block(KernelData& k, KernelAhead& h, int a, int p) {
  const int rows = row_count(k);
  const int p0 = p - p % kTile;
  const int lanes = k.n - p0 < kAhead ? k.n - p0 : kAhead;
  double vb[kAhead];
  if (k.data && k.data->sparse) {
    const double* w;
    const int* index;
    if (!sparse_setup(k, h, a, rows, w, index) ||
        !sparse_fill(k, h, a, p0, lanes, rows, w, index, h.block_key, vb))
      return false;
  } else {
    make_tiles(k, h);
    if (!dense_block(k, h, a, p0, lanes, rows, h.block_key, vb))
      return false;
  }
  to_single(vb, h.block_val);
  h.row = a;
  h.start = p0;
  h.next = p - p0 + 1;
  h.end = h.ready = lanes;
  h.key = h.block_key;
  h.val = h.block_val;
  h.blocks++;
  return true;
}

// Entries of a piece of a stretch: at most kSpan, small enough that the
// thread answering the solver seldom waits for the piece it needs next; a
// stretch has at least four pieces for each thread, down to kSpanMin, below
// which taking a piece would cost as much as computing it.
constexpr int kSpan = 512, kSpanMin = 64;
static_assert(kSpan % kAhead == 0 && kSpanMin % kAhead == 0, "a piece holds whole blocks");

// Entries rounded up to whole blocks.
int whole_blocks(int entries) { return (entries + kAhead - 1) / kAhead * kAhead; }

int span_for(int total, int threads) {
  const int even = whole_blocks(total / (4 * threads));
  return std::max(kSpanMin, std::min(kSpan, even));
}

// How long the answering thread waits for a piece another thread computes
// before it evaluates entries on its own: many times what a piece takes.
const std::chrono::microseconds kPatience(200);

}  // namespace

// A long stretch of a walk, positions p0..p0+total-1 of row a, computed in
// pieces of up to kSpan entries by whoever takes them: the thread that answers the
// solver, when the piece it needs is not done yet, and the pool's threads.
// Pieces start on a tile boundary, so each block touches tiles of its own.
struct Stretch : kaltro::detail::Job {
  const KernelData* k = nullptr;
  KernelAhead* h = nullptr;
  int a = 0, p0 = 0, total = 0, span = kSpan, pieces = 0, rows = 0;
  const double* w = nullptr;  // sparse data: the spread row and the places of features
  const int* index = nullptr;
  bool by_columns = false;  // sparse data: entries from the columns' sums instead
  std::vector<int> key;
  std::vector<float> val;
  std::unique_ptr<std::atomic<bool>[]> done;
  int done_room = 0;
  // A block held a kernel index the blocks cannot serve (never, for a walk
  // whose positions were located): its entries are evaluated one by one.
  std::atomic<bool> failed{false};

  ~Stretch() override { close(); }

  void piece(int i) noexcept override {
    const int from = i * span, to = std::min(total, from + span);
    // Summed from the columns up to where they hold the walk's rows,
    // gathered beyond.
    const int reach = by_columns ? h->columns->reach : 0;
    if (p0 + from < reach)
      h->columns->add_up(p0 + from, std::min(p0 + to, reach));
    for (int off = from; off < to; off += kAhead) {
      const int p = p0 + off;
      const int lanes = std::min(kAhead, k->n - p);
      int* kb = key.data() + off;
      double vb[kAhead];
      // (Lanes past the walk's end are never answered.)
      const bool ok = std::min(p + lanes, p0 + total) <= reach
                          ? column_fill(*k, *h, a, p, lanes, kb, vb)
                      : w ? sparse_fill(*k, *h, a, p, lanes, rows, w, index, kb, vb)
                          : dense_block(*k, *h, a, p, lanes, rows, kb, vb);
      if (ok) {
        to_single(vb, val.data() + off);
      } else {
        for (int t = 0; t < kAhead; t++)
          kb[t] = -1;  // never a kernel index of the walk: evaluated afresh
        failed.store(true, std::memory_order_relaxed);
      }
    }
    done[static_cast<size_t>(i)].store(true, std::memory_order_release);
  }

  // Sets up and opens the stretch from position p0 over `count` entries for
  // row a, with `helpers` pool threads; false when the blocks cannot serve
  // row a, or, with `columns_only`, when the columns are not used.
  bool begin(KernelData& kd, KernelAhead& ka, int row, int from, int count, int helpers,
             bool columns_only) {
    close();  // the one before, done long since: nobody is inside
    k = &kd;
    h = &ka;
    a = row;
    p0 = from;
    total = count;
    rows = row_count(kd);
    w = nullptr;
    index = nullptr;
    by_columns = false;
    if (ka.columns && row >= 0 && row < kd.data->n) {
      FeatureColumns& c = *ka.columns;
      c.follow(*kd.data, kd.order, kd.n);
      by_columns = c.reach > from && c.pays(c.lay_out(*kd.data, row));
    }
    if (!by_columns && columns_only)
      return false;
    if (!by_columns || from + count > ka.columns->reach) {
      if (kd.data && kd.data->sparse) {
        if (!sparse_setup(kd, ka, row, rows, w, index))
          return false;
      } else {
        make_tiles(kd, ka);
      }
    }
    const size_t room = static_cast<size_t>(total) + kAhead;
    if (key.size() < room) {
      key.resize(room);
      val.resize(room);
    }
    // Pieces summed from the columns look up where each column enters
    // them, a binary search for each column of the row, so they are no
    // shorter than the least walk worth a stretch; a long walk's pieces take
    // twice that, which still leaves each thread a piece to share (8-14% less
    // time on text-like and pixel sets of 20 000-50 000 rows than pieces of
    // the least length, one thread or two; 2% more on one-hot rows, whose
    // few long columns made the searches cheap).
    const int least = whole_blocks(kd.stretch_min);
    const int shared = whole_blocks(total / (helpers + 1));
    span = by_columns ? std::min(2 * least, std::max(least, shared)) : span_for(total, helpers + 1);
    pieces = (total + span - 1) / span;
    if (done_room < pieces) {
      done.reset(new std::atomic<bool>[static_cast<size_t>(pieces)]);
      done_room = pieces;
    }
    for (int i = 0; i < pieces; i++)
      done[static_cast<size_t>(i)].store(false, std::memory_order_relaxed);
    failed.store(false, std::memory_order_relaxed);
    open(pieces, std::min(helpers, pieces - 1));
    return true;
  }

  // Waits, taking pieces meanwhile, until entry t is done, then returns the
  // end of the entries done in a row from t on.  With `patient` false it
  // gives up after kPatience and returns -1: the thread computing that piece
  // may have lost its processor to another program, and the caller does
  // better to evaluate entries on its own meanwhile.
  int wait_for(int t, bool patient) {
    const int need = t / span;
    std::atomic<bool>& it = done[static_cast<size_t>(need)];
    if (!it.load(std::memory_order_acquire)) {
      while (!it.load(std::memory_order_acquire) && take()) {
      }
      const auto until = std::chrono::steady_clock::now() + kPatience;
      for (int spins = 1; !it.load(std::memory_order_acquire); spins++) {
        kaltro::detail::relax();
        if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) {
          if (!patient)
            return -1;
          std::this_thread::yield();
        }
      }
    }
    int i = need + 1;
    while (i < pieces && done[static_cast<size_t>(i)].load(std::memory_order_acquire))
      i++;
    // Read after the pieces it covers: a failure they recorded is seen.
    if (failed.load(std::memory_order_relaxed))
      return -1;
    return std::min(total, i * span);
  }

  // Every piece, then the end of the job.  Each piece is waited for, not
  // just the last: a pool thread may still hold an earlier one, and once the
  // job is closed a piece it has claimed but not started is never run.
  void finish() {
    while (take()) {
    }
    for (int i = 0; i < pieces; i++)
      for (int spins = 1; !done[static_cast<size_t>(i)].load(std::memory_order_acquire); spins++) {
        kaltro::detail::relax();
        if (spins % 1024 == 0)
          std::this_thread::yield();  // its thread may have lost its processor
      }
    close();
  }
};

KernelAhead::KernelAhead() : key(block_key), val(block_val) {}
KernelAhead::~KernelAhead() = default;

namespace {

// Back to answering from blocks, no thread left inside the stretch.
void end_stretch(KernelAhead& h) {
  h.stretch->close();
  h.key = h.block_key;
  h.val = h.block_val;
  h.row = -1;
  h.start = h.next = h.end = h.ready = h.alone = 0;
}

// Starts computing the walk of row a from position p in pieces when it is
// long enough to pay; false when it is left to blocks.  `going_on`: the
// walk of row a has had a block already.
bool start_stretch(KernelData& k, KernelAhead& h, int a, int p, bool going_on) {
  // On one thread only a walk summed from the columns is worth a stretch.
  // The sums cost a whole piece of the row, so the solver's calls for the
  // diagonal entries, one by one at set-up, are left to blocks; any other
  // call that starts a walk starts the stretch (gathering a block first
  // took 3% of the time on one thread, and the pool's threads waited for it
  // at every row).
  const bool alone = k.threads <= 1;
  if (!k.active || (alone && !h.columns) || (h.columns && !going_on && k.order[p] == a))
    return false;
  const int to = p < *k.active ? *k.active : k.n;
  const int p0 = p - p % kTile;
  // Summing from the columns pays on far shorter walks than sharing does:
  // a gather reads each pair of the walk where it lies.  Class pairs of
  // 500-2 000 text-like rows, whose walks are all short, trained in 0.51 and
  // 0.31 of the time with 256 than with 2 048 (one thread), while 128 was
  // slower again; sets of two classes did not change.
  const int least = h.columns ? std::min(k.stretch_min, kColumnWalkMin) : k.stretch_min;
  if (to - p0 < least)
    return false;
  if (!h.stretch)
    h.stretch.reset(new Stretch);
  if (!h.stretch->begin(k, h, a, p0, to - p0, std::max(k.threads - 1, 0), alone))
    return false;
  h.row = a;
  h.start = p0;
  h.next = p - p0;
  h.end = to - p0;
  h.alone = 0;
  // The walk's own kernel indices tag the answers: the solver walks to the
  // end without reordering, and the positions are read where the solver
  // just read them instead of from memory another thread wrote.
  h.key = k.order + p0;
  h.val = h.stretch->val.data();
  h.ready = h.stretch->wait_for(h.next, true);
  if (h.ready < 0) {
    end_stretch(h);
    return false;
  }
  h.stretches++;
  h.blocks += (h.end + kAhead - 1) / kAhead;
  return true;
}

}  // namespace

bool compute_ahead(KernelData& k, int a, int b, double& value) {
  KernelAhead& h = *k.ahead;
  const bool stretched = h.key != h.block_key;
  // Every call that is not answered from a block comes here, so a stop
  // asked for is seen within a block of entries, at no cost per entry.
  if (k.stop && k.stop->load(std::memory_order_relaxed)) {
    if (stretched)
      end_stretch(h);
    throw Interrupted();
  }
  if (!k.order || !(k.x || (k.data && k.data->sparse)))
    return false;
  if (stretched && a == h.row && h.next < h.end && h.key[h.next] == b) {
    // The walk has reached entries not done yet.  After waiting in vain
    // once, the caller evaluates the rest of that piece on its own (with the
    // same bits) instead of waiting again at every entry.
    //
    // A piece given up to its thread may still be running when the walk has
    // been answered, and it reads the walk's positions, which the solver may
    // reorder as soon as that is so: once every other piece is done, or the
    // walk ends on entries evaluated here, the job is closed, which waits
    // for that thread.
    const int ready = h.next < h.alone ? -1 : h.stretch->wait_for(h.next, false);
    if (ready < 0) {
      if (h.next >= h.alone)
        h.alone = std::min(h.end, (h.next / h.stretch->span + 1) * h.stretch->span);
      if (++h.next == h.end)
        h.stretch->close();
      return false;
    }
    h.ready = ready;
    if (ready == h.end && h.alone > 0)
      h.stretch->close();
    value = h.val[h.next++];
    return true;
  }
  // Most often the walk just goes on past the last block or stretch.  Not
  // so across the active size, where a walk may end: the position is then
  // looked up, as for a row's first call, so that where b stands at several
  // positions none is guessed that lets the entries read ahead run past the
  // walk's end.
  const bool going_on = h.row == a && h.end > 0;
  const int after = h.start + h.end;
  const int active = active_size(k);
  int p = -1;
  if (going_on && h.next == h.end && after < k.n && after != active && k.order[after] == b) {
    p = after;
  } else {
    const int prev = h.row != a ? -1 : h.next > 0 ? h.key[h.next - 1] : h.last;
    p = locate(k, h, b, prev);
  }
  if (stretched)
    end_stretch(h);
  if (p >= 0 && start_stretch(k, h, a, p, going_on)) {
    if (h.key[h.next] == b) {
      value = h.val[h.next++];
      return true;
    }
    end_stretch(h);
    p = -1;
  }
  if (p < 0 || !fill_block(k, h, a, p)) {
    h.row = a;
    h.end = h.ready = h.next = 0;
    h.last = b;
    return false;
  }
  value = h.block_val[p - h.start];
  return true;
}

bool walk_settled(const KernelAhead& h) {
  if (h.key == h.block_key)
    return true;
  const Stretch& s = *h.stretch;
  if (h.next != h.end)
    return false;
  for (int i = 0; i < s.pieces && s.is_open(); i++)
    if (!s.done[static_cast<size_t>(i)].load(std::memory_order_acquire))
      return false;
  return true;
}

const float* whole_row(KernelData& k, int a) {
  KernelAhead& h = *k.ahead;
  k.evals += h.next - h.counted;  // answers taken from a walk, if any
  if (h.key != h.block_key)
    end_stretch(h);
  h.row = -1;
  h.next = h.end = h.ready = h.counted = 0;
  const int n = k.n;
  if (!h.stretch)
    h.stretch.reset(new Stretch);
  Stretch& s = *h.stretch;
  const bool blocks = k.order && (k.x || (k.data && k.data->sparse)) && k.p.type != kPrecomputed;
  if (blocks && s.begin(k, h, a, 0, n, n >= k.stretch_min ? k.threads - 1 : 0, false)) {
    s.finish();
    h.blocks += (n + kAhead - 1) / kAhead;
    if (!s.failed.load(std::memory_order_relaxed)) {  // every entry from a block
      k.evals += n;
      return s.val.data();
    }
  } else {
    s.close();
    s.key.assign(static_cast<size_t>(n) + kAhead, -1);
    s.val.resize(static_cast<size_t>(n) + kAhead);
  }
  // Entries no block could serve, one evaluation each.
  float* out = s.val.data();
  for (int p = 0; p < n; p++)
    if (s.key[static_cast<size_t>(p)] != k.order[p])
      out[p] = static_cast<float>(kernel_value(k.p, *k.data, a, *k.data, k.order[p]));
  k.evals += n;
  return out;
}

size_t KernelData::build_columns(size_t budget) {
  KernelAhead& h = *ahead;
  h.columns.reset();
  if (!data || !data->sparse || !order || p.type == kPrecomputed)
    return 0;
  std::unique_ptr<FeatureColumns> c(new FeatureColumns);
  if (!c->build(*data, order, n, budget, true))
    return 0;
  h.columns = std::move(c);
  h.column_block = column_block_for();
  return h.columns->bytes();
}

}  // namespace ksvm
