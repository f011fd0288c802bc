// The platform file layer's whole-file writes.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/RFile.h"
#include "temp_dir.h"

namespace vantor {
namespace {

// Root replacing a file of another account (the server before its switch,
// the desktop program under sudo) leaves it that account's: owner, group
// and permission bits, through either kind of temporary file.
TEST(RFile, ReplaceKeepsOwnerGroupAndMode) {
  const struct passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and nobody";
  test::TempDir dir;
  const std::string path = dir.Write("VANTOR.INI", "[GLOBAL]\n");
  ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  for (int through = 0; through < 2; ++through) {
    SCOPED_TRACE(through ? "ReplaceFileThrough" : "ReplaceFileAtomic");
    const std::string text = through ? "[GLOBAL]\nB=2\n" : "[GLOBAL]\nA=1\n";
    ASSERT_TRUE(through ? ReplaceFileThrough(path, dir.File("tmpnew.ini"), text)
                        : ReplaceFileAtomic(path, text));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.Read("VANTOR.INI"), text);
  }
}

}  // namespace
}  // namespace vantor
