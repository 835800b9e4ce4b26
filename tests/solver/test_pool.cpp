// The pool's threads and the gradient rebuild in pieces: every piece runs
// exactly once whatever the number of threads (also when pieces open jobs of
// their own), and the rebuild gives the bits of one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "kaltro.h"
#include "pool.h"

namespace {

TEST(Pool, EveryPieceOnceAlsoWhenPiecesOpenJobs) {
  for (int threads : {1, 2, 3, 8})
    for (int count : {0, 1, 2, 7, 300}) {
      // Each outer piece opens a job of its own, as a class pair solved on a
      // pool thread does for its kernel rows; none may wait for ever.
      const int inner = count % 5 + 3;
      std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[count * inner + 1]);
      for (int i = 0; i < count * inner + 1; i++)
        runs[i] = 0;
      kaltro::detail::each(count, threads, [&](int i) {
        kaltro::detail::each(inner, threads, [&](int j) { runs[i * inner + j]++; });
      });
      for (int i = 0; i < count * inner; i++)
        ASSERT_EQ(runs[i].load(), 1) << "threads " << threads << " count " << count << " at " << i;
      EXPECT_EQ(runs[count * inner].load(), 0);
    }
}

// close() returns only once no pool thread is inside the job, whether the
// piece still running ends within the closer's spin or long after it.
TEST(Pool, CloseWaitsForThePieceStillRunning) {
  struct Slow : kaltro::detail::Job {
    std::chrono::microseconds busy{0};
    std::atomic<int> started{0}, finished{0};
    void piece(int) noexcept override {
      started++;
      const auto until = std::chrono::steady_clock::now() + busy;
      while (std::chrono::steady_clock::now() < until) {
      }
      finished++;  // after the wait: a job freed too early is written here
    }
  };
  for (int us : {0, 50, 3000})
    for (int round = 0; round < 20; round++) {
      std::unique_ptr<Slow> job(new Slow);
      job->busy = std::chrono::microseconds(us);
      job->open(1000, 1);
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (job->started.load() == 0 && std::chrono::steady_clock::now() < until) {
      }
      ASSERT_GT(job->started.load(), 0) << "no pool thread came";
      job->close();
      EXPECT_EQ(job->finished.load(), job->started.load()) << us << " us, round " << round;
      job.reset();
    }
}

// K(a, b) cheap enough for rows of 70 000 entries.
double cheap(int a, int b, void*) { return 1.0 / (1.0 + (a % 97) + (b % 89)) + (a == b); }

TEST(Pool, GradientRebuildInPiecesGivesTheBitsOfOneThread) {
  // Long enough for several pieces of the rebuild and an odd tail; a few
  // variables away from 0 (rows for unshrink(false)), then a few moved from
  // their reference (rows for unshrink(true) over the shrunk positions, and
  // togbar over all of them).
  const int n = 70001;
  std::vector<std::vector<double>> g, gref;
  for (int threads : {1, 2, 3}) {
    KALTRO s(n);
    s.kernel = cheap;
    s.threads = threads;
    for (int i = 0; i < n; i++) {
      s.lin[i] = (i % 3) - 1.0;
      s.lo[i] = -1;
      s.hi[i] = 1;
    }
    for (int k : {0, 5, 40000, n - 1})
      s.x[k] = 0.25 * (k % 7) - 0.5;
    s.cache_init();
    s.l = 0;
    s.unshrink(false);
    s.x[5] += 0.125;
    s.x[123] = 0.5;
    s.togbar(5);
    s.x[69999] = -0.75;
    s.l = 3;  // positions 3.. rebuilt from the reference pair
    s.unshrink(true);
    g.emplace_back(s.g, s.g + n);
    gref.emplace_back(s.gref, s.gref + n);
    s.cache_fini();
  }
  for (size_t t = 1; t < g.size(); t++) {
    ASSERT_EQ(std::memcmp(g[t].data(), g[0].data(), sizeof(double) * n), 0) << "threads " << t + 1;
    ASSERT_EQ(std::memcmp(gref[t].data(), gref[0].data(), sizeof(double) * n), 0)
        << "threads " << t + 1;
  }
}

}  // namespace
