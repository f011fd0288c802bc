#include <gtest/gtest.h>

#include <string>

#include "gui/RLogText.h"

using namespace vantor;

// Lines are taken while the text stays below the bound; the oldest ten go
// at a time.
TEST(RLogText, TrimsTenLinesAtATime) {
  RLogText t(100);
  const std::string line8(8, 'x');  // 10 characters with CR LF
  for (int i = 0; i < 8; ++i) {
    const auto r = t.Append(line8);
    EXPECT_TRUE(r.appended);
    EXPECT_EQ(r.removedLines, 0u);
  }
  EXPECT_EQ(t.Length(), 80u);
  // 80 + 10 + 10 reaches 100: ten lines would go, but only eight exist.
  const auto r = t.Append("abcdefgh");
  EXPECT_TRUE(r.appended);
  EXPECT_EQ(r.removedLines, 8u);
  EXPECT_EQ(t.LineCount(), 1u);
  EXPECT_EQ(t.Text(), "abcdefgh\r\n");
}

// A line that cannot fit is refused; removal stops when the text is empty.
TEST(RLogText, LongLinesAndCharacters) {
  RLogText t(15000);
  EXPECT_FALSE(t.Append(std::string(14988, 'a')).appended);
  EXPECT_TRUE(t.Append(std::string(14987, 'a')).appended);
  const auto r = t.Append("b");
  EXPECT_EQ(r.removedLines, 1u);
  EXPECT_EQ(t.LineCount(), 1u);
  EXPECT_EQ(CharCount("使用者"), 3u);
  t.Clear();
  EXPECT_EQ(t.Length(), 0u);
  t.Append("使用者");
  EXPECT_EQ(t.Length(), 5u);
}

// A long run keeps the bound and the newest line.
TEST(RLogText, StaysBounded) {
  RLogText t(15000);
  for (int i = 0; i < 5000; ++i) {
    t.Append("[1] Sun 06Dec26 10:00:00 - (000001) line number " + std::to_string(i));
    ASSERT_LT(t.Length(), 15000u);
  }
  EXPECT_EQ(t.Lines().back(), "[1] Sun 06Dec26 10:00:00 - (000001) line number 4999");
}
