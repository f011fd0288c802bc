// Property: for a confined user, no client path resolves outside home, and
// nothing outside home can be opened through the resolved path.
#include <sys/stat.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "fs/RPath.h"
#include "fs_fixture.h"

namespace vantor::test {
namespace {

bool InsideHome(const std::string& p, const std::string& home) {
  return StartsWithNoCase(p, home) && (p.size() == home.size() || p[home.size()] == '\\');
}

class ConfinementTest : public FsTree {
 protected:
  void SetUp() override {
    FsTree::SetUp();
    Mkdir("c/ftp/joe/sub/deeper");
    Mkdir("c/ftp/joey");
    Write("c/ftp/joey/secret.txt", "s1");
    Write("c/secret.txt", "s2");
    Write("d/secret.txt", "s3");
    Write("c/ftp/joe/sub/ok.txt", "ok");
    // Links inside home that point outside, at each other, and upwards.
    Symlink(P("c"), "c/ftp/joe/root");
    Symlink("../../joey", "c/ftp/joe/sub/sib");
    Symlink("../..", "c/ftp/joe/up");
    Symlink("loop2", "c/ftp/joe/loop1");
    Symlink("loop1", "c/ftp/joe/loop2");
    Symlink(P("c/secret.txt"), "c/ftp/joe/sub/s.txt");
    Write("c/ftp/joe/links.txt", "ext|c:\\\nd|d:\\\njy|c:\\ftp\\joey\nself|c:\\ftp\\joe\\ext\n");
    SetLinkFile("links.txt");
    for (const char* f : {"c/ftp/joey/secret.txt", "c/secret.txt", "d/secret.txt"}) {
      struct stat st {};
      ASSERT_EQ(stat(P(f).c_str(), &st), 0);
      outside_.insert(st.st_ino);
    }
  }
  std::set<ino_t> outside_;
};

TEST_F(ConfinementTest, GeneratedPathsStayInsideHome) {
  const std::vector<std::string> tokens = {
      "..",
      "...",
      "....",
      "~",
      "%20",
      "%2",
      "\\",
      "/",
      "//",
      "c:",
      "d:",
      "C:",
      "c",
      "d",
      "joe",
      "joey",
      "ftp",
      "sub",
      "deeper",
      "root",
      "sib",
      "up",
      "loop1",
      "loop2",
      "ext",
      "jy",
      "self",
      "secret.txt",
      "s.txt",
      "ok.txt",
      ".",
      " ",
      "\t",
      "prn",
      "lpt1.txt",
      "*",
      "?",
      ". .",
      ".. ",
      " ..",
      "..%20",
      "x.",
      std::string(60, 'n'),
      std::string(250, 'L'),
      "\\\\",
      ":",
      "~joe",
  };
  const std::vector<std::string> curs = {"c:\\ftp\\joe", "c:\\ftp\\joe\\sub",
                                         "c:\\ftp\\joe\\sub\\deeper", "c:\\ftp\\joe\\gone"};
  const std::string home = "c:\\ftp\\joe";
  std::mt19937 rng(20261206);
  int opened = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string client;
    int n = 1 + static_cast<int>(rng() % 8);
    if (rng() % 2 == 0) client += "/";
    for (int k = 0; k < n; ++k) {
      client += tokens[rng() % tokens.size()];
      int sep = static_cast<int>(rng() % 4);
      client += sep == 0 ? "/" : sep == 1 ? "\\" : sep == 2 ? "" : "/";
    }
    const std::string& cur = curs[rng() % curs.size()];
    bool device = rng() % 2 == 0;
    std::string p = client;
    ResolvePath(p, cur, home, device, false, true);
    SCOPED_TRACE("client path: " + client + " from " + cur + " -> " + p);
    if (IsReservedDevice(p)) continue;  // "PRN:" is never opened
    ASSERT_TRUE(InsideHome(p, home));
    RFd fd = OpenLocalFile(p, ROpenMode::Read);
    if (fd) {
      ++opened;
      struct stat st {};
      ASSERT_EQ(fstat(fd.Get(), &st), 0);
      ASSERT_EQ(outside_.count(st.st_ino), 0u);
    }
  }
  EXPECT_GT(opened, 0);  // the generator does reach real files
}

// Opening never follows a link, even one inside home that a check missed.
TEST_F(ConfinementTest, OpenRefusesLinks) {
  EXPECT_FALSE(OpenLocalFile("c:\\ftp\\joe\\sub\\s.txt", ROpenMode::Read).Valid());
  EXPECT_FALSE(OpenLocalFile("c:\\ftp\\joe\\root\\secret.txt", ROpenMode::Read).Valid());
  EXPECT_FALSE(OpenLocalFile("c:\\ftp\\joe\\up\\joey\\secret.txt", ROpenMode::Read).Valid());
  EXPECT_FALSE(OpenLocalFile("c:\\ftp\\joe\\root\\new.txt", ROpenMode::WriteCreate).Valid());
  EXPECT_FALSE(std::filesystem::exists(P("c/new.txt")));
  EXPECT_TRUE(OpenLocalFile("c:\\ftp\\joe\\sub\\ok.txt", ROpenMode::Read).Valid());
}

}  // namespace
}  // namespace vantor::test
