// Giving row memory back never fails.  Every allocation can be refused here
// on demand (the global allocation functions are replaced, which is why this
// is a program of its own): dropping rows, cutting them, freeing the cache
// and destroying the solver must all go through while nothing can be had,
// and the holes that could not be recorded must be found again later.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "internal.h"

namespace {

bool refusing = false;
long refused = 0;

void* allocate(std::size_t size) {
  if (refusing) {
    refused++;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept {
  return operator new(size, t);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

double value(int a, int b, void*) { return 1000.0 + 10.0 * (a + b) + static_cast<double>(a) * b; }

// Runs f with every allocation refused; true when it threw.
template <class F>
bool throws_refused(F f) {
  refusing = true;
  bool threw = false;
  try {
    f();
  } catch (...) {
    threw = true;
  }
  refusing = false;
  return threw;
}

// Every distinct row holds the kernel's values for the variables standing at
// its columns, no two rows share memory, and cache_bytes counts them all.
testing::AssertionResult sound(const KALTRO& s) {
  std::set<const KALTRO::Arow*> seen;
  std::vector<std::pair<const float*, const float*>> spans;
  long bytes = 0;
  for (int p = 0; p < s.n; p++) {
    const KALTRO::Arow* r = s.rows[p];
    if (!seen.insert(r).second || r->len == 0)
      continue;
    bytes += 4L * r->len;
    spans.push_back({r->data, r->data + r->len});
    for (int j = 0; j < r->len; j++)
      if (r->data[j] != static_cast<float>(value(r->key, s.kidx[j], nullptr)))
        return testing::AssertionFailure() << "row " << r->key << " column " << j;
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++)
    if (spans[i].first < spans[i - 1].second)
      return testing::AssertionFailure() << "two rows share memory";
  if (bytes != s.cache_bytes)
    return testing::AssertionFailure()
           << "cache_bytes " << s.cache_bytes << ", rows hold " << bytes;
  return testing::AssertionSuccess();
}

TEST(ReleaseRefused, DroppingCuttingAndFreeingNeedNoMemory) {
  const int n = 64;
  std::unique_ptr<KALTRO> owner(new KALTRO(n));
  KALTRO& s = *owner;
  s.kernel = value;
  s.trace_level = 0;
  s.maxcachesize = 24L * 4 * n;
  s.cache_init();
  const kaltro::detail::RowStore* st = s.work->store.get();
  ASSERT_NE(st, nullptr);
  // Rows of many lengths, some dropped again, so that what is given back
  // below lands between rows and beside recorded holes.
  for (int p = 0; p < n; p++)
    s.getrow(p, 1 + (p * 37) % n, p % 3 == 0);
  s.cache_clean();
  ASSERT_TRUE(sound(s));

  refused = 0;
  EXPECT_FALSE(throws_refused([&] {
    s.swap(5, 40);  // cuts every row holding column 5 but not 40
    s.swap(0, 63);
  }));
  EXPECT_FALSE(throws_refused([&] {
    s.maxcachesize = 6L * 4 * n;
    s.cache_clean();  // drops the least recent rows
  }));
  EXPECT_FALSE(throws_refused([&] {
    KALTRO::Arow* r = s.ring->next;  // the most recent row, cut and then emptied
    s.cache_bytes += r->resize(r->len / 2);
    s.cache_bytes += r->resize(0);
  }));
  EXPECT_GT(refused, 0);  // giving back did ask for memory, and went on without it
  EXPECT_GT(st->lost, 0u);
  EXPECT_TRUE(sound(s));

  // Rows fetched afterwards keep clear of the unrecorded holes; sliding the
  // rows together finds those holes again.
  s.maxcachesize = 24L * 4 * n;
  for (int round = 0; round < 3; round++) {
    for (int p = 0; p < n; p += 1 + round)
      s.getrow(p, n - round, round == 1);
    s.cache_clean();
    ASSERT_TRUE(sound(s)) << "round " << round;
  }
  kaltro::detail::RowStore* store = s.work->store.get();
  store->close_gaps(s.rows, n);
  EXPECT_EQ(store->lost, 0u);
  EXPECT_TRUE(sound(s));

  // Freeing the cache, and the whole solver, with nothing to be had: a throw
  // from the destructor would end the program here.
  EXPECT_FALSE(throws_refused([&] { s.cache_fini(); }));
  EXPECT_EQ(s.ring, nullptr);
  s.cache_init();
  for (int p = 0; p < n; p++)
    s.getrow(p, 1 + (p * 11) % n, true);
  EXPECT_FALSE(throws_refused([&] { owner.reset(); }));
}

}  // namespace
