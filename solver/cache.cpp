// Kernel row cache.
//
// Units: entries are floats, cache_bytes counts 4 bytes per entry held (row
// objects and diagonals are not counted).  getrow(i, upto, hot) returns the
// row of position i valid for columns 0..upto-1; column j holds
// K(kidx[i], kidx[j]) for the variable standing at position j now.  The
// pointer holds until that row changes length or is dropped; only
// cache_compact, which the solver calls where it holds no row, moves rows
// that keep their length.
#include "kaltro.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif
#include <memory>
#include <utility>

// Where the entries live.  Rows come and go in every length from a few
// entries to n, and a general allocator handed those lengths one by one
// leaves the freed holes scattered between rows that stay: a cache filled to
// its budget then keeps up to half as much again in holes too short for the
// rows asked for next, all of it resident.  So the entries live in one block
// sized for the budget plus an eighth.  A row goes into the smallest hole
// that takes it, grows in place where the room behind it is free, and when
// the room at the end runs short the rows are slid together to close the
// holes.  That happens only in cache_compact, which the solver calls right
// after its own cache_clean calls, where it holds no row pointer.  A row that finds no room at all (or a cache whose block could
// not be had) falls back to malloc.
class KALTRO::RowStore {
public:
  static const size_t kAlign = 64;  // every block starts on a cache line

  char* mem = nullptr;   // as allocated
  char* base = nullptr;  // mem aligned up
  size_t cap = 0;        // usable bytes from base
  size_t end = 0;        // bytes from base up to the end of the highest block
  size_t row_max = 0;    // block of a full row
  size_t high = 0;       // the furthest end so far: memory up to there has been written
  size_t gap_bytes = 0;  // sum of the holes
  size_t loose = 0;      // holes that may add up before the end is let past `high`
  size_t written = 0;    // entry bytes stored since the rows were last slid together
  std::map<size_t, size_t> gaps;             // free holes below end: offset -> bytes
  std::set<std::pair<size_t, size_t>> fits;  // the same holes as (bytes, offset)

  static size_t block(int len) {
    return (sizeof(float) * static_cast<size_t>(len) + kAlign - 1) & ~(kAlign - 1);
  }
  ~RowStore() { std::free(mem); }
  bool owns(const float* p) const {
    uintptr_t a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
    return mem && a >= b && a - b < cap;
  }
  size_t offset(const float* p) const {
    return static_cast<size_t>(reinterpret_cast<const char*>(p) - base);
  }
  float* at(size_t off) const { return reinterpret_cast<float*>(base + off); }

  void add_gap(size_t off, size_t bytes) {
    gaps.emplace(off, bytes);
    fits.emplace(bytes, off);
    gap_bytes += bytes;
  }
  void drop_gap(std::map<size_t, size_t>::iterator g) {
    gap_bytes -= g->second;
    fits.erase({g->second, g->first});
    gaps.erase(g);
  }
  void raise_end(size_t to) {
    end = to;
    if (end > high)
      high = end;
  }
  // Return [off, off + bytes), joined with the holes on either side; a hole
  // that reaches the end moves the end down instead.
  void release(size_t off, size_t bytes) {
    auto after = gaps.find(off + bytes);
    if (after != gaps.end()) {
      bytes += after->second;
      drop_gap(after);
    }
    auto before = gaps.lower_bound(off);
    if (before != gaps.begin()) {
      --before;
      if (before->first + before->second == off) {
        off = before->first;
        bytes += before->second;
        drop_gap(before);
      }
    }
    if (off + bytes == end)
      end = off;
    else
      add_gap(off, bytes);
  }
  // The smallest hole that takes `bytes`, else the room at the end; null when neither does.
  float* place(size_t bytes) {
    auto f = fits.lower_bound({bytes, 0});
    if (f != fits.end()) {
      const size_t off = f->second, have = f->first;
      drop_gap(gaps.find(off));
      if (have > bytes)
        add_gap(off + bytes, have - bytes);
      return at(off);
    }
    if (cap - end >= bytes) {
      float* p = at(end);
      raise_end(end + bytes);
      return p;
    }
    return nullptr;
  }
  // Grow the block at off from `had` to `bytes` where the room behind it is free.
  bool extend(size_t off, size_t had, size_t bytes) {
    const size_t tail = off + had, more = bytes - had;
    if (tail == end) {
      if (cap - end < more)
        return false;
      raise_end(end + more);
      return true;
    }
    auto g = gaps.find(tail);
    if (g == gaps.end() || g->second < more)
      return false;
    const size_t left = g->second - more;
    drop_gap(g);
    if (left > 0)
      add_gap(tail + more, left);
    return true;
  }
  // Whether the rows should be slid together now.  They must when two rows
  // of full length no longer fit without it.  They may when the next rows
  // would go past the memory written so far while the holes add up to more
  // than `loose`; that is the memory this block exists to save.  Moving rows
  // costs far less per entry than evaluating the kernel for one, and this is
  // allowed only after eight times as many entry bytes have been stored as
  // there are to move, so that it never takes a noticeable share of the time.
  bool crowded() const {
    if (gaps.empty())
      return false;
    size_t slots = (cap - end) / row_max;
    for (auto f = fits.rbegin(); f != fits.rend() && slots < 2 && f->first >= row_max; ++f)
      slots++;
    if (slots < 2)
      return true;
    return high - end < 2 * row_max && gap_bytes > loose && written / 8 >= end;
  }
};

namespace {

// A row that grows is written entry by entry right away.  Where the system
// can, map the pages of the new tail in one call instead of taking one page
// fault per page while the kernel values are stored: a cache that fills
// hundreds of megabytes otherwise spends a large share of its time in page
// faults.  Purely a hint: nothing depends on it succeeding.
void prefault(float* from, float* to) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  static bool works = true;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (!works)
    return;
  uintptr_t a = reinterpret_cast<uintptr_t>(from) & ~(page - 1);
  uintptr_t b = (reinterpret_cast<uintptr_t>(to) + page - 1) & ~(page - 1);
  if (b - a < 4 * page)
    return;  // a few faults cost less than the call
  if (madvise(reinterpret_cast<void*>(a), b - a, MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
    works = false;  // a kernel without it
#else
  (void)from;
  (void)to;
#endif
}

// The row block is written densely from its start; where the system offers
// transparent huge pages, filling it then takes one fault per 2 MB instead of
// one per page.  A hint like the one above.
void huge_pages(char* from, char* to) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t huge = 2u << 20;
  uintptr_t a = (reinterpret_cast<uintptr_t>(from) + huge - 1) & ~(huge - 1);
  uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(huge - 1);
  if (b > a)
    madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);
#else
  (void)from;
  (void)to;
#endif
}

}  // namespace

void KALTRO::Arow::refile(Arow* after) {
  // Filing a row behind itself would tie it to itself; it already stands
  // where it is asked to go, so it stays.
  if (after == this)
    return;
  if (prev && next) {
    prev->next = next;
    next->prev = prev;
  }
  if (len > 0 && after) {
    prev = after;
    next = after->next;
    next->prev = this;
    after->next = this;
  } else {
    prev = next = nullptr;
  }
}

// Entries in the block are given back to it; others were malloc'd.
KALTRO::Arow::~Arow() {
  if (data && store && store->owns(data))
    store->release(store->offset(data), RowStore::block(len));
  else
    std::free(data);
}

int KALTRO::Arow::resize(int newlen) {
  const int old = len;
  if (newlen == len)
    return 0;
  RowStore* st = store;
  if (st && newlen > old)
    st->written += sizeof(float) * static_cast<size_t>(newlen - old);
  if (data && st && st->owns(data)) {
    const size_t off = st->offset(data);
    const size_t had = RowStore::block(old), want = RowStore::block(newlen);
    if (want < had) {
      st->release(off + want, had - want);
    } else if (want > had && !st->extend(off, had, want)) {
      float* nd = st->place(want);
      if (!nd)
        nd = static_cast<float*>(std::malloc(sizeof(float) * static_cast<size_t>(newlen)));
      if (!nd)
        throw std::bad_alloc();
      std::memcpy(nd, data, sizeof(float) * static_cast<size_t>(old));
      st->release(off, had);
      data = nd;
    }
    if (newlen == 0)
      data = nullptr;
  } else if (newlen > 0) {
    void* nd = data || !st ? nullptr : st->place(RowStore::block(newlen));
    if (!nd)
      nd = std::realloc(data, sizeof(float) * static_cast<size_t>(newlen));
    if (!nd) {
      if (newlen > old)
        throw std::bad_alloc();
      nd = data;  // a block that could not shrink still holds the prefix
    }
    data = static_cast<float*>(nd);
  } else {
    std::free(data);
    data = nullptr;
  }
  len = newlen;
  return 4 * (newlen - old);
}

namespace {

// Bytes for the row block: what the budget lets the cache hold (never more
// than every row at full length), two rows that may join before the next
// clean, and slack so that holes are closed only now and then.  Zero when
// that does not fit in a size_t.
size_t store_bytes(long budget, size_t rows, size_t row_max) {
  const size_t top = SIZE_MAX / 4;
  if (row_max == 0 || rows > top / row_max)
    return 0;
  const size_t all = rows * row_max;
  size_t held = budget > 0 ? static_cast<size_t>(budget) : 0;
  if (held > top)
    held = top;
  held += std::min(held, rows * KALTRO::RowStore::kAlign);  // rounding of each row to its block
  if (held > all)
    held = all;
  return held + 2 * row_max + std::max(held / 8, 2 * row_max);
}

}  // namespace

void KALTRO::make_store(unsigned long distinct) {
  std::unique_ptr<RowStore> st(new RowStore);
  st->row_max = RowStore::block(n);
  const size_t bytes = store_bytes(maxcachesize, distinct, st->row_max);
  if (bytes > 0 && bytes <= SIZE_MAX - RowStore::kAlign)
    st->mem = static_cast<char*>(std::malloc(bytes + RowStore::kAlign));
  if (!st->mem)
    return;  // then every row gets a block of its own from malloc
  const uintptr_t m = reinterpret_cast<uintptr_t>(st->mem);
  st->base = st->mem + ((RowStore::kAlign - m % RowStore::kAlign) % RowStore::kAlign);
  st->cap = bytes;
  st->loose = std::max(bytes / 32, 2 * st->row_max);
  // Huge pages pay where the cache fills its budget and keeps replacing
  // rows.  When every row fits at full length, each entry is written once,
  // the faults are few, and the last huge page, partly used, would be
  // memory held for nothing.
  const double full = static_cast<double>(distinct) * 4.0 * static_cast<double>(n);
  if (full > static_cast<double>(maxcachesize))
    huge_pages(st->base, st->base + bytes);
  store = st.release();
}

// Slide every row of the block down over the holes below it, in address
// order, so that all the free room is at the end again.
void KALTRO::close_gaps() {
  // Through rows[] rather than the ring, so that no row with entries can be
  // missed; a shared row turns up once per position and is taken once.
  std::vector<Arow*> held;
  for (int i = 0; i < n; i++)
    if (rows[i]->len > 0 && store->owns(rows[i]->data))
      held.push_back(rows[i]);
  std::sort(held.begin(), held.end(), [](const Arow* a, const Arow* b) {
    return reinterpret_cast<uintptr_t>(a->data) < reinterpret_cast<uintptr_t>(b->data);
  });
  held.erase(std::unique(held.begin(), held.end()), held.end());
  size_t to = 0;
  for (Arow* r : held) {
    float* d = store->at(to);
    if (d != r->data)
      std::memmove(d, r->data, sizeof(float) * static_cast<size_t>(r->len));
    r->data = d;
    to += RowStore::block(r->len);
  }
  store->gaps.clear();
  store->fits.clear();
  store->gap_bytes = 0;
  store->written = 0;
  store->end = to;
}

void KALTRO::cache_init() {
  cache_fini();
  cache_bytes = 0;
  cache_warned = false;
  ring = new Arow{nullptr, nullptr, 0, 0, 0.0f, nullptr, nullptr};
  ring->prev = ring->next = ring;
  for (int i = 0; i < n; i++)
    rows[i] = nullptr;
  try {
    size_t distinct = 0;
    std::unique_ptr<Arow*[]> bucket(new Arow*[static_cast<size_t>(n)]());
    for (int i = 0; i < n; i++) {
      int k = kidx[i];
      int b = k % n;
      if (b < 0)
        b += n;  // negative kernel indices still get a bucket of their own
      Arow* r = bucket[b];
      while (r && r->key != k)
        r = r->next;
      if (!r) {
        float d = static_cast<float>(kernel(k, k, kernel_arg));
        r = new Arow{nullptr, bucket[b], k, 0, d, nullptr, nullptr};
        bucket[b] = r;
        distinct++;
      }
      rows[i] = r;
      kdiag[i] = r->diag;
    }
    make_store(distinct);
    for (int i = 0; i < n; i++)
      rows[i]->store = store;
  } catch (...) {
    cache_fini();  // rows made so far are all reachable through rows[]
    throw;
  }
}

void KALTRO::cache_fini() {
  if (!ring)
    return;
  for (int i = 0; i < n; i++)
    if (rows[i])
      rows[i]->prev = rows[i]->next = nullptr;
  Arow* free_list = nullptr;
  for (int i = 0; i < n; i++) {
    Arow* r = rows[i];
    if (r && !r->prev) {
      r->next = free_list;
      r->prev = r;  // collected: a shared row is listed once
      free_list = r;
    }
    rows[i] = nullptr;
  }
  while (free_list) {
    Arow* nx = free_list->next;
    delete free_list;
    free_list = nx;
  }
  delete store;
  store = nullptr;
  cache_bytes = 0;
  delete ring;
  ring = nullptr;
}

float* KALTRO::getrow(int i, int upto, bool hot) {
  Arow* r = rows[i];
  int old = r->len;
  if (old >= upto) {
    if (hot)
      r->refile(ring);
    return r->data;
  }
  cache_bytes += r->resize(upto);
  prefault(r->data + old, r->data + upto);
  try {
    const int ki = kidx[i];
    float* d = r->data;
    for (int j = old; j < upto; j++)
      d[j] = static_cast<float>(kernel(ki, kidx[j], kernel_arg));
  } catch (...) {
    // Never leave entries behind that were not evaluated.
    cache_bytes += r->resize(old);
    throw;
  }
  if (hot)
    r->refile(ring);
  else if (old == 0)
    r->refile(ring->prev);
  return r->data;
}

long KALTRO::cache_clean() {
  if (cache_bytes > maxcachesize) {
    if (!cache_warned)
      info("@", "@ Reached maxcachesize (%ld MB)\n", maxcachesize >> 20);
    cache_warned = true;
    while (cache_bytes > maxcachesize) {
      Arow* v = ring->prev;
      if (v == ring)
        break;
      cache_bytes += v->resize(0);
      v->refile(nullptr);
    }
  }
  return cache_bytes;
}

void KALTRO::cache_compact() {
  if (store && store->crowded())
    close_gaps();
}

void KALTRO::cache_swap(int i, int j) {
  if (!ring)
    return;
  std::swap(rows[i], rows[j]);
  Arow* nx;
  for (Arow* r = ring->next; r != ring; r = nx) {
    nx = r->next;
    bool has_i = i < r->len, has_j = j < r->len;
    if (has_i && has_j)
      std::swap(r->data[i], r->data[j]);
    else if (has_i)
      cache_bytes += r->resize(i);
    else if (has_j)
      cache_bytes += r->resize(j);
  }
}
