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
class OutFile {
 public:
  explicit OutFile(const std::string& path);
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  std::FILE* get() { return f_; }
  /// Flush and close; throws Failure when any write failed.
  void close();

 private:
  std::string path_;
  std::FILE* f_;
};

}  // namespace ksvm

#endif
