#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/RAntiHammer.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RIPHomes.h"
#include "log_capture.h"

using namespace vantor;

// Telnet commands are removed; IAC IAC is one 255; option bytes stay.
TEST(RFTPLine, StripTelnet) {
  struct Case {
    std::string in, want;
  };
  const Case cases[] = {
      {"NOOP", "NOOP"},
      {"\xff\xf4NOOP", "NOOP"},
      {"NO\xff\xf1OP", "NOOP"},
      {"\xff\xff", "\xff"},
      {"A\xff\xff\xf4", "A\xff\xf4"},
      {"\xff\xfd\x01X", "\x01X"},
      {"\xff\xef", "\xff\xef"},
      {"X\xff", "X\xff"},
      {"\xff\xf0\xff\xfe", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(StripTelnet(c.in), c.want) << c.in;
}

// Verbs compare over their own length without regard to case.
TEST(RFTPLine, VerbMatching) {
  EXPECT_TRUE(VerbIs("STORE x", "STOR"));
  EXPECT_TRUE(VerbIs("Stor", "STOR"));
  EXPECT_TRUE(VerbIs("LISTEN", "LIST"));
  EXPECT_TRUE(VerbIs("cwdx", "CWD"));
  EXPECT_FALSE(VerbIs("STO", "STOR"));
  EXPECT_FALSE(VerbIs("XSTOR", "STOR"));
}

// The unknown-verb reply quotes the first word (25) or the line (160).
TEST(RFTPLine, UnknownVerbWord) {
  EXPECT_EQ(UnknownVerbWord("xyz abc"), "XYZ");
  EXPECT_EQ(UnknownVerbWord("xyz\tabc"), "XYZ");
  EXPECT_EQ(UnknownVerbWord(std::string(30, 'a') + " b"), std::string(25, 'A'));
  EXPECT_EQ(UnknownVerbWord(std::string(200, 'q')), std::string(160, 'Q'));
}

// Arguments: after the verb, trimmed, cut to the limit.
TEST(RFTPLine, ArgumentOf) {
  EXPECT_EQ(ArgumentOf("USER  joe \t", 4, 150), "joe");
  EXPECT_EQ(ArgumentOf("USER", 4, 150), "");
  EXPECT_EQ(ArgumentOf("PASS " + std::string(400, 'x'), 4, 352), std::string(352, 'x'));
}

// Four tries within the window are admitted, the fifth blocks the address
// until a purge after the block time; other addresses are not affected. A
// block that starts is logged once per address as a security message; the
// refusals that follow while it lasts are not.
TEST(RAntiHammer, BlockStartLoggedOnce) {
  test::LogCapture log;
  RAntiHammer h;
  h.Configure(30, 4, 300);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(h.Admit("10.0.0.1", 1000 + i));
  EXPECT_TRUE(log.lines.empty());
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(h.Admit("10.0.0.1", 1004 + i));
  EXPECT_EQ(h.AttemptCount(), 0u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(h.Admit("10.0.0.2", 1004)) << "other addresses";
  EXPECT_FALSE(h.Admit("10.0.0.2", 1004));
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{
                "3|Connection from 10.0.0.1 blocked for 300 seconds (anti-hammering: more "
                "than 4 connections within 30 seconds)",
                "3|Connection from 10.0.0.2 blocked for 300 seconds (anti-hammering: more "
                "than 4 connections within 30 seconds)"}));
  h.Purge(1004 + 299);
  EXPECT_FALSE(h.Admit("10.0.0.2", 1004 + 299)) << "still blocked inside the block time";
  h.Purge(1004 + 301);
  EXPECT_TRUE(h.Admit("10.0.0.2", 1004 + 301));
  EXPECT_EQ(log.lines.size(), 2u);
}

// Old attempts leave the window at a purge; values below 1 give defaults.
TEST(RAntiHammer, WindowAndDefaults) {
  RAntiHammer h;
  h.Configure(0, -1, 0);
  EXPECT_EQ(h.WindowSeconds(), 30);
  EXPECT_EQ(h.Tries(), 4);
  EXPECT_EQ(h.BlockSeconds(), 300);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(h.Admit("a", 100));
  h.Purge(130);  // attempts at 100 are not younger than 130 - 30
  EXPECT_EQ(h.AttemptCount(), 0u);
  EXPECT_TRUE(h.Admit("a", 130));
}

// A block the administrator adds lasts its own time, is listed with its
// end, refuses the address meanwhile and can be lifted.
TEST(RAntiHammer, AdministratorBlocks) {
  RAntiHammer h;
  h.Configure(30, 4, 300);
  h.Block("192.0.2.9", 1000, 3600);
  ASSERT_EQ(h.Blocks().size(), 1u);
  EXPECT_EQ(h.Blocks()[0].address, "192.0.2.9");
  EXPECT_EQ(h.Blocks()[0].until, 4600);
  EXPECT_FALSE(h.Admit("192.0.2.9", 1001));
  h.Purge(4600);  // still blocked at its last second
  EXPECT_EQ(h.BlockCount(), 1u);
  h.Purge(4601);
  EXPECT_EQ(h.BlockCount(), 0u);
  EXPECT_TRUE(h.Admit("192.0.2.9", 4601));
  // A shorter block replaces a longer one; lifting it admits at once.
  h.Block("192.0.2.9", 5000, 3600);
  h.Block("192.0.2.9", 5000, 60);
  ASSERT_EQ(h.Blocks().size(), 1u);
  EXPECT_EQ(h.Blocks()[0].until, 5060);
  EXPECT_TRUE(h.Unblock("192.0.2.9"));
  EXPECT_FALSE(h.Unblock("192.0.2.9"));
  EXPECT_TRUE(h.Admit("192.0.2.9", 5001));
}

// IP home values: address (either family), name, passive address; bad
// addresses drop.
TEST(RIPHomes, ParseValues) {
  struct Case {
    const char* value;
    bool ok;
    const char* address;
    const char* name;
    const char* passive;
  };
  const Case cases[] = {
      {"192.168.1.5", true, "192.168.1.5", "", ""},
      {"192.168.1.5, office ", true, "192.168.1.5", "office", ""},
      {"192.168.1.5,,203.0.113.9", true, "192.168.1.5", "", "203.0.113.9"},
      {"192.168.1.5,x,203.0.113.300", true, "192.168.1.5", "x", ""},
      {"192.168.1.256,x", false, "", "", ""},
      {"192.168.1", false, "", "", ""},
      {"a.b.c.d", false, "", "", ""},
      {" 2001:DB8:0:0::7 ,six,203.0.113.9", true, "2001:db8::7", "six", "203.0.113.9"},
      {"::1,six,2001:db8::9", true, "::1", "six", ""},  // 227 announces IPv4 only
      {"::ffff:10.0.0.1", false, "", "", ""},
      {"fe80::1%eth0", false, "", "", ""},
      {"[::1]", false, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    auto h = ParseIPHome(3, c.value);
    ASSERT_EQ(h.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(h->n, 3u);
    EXPECT_EQ(h->addressText, c.address);
    EXPECT_EQ(h->name, c.name);
    EXPECT_EQ(h->passiveText, c.passive);
    EXPECT_EQ(h->v6, std::string_view(c.address).find(':') != std::string_view::npos);
  }
  EXPECT_EQ(ParseIPHome(1, "1.2.3.4")->address, 0x01020304u);
  EXPECT_EQ(ParseIPHome(7, "::1")->address, 0xF0000007u) << "IPv6: 240.0.0.7";
  EXPECT_FALSE(ParseIPHome(0x10000000u, "::1").has_value()) << "key number beyond the id";
  // A local address of any spelling finds its IPv6 home.
  const std::vector<RIPHomeStr> homes = {*ParseIPHome(2, "10.0.0.2"),
                                         *ParseIPHome(5, "2001:db8::5")};
  EXPECT_EQ(HomeIdOfLocal(homes, "2001:0db8:0000::5"), 0xF0000005u);
  EXPECT_EQ(HomeIdOfLocal(homes, "2001:db8::6"), 0u) << "not a home";
  EXPECT_EQ(HomeIdOfLocal(homes, "10.0.0.9"), 0x0A000009u) << "IPv4 as before";
  EXPECT_EQ(HomeIdOfLocal(homes, "garbage"), 0u);
  EXPECT_EQ(ParseIPHome(1, "1.2.3.4," + std::string(80, 'n'))->name.size(), 59u);
}

// Hourly buckets: same hour counts up, a new hour clears the skipped ones.
TEST(ServerStats, HourlyBuckets) {
  ServerStats st;
  CountConnectionHour(st, 5);
  CountConnectionHour(st, 5);
  EXPECT_EQ(st.ConnectionsPerHour[5], 2u);
  st.ConnectionsPerHour[7] = 9;
  st.ConnectionsPerHour[2] = 4;
  CountConnectionHour(st, 8);
  EXPECT_EQ(st.ConnectionsPerHour[7], 0u);
  EXPECT_EQ(st.ConnectionsPerHour[8], 1u);
  EXPECT_EQ(st.ConnectionsPerHour[5], 2u);
  CountConnectionHour(st, 3);  // wraps past midnight
  EXPECT_EQ(st.ConnectionsPerHour[2], 0u);
  EXPECT_EQ(st.ConnectionsPerHour[5], 2u) << "between the new hour and the last: kept";
  EXPECT_EQ(st.ConnectionsPerHour[3], 1u);
  EXPECT_EQ(st.CurrentHourSlot, 3);
  EXPECT_EQ(EngineNow(0), 315550800);
  EXPECT_EQ(EngineNow(5), 5);
}
