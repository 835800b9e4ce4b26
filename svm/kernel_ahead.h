// Entries of a kernel row computed ahead of the solver's requests, in blocks
// of kAhead, from rows kept in position order.  Private to the trainer
// library (the callback in kernel.cpp and the tests reach it here).
#ifndef KSVM_KERNEL_AHEAD_H
#define KSVM_KERNEL_AHEAD_H

#include <memory>
#include <utility>
#include <vector>

#include "kernel.h"

namespace ksvm {

/// How many entries of a row are computed at once.
constexpr int kAhead = 32;

// D > 0: the number of features is known when the callback or the block is
// chosen, so the dot product unrolls completely (the same sums in the same
// order as for any D, so the values do not change); D == 0 reads it from the
// data.
template <int D>
inline int width(const KernelData& k) {
  return D > 0 ? D : k.d;
}

// Callbacks and blocks are made for every width up to this one.
constexpr int kFixedWidths = 32;
using Widths = std::make_integer_sequence<int, kFixedWidths + 1>;

/// Positions are held in tiles of kTile, a block is two tiles.
constexpr int kTile = 8;

/// K(xa, lane t) for the lanes of a block of rows held in tiles, with their
/// squared norms; see kernel_ahead.cpp.
using KernelBlockFn = void (*)(const KernelData& k, const double* xa, double na,
                               const double* tiles, const double* norms, double* out);

/// K(row spread in w, row keys[t]) for the kAhead rows of a block of
/// sparse data, read where they lie, with the feature indices in `index`
/// (the data's own or renumbered ones, at the same places).
using SparseBlockFn = void (*)(const KernelData& k, const double* w, const int* index, double na,
                               const int* keys, double* out);

struct Stretch;
struct FeatureColumns;

/// K(row laid out in the columns, row keys[t]) for the kAhead positions of
/// a block from position p0, from the columns' sums.
using ColumnBlockFn = void (*)(const KernelData& k, const FeatureColumns& c, double na, int p0,
                               const int* keys, double* out);

// What has been computed ahead: K(row, key[t]) = val[t] for next <= t <
// ready, key[t] the kernel index at position start + t.  The callback
// answers from it while the solver's calls follow the walk.  key and val
// point at the block of kAhead entries below, or, while a long stretch of
// the walk is computed in pieces by several threads, at the stretch's
// entries: then the answers up to `end` come in as the pieces are done.
struct KernelAhead {
  int row = -1, start = 0, next = 0, end = 0, ready = 0;
  /// next when evaluations were last counted: the answers taken from the
  /// walk since then are not in KernelData::evals yet.
  int counted = 0;
  /// In a stretch: entries before this are evaluated by the caller, whose
  /// wait for the piece holding them ran out.
  int alone = 0;
  const int* key;
  const float* val;
  int block_key[kAhead];
  float block_val[kAhead];
  /// The kernel index answered last for `row` when no block was in use.  On
  /// a cache line apart from the fields above, which change on every answer,
  /// since the threads computing a stretch read those below all the time.
  alignas(64) int last = -1;
  /// Blocks computed (read by tests and measurements).
  long long blocks = 0;
  /// Stretches computed in pieces (read by tests and measurements).
  long long stretches = 0;
  std::vector<int> where;  ///< first position of each kernel index when last looked up
  std::vector<int> twin;   ///< the next position with the same kernel index, or -1
  std::vector<double> px;  ///< dense rows copied into position order, in tiles of 8 positions
  std::vector<double> pn;  ///< their squared norms
  std::vector<int> held;   ///< kernel index whose row px holds at each position, or -1
  KernelBlockFn block = nullptr;         ///< computes a block, chosen with the tiles
  SparseBlockFn sparse_block = nullptr;  ///< computes a block of sparse rows

  /// Sparse data: row `spread` (or none, -1) written densely into w, which
  /// is 0 elsewhere, at the places `windex` gives its features (the data's
  /// own indices, d doubles, or the renumbered ones); made at first use.
  std::vector<double> w;
  int spread = -1;
  const int* windex = nullptr;

  /// Sparse data with many more features than the walk's rows hold (see
  /// renumbering): each non-zero's feature numbered anew, at the places of
  /// data.index; which rows have numbers; how many numbers there are.
  std::vector<int> renumbered;
  std::vector<unsigned char> mapped;
  int numbers = 0;

  /// Sparse data: the walk's rows held by feature (KernelData::build_columns),
  /// from which long walks are summed when that pays; or none.
  std::unique_ptr<FeatureColumns> columns;
  ColumnBlockFn column_block = nullptr;

  /// The stretch in pieces, kept for the next one (its job closed).
  std::unique_ptr<Stretch> stretch;

  KernelAhead();
  ~KernelAhead();
  KernelAhead(const KernelAhead&) = delete;
  KernelAhead& operator=(const KernelAhead&) = delete;
};

/// Entries of a walk shorter than this are computed in blocks on the
/// caller's thread; from here on, with more than one thread, in pieces.
constexpr int kStretchMin = 2048;

/// Walks that the columns can sum are summed from this length on (or from
/// KernelData::stretch_min when that is shorter); below kStretchMin, in one
/// piece on the caller's thread.
constexpr int kColumnWalkMin = 256;

/// w of k.ahead holding row a of sparse data, its features placed by
/// `index` (aligned with the data's pairs) in an array of `size` doubles;
/// returns w.
const double* spread_row(const KernelData& k, int a, const int* index, int size);

/// Whether blocks on k's sparse data renumber the features: when it follows
/// a walk and an array of d doubles would outweigh the renumbered indices
/// (4 bytes a non-zero).
inline bool renumbering(const KernelData& k) {
  return k.order && 2 * static_cast<double>(k.d) > static_cast<double>(k.data->index.size());
}

/// K(a, b) from a block computed for the position of b in k.order; false
/// (and nothing kept) when b has none or the order is not a set of rows.
bool compute_ahead(KernelData& k, int a, int b, double& value);

/// The kAhead entries v as floats, at the chosen vector width: the bits of
/// static_cast<float> for each.
void to_single(const double* v, float* out);

/// Whether, once a walk has been answered to its end, no thread can still
/// read the walk's positions, which the solver may now reorder: the entries
/// ahead are a block, or the stretch ends there and is closed or done.
bool walk_settled(const KernelAhead& h);

/// K(a, order[p]) for every position p of k's walk (k.order and k.data must
/// be set), in single precision: what one call per position would answer,
/// without a call per entry, in pieces on k.threads threads for a long walk.
/// Counted in k.evals; valid until the next call on k.
const float* whole_row(KernelData& k, int a);

}  // namespace ksvm

#endif
