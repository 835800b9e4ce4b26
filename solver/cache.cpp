// Kernel row cache.
//
// Units: entries are floats, cache_bytes counts 4 bytes per entry held (row
// objects and diagonals are not counted).  getrow(i, upto, hot) returns the
// row of position i valid for columns 0..upto-1; column j holds
// K(kidx[i], kidx[j]) for the variable standing at position j now.  The
// pointer holds until that row changes length or is dropped; only
// cache_compact moves rows that keep their length, and the solver calls it
// only between its own steps, where no caller holds a row.  Where the
// entries live is the row store's business (rowstore.cpp).
#include <memory>
#include <utility>
#include <vector>

#include "internal.h"

using kaltro::detail::RowStore;

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

KALTRO::Arow::~Arow() { kaltro::detail::free_entries(store, data, len); }

int KALTRO::Arow::resize(int newlen) {
  if (newlen < 0)
    newlen = 0;  // a negative length holds no entries, like 0
  const int old = len;
  if (newlen == len)
    return 0;
  data = kaltro::detail::resize_entries(store, data, old, newlen);
  len = newlen;
  return 4 * (newlen - old);
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
      work->kdiag[i] = r->diag;
    }
    work->store = kaltro::detail::make_store(maxcachesize, n, distinct);
    for (int i = 0; i < n; i++)
      rows[i]->store = work->store.get();
  } catch (...) {
    cache_fini();  // rows made so far are all reachable through rows[]
    throw;
  }
}

void KALTRO::cache_fini() noexcept {
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
  work->store.reset();
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
  kaltro::detail::prefault(r->store, r->data + old, r->data + upto);
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

void KALTRO::cache_swap(int i, int j) noexcept {
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

namespace kaltro {
namespace detail {

// Applies the exchanges to every cached row in one walk of the ring.  Each
// row ends exactly as if cache_swap had been called once per exchange:
// entries exchanged while the row holds both columns, the row cut to i
// entries once it holds only column i.  Rows are independent of each other,
// so replaying the sequence row by row gives the same end state as replaying
// it exchange by exchange, at one pass over the rows instead of one per
// exchange.
void cache_reorder(KALTRO& s, const std::vector<int>& pairs) noexcept {
  if (!s.ring || pairs.empty())
    return;
  const size_t count = pairs.size();
  for (size_t e = 0; e < count; e += 2)
    std::swap(s.rows[pairs[e]], s.rows[pairs[e + 1]]);
  KALTRO::Arow* next;
  for (KALTRO::Arow* r = s.ring->next; r != s.ring; r = next) {
    next = r->next;
    int len = r->len;
    float* d = r->data;
    for (size_t e = 0; e < count && len > 0; e += 2) {
      const int i = pairs[e], j = pairs[e + 1];
      if (j < len)
        std::swap(d[i], d[j]);
      else if (i < len)
        len = i;
    }
    if (len != r->len)
      s.cache_bytes += r->resize(len);
  }
}

void cache_compact(KALTRO& s) {
  RowStore* st = s.work->store.get();
  if (st && st->crowded())
    st->close_gaps(s.rows, s.n);
}

void cache_tidy(KALTRO& s) {
  s.cache_clean();
  cache_compact(s);
}

void cache_room(KALTRO& s) {
  if (s.work->rows_unheld)
    cache_tidy(s);
  else
    s.cache_clean();
}

}  // namespace detail
}  // namespace kaltro
