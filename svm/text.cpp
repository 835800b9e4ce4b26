#include "text.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ksvm {

std::string read_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f)
    throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  // One read into a buffer of the file's size when it has one; pipes and
  // growing files fall back to appending.
  std::string text;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<unsigned long long>(st.st_size) < text.max_size()) {
    text.resize(static_cast<size_t>(st.st_size));
    text.resize(std::fread(&text[0], 1, text.size(), f));
  }
  char chunk[1 << 16];
  size_t got;
  while (!std::ferror(f) && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    text.append(chunk, got);
  bool failed = std::ferror(f) != 0;
  int err = errno;
  std::fclose(f);
  if (failed)
    throw Failure("cannot read '" + path + "': " + std::strerror(err));
  return text;
}

std::string format_number(double v) {
  char buf[40];
  for (int digits = 15; digits <= 17; digits++) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (digits == 17 || std::strtod(buf, nullptr) == v)
      break;
  }
  return buf;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

OutFile::OutFile(const std::string& path) : path_(path), f_(std::fopen(path.c_str(), "w")) {
  if (!f_)
    throw Failure("cannot write '" + path + "': " + std::strerror(errno));
  std::setvbuf(f_, nullptr, _IOFBF, 1 << 16);
}

OutFile::~OutFile() {
  if (f_)
    std::fclose(f_);
}

void OutFile::close() {
  bool failed = std::ferror(f_) != 0;
  int err = errno;
  if (std::fclose(f_) != 0 && !failed) {
    failed = true;
    err = errno;
  }
  f_ = nullptr;
  if (failed)
    throw Failure("cannot write '" + path_ + "': " + std::strerror(err));
}

}  // namespace ksvm
