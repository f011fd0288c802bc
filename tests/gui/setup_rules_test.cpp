#include <gtest/gtest.h>

#include "gui/RSetupRules.h"
#include "util/RStringTable.h"

using namespace vantor;

// Numbers: digits only, in range; the refusal names the bounds.
TEST(CheckNumber, RangesAndText) {
  SetLanguage(RLanguage::English);
  EXPECT_EQ(CheckNumber("21", 1, 65535), "");
  EXPECT_EQ(CheckNumber("-1", -1, 100000), "");
  EXPECT_EQ(CheckNumber("65536", 1, 65535), "\"65536\" is not a number from 1 to 65535.");
  EXPECT_EQ(CheckNumber("ten", 0, 10), "\"ten\" is not a number from 0 to 10.");
  EXPECT_EQ(CheckNumber("", 0, 10), "\"\" is not a number from 0 to 10.");
  EXPECT_EQ(CheckNumber("1 0", 0, 100), "\"1 0\" is not a number from 0 to 100.");
  EXPECT_EQ(ParseBoundedNumber("9999999999", 0, 10000000000LL), 9999999999LL);
}

// IP access patterns: numeric components, ranges and host name patterns.
TEST(CheckIPPattern, Patterns) {
  SetLanguage(RLanguage::English);
  for (const char* good :
       {"192.168.*.*", "10.0.0.1-50", "10", "*", "*.example.com", "host?.lan", "127.0.0.1", "::1",
        "2001:db8::/32", "2001:DB8::7", "::ffff:10.0.0.0/104"}) {
    SCOPED_TRACE(good);
    EXPECT_EQ(CheckIPPattern(good), "");
  }
  EXPECT_EQ(CheckIPPattern("10.0.0.256"),
            "\"10.0.0.256\": each part must be *, a number from 0 to 255 or a range low-high.");
  for (const char* bad : {"10.0.0.50-1", "1.2.3.4.5", "10..1", "", "10.0.0.1,2", "a b",
                          "2001:db8::/129", "2001:db8::/", "2001:db8:::1", "fe80::1%lo", "1::x"}) {
    SCOPED_TRACE(bad);
    EXPECT_NE(CheckIPPattern(bad), "");
  }
}

// The passive keys of the FTP server page: empty, or a valid range/address.
TEST(CheckPassiveSettings, RangeAndAddress) {
  SetLanguage(RLanguage::English);
  EXPECT_EQ(CheckPassiveSettings("", ""), "");
  EXPECT_EQ(CheckPassiveSettings("50000-50999", "203.0.113.9"), "");
  EXPECT_EQ(CheckPassiveSettings("1000-2000", ""),
            "\"1000-2000\" is not a port range low-high within 1024 to 65535.");
  for (const char* bad : {"60000-50000", "50000", "a-b", "50000-70000"})
    EXPECT_NE(CheckPassiveSettings(bad, ""), "") << bad;
  EXPECT_NE(CheckPassiveSettings("", "ftp.example.com"), "");
  EXPECT_NE(CheckPassiveSettings("", "::1"), "") << "227 can only announce IPv4";
}

// The balancer list: addresses and prefixes of both families, nothing else.
TEST(CheckProxySources, List) {
  SetLanguage(RLanguage::English);
  EXPECT_EQ(CheckProxySources(""), "");
  EXPECT_EQ(CheckProxySources("10.0.0.5, 10.0.1.0/24,2001:db8::/32"), "");
  EXPECT_EQ(CheckProxySources("10.0.0.5,lb.example.com"),
            "\"lb.example.com\" is not an address or prefix (a.b.c.d/n, 2001:db8::/32).");
  EXPECT_NE(CheckProxySources("10.0.0.0/33"), "");
}

// IP homes and their INI value forms.
TEST(IPHome, CheckAndValue) {
  EXPECT_EQ(CheckIPHome("10.0.0.1", "Office", ""), "");
  EXPECT_NE(CheckIPHome("10.0.0.300", "", ""), "");
  EXPECT_NE(CheckIPHome("10.0.0.1", "a,b", ""), "");
  EXPECT_NE(CheckIPHome("10.0.0.1", "", "1.2.3"), "");
  EXPECT_EQ(CheckIPHome("2001:db8::1", "six", "203.0.113.9"), "");
  EXPECT_NE(CheckIPHome("::1", "", "2001:db8::9"), "") << "227 announces IPv4 only";
  for (const char* bad :
       {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4 ", "", "1.2.3.0256",
        "-1.2.3.4", "::ffff:1.2.3.4", "[::1]", " ::1", "fe80::1%eth0"}) {
    SCOPED_TRACE(bad);
    EXPECT_NE(CheckIPHome(bad, "", ""), "");
  }
  EXPECT_EQ(IPHomeValue("10.0.0.1", "", ""), "10.0.0.1");
  EXPECT_EQ(IPHomeValue("10.0.0.1", "Office", ""), "10.0.0.1,Office");
  EXPECT_EQ(IPHomeValue("10.0.0.1", "Office", "1.2.3.4"), "10.0.0.1,Office,1.2.3.4");
  EXPECT_EQ(IPHomeValue("10.0.0.1", "", "1.2.3.4"), "10.0.0.1,,1.2.3.4");
}

// Access rules need a path and a letter; letters come back normalised.
TEST(AccessRule, CheckSplitNormalise) {
  SetLanguage(RLanguage::English);
  EXPECT_EQ(CheckAccessRule("C:\\ftp", "rl"), "");
  EXPECT_EQ(CheckAccessRule("C:\\ftp", "xyz"), "An access rule needs at least one permission.");
  EXPECT_EQ(CheckAccessRule("", "R"), "An access rule needs a path.");
  EXPECT_EQ(NormaliseRuleLetters("lpRwz"), "RWLP");
  EXPECT_EQ(NormaliseRuleLetters("pdclemawr"), "RWAMELCDP");
  const RAccessRuleStr r = SplitAccessRule("C:\\a,b\\c,RL");
  EXPECT_EQ(r.path, "C:\\a,b\\c");
  EXPECT_EQ(r.letters, "RL");
  EXPECT_EQ(SplitAccessRule("nocomma").letters, "");
}

// Names that would break a section header are refused.
TEST(CheckAccountName, Names) {
  EXPECT_EQ(CheckAccountName("joe"), "");
  EXPECT_EQ(CheckAccountName("** Default **"), "");
  for (const char* bad : {"", "a]b", "[x", " joe", "joe ", "a\nb",
                          "12345678901234567890123456789012345678901234567890"}) {
    SCOPED_TRACE(bad);
    EXPECT_NE(CheckAccountName(bad), "");
  }
  EXPECT_NE(CheckPlainValue("a\rb"), "");
  EXPECT_EQ(CheckPlainValue("C:\\ftp"), "");
  EXPECT_EQ(CheckListMask("rwxr-xr--"), "");
  EXPECT_NE(CheckListMask("rwxrwxrw"), "");
  EXPECT_NE(CheckListMask("rwxrwxrwz"), "");
}

// Drive letters are single letters; roots are absolute directories.
TEST(CheckDrive, LettersAndRoots) {
  SetLanguage(RLanguage::English);
  for (const char* good : {"C", "a", "Z"}) EXPECT_EQ(CheckDriveLetter(good), "") << good;
  EXPECT_EQ(CheckDriveLetter("CD"), "\"CD\" is not a drive letter (one letter from A to Z).");
  for (const char* bad : {"", "1", ":", "C:"}) EXPECT_NE(CheckDriveLetter(bad), "") << bad;
  EXPECT_EQ(CheckDriveRoot("/srv/ftp"), "");
  EXPECT_EQ(CheckDriveRoot("ftproot"),
            "\"ftproot\" is not an absolute directory (it must begin with /).");
  EXPECT_NE(CheckDriveRoot(""), "");
  EXPECT_NE(CheckDriveRoot("/srv\nftp"), "");
}
