// The kernel row cache: row sharing, incremental growth, the recency ring,
// eviction under maxcachesize, column exchange, byte accounting and the
// block the entries live in.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "internal.h"
#include "keep_blocks.h"
#include "support.h"

namespace {

using Arow = KALTRO::Arow;

// A symmetric kernel defined for every int index, negative ones included,
// whose values are small integers and so exact in float: a cached entry can
// be compared bit for bit.
double index_value(int a, int b) {
  double da = a, db = b;
  return 1000.0 + 10.0 * (da + db) + da * db;
}

// A solver of n variables on index_value, the pairs asked for logged; g,
// gref and xref are given values so that swap() only ever moves initialised
// numbers.
struct Cached {
  FakeKernel k{index_value};
  KALTRO s;
  explicit Cached(int n, bool init = true) : s(n) {
    k.keep_log = true;
    k.attach(s);
    s.trace_level = 0;
    for (int i = 0; i < n; i++)
      s.g[i] = s.gref[i] = s.xref[i] = 0;
    if (init) {
      s.cache_init();
      k.reset();
    }
  }
};

// Everything the cache promises at rest: an intact ring holding every row
// with entries, rows outside it empty, each row matching its positions'
// kernel index, entries equal to the kernel for the variable standing at
// each column now, and cache_bytes equal to 4 * sum of len over distinct rows.
testing::AssertionResult consistent(const KALTRO& s, const std::function<double(int, int)>& K) {
  std::vector<int> keys;
  testing::AssertionResult ring = ring_keys(s, keys);
  if (!ring)
    return ring;
  std::set<int> in_ring(keys.begin(), keys.end());
  std::set<const Arow*> seen;
  long bytes = 0;
  for (int p = 0; p < s.n; p++) {
    const Arow* r = s.rows[p];
    if (!r)
      return testing::AssertionFailure() << "rows[" << p << "] is null";
    if (r->key != s.kidx[p])
      return testing::AssertionFailure()
             << "rows[" << p << "] has key " << r->key << ", kidx " << s.kidx[p];
    if (!seen.insert(r).second)
      continue;
    bytes += 4L * r->len;
    if (r->diag != static_cast<float>(K(r->key, r->key)))
      return testing::AssertionFailure() << "diag of key " << r->key;
    if (!in_ring.count(r->key) && (r->prev || r->len != 0 || r->data))
      return testing::AssertionFailure()
             << "key " << r->key << " is outside the ring but not empty";
    if (r->len == 0 && r->data)
      return testing::AssertionFailure() << "key " << r->key << " has data but no entries";
    for (int j = 0; j < r->len; j++)
      if (r->data[j] != static_cast<float>(K(r->key, s.kidx[j])))
        return testing::AssertionFailure() << "key " << r->key << " column " << j << " is stale";
  }
  if (seen.size() < in_ring.size())
    return testing::AssertionFailure() << "the ring holds rows no position uses";
  if (bytes != s.cache_bytes)
    return testing::AssertionFailure()
           << "cache_bytes " << s.cache_bytes << ", rows hold " << bytes;
  return testing::AssertionSuccess();
}

testing::AssertionResult consistent(const KALTRO& s) { return consistent(s, index_value); }

std::string clean_output(KALTRO& s, long* result = nullptr) {
  Capture cap;
  long r = s.cache_clean();
  if (result)
    *result = r;
  return cap.finish();
}

TEST(CacheRows, OneRowPerKernelIndexSharedAndFreedOnce) {
  Cached c(6, false);
  const int kidx[6] = {3, 1, 3, 0, 1, 3};
  std::copy(kidx, kidx + 6, c.s.kidx);
  c.s.cache_init();
  // The diagonal is evaluated once per distinct kernel index, nothing else.
  EXPECT_EQ(c.k.calls, 3);
  EXPECT_EQ(c.k.asked(),
            (std::map<std::pair<int, int>, int>{{{0, 0}, 1}, {{1, 1}, 1}, {{3, 3}, 1}}));
  EXPECT_EQ(c.s.rows[0], c.s.rows[2]);
  EXPECT_EQ(c.s.rows[0], c.s.rows[5]);
  EXPECT_EQ(c.s.rows[1], c.s.rows[4]);
  EXPECT_NE(c.s.rows[0], c.s.rows[1]);
  EXPECT_NE(c.s.rows[0], c.s.rows[3]);
  for (int p = 0; p < 6; p++) {
    EXPECT_EQ(c.s.rows[p]->len, 0);
    EXPECT_EQ(c.s.rows[p]->prev, nullptr);  // not in the ring until filled
  }
  EXPECT_TRUE(ring_of(c.s).empty());
  EXPECT_TRUE(consistent(c.s));

  // Filling the row through one position fills it for all that share it.
  c.k.calls = 0;
  const float* d = c.s.getrow(2, 6, false);
  EXPECT_EQ(c.k.calls, 6);
  EXPECT_EQ(c.s.getrow(0, 6, true), d);
  EXPECT_EQ(c.s.getrow(5, 4, false), d);
  EXPECT_EQ(c.k.calls, 6);
  EXPECT_EQ(c.s.cache_bytes, 24);
  c.s.getrow(4, 3, false);
  EXPECT_EQ(c.s.cache_bytes, 36);
  EXPECT_EQ(ring_of(c.s), (std::vector<int>{3, 1}));
  EXPECT_TRUE(consistent(c.s));

  // Setting up again frees the old rows (ASan counts them) and starts afresh.
  c.s.cache_warned = true;
  c.s.cache_init();
  EXPECT_EQ(c.s.cache_bytes, 0);
  EXPECT_FALSE(c.s.cache_warned);
  EXPECT_TRUE(ring_of(c.s).empty());
  c.s.getrow(1, 6, true);
  c.s.cache_fini();
  EXPECT_EQ(c.s.ring, nullptr);
  EXPECT_EQ(c.s.cache_bytes, 0);
  c.s.cache_fini();  // harmless without a cache
  c.s.cache_init();  // the destructor frees this one
  c.s.getrow(3, 6, false);
}

TEST(CacheRows, NegativeKernelIndicesAreBucketedAndPassedThrough) {
  // With n = 5, -1, -6 and INT_MIN fall into buckets 4, 4 and 2 once made
  // non-negative; used as they are they would index before the table.
  Cached c(5, false);
  const int kidx[5] = {-1, 4, -6, -1, INT_MIN};
  std::copy(kidx, kidx + 5, c.s.kidx);
  c.s.cache_init();
  EXPECT_EQ(c.k.asked(), (std::map<std::pair<int, int>, int>{
                             {{-1, -1}, 1}, {{4, 4}, 1}, {{-6, -6}, 1}, {{INT_MIN, INT_MIN}, 1}}));
  EXPECT_EQ(c.s.rows[0], c.s.rows[3]);
  EXPECT_EQ(c.s.rows[0]->key, -1);
  EXPECT_EQ(c.s.rows[2]->key, -6);
  EXPECT_EQ(c.s.rows[4]->key, INT_MIN);
  for (int p = 0; p < 5; p++)
    c.s.getrow(p, 5, p % 2 == 0);
  EXPECT_EQ((c.k.asked()[{-1, INT_MIN}]), 1);
  EXPECT_EQ((c.k.asked()[{-6, -1}]), 2);
  EXPECT_EQ((c.k.asked()[{INT_MIN, 4}]), 1);
  EXPECT_EQ(c.k.calls, 4 + 4 * 5);
  EXPECT_TRUE(consistent(c.s));
}

TEST(CacheRows, GrowOnlyByTheMissingTail) {
  Cached c(8);
  c.s.kidx[6] = 2;  // position 6 shares the row of kernel index 2
  c.s.cache_init();
  c.k.calls = 0;
  c.k.log.clear();

  const float* d = c.s.getrow(2, 3, false);
  EXPECT_EQ(c.k.asked(),
            (std::map<std::pair<int, int>, int>{{{2, 0}, 1}, {{2, 1}, 1}, {{2, 2}, 1}}));
  EXPECT_EQ(c.s.cache_bytes, 12);
  EXPECT_EQ(c.s.getrow(2, 2, true), d);  // enough entries: no kernel call
  EXPECT_EQ(c.s.getrow(6, 3, false), d);
  EXPECT_EQ(c.k.calls, 3);

  c.s.getrow(6, 8, false);  // only columns 3..7 are missing
  EXPECT_EQ(c.k.calls, 8);
  for (int j = 0; j < 8; j++)
    EXPECT_EQ((c.k.asked()[{2, c.s.kidx[j]}]), j == 2 || j == 6 ? 2 : 1) << j;
  EXPECT_EQ(c.s.cache_bytes, 32);

  // Fetching other rows never moves this one.
  const float* full = c.s.getrow(2, 8, false);
  c.s.getrow(5, 8, true);
  c.s.getrow(0, 1, false);
  EXPECT_EQ(c.s.getrow(2, 8, true), full);
  EXPECT_EQ(c.s.cache_bytes, 4 * (8 + 8 + 1));
  EXPECT_TRUE(consistent(c.s));
}

TEST(CacheRing, HotToTheFrontNewNotHotToTheBack) {
  Cached c(6);
  KALTRO& s = c.s;
  s.getrow(0, 6, false);
  EXPECT_EQ(ring_of(s), (std::vector<int>{0}));
  s.getrow(1, 6, true);
  EXPECT_EQ(ring_of(s), (std::vector<int>{1, 0}));
  s.getrow(2, 6, false);
  EXPECT_EQ(ring_of(s), (std::vector<int>{1, 0, 2}));
  s.getrow(3, 2, true);
  EXPECT_EQ(ring_of(s), (std::vector<int>{3, 1, 0, 2}));
  s.getrow(0, 6, true);  // cached and hot: to the front
  EXPECT_EQ(ring_of(s), (std::vector<int>{0, 3, 1, 2}));
  s.getrow(3, 6, false);  // grown, not hot: stays
  EXPECT_EQ(ring_of(s), (std::vector<int>{0, 3, 1, 2}));
  s.getrow(1, 3, false);  // cached, not hot: stays
  EXPECT_EQ(ring_of(s), (std::vector<int>{0, 3, 1, 2}));
  s.getrow(2, 6, true);
  EXPECT_EQ(ring_of(s), (std::vector<int>{2, 0, 3, 1}));
  s.getrow(4, 1, false);
  s.getrow(5, 6, true);
  EXPECT_EQ(ring_of(s), (std::vector<int>{5, 2, 0, 3, 1, 4}));
  s.getrow(4, 6, true);  // grown and hot: to the front
  EXPECT_EQ(ring_of(s), (std::vector<int>{4, 5, 2, 0, 3, 1}));
  EXPECT_TRUE(consistent(s));
}

TEST(CacheClean, DropsLeastRecentFirstAndReportsOnce) {
  Cached c(6);
  KALTRO& s = c.s;
  s.trace_level = 1;
  for (int p : {4, 1, 3, 0, 2})
    s.getrow(p, 6, true);  // ring 2 0 3 1 4, 24 bytes each
  s.maxcachesize = 50;
  const Arow* r4 = s.rows[4];
  const float diag4 = r4->diag;
  long got = 0;
  EXPECT_EQ(clean_output(s, &got), "@");
  EXPECT_EQ(s.marks, 1);
  EXPECT_TRUE(s.cache_warned);
  EXPECT_EQ(got, 48);
  EXPECT_EQ(ring_of(s), (std::vector<int>{2, 0}));
  for (int p : {4, 1, 3}) {
    EXPECT_EQ(s.rows[p]->len, 0);
    EXPECT_EQ(s.rows[p]->data, nullptr);
    EXPECT_EQ(s.rows[p]->prev, nullptr);
  }
  EXPECT_EQ(s.rows[4], r4);  // the object stays, with its key and diag
  EXPECT_EQ(r4->key, 4);
  EXPECT_EQ(r4->diag, diag4);
  EXPECT_TRUE(consistent(s));

  // Over budget again: dropped silently; a new not-hot row goes first, a
  // hot one last.
  s.getrow(5, 6, false);
  EXPECT_EQ(clean_output(s, &got), "");
  EXPECT_EQ(ring_of(s), (std::vector<int>{2, 0}));
  s.getrow(1, 6, true);
  EXPECT_EQ(clean_output(s, &got), "");
  EXPECT_EQ(got, 48);
  EXPECT_EQ(ring_of(s), (std::vector<int>{1, 2}));
  EXPECT_EQ(s.marks, 1);

  // Exactly at the budget is within it; a new set-up may report again.
  s.cache_init();
  s.maxcachesize = 48;
  s.getrow(0, 6, false);
  s.getrow(1, 6, false);
  EXPECT_EQ(clean_output(s, &got), "");
  EXPECT_EQ(got, 48);
  EXPECT_FALSE(s.cache_warned);
  s.getrow(2, 1, true);
  EXPECT_EQ(clean_output(s, &got), "@");
  EXPECT_EQ(ring_of(s), (std::vector<int>{2, 0}));
  EXPECT_EQ(got, 28);
  EXPECT_TRUE(consistent(s));
}

TEST(CacheClean, ReportLineGivesWholeMegabytes) {
  Cached c(1024);
  KALTRO& s = c.s;
  c.k.keep_log = false;
  s.trace_level = 2;
  s.maxcachesize = (2L << 20) + 4095;  // 2 MB and a bit: rounds down
  for (int p = 0; p < 513; p++)        // 513 rows of 4 KB pass the budget
    s.getrow(p, 1024, false);
  long got = 0;
  EXPECT_EQ(clean_output(s, &got), "@ Reached maxcachesize (2 MB)\n");
  EXPECT_EQ(s.marks, 0);
  EXPECT_EQ(got, 512L * 4096);
  EXPECT_EQ(s.rows[512]->len, 0);  // the last one fetched not hot went first
  EXPECT_EQ(s.rows[0]->len, 1024);

  // The "@" is a mark like any other: the 41st on a line comes as the line.
  s.cache_init();
  s.trace_level = 1;
  s.marks = 40;
  s.maxcachesize = 1000;
  s.getrow(3, 251, false);
  EXPECT_EQ(clean_output(s, &got), "@ Reached maxcachesize (0 MB)\n");
  EXPECT_EQ(s.marks, 0);
  EXPECT_EQ(got, 0);

  // Silent at level 0, but the report still counts as made.
  s.cache_init();
  s.trace_level = 0;
  s.maxcachesize = 0;
  s.getrow(7, 3, false);
  EXPECT_EQ(clean_output(s), "");
  EXPECT_TRUE(s.cache_warned);
  EXPECT_EQ(s.cache_bytes, 0);
}

TEST(CacheClean, ZeroAndNegativeBudgetsDropEveryRow) {
  Cached c(5);
  KALTRO& s = c.s;
  s.trace_level = 1;
  s.maxcachesize = 0;
  long got = -1;
  EXPECT_EQ(clean_output(s, &got), "");  // nothing cached: within a budget of 0
  EXPECT_EQ(got, 0);
  for (int p = 0; p < 4; p++)
    s.getrow(p, p + 2, p % 2 == 1);
  s.swap(0, 4);  // cuts every row but the longest to nothing
  EXPECT_EQ(clean_output(s, &got), "@");
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(ring_of(s).empty());
  s.getrow(2, 5, true);
  EXPECT_EQ(clean_output(s, &got), "");
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(ring_of(s).empty());
  EXPECT_TRUE(consistent(s));

  // A negative budget is never met: after the last row the walk stops at the
  // sentinel and returns 0; the report comes even for an empty cache.
  s.cache_init();
  s.maxcachesize = -1;
  EXPECT_EQ(clean_output(s, &got), "@");
  EXPECT_EQ(got, 0);
  s.getrow(1, 5, false);
  s.getrow(3, 5, true);
  EXPECT_EQ(clean_output(s, &got), "");
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(ring_of(s).empty());
  EXPECT_TRUE(consistent(s));
}

TEST(CacheSwap, ExchangesCutsOrLeavesEachRow) {
  Cached c(6);
  KALTRO& s = c.s;
  const int len[6] = {6, 5, 2, 4, 1, 3};
  for (int p = 0; p < 6; p++)
    s.getrow(p, len[p], false);
  const float* untouched2 = s.rows[2]->data;
  const float* untouched4 = s.rows[4]->data;
  Arow* row2 = s.rows[2];
  Arow* row4 = s.rows[4];
  const std::vector<int> order = ring_of(s);

  s.cache_swap(2, 4);
  EXPECT_EQ(s.rows[2], row4);
  EXPECT_EQ(s.rows[4], row2);
  // Longer than 4: columns 2 and 4 exchanged.
  for (int key : {0, 1}) {
    const Arow* r = s.rows[key];
    EXPECT_EQ(r->len, len[key]);
    EXPECT_EQ(r->data[2], static_cast<float>(index_value(key, 4)));
    EXPECT_EQ(r->data[4], static_cast<float>(index_value(key, 2)));
    EXPECT_EQ(r->data[3], static_cast<float>(index_value(key, 3)));
  }
  // Holding column 2 but not 4: cut to 2 entries, the prefix kept.
  for (int key : {3, 5}) {
    EXPECT_EQ(s.rows[key]->len, 2);
    EXPECT_EQ(s.rows[key]->data[1], static_cast<float>(index_value(key, 1)));
  }
  // No more than 2 entries: left alone.
  EXPECT_EQ(row2->len, 2);
  EXPECT_EQ(row2->data, untouched2);
  EXPECT_EQ(row4->len, 1);
  EXPECT_EQ(row4->data, untouched4);
  EXPECT_EQ(s.cache_bytes, 4 * (6 + 5 + 2 + 2 + 1 + 2));
  EXPECT_EQ(ring_of(s), order);

  // The larger index first works the same way.
  s.getrow(3, 3, false);
  s.cache_swap(4, 2);
  EXPECT_EQ(s.rows[3]->len, 2);
  EXPECT_EQ(s.rows[0]->data[2], static_cast<float>(index_value(0, 2)));
  EXPECT_EQ(s.rows[0]->data[4], static_cast<float>(index_value(0, 4)));
  EXPECT_TRUE(consistent(s));

  // Cut to nothing: the row keeps its place in the ring.
  s.cache_swap(0, 5);
  EXPECT_EQ(s.rows[2]->len, 0);
  EXPECT_EQ(s.rows[2]->data, nullptr);
  EXPECT_EQ(ring_of(s), order);
  EXPECT_EQ(s.rows[1]->len, 0);
  EXPECT_EQ(s.cache_bytes, 4 * 6);
  const Arow* r0 = s.rows[5];
  ASSERT_EQ(r0->key, 0);
  EXPECT_EQ(r0->data[0], static_cast<float>(index_value(0, 5)));
  EXPECT_EQ(r0->data[5], static_cast<float>(index_value(0, 0)));

  KALTRO bare(3);  // no cache: nothing to follow
  bare.cache_swap(0, 2);
  EXPECT_EQ(bare.rows[0], nullptr);
  EXPECT_EQ(bare.ring, nullptr);
}

TEST(CacheSwap, RowCutToNothingIsRefilledInPlace) {
  // The least recent row is cut to 0 entries and then refilled not hot:
  // filing it behind the least recent row means behind itself.
  Cached c(4);
  KALTRO& s = c.s;
  s.getrow(0, 4, false);
  s.getrow(1, 2, false);
  EXPECT_EQ(ring_of(s), (std::vector<int>{0, 1}));
  s.swap(0, 3);
  EXPECT_EQ(s.rows[1]->len, 0);
  c.k.calls = 0;
  s.getrow(1, 4, false);
  EXPECT_EQ(c.k.calls, 4);
  std::vector<int> keys;
  ASSERT_TRUE(ring_keys(s, keys));  // a broken ring would make cache_clean spin
  EXPECT_EQ(keys, (std::vector<int>{0, 1}));
  EXPECT_TRUE(consistent(s));
  s.maxcachesize = 16;
  EXPECT_EQ(s.cache_clean(), 16);
  EXPECT_EQ(ring_of(s), (std::vector<int>{0}));

  // A cut row elsewhere in the ring moves to the least recent end.
  s.getrow(2, 2, false);
  s.getrow(1, 2, true);
  EXPECT_EQ(ring_of(s), (std::vector<int>{1, 0, 2}));
  s.swap(0, 3);
  EXPECT_EQ(s.rows[1]->len, 0);
  EXPECT_EQ(ring_of(s), (std::vector<int>{1, 0, 2}));
  s.getrow(1, 4, false);
  ASSERT_TRUE(ring_keys(s, keys));
  EXPECT_EQ(keys, (std::vector<int>{0, 2, 1}));
  s.maxcachesize = 0;
  EXPECT_EQ(s.cache_clean(), 0);
  EXPECT_TRUE(consistent(s));
}

TEST(CacheSwap, RandomWorkKeepsEveryInvariant) {
  // What a solve does to the cache, at random: fetches of every kind,
  // exchanges (which cut rows, often to nothing) and evictions.
  for (unsigned long long seed : {1ULL, 2ULL, 3ULL}) {
    const int n = 9;
    Cached c(n, false);
    KALTRO& s = c.s;
    c.k.keep_log = false;
    Lcg rng(seed);
    for (int p = 0; p < n; p++)
      s.kidx[p] = rng.below(6);
    s.cache_init();
    const long budgets[4] = {0, 40, 120, 1L << 20};
    for (int step = 0; step < 2000; step++) {
      int op = rng.below(10);
      if (op < 5) {
        int i = rng.below(n), upto = rng.below(n + 1);
        const float* d = s.getrow(i, upto, rng.below(2) == 1);
        for (int j = 0; j < upto; j++)
          ASSERT_EQ(d[j], static_cast<float>(index_value(s.kidx[i], s.kidx[j])));
      } else if (op < 8) {
        s.swap(rng.below(n), rng.below(n));
      } else {
        s.maxcachesize = budgets[rng.below(4)];
        std::vector<int> keys;
        ASSERT_TRUE(ring_keys(s, keys)) << "seed " << seed << " step " << step;
        EXPECT_LE(s.cache_clean(), std::max(s.maxcachesize, 0L));
      }
      ASSERT_TRUE(consistent(s)) << "seed " << seed << " step " << step;
    }
  }
}

TEST(CacheFailure, ThrowingKernelLeavesACleanCache) {
  Cached c(7);
  KALTRO& s = c.s;
  s.getrow(2, 3, false);
  s.getrow(5, 7, true);
  const std::vector<int> order = ring_of(s);

  // Mid-way through growing a row: the row keeps its old entries and place.
  c.k.calls = 0;
  c.k.throw_on = 1;
  EXPECT_THROW(s.getrow(2, 7, true), std::runtime_error);
  EXPECT_EQ(s.rows[2]->len, 3);
  EXPECT_EQ(ring_of(s), order);
  EXPECT_TRUE(consistent(s));
  // The missing columns are evaluated again, all of them.
  c.k.calls = 0;
  c.k.throw_on = -1;
  c.k.log.clear();
  s.getrow(2, 7, true);
  EXPECT_EQ(c.k.calls, 4);
  EXPECT_EQ((c.k.asked()[{2, 3}]), 1);
  EXPECT_EQ(ring_of(s), (std::vector<int>{2, 5}));

  // On an empty row: it stays empty and out of the ring.
  c.k.calls = 0;
  c.k.throw_on = 0;
  EXPECT_THROW(s.getrow(0, 7, false), std::runtime_error);
  EXPECT_EQ(s.rows[0]->len, 0);
  EXPECT_EQ(s.rows[0]->prev, nullptr);
  EXPECT_TRUE(consistent(s));

  // During set-up: the previous cache and the rows made so far are freed
  // (ASan reports a leak otherwise) and the object is left without a cache.
  c.k.calls = 0;
  c.k.throw_on = 3;
  EXPECT_THROW(s.cache_init(), std::runtime_error);
  EXPECT_EQ(s.ring, nullptr);
  EXPECT_EQ(s.cache_bytes, 0);
  c.k.throw_on = -1;
  s.cache_init();
  s.getrow(6, 7, true);
  EXPECT_TRUE(consistent(s));
  c.k.calls = 0;
  c.k.throw_on = 6;
  EXPECT_THROW(s.cache_init(), std::runtime_error);
}

// Bytes from the lowest entry of any cached row to the end of the highest.
uintptr_t row_span(const KALTRO& s) {
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  for (int p = 0; p < s.n; p++) {
    const Arow* r = s.rows[p];
    if (r->len == 0)
      continue;
    lo = std::min(lo, reinterpret_cast<uintptr_t>(r->data));
    hi = std::max(hi, reinterpret_cast<uintptr_t>(r->data + r->len));
  }
  return hi > lo ? hi - lo : 0;
}

TEST(CacheBlock, ChurnOfMixedLengthsStaysExactAndCompact) {
  // Rows of every length come and go the way a solve asks for them: pairs
  // of hot rows over a shrinking active set, cold rows at full length,
  // exchanges that cut rows.  The holes this leaves must be closed by moving
  // rows, so the entries never spread over much more than the budget, and
  // every move must carry the entries along intact.
  const int n = 240;
  Cached c(n, false);
  KALTRO& s = c.s;
  c.k.keep_log = false;
  for (int p = 200; p < n; p++)
    s.kidx[p] = p - 200;  // some rows shared by two positions
  s.maxcachesize = 30L * 4 * n;
  s.cache_init();
  Lcg rng(11);
  int active = n;
  long moved = 0;
  std::map<const Arow*, const float*> before;
  for (int step = 0; step < 20000; step++) {
    before.clear();
    for (int p = 0; p < n; p++)
      if (s.rows[p]->len > 0)
        before[s.rows[p]] = s.rows[p]->data;
    // cache_clean drops rows but never moves one it keeps (callers may hold
    // row pointers across it); only cache_compact slides rows together.
    s.cache_clean();
    for (const auto& b : before) {
      if (b.first->len > 0) {
        ASSERT_EQ(b.first->data, b.second) << "cache_clean moved a kept row, step " << step;
      }
    }
    kaltro::detail::cache_compact(s);
    for (const auto& b : before)
      if (b.first->len > 0 && b.first->data != b.second)
        moved++;
    ASSERT_LE(row_span(s), static_cast<uintptr_t>(2 * s.maxcachesize + 4L * 4 * n))
        << "step " << step;

    const int op = rng.below(10);
    if (op < 7) {
      if (rng.below(40) == 0)
        active = n;
      else if (active > 8 && rng.below(8) == 0)
        active -= rng.below(active / 4) + 1;
      const int u = rng.below(active), v = rng.below(active);
      const float* du = s.getrow(u, active, true);
      const float* dv = s.getrow(v, active, true);
      for (int j : {0, active / 2, active - 1}) {
        ASSERT_EQ(du[j], static_cast<float>(index_value(s.kidx[u], s.kidx[j])));
        ASSERT_EQ(dv[j], static_cast<float>(index_value(s.kidx[v], s.kidx[j])));
      }
    } else if (op < 9) {
      const int k = rng.below(n);
      const float* d = s.getrow(k, n, false);
      ASSERT_EQ(d[n - 1], static_cast<float>(index_value(s.kidx[k], s.kidx[n - 1])));
    } else {
      s.swap(rng.below(n), rng.below(n));
    }
    if (step % 500 == 0) {
      ASSERT_TRUE(consistent(s)) << "step " << step;
    }
  }
  EXPECT_TRUE(consistent(s));
  EXPECT_GT(moved, 0);  // the churn did make rows move
}

TEST(CacheBlock, PublicOperationsNeverMoveAKeptRow) {
  // A caller may hold the entries of a row it fetched and go on calling the
  // public operations; the row must stay where it is until it is resized or
  // dropped.  Every row is watched: one whose length did not change and
  // whose key the kernel was not asked for (so it was not dropped and
  // fetched again) must keep its address and its values.
  for (unsigned long long seed : {5ULL, 6ULL, 7ULL}) {
    const int n = 48;
    Cached c(n, false);
    KALTRO& s = c.s;
    for (int p = 40; p < n; p++)
      s.kidx[p] = p - 40;  // shared rows
    Lcg rng(seed);
    for (int p = 0; p < n; p++) {
      s.lo[p] = -1;
      s.hi[p] = 1;
      s.lin[p] = rng.uniform() - 0.5;
    }
    s.maxcachesize = 6L * 4 * n;
    s.cache_init();
    s.unshrink(false);
    long kept = 0, moved = 0;
    std::map<const Arow*, std::pair<const float*, int>> before;
    for (int step = 0; step < 3000; step++) {
      before.clear();
      for (int p = 0; p < n; p++)
        before[s.rows[p]] = {s.rows[p]->data, s.rows[p]->len};
      c.k.log.clear();
      const int op = rng.below(12), a = rng.below(n), b = rng.below(n);
      if (op < 4) {
        s.getrow(a, 1 + rng.below(n), op < 2);
      } else if (op < 5) {
        s.cache_clean();
      } else if (op < 7) {
        s.swap(a, b);
      } else if (op < 9) {
        s.x[a] = 2 * rng.uniform() - 1;
        s.togbar(a);
      } else if (op < 10) {
        s.x[a] = s.x[a] < 0 ? -1 : 1;  // at a bound: a candidate for shrinking
        s.shrink();
      } else if (op < 11) {
        s.x[a] = 2 * rng.uniform() - 1;
        s.unshrink(rng.below(2) == 1);
      } else {
        s.unswap();
      }
      std::set<int> evaluated;
      for (const auto& call : c.k.log)
        evaluated.insert(call.first);
      for (const auto& r : before) {
        if (r.second.second == 0 || r.first->len != r.second.second ||
            evaluated.count(r.first->key))
          continue;
        kept++;
        if (r.first->data != r.second.first)
          moved++;
      }
      ASSERT_EQ(moved, 0) << "seed " << seed << " step " << step << " op " << op;
      ASSERT_TRUE(consistent(s)) << "seed " << seed << " step " << step;
    }
    EXPECT_GT(kept, 10000);
    EXPECT_TRUE(s.cache_warned);  // the budget was reached: rows came and went
  }
}

TEST(CacheBlock, RowsBeyondTheBlockLiveOnTheirOwn) {
  // With no budget the block has room for a few full rows only.  Fetching
  // more without cleaning puts the rest in blocks of their own; growing,
  // cutting and dropping must treat each kind right (a block freed the wrong
  // way aborts, and ASan reports any that is lost).
  const int n = 16;
  Cached c(n, false);
  KALTRO& s = c.s;
  s.maxcachesize = 0;
  s.cache_init();
  for (int p = 0; p < 10; p++)
    s.getrow(p, p < 5 ? n : 5, p % 2 == 0);
  EXPECT_TRUE(consistent(s));
  for (int p = 0; p < 10; p++)
    s.getrow(p, n, false);  // every row grows, wherever it is
  EXPECT_EQ(s.cache_bytes, 10L * 4 * n);
  EXPECT_TRUE(consistent(s));
  s.swap(2, 9);  // rows are full: entries exchanged
  s.swap(12, 3);
  EXPECT_TRUE(consistent(s));
  for (int p = 10; p < n; p++)
    s.getrow(p, 7, true);
  s.swap(4, 14);  // rows of 7 are cut to 4 entries
  EXPECT_TRUE(consistent(s));
  EXPECT_EQ(s.cache_clean(), 0);
  EXPECT_TRUE(ring_of(s).empty());
  EXPECT_TRUE(consistent(s));
  for (int p = 0; p < n; p++)
    s.getrow(p, n - p, true);
  EXPECT_TRUE(consistent(s));
  s.cache_fini();  // frees the rows of both kinds
  EXPECT_EQ(s.ring, nullptr);
}

TEST(CacheBlock, KeptBlocksServeTheNextCachesAndGoWithTheLastKeeper) {
  // While a keeper lives, a closed cache's block waits for the next cache
  // that fits in it, whose rows must come out as in a fresh block (its pages
  // were mapped before); a larger cache gets a block of its own and the one
  // kept goes.  The last keeper frees what is kept, and without one nothing
  // is kept (ASan reports a block lost or freed twice).
  using kaltro::detail::blocks_kept;
  auto fill = [](KALTRO& s) {
    for (int p = 0; p < s.n; p++)
      s.getrow(p, s.n - p % 3, p % 2 == 0);
  };
  {
    kaltro::detail::KeepBlocks keep;
    const char* block;
    {
      Cached a(64);
      fill(a.s);
      block = a.s.work->store->mem;
    }
    EXPECT_EQ(blocks_kept(), 1);
    {
      kaltro::detail::KeepBlocks nested;
      Cached b(60);
      EXPECT_EQ(b.s.work->store->mem, block);
      EXPECT_EQ(blocks_kept(), 0);
      fill(b.s);
      EXPECT_TRUE(consistent(b.s));
    }
    EXPECT_EQ(blocks_kept(), 1);
    Cached big(256);
    EXPECT_NE(big.s.work->store->mem, block);
    EXPECT_EQ(blocks_kept(), 0);
    fill(big.s);
    EXPECT_TRUE(consistent(big.s));
  }
  EXPECT_EQ(blocks_kept(), 0);
  {
    Cached alone(64);
    fill(alone.s);
  }
  EXPECT_EQ(blocks_kept(), 0);
}

TEST(CacheRows, NegativeLengthHoldsNothing) {
  // A negative length acts as 0 wherever the entries live: in the row
  // block, in memory of their own beside it, or with no block at all.
  const int n = 16;
  Cached c(n, false);
  KALTRO& s = c.s;
  s.maxcachesize = 0;  // the block holds a few full rows; the rest go beside it
  s.cache_init();
  for (int p = 0; p < 10; p++)
    s.getrow(p, n, true);
  const kaltro::detail::RowStore* st = s.work->store.get();
  ASSERT_NE(st, nullptr);
  int in_block = 0;
  for (int p = 0; p < 10; p++) {
    Arow* r = s.rows[p];
    in_block += st->owns(r->data);
    EXPECT_EQ(r->resize(-1 - p), -4 * n) << p;
    EXPECT_EQ(r->len, 0);
    EXPECT_EQ(r->data, nullptr);
    EXPECT_EQ(r->resize(INT_MIN), 0);
    s.cache_bytes -= 4 * n;
  }
  EXPECT_GT(in_block, 0);
  EXPECT_LT(in_block, 10);
  for (int p = 0; p < 10; p++)
    s.getrow(p, n - p, p % 2 == 0);  // fetched afresh, wherever they land
  EXPECT_TRUE(consistent(s));

  Arow lone{nullptr, nullptr, 3, 0, 1.0f, nullptr, nullptr};
  EXPECT_EQ(lone.resize(5), 20);
  lone.data[4] = 2.0f;
  EXPECT_EQ(lone.resize(-2), -20);
  EXPECT_EQ(lone.len, 0);
  EXPECT_EQ(lone.data, nullptr);
}

TEST(CacheRows, NoVariables) {
  Cached c(0);
  EXPECT_NE(c.s.ring, nullptr);
  EXPECT_TRUE(ring_of(c.s).empty());
  c.s.maxcachesize = 0;
  EXPECT_EQ(c.s.cache_clean(), 0);
  EXPECT_FALSE(c.s.cache_warned);
  c.s.cache_fini();
  EXPECT_EQ(c.s.ring, nullptr);
  EXPECT_EQ(c.k.calls, 0);
}

}  // namespace
