// Threads for work that splits into independent pieces: a few standard
// threads kept for the whole process, shared by every user in it (the
// solver's gradient rebuild, the trainer's kernel rows, its class pairs and
// its predictions).  Not installed: the trainer builds against it, nothing
// else.
//
// Why a pool of our own, in the solver library: the rebuild of the gradient
// lives in the solver, which depends on the standard library alone, and the
// trainer's kernel rows must be able to share the same threads from inside a
// solve (a class pair that runs on a pool thread still gets idle threads to
// compute its rows).  Starting threads per call would cost more than the
// pieces of a short row; these threads start once, on first use, and wait
// spinning for a moment before they sleep, so that the pieces of the next
// row find them awake.
//
// The thread that opens a job takes pieces too, and waits only for pieces
// another thread has already taken.  So a job always completes, whether or
// not any pool thread is free, and jobs opened inside pieces of other jobs
// cannot deadlock.  Pieces write disjoint results: which thread computes a
// piece never changes a bit of it.
#ifndef KALTRO_POOL_H
#define KALTRO_POOL_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kaltro {
namespace detail {

class Pool;

/// Work cut into pieces 0..count-1, taken in increasing order by whoever
/// asks next: the thread that opened it (take) and up to `helpers` pool
/// threads at once.
class Job {
 public:
  Job() = default;
  virtual ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  /// Runs piece i.  Must not throw: a piece that can fail records it.
  virtual void piece(int i) noexcept = 0;

  /// Makes pieces 0..count-1 available to `helpers` pool threads (started as
  /// needed) besides the caller.  The job must not be open already.
  void open(int count, int helpers);
  /// Takes the next piece and runs it on this thread; false when none is left.
  bool take() noexcept;
  /// No further piece is handed out; returns once no pool thread is inside
  /// the job.  Pieces already taken by the caller are its own business.
  void close() noexcept;
  bool is_open() const { return listed_; }

 private:
  friend class Pool;
  std::atomic<int> next_{0};
  std::atomic<int> count_{0};
  int helpers_ = 0;  // pool threads allowed inside at once
  // Pool threads inside: changed under the pool's lock, read without it by
  // close() while it waits for them to leave.
  std::atomic<int> inside_{0};
  bool listed_ = false;
};

/// Runs f(i) for i in 0..count-1 on up to `threads` threads (the caller among
/// them) and returns when every piece is done.  f must not throw.
template <class F>
void each(int count, int threads, F&& f) {
  struct Each : Job {
    F& fn;
    explicit Each(F& g) : fn(g) {}
    void piece(int i) noexcept override { fn(i); }
  } job(f);
  if (threads > 1 && count > 1)
    job.open(count, (threads - 1 < count - 1 ? threads - 1 : count - 1));
  else
    job.open(count, 0);
  while (job.take()) {
  }
  job.close();
}

/// The threads the machine offers (at least 1).
int hardware_threads();

/// Spin briefly (a pause instruction where there is one).
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace detail
}  // namespace kaltro

#endif
