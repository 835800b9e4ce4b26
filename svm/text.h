// Plain-text helpers shared by the readers and writers: whole-file input,
// output that reports write failures and number formatting.
#ifndef KSVM_TEXT_H
#define KSVM_TEXT_H

#include <cstdio>
#include <stdexcept>
#include <string>

#include "kaltro_svm.h"

namespace ksvm {

/// The whole content of `path`; throws Failure when it cannot be read.
std::string read_file(const std::string& path);

/// The shortest "%.Ng" form (N = 15..17) that reads back as the same double.
std::string format_number(double v);

/// `path` without its directory part.
std::string base_name(const std::string& path);

// An output file that turns every write error into a Failure naming the file.
// In replace mode it is written under a temporary name beside its target and
// renamed into place by close(), so a reader never sees half a file; the
// temporary is dropped when anything fails or the writer gives up.
class OutFile {
 public:
  enum Mode { kTruncate, kReplace };
  explicit OutFile(const std::string& path, Mode mode = kTruncate);
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  std::FILE* get() { return f_; }
  /// Flush, close (and rename into place); throws Failure when any step failed.
  void close();

 private:
  void drop_temporary();

  std::string path_, tmp_;  // tmp_ empty unless replacing
  std::FILE* f_ = nullptr;
};

}  // namespace ksvm

#endif
