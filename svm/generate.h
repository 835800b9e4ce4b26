// Synthetic data of any size, the same bytes on every machine: only
// integer arithmetic, exactly representable doubles and correctly rounded
// operations (division, square root) go into it.
#ifndef KSVM_GENERATE_H
#define KSVM_GENERATE_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace ksvm {

struct GenerateOptions {
  std::string kind = "clouds";  ///< "clouds": two overlapping Gaussian clouds;
                                ///< "rings": a ball inside a shell (nonlinear);
                                ///< "blobs": `classes` Gaussian clouds, labels 1..classes;
                                ///< "regression": a smooth nonlinear target plus noise
                                ///< "text": word counts of short documents
  int n = 0;
  int d = 10;  ///< features (for "text": the vocabulary)
  std::uint64_t seed = 1;
  int classes = 10;    ///< blobs: number of classes
  double noise = 0.1;  ///< probability that a label is flipped (blobs: to another class at
                       ///< random); regression: standard deviation of the target's noise
  int nnz = 50;        ///< "text": mean number of distinct words per line
};

/// Write opt.n examples in the sparse text format to `out`.
void generate(const GenerateOptions& opt, std::FILE* out);

}  // namespace ksvm

#endif
