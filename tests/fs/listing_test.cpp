// The ls emulation: golden outputs for options, formats and edge cases.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fs/RLSDir.h"
#include "fs/RPath.h"
#include "fs_fixture.h"

namespace vantor::test {
namespace {

constexpr int64_t kNow = 1780000000;              // 2026-05-28 20:26:40 UTC
constexpr int64_t kTenDaysAgo = kNow - 864000;    // May 18 20:26
constexpr int64_t kYearAgo = kNow - 400 * 86400;  // Apr 23 2025
constexpr int64_t kFuture = kNow + 7200;          // more than an hour ahead
constexpr int64_t kDayFive = kNow - 23 * 86400;   // May  5 20:26

// Refuses every path containing "secret".
class DenySecret : public RFsAccess {
 public:
  bool CanList(std::string_view user, uint32_t address, std::string_view path) override {
    asked.emplace_back(path);
    EXPECT_EQ(user, "joe");
    EXPECT_EQ(address, 0x7F000001u);
    return path.find("secret") == std::string_view::npos;
  }
  std::vector<std::string> asked;
};

class ListingTest : public FsTree {
 protected:
  void SetUp() override {
    FsTree::SetUp();
    Write("c/ftp/a.txt", "", kTenDaysAgo);
    Write("c/ftp/b.dat", "x", kYearAgo);
    Write("c/ftp/c.bin", std::string(513, 'c'), kFuture);
    Write("c/ftp/.hidden", "hhh", kDayFive);
    Write("c/ftp/sub/x.txt", "12345", kTenDaysAgo);
    SetTime("c/ftp/sub", kDayFive);
    SetTime("c/ftp", kTenDaysAgo);
    SetTime("c", kYearAgo);
  }

  std::string List(const std::string& options, const std::string& dir = "c:\\ftp",
                   const std::string& pattern = "", RFsAccess* access = nullptr,
                   bool relPaths = false, bool hideHidden = false) {
    RLSDirArgsStr a = LsArgs(dir, options, pattern, "c:\\ftp");
    a.access = access;
    a.address = 0x7F000001;
    a.relPaths = relPaths;
    a.hideHidden = hideHidden;
    Cache().Setup(25, 600);  // every call generates; the cache has its own tests
    RLSDir ls(Fs(), Cache(), a);
    return Text(ls);
  }
};

// Argument parsing of LIST and NLST.
TEST_F(ListingTest, ListArguments) {
  struct Row {
    const char* arg;
    bool list;
    const char* options;
    const char* path;
  } rows[] = {
      {"  -la  /pub/x  ", true, "-lal", "\\pub\\x"},
      {"-C -F sub", true, "-C -Fl", "sub"},
      {"my%20dir", false, "e", "my dir"},
      {"-l", false, "-l", ""},
      {"\t", true, "al", ""},
      {"a -l", true, "al", "a -l"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.arg);
    RListArgStr a = ParseListArgument(r.arg, r.list);
    EXPECT_EQ(a.options, r.options);
    EXPECT_EQ(a.path, r.path);
  }
}

// Block counts: 0 bytes 0 blocks, 1 byte 1, 513 bytes 2 (1 with k); inode column.
TEST_F(ListingTest, BlocksAndInodes) {
  EXPECT_EQ(List("-s1"), "   0 a.txt\n   1 b.dat\n   2 c.bin\n   0 sub\n");
  EXPECT_EQ(List("-sk1"), "   0 a.txt\n   1 b.dat\n   1 c.bin\n   0 sub\n");
  EXPECT_EQ(List("-i1", "c:\\ftp", "a.txt"), "      0 a.txt\n");
  EXPECT_EQ(List("-sl", "c:\\ftp", "sub"),
            "total 1\n"
            "   1 -rwxrwxrwx   1 user     group           5 May 18 20:26 x.txt\n");
}

// Sorting keys and reverse.
TEST_F(ListingTest, Sorting) {
  EXPECT_EQ(List("-1t"), "c.bin\na.txt\nsub\nb.dat\n");
  EXPECT_EQ(List("-1tr"), "b.dat\nsub\na.txt\nc.bin\n");
  EXPECT_EQ(List("-1S"), "c.bin\nb.dat\na.txt\nsub\n");
  EXPECT_EQ(List("-1X"), "sub\nc.bin\nb.dat\na.txt\n");
  EXPECT_EQ(List("-1r"), "sub\nc.bin\nb.dat\na.txt\n");
  Write("c/ftp/B.dat", "");
  EXPECT_EQ(List("-1"), "a.txt\nb.dat\nB.dat\nc.bin\nsub\n");
}

// Time forms: full time, creation and access fields.
TEST_F(ListingTest, TimeForms) {
  EXPECT_EQ(List("-lT", "c:\\ftp", "b.dat"),
            "-rwxrwxrwx   1 user     group           1 Apr 23 20:26:40 2025 b.dat\n");
  EXPECT_EQ(List("-lu", "c:\\ftp", "b.dat"),
            "-rwxrwxrwx   1 user     group           1 Apr 23  2025 b.dat\n");
  Write("c/ftp/old.txt", "", 1000);  // before 1972: shown as 1980
  EXPECT_EQ(List("-l", "c:\\ftp", "old.txt"),
            "-rwxrwxrwx   1 user     group           0 Jan  1  1980 old.txt\n");
}

// Owner and group columns: numeric, no group.
TEST_F(ListingTest, OwnerColumns) {
  EXPECT_EQ(List("-ln", "c:\\ftp", "a.txt"),
            "-rwxrwxrwx   1 0        0               0 May 18 20:26 a.txt\n");
  EXPECT_EQ(List("-lG", "c:\\ftp", "a.txt"),
            "-rwxrwxrwx   1 user            0 May 18 20:26 a.txt\n");
  EXPECT_EQ(List("-o", "c:\\ftp", "a.txt"),
            "-rwxrwxrwx   1 user            0 May 18 20:26 a.txt\n");
}

// DirListMask: a valid mask is used for every entry; an invalid one falls back.
TEST_F(ListingTest, DirListMask) {
  RFsSettingsStr s = Fs();
  s.dirListMask = "rw-r--r--";
  fs_.SetSettings(s);
  EXPECT_EQ(List("-l", "c:\\ftp", "a.txt").substr(0, 10), "-rw-r--r--");
  EXPECT_EQ(List("-dl", "c:\\ftp", "sub").substr(0, 10), "drw-r--r--");
  for (const char* bad : {"rw-r--r-", "rw-r--r--x", "rwxrwxrwz"}) {
    SCOPED_TRACE(bad);
    s.dirListMask = bad;
    fs_.SetSettings(s);
    EXPECT_EQ(List("-l", "c:\\ftp", "a.txt").substr(0, 10), "-rwxrwxrwx");
  }
}

// Column layouts: down, across and comma separated, with widths.
TEST_F(ListingTest, ColumnLayouts) {
  for (int i = 0; i < 7; ++i) Write("c/cols/file" + std::to_string(i) + ".txt");
  Write("c/cols/longer-name.txt");
  // Columns of 17 (15 + 2): tabs up to the last stop before the column, then blanks.
  EXPECT_EQ(List("-C", "c:\\cols"),
            "file0.txt\t file2.txt\t  file4.txt\t   file6.txt\n"
            "file1.txt\t file3.txt\t  file5.txt\t   longer-name.txt\n");
  EXPECT_EQ(List("-x", "c:\\cols"),
            "file0.txt\t file1.txt\t  file2.txt\t   file3.txt\n"
            "file4.txt\t file5.txt\t  file6.txt\t   longer-name.txt\n");
  EXPECT_EQ(List("-Cw:40", "c:\\cols"),
            "file0.txt\t file4.txt\n"
            "file1.txt\t file5.txt\n"
            "file2.txt\t file6.txt\n"
            "file3.txt\t longer-name.txt\n");
  EXPECT_EQ(List("-xw:40", "c:\\cols"),
            "file0.txt\t file1.txt\n"
            "file2.txt\t file3.txt\n"
            "file4.txt\t file5.txt\n"
            "file6.txt\t longer-name.txt\n");
  EXPECT_EQ(List("-Cw:3", "c:\\cols"),
            "file0.txt\nfile1.txt\nfile2.txt\nfile3.txt\nfile4.txt\nfile5.txt\nfile6.txt\n"
            "longer-name.txt\n");
  EXPECT_EQ(List("-m", "c:\\cols"),
            "file0.txt, file1.txt, file2.txt, file3.txt, file4.txt, file5.txt, file6.txt, \n"
            "longer-name.txt\n");
  EXPECT_EQ(List("-mw:30", "c:\\cols"),
            "file0.txt, file1.txt, \nfile2.txt, file3.txt, \nfile4.txt, file5.txt, \n"
            "file6.txt, longer-name.txt\n");
  EXPECT_EQ(List("-mw:-5", "c:\\cols"), List("-m", "c:\\cols"));
}

// Indicators and quoting.
TEST_F(ListingTest, IndicatorsAndQuoting) {
  EXPECT_EQ(List("-F1"), "a.txt\nb.dat\nc.bin\nsub/\n");
  EXPECT_EQ(List("-p1"), "a.txt\nb.dat\nc.bin\nsub/\n");
  Write("c/q/a b\"c");
  Write("c/q/t\tx");
  Write("c/q/back\\s");
  Write(std::string("c/q/bell\a"));
  EXPECT_EQ(List("-1Q", "c:\\q"), "\"a\\ b\\\"c\"\n\"back\\\\s\"\n\"bell\\007\"\n\"t\\tx\"\n");
  EXPECT_EQ(List("-1b", "c:\\q"), "a\\ b\\\"c\nback\\\\s\nbell\\007\nt\\tx\n");
  EXPECT_EQ(List("-1q", "c:\\q"), "a b\"c\nback\\s\nbell?\nt?x\n");
  EXPECT_EQ(List("-1", "c:\\q"), "a b\"c\nback\\s\nbell\a\nt\tx\n");
}

// Ignore patterns, show-all levels and the e filter.
TEST_F(ListingTest, Filters) {
  Write("c/f/keep.txt");
  Write("c/f/drop.txt~");
  Write("c/f/.x~");
  Write("c/f/.y");
  EXPECT_EQ(List("-1A", "c:\\f"), ".x~\n.y\ndrop.txt~\nkeep.txt\n");
  EXPECT_EQ(List("-1AB", "c:\\f"), ".y\nkeep.txt\n");
  EXPECT_EQ(List("-1A -I:*.txt", "c:\\f"), ".x~\n.y\ndrop.txt~\n");
  EXPECT_EQ(List("-1A -I:\"k*\"", "c:\\f"), ".x~\n.y\ndrop.txt~\n");
  EXPECT_EQ(List("-1a", "c:\\f"), ".\n..\n.x~\n.y\ndrop.txt~\nkeep.txt\n");
  EXPECT_EQ(List("-1aU", "c:\\f", "*.txt"), "keep.txt\n");
}

// Links: link list entries and symlinks show as "l" with their client target;
// targets outside home are hidden from a confined user.
TEST_F(ListingTest, Links) {
  Write("c/ftp/links.txt", "docs|c:\\ftp\\sub\nfar|d:\\\n");
  SetLinkFile("links.txt");
  Symlink("sub", "c/ftp/sl");
  SetTime("c/ftp/sl", kTenDaysAgo);
  SetTime("c/ftp/links.txt", kTenDaysAgo);
  SetTime("c/ftp/sub", kDayFive);
  DenySecret allow;
  // Confined: targets shown inside home; the link to d:\ is left out.
  EXPECT_EQ(List("-l", "c:\\ftp", "", &allow, true),
            "-rwxrwxrwx   1 user     group           0 May 18 20:26 a.txt\n"
            "-rwxrwxrwx   1 user     group           1 Apr 23  2025 b.dat\n"
            "-rwxrwxrwx   1 user     group         513 May 28  2026 c.bin\n"
            "lrwxrwxrwx   1 user     group           0 Jan  1  1980 docs -> /sub\n"
            "-rwxrwxrwx   1 user     group          24 May 18 20:26 links.txt\n"
            "lrwxrwxrwx   1 user     group           0 May 18 20:26 sl -> /sub\n"
            "drwxrwxrwx   1 user     group           0 May  5 20:26 sub\n");
  std::string plain = List("-lF", "c:\\ftp", "", nullptr, false);
  EXPECT_NE(plain.find(" docs -> /c:/ftp/sub/\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find(" far -> /d://\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find(" sl -> /c:/ftp/sub/\n"), std::string::npos) << plain;
  // A link given as argument in a short format lists the directory it names.
  EXPECT_EQ(List("-1", "c:\\ftp", "docs"), "x.txt\n");
  EXPECT_EQ(List("-1", "c:\\ftp", "sl"), "x.txt\n");
  EXPECT_EQ(List("-1d", "c:\\ftp", "sl"), "sl\n");
  // Following links shows the target's own status.
  EXPECT_EQ(List("-dlL", "c:\\ftp", "sl"),
            "drwxrwxrwx   1 user     group           0 May  5 20:26 sl\n");
  EXPECT_EQ(List("-lL", "c:\\ftp", "sl"),
            "total 1\n-rwxrwxrwx   1 user     group           5 May 18 20:26 x.txt\n");
}

// LowerCaseFileDir lowers names and link targets; creation-time sorting.
TEST_F(ListingTest, LowerCaseAndCreationTime) {
  Write("c/lc/MiXed.TXT");
  Write("c/lc/links.txt", "Up|C:\\FTP\\SUB\n");
  SetLinkFile("links.txt");
  SetLowerCase(true);
  EXPECT_EQ(List("-1", "c:\\lc"), "links.txt\nmixed.txt\nup\n");
  std::string lines = List("-l", "c:\\lc", "up");
  EXPECT_NE(lines.find(" up -> /c:/ftp/sub\n"), std::string::npos) << lines;
  SetLowerCase(false);
  // Birth or change time: both files were just made, the link entry is 1980.
  std::string byCreation = List("-1c", "c:\\lc");
  EXPECT_EQ(byCreation.substr(byCreation.size() - 3), "Up\n");
}

// Recursion does not descend through links, followed or not, so a link to
// an ancestor cannot make a listing endless.
TEST_F(ListingTest, RecursionIgnoresLinks) {
  Symlink("..", "c/ftp/sub/upl");
  for (const char* opts : {"-R1", "-RL1", "-RlL"}) {
    SCOPED_TRACE(opts);
    std::string out = List(opts);
    EXPECT_NE(out.find("/c:/ftp/sub:\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("upl:"), std::string::npos) << out;
  }
}

// A 5 GiB sparse file shows its true size and block count.
TEST_F(ListingTest, LargeFile) {
  int fd = open(P("c/big/big.iso").c_str(), O_CREAT | O_WRONLY, 0644);
  if (fd < 0) {
    Mkdir("c/big");
    fd = open(P("c/big/big.iso").c_str(), O_CREAT | O_WRONLY, 0644);
  }
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, int64_t{5} << 30), 0);
  close(fd);
  SetTime("c/big/big.iso", kTenDaysAgo);
  EXPECT_EQ(List("-ls", "c:\\big", "big.iso"),
            "10485760 -rwxrwxrwx   1 user     group    5368709120 May 18 20:26 big.iso\n");
  EXPECT_EQ(FileSize(Fs(), "c:\\big\\big.iso"), int64_t{5} << 30);
}

// A directory that cannot be read gives an empty listing; a pending one its
// header and a zero total.
TEST_F(ListingTest, UnreadableDirectory) {
  EXPECT_EQ(List("-l", "c:\\missing"), "");
  EXPECT_EQ(List("-l", "c:\\ftp", "nothing-here"), "");
  EXPECT_EQ(List("-l", "e:\\"), "");
}

// HideHidden hides dot files but keeps "." and "..", which are the directory
// and its parent, not hidden files.
TEST_F(ListingTest, HideHiddenKeepsDotEntries) {
  EXPECT_EQ(List("-1a", "c:\\ftp", "", nullptr, false, true), ".\n..\na.txt\nb.dat\nc.bin\nsub\n");
  EXPECT_EQ(List("-1A", "c:\\ftp", "", nullptr, false, true), "a.txt\nb.dat\nc.bin\nsub\n");
  EXPECT_EQ(List("-1a", "c:\\ftp", "", nullptr, false, false),
            ".\n..\n.hidden\na.txt\nb.dat\nc.bin\nsub\n");
}

// One listing holds at most maxEntries entries, across the directories of a
// recursive listing too; the cut is kept with it. A named directory counts by
// its content, not as an entry of its own.
TEST_F(ListingTest, EntryLimitCutsListing) {
  for (int i = 0; i < 12; ++i) Write("c/ftp/many/f" + std::to_string(10 + i) + ".txt");
  struct Row {
    std::string options, pattern;
    int64_t max;
    size_t lines;
    bool cut;
  } rows[] = {
      {"-1", "", 3, 3, true},          // a.txt b.dat c.bin
      {"-1", "", 5, 5, false},         // exactly all: not cut
      {"-1", "many", 12, 12, false},   // the named directory itself is no entry
      {"-1", "many", 11, 11, true},    //
      {"-1R", "", 6, 6 + 3, true},     // 5 entries, blank, "c:\\ftp\\many:", 1 entry
      {"-l", "many", 4, 1 + 4, true},  // total line and 4 entries
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.options + " " + r.pattern + " max " + std::to_string(r.max));
    RLSDirArgsStr a = LsArgs("c:\\ftp", r.options, r.pattern, "c:\\ftp");
    a.maxEntries = r.max;
    Cache().Setup(25, 600);
    RLSDir ls(Fs(), Cache(), a);
    EXPECT_EQ(ls.TakeLines().size(), r.lines);
    EXPECT_EQ(ls.Cut(), r.cut);
    RLSDir again(Fs(), Cache(), a);  // from the cache: the same lines, still marked
    EXPECT_TRUE(again.FromCache());
    EXPECT_EQ(again.Cut(), r.cut);
  }
}

}  // namespace
}  // namespace vantor::test
