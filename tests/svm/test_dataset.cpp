// Reading the sparse text format, the choice between dense and sparse
// holding, the messages for every kind of bad line, and the text generator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "dataset.h"
#include "generate.h"
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

TEST(SvmDataset, TextOfAMillionFeaturesIsHeldInPairs) {
  // 300 lines of 40 features spread up to index 1 000 000: a dense matrix
  // would take 2.4 GB, the pairs about 12 bytes each.
  std::mt19937 rng(1);
  std::string text;
  size_t nonzeros = 0;
  for (int i = 0; i < 300; i++) {
    text += i % 2 ? "1" : "-1";
    for (unsigned k = 0, e = 0; e < 40; e++, nonzeros++)
      text += " " + std::to_string(k += 1 + rng() % 24000) + ":0.5";
    text += "\n";
  }
  text += "1 17:0 1000000:2\n";  // an explicit zero is not held
  nonzeros++;
  const Dataset d = parse(text);
  EXPECT_TRUE(d.sparse);
  EXPECT_EQ(d.n, 301);
  EXPECT_EQ(d.d, 1000000);
  EXPECT_EQ(d.nonzeros(), nonzeros);
  EXPECT_EQ(d.x.capacity(), 0u);
  const size_t bytes = d.index.capacity() * sizeof(int) + d.value.capacity() * sizeof(double) +
                       d.start.capacity() * sizeof(size_t) +
                       (d.head.capacity() + d.norm2.capacity()) * sizeof(double);
  EXPECT_LE(bytes, nonzeros * (sizeof(int) + sizeof(double)) + 400 * 3 * sizeof(double));
  EXPECT_EQ(d.norm2[0], 40 * 0.25);
  EXPECT_EQ(d.at(300, 999999), 2);
  EXPECT_EQ(d.at(300, 16), 0);
}

TEST(SvmDataset, EachWayOfMakingASetChoosesItsHolding) {
  // 60 rows of 40 features: the first 10 full, the others with one
  // non-zero each.
  const int n = 60, d = 40;
  std::vector<double> x(n * d, 0.0), head(n);
  for (int i = 0; i < n; i++) {
    head[static_cast<size_t>(i)] = i % 3;
    for (int k = 0; k < d; k++)
      if (i < 10 || k == i % d)
        x[static_cast<size_t>(i * d + k)] = 0.5 * (i + 1) - 0.25 * k;
  }
  std::vector<std::int64_t> indptr{0};
  std::vector<std::int32_t> indices;
  std::vector<double> values;
  for (int i = 0; i < n; i++) {
    for (int k = 0; k < d; k++)
      if (x[static_cast<size_t>(i * d + k)] != 0) {
        indices.push_back(k);
        values.push_back(x[static_cast<size_t>(i * d + k)]);
      }
    indptr.push_back(static_cast<std::int64_t>(indices.size()));
  }
  const Dataset from_dense = ksvm::dataset_from_dense(n, d, x.data(), head.data());
  const Dataset from_csr =
      ksvm::dataset_from_csr(n, d, indptr.data(), indices.data(), values.data(), head.data());
  const Dataset full = ksvm::dataset_from_dense(10, d, x.data(), head.data());
  const Dataset full_rows = ksvm::select_rows(from_csr, {9, 0, 4});
  const Dataset thin_rows = ksvm::select_rows(full, {0});
  const Dataset thin_of_dense = ksvm::select_rows(ksvm::with_holding(from_dense, false), {12, 30});
  EXPECT_TRUE(from_dense.sparse);
  EXPECT_TRUE(from_csr.sparse);
  EXPECT_FALSE(full.sparse);
  EXPECT_FALSE(full_rows.sparse);
  EXPECT_FALSE(thin_rows.sparse);  // one full row: dense is smaller
  EXPECT_TRUE(thin_of_dense.sparse);
  EXPECT_EQ(full_rows.labels, (std::vector<double>{0, 1}));
  const Dataset dense = ksvm::with_holding(from_dense, false);
  for (const Dataset* s : {&from_dense, &from_csr}) {
    for (int i = 0; i < n; i++)
      for (int k = 0; k < d; k++)
        ASSERT_EQ(s->at(i, k), x[static_cast<size_t>(i * d + k)]) << i << " " << k;
    EXPECT_EQ(s->norm2, dense.norm2);
    EXPECT_EQ(s->head, head);
  }
  EXPECT_EQ(dense.x, x);
  for (int k = 0; k < d; k++) {
    EXPECT_EQ(full_rows.at(1, k), x[static_cast<size_t>(k)]);
    EXPECT_EQ(thin_of_dense.at(1, k), x[static_cast<size_t>(30 * d + k)]);
  }
  Dataset wide = from_csr;
  ksvm::widen(wide, 1000, "wide");
  EXPECT_TRUE(wide.sparse);
  EXPECT_EQ(wide.d, 1000);
  EXPECT_EQ(wide.index, from_csr.index);
}

TEST(SvmDataset, GeneratedTextIsTheSameBytesEverywhere) {
  ksvm::GenerateOptions o;
  o.kind = "text";
  o.n = 60;
  o.d = 3000;
  o.nnz = 12;
  o.seed = 7;
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ksvm::generate(o, f);
  std::string text(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  ASSERT_EQ(std::fread(&text[0], 1, text.size(), f), text.size());
  std::fclose(f);
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (char c : text)
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  EXPECT_EQ(hash, 2336191032523329753ULL) << text.substr(0, 200);
  const Dataset d = parse(text);
  EXPECT_EQ(d.n, 60);
  EXPECT_LE(d.d, 3000);
  EXPECT_EQ(d.labels.size(), 2u);
  for (double r : d.norm2)
    EXPECT_NEAR(r, 1, 1e-5);  // unit rows up to the printed digits
  EXPECT_NEAR(static_cast<double>(d.nonzeros()) / d.n, 12, 2);
}

}  // namespace
