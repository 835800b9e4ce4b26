// Console output of info() and error(), byte for byte.
#include <gtest/gtest.h>

#include "support.h"

namespace {

std::string run_info(KALTRO& s, const char* mark, const char* line) {
  Capture cap;
  s.info(mark, line, 7, 2.5);
  return cap.finish();
}

TEST(Report, LevelOneWritesMarksUpToFortyThenTheLine) {
  KALTRO s(0);
  std::string all;
  {
    Capture cap;
    for (int i = 0; i < 41; i++)
      s.info("*", "* it:%d w:%f\n", i, 0.5);
    all = cap.finish();
  }
  EXPECT_EQ(all, std::string(40, '*') + "* it:40 w:0.500000\n");
  EXPECT_EQ(s.marks, 0);
  EXPECT_EQ(run_info(s, ".", ". it:%d |g|:%f\n"), ".");
  EXPECT_EQ(s.marks, 1);
}

TEST(Report, MarkAtThirtyNineIsStillAMark) {
  KALTRO s(0);
  s.marks = 39;
  EXPECT_EQ(run_info(s, "@", "@ line %d\n"), "@");
  EXPECT_EQ(s.marks, 40);
  EXPECT_EQ(run_info(s, "@", "@ line %d %f\n"), "@ line 7 2.500000\n");
  EXPECT_EQ(s.marks, 0);
}

TEST(Report, LevelsChooseMarkOrLine) {
  KALTRO s(0);
  s.trace_level = 2;
  EXPECT_EQ(run_info(s, "*", "* it:%d\n"), "* it:7\n");
  EXPECT_EQ(s.marks, 0);
  // A null line writes the mark at every level, and counts it.
  EXPECT_EQ(run_info(s, "*", nullptr), "*");
  EXPECT_EQ(s.marks, 1);
  s.trace_level = 3;
  EXPECT_EQ(run_info(s, "!", "! it:%d\n"), "! it:7\n");
  // A null mark writes the line at level 1 whatever marks holds.
  s.trace_level = 1;
  s.marks = 5;
  EXPECT_EQ(run_info(s, nullptr, " it:%d w:%f\n"), " it:7 w:2.500000\n");
  EXPECT_EQ(s.marks, 0);
}

TEST(Report, LongTextsAreWrittenWhole) {
  KALTRO s(0);
  s.trace_level = 2;
  const std::string line = std::string(300, 'x') + " %d %f\n";
  EXPECT_EQ(run_info(s, "*", line.c_str()), std::string(300, 'x') + " 7 2.500000\n");
  const std::string message(1000, 'm');
  Capture cap;
  s.error(message.c_str());
  EXPECT_EQ(cap.finish(), "KALTRO error: " + message + "\n");
}

TEST(Report, NothingWrittenAtLevelZeroOrForEmptyTexts) {
  KALTRO s(0);
  for (int level : {0, -3}) {
    s.trace_level = level;
    s.marks = 4;
    EXPECT_EQ(run_info(s, "*", "* x\n"), "");
    EXPECT_EQ(s.marks, 4);
  }
  s.trace_level = 1;
  s.marks = 0;
  EXPECT_EQ(run_info(s, nullptr, nullptr), "");
  EXPECT_EQ(run_info(s, "", "* not this\n"), "");  // empty mark: no fallback
  EXPECT_EQ(s.marks, 0);
  // A one-character line counts as a mark; a longer mark ends the row.
  s.trace_level = 2;
  EXPECT_EQ(run_info(s, "*", "x"), "x");
  EXPECT_EQ(s.marks, 1);
  s.trace_level = 1;
  EXPECT_EQ(run_info(s, "ab", "line\n"), "ab");
  EXPECT_EQ(s.marks, 0);
}

TEST(Report, ErrorEndsTheRowOfMarksAndKeepsTheCount) {
  KALTRO s(0);
  s.marks = 3;
  Capture cap;
  int r = s.error(kaltro::msg::not_convex);
  EXPECT_EQ(cap.finish(), "\nKALTRO error: Function is not convex (negative curvature)\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(s.marks, 3);
  EXPECT_STREQ(s.last_error, "Function is not convex (negative curvature)");

  s.marks = 0;
  Capture cap2;
  s.error(kaltro::msg::start_point);
  EXPECT_EQ(cap2.finish(), "KALTRO error: Initial x[] does not satisfy inequality constraint\n");

  s.trace_level = 0;
  s.marks = 2;
  Capture cap3;
  EXPECT_EQ(s.error("quiet"), -1);
  EXPECT_EQ(cap3.finish(), "");
  EXPECT_STREQ(s.last_error, "quiet");
}

TEST(Object, DefaultsAndNegativeSize) {
  KALTRO s(3);
  EXPECT_EQ(s.n, 3);
  EXPECT_TRUE(s.equality);
  EXPECT_EQ(s.trace_level, 1);
  EXPECT_EQ(s.eps_bound, 1e-20);
  EXPECT_EQ(s.eps_gap, 0.001);
  EXPECT_EQ(s.big, 1e20);
  EXPECT_EQ(s.maxcachesize, 268435456L);
  EXPECT_EQ(s.last_error, nullptr);
  EXPECT_EQ(s.ring, nullptr);
  EXPECT_EQ(s.kernel, nullptr);
  EXPECT_EQ(s.max_steps, 0);
  EXPECT_EQ(s.output, kaltro::write_stdout);
  EXPECT_EQ(s.output_arg, nullptr);
  EXPECT_EQ(s.lin, s.dbuf);
  EXPECT_EQ(s.xref, s.dbuf + 18);
  EXPECT_EQ(s.home, s.ibuf + 3);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(s.kidx[i], i);
    EXPECT_EQ(s.home[i], i);
    EXPECT_EQ(s.rows[i], nullptr);
    EXPECT_EQ(s.lo[i], 0.0);
    EXPECT_EQ(s.hi[i], 0.0);
    EXPECT_EQ(s.x[i], 0.0);
    EXPECT_EQ(s.lin[i], 0.0);
  }
  EXPECT_THROW(KALTRO(-1), std::invalid_argument);
  KALTRO empty(0);
  EXPECT_EQ(empty.n, 0);
}

}  // namespace
