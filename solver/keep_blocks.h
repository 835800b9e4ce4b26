// Row stores' blocks kept from one solve to the next.  A cache's entries
// live in one block, allocated when the cache is set up and freed when it
// is cleaned up.  A block of more than a few tens of megabytes comes fresh
// from the system every time, so each solve of a run of many (class pairs,
// folds, grid points) pays a page fault and the zeroing of a page for every
// page its rows touch; on a virtual machine that was over a third of the
// time of a ten-class training.  While a KeepBlocks lives, a block whose
// cache closes waits, its pages still mapped, for the next cache that fits
// in it; when the last one ends the blocks are freed.  Not installed: the
// trainer builds against it, nothing else.
#ifndef KALTRO_KEEP_BLOCKS_H
#define KALTRO_KEEP_BLOCKS_H

namespace kaltro {
namespace detail {

/// Keeps closed caches' blocks for the next caches while it lives (on any
/// thread; scopes may nest and overlap).
class KeepBlocks {
 public:
  KeepBlocks();
  /// The last one to end frees the blocks kept.
  ~KeepBlocks();
  KeepBlocks(const KeepBlocks&) = delete;
  KeepBlocks& operator=(const KeepBlocks&) = delete;
};

/// Blocks waiting for a cache now (read by tests).
int blocks_kept();

}  // namespace detail
}  // namespace kaltro

#endif
