#include "model.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "text.h"

namespace ksvm {

namespace {

const char* const kKernelNames[] = {"linear", "polynomial", "rbf"};

std::vector<std::string> split(const char* p, const char* eol) {
  std::vector<std::string> out;
  while (p < eol) {
    while (p < eol && (*p == ' ' || *p == '\t' || *p == '\r'))
      p++;
    const char* q = p;
    while (q < eol && *q != ' ' && *q != '\t' && *q != '\r')
      q++;
    if (q > p)
      out.emplace_back(p, q);
    p = q;
  }
  return out;
}

// Reads the header line by line and reports faults with the file and line.
struct HeaderReader {
  const std::string& path;
  int line = 0;
  std::vector<std::string> words;

  [[noreturn]] void fail(const std::string& what) const {
    // Words of a damaged file may hold control characters; they would garble
    // the terminal the message is shown on.
    std::string shown = what;
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 32 || c == 127)
        c = '?';
    throw Failure(path + ":" + std::to_string(line) + ": " + shown);
  }

  void expect_values(size_t count) const {
    if (words.size() != count + 1)
      fail(words[0] + " takes " + std::to_string(count) + (count == 1 ? " value" : " values") +
           ", found " + std::to_string(words.size() - 1));
  }

  double number(size_t i) const {
    const std::string& w = words[i];
    char* end;
    errno = 0;
    double v = std::strtod(w.c_str(), &end);
    if (end == w.c_str() || *end || !std::isfinite(v))
      fail(words[0] + ": '" + w + "' is not a number");
    return v;
  }

  int integer(size_t i, int lowest) const {
    const std::string& w = words[i];
    char* end;
    errno = 0;
    long v = std::strtol(w.c_str(), &end, 10);
    if (end == w.c_str() || *end || errno == ERANGE || v < lowest || v > INT_MAX)
      fail(words[0] + ": '" + w + "' is not an integer of at least " + std::to_string(lowest));
    return static_cast<int>(v);
  }
};

}  // namespace

void write_model(const std::string& path, const Model& m) {
  OutFile out(path);
  std::FILE* f = out.get();
  const KernelParams& k = m.kernel;
  std::fprintf(f, "svm_type c_svc\nkernel_type %s\n", kKernelNames[k.type]);
  if (k.type == kPolynomial)
    std::fprintf(f, "degree %d\n", k.degree);
  if (k.type != kLinear)
    std::fprintf(f, "gamma %.17g\n", k.gamma);
  if (k.type == kPolynomial)
    std::fprintf(f, "coef0 %.17g\n", k.coef0);
  std::fprintf(f, "nr_class 2\ntotal_sv %d\nrho %.17g\nlabel %s %s\nnr_sv %d %d\nSV\n", m.sv.n,
               m.rho, format_number(m.label[0]).c_str(), format_number(m.label[1]).c_str(),
               m.nr_sv[0], m.nr_sv[1]);
  for (int i = 0; i < m.sv.n; i++) {
    std::fprintf(f, "%.17g", m.sv.head[static_cast<size_t>(i)]);
    m.sv.each_nonzero(
        i, [&](int j, double v) { std::fprintf(f, " %d:%s", j + 1, format_number(v).c_str()); });
    std::fputc('\n', f);
  }
  out.close();
}

Model read_model(const std::string& path) {
  std::string text = read_file(path);
  if (text.empty())
    throw Failure(path + ": the file is empty, not a model");
  Model m;
  HeaderReader h{path, 0, {}};
  bool seen_type = false, seen_kernel = false, seen_class = false, seen_total = false;
  bool seen_rho = false, seen_label = false, seen_nr_sv = false, seen_gamma = false;
  bool seen_sv = false;
  int total = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && !seen_sv) {
    h.line++;
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!eol)
      eol = end;
    h.words = split(p, eol);
    p = eol < end ? eol + 1 : end;
    if (h.words.empty())
      continue;
    const std::string& key = h.words[0];
    if (key == "svm_type") {
      h.expect_values(1);
      if (h.words[1] != "c_svc")
        h.fail("svm_type '" + h.words[1] + "' is not supported (only c_svc)");
      seen_type = true;
    } else if (key == "kernel_type") {
      h.expect_values(1);
      int t = -1;
      for (int i = 0; i < 3; i++)
        if (h.words[1] == kKernelNames[i])
          t = i;
      if (t < 0)
        h.fail("kernel_type '" + h.words[1] + "' is not supported (linear, polynomial, rbf)");
      m.kernel.type = t;
      seen_kernel = true;
    } else if (key == "degree") {
      h.expect_values(1);
      m.kernel.degree = h.integer(1, 0);
    } else if (key == "gamma") {
      h.expect_values(1);
      m.kernel.gamma = h.number(1);
      seen_gamma = true;
    } else if (key == "coef0") {
      h.expect_values(1);
      m.kernel.coef0 = h.number(1);
    } else if (key == "nr_class") {
      h.expect_values(1);
      if (h.words[1] != "2")
        h.fail("nr_class " + h.words[1] + ": only two-class models are supported");
      seen_class = true;
    } else if (key == "total_sv") {
      h.expect_values(1);
      total = h.integer(1, 0);
      seen_total = true;
    } else if (key == "rho") {
      h.expect_values(1);
      m.rho = h.number(1);
      seen_rho = true;
    } else if (key == "label") {
      h.expect_values(2);
      m.label[0] = h.number(1);
      m.label[1] = h.number(2);
      seen_label = true;
    } else if (key == "nr_sv") {
      h.expect_values(2);
      m.nr_sv[0] = h.integer(1, 0);
      m.nr_sv[1] = h.integer(2, 0);
      seen_nr_sv = true;
    } else if (key == "probA" || key == "probB") {
      // Probability estimates are not produced here; the decision value is enough.
    } else if (key == "SV") {
      h.expect_values(0);
      seen_sv = true;
    } else {
      std::string shown = key.size() > 40 ? key.substr(0, 40) + "..." : key;
      h.fail("'" + shown + "' is not a model header line");
    }
  }
  const char* missing = !seen_type                                  ? "svm_type"
                        : !seen_kernel                              ? "kernel_type"
                        : !seen_class                               ? "nr_class"
                        : !seen_total                               ? "total_sv"
                        : !seen_rho                                 ? "rho"
                        : !seen_label                               ? "label"
                        : !seen_sv                                  ? "SV"
                        : (!seen_gamma && m.kernel.type != kLinear) ? "gamma"
                                                                    : nullptr;
  if (missing)
    throw Failure(path + ": not a usable model: no '" + missing + "' line in the header");
  if (seen_nr_sv && static_cast<long long>(m.nr_sv[0]) + m.nr_sv[1] != total)
    throw Failure(path + ": nr_sv " + std::to_string(m.nr_sv[0]) + " + " +
                  std::to_string(m.nr_sv[1]) + " does not match total_sv " + std::to_string(total));

  ReadOptions limits;
  limits.head_name = "coefficient";
  m.sv = parse_text(p, end, path, h.line + 1, limits);
  if (m.sv.n != total)
    throw Failure(path + ": total_sv is " + std::to_string(total) + " but the file holds " +
                  std::to_string(m.sv.n) + " support vectors");
  if (!seen_nr_sv) {
    m.nr_sv[0] = total;
    m.nr_sv[1] = 0;
  }
  return m;
}

double decision_value(const Model& m, const double* z, double nz) {
  double sum = 0;
  for (int j = 0; j < m.sv.n; j++)
    sum += m.sv.head[static_cast<size_t>(j)] *
           kernel_value(m.kernel, m.sv.row(j), m.sv.norm2[static_cast<size_t>(j)], z, nz, m.sv.d);
  return sum - m.rho;
}

}  // namespace ksvm
