#include <gtest/gtest.h>

#include "gui/RSessionText.h"
#include "util/RStringTable.h"

using namespace vantor;

namespace {
RSessionLineStr Summary(uint32_t state, int64_t bytes, int percent, const char* file) {
  RSessionLineStr s;
  s.number = 12;
  s.hour = 9;
  s.minute = 5;
  s.second = 7;
  s.user = "Anonymous";
  s.address = "127.0.0.1";
  s.transferState = state;
  s.transferBytes = bytes;
  s.percent = percent;
  s.file = file;
  return s;
}
}  // namespace

// One list line per transfer state, tab separated.
TEST(SessionListLine, EveryTransferState) {
  SetLanguage(RLanguage::English);
  const std::string head = "12\t9:05:07\tanonymous\t127.0.0.1\t";
  struct Case {
    uint32_t state;
    int64_t bytes;
    int percent;
    const char* want;
  };
  const Case cases[] = {
      {0, 0, 0, "None"},
      {5, 500, 45, "Snd 45%: 500\tc:\\ftp\\a.bin"},
      {5, 500, 0, "Snd: 500\tc:\\ftp\\a.bin"},
      {5, 5000000000LL, 7, "Snd 07%: 5000000000\tc:\\ftp\\a.bin"},
      {6, 1234, 0, "Rcv: 1234\tc:\\ftp\\a.bin"},
      {6, 1234, 50, "Rcv 50%: 1234\tc:\\ftp\\a.bin"},
      {7, 99, 0, "Dir: 99\tc:\\ftp\\a.bin"},
      {8, 0, 0, "Snd. Connecting\tc:\\ftp\\a.bin"},
      {9, 0, 0, "Rcv. Connecting\tc:\\ftp\\a.bin"},
      {10, 0, 0, "Dir. Connecting\tc:\\ftp\\a.bin"},
      {11, 0, 0, "None"},
      {1, 0, 0, "None"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SessionListLine(Summary(c.state, c.bytes, c.percent, "c:\\ftp\\a.bin")),
              head + c.want)
        << c.state;
}

// Only lines of the tracked session pass, without the number prefix.
TEST(TrackedDialogueText, Filter) {
  struct Case {
    const char* line;
    uint32_t tracked;
    const char* want;
  };
  const Case cases[] = {
      {"(000012) USER joe", 12, "USER joe"},
      {"(000012) 331 Password required for joe.", 12, "331 Password required for joe."},
      {"(1234567) PWD", 1234567, "PWD"},
      {"(000012)", 12, ""},
      {"(000012)x", 12, "x"},
  };
  for (const Case& c : cases) EXPECT_EQ(TrackedDialogueText(c.line, c.tracked), c.want) << c.line;
  // Not shown: another session's line, and lines without a proper number.
  for (const char* line : {"(000013) USER joe", "000012) USER", "(00a012) USER", "() USER",
                           "(000012 USER", "(99999999999999999999) X", ""}) {
    for (uint32_t tracked : {0u, 12u}) EXPECT_FALSE(TrackedDialogueText(line, tracked)) << line;
  }
}

// Detail field texts.
TEST(SessionDetails, Texts) {
  SetLanguage(RLanguage::English);
  EXPECT_EQ(NowTrackingLine(7), "************* Now tracking user no. 7 *************");
  EXPECT_EQ(DurationText(1, 2, 3), "01:02:03");
  EXPECT_EQ(DurationText(120, 0, 59), "120:00:59");
  EXPECT_EQ(RateText(-1, 500), "");
  EXPECT_EQ(RateText(1000, 500), "750");
  EXPECT_EQ(RateText(1000, -1), "1000");
  EXPECT_EQ(RateText(0, 0), "0");
  EXPECT_EQ(RateText(4000000000LL, 4000000000LL), "4000000000");
}
