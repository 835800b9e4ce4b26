// Fuzz target: the data-file parser (ksvm::parse_text).
//
// Input: one byte of read options, then the text.  Any text gives a data set
// or a ksvm::Failure that names the file.  A data set that comes back is whole (dataset_checks.h),
// and writing it out and reading it again gives the same examples.
#include <cstdint>
#include <cstdio>
#include <string>

#include "dataset.h"
#include "dataset_checks.h"
#include "fuzz_input.h"

namespace {

const char kName[] = "fuzz.txt";

// Every example as "head index:value ..." with numbers that read back as the
// same bits; zeros are left out, as the writers do.
std::string write_text(const ksvm::Dataset& data, bool precomputed) {
  std::string out;
  char buf[64];
  for (int i = 0; i < data.n; i++) {
    std::snprintf(buf, sizeof buf, "%.17g", data.head[static_cast<size_t>(i)]);
    out += buf;
    data.each_nonzero(i, [&](int k, double v) {
      std::snprintf(buf, sizeof buf, " %d:%.17g", precomputed ? k : k + 1, v);
      out += buf;
    });
    out += '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  const unsigned o = in.byte();
  ksvm::ReadOptions opt;
  opt.precomputed = (o & 1) != 0;
  opt.max_labels = static_cast<int>(o >> 1 & 3);
  static const int kMinD[8] = {0, 0, 1, 2, 3, 8, 30, 1000};
  opt.min_d = kMinD[o >> 3 & 7];
  static const int kFirstLine[4] = {1, 1, 7, 1 << 20};
  const int first_line = kFirstLine[o >> 6];
  // The parser wants its text followed by a NUL: a std::string has one.
  const std::string text(reinterpret_cast<const char*>(in.pos()), in.left());
  try {
    const ksvm::Dataset set =
        ksvm::parse_text(text.data(), text.data() + text.size(), kName, first_line, opt);
    fuzz::check_whole(set);
    FUZZ_CHECK(set.d >= opt.min_d);
    FUZZ_CHECK(opt.max_labels == 0 || set.labels.size() <= static_cast<size_t>(opt.max_labels));

    const std::string copy = write_text(set, opt.precomputed);
    ksvm::ReadOptions again = opt;
    again.min_d = set.d;  // a trailing feature of value 0 is not written
    ksvm::Dataset back;
    try {
      back = ksvm::parse_text(copy.data(), copy.data() + copy.size(), "copy", 1, again);
    } catch (const ksvm::Failure& e) {
      std::fprintf(stderr, "%s\n", e.what());
      FUZZ_CHECK(!"the data set written out reads back");
    }
    FUZZ_CHECK(back.d == set.d && back.labels == set.labels);
    FUZZ_CHECK(fuzz::same_rows(set, back));
  } catch (const ksvm::Failure& e) {
    fuzz::check_message(e.what(), kName);
  }
  return 0;
}
