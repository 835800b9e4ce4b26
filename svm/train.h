// What training keeps private: the byte budget of a solve's kernel cache.
#ifndef KSVM_TRAIN_H
#define KSVM_TRAIN_H

#include "kaltro_svm.h"

namespace ksvm {

/// Byte budget for a cache of `mb` megabytes, clamped to LONG_MAX.
long cache_budget(double mb);

/// The threads a Params::threads value stands for: itself, or for 0 (or
/// less) every thread the machine offers.
int thread_count(int threads);

}  // namespace ksvm

#endif
