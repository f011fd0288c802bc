// STOU names, upload records, LIST/NLST arguments and the closing texts.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ftp/RFTPSListArgs.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RStouNames.h"
#include "ftp/RTransferSummary.h"
#include "ftp/RUploadRecords.h"
#include "util/RStringTable.h"

using namespace vantor;

// STOU without a name counts FTP00000 up; with a taken name it inserts the
// counter before the first dot.
TEST(StouNames, Search) {
  std::set<std::string> taken;
  auto isTaken = [&taken](const std::string& p) { return taken.count(p) > 0; };
  EXPECT_EQ(FindUniqueName("C:\\up", true, isTaken), "C:\\up\\FTP00000");
  taken.insert("C:\\up\\FTP00000");
  EXPECT_EQ(FindUniqueName("C:\\up\\", true, isTaken), "C:\\up\\FTP00001");
  EXPECT_EQ(FindUniqueName("C:\\up\\a.tar.gz", false, isTaken), "C:\\up\\a.tar.gz");
  taken.insert("C:\\up\\a.tar.gz");
  EXPECT_EQ(FindUniqueName("C:\\up\\a.tar.gz", false, isTaken), "C:\\up\\a1.tar.gz");
  taken.insert("C:\\up\\a1.tar.gz");
  EXPECT_EQ(FindUniqueName("C:\\up\\a.tar.gz", false, isTaken), "C:\\up\\a2.tar.gz");
  taken.insert("C:\\up\\noext");
  EXPECT_EQ(FindUniqueName("C:\\up\\noext", false, isTaken), "C:\\up\\noext1");
  taken.insert("C:\\up\\.rc");
  EXPECT_EQ(FindUniqueName("C:\\up\\.rc", false, isTaken), "C:\\up\\1.rc");
  // Every name taken: no unique name (bounded search, no endless loop).
  int tries = 0;
  auto allTaken = [&tries](const std::string&) { return ++tries > 0; };
  EXPECT_FALSE(FindUniqueName("C:\\up\\x", false, allTaken, 50));
  EXPECT_EQ(tries, 51);  // the name itself, then x1 .. x50
  tries = 0;
  EXPECT_FALSE(FindUniqueName("C:\\up", true, allTaken, 50));
  EXPECT_EQ(tries, 51);  // FTP00000 .. FTP00050
  // A very long name is cut so base, counter and extension stay within 199.
  const std::string longName = "C:\\up\\" + std::string(300, 'b') + "." + std::string(150, 'e');
  const auto got = FindUniqueName(longName, false, [](const std::string&) { return false; });
  ASSERT_TRUE(got.has_value());
  EXPECT_LE(got->size() - 6, 199u);
  EXPECT_EQ(got->substr(got->size() - 101), "." + std::string(100, 'e'));
}

// Records are keyed by address and path; the purge keeps only those younger
// than 12 hours.
TEST(UploadRecords, InsertContainsPurge) {
  RUploadRecords r;
  r.Insert("127.0.0.1", "C:\\up\\a", 1000);
  r.Insert("127.0.0.2", "C:\\up\\a", 2000);
  r.Insert("127.0.0.1", "C:\\up\\a", 30000);  // refreshed, not duplicated
  EXPECT_EQ(r.Size(), 2u);
  EXPECT_TRUE(r.Contains("127.0.0.1", "C:\\up\\a"));
  EXPECT_FALSE(r.Contains("127.0.0.1", "C:\\UP\\A"));  // exact text comparison
  EXPECT_FALSE(r.Contains("127.0.0.3", "C:\\up\\a"));
  r.Purge(2000 + 43199);
  EXPECT_EQ(r.Size(), 2u);
  r.Purge(2000 + 43200);
  EXPECT_EQ(r.Size(), 1u);
  EXPECT_TRUE(r.Contains("127.0.0.1", "C:\\up\\a"));
  r.Purge(30000 + 43200);
  EXPECT_EQ(r.Size(), 0u);
}

// The hourly purges run on the hour marks counted from the first look, each
// at its own mark: a record is kept until the first mark 12 hours after it.
TEST(UploadRecords, PurgeDueOnHourMarks) {
  RUploadRecords r;
  r.PurgeDue(1000);  // the hours start here
  r.Insert("127.0.0.1", "C:\\up\\a", 1000);
  r.Insert("127.0.0.1", "C:\\up\\b", 1000 + 1800);
  r.PurgeDue(1000 + 43200 - 1);
  EXPECT_EQ(r.Size(), 2u);
  r.PurgeDue(1000 + 43200 + 3599);  // the 12-hour mark is due, not the next
  EXPECT_EQ(r.Size(), 1u);
  EXPECT_TRUE(r.Contains("127.0.0.1", "C:\\up\\b"));
  r.PurgeDue(1000 + 100 * 3600);  // marks missed while idle all run
  EXPECT_EQ(r.Size(), 0u);
}

// A listed path splits into directory and pattern; a bare drive keeps its
// backslash.
TEST(ListArgs, SplitPath) {
  std::string dir, pat;
  SplitListPath("C:\\pub\\x.txt", dir, pat);
  EXPECT_EQ(dir, "C:\\pub");
  EXPECT_EQ(pat, "x.txt");
  SplitListPath("C:\\pub", dir, pat);
  EXPECT_EQ(dir, "C:\\");
  EXPECT_EQ(pat, "pub");
}

// The reason table is taken in order; a lost control connection overrides.
TEST(TransferSummary, FailureReasons) {
  struct Case {
    RTransferEndFactsStr f;
    uint32_t text;
    int number;
  };
  const Case cases[] = {
      {{true, true, kReplyStorDiskFull, 19, true}, kTextKilledByServer, 5},
      {{true, false, kReplyStorDiskFull, 19, true}, kTextDiskWriteError, 1},
      {{false, false, kReplyRetrCannotRead, 19, true}, kTextDiskReadError, 2},
      {{false, false, kReplyRetrCannotConnect, -1, true}, kTextDataNotOpened, 7},
      {{true, false, kReplyStorCannotConnect, -1, true}, kTextDataNotOpened, 7},
      {{true, false, kReplyQuotaExceeded, 0, true}, kTextQuotaExceeded, 3},
      {{true, false, kReplyStorAborted, 2, true}, kTextClientAborted, 5},
      {{false, false, kReplyRetrAborted, 19, true}, kTextClientClosedData, 7},
      {{false, false, kReplyRetrAborted, -1, true}, kTextClientClosedData, 7},
      {{false, false, kReplyRetrAborted, 25, true}, kTextPacketTimedOut, 4},
      {{false, false, kReplyRetrAborted, 20, true}, kTextReasonUnknown, 6},
      {{false, false, kReplyRetrAborted, 25, false}, kTextControlClosed, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const RTransferReasonStr r = PickFailureReason(c.f);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.number, c.number);
  }
}

// The unit and precision follow the rate; the reason text closes the bracket.
TEST(TransferSummary, SpeedAndLogLine) {
  SetLanguage(RLanguage::English);
  EXPECT_EQ(SpeedSummary(0, 10, ""), " (0 bytes/sec - 0 bytes)");
  EXPECT_EQ(SpeedSummary(500, 1000, ""), " (500 bytes/sec - 500 bytes)");
  EXPECT_EQ(SpeedSummary(2048, 1000, ""), " (2.00 Kb/sec - 2048 bytes)");
  EXPECT_EQ(SpeedSummary(51200, 1000, ""), " (50.0 Kb/sec - 51200 bytes)");
  EXPECT_EQ(SpeedSummary(5368709120ULL, 1000, ", packet timed out"),
            " (5242880 Kb/sec - 5368709120 bytes, packet timed out)");
  EXPECT_EQ(TransferEndLogLine(false, false, 42, "C:\\Pub\\File.BIN", 1024, 1000, ""),
            "(000042) Sent file c:\\pub\\file.bin successfully (1.00 Kb/sec - 1024 bytes)");
  EXPECT_EQ(TransferEndLogLine(true, true, 7, "C:\\UP\\X", 0, 10, LoadStr(kTextClientClosedData)),
            "(000007) Error receiving file c:\\up\\x, aborting (0 bytes/sec - 0 bytes, client "
            "closed data connection)");
}
