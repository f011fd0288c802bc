// The wildcard matcher, directory access rules and IP patterns.
#include <gtest/gtest.h>

#include "accounts/RAccessRules.h"
#include "accounts/RIPRules.h"
#include "accounts/RWildcard.h"
#include "accounts_test_util.h"

namespace vantor {
namespace {

using test::FakeProbe;

TEST(RWildcard, Table) {
  struct Case {
    const char* text;
    const char* pattern;
    bool match;
  } cases[] = {
      {"anything", "*", true},
      {"", "*", true},
      {"noext", "*.*", true},
      {"a.txt", "*.txt", true},
      {"A.TXT", "*.txt", true},
      {"a.txt.bak", "*.txt", false},
      {"abab", "*b", false},  // first occurrence only: "*" eats "a", "b" matched, "ab" left
      {"ab", "*b", true},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {".profile", "?profile", false},  // "?" never takes a leading dot
      {"xprofile", "?profile", true},
      {".profile", "*profile", true},
      {".profile", ".*", true},
      {"abc", "abc*", false},  // the text ends before the pattern's star
      {"abcd", "abc*", true},
      {"readme", "README", true},
      {"read", "readme", false},
      {"a", "**", true},
      {"xyz", "*?z", false},  // "?" after a star takes the very next character
      {"xz", "*?z", true},
      {"", "", true},
      {"a", "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WildcardMatch(c.text, c.pattern), c.match) << std::string(c.text) + " ~ " + c.pattern;
}

enum Expect { NA, GRANT, REFUSE };

RRuleVerdict V(Expect e) {
  return e == NA ? RRuleVerdict::NotApplicable
                 : (e == GRANT ? RRuleVerdict::Granted : RRuleVerdict::Refused);
}

TEST(RAccessRules, SingleRuleTable) {
  FakeProbe probe;
  probe.dirs = {"C:\\ftp", "C:\\ftp\\pub", "C:\\ftp\\sub", "C:\\ftp\\old"};
  struct Case {
    const char* rule;
    uint32_t code;
    const char* path;
    Expect want;
  } cases[] = {
      // Without inherit: the directory itself and the files directly in it.
      {"C:\\ftp,RL", QC_READ_FILE, "C:\\ftp\\a.txt", GRANT},
      {"C:\\ftp,RL", QC_READ_FILE, "C:\\ftp\\sub\\a.txt", NA},
      {"c:\\FTP,rl", QC_READ_FILE, "C:\\ftp\\A.TXT", GRANT},
      {"C:\\ftp,RL", QC_WRITE_FILE, "C:\\ftp\\a.txt", REFUSE},
      // With inherit: everything below, the prefix ending at a backslash.
      {"C:\\ftp,RLP", QC_READ_FILE, "C:\\ftp\\sub\\deeper\\a.txt", GRANT},
      {"C:\\ftp,RLP", QC_READ_FILE, "C:\\ftpx\\a.txt", NA},
      {"C:\\,RP", QC_READ_FILE, "C:\\any\\where\\x", GRANT},
      {"C:\\,RP", QC_READ_FILE, "D:\\any", NA},
      {"\\,RP", QC_READ_FILE, "D:\\any\\x", GRANT},
      // Changing into the parent of a permitted directory.
      {"C:\\ftp\\pub,RL", QC_CHANGE_DIR, "C:\\ftp", GRANT},
      {"C:\\ftp\\pub,RL", QC_CHANGE_DIR, "C:\\", NA},
      {"C:\\ftp\\pub,", QC_CHANGE_DIR, "C:\\ftp", NA},   // no letters
      {"C:\\ftp\\pub,P", QC_CHANGE_DIR, "C:\\ftp", NA},  // inherit needs another letter
      {"C:\\ftp\\pub,LP", QC_CHANGE_DIR, "C:\\ftp", GRANT},
      {"C:\\ftp,X", QC_CHANGE_DIR, "C:\\ftp", REFUSE},  // unknown letters grant nothing
      // File-name patterns anywhere.
      {"*.exe,", QC_READ_FILE, "C:\\ftp\\a.exe", REFUSE},
      {"*.exe,", QC_READ_FILE, "D:\\x\\y\\setup.EXE", REFUSE},
      {"*.exe,", QC_READ_FILE, "C:\\ftp\\a.txt", NA},
      {"index.txt,R", QC_READ_FILE, "C:\\x\\index.txt", GRANT},
      // Paths without drive.
      {"\\pub,RL", QC_READ_FILE, "D:\\pub\\a", GRANT},
      {"\\pub\\*.txt,R", QC_READ_FILE, "E:\\pub\\a.txt", GRANT},
      // Make and remove directory.
      {"C:\\ftp,C", QC_CREATE_DIR, "C:\\ftp\\new", GRANT},
      {"C:\\ftp,C", QC_CREATE_DIR, "C:\\ftp\\a\\new", NA},
      {"C:\\ftp,D", QC_DELETE_DIR, "C:\\ftp\\old", NA},
      {"C:\\ftp\\old,D", QC_DELETE_DIR, "C:\\ftp\\old", GRANT},
      {"C:\\ftp,DP", QC_DELETE_DIR, "C:\\ftp\\old", GRANT},
      {"C:\\new,C", QC_CREATE_DIR, "C:\\new", GRANT},  // a top-level name is judged whole
      // Listing.
      {"C:\\ftp,L", QC_LIST_DIR, "C:\\ftp", GRANT},
      {"C:\\ftp,L", QC_READ_FILE, "C:\\ftp\\a.txt", REFUSE},
      {"C:\\ftp,L", QC_LIST_DIR, "C:\\ftp\\*.txt", GRANT},  // pattern inside the rule dir
      {"C:\\ftp\\pub,R", QC_LIST_DIR, "C:\\ftp", NA},       // other letters, existing dir: go on
      {"C:\\ftp,R", QC_LIST_DIR, "C:\\ftp", NA},
      {"C:\\ftp,R", QC_LIST_DIR, "C:\\ftp\\*.txt", REFUSE},  // not an existing directory
      {"C:\\ftp\\pub,RL", QC_LIST_DIR, "C:\\ftp", GRANT},    // above-rule-dir of a directory
      {"C:\\ftp\\pub,RLP", QC_LIST_DIR, "C:\\ftp", GRANT},
      {"C:\\ftp\\pub,RL", QC_LIST_DIR, "C:\\nope", NA},
      // Wildcard directories.
      {"C:\\*\\pub,R", QC_READ_FILE, "C:\\ftp\\pub\\a", GRANT},
      {"C:\\*\\pub,R", QC_READ_FILE, "C:\\ftp\\pub", GRANT},
      {"C:\\*\\pub,R", QC_READ_FILE, "C:\\ftp\\pub\\x\\a", NA},
      {"C:\\*\\pub,RP", QC_READ_FILE, "C:\\ftp\\pub\\x\\a", GRANT},
      {"C:\\*\\pub,RL", QC_CHANGE_DIR, "C:\\ftp", GRANT},
      {"C:\\*\\pub,RL", QC_READ_FILE, "C:\\ftp\\other\\a", NA},
      // A trailing backslash names the same directory.
      {"C:\\ftp\\,RP", QC_READ_FILE, "C:\\ftp\\a\\b", GRANT},
      // Malformed rules never apply.
      {"C:\\ftp", QC_READ_FILE, "C:\\ftp\\a", NA},
      {",R", QC_READ_FILE, "C:\\ftp\\a", NA},
      {"", QC_READ_FILE, "C:\\ftp\\a", NA},
      {"C:\\ftp,R", 18, "C:\\ftp\\a", NA},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EvaluateAccessRule(c.rule, c.code, c.path, &probe), V(c.want))
        << std::string(c.rule) + " code " + std::to_string(c.code) + " " + c.path;
}

TEST(RAccessRules, LettersGrantTable) {
  struct Case {
    const char* letters;
    uint32_t code;
    bool grant;
  } cases[] = {
      {"W", QC_WRITE_FILE, true},   {"A", QC_WRITE_FILE, true},   {"M", QC_WRITE_FILE, true},
      {"A", QC_APPEND_FILE, true},  {"W", QC_APPEND_FILE, false}, {"M", QC_MODIFY_FILE, true},
      {"A", QC_MODIFY_FILE, false}, {"E", QC_EXEC_PROGRAM, true}, {"L", QC_LIST_DIR, true},
      {"C", QC_CREATE_DIR, true},   {"D", QC_DELETE_DIR, true},   {"P", QC_CHANGE_DIR, false},
      {"e", QC_CHANGE_DIR, true},   {"r", QC_READ_FILE, true},    {"", QC_READ_FILE, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RuleLettersGrant(c.letters, c.code), c.grant)
        << std::string(c.letters) + " " + std::to_string(c.code);
}

TEST(RIPMatcher, NumericPatterns) {
  RIPMatcher ip;
  struct Case {
    const char* pattern;
    const char* address;
    bool match;
  } cases[] = {
      {"10.*.*.*", "10.1.2.3", true},   {"10.*.*.*", "11.1.2.3", false},
      {"192.168", "192.168.7.9", true}, {"192.168", "192.169.0.1", false},
      {"10.0.0.5-9", "10.0.0.7", true}, {"10.0.0.5-9", "10.0.0.10", false},
      {"10.0.0.5-9", "10.0.0.5", true}, {"10.0.0.5-9", "10.0.0.9", true},
      {"*.*.*.*", "1.2.3.4", true},     {"1.2.3.4", "1.2.3.4", true},
      {"1.2.3.4", "1.2.3.5", false},    {"1.2.3.4x", "1.2.3.4", false},
      {"1.2.3-.4", "1.2.3.4", false},   {"", "1.2.3.4", false},
      {"1.2.3.4-", "1.2.3.4", false},   {"1.2.3.4-4", "1.2.3.4", true},
      {"01.2.3.4", "1.2.3.4", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ip.Matches(c.pattern, c.address, ""), c.match)
        << std::string(c.pattern) + " vs " + c.address;
  // "1.2.3.4x" held a letter after its first character.
  EXPECT_TRUE(ip.NameMatchingOn());
  // An empty pattern never matches, not even an unknown (empty) host name.
  EXPECT_FALSE(ip.Matches("", "1.2.3.4", ""));
}

// IPv6 patterns (an address or a prefix), "*" for both families, IPv4
// patterns against v4-mapped clients; hex letters are no host names.
TEST(RIPMatcher, IPv6AndMappedAddresses) {
  RIPMatcher ip;
  struct Case {
    const char* pattern;
    const char* address;
    bool match;
  } cases[] = {
      {"2001:db8::/32", "2001:db8:1::5", true},
      {"2001:db8::/32", "2001:db9::5", false},
      {"2001:DB8::1", "2001:db8::1", true},
      {"2001:db8::1", "2001:db8::2", false},
      {"::1", "::1", true},
      {"::1", "127.0.0.1", false},
      {"*", "2001:db8::1", true},
      {"*", "10.0.0.1", true},
      {"10.*", "::ffff:10.1.2.3", true},
      {"10.0.0.5-9", "::ffff:10.0.0.7", true},
      {"10.*", "::ffff:11.1.2.3", false},
      {"10.*", "10::1", false},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},
      {"2001:db8::/129", "2001:db8::1", false},
      {"2001:db8::/x", "2001:db8::1", false},
      {"2001:db8::/32", "10.0.0.1", false},
      {"fe80::/10", "fe80::1", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ip.Matches(c.pattern, c.address, "host.example"), c.match)
        << std::string(c.pattern) + " vs " + c.address;
  EXPECT_FALSE(ip.NameMatchingOn()) << "the letters of an IPv6 pattern are hex digits";
}

TEST(RIPMatcher, BlanksAroundPatternIgnored) {
  RIPMatcher ip;
  // "IP1=A, 10.*.*.*" is an easy typo; read literally it would refuse every
  // client.
  struct Case {
    const char* pattern;
    const char* address;
    bool match;
  } cases[] = {
      {" 10.*.*.*", "10.1.2.3", true},
      {"10.*.*.* ", "10.1.2.3", true},
      {"\t10.0.0.5-9\t", "10.0.0.7", true},
      {" 10.*.*.*", "11.1.2.3", false},
      {"  ", "1.2.3.4", false},
      {"10. 1.2.3", "10.1.2.3", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ip.Matches(c.pattern, c.address, ""), c.match)
        << std::string("'") + c.pattern + "' vs " + c.address;
  // A blank after the comma in a host-name pattern is no letter at the
  // second character either way; the name still matches.
  EXPECT_TRUE(ip.Matches(" *.example.com ", "10.0.0.1", "ftp.example.com"));
}

}  // namespace
}  // namespace vantor
