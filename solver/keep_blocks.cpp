// The blocks kept between solves: a few slots under one lock.  Nothing here
// allocates, so giving a block back never fails: with every slot taken it
// is freed.
#include "keep_blocks.h"

#include <cstdlib>
#include <mutex>

#include "internal.h"

namespace kaltro {
namespace detail {

namespace {

struct Kept {
  char* mem;
  size_t size, mapped;
};

const int kSlots = 16;

struct Blocks {
  std::mutex lock;
  int keepers = 0;
  int count = 0;
  Kept slot[kSlots];

  void drop(int i) {
    std::free(slot[i].mem);
    slot[i] = slot[--count];
  }
};

Blocks& blocks() {
  static Blocks b;
  return b;
}

}  // namespace

KeepBlocks::KeepBlocks() {
  Blocks& b = blocks();
  std::lock_guard<std::mutex> hold(b.lock);
  b.keepers++;
}

KeepBlocks::~KeepBlocks() {
  Blocks& b = blocks();
  std::lock_guard<std::mutex> hold(b.lock);
  if (--b.keepers == 0)
    while (b.count > 0)
      b.drop(b.count - 1);
}

int blocks_kept() {
  Blocks& b = blocks();
  std::lock_guard<std::mutex> hold(b.lock);
  return b.count;
}

bool take_block(size_t bytes, char*& mem, size_t& size, size_t& mapped, bool& keeping) {
  Blocks& b = blocks();
  std::lock_guard<std::mutex> hold(b.lock);
  keeping = b.keepers > 0;
  int best = -1, under = -1;
  for (int i = 0; i < b.count; i++)
    if (b.slot[i].size >= bytes) {
      if (best < 0 || b.slot[i].size < b.slot[best].size)
        best = i;
    } else if (under < 0 || b.slot[i].size > b.slot[under].size) {
      under = i;
    }
  if (best < 0) {
    // A new block is made instead: the largest that is too small goes, so
    // that no more blocks are held than caches have been open at once.
    if (under >= 0)
      b.drop(under);
    return false;
  }
  mem = b.slot[best].mem;
  size = b.slot[best].size;
  mapped = b.slot[best].mapped;
  b.slot[best] = b.slot[--b.count];
  return true;
}

void give_block(char* mem, size_t size, size_t mapped) noexcept {
  if (!mem)
    return;
  Blocks& b = blocks();
  {
    std::lock_guard<std::mutex> hold(b.lock);
    if (b.keepers > 0 && b.count < kSlots) {
      b.slot[b.count++] = Kept{mem, size, mapped};
      return;
    }
  }
  std::free(mem);
}

}  // namespace detail
}  // namespace kaltro
