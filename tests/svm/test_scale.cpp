// Scaling: range files read back with the same bits or refused with the file
// and line, and ranges applied to data they were not measured on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dataset.h"
#include "support.h"

namespace {

using ksvm_test::failure_of;
using ksvm_test::ScratchFile;

TEST(SvmScale, RangeFilesRefusedWithFileAndLine) {
  struct Case {
    const char* text;
    const char* message;  // after "PATH"
  };
  const Case cases[] = {
      {"", ": the file is empty, not a range file"},
      {"z\n-1 1\n", ":1: 'z' where 'x' (or 'y') should start the ranges"},
      {"y\n0 1\n3\n", ":3: the file ends where y_max should be"},
      {"y\n0 1\n3 9\n", ":3: the file ends where 'x' should be"},
      {"x\n-1 one\n", ":2: upper 'one' is not a number"},
      {"x\n-1 1\n1 0 2\n0 5 6\n", ":4: feature index '0' is not an integer from 1 to 2147483647"},
      {"x\n-1 1\n3 0 2\n2 5 6\n", ":4: feature index 2 after 3: indices must increase"},
      {"x\n-1 1\n3 0 inf\n", ":3: max 'inf' is not a number"},
      {"x\n-1 1\n3 0\n", ":3: the file ends where max should be"},
  };
  for (const Case& c : cases) {
    ScratchFile f("ranges", c.text);
    EXPECT_EQ(failure_of([&] { ksvm::read_ranges(f.path()); }), f.path() + c.message) << c.text;
  }
}

// Ranges measured on one set and applied to another: a listed feature the
// rows lack takes the image of 0, a varying feature the ranges do not list
// is left out and reported, heads are scaled with the y ranges; the file
// written reads back with the same bits.
TEST(SvmScale, RangesAppliedElsewhereAndReadBack) {
  const std::string a_text = "1 1:2 3:0.1\n-1 1:4 2:7 3:0.3\n2 2:7\n";
  const ksvm::Dataset a =
      ksvm::parse_text(a_text.data(), a_text.data() + a_text.size(), "a", 1, ksvm::ReadOptions());
  ksvm::ScaleRanges to;
  to.lower = -1;
  to.upper = 1;
  to.y_scaling = true;
  to.y_lower = -1;
  to.y_upper = 1;
  const ksvm::ScaleRanges r = ksvm::measure_ranges(a, to);
  EXPECT_EQ(r.index, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(r.min, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(r.max, (std::vector<double>{4, 7, 0.3}));
  EXPECT_EQ(r.y_min, -1);
  EXPECT_EQ(r.y_max, 2);

  ScratchFile f("saved.range");
  ksvm::write_ranges(f.path(), r);
  const ksvm::ScaleRanges back = ksvm::read_ranges(f.path());
  EXPECT_EQ(back.index, r.index);
  EXPECT_EQ(back.min, r.min);
  EXPECT_EQ(back.max, r.max);
  EXPECT_TRUE(back.y_scaling && back.y_lower == -1 && back.y_upper == 1 && back.y_min == -1 &&
              back.y_max == 2 && back.lower == -1 && back.upper == 1);

  // Feature 4 varies here but is not listed; feature 2 is listed but absent;
  // values beyond the measured range go beyond [lower, upper].
  const std::string b_text = "0.5 1:1 3:0.3 4:9\n2 1:8 4:1\n";
  const ksvm::Dataset b =
      ksvm::parse_text(b_text.data(), b_text.data() + b_text.size(), "b", 1, ksvm::ReadOptions());
  std::vector<int> dropped;
  const ksvm::Dataset s = ksvm::apply_ranges(b, back, &dropped);
  EXPECT_EQ(dropped, std::vector<int>{3});
  EXPECT_EQ(s.head, (std::vector<double>{0, 1}));
  std::vector<std::vector<std::pair<int, double>>> rows(2);
  for (int i = 0; i < s.n; i++)
    s.each_nonzero(i, [&](int k, double v) { rows[static_cast<size_t>(i)].push_back({k, v}); });
  EXPECT_EQ(rows[0], (std::vector<std::pair<int, double>>{{0, -0.5}, {1, -1}, {2, 1}}));
  EXPECT_EQ(rows[1], (std::vector<std::pair<int, double>>{{0, 3}, {1, -1}, {2, -1}}));
}

}  // namespace
