// The account store answering queries from a real INI file.
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "accounts/RFTPSSecurity.h"
#include "accounts/RPasswordHash.h"
#include "accounts_test_util.h"
#include "log_capture.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

using test::MakeQuery;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ini_ = dir_.Path() + "/VANTOR.INI"; }

  void Write(const std::string& text) { test::WriteText(ini_, text); }
  // Writes the file and makes the test's store of it.
  RFTPSSecurity& Open(const std::string& text) {
    Write(text);
    return store_.emplace(ini_, &clock_);
  }

  AccessQuery Ask(RFTPSSecurity& s, uint32_t code, std::string_view user, std::string_view aux = {},
                  uint32_t address = 0, uint32_t session = 1) {
    AccessQuery q = MakeQuery(code, user, aux, address, session);
    s.Answer(q);
    return q;
  }
  AccessQuery AskIP(RFTPSSecurity& s, uint32_t code, std::string_view user,
                    std::string_view address, std::string_view host = {}) {
    AccessQuery q = MakeQuery(code, user);
    SetQueryAux2(q, address, host);
    s.Answer(q);
    return q;
  }
  // The flag and the no-rule marker of an address query.
  using IPVerdict = std::pair<uint32_t, bool>;
  IPVerdict Verdict(RFTPSSecurity& s, uint32_t code, std::string_view user,
                    std::string_view address) {
    AccessQuery q = AskIP(s, code, user, address);
    return {q.flag, QueryNoRule(q)};
  }
  // The flags of `code` asked for each user and aux text of `pairs`, one
  // digit each.
  std::string Flags(RFTPSSecurity& s, uint32_t code, std::vector<std::string> pairs) {
    std::string out;
    for (size_t i = 0; i + 1 < pairs.size(); i += 2)
      out += std::to_string(+Ask(s, code, pairs[i], pairs[i + 1]).flag);
    return out;
  }
  std::string Value(const std::string& section, const std::string& key) {
    RIniFile f(ini_);
    return f.GetString(section, key);
  }

  test::TempDir dir_;
  std::string ini_;
  RManualClock clock_{1000000, 1780000000};
  std::optional<RFTPSSecurity> store_;
};

// An empty value inherits; the anonymous account never does.
TEST_F(StoreTest, InheritedLookup) {
  RFTPSSecurity& s = Open(
      "[USER=** Default **]\nHomeDir=C:\\default\nSpeedLimit=100\nTimeOut=5\n"
      "[GROUP=staff]\nHomeDir=C:\\staff\nTimeOut=7\n"
      "[USER=joe]\nGroup=staff\nHomeDir=\n"
      "[USER=ann]\nHomeDir=C:\\ann\n"
      "[USER=anonymous]\nTimeOut=9\n");
  struct Case {
    const char* user;
    uint32_t code;
    uint32_t flag;
    const char* aux;
  } cases[] = {
      {"joe", QC_HOME_DIR, 1, "C:\\staff"},  // empty own value: the group's
      {"JOE", QC_TIME_OUT, 1, "7"},          // section names ignore case
      {"joe", QC_SPEED_LIMIT, 1, "100"},     // neither user nor group: default
      {"ann", QC_HOME_DIR, 1, "C:\\ann"},
      {"ann", QC_TIME_OUT, 1, "5"},
      {"anonymous", QC_HOME_DIR, 0, ""},  // default user is not consulted
      {"Anonymous", QC_TIME_OUT, 1, "9"},
      {"anonymous", QC_SPEED_LIMIT, 0, ""},
      {"nobody", QC_HOME_DIR, 1, "C:\\default"},  // no section: default user still applies
      {"joe", QC_LOGIN_MES_FILE, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " code " + std::to_string(c.code));
    AccessQuery q = Ask(s, c.code, c.user);
    EXPECT_EQ(+q.flag, c.flag);
    if (c.flag) {
      EXPECT_EQ(QueryAux(q), c.aux);
    }
  }
}

TEST_F(StoreTest, BoolAnswers) {
  RFTPSSecurity& s =
      Open("[USER=a]\nHideHidden=yes\nRelPaths=enabled\nQuotaEnable=ON\nOneLoginPerIP=0\n");
  AccessQuery q = Ask(s, QC_HIDE_HIDDEN, "a");
  EXPECT_EQ(+q.flag, 1u);
  EXPECT_EQ(q.aux[0], 1);
  EXPECT_EQ(q.aux[1], 0);
  q = Ask(s, QC_REL_PATHS, "a", "garbage");
  EXPECT_EQ(+q.flag, 1u);  // found, but "enabled" is not a true word
  EXPECT_EQ(q.aux[0], 0);
  EXPECT_EQ(q.aux[1], 0);
  EXPECT_EQ(Ask(s, QC_QUOTA_ENABLED, "a").aux[0], 1);
  EXPECT_EQ(Ask(s, QC_ONE_LOGIN_PER_IP, "a").aux[0], 0);
  EXPECT_EQ(+Ask(s, QC_ALWAYS_LOGIN, "a").flag, 0u);
}

TEST_F(StoreTest, AnonymousDisabledHasNoHome) {
  RFTPSSecurity& s = Open("[USER=anonymous]\nEnable=no\nHomeDir=C:\\pub\n");
  EXPECT_EQ(+Ask(s, QC_HOME_DIR, "anonymous").flag, 0u);
  Write("[USER=anonymous]\nEnable=yes\nHomeDir=C:\\pub\n");
  EXPECT_EQ(QueryAux(Ask(s, QC_HOME_DIR, "anonymous")), "C:\\pub");
}

TEST_F(StoreTest, IPHomeSpecificAccount) {
  const uint32_t home2 = (10u << 24) | 2;
  RFTPSSecurity& s = Open(
      "[IP-HOMES]\nIP1=10.0.0.1\nIP2=10.0.0.2,second home\nIP3=2001:db8::3,six\n"
      "[GROUP=g]\nSpeedLimit=55\n"
      "[USER=joe]\nHomeDir=C:\\one\nMaxNrUsers=3\n"
      "[USER=joe@2]\nHomeDir=C:\\two\nGroup=g\nMaxNrUsers=4\n"
      "[USER=joe@3]\nHomeDir=C:\\three\nMaxNrUsers=1\n");
  AccessQuery q = Ask(s, QC_HOME_DIR, "joe", {}, home2);
  EXPECT_EQ(QueryAux(q), "C:\\two");
  EXPECT_EQ(QueryUser(q), "joe");  // the suffix is gone again after the answer
  EXPECT_EQ(QueryAux(Ask(s, QC_SPEED_LIMIT, "joe", {}, home2)), "55");
  q = Ask(s, QC_MAX_USERS, "joe", {}, home2);
  EXPECT_EQ(QueryAux(q), "4");
  EXPECT_EQ(+q.address, home2);  // counted on this home only
  // On the other home the plain account answers and the limit is global.
  q = Ask(s, QC_MAX_USERS, "joe", {}, (10u << 24) | 1);
  EXPECT_EQ(QueryAux(q), "3");
  EXPECT_EQ(+q.address, 0u);
  // The IPv6 home IP3 by its stand-in id 240.0.0.3.
  const uint32_t home3 = 0xF0000003u;
  EXPECT_EQ(QueryAux(Ask(s, QC_HOME_DIR, "joe", {}, home3)), "C:\\three");
  q = Ask(s, QC_MAX_USERS, "joe", {}, home3);
  EXPECT_EQ(QueryAux(q), "1");
  EXPECT_EQ(+q.address, home3);

  // USER=joe@2 without keys: the plain account is used.
  Write("[IP-HOMES]\nIP2=10.0.0.2\n[USER=joe]\nHomeDir=C:\\one\nMaxNrUsers=3\n[USER=joe@2]\n");
  RFTPSSecurity s2(ini_, &clock_);
  EXPECT_EQ(QueryAux(Ask(s2, QC_HOME_DIR, "joe", {}, home2)), "C:\\one");
  q = Ask(s2, QC_MAX_USERS, "joe", {}, home2);
  EXPECT_EQ(QueryAux(q), "3");
  EXPECT_EQ(+q.address, 0u);
}

TEST_F(StoreTest, SecurityOffAndNoStore) {
  AccessQuery q = MakeQuery(QC_PASSWORD, "joe", "wrong");
  HandleAccessQueryMessage(nullptr, false, q);
  EXPECT_EQ(+q.flag, 1u);
  EXPECT_EQ(QueryAux(q), "wrong");
  q = MakeQuery(QC_READ_FILE, "joe", "C:\\x");
  q.flag = 7;
  HandleAccessQueryMessage(nullptr, true, q);
  EXPECT_EQ(+q.flag, 0u);
}

TEST_F(StoreTest, DirectoryRulesThroughTheStore) {
  RFTPSSecurity& s = Open(
      "[USER=** Default **]\nAccess1=C:\\,RLP\n"
      "[GROUP=g]\nAccess1=C:\\group,RWLP\n"
      "[USER=joe]\nGroup=g\nAccess1=*.exe,\nAccess2=C:\\ftp,RWLP\nAccess3=C:\\ftp\\private,P\n"
      "Access5=C:\\skipped,RWP\nAccess999999=C:\\,RWP\n"
      "[USER=anonymous]\nAccess1=C:\\pub,RL\n");
  struct Case {
    const char* user;
    uint32_t code;
    const char* path;
    uint32_t flag;
  } cases[] = {
      {"joe", QC_READ_FILE, "C:\\ftp\\private\\x.txt", 1},  // key 2 decides before key 3
      {"joe", QC_READ_FILE, "C:\\ftp\\setup.exe", 0},       // key 1 refuses first
      {"joe", QC_WRITE_FILE, "C:\\group\\a", 1},            // group rule
      {"joe", QC_WRITE_FILE, "C:\\other\\a", 0},            // default grants read only
      {"joe", QC_READ_FILE, "C:\\other\\a", 1},
      {"joe", QC_WRITE_FILE, "C:\\skipped\\a", 0},  // Access4 missing ends the list
      {"joe", QC_READ_FILE, "C:", 0},               // shorter than 3 characters
      {"anonymous", QC_READ_FILE, "C:\\pub\\a", 1},
      {"anonymous", QC_READ_FILE, "C:\\other\\a", 0},  // default user not consulted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " " + std::to_string(c.code) + " " + c.path);
    EXPECT_EQ(+Ask(s, c.code, c.user, c.path).flag, c.flag);
    EXPECT_EQ(s.RulesAllow(c.user, c.code, c.path), c.flag == 1);
    // The rules a worker takes along judge alike, without the store.
    EXPECT_EQ(s.ListRules(c.user, 0)->Allows(c.code, c.path), c.flag == 1);
  }
  // Taken rules stay as they were when taken; the "@N" account of the IP
  // home is the one taken.
  std::shared_ptr<const RListRules> taken = s.ListRules("joe", 0);
  Write(
      "[IP-HOMES]\nIP2=10.0.0.2\n[USER=joe]\nAccess1=C:\\ftp,R\n[USER=joe@2]\nAccess1=C:\\two,L\n");
  SetSecurityReloadFlag();
  EXPECT_FALSE(s.ListRules("joe", 0)->Allows(QC_LIST_DIR, "C:\\ftp\\a"));
  EXPECT_TRUE(taken->Allows(QC_LIST_DIR, "C:\\ftp\\a"));
  std::shared_ptr<const RListRules> home2 = s.ListRules("joe", (10u << 24) | 2);
  EXPECT_TRUE(home2->Allows(QC_LIST_DIR, "C:\\two\\a"));
  EXPECT_FALSE(home2->Allows(QC_LIST_DIR, "C:\\ftp\\a"));
  EXPECT_FALSE(home2->RefusalsNeedLibraries());
}

// Rule paths, home directories and free files may be written in POSIX form.
TEST_F(StoreTest, PosixFormPaths) {
  RFTPSSecurity& s = Open("[DRIVES]\nC=/\nD=" + dir_.Path() +
                          "\n"
                          "[RATIOS]\nFree1=" +
                          dir_.Path() + "/free/*.txt\n" + "[USER=joe]\nHomeDir=" + dir_.Path() +
                          "/home\nAccess1=" + dir_.Path() + "/pub,RL\n");
  EXPECT_EQ(QueryAux(Ask(s, QC_HOME_DIR, "joe")), "D:\\home");
  EXPECT_EQ(Flags(s, QC_READ_FILE, {"joe", "D:\\pub\\a.txt", "joe", "D:\\other\\a.txt"}), "10");
  EXPECT_EQ(+Ask(s, QC_RATIO_FREE, "joe", "D:\\free\\a.txt").flag, 1u);
}

TEST_F(StoreTest, ListingUsesTheProbe) {
  RFTPSSecurity& s = Open("[USER=joe]\nAccess1=C:\\ftp\\pub,R\nAccess2=C:\\ftp,L\n");
  test::FakeProbe probe;
  probe.dirs = {"C:\\ftp\\pub"};
  s.SetPathProbe(&probe);
  // C:\ftp\pub exists: rule 1 (no L) steps aside, rule 2 lets the parent list it.
  EXPECT_EQ(+Ask(s, QC_LIST_DIR, "joe", "C:\\ftp\\pub").flag, 1u);
  EXPECT_TRUE(s.ListRules("joe", 0)->Allows(QC_LIST_DIR, "C:\\ftp\\pub"));
  probe.dirs.clear();
  EXPECT_EQ(+Ask(s, QC_LIST_DIR, "joe", "C:\\ftp\\pub").flag, 0u);
  EXPECT_FALSE(s.ListRules("joe", 0)->Allows(QC_LIST_DIR, "C:\\ftp\\pub"));
}

// Server rules in order, a broken one skipped; a blank after the comma is a
// typo, not a pattern that refuses every client (was IPRuleBlanksAroundPattern).
// The rules are cached until the reload flag (was ServerRulesCachedUntilReload).
TEST_F(StoreTest, ServerIPRules) {
  RFTPSSecurity empty(ini_, &clock_);
  EXPECT_EQ(Verdict(empty, QC_IP_ACCESS, "", "1.2.3.4"), (IPVerdict{1, true}));

  RFTPSSecurity& s = Open("[IP-ACCESS]\nIP1=D, 10.*.*.* \nIP2=bogus\nIP3=A,\t*.*.*.*\n");
  EXPECT_EQ(s.ServerIPRules().size(), 2u);
  EXPECT_EQ(Verdict(s, QC_IP_ACCESS, "", "10.1.2.3"), (IPVerdict{0, false}));
  EXPECT_EQ(+AskIP(s, QC_IP_ACCESS, "", "11.1.2.3").flag, 1u);

  Write("[IP-ACCESS]\nIP1=A,192.168\n");
  EXPECT_EQ(+AskIP(s, QC_IP_ACCESS, "", "10.1.2.3").flag, 0u);  // still the old rules
  SetSecurityReloadFlag();
  EXPECT_EQ(+AskIP(s, QC_IP_ACCESS, "", "192.168.5.6").flag, 1u);
  EXPECT_EQ(+AskIP(s, QC_IP_ACCESS, "", "192.169.5.6").flag, 0u);
  EXPECT_FALSE(SecurityReloadFlag());
}

TEST_F(StoreTest, AccountIPRules) {
  RFTPSSecurity& s = Open(
      "[USER=** Default **]\nIP1=A,*.*.*.*\n"
      "[USER=joe]\nIP1=A,10.*.*.*\n"
      "[USER=bad]\nIP1=D, 11.*.*.* \n"
      "[USER=anonymous]\nIP1=A,10.*.*.*\n"
      "[GROUP=g]\nIP1=D,12.*\n[USER=member]\nGroup=g\n");
  struct Case {
    const char* user;
    const char* address;
    uint32_t flag;
    bool noRule;
  } cases[] = {
      {"joe", "11.0.0.1", 1, false},  // default user's rule matches
      {"bad", "11.0.0.1", 0, false},  // own deny decides first, blanks and all
      {"bad", "12.0.0.1", 1, false},       {"anonymous", "10.0.0.1", 1, false},
      {"anonymous", "11.0.0.1", 0, false},  // default user never consulted
      {"member", "12.0.0.9", 0, false},     // group before default
      {"member", "13.0.0.9", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " " + c.address);
    AccessQuery q = AskIP(s, QC_IP_ACCESS, c.user, c.address);
    EXPECT_EQ(+q.flag, c.flag);
    EXPECT_EQ(QueryNoRule(q), c.noRule);
  }
  Write("[USER=anonymous]\n[USER=joe]\nIP1=A,10.*\n");
  EXPECT_EQ(Verdict(s, QC_IP_ACCESS, "anonymous", "11.0.0.1"), (IPVerdict{1, true}));
  EXPECT_EQ(Verdict(s, QC_IP_ACCESS, "joe", "11.0.0.1"),
            (IPVerdict{0, false}));  // a rule was seen: refused
}

// A rule naming a host turns on the name matching of the store that
// matched it, and of no other store.
TEST_F(StoreTest, HostNamePatterns) {
  RFTPSSecurity& s = Open("[IP-ACCESS]\nIP1=A,*.trusted.example\nIP2=D,*.*.*.*\n");
  RFTPSSecurity other(ini_, &clock_);
  EXPECT_FALSE(s.IPNameMatchingOn());
  EXPECT_EQ(+AskIP(s, QC_IP_ACCESS, "", "1.2.3.4", "ftp.trusted.example").flag, 1u);
  EXPECT_TRUE(s.IPNameMatchingOn());
  EXPECT_FALSE(other.IPNameMatchingOn());
  EXPECT_EQ(+AskIP(s, QC_IP_ACCESS, "", "1.2.3.4", "ftp.other.example").flag, 0u);
}

TEST_F(StoreTest, NoLogList) {
  RFTPSSecurity none(ini_, &clock_);
  EXPECT_EQ(Verdict(none, QC_LOG_CLIENT_IP, "", "1.2.3.4"), (IPVerdict{1, true}));
  RFTPSSecurity& s = Open("[GLOBAL]\nLogIPDontLog= 127.0.0.1 ,\t10.*  ,\n");
  EXPECT_EQ(s.NoLogList().size(), 2u);
  EXPECT_EQ(+AskIP(s, QC_LOG_CLIENT_IP, "", "127.0.0.1").flag, 0u);
  EXPECT_EQ(+AskIP(s, QC_LOG_CLIENT_IP, "", "10.9.9.9").flag, 0u);
  EXPECT_EQ(Verdict(s, QC_LOG_CLIENT_IP, "", "11.0.0.1"), (IPVerdict{1, false}));
}

TEST_F(StoreTest, RegularPasswords) {
  std::string h1 = Crypt("secret", "ab");
  std::string h2 = Crypt("secret", "zq");
  ASSERT_NE(h1, h2);
  RFTPSSecurity& s = Open(
      "[GLOBAL]\nEncryptPasswords=no\n[USER=** Default **]\nPassword=fromdefault\n"
      "[USER=plain]\nPassword=Secret\n[USER=open]\nPassword=\n[USER=off]\nPassword=x\n"
      "Enable=no\n[USER=inherits]\n");
  struct Case {
    const char* user;
    const char* given;
    uint32_t flag;
  } plain[] = {
      {"plain", "Secret", 1},   {"plain", "secret", 0},  // exact comparison
      {"open", "anything", 1},  {"open", "", 1},         // empty own value beats default
      {"off", "x", 0},          {"inherits", "fromdefault", 1},
      {"inherits", "other", 0},
  };
  for (const auto& c : plain)
    EXPECT_EQ(+Ask(s, QC_PASSWORD, c.user, c.given).flag, c.flag)
        << std::string(c.user) + " / " + c.given;
  Write("[USER=e1]\nPassword=" + h1 + "\n[USER=e2]\nPassword=" + h2 + "\n[USER=none]\n");
  // The hash itself is not a password; "none" has no Password anywhere.
  EXPECT_EQ(
      Flags(s, QC_PASSWORD, {"e1", "secret", "e2", "secret", "e1", "Secret", "e1", h1, "none", ""}),
      "11000");
  // A change through another object of the file (a set-up dialog's) is
  // taken at the next query, not the section the store had read before.
  ASSERT_TRUE(RIniFile(ini_).WriteString("USER=e1", "Password", Crypt("other", "cd")));
  EXPECT_EQ(Flags(s, QC_PASSWORD, {"e1", "secret", "e1", "other"}), "01");
}

// Hashes of the system's tools log in; a stored value that is no hash is
// refused and logged once per account with its name, never the password.
TEST_F(StoreTest, SystemHashesAndUncheckableValues) {
  RFTPSSecurity& s = Open(
      "[USER=sha]\nPassword=$6$saltsalt$cc1KsgmlKYtCcnNH8.sv7Fe8mca8fAso5fHlNrb1VZa5WYQ.L3ChTcx06"
      "ID.LoaXZAf9CZNraK43XCp7LxKHl1\n"
      "[USER=yes]\nPassword=$y$j9T$F5Jx5fExrKuJdaLgkwODd.$c56XYHYZnJIPaH/RbQIX2B.LqN.Ufb644Sx1b."
      "Xrx11\n"
      "[USER=plain]\nPassword=hunter2\n[USER=cut]\nPassword=$6$saltsalt\n");
  test::LogCapture log;
  EXPECT_EQ(Flags(s, QC_PASSWORD, {"sha", "pass word", "sha", "pass", "yes", "secret"}), "101");
  EXPECT_EQ(+Ask(s, QC_VERIFY_PASSWORD, "yes", "secret").flag, 1u);
  EXPECT_TRUE(log.lines.empty());

  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Flags(s, QC_PASSWORD, {"plain", "hunter2", "cut", "x"}), "00");
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{
                "3|Login of user plain refused: its stored password is not a hash this server "
                "can check",
                "3|Login of user cut refused: its stored password is not a hash this server can "
                "check"}));
}

TEST_F(StoreTest, AnonymousPasswordCheck) {
  RFTPSSecurity& s = Open("[GLOBAL]\nCheckAnonPass=yes\n[USER=anonymous]\nPassword=ignored\n");
  struct Case {
    const char* given;
    uint32_t flag;
  } cases[] = {
      {"a@b.cd", 0},                                  // six characters
      {"joe@host.org", 1}, {"@host.example.org", 0},  // "@" first
      {"joehost.org", 0},  {"joe@hostorg", 0},       {"me@x.y.z", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(+Ask(s, QC_PASSWORD, "anonymous", c.given).flag, c.flag) << c.given;
  Write("[USER=anonymous]\nPassword=ignored\n");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "anonymous", "x").flag, 1u);
}

TEST_F(StoreTest, VerifyAndChangePassword) {
  RFTPSSecurity& s =
      Open("[USER=joe]\nPassword=" + Crypt("old", "ab") +
           "\nChangePassword=yes\n[USER=fixed]\nPassword=x\n[USER=empty]\nPassword=\n"
           "ChangePassword=yes\n");
  EXPECT_EQ(Flags(s, QC_VERIFY_PASSWORD,
                  {"joe", "old", "joe", "new", "empty", "", "empty", "x", "anonymous", ""}),
            "10100");
  // "fixed" has no ChangePassword; an empty new password is refused.
  EXPECT_EQ(Flags(s, QC_CHANGE_PASSWORD, {"fixed", "new", "joe", ""}), "00");
  // New hashes are yescrypt by default.
  AccessQuery q = Ask(s, QC_CHANGE_PASSWORD, "joe", "new");
  ASSERT_EQ(+q.flag, 1u);
  std::string stored(QueryAux(q));
  EXPECT_EQ(stored.rfind("$y$", 0), 0u);
  EXPECT_EQ(Value("USER=joe", "Password"), stored);
  EXPECT_EQ(Flags(s, QC_PASSWORD, {"joe", "new", "joe", "old"}), "10");
  EXPECT_EQ(+Ask(s, QC_VERIFY_PASSWORD, "joe", "new").flag, 1u);

  // PasswordHash=des keeps the old form for programs that read the file too.
  Write("[GLOBAL]\nPasswordHash=DES\n[USER=joe]\nPassword=" + stored + "\nChangePassword=1\n");
  q = Ask(s, QC_CHANGE_PASSWORD, "joe", "newer");
  ASSERT_EQ(+q.flag, 1u);
  stored = QueryAux(q);
  ASSERT_EQ(stored.size(), 13u);
  EXPECT_TRUE(IsDesHash(stored));
  EXPECT_EQ(Value("USER=joe", "Password"), stored);
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "joe", "newer").flag, 1u);

  Write("[GLOBAL]\nEncryptPasswords=off\n[USER=joe]\nPassword=old\nChangePassword=1\n");
  EXPECT_EQ(QueryAux(Ask(s, QC_CHANGE_PASSWORD, "joe", "plain2")), "plain2");
  EXPECT_EQ(Value("USER=joe", "Password"), "plain2");
}

// DES salts must not follow from the clock: at one frozen instant, repeated
// changes still draw different salts (the clock-seeded generator gave the
// same one every time), and every hash still verifies.
TEST_F(StoreTest, ChangePasswordSaltsUnpredictable) {
  std::set<std::string> salts;
  for (int i = 0; i < 12; ++i) {
    Write("[GLOBAL]\nPasswordHash=des\n[USER=joe]\nPassword=x\nChangePassword=yes\n");
    RFTPSSecurity s(ini_, &clock_);
    AccessQuery q = Ask(s, QC_CHANGE_PASSWORD, "joe", "secret");
    ASSERT_EQ(+q.flag, 1u);
    const std::string stored(QueryAux(q));
    ASSERT_EQ(stored.size(), 13u);
    EXPECT_TRUE(islower(static_cast<unsigned char>(stored[0])));
    EXPECT_TRUE(islower(static_cast<unsigned char>(stored[1])));
    EXPECT_EQ(stored, Crypt("secret", stored.substr(0, 2)));
    EXPECT_EQ(+Ask(s, QC_PASSWORD, "joe", "secret").flag, 1u);
    salts.insert(stored.substr(0, 2));
  }
  // Twelve draws from 676 salts all equal by chance: about 1 in 10^31.
  EXPECT_GT(salts.size(), 1u);
}

class SKeyStoreTest : public StoreTest {
 protected:
  // The seed from "331 Response to otp-md5 999 SEED required for skey.".
  static std::string SeedOf(std::string_view reply, uint32_t* sequence = nullptr) {
    std::string r(reply);
    size_t a = r.find("otp-md");
    size_t sp1 = r.find(' ', a);
    size_t sp2 = r.find(' ', sp1 + 1);
    size_t sp3 = r.find(' ', sp2 + 1);
    if (sequence) *sequence = static_cast<uint32_t>(std::stoul(r.substr(sp1 + 1, sp2 - sp1 - 1)));
    return r.substr(sp2 + 1, sp3 - sp2 - 1);
  }
  static std::string Response(const std::string& seed, uint32_t n) {
    return SKeyToWords(*SKeyCompute(SKEY_MD5, seed, "my pass phrase", n));
  }
};

// A challenge belongs to the session that asked for it: another session's
// USER neither locks the account (for however long) nor voids it; each gets
// its own, and whoever answers the sequence first uses it up.
TEST_F(SKeyStoreTest, ChallengeBelongsToItsSession) {
  RFTPSSecurity& s = Open(
      "[GLOBAL]\nEncryptPasswords=no\n[USER=otp]\nPasswordType=OTP S/KEY MD5\n"
      "Password=my pass phrase\n");
  AccessQuery q = Ask(s, QC_PASS_CHALLENGE, "otp", {}, 0, 1);
  ASSERT_EQ(+q.flag, 1u);
  uint32_t seq = 0;
  std::string seed = SeedOf(QueryAux(q), &seq);
  EXPECT_EQ(seq, 999u);
  EXPECT_EQ(QueryAux(q), "331 Response to otp-md5 999 " + seed + " required for skey.");

  // A stranger asks at once, and again after the stranger left: its own
  // challenge every time, and the owner's still stands.
  for (uint32_t stranger : {2u, 3u}) {
    SCOPED_TRACE(stranger);
    q = Ask(s, QC_PASS_CHALLENGE, "otp", {}, 0, stranger);
    EXPECT_EQ(QueryAux(q), "331 Response to otp-md5 999 " + seed + " required for skey.");
    Ask(s, QC_CLOSE, "otp", {}, 0, stranger);
  }
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999), 0, 3).flag, 0u)
      << "a closed session's challenge is gone";
  std::string before = Value("USER=otp", "SKEYValues");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999), 0, 9).flag, 0u)
      << "no challenge asked";
  EXPECT_EQ(Value("USER=otp", "SKEYValues"), before);  // untouched
  q = Ask(s, QC_PASS_CHALLENGE, "otp", {}, 0, 2);
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999), 0, 1).flag, 1u);
  EXPECT_EQ(
      Value("USER=otp", "SKEYValues"),
      "0 0 " + SKeyToHex(*SKeyCompute(SKEY_MD5, seed, "my pass phrase", 999)) + " 998 " + seed);
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999), 0, 2).flag, 0u)
      << "the same sequence answered twice";

  // The next challenge shows 998 with the same seed; a wrong answer only
  // clears the challenge.
  q = Ask(s, QC_PASS_CHALLENGE, "otp", {}, 0, 3);
  EXPECT_EQ(QueryAux(q), "331 Response to otp-md5 998 " + seed + " required for skey.");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999), 0, 3).flag, 0u);  // replay
  auto rec = ParseSKeyValues(Value("USER=otp", "SKEYValues"));
  ASSERT_TRUE(rec.has_value());
  EXPECT_EQ(rec->time, 0u);
  EXPECT_EQ(rec->session, 0u);
  EXPECT_EQ(rec->sequence, 998u);
  // Hex answers are accepted too.
  Ask(s, QC_PASS_CHALLENGE, "otp", {}, 0, 4);
  std::string hex = SKeyToHex(*SKeyCompute(SKEY_MD5, seed, "my pass phrase", 998));
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", hex, 0, 4).flag, 1u);
  // An empty response is refused and writes nothing.
  Ask(s, QC_PASS_CHALLENGE, "otp", {}, 0, 5);
  before = Value("USER=otp", "SKEYValues");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", "", 0, 5).flag, 0u);
  EXPECT_EQ(Value("USER=otp", "SKEYValues"), before);
}

// With an S/KEY default user, every made-up name asked for a challenge; its
// state must not become a section of the file until a login succeeds.
TEST_F(SKeyStoreTest, DefaultUserWritesSectionOnlyOnSuccess) {
  RFTPSSecurity& s = Open(
      "[GLOBAL]\nEncryptPasswords=no\n[USER=** Default **]\nPasswordType=OTP S/KEY MD5\n"
      "Password=my pass phrase\n");
  for (int i = 0; i < 20; ++i) {
    const std::string name = "random" + std::to_string(i);
    AccessQuery q = Ask(s, QC_PASS_CHALLENGE, name, {}, 0, 10 + i);
    ASSERT_EQ(+q.flag, 1u);
    EXPECT_EQ(+Ask(s, QC_PASSWORD, name, "WRONG WORDS", 0, 10 + i).flag, 0u);
  }
  RIniFile f(ini_);
  EXPECT_EQ(f.SectionNames().size(), 2u);

  // A second session's challenge does not turn the first one away.
  AccessQuery q = Ask(s, QC_PASS_CHALLENGE, "ghost", {}, 0, 1);
  std::string seed = SeedOf(QueryAux(q));
  EXPECT_EQ(QueryAux(Ask(s, QC_PASS_CHALLENGE, "ghost", {}, 0, 2)),
            "331 Response to otp-md5 999 " + seed + " required for skey.");
  EXPECT_FALSE(RIniFile(ini_).HasSection("USER=ghost"));
  // A right answer logs in and keeps the state in the user's own section.
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "ghost", Response(seed, 999), 0, 1).flag, 1u);
  auto rec = ParseSKeyValues(Value("USER=ghost", "SKEYValues"));
  ASSERT_TRUE(rec.has_value());
  EXPECT_EQ(rec->sequence, 998u);
  EXPECT_EQ(rec->seed, seed);
  // From then on the section is used as for any account.
  q = Ask(s, QC_PASS_CHALLENGE, "ghost", {}, 0, 3);
  EXPECT_EQ(QueryAux(q), "331 Response to otp-md5 998 " + seed + " required for skey.");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "ghost", Response(seed, 998), 0, 3).flag, 1u);
  EXPECT_EQ(ParseSKeyValues(Value("USER=ghost", "SKEYValues"))->sequence, 997u);
}

TEST_F(SKeyStoreTest, NewSeedAfterLastSequence) {
  RFTPSSecurity& s = Open(
      "[GLOBAL]\nEncryptPasswords=no\n[USER=otp]\nPasswordType=otp s/key md5\n"
      "Password=my pass phrase\nSKEYValues=0 0 0123456789ABCDEF 1 OLD123\n");
  AccessQuery q = Ask(s, QC_PASS_CHALLENGE, "otp");
  uint32_t seq = 0;
  std::string seed = SeedOf(QueryAux(q), &seq);
  EXPECT_EQ(seq, 999u);
  EXPECT_NE(seed, "OLD123");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999)).flag, 1u);
}

TEST_F(SKeyStoreTest, BrokenRecordsAndPlaceholder) {
  // A hand-edited record with a seed over 16 characters refuses every response
  // and is not rewritten by the refusal.
  std::string broken = "0 1 0123456789ABCDEF 50 thisseedistoolongforskey";
  RFTPSSecurity& s = Open(
      "[GLOBAL]\nEncryptPasswords=no\n[USER=otp]\nPasswordType=OTP S/KEY MD4\n"
      "Password=my pass phrase\nSKEYValues=" +
      broken + "\n");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", "ROME MUG FRED SCAN LIVE LACE").flag, 0u);
  EXPECT_EQ(Value("USER=otp", "SKEYValues"), broken);
  // The next challenge rebuilds it.
  AccessQuery q = Ask(s, QC_PASS_CHALLENGE, "otp");
  EXPECT_EQ(+q.flag, 1u);
  EXPECT_NE(std::string(QueryAux(q)).find("otp-md4 999 "), std::string::npos);

  // No pass phrase: the placeholder, and nothing is ever accepted.
  Write("[USER=otp]\nPasswordType=OTP S/KEY MD4\nPassword=\n");
  q = Ask(s, QC_PASS_CHALLENGE, "otp");
  EXPECT_EQ(QueryAux(q), "331 Response to otp-md4 0 InvalidPassword required for skey.");
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", "1234567890123456").flag, 0u);
  EXPECT_EQ(+Ask(s, QC_PASS_CHALLENGE, "plainuser").flag, 0u);
}

TEST_F(SKeyStoreTest, ScrambledPassPhraseAndChange) {
  RFTPSSecurity& s = Open("[USER=otp]\nPasswordType=OTP S/KEY MD5\nChangePassword=yes\nPassword=" +
                          ScramblePassPhrase("my pass phrase") + "\n");
  std::string seed = SeedOf(QueryAux(Ask(s, QC_PASS_CHALLENGE, "otp")));
  EXPECT_EQ(+Ask(s, QC_PASSWORD, "otp", Response(seed, 999)).flag, 1u);
  EXPECT_EQ(+Ask(s, QC_VERIFY_PASSWORD, "otp", "my pass phrase").flag, 1u);
  AccessQuery q = Ask(s, QC_CHANGE_PASSWORD, "otp", "another phrase");
  ASSERT_EQ(+q.flag, 1u);
  EXPECT_EQ(QueryAux(q), ScramblePassPhrase("another phrase"));
  EXPECT_EQ(Value("USER=otp", "SKEYValues"), "");  // a new sequence starts
  EXPECT_EQ(Value("USER=otp", "Password"), ScramblePassPhrase("another phrase"));
}

TEST_F(StoreTest, RatioCreditQueries) {
  RFTPSSecurity& s =
      Open("[USER=r]\nRatiosEnable=yes\nRatiosCredit=2.5\n[USER=n]\nRatiosCredit=9\n");
  EXPECT_EQ(QueryAux(Ask(s, QC_RATIO_TYPE, "r")), "FilesPerSession");
  EXPECT_EQ(+Ask(s, QC_RATIO_TYPE, "n").flag, 0u);
  EXPECT_EQ(+Ask(s, QC_RATIO_CREDIT, "n", "1").flag, 0u);
  EXPECT_EQ(QueryAux(Ask(s, QC_RATIO_CREDIT, "r", "0")), "2.500000");
  EXPECT_EQ(QueryAux(Ask(s, QC_RATIO_CREDIT, "r", "-1.5")), "1.000000");
  EXPECT_EQ(Value("USER=r", "RatiosCredit"), "1.000000");
  EXPECT_EQ(QueryAux(Ask(s, QC_RATIO_CREDIT, "r", "junk")), "1.000000");  // unreadable = 0
  EXPECT_EQ(QueryAux(Ask(s, QC_RATIO_CREDIT, "r", "nan")), "1.000000");
}

TEST_F(StoreTest, FreeFiles) {
  RFTPSSecurity& s =
      Open("[RATIOS]\nFree1=\\pub\\*.txt\nFree2=\nFree3=readme\nFree4=C:\\whole\\*.zip\n");
  EXPECT_EQ(s.FreeFiles().size(), 4u);  // an empty value still counts as present
  struct Case {
    const char* path;
    uint32_t flag;
  } cases[] = {
      {"C:\\pub\\a.txt", 1}, {"Q:\\pub\\a.txt", 1},   {"C:\\pub\\a.bin", 0},
      {"C:\\x\\README", 1},  {"C:\\whole\\a.zip", 1}, {"D:\\whole\\a.zip", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(+Ask(s, QC_RATIO_FREE, "u", c.path).flag, c.flag) << c.path;
}

TEST_F(StoreTest, QuotaChangeQueries) {
  RFTPSSecurity& s = Open(
      "[USER=q]\nQuotaEnable=yes\nQuotaMaxCurrent=1000,900\n[USER=off]\nQuotaMaxCurrent=5,0\n"
      "[USER=junk]\nQuotaEnable=yes\nQuotaMaxCurrent=abc\n");
  EXPECT_EQ(+Ask(s, QC_QUOTA_CHANGE, "off", "0").flag, 0u);
  EXPECT_EQ(QueryAux(Ask(s, QC_QUOTA_MAXIMUM, "q")), "1000");
  EXPECT_EQ(QueryAux(Ask(s, QC_QUOTA_CHANGE, "q", "0")), "900");
  EXPECT_EQ(+Ask(s, QC_QUOTA_CHANGE, "q", "-250000").flag, 0u);
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "1000,900");  // refused: nothing written
  EXPECT_EQ(QueryAux(Ask(s, QC_QUOTA_CHANGE, "q", "-100")), "1000");
  EXPECT_EQ(+Ask(s, QC_QUOTA_CHANGE, "q", "-1").flag, 0u);         // full
  EXPECT_EQ(QueryAux(Ask(s, QC_QUOTA_CHANGE, "q", "5000")), "0");  // never below 0
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "1000,0");
  EXPECT_EQ(+Ask(s, QC_QUOTA_CHANGE, "q", "-9223372036854775807").flag, 0u);
  // Out of range reads as unreadable, i.e. 0: just the figure, nothing written.
  EXPECT_EQ(QueryAux(Ask(s, QC_QUOTA_CHANGE, "q", "-9223372036854775808")), "0");
  EXPECT_EQ(QueryAux(Ask(s, QC_QUOTA_CHANGE, "junk", "0")), "0");  // unreadable: 0,0
}

class FakeClientCheck final : public RClientCheck {
 public:
  int reloads = 0;
  std::vector<std::string> seen;  // "code user"
  void Reload(const RIniFile&) override { ++reloads; }
  bool HasLibraries() const override { return true; }
  void Consult(AccessQuery& q) override {
    seen.push_back(std::to_string(q.code) + " " + std::string(QueryUser(q)));
    if (q.code == QC_HOME_DIR) {
      SetQueryAux(q, "C:\\fromlib");
      q.flag = 1;
    }
  }
};

TEST_F(StoreTest, ClientCheckSeam) {
  RFTPSSecurity& s =
      Open("[IP-HOMES]\nIP3=10.0.0.3\n[USER=joe@3]\nTimeOut=1\n[USER=ann]\nHomeDir=C:\\ann\n");
  FakeClientCheck lib;
  s.SetClientCheck(&lib);
  EXPECT_EQ(lib.reloads, 1);
  // A library may still permit what the rules refuse.
  EXPECT_TRUE(s.ListRules("ann", 0)->RefusalsNeedLibraries());
  EXPECT_EQ(QueryAux(Ask(s, QC_HOME_DIR, "joe", {}, (10u << 24) | 3)), "C:\\fromlib");
  EXPECT_EQ(QueryAux(Ask(s, QC_HOME_DIR, "ann")), "C:\\ann");  // answered: not consulted
  AskIP(s, QC_IP_ACCESS, "", "1.2.3.4");                       // admitted with the marker
  Ask(s, 18, "ann");                                           // no library event
  Ask(s, QC_CONNECT, "");
  EXPECT_EQ(lib.seen, (std::vector<std::string>{"17 joe@3", "11 ", "44 "}));
  SetSecurityReloadFlag();
  Ask(s, QC_TIME_OUT, "ann");
  EXPECT_EQ(lib.reloads, 2);
  s.SetClientCheck(nullptr);
}

TEST_F(StoreTest, MessageFileSeam) {
  RFTPSSecurity s(ini_, &clock_);
  EXPECT_EQ(+Ask(s, QC_SIGN_ON_MES, "").flag, 0u);
  s.SetMessageFileLookup([](bool signOn, uint32_t address, std::string& file) {
    if (address != 7) return false;
    file = signOn ? "on.msg" : "off.msg";
    return true;
  });
  EXPECT_EQ(QueryAux(Ask(s, QC_SIGN_ON_MES, "", {}, 7)), "on.msg");
  EXPECT_EQ(QueryAux(Ask(s, QC_SIGN_OFF_MES, "", {}, 7)), "off.msg");
  EXPECT_EQ(+Ask(s, QC_SIGN_OFF_MES, "", {}, 8).flag, 0u);
}

}  // namespace
}  // namespace vantor
