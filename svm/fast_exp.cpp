#include "fast_exp.h"

#include "kernel.h"

namespace ksvm {

ExpTable::ExpTable() {
  for (int j = 0; j < kExpTable; j++)
    v[j] = std::exp2(j / static_cast<double>(kExpTable));
}

const ExpTable exp_table;

double exp_fast(double x) { return exp_inline(x); }

}  // namespace ksvm
