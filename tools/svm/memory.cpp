// The solver fills its row cache entry by entry, up to the budget, and every
// first write to a 4 KB page costs a page fault; on a large cache these faults
// take a quarter of the training time.  With the heap marked for transparent
// huge pages the same filling takes one fault per 2 MB.
#include "memory.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#if defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace ksvm {

long prepare_heap(long budget) {
#if defined(__linux__) && defined(MADV_HUGEPAGE) && defined(M_MMAP_THRESHOLD)
  if (sizeof(void*) < 8 || budget <= 0)
    return 0;  // a 32-bit address space has no room to spare
  const uintptr_t huge = 2u << 20;
  const size_t chunk = 16u << 20;  // below the largest allowed mmap threshold
  // Never lay out more than half of the machine's memory.
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  size_t cap = pages > 0 && page > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page) / 2
                                     : static_cast<size_t>(budget);
  size_t want = static_cast<size_t>(budget) + (32u << 20);
  if (want > cap)
    want = cap;
  // Rows of any length stay on the heap, and freed ones are not handed back.
  // (A one-shot training process has no use for giving memory back early.)
  if (!mallopt(M_MMAP_THRESHOLD, static_cast<int>(chunk * 2)) ||
      !mallopt(M_TRIM_THRESHOLD, 0x7fffffff))
    return 0;
  // Grow the heap to the size the cache will need, mark the inside of each
  // piece, and give the pieces back to the allocator; they stay mapped.
  std::vector<void*> pieces;
  for (size_t got = 0; got < want; got += chunk) {
    void* p = std::malloc(chunk);
    if (!p)
      break;
    pieces.push_back(p);
  }
  // Pieces that follow each other (the usual case) are marked as one range,
  // so that no stretch between them is left out; otherwise each on its own.
  auto mark = [huge](uintptr_t from, uintptr_t to) -> long {
    uintptr_t a = (from + huge - 1) & ~(huge - 1);
    uintptr_t b = to & ~(huge - 1);
    return b > a && madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE) == 0
               ? static_cast<long>(b - a)
               : 0;
  };
  long marked = 0;
  size_t first = 0;
  for (size_t i = 1; i <= pieces.size(); i++) {
    const uintptr_t end_prev = reinterpret_cast<uintptr_t>(pieces[i - 1]) + chunk;
    const bool joined = i < pieces.size() && reinterpret_cast<uintptr_t>(pieces[i]) > end_prev &&
                        reinterpret_cast<uintptr_t>(pieces[i]) - end_prev <= 64;
    if (!joined) {
      marked += mark(reinterpret_cast<uintptr_t>(pieces[first]), end_prev);
      first = i;
    }
  }
  for (void* p : pieces)
    std::free(p);
  return marked;
#else
  (void)budget;
  return 0;
#endif
}

}  // namespace ksvm
