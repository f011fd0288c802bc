// Address texts of both families, v4-mapped folding, prefix matching and
// the machine's own addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/RIpAddress.h"
#include "platform/RLocalAddrs.h"

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
  for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "host/8", "/8"})
    EXPECT_FALSE(ParseCidrText(bad, p, bits)) << bad;
}

// The IP list file names both families: IPv4 first, then IPv6 without
// link-local addresses, loopback last, cut at the limit.
TEST(LocalAddresses, OrderFamiliesAndLimit) {
  const std::vector<std::string> all = LocalAddresses(150, true);
  auto isLoop = [](const std::string& a) { return a == "::1" || a.rfind("127.", 0) == 0; };
  auto isV6 = [](const std::string& a) { return a.find(':') != std::string::npos; };
  size_t firstLoop = all.size();
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_NE(all[i].rfind("fe80:", 0), 0u) << all[i];
    if (isLoop(all[i]) && firstLoop == all.size()) firstLoop = i;
    if (firstLoop < i) {
      EXPECT_TRUE(isLoop(all[i])) << all[i] << " after a loopback address";
    }
    if (i > 0 && !isLoop(all[i]) && !isV6(all[i])) {
      EXPECT_FALSE(isV6(all[i - 1])) << all[i];
    }
  }
  std::ifstream inet6("/proc/net/if_inet6");
  std::string line;
  bool v6Loopback = false;
  while (std::getline(inet6, line)) v6Loopback |= line.rfind(std::string(31, '0') + "1", 0) == 0;
  EXPECT_EQ(std::count(all.begin(), all.end(), "::1"), v6Loopback ? 1 : 0);

  for (const std::string& a : LocalAddresses(150, false)) EXPECT_FALSE(isV6(a)) << a;
  if (!all.empty()) {
    EXPECT_EQ(LocalAddresses(1, true), std::vector<std::string>{all.front()});
  }
}
