// Models in the text format of the common SVM tools: a header of
// "key value ..." lines, "SV", then one support vector per line as
// "coefficient ... index:value ..." (nr_class - 1 coefficients; for a
// precomputed kernel the only feature is "0:serial").
#include "model.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dataset.h"
#include "text.h"

namespace ksvm {

namespace {

const char* const kKernelNames[] = {"linear", "polynomial", "rbf", "sigmoid", "precomputed"};

const char* task_name(int task) {
  switch (task) {
    case kCSVC:
      return "c_svc";
    case kOneClass:
      return "one_class";
    default:
      return "epsilon_svr";
  }
}

// ---------------------------------------------------------------- write ---

void write_numbers(std::FILE* f, const char* key, const std::vector<double>& v) {
  std::fputs(key, f);
  for (double x : v)
    std::fprintf(f, " %.17g", x);
  std::fputc('\n', f);
}

// " index:value" with the shortest digits that read back as the same
// double (to_chars: a model of many support vectors is written several
// times faster than through printf and strtod).
void write_feature(std::FILE* f, int index, double v) {
  char buf[48];
  buf[0] = ' ';
  std::to_chars_result r = std::to_chars(buf + 1, buf + 16, index);
  *r.ptr++ = ':';
  r = std::to_chars(r.ptr, buf + sizeof buf, v);
  std::fwrite(buf, 1, static_cast<size_t>(r.ptr - buf), f);
}

// ----------------------------------------------------------------- read ---

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

// A fault at a line of a model file.  Words of a damaged file may hold
// control characters; they would garble the terminal the message is shown on.
[[noreturn]] void fail_at(const std::string& path, int line, const std::string& what) {
  std::string shown = what;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      c = '?';
  throw Failure(path + ":" + std::to_string(line) + ": " + shown);
}

// Reads the header line by line and reports faults with the file and line.
struct HeaderReader {
  const std::string& path;
  int line = 0;
  std::vector<std::string> words;

  [[noreturn]] void fail(const std::string& what) const { fail_at(path, line, what); }

  void expect_values(size_t count) const {
    if (words.size() != count + 1)
      fail(words[0] + " takes " + std::to_string(count) + (count == 1 ? " value" : " values") +
           ", found " + std::to_string(words.size() - 1));
  }

  double number(size_t i) const {
    const std::string& w = words[i];
    char* end;
    double v = std::strtod(w.c_str(), &end);
    if (end == w.c_str() || *end || !std::isfinite(v))
      fail(words[0] + ": '" + w + "' is not a number");
    return v;
  }

  std::vector<double> numbers(size_t count) const {
    expect_values(count);
    std::vector<double> v;
    for (size_t i = 1; i <= count; i++)
      v.push_back(number(i));
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

inline bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The support vector lines from p on: the coefficients into m.coef, the
// features (after a placeholder head per line) into m.sv, line numbers kept.
void read_support_vectors(Model& m, const char* p, const char* end, const std::string& path,
                          int first_line) {
  const size_t rows = static_cast<size_t>(m.nr_class - 1);
  m.coef.assign(rows, std::vector<double>());
  std::string features;
  features.reserve(static_cast<size_t>(end - p) + 16);
  for (int line = first_line; p < end; line++) {
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!eol)
      eol = end;
    while (p < eol && blank(*p))
      p++;
    if (p < eol) {
      for (size_t r = 0; r < rows; r++) {
        const char* t = p;
        char* q;
        double v = std::strtod(t, &q);
        if (q == t || (q < eol && !blank(*q)) || !std::isfinite(v)) {
          while (p < eol && !blank(*p) && p - t < 40)
            p++;
          fail_at(path, line, "coefficient '" + std::string(t, p) + "' is not a number");
        }
        m.coef[r].push_back(v);
        p = q;
        while (p < eol && blank(*p))
          p++;
      }
      features += "0 ";
      features.append(p, eol);
    }
    features += '\n';
    p = eol < end ? eol + 1 : end;
  }
  ReadOptions opt;
  opt.head_name = "coefficient";
  opt.precomputed = m.kernel.type == kPrecomputed;
  m.sv = parse_text(features.data(), features.data() + features.size(), path, first_line, opt);
}

}  // namespace

void check_model(const Model& m) {
  auto bad = [](const std::string& what) { throw Failure("not a usable model: " + what); };
  if (m.task != kCSVC && m.task != kOneClass && m.task != kEpsilonSVR)
    bad("task " + std::to_string(m.task));
  if (m.kernel.type < kLinear || m.kernel.type > kPrecomputed)
    bad("kernel type " + std::to_string(m.kernel.type));
  if (m.task == kCSVC ? m.nr_class < 2 : m.nr_class != 2)
    bad("nr_class " + std::to_string(m.nr_class));
  const size_t k = static_cast<size_t>(m.nr_class);
  const size_t pairs = m.task == kCSVC ? k * (k - 1) / 2 : 1;
  if (m.rho.size() != pairs)
    bad(std::to_string(m.rho.size()) + " rho values for " + std::to_string(pairs));
  if (m.coef.size() != k - 1)
    bad(std::to_string(m.coef.size()) + " rows of coefficients for " + std::to_string(k - 1));
  for (const std::vector<double>& row : m.coef)
    if (row.size() != static_cast<size_t>(m.sv.n))
      bad("a row of " + std::to_string(row.size()) + " coefficients for " + std::to_string(m.sv.n) +
          " support vectors");
  if (m.kernel.type == kPrecomputed)
    for (int i = 0; i < m.sv.n; i++) {
      const double serial = m.sv.at(i, 0);
      if (!(serial >= 1 && serial <= INT_MAX && serial == std::floor(serial)))
        bad("support vector " + std::to_string(i + 1) + ": serial " + format_number(serial) +
            " is not an integer of at least 1");
    }
  if (m.task == kCSVC) {
    long long total = 0;
    for (int c : m.nr_sv)
      total += c;
    if (m.label.size() != k || m.nr_sv.size() != k || total != m.sv.n)
      bad("labels or support vector counts do not match the classes");
  }
}

void write_model(const std::string& path, const Model& m) {
  check_model(m);
  OutFile out(path, OutFile::kReplace);
  std::FILE* f = out.get();
  const KernelParams& k = m.kernel;
  std::fprintf(f, "svm_type %s\nkernel_type %s\n", task_name(m.task), kKernelNames[k.type]);
  if (k.type == kPolynomial)
    std::fprintf(f, "degree %d\n", k.degree);
  if (k.type == kPolynomial || k.type == kRbf || k.type == kSigmoid)
    std::fprintf(f, "gamma %.17g\n", k.gamma);
  if (k.type == kPolynomial || k.type == kSigmoid)
    std::fprintf(f, "coef0 %.17g\n", k.coef0);
  std::fprintf(f, "nr_class %d\ntotal_sv %d\n", m.nr_class, m.sv.n);
  write_numbers(f, "rho", m.rho);
  if (m.task == kCSVC) {
    std::fputs("label", f);
    for (double l : m.label)
      std::fprintf(f, " %s", format_number(l).c_str());
    std::fputc('\n', f);
  }
  if (!m.probA.empty())
    write_numbers(f, "probA", m.probA);
  if (!m.probB.empty())
    write_numbers(f, "probB", m.probB);
  if (m.task == kCSVC) {
    std::fputs("nr_sv", f);
    for (int c : m.nr_sv)
      std::fprintf(f, " %d", c);
    std::fputc('\n', f);
  }
  std::fputs("SV\n", f);
  const Dataset& sv = m.sv;
  for (int s = 0; s < sv.n; s++) {
    const size_t us = static_cast<size_t>(s);
    for (size_t r = 0; r < m.coef.size(); r++)
      std::fprintf(f, r ? " %.17g" : "%.17g", m.coef[r][us]);
    if (k.type == kPrecomputed)
      std::fprintf(f, " 0:%.17g", sv.at(s, 0));
    else
      sv.each_nonzero(s, [&](int j, double v) { write_feature(f, j + 1, v); });
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
    const size_t k = static_cast<size_t>(m.nr_class);
    const size_t pairs = m.task == kCSVC ? k * (k - 1) / 2 : 1;
    if (key == "svm_type") {
      h.expect_values(1);
      const std::string& t = h.words[1];
      m.task = t == "c_svc"         ? kCSVC
               : t == "one_class"   ? kOneClass
               : t == "epsilon_svr" ? kEpsilonSVR
                                    : -1;
      if (m.task < 0)
        h.fail("svm_type '" + t + "' is not supported (c_svc, one_class, epsilon_svr)");
      seen_type = true;
    } else if (key == "kernel_type") {
      h.expect_values(1);
      int t = -1;
      for (int i = 0; i < 5; i++)
        if (h.words[1] == kKernelNames[i])
          t = i;
      if (t < 0)
        h.fail("kernel_type '" + h.words[1] +
               "' is not supported (linear, polynomial, rbf, sigmoid, precomputed)");
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
      m.nr_class = h.integer(1, 2);
      if (m.task != kCSVC && m.nr_class != 2)
        h.fail("nr_class " + h.words[1] + ": a " + task_name(m.task) + " model has 2");
      seen_class = true;
    } else if (key == "total_sv") {
      h.expect_values(1);
      total = h.integer(1, 0);
      seen_total = true;
    } else if (key == "rho") {
      m.rho = h.numbers(pairs);
      seen_rho = true;
    } else if (key == "label") {
      m.label = h.numbers(k);
      seen_label = true;
    } else if (key == "probA") {
      m.probA = h.numbers(pairs);
    } else if (key == "probB") {
      m.probB = h.numbers(pairs);
    } else if (key == "nr_sv") {
      h.expect_values(k);
      m.nr_sv.clear();
      for (size_t i = 1; i <= k; i++)
        m.nr_sv.push_back(h.integer(i, 0));
      seen_nr_sv = true;
    } else if (key == "SV") {
      h.expect_values(0);
      seen_sv = true;
    } else {
      std::string shown = key.size() > 40 ? key.substr(0, 40) + "..." : key;
      h.fail("'" + shown + "' is not a model header line");
    }
  }
  const bool gamma_needed =
      m.kernel.type == kPolynomial || m.kernel.type == kRbf || m.kernel.type == kSigmoid;
  const char* missing = !seen_type                                         ? "svm_type"
                        : !seen_kernel                                     ? "kernel_type"
                        : !seen_class                                      ? "nr_class"
                        : !seen_total                                      ? "total_sv"
                        : !seen_rho                                        ? "rho"
                        : !seen_label && m.task == kCSVC                   ? "label"
                        : !seen_sv                                         ? "SV"
                        : !seen_gamma && gamma_needed                      ? "gamma"
                        : !seen_nr_sv && m.task == kCSVC && m.nr_class > 2 ? "nr_sv"
                                                                           : nullptr;
  if (missing)
    throw Failure(path + ": not a usable model: no '" + missing + "' line in the header");
  if (m.task != kCSVC) {
    m.label.clear();
    m.nr_sv.clear();
  } else if (!seen_nr_sv) {
    m.nr_sv = {total, 0};
  }
  if (m.task == kCSVC) {
    long long sum = 0;
    std::string terms;
    for (int c : m.nr_sv) {
      sum += c;
      terms += (terms.empty() ? "" : " + ") + std::to_string(c);
    }
    if (sum != total)
      throw Failure(path + ": nr_sv " + terms + " does not match total_sv " +
                    std::to_string(total));
  }

  read_support_vectors(m, p, end, path, h.line + 1);
  if (m.sv.n != total)
    throw Failure(path + ": total_sv is " + std::to_string(total) + " but the file holds " +
                  std::to_string(m.sv.n) + " support vectors");
  try {  // counts given before nr_class, serials of a precomputed kernel
    check_model(m);
  } catch (const Failure& e) {
    throw Failure(path + ": " + e.what());
  }
  return m;
}

}  // namespace ksvm
