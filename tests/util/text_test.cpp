#include "util/RText.h"

#include <gtest/gtest.h>

#include <string>

namespace vantor {
namespace {

// Blanks are space and tab only; a carriage return goes only where a file's
// line may end in one, and nothing else is ever taken off.
TEST(RText, TrimTakesOnlyItsOwnSet) {
  struct Case {
    std::string in, blanks, line;
  } cases[] = {
      {" \tjoe\t ", "joe", "joe"},
      {"a b", "a b", "a b"},
      {"joe\r", "joe\r", "joe"},
      {"\r joe \r", "\r joe \r", "joe"},
      {"\vjoe\f\n", "\vjoe\f\n", "\vjoe\f\n"},
      {std::string("\0a\0", 3), std::string("\0a\0", 3), std::string("\0a\0", 3)},
      {" \t ", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(TrimBlanks(c.in), c.blanks);
    EXPECT_EQ(TrimLine(c.in), c.line);
  }
}

// Only ASCII letters change case: bytes of UTF-8 and other encodings stay as
// they are, so a name never changes with the environment's locale.
TEST(RText, CaseHelpersTouchOnlyAsciiLetters) {
  EXPECT_EQ(Upper("Joe-9_z"), "JOE-9_Z");
  EXPECT_EQ(Lower("JOE-9_Z"), "joe-9_z");
  EXPECT_EQ(Upper("\xC3\xA4\xE9i"), "\xC3\xA4\xE9I");
  EXPECT_EQ(Lower("\xC3\x84\xC9I"), "\xC3\x84\xC9i");
  EXPECT_TRUE(StartsWithNoCase("SITE index", "site IN"));
  EXPECT_FALSE(StartsWithNoCase("SI", "SITE"));
  EXPECT_FALSE(EqualNoCaseAscii("\xC3\xA4", "\xC3\x84"));
}

}  // namespace
}  // namespace vantor
