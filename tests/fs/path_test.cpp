// Client path to local path and back on a temp tree mapped as C: and D:.
#include <string>
#include <vector>

#include "fs/RLinkFile.h"
#include "fs/RPath.h"
#include "fs_fixture.h"

namespace vantor::test {
namespace {

struct Case {
  const char* client;
  const char* cur;
  bool device;
  bool relPaths;
  const char* want;
};

class PathTest : public FsTree {
 protected:
  std::string Resolve(std::string p, std::string_view cur, std::string_view home, bool device,
                      bool relPaths, bool raw = false) {
    ResolvePath(Fs(), p, cur, home, device, raw, relPaths);
    return p;
  }
  void SetUp() override {
    FsTree::SetUp();
    Mkdir("c/ftp/joe/docs");
    Mkdir("c/ftp/joey");
    Mkdir("c/ftp/pub");
    Mkdir("d/data");
    Mkdir("d/shared/docs");
    Write("c/ftp/joe/a.txt", "abc");
  }
};

// The text rules of resolution, one case each, for a confined and a free user.
TEST_F(PathTest, CoreStepTable) {
  const Case cases[] = {
      // Confined user, home c:\ftp\joe.
      {"/", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe"},
      {"/../..", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe"},
      {"~/docs", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe\\docs"},
      {"docs", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe\\docs"},
      {"", "c:\\ftp\\joe\\docs", false, true, "c:\\ftp\\joe\\docs"},
      {"  ", "c:\\ftp\\joe\\docs", false, true, "c:\\ftp\\joe\\docs"},
      {"..", "c:\\ftp\\joe\\docs", false, true, "c:\\ftp\\joe"},
      {"/c:/ftp/pub", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe\\c:\\ftp\\pub"},
      {"/../joey/x", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe"},  // sibling with same prefix
      // A removed current directory stays where it was: the name must not
      // land in its parent, where it would replace or remove another file.
      {"new.txt", "c:\\ftp\\joe\\gone", false, true, "c:\\ftp\\joe\\gone\\new.txt"},
      {"new.txt", "c:\\ftp\\gone", false, false, "c:\\ftp\\gone\\new.txt"},
      {"..", "c:\\ftp\\joe\\gone", false, true, "c:\\ftp\\joe"},
      {"/docs/%20x%20/", "c:\\ftp\\joe", false, true, "c:\\ftp\\joe\\docs\\x"},
      // Free user, current directory c:\ftp.
      {"/d/data", "c:\\ftp", false, false, "d:\\data"},
      {"/d:/data", "c:\\ftp", false, false, "d:\\data"},
      {"/pub", "c:\\ftp", false, false, "c:\\pub"},
      {"pub", "c:\\ftp", false, false, "c:\\ftp\\pub"},
      {"d:", "c:\\ftp", false, false, "d:\\"},
      {"d:data", "c:\\ftp", false, false, "d:\\"},
      {"c:\\ftp\\pub", "d:\\data", false, false, "c:\\ftp\\pub"},
      {"/./pub", "c:\\ftp", false, false, "c:\\pub"},  // "." is no drive letter
      {"/c:/ftp/a/.../pub", "c:\\ftp", false, false, "c:\\pub"},
      {"/c:/ftp/..../x", "c:\\ftp", false, false, "c:\\x"},
      {"pub.", "c:\\ftp", false, false, "c:\\ftp\\pub"},
      {"pub...  ", "c:\\ftp", false, false, "c:\\ftp\\pub"},
      {"/c:/ftp / pub ", "c:\\ftp", false, false, "c:\\ftp\\pub"},
      {"/c:/ftp//pub/./", "c:\\ftp", false, false, "c:\\ftp\\pub"},
      {"/c:/ftp/pub/. ./x", "c:\\ftp", false, false, "c:\\ftp\\pub\\x"},
      {"/c:/../../..", "c:\\ftp", false, false, "c:\\"},
      {"~", "c:\\ftp", false, false, "c:\\ftp\\joe"},
      {"pub/~/docs", "c:\\ftp", false, false, "c:\\ftp\\joe\\docs"},
      {"lpt1.txt", "c:\\ftp", true, false, "LPT1:"},
      {"/c:/ftp/Prn", "c:\\ftp", true, false, "PRN:"},
      {"/c:/ftp/com1:", "c:\\ftp", true, false, "COM1:"},
      {"lpt1.txt", "c:\\ftp", false, false, "c:\\ftp\\lpt1.txt"},
      {"console", "c:\\ftp", true, false, "c:\\ftp\\console"},
      {"sub\\dir", "c:\\ftp", false, false, "c:\\ftp\\sub\\dir"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Resolve(c.client, c.cur, "c:\\ftp\\joe", c.device, c.relPaths), c.want)
        << std::string(c.client) + " from " + c.cur;
}

// Local paths are shown as the client sees them.
TEST_F(PathTest, ToClientPathForms) {
  EXPECT_EQ(ToClientPath(Fs(), "c:\\ftp\\joe\\docs", "c:\\ftp\\joe", true), "/docs");
  EXPECT_EQ(ToClientPath(Fs(), "c:\\ftp\\joe", "c:\\ftp\\joe", true), "/");
  EXPECT_EQ(ToClientPath(Fs(), "C:\\FTP\\Joe\\x", "c:\\ftp\\joe", true), "/x");
  EXPECT_EQ(ToClientPath(Fs(), "c:\\ftp\\joey", "c:\\ftp\\joe", true), "/c:/ftp/joey");
  EXPECT_EQ(ToClientPath(Fs(), "c:\\ftp\\pub", "c:\\ftp\\joe", false), "/c:/ftp/pub");
  EXPECT_EQ(ToClientPath(Fs(), "c:\\", "c:\\", true), "/");
  EXPECT_EQ(ToClientPath(Fs(), "c:\\pub", "c:\\", true), "/pub");
  SetLowerCase(true);
  EXPECT_EQ(ToClientPath(Fs(), "C:\\FTP\\Pub", "c:\\ftp\\joe", false), "/c:/ftp/pub");
  EXPECT_EQ(Resolve("/D/Data", "c:\\ftp", "c:\\ftp\\joe", false, false), "d:\\data");
}

// The raw flag skips confinement and relative handling (server's own files).
TEST_F(PathTest, RawIgnoresConfinement) {
  EXPECT_EQ(Resolve("/c:/ftp/pub", "c:\\ftp\\joe", "c:\\ftp\\joe", false, true, true),
            "c:\\ftp\\pub");
}

// A NUL cannot shorten the path seen by the system below what was checked.
TEST_F(PathTest, NulEndsThePath) {
  std::string p("docs\0/../../..", 14);
  EXPECT_EQ(Resolve(p, "c:\\ftp\\joe", "c:\\ftp\\joe", false, true), "c:\\ftp\\joe\\docs");
}

// Existence predicates, device names and case-insensitive lookup.
TEST_F(PathTest, Predicates) {
  EXPECT_TRUE(IsDirectory(Fs(), "c:\\ftp\\joe"));
  EXPECT_TRUE(IsDirectory(Fs(), "C:\\FTP\\JOE\\Docs"));
  EXPECT_TRUE(IsDirectory(Fs(), "c:\\"));
  EXPECT_TRUE(IsDirectory(Fs(), "d:"));
  EXPECT_FALSE(IsDirectory(Fs(), "e:\\"));  // not in the drive table
  EXPECT_FALSE(IsDirectory(Fs(), "c:\\ftp\\*"));
  EXPECT_FALSE(IsDirectory(Fs(), "c:\\ftp\\joe\\a.txt"));
  EXPECT_TRUE(IsRegularFile(Fs(), "c:\\ftp\\joe\\A.TXT"));
  EXPECT_FALSE(IsRegularFile(Fs(), "c:\\ftp\\joe"));
  EXPECT_FALSE(IsRegularFile(Fs(), "c:\\"));
  EXPECT_FALSE(IsRegularFile(Fs(), "c:\\ftp\\joe\\a?txt"));
  EXPECT_EQ(FileSize(Fs(), "c:\\ftp\\joe\\a.txt"), 3);
  EXPECT_EQ(FileSize(Fs(), "c:\\ftp\\joe"), -1);
  EXPECT_EQ(FileSize(Fs(), "c:\\ftp\\joe\\missing"), -1);
  EXPECT_TRUE(IsReservedDevice("LPT1:"));
  EXPECT_TRUE(IsReservedDevice("c:\\ftp\\aux.log"));
  EXPECT_FALSE(IsReservedDevice("c:\\ftp\\auxiliary"));
  EXPECT_FALSE(IsRegularFile(Fs(), "LPT1:"));
  EXPECT_FALSE(IsDirectory(Fs(), "LPT1:"));
  EXPECT_EQ(LocalTrueCase(Fs(), "C:\\FTP\\JOE\\DOCS\\New"), "c:\\ftp\\joe\\docs\\New");
  EXPECT_EQ(LocalToPosix(Fs(), "c:\\FTP\\Joe"), P("c/ftp/joe"));
}

// A file named like a device is never opened or created.
TEST_F(PathTest, DeviceNamesAreNeverOpened) {
  Write("c/ftp/lpt1.txt", "x");
  EXPECT_FALSE(OpenLocalFile(Fs(), "c:\\ftp\\lpt1.txt", ROpenMode::Read).fd.Valid());
  EXPECT_FALSE(OpenLocalFile(Fs(), "PRN:", ROpenMode::WriteCreate).fd.Valid());
  EXPECT_FALSE(std::filesystem::exists("PRN:"));
  EXPECT_FALSE(std::filesystem::exists(P("c/ftp/prn")));
}

// Link list entries as path components.
TEST_F(PathTest, LinkListEntries) {
  Write("c/ftp/links.txt", "  docs | d:\\shared\\docs  \nbroken line\nPosix|" + P("d/data") + "\n");
  SetLinkFile("links.txt");
  Write("d/shared/docs/a.txt", "x");
  EXPECT_EQ(Resolve("docs/a.txt", "c:\\ftp", "c:\\ftp\\joe", false, false),
            "d:\\shared\\docs\\a.txt");
  EXPECT_EQ(Resolve("/c:/ftp/docs/a.txt", "d:\\data", "c:\\ftp\\joe", false, false),
            "d:\\shared\\docs\\a.txt");
  EXPECT_EQ(Resolve("DOCS", "c:\\ftp", "c:\\ftp\\joe", false, false), "d:\\shared\\docs");
  EXPECT_EQ(Resolve("posix/x", "c:\\ftp", "c:\\ftp\\joe", false, false), "d:\\data\\x");
  EXPECT_EQ(FindLink(Fs(), "c:\\ftp", "Docs").value_or("none"), "d:\\shared\\docs");
  EXPECT_FALSE(FindLink(Fs(), "c:\\ftp", "broken line").has_value());
  // A confined user's link counts only inside home.
  Write("c/ftp/joe/links.txt", "out|d:\\shared\\docs\nin|c:\\ftp\\joe\\docs\n");
  EXPECT_EQ(
      Resolve("/out/a.txt", "c:\\ftp\\joe", "c:\\ftp\\joe", false, true).rfind("c:\\ftp\\joe", 0),
      0u);
  EXPECT_EQ(Resolve("/in/x", "c:\\ftp\\joe", "c:\\ftp\\joe", false, true), "c:\\ftp\\joe\\docs\\x");
}

// LinkFile2 is read when LinkFile cannot be opened; location rules.
TEST_F(PathTest, LinkListLocations) {
  EXPECT_EQ(LinkListPath("c:\\ftp", "links.txt"), "c:\\ftp\\links.txt");
  EXPECT_EQ(LinkListPath("c:\\", "links.txt"), "c:\\links.txt");
  EXPECT_EQ(LinkListPath("c:\\ftp", "\\etc\\l.txt"), "c:\\etc\\l.txt");
  EXPECT_EQ(LinkListPath("c:\\ftp", "d:\\all.txt"), "d:\\all.txt");
  EXPECT_EQ(LinkListPath("c:\\ftp", ""), "");
  Write("d/all.txt", "pub2|c:\\ftp\\pub\n");
  SetLinkFile("missing.txt", "d:\\all.txt");
  EXPECT_EQ(Resolve("pub2", "c:\\ftp", "c:\\ftp\\joe", false, false), "c:\\ftp\\pub");
}

// Symbolic links are link entries: resolved through the link step and
// confined like any other target.
TEST_F(PathTest, SymlinksAreLinkEntries) {
  Symlink(P("d/shared"), "c/ftp/share");
  Symlink("../pub", "c/ftp/joe/rel");
  Symlink("/nonexistent-outside-drives", "c/ftp/nowhere");
  EXPECT_EQ(Resolve("share/docs", "c:\\ftp", "c:\\ftp\\joe", false, false), "d:\\shared\\docs");
  EXPECT_EQ(Resolve("rel", "c:\\ftp\\joe", "c:\\ftp\\joe", false, false), "c:\\ftp\\pub");
  // Confined: the target outside home becomes a name inside home that does not exist.
  std::string r = Resolve("/rel", "c:\\ftp\\joe", "c:\\ftp\\joe", false, true);
  EXPECT_EQ(r.rfind("c:\\ftp\\joe", 0), 0u);
  EXPECT_FALSE(IsDirectory(Fs(), r));
  EXPECT_FALSE(IsDirectory(Fs(), "c:\\ftp\\share"));
  EXPECT_FALSE(FindLink(Fs(), "c:\\ftp", "nowhere").has_value() &&
               FindLink(Fs(), "c:\\ftp", "nowhere")->empty() == false &&
               IsDirectory(Fs(), *FindLink(Fs(), "c:\\ftp", "nowhere")));
}

}  // namespace
}  // namespace vantor::test
