// Reading examples in the sparse text format "head index:value ...", and the
// data-set operations behind the public ones in kaltro_svm.h.
#ifndef KSVM_DATASET_H
#define KSVM_DATASET_H

#include <string>

#include "kaltro_svm.h"

namespace ksvm {

/// Parse [begin, end) of `text`; `end` must be followed by a NUL or be the
/// end of a std::string.  Blank lines are skipped; line numbers in messages
/// start at first_line.  Throws Failure naming `name`, the line and the fault.
Dataset parse_text(const char* begin, const char* end, const std::string& name, int first_line,
                   const ReadOptions& opt);

/// Give `data` at least d features (new ones are 0); `name` is for messages.
/// Sparse rows stay as they are.
void widen(Dataset& data, int d, const std::string& name);

/// The rows of `data` in the holding asked for, whatever the memory it takes
/// (to compare the two holdings).
Dataset with_holding(const Dataset& data, bool sparse);

}  // namespace ksvm

#endif
