#include "text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

OutFile::OutFile(const std::string& path, Mode mode) : path_(path) {
  static std::atomic<unsigned> counter{0};
  int fd = -1;
  if (mode == kTruncate) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } else {
    do {
      tmp_ = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
      fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EEXIST);
  }
  if (fd < 0 || !(f_ = fdopen(fd, "w"))) {
    int err = errno;
    if (fd >= 0) {
      ::close(fd);
      drop_temporary();
    }
    throw Failure("cannot write '" + path + "': " + std::strerror(err));
  }
  std::setvbuf(f_, nullptr, _IOFBF, 1 << 16);
}

OutFile::~OutFile() {
  if (f_) {
    std::fclose(f_);
    drop_temporary();
  }
}

void OutFile::drop_temporary() {
  if (!tmp_.empty())
    ::unlink(tmp_.c_str());
}

void OutFile::close() {
  bool failed = std::ferror(f_) != 0;
  int err = errno;
  if (std::fclose(f_) != 0 && !failed) {
    failed = true;
    err = errno;
  }
  f_ = nullptr;
  if (!failed && !tmp_.empty() && std::rename(tmp_.c_str(), path_.c_str()) != 0) {
    failed = true;
    err = errno;
  }
  if (failed) {
    drop_temporary();
    throw Failure("cannot write '" + path_ + "': " + std::strerror(err));
  }
}

}  // namespace ksvm
