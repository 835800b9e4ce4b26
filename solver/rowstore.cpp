// The row store: the one block the cached entries live in (best fit over
// its holes, rows slid together when the holes add up), the malloc fallback
// for rows that find no room, and the paging hints for both.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kaltro {
namespace detail {

RowStore::~RowStore() { give_block(mem, held, mapped); }

// Recording a hole takes a node in each container.  When one cannot be had
// the hole is left unrecorded: nothing is placed there until the rows are
// next slid together, which finds every hole again from the rows.  So giving
// memory back never fails.
void RowStore::add_gap(size_t off, size_t bytes) noexcept {
  try {
    auto g = gaps.emplace(off, bytes).first;
    try {
      fits.emplace(bytes, off);
    } catch (...) {
      gaps.erase(g);
      throw;
    }
  } catch (...) {
    lost += bytes;
    return;
  }
  gap_bytes += bytes;
}

void RowStore::drop_gap(std::map<size_t, size_t>::iterator g) noexcept {
  gap_bytes -= g->second;
  fits.erase({g->second, g->first});
  gaps.erase(g);
}

void RowStore::raise_end(size_t to) {
  end = to;
  if (end > high)
    high = end;
}

// A hole that reaches the end moves the end down instead.
void RowStore::release(size_t off, size_t bytes) noexcept {
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

float* RowStore::place(size_t bytes) {
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

bool RowStore::extend(size_t off, size_t had, size_t bytes) {
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

// They must when two rows of full length no longer fit without it.  They
// may when the next rows would go past the memory written so far while the
// holes add up to more than `loose`; that is the memory this block exists to
// save.  Moving rows costs far less per entry than evaluating the kernel for
// one, and this is allowed only after eight times as many entry bytes have
// been stored as there are to move, so that it never takes a noticeable share
// of the time.
bool RowStore::crowded() const {
  if (gaps.empty() && lost == 0)
    return false;
  size_t slots = (cap - end) / row_max;
  for (auto f = fits.rbegin(); f != fits.rend() && slots < 2 && f->first >= row_max; ++f)
    slots++;
  if (slots < 2)
    return true;
  return high - end < 2 * row_max && gap_bytes + lost > loose && written / 8 >= end;
}

// In address order, so that no row is written over before it has moved.
void RowStore::close_gaps(KALTRO::Arow* const* rows, int n) {
  // Through rows[] rather than the ring, so that no row with entries can be
  // missed; a shared row turns up once per position and is taken once.
  std::vector<KALTRO::Arow*> held;
  for (int i = 0; i < n; i++)
    if (rows[i]->len > 0 && owns(rows[i]->data))
      held.push_back(rows[i]);
  std::sort(held.begin(), held.end(), [](const KALTRO::Arow* a, const KALTRO::Arow* b) {
    return reinterpret_cast<uintptr_t>(a->data) < reinterpret_cast<uintptr_t>(b->data);
  });
  held.erase(std::unique(held.begin(), held.end()), held.end());
  size_t to = 0;
  for (KALTRO::Arow* r : held) {
    float* d = at(to);
    if (d != r->data)
      std::memmove(d, r->data, sizeof(float) * static_cast<size_t>(r->len));
    r->data = d;
    to += block(r->len);
  }
  gaps.clear();
  fits.clear();
  gap_bytes = 0;
  lost = 0;
  written = 0;
  end = to;
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
  held += std::min(held, rows * RowStore::kAlign);  // rounding of each row to its block
  if (held > all)
    held = all;
  return held + 2 * row_max + std::max(held / 8, 2 * row_max);
}

}  // namespace

std::unique_ptr<RowStore> make_store(long budget, int n, size_t distinct) {
  std::unique_ptr<RowStore> st(new RowStore);
  st->row_max = RowStore::block(n);
  const size_t bytes = store_bytes(budget, distinct, st->row_max);
  if (bytes == 0 || bytes > SIZE_MAX / 2)
    return nullptr;  // then every row gets a block of its own from malloc
  const size_t need = bytes + RowStore::kAlign;
  size_t mapped = 0;
  bool keeping = false;
  if (!take_block(need, st->mem, st->held, mapped, keeping)) {
    // A block that will be kept gets an eighth more, so that the next
    // caches, a little larger or smaller, fit in it too; pages never
    // touched cost nothing.
    st->held = keeping ? need + need / 8 : need;
    st->mem = static_cast<char*>(std::malloc(st->held));
    if (!st->mem)
      return nullptr;
  }
  const uintptr_t m = reinterpret_cast<uintptr_t>(st->mem);
  st->base = st->mem + ((RowStore::kAlign - m % RowStore::kAlign) % RowStore::kAlign);
  st->cap = bytes;
  st->mapped = mapped;
  st->loose = std::max(bytes / 32, 2 * st->row_max);
  // No transparent huge pages: new pages are filled ahead in bulk
  // (prefault), so they would save few faults, and the system's zeroing and
  // compaction of 2 MB pages cost more time than the faults they save.
  return st;
}

// Fewer entries: the tail goes back where it came from.  Never fails.
float* cut_entries(RowStore* st, float* data, int old, int newlen) noexcept {
  if (newlen == 0) {
    free_entries(st, data, old);
    return nullptr;
  }
  if (st && st->owns(data)) {
    const size_t had = RowStore::block(old), want = RowStore::block(newlen);
    if (want < had)
      st->release(st->offset(data) + want, had - want);
    return data;
  }
  void* nd = std::realloc(data, sizeof(float) * static_cast<size_t>(newlen));
  return nd ? static_cast<float*>(nd)
            : data;  // a block that could not shrink still holds the prefix
}

float* resize_entries(RowStore* st, float* data, int old, int newlen) {
  if (newlen < old)
    return cut_entries(st, data, old, newlen);
  if (st)
    st->written += sizeof(float) * static_cast<size_t>(newlen - old);
  if (data && st && st->owns(data)) {
    const size_t off = st->offset(data);
    const size_t had = RowStore::block(old), want = RowStore::block(newlen);
    if (want > had && !st->extend(off, had, want)) {
      float* nd = st->place(want);
      if (!nd)
        nd = static_cast<float*>(std::malloc(sizeof(float) * static_cast<size_t>(newlen)));
      if (!nd)
        throw std::bad_alloc();
      std::memcpy(nd, data, sizeof(float) * static_cast<size_t>(old));
      st->release(off, had);
      data = nd;
    }
    return data;
  }
  void* nd = data || !st ? nullptr : st->place(RowStore::block(newlen));
  if (!nd)
    nd = std::realloc(data, sizeof(float) * static_cast<size_t>(newlen));
  if (!nd)
    throw std::bad_alloc();
  return static_cast<float*>(nd);
}

// Entries in the block are given back to it; others were malloc'd.
void free_entries(RowStore* st, float* data, int len) noexcept {
  if (data && st && st->owns(data))
    st->release(st->offset(data), RowStore::block(len));
  else
    std::free(data);
}

// A row that grows is written entry by entry right away.  Where the system
// can, map the pages of the new tail in one call instead of taking one page
// fault per page while the kernel values are stored: a cache that fills
// hundreds of megabytes otherwise spends a large share of its time in page
// faults.  Purely a hint: nothing depends on it succeeding.
void prefault(float* from, float* to) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  static std::atomic<bool> works{true};  // rows may be fetched on several threads
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

// The block is filled from its start and its pages stay mapped, so the
// call (a walk over the page tables even where every page is there: a tenth
// of a run whose rows keep being replaced) is made for new memory only.
void prefault(RowStore* st, float* from, float* to) {
  if (!st || !st->owns(from)) {
    prefault(from, to);
    return;
  }
  char* const top = st->base + st->mapped;
  char* const f = reinterpret_cast<char*>(from);
  char* const t = reinterpret_cast<char*>(to);
  if (t <= top)
    return;
  st->mapped = static_cast<size_t>(t - st->base);
  prefault(reinterpret_cast<float*>(f < top ? top : f), to);
}

}  // namespace detail
}  // namespace kaltro
