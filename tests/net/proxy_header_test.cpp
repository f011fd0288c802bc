#include <gtest/gtest.h>

#include <string>

#include "net/RProxyHeader.h"

using namespace vantor;

namespace {

std::string V2(uint8_t verCmd, uint8_t fam, const std::string& body) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(verCmd);
  h += static_cast<char>(fam);
  h += static_cast<char>(body.size() >> 8);
  h += static_cast<char>(body.size() & 0xFF);
  return h + body;
}

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

}  // namespace

// Whole headers of both versions and families give the client's address;
// bytes after the header are not part of it.
TEST(RProxyHeader, WholeHeaders) {
  const std::string v4body =
      Bytes({192, 0, 2, 7, 10, 0, 0, 1, 0xC3, 0x50, 0x00, 0x15});  // 50000 -> 21
  const std::string v6body =
      Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    5,    0,    0,
             0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x04, 0x00, 0x00, 0x15});
  std::string mapped(10, '\0');
  mapped += Bytes({0xFF, 0xFF, 198, 51, 100, 9});
  mapped += mapped + Bytes({0, 1, 0, 21});
  struct Case {
    std::string bytes;
    bool hasAddress;
    const char* client;
    int clientPort;
    size_t length;
  } cases[] = {
      {"PROXY TCP4 192.0.2.7 10.0.0.1 50000 21\r\nUSER x\r\n", true, "192.0.2.7", 50000, 40},
      {"PROXY TCP6 2001:db8::5 ::1 1024 21\r\n", true, "2001:db8::5", 1024, 36},
      {"PROXY TCP6 ::ffff:198.51.100.9 ::1 1 21\r\n", true, "198.51.100.9", 1, 41},
      {"PROXY UNKNOWN\r\n", false, "", 0, 15},
      {"PROXY UNKNOWN ff::1 ff::2 1 2\r\n", false, "", 0, 31},
      {V2(0x21, 0x11, v4body) + "USER", true, "192.0.2.7", 50000, 28},
      {V2(0x21, 0x21, v6body), true, "2001:db8::5", 1024, 52},
      {V2(0x21, 0x21, mapped), true, "198.51.100.9", 1, 52},
      {V2(0x21, 0x11, v4body + Bytes({4, 0, 1, 'x'})), true, "192.0.2.7", 50000, 32},  // a TLV
      {V2(0x20, 0x11, v4body), false, "", 0, 28},                                      // LOCAL
      {V2(0x20, 0x00, ""), false, "", 0, 16},
      {V2(0x21, 0x00, ""), false, "", 0, 16},                      // UNSPEC
      {V2(0x21, 0x31, std::string(216, 'u')), false, "", 0, 232},  // UNIX
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    RProxyHeaderStr h;
    size_t need = 0;
    ASSERT_EQ(ParseProxyHeader(c.bytes, h, need), RProxyParse::Done);
    EXPECT_EQ(h.hasAddress, c.hasAddress);
    EXPECT_EQ(h.clientAddress, c.client);
    EXPECT_EQ(h.clientPort, c.clientPort);
    EXPECT_EQ(h.length, c.length);
  }
}

// Broken headers are refused; every prefix of a good one asks for more and
// never for more than the header still holds (the reader must not take the
// client's own first bytes).
TEST(RProxyHeader, RefusedAndIncomplete) {
  struct Case {
    std::string bytes;
    RProxyParse result;
  } cases[] = {
      {"USER anonymous\r\n", RProxyParse::Malformed},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", RProxyParse::Malformed},      // LF alone
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\r\n", RProxyParse::Malformed},  // CR inside
      {"PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n", RProxyParse::Malformed},   // two blanks
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", RProxyParse::Malformed},
      {"PROXY TCP4 ::1 5.6.7.8 1 2\r\n", RProxyParse::Malformed},
      {"PROXY TCP6 1.2.3.4 ::1 1 2\r\n", RProxyParse::Malformed},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", RProxyParse::Malformed},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 021 2\r\n", RProxyParse::Malformed},
      {"PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n", RProxyParse::Malformed},
      {"PROXY TCP4 1.2.3.4\r\n", RProxyParse::Malformed},
      {"PROXY " + std::string(101, 'A'), RProxyParse::TooLong},
      {"PROXY UNKNOWN " + std::string(92, 'A') + "\r\n", RProxyParse::TooLong},  // 108 bytes
      {V2(0x11, 0x11, std::string(12, 'a')), RProxyParse::Malformed},            // version 1 nibble
      {V2(0x22, 0x11, std::string(12, 'a')), RProxyParse::Malformed},            // command 2
      {V2(0x21, 0x41, std::string(12, 'a')), RProxyParse::Malformed},            // family 4
      {V2(0x21, 0x11, std::string(11, 'a')), RProxyParse::Malformed},            // short addresses
      {V2(0x21, 0x21, std::string(35, 'a')), RProxyParse::Malformed},
      {V2(0x21, 0x11, "").substr(0, 14) + "\xFF\xFF", RProxyParse::TooLong},
      {V2(0x21, 0x11, std::string(kProxyV2MaxBytes - 15, 'a')), RProxyParse::TooLong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    RProxyHeaderStr h;
    size_t need = 0;
    EXPECT_EQ(ParseProxyHeader(c.bytes, h, need), c.result);
  }

  const std::string good[] = {
      "PROXY TCP4 192.0.2.7 10.0.0.1 50000 21\r\n",
      "PROXY UNKNOWN\r\n",
      V2(0x21, 0x11, std::string(12, 'a') + "TLV"),
  };
  for (const std::string& g : good) {
    for (size_t n = 0; n < g.size(); ++n) {
      SCOPED_TRACE(n);
      RProxyHeaderStr h;
      size_t need = 0;
      ASSERT_EQ(ParseProxyHeader(g.substr(0, n), h, need), RProxyParse::Incomplete);
      EXPECT_GE(need, 1u);
      EXPECT_LE(n + need, g.size());
    }
  }
}

// The trusted list takes addresses and prefixes of both families and
// matches an IPv4 peer that a dual-stack socket reports v4-mapped.
TEST(RProxyHeader, SourceList) {
  std::vector<std::string> rejected;
  const auto sources =
      ParseProxySources(" 10.0.0.5, 10.0.1.0/24,,2001:db8::/32 ,bogus,10.0.0.0/33", &rejected);
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_EQ(rejected, (std::vector<std::string>{"bogus", "10.0.0.0/33"}));
  struct Case {
    const char* peer;
    bool listed;
  } cases[] = {
      {"10.0.0.5", true},      {"10.0.0.6", false},
      {"10.0.1.200", true},    {"::ffff:10.0.1.3", true},
      {"2001:db8:1::9", true}, {"2001:db9::1", false},
      {"::1", false},          {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ProxySourceListed(sources, c.peer), c.listed) << c.peer;
  EXPECT_FALSE(ProxySourceListed(ParseProxySources(""), "127.0.0.1"));
}
