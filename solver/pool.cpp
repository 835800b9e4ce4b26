// The pool's threads: started on first use, one lock for the list of open
// jobs, a short spin before each sleep.
#include "pool.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>

namespace kaltro {
namespace detail {

namespace {

// How long a thread that found nothing to do keeps looking before it
// sleeps.  The rows of a gradient rebuild follow each other within tens of
// microseconds, those of a solve's steps within a hundred or so; waking a
// sleeping thread takes tens of microseconds, during which the caller does
// the pieces alone (at 50 the two-thread SVR run took 7-9% longer).
const std::chrono::microseconds kSpin(200);

// More threads than this are never started, whatever is asked for.
const int kMaxThreads = 256;

// The next piece of a closed or exhausted job: beyond any count.
const int kPast = INT_MAX / 2;

}  // namespace

class Pool {
 public:
  static Pool& shared() {
    static Pool pool;
    return pool;
  }

  void open(Job& j, int count, int helpers) {
    j.next_.store(0, std::memory_order_relaxed);
    j.count_.store(count, std::memory_order_release);
    j.helpers_ = helpers;
    j.inside_.store(0, std::memory_order_relaxed);
    if (helpers <= 0 || count <= 0)
      return;
    std::unique_lock<std::mutex> lock(mutex_);
    grow(helpers);
    if (threads_.empty())
      return;  // none could be started: the caller does every piece
    open_.push_back(&j);
    j.listed_ = true;
    posted_.fetch_add(1, std::memory_order_release);
    lock.unlock();
    wake_.notify_all();
  }

  void close(Job& j) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    open_.erase(std::find(open_.begin(), open_.end(), &j));
    j.listed_ = false;
    if (j.inside_.load(std::memory_order_acquire) == 0)
      return;
    // A thread inside is finishing its last piece or about to leave: wait
    // for it spinning first.  Sleeping on the condition at once cost the
    // caller a sleep and a wake-up (tens of microseconds here) at the end of
    // many rows computed in pieces, about 8 000 times in a two-thread solve
    // of 20 000 examples.
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (int spins = 1; j.inside_.load(std::memory_order_acquire) != 0; spins++) {
      relax();
      if (spins % 64 == 0 && std::chrono::steady_clock::now() > until)
        break;
    }
    if (j.inside_.load(std::memory_order_acquire) == 0)
      return;  // the thread that left touches the job no more
    lock.lock();
    left_.wait(lock, [&] { return j.inside_.load(std::memory_order_relaxed) == 0; });
  }

 private:
  Pool() = default;
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      posted_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
      t.join();
  }

  // Under the lock.  A thread that cannot be started leaves the pool smaller.
  void grow(int helpers) {
    const int want = std::min(helpers, kMaxThreads);
    try {
      while (static_cast<int>(threads_.size()) < want)
        threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
  }

  // Under the lock: an open job with pieces left and room for one more thread.
  Job* find() {
    for (Job* j : open_)
      if (j->inside_.load(std::memory_order_relaxed) < j->helpers_ &&
          j->next_.load(std::memory_order_relaxed) < j->count_.load(std::memory_order_relaxed))
        return j;
    return nullptr;
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (quit_)
        return;
      Job* j = find();
      if (!j) {
        const unsigned seen = posted_.load(std::memory_order_acquire);
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + kSpin;
        for (int spins = 1; posted_.load(std::memory_order_acquire) == seen; spins++) {
          relax();
          if (spins % 64 == 0 && std::chrono::steady_clock::now() > until)
            break;
        }
        lock.lock();
        wake_.wait(lock, [&] { return posted_.load(std::memory_order_relaxed) != seen; });
        continue;
      }
      j->inside_.fetch_add(1, std::memory_order_relaxed);
      lock.unlock();
      while (j->take()) {
      }
      lock.lock();
      if (j->inside_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        left_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, left_;
  std::vector<Job*> open_;
  std::vector<std::thread> threads_;
  std::atomic<unsigned> posted_{0};  // raised by every open and by the end of the pool
  bool quit_ = false;
};

Job::~Job() { close(); }

void Job::open(int count, int helpers) { Pool::shared().open(*this, count, helpers); }

// A piece claimed is always run: the count stays as it was opened, and
// closing moves the next piece out of reach instead, so that a thread that
// has just claimed piece i still runs it (and close waits for it) rather
// than finding the count gone and leaving i undone.
bool Job::take() noexcept {
  const int i = next_.fetch_add(1, std::memory_order_acq_rel);
  if (i >= count_.load(std::memory_order_acquire)) {
    next_.store(kPast, std::memory_order_relaxed);  // no overflow however often asked
    return false;
  }
  piece(i);
  return true;
}

void Job::close() noexcept {
  next_.store(kPast, std::memory_order_release);
  if (listed_)
    Pool::shared().close(*this);
}

int hardware_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n > static_cast<unsigned>(kMaxThreads) ? kMaxThreads : static_cast<int>(n);
}

}  // namespace detail
}  // namespace kaltro
