#include "config/RClusterSettings.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

using namespace vantor;
using vantor::test::TempDir;
using vantor::test::WriteText;

namespace {

// What [CLUSTER] turns on, what it refuses and the defaults it fills in.
TEST(RClusterSettings, Table) {
  struct Case {
    const char* text;
    bool enabled;
    const char* node;
    RClusterUnavailable unavailable;
    int32_t lease;
    const char* problem;  // the first problem, "" for none
  } const cases[] = {
      {"", false, "", RClusterUnavailable::Refuse, 30, ""},
      {"[CLUSTER]\nConnInfo=host=db\n", false, "", RClusterUnavailable::Refuse, 30, ""},
      {"[CLUSTER]\nStore=mysql\nConnInfo=host=db\n", false, "", RClusterUnavailable::Refuse, 30,
       "Store=mysql is not known (only postgresql is)"},
      {"[CLUSTER]\nStore=PostgreSQL\n", false, "ftp9", RClusterUnavailable::Refuse, 30,
       "ConnInfo= is empty"},
      {"[CLUSTER]\nStore=postgresql\nConnInfo=host=db\n", true, "ftp9", RClusterUnavailable::Refuse,
       30, ""},
      {"[CLUSTER]\nStore=postgresql\nConnInfo=host=db\nNode=a\nClusterUnavailable=LOCAL\n"
       "LeaseSeconds=1\n",
       true, "a", RClusterUnavailable::Local, 5, ""},
      {"[CLUSTER]\nStore=postgresql\nConnInfo=host=db\nClusterUnavailable=maybe\n", true, "ftp9",
       RClusterUnavailable::Refuse, 30,
       "ClusterUnavailable=maybe is neither refuse nor local; "
       "refuse is used"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteText(dir.File("v.ini"), std::string("[GLOBAL]\n") + c.text);
    RIniFile ini(dir.File("v.ini"));
    const RClusterSettings s = RClusterSettings::Load(ini, "ftp9");
    EXPECT_EQ(s.enabled, c.enabled);
    if (c.enabled || *c.node != 0) {
      EXPECT_EQ(s.node, c.node);
    }
    EXPECT_EQ(s.unavailable, c.unavailable);
    EXPECT_EQ(s.leaseSeconds, c.lease);
    EXPECT_EQ(s.problems.empty() ? std::string() : s.problems.front(), c.problem);
  }
}

// The password is the file's first line; a missing file says why.
TEST(RClusterSettings, PasswordFile) {
  TempDir dir;
  WriteText(dir.File("pass"), "s3cret\r\nsecond line\n");
  std::string password, why;
  ASSERT_TRUE(ReadClusterPassword(dir.File("pass"), &password, &why));
  EXPECT_EQ(password, "s3cret");
  EXPECT_FALSE(ReadClusterPassword(dir.File("none"), &password, &why));
  EXPECT_EQ(why, "No such file or directory");
}

}  // namespace
