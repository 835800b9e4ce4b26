// Fuzz target: the model reader (ksvm::read_model).
//
// Input: the bytes of a model file.  Any bytes give a model or a
// ksvm::Failure that names the file.  A model that comes back is whole, reads back the
// same after ksvm::write_model, and gives a decision value.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dataset_checks.h"
#include "fuzz_input.h"
#include "model.h"

namespace {

// The reader takes a path: the input goes through a file of this process,
// in memory where /dev/shm exists, removed at exit.
class Scratch {
 public:
  explicit Scratch(const char* tag) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    path_ = std::string(dir ? dir : "/tmp") + "/kaltro-fuzz-" + tag + "-XXXXXX";
    fd_ = mkstemp(&path_[0]);
    if (fd_ < 0) {
      std::perror(path_.c_str());
      std::abort();
    }
  }
  ~Scratch() {
    close(fd_);
    unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void write(const uint8_t* data, size_t size) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    for (size_t done = 0; done < size;) {
      const ssize_t w = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      FUZZ_CHECK(w > 0);
      done += static_cast<size_t>(w);
    }
  }

 private:
  std::string path_;
  int fd_;
};

Scratch& input_file() {
  static Scratch s("model");
  return s;
}
Scratch& copy_file() {
  static Scratch s("copy");
  return s;
}

void check_model(const ksvm::Model& m) {
  const ksvm::KernelParams& k = m.kernel;
  FUZZ_CHECK(k.type == ksvm::kLinear || k.type == ksvm::kPolynomial || k.type == ksvm::kRbf);
  FUZZ_CHECK(k.degree >= 0 && std::isfinite(k.gamma) && std::isfinite(k.coef0));
  FUZZ_CHECK(std::isfinite(m.rho) && std::isfinite(m.label[0]) && std::isfinite(m.label[1]));
  FUZZ_CHECK(m.nr_sv[0] >= 0 && m.nr_sv[1] >= 0);
  FUZZ_CHECK(static_cast<long long>(m.nr_sv[0]) + m.nr_sv[1] == m.sv.n);
  fuzz::check_whole(m.sv);
}

// What the writer keeps: the parameters the kernel uses, labels, bias,
// counts and support vectors.
bool same_model(const ksvm::Model& a, const ksvm::Model& b) {
  const ksvm::KernelParams &ka = a.kernel, &kb = b.kernel;
  const bool poly = ka.type == ksvm::kPolynomial;
  return ka.type == kb.type && (!poly || (ka.degree == kb.degree && ka.coef0 == kb.coef0)) &&
         (ka.type == ksvm::kLinear || ka.gamma == kb.gamma) && a.label[0] == b.label[0] &&
         a.label[1] == b.label[1] && a.rho == b.rho && a.nr_sv[0] == b.nr_sv[0] &&
         a.nr_sv[1] == b.nr_sv[1] && fuzz::same_rows(a.sv, b.sv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (fuzz::dense_cells(text, 0) > fuzz::kMaxCells)
    return 0;  // as for data files (dataset_checks.h)
  Scratch& in = input_file();
  in.write(data, size);
  ksvm::Model m;
  try {
    m = ksvm::read_model(in.path());
  } catch (const ksvm::Failure& e) {
    fuzz::check_message(e.what(), in.path());
    return 0;
  }
  check_model(m);

  Scratch& out = copy_file();
  ksvm::write_model(out.path(), m);
  ksvm::Model back;
  try {
    back = ksvm::read_model(out.path());
  } catch (const ksvm::Failure& e) {
    std::fprintf(stderr, "%s\n", e.what());
    FUZZ_CHECK(!"the model written out reads back");
  }
  FUZZ_CHECK(same_model(m, back));

  // Any value will do (the parameters may overflow it); it must not crash.
  if (!m.sv.sparse) {
    const std::vector<double> zero(static_cast<size_t>(m.sv.d), 0.0);
    volatile double v = ksvm::decision_value(m, zero.data(), 0.0);
    if (m.sv.n > 0)
      v = ksvm::decision_value(m, m.sv.row(0), m.sv.norm2[0]);
    (void)v;
  }
  return 0;
}
