// The library's own working state and the operations behind the public
// ones.  Never installed: callers see only kaltro.h.  Tests that check these
// internals include it.
#ifndef KALTRO_INTERNAL_H
#define KALTRO_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "kaltro.h"

namespace kaltro {
namespace detail {

// ---- the row store (rowstore.cpp) ----

// Where the entries live.  Rows come and go in every length from a few
// entries to n, and a general allocator handed those lengths one by one
// leaves the freed holes scattered between rows that stay: a cache filled to
// its budget then keeps up to half as much again in holes too short for the
// rows asked for next, all of it resident.  So the entries live in one block
// sized for the budget plus an eighth.  A row goes into the smallest hole
// that takes it, grows in place where the room behind it is free, and when
// the room at the end runs short the rows are slid together to close the
// holes.  That happens only in cache_compact, which the solver reaches
// between its own steps: before an iteration step fetches its rows, and in
// the gradient rebuilds of run.  No public operation a caller may call on
// its own moves a row, so a row the caller holds stays where it is until it
// is resized or dropped.  A row that finds no room at all (or a cache whose
// block could not be had) falls back to malloc.
class RowStore {
 public:
  static const size_t kAlign = 64;  // every block starts on a cache line

  char* mem = nullptr;            // as allocated
  size_t held = 0;                // bytes allocated at mem (more than cap + kAlign when kept)
  char* base = nullptr;           // mem aligned up
  size_t cap = 0;                 // usable bytes from base
  size_t end = 0;                 // bytes from base up to the end of the highest block
  size_t row_max = 0;             // block of a full row
  size_t high = 0;                // the furthest end so far: memory up to there has been written
  size_t gap_bytes = 0;           // sum of the holes
  size_t lost = 0;                // holes that could not be recorded, found again by close_gaps
  size_t loose = 0;               // holes that may add up before the end is let past `high`
  size_t written = 0;             // entry bytes stored since the rows were last slid together
  size_t mapped = 0;              // the pages below this offset have been prefaulted
  std::map<size_t, size_t> gaps;  // free holes below end: offset -> bytes
  std::set<std::pair<size_t, size_t>> fits;  // the same holes as (bytes, offset)

  static size_t block(int len) {
    return (sizeof(float) * static_cast<size_t>(len) + kAlign - 1) & ~(kAlign - 1);
  }
  ~RowStore();
  bool owns(const float* p) const {
    uintptr_t a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
    return mem && a >= b && a - b < cap;
  }
  size_t offset(const float* p) const {
    return static_cast<size_t>(reinterpret_cast<const char*>(p) - base);
  }
  float* at(size_t off) const { return reinterpret_cast<float*>(base + off); }

  /// Return [off, off + bytes), joined with the holes on either side.
  void release(size_t off, size_t bytes) noexcept;
  /// The smallest hole that takes `bytes`, else the room at the end; null when neither does.
  float* place(size_t bytes);
  /// Grow the block at off from `had` to `bytes` where the room behind it is free.
  bool extend(size_t off, size_t had, size_t bytes);
  /// Whether the rows should be slid together now.
  bool crowded() const;
  /// Slide the rows of the block down over the holes, so that all the free
  /// room is at the end again.  `rows` are the n positions' row objects.
  void close_gaps(KALTRO::Arow* const* rows, int n);

 private:
  void add_gap(size_t off, size_t bytes) noexcept;
  void drop_gap(std::map<size_t, size_t>::iterator g) noexcept;
  void raise_end(size_t to);
};

/// A row block for `distinct` rows of up to n entries under `budget` bytes;
/// null when it cannot be had (every row then gets memory of its own).
std::unique_ptr<RowStore> make_store(long budget, int n, size_t distinct);

/// A block kept from a closed cache (keep_blocks.cpp) of at least `bytes`:
/// its memory, size and the bytes from its aligned start that are mapped.
/// False when none fits.  `keeping` tells whether blocks are being kept.
bool take_block(size_t bytes, char*& mem, size_t& size, size_t& mapped, bool& keeping);
/// Keeps a closed cache's block for the next cache, or frees it.
void give_block(char* mem, size_t size, size_t mapped) noexcept;

/// Entries of a row resized from `old` to `newlen` (both not negative, not
/// equal), the common prefix kept: in the store `st` when the entries are
/// there or new and it has room, else from malloc.  Returns the new pointer,
/// null for 0 entries.  Throws std::bad_alloc when a row cannot grow; a row
/// that shrinks goes through cut_entries and never fails.
float* resize_entries(RowStore* st, float* data, int old, int newlen);
/// The same for newlen < old: the tail is given back.
float* cut_entries(RowStore* st, float* data, int old, int newlen) noexcept;
/// Give back the `len` entries at `data`, wherever they were placed.
void free_entries(RowStore* st, float* data, int len) noexcept;
/// Map the pages of [from, to) ahead of writing them; only a hint.
void prefault(float* from, float* to);
/// The same for entries placed by `st` (which may be null): pages of the
/// block mapped before are not asked for again.
void prefault(RowStore* st, float* from, float* to);

// ---- the working state behind KALTRO::work ----

struct Work {
  std::unique_ptr<float[]>
      kdiag;  // K(i,i) by position, contiguous; set by cache_init, moved by swap
  std::unique_ptr<RowStore> store;  // room for the row entries; null without a cache or a block
  bool rows_unheld = false;         // set by run around its own unshrink: no caller holds a row
};

// ---- the cache's own operations (cache.cpp) ----

/// Slide the rows together when the block's holes have grown.  It moves
/// rows, so it is called only where the solver holds no row pointer.
void cache_compact(KALTRO& s);
/// cache_clean, then cache_compact: the solver's way to make room before it
/// fetches rows, at points where it holds none.
void cache_tidy(KALTRO& s);
/// What unshrink does before each fetch: cache_tidy while run has set
/// rows_unheld, else cache_clean alone, since a caller that calls unshrink
/// on its own may hold rows.
void cache_room(KALTRO& s);
/// Follow a whole sequence of exchanges (pairs i < j, in order) in rows[]
/// and every cached row, in one walk of the ring.  Ends exactly as one
/// cache_swap per exchange would.
void cache_reorder(KALTRO& s, const std::vector<int>& pairs) noexcept;

}  // namespace detail
}  // namespace kaltro

#endif
