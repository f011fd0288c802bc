#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/RIniFile.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RIPHomes.h"
#include "ftp_fixture.h"

using namespace vantor;

namespace {
using namespace std::string_literals;
}  // namespace

// Reads of at most N characters ending after a line feed; one trailing line
// feed (and CR LF) removed; a line of exactly N characters leaves an empty one.
TEST_F(FtpTest, ReadMessageLinesLikeTextReads) {
  struct Case {
    std::string content;
    size_t maxRead;
    Lines want;
  };
  const Case cases[] = {
      {"a\nb\n", 10, {"a", "b"}},
      {"a\r\nb", 10, {"a", "b"}},
      {"abcdefghij\n", 5, {"abcde", "fghij", ""}},
      {"abcdefg\n", 5, {"abcde", "fg"}},
      {"\n\nx", 5, {"", "", "x"}},
      {"", 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    WriteFile("m.txt", c.content);
    Lines got;
    ASSERT_TRUE(ReadMessageLines(dir_ + "/m.txt", c.maxRead, got));
    EXPECT_EQ(got, c.want);
  }
}

// The [SIGNONOFF] table: -1 entry, home entries, dropped entries.
TEST_F(FtpTest, SignOnOffTable) {
  WriteFile("VANTOR.INI",
            "[IP-HOMES]\nIP1=10.0.0.1\nIP4=10.0.0.4\nIP6=2001:db8::6\n"
            "[SIGNONOFF]\nMessageFiles1=-1|/all-on|/all-off\nMessageFiles2=4|/four-on|\n"
            "MessageFiles3=9|/nine|/nine\nMessageFiles4=1||\nMessageFiles5=1|/one|/one-off\n"
            "MessageFiles6=6|/six-on|\nMessageFiles8=1|/after-gap|\n");
  RIniFile ini(ini_);
  RFTPMessages m;
  m.Load(ini, LoadIPHomes(ini));
  ASSERT_EQ(m.Table().size(), 4u);
  EXPECT_EQ(m.Table()[0].key, "<<All IP homes>>");
  EXPECT_EQ(m.Table()[1].key, "10.0.0.4");
  EXPECT_EQ(m.Table()[2].key, "10.0.0.1");
  EXPECT_EQ(m.Table()[3].key, "2001:db8::6");
  std::string file;
  EXPECT_TRUE(m.Lookup(RSignKind::SignOn, 0, file));
  EXPECT_EQ(file, "/all-on");
  EXPECT_TRUE(m.Lookup(RSignKind::SignOn, 0x0A000004, file));
  EXPECT_EQ(file, "/four-on");
  EXPECT_FALSE(m.Lookup(RSignKind::SignOff, 0x0A000004, file)) << "empty name: nothing";
  EXPECT_TRUE(m.Lookup(RSignKind::SignOff, 0x0A000001, file));
  EXPECT_EQ(file, "/one-off");
  EXPECT_FALSE(m.Lookup(RSignKind::SignOn, 0x0A000009, file));
  // The IPv6 home by its stand-in id (240.0.0.6).
  EXPECT_TRUE(m.Lookup(RSignKind::SignOn, 0xF0000006, file));
  EXPECT_EQ(file, "/six-on");
}

// Sign-on lines are cached for 900 seconds; a home without its own file
// uses the all-homes lines.
TEST_F(FtpTest, SignLinesCache) {
  WriteFile("on.txt", "first\n");
  StartOnline("[SIGNONOFF]\nMessageFiles1=-1|" + dir_ + "/on.txt|\n");
  RFTPSComInterp* s = manager_->CreateDetachedSession("10.1.2.3", 0x0A000005);
  EXPECT_EQ(Replies(s), (Lines{"220-Vantor FTP-Server v2.5k for WinSock ready...", "220 first"}));
  EXPECT_EQ(manager_->Messages().CachedEntries(RSignKind::SignOn), 2u)
      << "a marker for the home and the all-homes entry";
  WriteFile("on.txt", "second\n");
  clock_.Advance(899000);
  EXPECT_EQ(manager_->Messages().GetSignLines(*s, RSignKind::SignOn, 0x0A000005), Lines{"first"});
  clock_.Advance(2000);
  EXPECT_EQ(manager_->Messages().GetSignLines(*s, RSignKind::SignOn, 0x0A000005), Lines{"second"});
}

// With port 21 held (by another copy of these tests or a server of the
// machine) a test's manager still goes on-line, and its sessions are
// greeted instead of turned away with 421.
TEST_F(FtpTest, StartOnlineWithTheDefaultPortHeld) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(21);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EADDRINUSE) {
    close(fd);
    GTEST_SKIP() << "port 21 can neither be bound nor is it held";
  }
  (void)listen(fd, 1);
  StartOnline("");
  close(fd);
  ASSERT_TRUE(manager_->Online());
  RFTPSComInterp* s = manager_->CreateDetachedSession("10.1.2.3", 0x0A000005);
  EXPECT_EQ(Replies(s), Lines{"220 Vantor FTP-Server v2.5k for WinSock ready..."});
}

// Sign-off: the lines with 221 framing, or "221 Goodbye!" without a file.
TEST_F(FtpTest, SignOffFraming) {
  WriteFile("off.txt", "one\ntwo %Name\n");
  StartOnline("[SIGNONOFF]\nMessageFiles1=-1||" + dir_ + "/off.txt\n");
  RFTPSComInterp* s = Detached();
  (void)Send(s, "USER ftp");
  EXPECT_EQ(Send(s, "QUIT"), (Lines{"221-one", "221 two ANONYMOUS"}));
  EXPECT_EQ(s->CommandState(), CS_Closing);
}

// SendText: each LF-separated part, and a non-empty rest, is a line.
TEST_F(FtpTest, SendTextSplitsLines) {
  Start("");
  RFTPSComInterp* s = Detached();
  SendText(*s, "550-no\n550 way %IP\n");
  EXPECT_EQ(Replies(s), (Lines{"550-no", "550 way 10.1.2.3"}));
  SendText(*s, "a\n\nb");
  EXPECT_EQ(Replies(s), (Lines{"a", "", "b"}));
}

// A message file is read whole or skipped with a log line: too large (a
// sparse terabyte costs nothing), too many lines, a NUL byte, not a regular
// file (a FIFO must not block the loop), a directory. Missing: no log line.
TEST_F(FtpTest, ReadMessageLinesBounded) {
  const std::string sparse = dir_ + "/sparse";
  WriteFile("sparse", "x");
  std::filesystem::resize_file(sparse, 1000000000000ULL);
  WriteFile("big", std::string(kMaxMessageBytes, 'a') + "b");
  WriteFile("binary", "hello\n\0world\n"s);
  std::string many;
  for (size_t i = 0; i <= kMaxMessageLines; ++i) many += "l\n";
  WriteFile("many", many);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir_ + "/dir");
  struct Case {
    const char* name;
    const char* log;
  };
  const Case cases[] = {
      {"sparse", "skipped: larger than 65536 bytes"}, {"big", "skipped: larger than 65536 bytes"},
      {"binary", "skipped: not a text file"},         {"many", "skipped: more than 1000 lines"},
      {"fifo", "skipped: not a regular file"},        {"dir", "skipped: not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.lines.clear();
    Lines got{"stale"};
    EXPECT_FALSE(ReadMessageLines(dir_ + "/" + c.name, 159, got));
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(Logged("2 Message file " + dir_ + "/" + c.name + " " + c.log)) << c.log;
  }
  log_.lines.clear();
  Lines none;
  EXPECT_FALSE(ReadMessageLines(dir_ + "/missing", 159, none));
  EXPECT_TRUE(log_.lines.empty()) << "no message here is the ordinary case";
  // Right at the bounds the file is sent.
  many.resize(many.size() - 2);
  WriteFile("many", many);
  Lines at;
  EXPECT_TRUE(ReadMessageLines(dir_ + "/many", 159, at));
  EXPECT_EQ(at.size(), kMaxMessageLines);
  WriteFile("big", std::string(kMaxMessageBytes, 'a'));
  EXPECT_TRUE(ReadMessageLines(dir_ + "/big", 159, at));
  EXPECT_EQ(at.size(), (kMaxMessageBytes + 158) / 159);
}
