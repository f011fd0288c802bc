// Address texts of both families, v4-mapped folding and prefix matching.
#include <gtest/gtest.h>

#include "platform/RIpAddress.h"

using namespace vantor;

TEST(RIpAddress, ParseAndPrint) {
  struct Case {
    const char* text;
    bool ok;
    const char* shown;
  };
  const Case cases[] = {
      {"127.0.0.1", true, "127.0.0.1"},
      {"255.255.255.255", true, "255.255.255.255"},
      {"::1", true, "::1"},
      {"2001:DB8:0:0:0:0:0:1", true, "2001:db8::1"},
      {"::ffff:192.0.2.7", true, "192.0.2.7"},  // mapped: plain IPv4
      {"::ffff:c000:0207", true, "192.0.2.7"},
      {"1.2.3", false, ""},
      {"1.2.3.4.5", false, ""},
      {"01234.1.1.1", false, ""},
      {"1.2.3.256", false, ""},
      {"1.2.3.4 ", false, ""},
      {"[::1]", false, ""},
      {"fe80::1%lo", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RIpAddrStr a;
    ASSERT_EQ(ParseIpText(c.text, a), c.ok);
    if (c.ok) {
      EXPECT_EQ(IpText(a), c.shown);
    }
  }
  EXPECT_EQ(PlainAddressText("::ffff:10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(PlainAddressText("::1"), "::1");
  EXPECT_EQ(PlainAddressText("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(PlainAddressText("not an address"), "not an address");
}

TEST(RIpAddress, Prefixes) {
  struct Case {
    const char* cidr;
    const char* addr;
    bool inside;
  };
  const Case cases[] = {
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::1", false},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"10.0.1.0/24", "10.0.1.200", true},
      {"10.0.1.0/24", "10.0.2.1", false},
      {"10.0.1.0/24", "::ffff:10.0.1.9", true},  // mapped client, IPv4 prefix
      {"::ffff:10.0.0.0/104", "10.0.0.1", true},
      {"10.0.0.5", "10.0.0.5", true},
      {"10.0.0.5", "10.0.0.6", false},
      {"0.0.0.0/0", "1.2.3.4", true},
      {"0.0.0.0/0", "::1", false},  // families never mix
      {"::/0", "::1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cidr) + " " + c.addr);
    RIpAddrStr p, a;
    int bits = -1;
    ASSERT_TRUE(ParseCidrText(c.cidr, p, bits));
    ASSERT_TRUE(ParseIpText(c.addr, a));
    EXPECT_EQ(InPrefix(a, p, bits), c.inside);
  }
  RIpAddrStr p;
  int bits = 0;
  for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "host/8", "/8"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseCidrText(bad, p, bits));
  }
}
