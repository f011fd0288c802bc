// Property: for a confined user, no client path resolves outside home, and
// nothing outside home can be opened through the resolved path.
#include <sys/stat.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include <chrono>
#include <filesystem>

#include "fs/RLSDir.h"
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
  std::vector<std::string> tokens = {
      "..",         "...",   "....",   "~",   "%20",   "%2",    "\\",   "/",        "//",
      "c:",         "d:",    "C:",     "c",   "d",     "joe",   "joey", "ftp",      "sub",
      "deeper",     "root",  "sib",    "up",  "loop1", "loop2", "ext",  "jy",       "self",
      "secret.txt", "s.txt", "ok.txt", ".",   " ",     "\t",    "prn",  "lpt1.txt", "*",
      "?",          ". .",   ".. ",    " ..", "..%20", "x.",    "\\\\", ":",        "~joe",
  };
  tokens.insert(tokens.end(), {std::string(60, 'n'), std::string(250, 'L')});
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
    ResolvePath(Fs(), p, cur, home, device, false, true);
    SCOPED_TRACE("client path: " + client + " from " + cur + " -> " + p);
    if (IsReservedDevice(p)) continue;  // "PRN:" is never opened
    ASSERT_TRUE(InsideHome(p, home));
    RFd fd = OpenLocalFile(Fs(), p, ROpenMode::Read).fd;
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
  EXPECT_FALSE(OpenLocalFile(Fs(), "c:\\ftp\\joe\\sub\\s.txt", ROpenMode::Read).fd.Valid());
  EXPECT_FALSE(OpenLocalFile(Fs(), "c:\\ftp\\joe\\root\\secret.txt", ROpenMode::Read).fd.Valid());
  EXPECT_FALSE(
      OpenLocalFile(Fs(), "c:\\ftp\\joe\\up\\joey\\secret.txt", ROpenMode::Read).fd.Valid());
  EXPECT_FALSE(
      OpenLocalFile(Fs(), "c:\\ftp\\joe\\root\\new.txt", ROpenMode::WriteCreate).fd.Valid());
  EXPECT_FALSE(std::filesystem::exists(P("c/new.txt")));
  EXPECT_TRUE(OpenLocalFile(Fs(), "c:\\ftp\\joe\\sub\\ok.txt", ROpenMode::Read).fd.Valid());
}

// The sibling "PUB" of the home "pub" (a case variant, a different directory
// on this disk) is never reached: the home part of every confined path is
// home as spelled on disk, and a listing of a named directory reads that one
// directory.
class CaseVariantTest : public FsTree {
 protected:
  void SetUp() override {
    FsTree::SetUp();
    Write("c/pub/readme.txt", "public");
    Write("c/PUB/private.txt", "private");
    Mkdir("c/PUB/inner");
  }
  std::string Resolve(const std::string& client, const std::string& home = "c:\\pub") {
    std::string p = client;
    ResolvePath(Fs(), p, home, home, false, false, true);
    return p;
  }
  std::string List(const std::string& dir, const std::string& pattern,
                   const std::string& home = "c:\\pub") {
    RLSDirArgsStr a = LsArgs(dir, "-laR", pattern, home);
    a.user = "anonymous";
    a.relPaths = true;
    RLSDir ls(Fs(), Cache(), a);
    return Text(ls);
  }
};

TEST_F(CaseVariantTest, SiblingOfHomeIsNeverReached) {
  struct Row {
    std::string client, want;
  } rows[] = {
      {"/../PUB/private.txt", "c:\\pub\\private.txt"},
      {"../PUB/private.txt", "c:\\pub\\private.txt"},
      {"/../Pub/private.txt", "c:\\pub\\private.txt"},
      {"/../PUB", "c:\\pub"},
      {"/../PUB/inner", "c:\\pub\\inner"},
      {"/../PUB./private.txt", "c:\\pub\\private.txt"},
      {"/.../PUB/private.txt", "c:\\pub\\private.txt"},
      {"/readme.txt", "c:\\pub\\readme.txt"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.client);
    std::string p = Resolve(r.client);
    EXPECT_EQ(p, r.want);
    EXPECT_EQ(LocalToPosix(Fs(), p).rfind(P("c/pub"), 0), 0u);
    EXPECT_FALSE(OpenLocalFile(Fs(), p, ROpenMode::Read).fd.Valid() && p.find("private") != p.npos);
  }
  // Home configured in another letter case is home as it is on disk; with
  // both spellings present, the exact one.
  EXPECT_EQ(Resolve("/x", "C:\\PUB"), "c:\\PUB\\x");
  EXPECT_EQ(Resolve("/../pub/x", "C:\\PUB"), "c:\\PUB\\x");
  const std::string either = Resolve("/x", "c:\\Pub");  // no exact one: the first that matches
  EXPECT_TRUE(either == "c:\\PUB\\x" || either == "c:\\pub\\x") << either;
  // LIST / names home by its last component: only home is read.
  std::string text = List("c:\\", "pub");
  EXPECT_NE(text.find("readme.txt"), text.npos) << text;
  EXPECT_EQ(text.find("private"), text.npos) << text;
  EXPECT_EQ(text.find("inner"), text.npos) << text;
  // A confined user's home spelled as on disk survives LowerCaseFileDir: the
  // lower-cased rest is looked up below home, never beside it.
  Write("c/Up/mine.txt", "mine");
  Write("c/up/theirs.txt", "theirs");
  SetLowerCase(true);
  std::string p = Resolve("/../UP/mine.txt", "c:\\Up");
  EXPECT_EQ(p, "c:\\Up\\mine.txt");
  RFd fd = OpenLocalFile(Fs(), p, ROpenMode::Read).fd;
  EXPECT_TRUE(fd.Valid());
  EXPECT_FALSE(OpenLocalFile(Fs(), Resolve("/theirs.txt", "c:\\Up"), ROpenMode::Read).fd.Valid());
  SetLowerCase(false);
}

// The property over generated trees and paths: with case variants of home
// and of its components beside them, symbolic links in and out of home,
// link list entries, "..", "~", "...", trailing dots and blanks, drive and
// client forms, no resolved path maps outside home on disk, no open reaches
// a file outside it, and no listing shows one.
TEST_F(ConfinementTest, GeneratedCaseVariantsStayInsideHome) {
  // Case variants of home and of every component, each holding a marker
  // file whose name says it lies outside.
  // Which markers lie outside depends on the home spelling under test.
  std::vector<std::string> markers;
  for (const char* d : {"c/ftp/JOE", "c/ftp/Joe", "c/FTP/joe", "c/Ftp/JOE/sub", "c/ftp/JOE/SUB",
                        "c/ftp/joe.", "c/ftp/joe ", "c/ftp"}) {
    markers.push_back(std::string(d) + "/mark" + std::to_string(markers.size()) + "-.txt");
    Write(markers.back(), "mark");
  }
  Write("c/ftp/joe/SUB/in-upper.txt", "in");  // a case variant inside home is home's
  Write("c/ftp/joe/trail./in-trail.txt", "in");
  Symlink("../JOE", "c/ftp/joe/case");
  Symlink("../../FTP/joe", "c/ftp/joe/sub/ftpcase");
  Symlink("sub", "c/ftp/joe/in");
  Write("c/ftp/joe/links.txt",
        "ext|c:\\\nd|d:\\\njy|c:\\ftp\\joey\nself|c:\\ftp\\joe\\ext\nJO|c:\\ftp\\JOE\n"
        "fj|C:\\FTP\\JOE\ninner|c:\\ftp\\joe\\sub\n");
  const std::vector<std::string> tokens = {
      "..",     "...",     "....",  "~",          "~/..",        ".",          " ",
      "\t",     "%20",     "\\",    "/",          "//",          "c:",         "C:",
      "d:",     "c",       "d",     "/c:/ftp",    "/C:/FTP/JOE", "\\c\\ftp",   "c:\\ftp\\Joe",
      "joe",    "JOE",     "Joe",   "jOe",        "joe.",        "JOE..",      "joe ",
      " JOE",   "joe. .",  "ftp",   "FTP",        "Ftp",         "joey",       "JOEY",
      "sub",    "SUB",     "Sub.",  "deeper",     "root",        "sib",        "up",
      "case",   "ftpcase", "in",    "loop1",      "ext",         "jy",         "self",
      "JO",     "fj",      "inner", "secret.txt", "s.txt",       "ok.txt",     "in-upper.txt",
      "trail.", "trail",   "prn",   "lpt1.txt",   "*",           "?",          ". .",
      ".. ",    " ..",     "x.",    "mark0-.txt", "mark1-.txt",  "mark2-.txt", "mark7-.txt",
  };
  const std::vector<std::string> homes = {"c:\\ftp\\joe", "C:\\FTP\\JOE", "c:\\Ftp\\Joe"};
  const char* per = getenv("VANTOR_CONFINEMENT_PATHS");  // more for a long soak
  const int kPerHome = std::max(34000, per != nullptr ? atoi(per) : 0);
  std::mt19937 rng(20261207);
  const auto t0 = std::chrono::steady_clock::now();
  int opened = 0, listed = 0, paths = 0;
  for (const std::string& home : homes) {
    SCOPED_TRACE("home " + home);
    // What lies inside: home as the drive table maps it, walked without
    // following links.
    const std::string homePosix = LocalToPosix(Fs(), home);
    ASSERT_FALSE(homePosix.empty());
    std::set<ino_t> inside;
    for (auto it = std::filesystem::recursive_directory_iterator(homePosix);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
      struct stat st {};
      if (lstat(it->path().c_str(), &st) == 0) inside.insert(st.st_ino);
    }
    std::vector<std::string> outside;  // marker names outside this home
    for (const auto& m : markers)
      if (P(m).rfind(homePosix + "/", 0) != 0) outside.push_back(m.substr(m.rfind('/') + 1));
    ASSERT_GE(outside.size(), 6u);
    const std::string homeDisk = HomeOnDisk(Fs(), home);
    const std::vector<std::string> curs = {homeDisk, homeDisk + "\\sub", homeDisk + "\\SUB",
                                           homeDisk + "\\sub\\deeper", homeDisk + "\\gone"};
    for (int i = 0; i < kPerHome; ++i, ++paths) {
      std::string client;
      int n = 1 + static_cast<int>(rng() % 3);
      if (rng() % 2 == 0) client += rng() % 3 == 0 ? "\\" : "/";
      for (int k = 0; k < n; ++k) {
        client += tokens[rng() % tokens.size()];
        if (k + 1 < n || rng() % 4 == 0) client += rng() % 3 == 0 ? "\\" : "/";
      }
      const std::string& cur = curs[rng() % curs.size()];
      bool device = rng() % 4 == 0;
      std::string p = client;
      ResolvePath(Fs(), p, cur, home, device, false, true);
      if (IsReservedDevice(p)) continue;  // "PRN:" is never opened
      const std::string posix = LocalToPosix(Fs(), p);
      if (!posix.empty()) {
        ASSERT_TRUE(posix == homePosix || posix.rfind(homePosix + "/", 0) == 0)
            << client << " from " << cur << " -> " << p << " -> " << posix;
      }
      RFd fd = OpenLocalFile(Fs(), p, ROpenMode::Read).fd;
      if (fd) {
        ++opened;
        struct stat st {};
        ASSERT_EQ(fstat(fd.Get(), &st), 0);
        ASSERT_EQ(inside.count(st.st_ino), 1u) << client << " -> " << p;
      }
      if (i % 64 == 0) {
        // As LIST and NLST do: the path split into directory and pattern.
        size_t bs = p.find_last_of('\\');
        static const char* kOptions[] = {"-la", "-1", "-lL", "-laR"};
        RLSDirArgsStr a = LsArgs(bs <= 2 ? p.substr(0, bs + 1) : p.substr(0, bs),
                                 kOptions[rng() % 4], p.substr(bs + 1), home);
        a.relPaths = true;
        RLSDir ls(Fs(), Cache(), a);
        std::string line;
        while (ls.NextLine(line)) {
          for (const auto& m : outside) {
            ASSERT_EQ(line.find(m), std::string::npos)
                << client << " -> " << p << " listed " << line;
          }
          ASSERT_EQ(line.find("secret"), std::string::npos)
              << client << " -> " << p << " listed " << line;
        }
        ++listed;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(paths, 100000);
  EXPECT_GT(opened, 100);  // the generator does reach real files
  EXPECT_GT(listed, 1500);
  std::printf("%d paths, %d opened, %d listed in %.2f s\n", paths, opened, listed, seconds);
}

}  // namespace
}  // namespace vantor::test
