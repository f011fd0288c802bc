// Argument rules of PORT, PASV, REST, TYPE, MODE, STRU, ALLO and MDTM.
#include <gtest/gtest.h>

#include <string>

#include "ftp/RFTPSDataArgs.h"
#include "ftp/RFTPSTransferArgs.h"
#include "ftp/RFTPStrings.h"

using namespace vantor;

// PORT needs exactly six numbers 0..255 after a verb of at most five letters.
TEST(TransferArgs, PortParsing) {
  struct Case {
    const char* line;
    bool ok;
    const char* addr;
    int port;
  };
  const Case cases[] = {
      {"PORT 10,0,0,1,4,1", true, "10.0.0.1", 1025},
      {"PORT 127,0,0,1,255,255", true, "127.0.0.1", 65535},
      {"port  1, 2, 3, 4, 0, 21", true, "1.2.3.4", 21},
      {"PORT 10,0,0,1,4,1,9", true, "10.0.0.1", 1025},  // text after the sixth is ignored
      {"PORT 10,0,0,1,4,1 trailing", true, "10.0.0.1", 1025},
      {"PORT 10,0,0,256,4,1", false, "", 0},
      {"PORT 10,0,0,1,4", false, "", 0},
      {"PORT a,b,c,d,e,f", false, "", 0},
      {"PORT 10,0,0,-1,4,1", false, "", 0},
      {"PORT 10 ,0,0,1,4,1", false, "", 0},
      {"PORT", false, "", 0},
      {"PORTXY 1,2,3,4,5,6", false, "", 0},
      {"PORT 99999999999999999999999,0,0,1,4,1", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    RPortArgsStr a;
    a.port = 7;
    ASSERT_EQ(ParsePortLine(c.line, a), c.ok);
    if (c.ok) {
      EXPECT_EQ(a.AddressText(), c.addr);
      EXPECT_EQ(a.port, c.port);
    } else {
      EXPECT_EQ(a.port, 7) << "a refused PORT must change nothing";
    }
  }
}

// With bounce blocking a foreign address is refused: the address becomes the
// peer's and the previous port stays; without it anything goes.
TEST(TransferArgs, PortBounceCheck) {
  RPortArgsStr a;
  ASSERT_TRUE(ParsePortLine("PORT 10,0,0,9,4,1", a));
  RPortDecisionStr d = DecidePort(a, true, "127.0.0.1", 21);
  EXPECT_TRUE(d.bounceRefused);
  EXPECT_EQ(d.dataAddress, "127.0.0.1");
  EXPECT_EQ(d.dataPort, 21);
  d = DecidePort(a, false, "127.0.0.1", 21);
  EXPECT_FALSE(d.bounceRefused);
  EXPECT_EQ(d.dataAddress, "10.0.0.9");
  EXPECT_EQ(d.dataPort, 1025);
  ASSERT_TRUE(ParsePortLine("PORT 127,0,0,1,200,3", a));
  d = DecidePort(a, true, "127.0.0.1", 21);
  EXPECT_FALSE(d.bounceRefused);
  EXPECT_EQ(d.dataPort, 200 * 256 + 3);
}

TEST(TransferArgs, PasvReplyText) {
  std::array<int, 4> q{};
  ASSERT_TRUE(ParseDottedQuad("127.0.0.1", q));
  EXPECT_EQ(PasvReplyText(q, 50001), "227 Entering Passive Mode (127,0,0,1,195,81)");
  EXPECT_FALSE(ParseDottedQuad("localhost", q));
  EXPECT_FALSE(ParseDottedQuad("10.0.1", q));
}

// REST keeps 64-bit offsets; negative restarts at 0; no number is a 501.
TEST(TransferArgs, RestOffsets) {
  EXPECT_EQ(ParseRestLine("REST 100"), 100);
  EXPECT_EQ(ParseRestLine("REST 5368709120"), 5368709120LL);
  EXPECT_EQ(ParseRestLine("REST -5"), 0);
  EXPECT_EQ(ParseRestLine("REST  +7"), 7);
  EXPECT_EQ(ParseRestLine("REST 12abc"), 12);
  EXPECT_FALSE(ParseRestLine("REST").has_value());
  EXPECT_FALSE(ParseRestLine("REST abc").has_value());
}

TEST(TransferArgs, TypeModeStru) {
  struct Case {
    const char* line;
    uint32_t reply;
  };
  const Case types[] = {
      {"TYPE A", kReplyTypeAscii},          {"type a n", kReplyTypeAscii},
      {"TYPE I", kReplyTypeImage},          {"TYPE L 8", kReplyTypeImage},
      {"TYPE L8", kReplyTypeImage},         {"TYPE L 7", kReplyTypeNotImplemented},
      {"TYPE E", kReplyTypeNotImplemented}, {"TYPE", kReplyTypeNotImplemented}};
  for (const Case& c : types) EXPECT_EQ(DecideType(c.line).reply, c.reply) << c.line;
  EXPECT_TRUE(DecideType("TYPE A").ascii);
  EXPECT_FALSE(DecideType("TYPE L 8").ascii);
  EXPECT_FALSE(DecideType("TYPE E").changes);
  EXPECT_EQ(DecideMode("MODE S"), 1024u);
  EXPECT_EQ(DecideMode("MODE B"), 1025u);
  EXPECT_EQ(DecideStru("STRU F"), 1022u);
  EXPECT_EQ(DecideStru("stru r"), 1164u);
  EXPECT_EQ(DecideStru("STRU P"), 1023u);
}

// ALLO: one unsigned number; free space is reported as a full 64-bit count.
TEST(TransferArgs, Allo) {
  EXPECT_EQ(ParseAlloLine("ALLO 1000"), 1000u);
  EXPECT_FALSE(ParseAlloLine("ALLO").has_value());
  EXPECT_FALSE(ParseAlloLine("ALLO -1").has_value());
  EXPECT_FALSE(ParseAlloLine("ALLO x").has_value());
  EXPECT_EQ(AlloReplyText(1000, 10737418240ULL, 'c'),
            "200 Command OK, 10737418240 bytes available on drive C:");
  EXPECT_EQ(AlloReplyText(5000, 4000, 'd'),
            "501 Not enough space, only 4000 bytes available on drive D:");
}

// The set form needs a valid stamp, a blank (or a +/- zone number) and a path.
TEST(TransferArgs, MdtmSetForm) {
  struct Case {
    const char* arg;
    bool set;
    bool utc;
    const char* path;
  };
  const Case cases[] = {
      {"20240101120000 file.txt", true, false, "file.txt"},
      {"20240101120000  spaced name ", true, false, "spaced name"},
      {"20240101120000+60 f", true, true, "f"},
      {"20240101120000-1000 f", true, true, "f"},
      {"20240101120000+1001 f", false, false, "20240101120000+1001 f"},
      {"20240101120000 ", false, false, "20240101120000 "},  // shorter than 16
      {"19790101120000 f", false, false, "19790101120000 f"},
      {"20761231120000 f", false, false, "20761231120000 f"},
      {"20241301120000 f", false, false, "20241301120000 f"},
      {"20240132120000 f", false, false, "20240132120000 f"},
      {"20240101126000 f", false, false, "20240101126000 f"},
      {"20240101990000 f", true, false, "f"},  // the hour is not range-tested
      {"2024010112000x f", false, false, "2024010112000x f"},
      {"file name.txt", false, false, "file name.txt"},
      {"20240101120000x f", false, false, "20240101120000x f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    const RMdtmArgStr a = ParseMdtmArg(c.arg);
    EXPECT_EQ(a.setForm, c.set);
    EXPECT_EQ(a.path, c.path);
    if (c.set) {
      EXPECT_EQ(a.stamp.utc, c.utc);
    }
  }
  const RMdtmArgStr a = ParseMdtmArg("20240229235958 x");
  EXPECT_EQ(a.stamp.year, 2024);
  EXPECT_EQ(a.stamp.month, 2);
  EXPECT_EQ(a.stamp.day, 29);
  EXPECT_EQ(a.stamp.hour, 23);
  EXPECT_EQ(a.stamp.minute, 59);
  EXPECT_EQ(a.stamp.second, 58);
}

// EPRT (RFC 2428): any delimiter of ASCII 33..126, protocol 1 with a strict
// dotted quad, protocol 2 with an IPv6 address, a port 1..65535; unknown
// protocol numbers are told apart from bad syntax (522 against 501).
TEST(TransferArgs, EprtParsing) {
  struct Case {
    const char* arg;
    RNetArgResult result;
    int protocol;
    const char* addr;
    int port;
  };
  const Case cases[] = {
      {"|1|132.235.1.2|6275|", RNetArgResult::Ok, 1, "132.235.1.2", 6275},
      {"|2|1080::8:800:200C:417A|5282|", RNetArgResult::Ok, 2, "1080::8:800:200c:417a", 5282},
      {"!1!127.0.0.1!65535!", RNetArgResult::Ok, 1, "127.0.0.1", 65535},
      {"|2|::1|21|", RNetArgResult::Ok, 2, "::1", 21},
      {"|2|::ffff:10.0.0.1|1025|", RNetArgResult::Ok, 2, "10.0.0.1", 1025},  // mapped: plain v4
      {"|3|1.2.3.4|80|", RNetArgResult::Protocol, 0, "", 0},
      {"|0|1.2.3.4|80|", RNetArgResult::Protocol, 0, "", 0},
      {"|1|::1|80|", RNetArgResult::Syntax, 0, "", 0},
      {"|2|1.2.3.4|80|", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3.256|80|", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3|80|", RNetArgResult::Syntax, 0, "", 0},
      {"|1| 1.2.3.4|80|", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3.4|0|", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3.4|65536|", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3.4|-5|", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3.4|80", RNetArgResult::Syntax, 0, "", 0},
      {"|1|1.2.3.4|80|x", RNetArgResult::Syntax, 0, "", 0},
      {"||1.2.3.4|80|", RNetArgResult::Syntax, 0, "", 0},
      {" 1 1.2.3.4 80 ", RNetArgResult::Syntax, 0, "", 0},
      {"", RNetArgResult::Syntax, 0, "", 0},
      {"|2|fe80::1%eth0|80|", RNetArgResult::Syntax, 0, "", 0},
      {"|2|1:2:3:4:5:6:7:8:9|80|", RNetArgResult::Syntax, 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    REprtArgsStr a;
    ASSERT_EQ(ParseEprtArgument(c.arg, a), c.result);
    if (c.result == RNetArgResult::Ok) {
      EXPECT_EQ(a.protocol, c.protocol);
      EXPECT_EQ(a.address, c.addr);
      EXPECT_EQ(a.port, c.port);
    }
  }
}

// EPSV takes nothing, a protocol number or ALL.
TEST(TransferArgs, EpsvParsing) {
  REpsvArgsStr a;
  ASSERT_EQ(ParseEpsvArgument("", a), RNetArgResult::Ok);
  EXPECT_FALSE(a.all);
  EXPECT_EQ(a.protocol, 0);
  ASSERT_EQ(ParseEpsvArgument("2", a), RNetArgResult::Ok);
  EXPECT_EQ(a.protocol, 2);
  ASSERT_EQ(ParseEpsvArgument("aLl", a), RNetArgResult::Ok);
  EXPECT_TRUE(a.all);
  EXPECT_EQ(ParseEpsvArgument("7", a), RNetArgResult::Protocol);
  EXPECT_EQ(ParseEpsvArgument("ALLX", a), RNetArgResult::Syntax);
  EXPECT_EQ(ParseEpsvArgument("1 2", a), RNetArgResult::Syntax);
  EXPECT_EQ(EpsvReplyText(50001), "229 Entering Extended Passive Mode (|||50001|)");
}

// The bounce rule of EPRT compares the address as the session shows it.
TEST(TransferArgs, EprtBounceCheck) {
  RPortDecisionStr d = DecideDataAddress("::2", 4000, true, "::1", 21);
  EXPECT_TRUE(d.bounceRefused);
  EXPECT_EQ(d.dataAddress, "::1");
  EXPECT_EQ(d.dataPort, 21);
  d = DecideDataAddress("::1", 4000, true, "::1", 21);
  EXPECT_FALSE(d.bounceRefused);
  EXPECT_EQ(d.dataPort, 4000);
}
