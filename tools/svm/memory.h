// Memory layout hints for the training process.
#ifndef KSVM_MEMORY_H
#define KSVM_MEMORY_H

namespace ksvm {

/// Lay out the heap for a kernel cache of `budget` bytes before training:
/// keep the cache's rows on the heap, let freed rows stay mapped for reuse,
/// and mark that memory for transparent huge pages.  A hint only: where the
/// system offers none of this, nothing changes.  Returns the bytes marked.
long prepare_heap(long budget);

}  // namespace ksvm

#endif
