// Fuzz target: the model reader (ksvm::read_model).
//
// Input: the bytes of a model file.  Any bytes give a model or a
// ksvm::Failure that names the file.  A model that comes back is whole, reads back the
// same after ksvm::write_model, and gives decision values.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dataset_checks.h"
#include "fuzz_input.h"
#include "kaltro_svm.h"

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

bool finite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

void check_model(const ksvm::Model& m) {
  const ksvm::KernelParams& k = m.kernel;
  FUZZ_CHECK(m.task == ksvm::kCSVC || m.task == ksvm::kOneClass || m.task == ksvm::kEpsilonSVR);
  FUZZ_CHECK(k.type >= ksvm::kLinear && k.type <= ksvm::kPrecomputed);
  FUZZ_CHECK(k.degree >= 0 && std::isfinite(k.gamma) && std::isfinite(k.coef0));
  FUZZ_CHECK(m.nr_class >= 2 && (m.task == ksvm::kCSVC || m.nr_class == 2));
  const size_t c = static_cast<size_t>(m.nr_class);
  FUZZ_CHECK(m.rho.size() == (m.task == ksvm::kCSVC ? c * (c - 1) / 2 : 1) && finite(m.rho));
  FUZZ_CHECK(m.coef.size() == c - 1);
  for (const std::vector<double>& row : m.coef)
    FUZZ_CHECK(row.size() == static_cast<size_t>(m.sv.n) && finite(row));
  long long total = 0;
  for (int n : m.nr_sv) {
    FUZZ_CHECK(n >= 0);
    total += n;
  }
  if (m.task == ksvm::kCSVC)
    FUZZ_CHECK(m.label.size() == c && m.nr_sv.size() == c && finite(m.label) && total == m.sv.n);
  fuzz::check_whole(m.sv);
}

// What the writer keeps: the parameters the kernel uses, the task, labels,
// biases, counts, coefficients, probability figures and support vectors.
bool same_model(const ksvm::Model& a, const ksvm::Model& b) {
  const ksvm::KernelParams &ka = a.kernel, &kb = b.kernel;
  const bool poly = ka.type == ksvm::kPolynomial;
  const bool gamma = poly || ka.type == ksvm::kRbf || ka.type == ksvm::kSigmoid;
  const bool coef0 = poly || ka.type == ksvm::kSigmoid;
  return a.task == b.task && ka.type == kb.type && (!poly || ka.degree == kb.degree) &&
         (!gamma || ka.gamma == kb.gamma) && (!coef0 || ka.coef0 == kb.coef0) &&
         a.nr_class == b.nr_class && a.label == b.label && a.rho == b.rho && a.nr_sv == b.nr_sv &&
         a.coef == b.coef && a.probA == b.probA && a.probB == b.probB &&
         fuzz::same_rows(a.sv, b.sv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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

  // Any values will do (the parameters may overflow them); they must not
  // crash.  A precomputed kernel's rows must hold the columns the model names.
  const double head = 0;
  const ksvm::Dataset origin = ksvm::dataset_from_dense(1, 0, nullptr, &head);
  for (const ksvm::Dataset* at : {&origin, static_cast<const ksvm::Dataset*>(&m.sv)}) {
    try {
      volatile double v = 0;
      for (double d : ksvm::decision_values(m, *at))
        v = d;
      (void)v;
    } catch (const ksvm::Failure& e) {
      FUZZ_CHECK(m.kernel.type == ksvm::kPrecomputed);
    }
  }
  return 0;
}
