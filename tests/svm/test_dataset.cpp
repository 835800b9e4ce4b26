// Reading the sparse text format into the dense layout, and the messages for
// every kind of bad line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dataset.h"
#include "support.h"

namespace {

using ksvm::Dataset;
using ksvm::ReadOptions;
using ksvm_test::failure_of;

Dataset parse(const std::string& text, ReadOptions limits = ReadOptions()) {
  return ksvm::parse_text(text.data(), text.data() + text.size(), "in.txt", 1, limits);
}

std::string parse_error(const std::string& text, ReadOptions limits = ReadOptions()) {
  return failure_of([&] { parse(text, limits); });
}

TEST(SvmDataset, DenseRowsNormsAndLabels) {
  Dataset d = parse("+1 1:2 3:4\n-1 2:1.5\n\n  \n1\n2.5 3:-1\n");
  ASSERT_EQ(d.n, 4);
  ASSERT_EQ(d.d, 3);
  std::vector<double> want = {2, 0, 4, 0, 1.5, 0, 0, 0, 0, 0, 0, -1};
  EXPECT_EQ(d.x, want);
  EXPECT_EQ(d.norm2, (std::vector<double>{20, 2.25, 0, 1}));
  EXPECT_EQ(d.head, (std::vector<double>{1, -1, 1, 2.5}));
  EXPECT_EQ(d.labels, (std::vector<double>{1, -1, 2.5}));
  EXPECT_EQ(d.row(1)[1], 1.5);
}

TEST(SvmDataset, TabsCarriageReturnsAndNoFinalNewline) {
  Dataset d = parse("1\t1:0.5  2:1e-3\r\n-1 2:-7\r\n-1 1:1");
  ASSERT_EQ(d.n, 3);
  ASSERT_EQ(d.d, 2);
  EXPECT_EQ(d.x, (std::vector<double>{0.5, 1e-3, 0, -7, 1, 0}));
}

TEST(SvmDataset, WidthAtLeastMinimumAndWiden) {
  ReadOptions limits;
  limits.min_d = 4;
  Dataset d = parse("1 2:3\n", limits);
  EXPECT_EQ(d.d, 4);
  EXPECT_EQ(d.x, (std::vector<double>{0, 3, 0, 0}));

  Dataset e = parse("1 1:1 2:2\n-1 2:5\n");
  ksvm::widen(e, 3, "e");
  EXPECT_EQ(e.d, 3);
  EXPECT_EQ(e.x, (std::vector<double>{1, 2, 0, 0, 5, 0}));
  EXPECT_EQ(e.norm2, (std::vector<double>{5, 25}));
  ksvm::widen(e, 2, "e");  // never narrows
  EXPECT_EQ(e.d, 3);
}

TEST(SvmDataset, EachFaultNamedWithFileAndLine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"x 1:2\n", "in.txt:1: label 'x' is not a number"},
      {"1 1:2\n1x 1:2\n", "in.txt:2: label '1x' is not a number"},
      {"1 1:abc\n", "in.txt:1: value 'abc' of feature 1 is not a number"},
      {"1 1:0.5 2:3q\n", "in.txt:1: value '3q' of feature 2 is not a number"},
      {"1 1: 2\n", "in.txt:1: feature 1 has no value"},
      {"1 1:\n", "in.txt:1: feature 1 has no value"},
      {"1 2:1 2:3\n", "in.txt:1: feature index 2 after 2: indices must increase"},
      {"\n\n1 3:1 1:1\n", "in.txt:3: feature index 1 after 3: indices must increase"},
      {"1 0:1\n", "in.txt:1: feature index 0: indices start at 1"},
      {"1 -1:1\n", "in.txt:1: expected index:value, found '-1:1'"},
      {"1 abc\n", "in.txt:1: expected index:value, found 'abc'"},
      {"1 3\n", "in.txt:1: expected index:value, found '3'"},
      {"1 99999999999:1\n", "in.txt:1: feature index '99999999999' is too large"},
      {"1 1:nan\n", "in.txt:1: value 'nan' of feature 1 is not finite"},
      {"1 1:1e999\n", "in.txt:1: value '1e999' of feature 1 is not finite"},
      {"inf 1:1\n", "in.txt:1: label 'inf' is not finite"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

TEST(SvmDataset, ControlBytesDoNotEndTheText) {
  std::string text = "1 1:2\n1 1:3";
  text += '\0';
  text += " 2:1\n";
  EXPECT_EQ(parse_error(text), "in.txt:2: value '3?' of feature 1 is not a number");
}

TEST(SvmDataset, ThirdLabelRefusedWhenTwoAllowed) {
  ReadOptions two;
  two.max_labels = 2;
  EXPECT_EQ(parse_error("2 1:1\n7 1:2\n2\n3 1:1\n", two),
            "in.txt:4: a third label 3 (a binary classifier takes two: 2 and 7)");
  EXPECT_EQ(parse("2 1:1\n7 1:2\n3\n").labels.size(), 3u);  // no limit by default
}

TEST(SvmDataset, FileLevelFaults) {
  ksvm_test::ScratchFile empty("empty.txt", "");
  ksvm_test::ScratchFile blank("blank.txt", "\n  \n\t\n");
  ksvm_test::ScratchFile good("good.txt", "1 1:1\n-1 2:1\n");
  ReadOptions limits;
  EXPECT_EQ(failure_of([&] { ksvm::read_dataset(empty.path(), limits); }),
            empty.path() + ": the file is empty");
  EXPECT_EQ(failure_of([&] { ksvm::read_dataset(blank.path(), limits); }),
            blank.path() + ": no examples, only blank lines");
  const std::string missing = good.path() + ".missing";
  EXPECT_EQ(failure_of([&] { ksvm::read_dataset(missing, limits); }),
            "cannot open '" + missing + "': No such file or directory");
  EXPECT_EQ(ksvm::read_dataset(good.path(), limits).n, 2);
}

TEST(SvmDataset, WidthBeyondAnyDenseMatrixIsHeldSparse) {
  // 3 rows of 2^31-1 features: no dense matrix on 32 bits, many gigabytes
  // on 64; the pairs take a few bytes.
  Dataset d = parse("1 2147483647:1\n-1 1:1\n1 1:2\n");
  EXPECT_TRUE(d.sparse);
  EXPECT_EQ(d.d, 2147483647);
  EXPECT_EQ(d.at(0, 2147483646), 1);
  EXPECT_EQ(d.norm2, (std::vector<double>{1, 1, 4}));
}

}  // namespace
