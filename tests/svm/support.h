// Helpers for the kaltro-svm tests: scratch files, bit comparisons and
// messages of failures.
#ifndef KSVM_TEST_SUPPORT_H
#define KSVM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "text.h"

namespace ksvm_test {

// A file under the test's scratch directory, removed afterwards.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name, const std::string& content = std::string())
      : path_(testing::TempDir() + "ksvm_" + name) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    EXPECT_NE(f, nullptr) << path_;
    if (f) {
      std::fwrite(content.data(), 1, content.size(), f);
      std::fclose(f);
    }
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::string text() const { return ksvm::read_file(path_); }

 private:
  std::string path_;
};

// Whether u and v are the same bits.
inline bool same_bits(double u, double v) { return std::memcmp(&u, &v, sizeof u) == 0; }

// A kernel value as the solver's callback answers it: in single precision,
// all the solver keeps of it.
inline double kept(double v) { return static_cast<float>(v); }

// The message of the ksvm::Failure thrown by f, or "(no failure)".
inline std::string failure_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const ksvm::Failure& e) {
    return e.what();
  }
  return "(no failure)";
}

}  // namespace ksvm_test

#endif
