// Examples in the sparse text format "head index:value index:value ...",
// held densely: one row-major block of n x d doubles plus squared norms.
#ifndef KSVM_DATASET_H
#define KSVM_DATASET_H

#include <cstddef>
#include <string>
#include <vector>

namespace ksvm {

struct Dataset {
  int n = 0;                   ///< rows
  int d = 0;                   ///< columns: the largest feature index met (or more)
  std::vector<double> x;       ///< n x d, row-major, absent features are 0
  std::vector<double> norm2;   ///< x_i . x_i
  std::vector<double> head;    ///< the first number of each line (label or coefficient)
  std::vector<double> labels;  ///< distinct heads in order of first appearance

  const double* row(int i) const { return x.data() + static_cast<size_t>(i) * d; }
};

struct ParseLimits {
  int max_labels = 0;               ///< more distinct heads than this is an error (0: no limit)
  int min_d = 0;                    ///< at least this many columns
  const char* head_name = "label";  ///< what the first number is called in messages
};

/// Parse [begin, end) of `text`; `end` must be followed by a NUL or be the
/// end of a std::string.  Blank lines are skipped; line numbers in messages
/// start at first_line.  Throws Failure naming `name`, the line and the fault.
Dataset parse_sparse(const char* begin, const char* end, const std::string& name, int first_line,
                     const ParseLimits& limits);

/// Read a data file; an empty file or one without examples is an error.
Dataset read_dataset(const std::string& path, const ParseLimits& limits);

/// Give `data` at least d columns (new columns are 0); `name` is for messages.
void widen(Dataset& data, int d, const std::string& name);

}  // namespace ksvm

#endif
