// The machine listing: fact selection, time stamps, entry lines, and the
// MLSD reader with its filters, link entries and cache key.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs/RLSDir.h"
#include "fs/RMLSDir.h"
#include "fs/RMlsxFacts.h"
#include "fs/RPath.h"
#include "fs_fixture.h"

namespace vantor::test {
namespace {

constexpr int64_t kNow = 1780000000;  // 2026-05-28 20:26:40 UTC

// Stamps are UTC whatever the local zone says; a stamp reads back to the
// same second.
TEST(MlsxFacts, TimeStamps) {
  TimeZoneScope newYork("America/New_York");
  EXPECT_EQ(MlsxTime(0), "19700101000000");
  EXPECT_EQ(MlsxTime(kNow), "20260528202640");
  EXPECT_EQ(MlsxTime(951782400), "20000229000000");  // a leap day
  EXPECT_EQ(MlsxTime(-1), "19691231235959");

  struct Case {
    const char* text;
    bool ok;
    int64_t seconds;
  } cases[] = {
      {"20260528202640", true, kNow}, {"20260528202640.123", true, kNow},
      {"19700101000000", true, 0},    {"20000229000000", true, 951782400},
      {"20230229000000", false, 0},  // not a leap year
      {"20261301000000", false, 0},   {"20260001000000", false, 0},
      {"20260100000000", false, 0},   {"20260431000000", false, 0},
      {"20260101240000", false, 0},   {"20260101006000", false, 0},
      {"20260101000060", false, 0},   {"2026052820264", false, 0},  // 13 digits
      {"20260528202640.", false, 0},                                // a dot without digits
      {"20260528202640Z", false, 0},  {"20260528202640.1x", false, 0},
      {"2026-05-28 20:2", false, 0},  {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t got = -7;
    EXPECT_EQ(ParseMlsxTime(c.text, got), c.ok);
    if (c.ok) {
      EXPECT_EQ(got, c.seconds);
      EXPECT_EQ(MlsxTime(got), std::string(c.text).substr(0, 14));
    }
  }
}

// One line per entry: facts in a fixed order, each ending in ";", one blank,
// then the name exactly as stored. Directories have no size; entries whose
// status is unknown keep only type and perm.
TEST(MlsxFacts, EntryLines) {
  RMlsxEntryStr file;
  file.known = true;
  file.isFile = true;
  file.size = 6000000000;
  file.mtime = kNow;
  file.dev = 0x803;
  file.ino = 0x1a2b;
  file.mode = 0644;
  file.perm = "adfrw";
  file.name = "big.iso";
  RMlsxEntryStr dir = file;
  dir.type = RMlsxType::Dir;
  dir.isFile = false;
  dir.mode = 0755;
  dir.perm = "el";
  dir.name = "sub";
  RMlsxEntryStr lead = file;
  lead.name = "  two blanks and \xc3\xa9t\xc3\xa9.txt";
  lead.size = 0;
  RMlsxEntryStr link;
  link.type = RMlsxType::Link;
  link.name = "dangling";
  RMlsxEntryStr setuid = file;
  setuid.mode = 04755;

  struct Case {
    const RMlsxEntryStr* e;
    RMlsxType type;
    uint32_t facts;
    const char* line;
  } cases[] = {
      {&file, RMlsxType::File, kMlsxDefaultFacts,
       "type=file;size=6000000000;modify=20260528202640;perm=adfrw; big.iso"},
      {&file, RMlsxType::File, kMlsxAllFacts,
       "type=file;size=6000000000;modify=20260528202640;perm=adfrw;unique=803U1a2b;"
       "UNIX.mode=0644; big.iso"},
      {&file, RMlsxType::File, 0, " big.iso"},
      {&file, RMlsxType::File, MF_Size | MF_UnixMode, "size=6000000000;UNIX.mode=0644; big.iso"},
      {&dir, RMlsxType::Dir, kMlsxDefaultFacts, "type=dir;modify=20260528202640;perm=el; sub"},
      {&dir, RMlsxType::CDir, MF_Type, "type=cdir; sub"},
      {&dir, RMlsxType::PDir, MF_Type | MF_UnixMode, "type=pdir;UNIX.mode=0755; sub"},
      {&lead, RMlsxType::File, MF_Type | MF_Size,
       "type=file;size=0;   two blanks and \xc3\xa9t\xc3\xa9.txt"},
      {&link, RMlsxType::Link, kMlsxAllFacts, "type=OS.unix=symlink;perm=; dangling"},
      {&setuid, RMlsxType::File, MF_UnixMode, "UNIX.mode=04755; big.iso"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    RMlsxEntryStr e = *c.e;
    e.type = c.type;
    EXPECT_EQ(FormatMlsxEntry(e, c.facts), c.line);
  }
  EXPECT_TRUE(MlsxNameListable(" a b\t\xe2\x82\xac"));
  EXPECT_FALSE(MlsxNameListable("a\r\ntype=file; evil"));
  EXPECT_FALSE(MlsxNameListable("a\nb"));
}

// Answers perm questions with a fixed text per kind and records them; the
// listing filter refuses every path holding "secret".
class FakeAccess : public RFsAccess, public RMlsxPerms {
 public:
  bool CanList(std::string_view, uint32_t, std::string_view path) override {
    return path.find("secret") == std::string_view::npos;
  }
  std::string Letters(std::string_view path, bool directory, int64_t size) override {
    asked.push_back(std::string(path) + (directory ? " dir " : " file ") + std::to_string(size));
    return directory ? "el" : "r";
  }
  std::vector<std::string> asked;
};

class MlsdTest : public FsTree {
 protected:
  void SetUp() override {
    FsTree::SetUp();
    Write("c/ftp/a.txt", "abc", kNow);
    Write("c/ftp/.hidden", "h", kNow);
    Write("c/ftp/ lead", "12", kNow);
    Write("c/ftp/secret.txt", "s", kNow);
    Mkdir("c/ftp/sub");
    SetTime("c/ftp/sub", kNow - 60);
    Symlink("a.txt", "c/ftp/to-a");
    Symlink("/nowhere/at/all", "c/ftp/outside");
    ASSERT_EQ(mkfifo(P("c/ftp/pipe").c_str(), 0600), 0);
    Write("c/ftp/cr\rname", "x", kNow);
    SetTime("c/ftp", kNow - 120);
    SetTime("c", kNow - 180);
  }

  std::vector<std::string> Mlsd(const std::string& dir, uint32_t facts = MF_Type | MF_Size,
                                bool hideHidden = false, bool relPaths = false,
                                bool* fromCache = nullptr) {
    RMLSDirArgsStr a;
    a.user = "joe";
    a.dir = dir;
    a.access = &access_;
    a.perms = &access_;
    a.address = 0x7F000001;
    a.home = "c:\\ftp";
    a.relPaths = relPaths;
    a.hideHidden = hideHidden;
    a.facts = facts;
    RMLSDir ls(Fs(), Cache(), a);
    if (fromCache != nullptr) *fromCache = ls.FromCache();
    return ls.TakeLines();
  }

  FakeAccess access_;
};

// The listed directory first ("cdir"), its parent ("pdir"), then the
// entries by name: links show what they lead to, and FIFOs, names with CR
// or LF, refused entries and dangling links' facts stay out.
TEST_F(MlsdTest, EntriesOfADirectory) {
  const std::vector<std::string> want = {
      "type=cdir;modify=20260528202440;perm=el; .",
      "type=pdir;modify=20260528202340;perm=el; ..",
      "type=file;size=2;modify=20260528202640;perm=r;  lead",
      "type=file;size=1;modify=20260528202640;perm=r; .hidden",
      "type=file;size=3;modify=20260528202640;perm=r; a.txt",
      "type=dir;modify=20260528202540;perm=el; sub",
      "type=OS.unix=symlink;size=3;modify=20260528202640;perm=r; to-a",
  };
  EXPECT_EQ(Mlsd("c:\\ftp", kMlsxDefaultFacts), want);
  // Every perm question was about the object a command would reach (the
  // link's about its target), in the order the directory was read.
  std::sort(access_.asked.begin() + 2, access_.asked.end());
  EXPECT_EQ(access_.asked, (std::vector<std::string>{
                               "c:\\ftp dir 0",
                               "c:\\ dir 0",
                               "c:\\ftp\\ lead file 2",
                               "c:\\ftp\\.hidden file 1",
                               "c:\\ftp\\a.txt file 3",
                               "c:\\ftp\\a.txt file 3",
                               "c:\\ftp\\sub dir 0",
                           }));
}

// HideHidden drops dot files but never the directory's own entries; a
// confined user sees no parent above his home, nor does a drive root.
TEST_F(MlsdTest, HiddenFilesAndParents) {
  std::vector<std::string> lines = Mlsd("c:\\ftp", MF_Type, true, true);
  EXPECT_EQ(lines, (std::vector<std::string>{"type=cdir; .", "type=file;  lead", "type=file; a.txt",
                                             "type=dir; sub", "type=OS.unix=symlink; to-a"}));
  lines = Mlsd("c:\\ftp\\sub", MF_Type, true, true);
  EXPECT_EQ(lines, (std::vector<std::string>{"type=cdir; .", "type=pdir; .."}));
  lines = Mlsd("c:\\", MF_Type);
  EXPECT_EQ(lines, (std::vector<std::string>{"type=cdir; .", "type=dir; ftp"}));
}

// MLSD shares the directory cache with LIST under a key of its own: a
// LIST of the same directory never answers an MLSD, and another fact
// selection is another listing.
TEST_F(MlsdTest, CacheKeyOfItsOwn) {
  bool cached = true;
  const std::vector<std::string> first = Mlsd("c:\\ftp", MF_Type, false, false, &cached);
  EXPECT_FALSE(cached);
  EXPECT_EQ(Mlsd("c:\\ftp", MF_Type, false, false, &cached), first);
  EXPECT_TRUE(cached);
  EXPECT_NE(Mlsd("c:\\ftp", MF_Type | MF_Size, false, false, &cached), first);
  EXPECT_FALSE(cached);

  RLSDirArgsStr ls = LsArgs("c:\\ftp", "", "", "c:\\ftp");
  ls.address = 0x7F000001;
  RLSDir list(Fs(), Cache(), ls);
  EXPECT_FALSE(list.FromCache());
  std::vector<std::string> names = list.TakeLines();
  EXPECT_EQ(names.front(), " lead");
  EXPECT_EQ(Mlsd("c:\\ftp", MF_Type, false, false, &cached), first);
  EXPECT_TRUE(cached);
}

// MLST's entry: the object itself, a directory as "dir"; anything but a
// regular file or a directory is no entry.
TEST_F(MlsdTest, MlstEntries) {
  RMlsxEntryStr e;
  ASSERT_TRUE(MlstEntry(Fs(), "c:\\ftp\\a.txt", "/a.txt", kMlsxDefaultFacts, &access_, e));
  EXPECT_EQ(FormatMlsxEntry(e, kMlsxDefaultFacts),
            "type=file;size=3;modify=20260528202640;perm=r; /a.txt");
  ASSERT_TRUE(MlstEntry(Fs(), "c:\\ftp\\sub", "/sub", MF_Type | MF_Perm, &access_, e));
  EXPECT_EQ(FormatMlsxEntry(e, MF_Type | MF_Perm), "type=dir;perm=el; /sub");
  ASSERT_TRUE(MlstEntry(Fs(), "c:\\ftp\\sub", "/sub", MF_Type, nullptr, e));
  EXPECT_EQ(FormatMlsxEntry(e, MF_Type | MF_Perm), "type=dir;perm=; /sub");
  EXPECT_FALSE(MlstEntry(Fs(), "c:\\ftp\\pipe", "/pipe", MF_Type, nullptr, e));
  EXPECT_FALSE(MlstEntry(Fs(), "c:\\ftp\\to-a", "/to-a", MF_Type, nullptr, e));
  EXPECT_FALSE(MlstEntry(Fs(), "c:\\ftp\\none", "/none", MF_Type, nullptr, e));
}

}  // namespace
}  // namespace vantor::test
