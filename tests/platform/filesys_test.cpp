// The platform file layer: no-follow opens, case-insensitive lookup, device
// names, attributes and the change watcher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/RDirWatch.h"
#include "platform/RFileIO.h"
#include "platform/RFileSys.h"
#include "temp_dir.h"

namespace vantor {
namespace {

class FileSysTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_ + "/Dir/Sub");
    std::ofstream(root_ + "/Dir/File.TXT") << "hello";
    std::ofstream(root_ + "/outside.txt") << "secret";
    ASSERT_EQ(symlink((root_ + "/outside.txt").c_str(), (root_ + "/Dir/link.txt").c_str()), 0);
    ASSERT_EQ(symlink((root_ + "/Dir").c_str(), (root_ + "/dirlink").c_str()), 0);
    ASSERT_EQ(mkfifo((root_ + "/Dir/fifo").c_str(), 0644), 0);
    FsUseOpenat2(GetParam());
  }
  void TearDown() override { FsUseOpenat2(true); }
  test::TempDir tmp_;
  const std::string root_ = tmp_.Path();
};

// Only regular files reached without any link are opened, in both the
// openat2 and the component-walk implementation, and a refusal carries its
// reason (the upload path tells "exists" from the rest by it).
TEST_P(FileSysTest, OpenNeverFollowsLinks) {
  struct Row {
    const char* rel;
    ROpenMode mode;
    int err;  // 0: opened
    // A link in the middle of the path: openat2 says ELOOP, the walk's
    // O_DIRECTORY open of the link says ENOTDIR.
    bool linkOnTheWay = false;
  } rows[] = {
      {"/Dir/File.TXT", ROpenMode::Read, 0},
      {"/Dir/link.txt", ROpenMode::Read, -ELOOP},
      {"/dirlink/File.TXT", ROpenMode::Read, -ELOOP, true},
      {"/dirlink/new.txt", ROpenMode::WriteCreate, -ELOOP, true},
      {"/Dir/fifo", ROpenMode::Read, -EINVAL},
      {"/Dir", ROpenMode::Read, -EISDIR},
      {"/Dir/../outside.txt", ROpenMode::Read, -EINVAL},
      {"/Dir/missing", ROpenMode::Read, -ENOENT},
      {"/Dir/new.txt", ROpenMode::WriteNew, 0},
      {"/Dir/new.txt", ROpenMode::WriteNew, -EEXIST},
      {"/Dir/new.txt", ROpenMode::WriteAppend, 0},
      {"/Dir/link.txt", ROpenMode::WriteCreate, -ELOOP},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rel);
    RFdResult opened = FsOpenNoFollow(root_ + r.rel, r.mode);
    EXPECT_EQ(opened.err, r.linkOnTheWay && !GetParam() ? -ENOTDIR : r.err);
    EXPECT_EQ(opened.fd.Valid(), r.err == 0);
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/Dir/Sub/new.txt"));
  std::ifstream in(root_ + "/outside.txt");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "secret");  // the link target was never truncated
  EXPECT_EQ(FsOpenNoFollow("relative/path", ROpenMode::Read).err, -EINVAL);
}

// Components are found without regard to case; missing ones kept as given.
TEST_P(FileSysTest, CaseInsensitiveLookup) {
  RDriveMap drives;
  drives.Clear();
  ASSERT_TRUE(drives.Set('C', root_));
  EXPECT_EQ(FsDriveToPosix(drives, "C:\\dir\\sub"), root_ + "/Dir/Sub");
  EXPECT_EQ(FsDriveToPosix(drives, "c:\\DIR\\file.txt"), root_ + "/Dir/File.TXT");
  EXPECT_EQ(FsDriveToPosix(drives, "c:\\dir\\New\\Deeper"), root_ + "/Dir/New/Deeper");
  EXPECT_EQ(FsDriveToPosix(drives, "c:\\"), root_);
  EXPECT_EQ(FsDriveToPosix(drives, "d:\\dir"), "");
  EXPECT_EQ(FsDriveToPosix(drives, "c:\\dir\\..\\x"), "");
  // A linked directory's entries are not searched for other spellings.
  EXPECT_EQ(FsDriveToPosix(drives, "c:\\DIRLINK\\file.txt"), root_ + "/dirlink/file.txt");
}

// A directory counts only when no link leads to it, the last name included.
TEST_P(FileSysTest, IsDirectoryRefusesLinks) {
  EXPECT_TRUE(FsIsDirectory(root_ + "/Dir/Sub"));
  EXPECT_TRUE(FsIsDirectory("/"));
  EXPECT_FALSE(FsIsDirectory(root_ + "/dirlink"));
  EXPECT_FALSE(FsIsDirectory(root_ + "/dirlink/Sub"));
  EXPECT_FALSE(FsIsDirectory(root_ + "/Dir/File.TXT"));
  EXPECT_FALSE(FsIsDirectory(root_ + "/Dir/fifo"));
  EXPECT_FALSE(FsIsDirectory(root_ + "/Dir/missing"));
  EXPECT_FALSE(FsIsDirectory(root_ + "/Dir/../Dir"));
  EXPECT_FALSE(FsIsDirectory("Dir"));
}

// Status, attributes and times.
TEST_P(FileSysTest, StatAndAttributes) {
  RFileStatStr st;
  ASSERT_TRUE(FsStat(root_ + "/Dir/File.TXT", st));
  EXPECT_EQ(st.type, RFileType::Regular);
  EXPECT_EQ(st.size, 5);
  EXPECT_FALSE(st.hidden);
  EXPECT_GT(st.btime, 0);
  ASSERT_TRUE(FsStat(root_ + "/Dir/link.txt", st));
  EXPECT_EQ(st.type, RFileType::Link);
  EXPECT_FALSE(FsStat(root_ + "/dirlink/File.TXT", st));  // no link on the way
  EXPECT_FALSE(FsStat(root_ + "/missing", st));
  EXPECT_EQ(FsSetReadOnly(root_ + "/Dir/File.TXT", true), 0);
  ASSERT_TRUE(FsStat(root_ + "/Dir/File.TXT", st));
  EXPECT_TRUE(st.readOnly);
  EXPECT_EQ(FsSetReadOnly(root_ + "/Dir/File.TXT", false), 0);
  ASSERT_TRUE(FsStat(root_ + "/Dir/File.TXT", st));
  EXPECT_FALSE(st.readOnly);
  EXPECT_EQ(FsSetReadOnly(root_ + "/Dir/link.txt", true), -ELOOP);
  EXPECT_EQ(FsSetModTime(root_ + "/Dir/File.TXT", 1000000000), 0);
  ASSERT_TRUE(FsStat(root_ + "/Dir/File.TXT", st));
  EXPECT_EQ(st.mtime, 1000000000);
  std::string target;
  EXPECT_TRUE(FsReadLink(root_ + "/Dir/link.txt", target));
  EXPECT_EQ(target, root_ + "/outside.txt");
  EXPECT_GT(FsFreeSpace(root_), 0);
  EXPECT_EQ(FsFreeSpace(root_ + "/missing/dir"), -1);
  std::string text;
  EXPECT_TRUE(FsReadSmallFile(root_ + "/Dir/File.TXT", text));
  EXPECT_EQ(text, "hello");
  EXPECT_FALSE(FsReadSmallFile(root_ + "/Dir/link.txt", text));
}

// Directory operations refuse to pass through links.
TEST_P(FileSysTest, DirectoryOperations) {
  EXPECT_EQ(FsMakeDir(root_ + "/Dir/made"), 0);
  EXPECT_EQ(FsMakeDir(root_ + "/Dir/made"), -EEXIST);
  EXPECT_NE(FsMakeDir(root_ + "/dirlink/made2"), 0);
  EXPECT_EQ(FsRename(root_ + "/Dir/made", root_ + "/Dir/renamed"), 0);
  EXPECT_EQ(FsRemoveDir(root_ + "/Dir/renamed"), 0);
  EXPECT_NE(FsRemoveFile(root_ + "/dirlink/File.TXT"), 0);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/Dir/File.TXT"));
  EXPECT_EQ(FsRemoveFile(root_ + "/Dir/link.txt"), 0);  // removes the link itself
  EXPECT_TRUE(std::filesystem::exists(root_ + "/outside.txt"));
}

// Removal of an open file's name happens only while the name still leads to
// that file; its identity and link count come from the descriptor, numbered
// as FsStat numbers them.
TEST_P(FileSysTest, RemoveFileOfIsByIdentity) {
  const std::string path = root_ + "/Dir/File.TXT";
  RFdResult mine = FsOpenNoFollow(path, ROpenMode::WriteExisting);
  ASSERT_TRUE(mine.fd.Valid());
  RFdInfoStr info;
  RFileStatStr st;
  ASSERT_EQ(FdInfo(mine.fd.Get(), info), 0);
  ASSERT_TRUE(FsStat(path, st));
  EXPECT_EQ(std::make_pair(info.dev, info.ino), std::make_pair(st.dev, st.ino));
  EXPECT_EQ(info.nlink, 1u);
  std::ofstream(root_ + "/Dir/other") << "other";
  ASSERT_EQ(FsRename(root_ + "/Dir/other", path), 0);
  EXPECT_EQ(FsRemoveFileOf(path, mine.fd.Get()), -ESTALE);
  EXPECT_TRUE(std::filesystem::exists(path)) << "another file under the name was removed";
  ASSERT_EQ(FdInfo(mine.fd.Get(), info), 0);
  EXPECT_EQ(info.nlink, 0u);
  RFdResult theirs = FsOpenNoFollow(path, ROpenMode::Read);
  ASSERT_TRUE(theirs.fd.Valid());
  EXPECT_EQ(FsRemoveFileOf(path, theirs.fd.Get()), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(FsRemoveFileOf(path, theirs.fd.Get()), -ENOENT);
}

INSTANTIATE_TEST_SUITE_P(Openat2AndWalk, FileSysTest, ::testing::Values(true, false));

TEST(FileSys, ReservedDeviceNames) {
  struct Row {
    const char* name;
    size_t len;
  } rows[] = {{"PRN", 3},     {"prn.txt", 3}, {"lpt1.txt", 4},  {"COM9", 4},  {"com1:", 4},
              {"con:.x", 3},  {"CLOCK$", 6},  {"truename.", 8}, {"stdin", 5}, {"aux.a.b", 3},
              {"console", 0}, {"com", 0},     {"comx", 0},      {"lpt1x", 0}, {"prn:x", 0},
              {"nul", 0},     {"", 0},        {"xprn", 0}};
  for (const Row& r : rows) EXPECT_EQ(FsReservedDeviceLength(r.name), r.len) << r.name;
}

// Changes wake the waiter with the watch id; Wake() wakes it without one.
TEST(DirWatch, ReportsChangesAndWakes) {
  test::TempDir dir;
  const std::string& tmpl = dir.Path();
  {
    RDirWatch w;
    ASSERT_TRUE(w.Valid());
    int id = w.Add(tmpl);
    ASSERT_GE(id, 0);
    EXPECT_EQ(w.Add(tmpl), id);
    EXPECT_EQ(w.Add(tmpl + "/missing"), -1);
    w.Wake();
    RDirWatch::Result r = w.Wait(5000);
    EXPECT_TRUE(r.woken);
    EXPECT_TRUE(r.changed.empty());
    std::ofstream(tmpl + "/f") << "x";
    r = w.Wait(5000);
    ASSERT_EQ(r.changed.size(), 1u);
    EXPECT_EQ(r.changed[0], id);
    w.Remove(id);
    r = w.Wait(0);
    EXPECT_TRUE(r.changed.empty());
  }
}

// Pipe to file: the bytes land at the file position, through splice or,
// where the file refuses it (O_APPEND), through the buffer; bytes the pipe
// does not hold are an error, never a wait.
TEST_P(FileSysTest, SpliceFromPipe) {
  RFd r, w;
  ASSERT_EQ(FdPipe(r, w, 256 << 10), 0);
  EXPECT_GE(::fcntl(w.Get(), F_GETPIPE_SZ), 256 << 10);
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 97);
  const std::string path = root_ + "/spliced.bin";
  for (int flags : {O_WRONLY, O_WRONLY | O_APPEND}) {
    SCOPED_TRACE(flags);
    RFd f(::open(path.c_str(), O_CREAT | O_TRUNC | flags | O_CLOEXEC, 0600));
    ASSERT_TRUE(f.Valid());
    ASSERT_EQ(::write(f.Get(), "head", 4), 4);
    ASSERT_EQ(::write(w.Get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(FdSpliceAll(r.Get(), f.Get(), data.size()), static_cast<int64_t>(data.size()));
    ASSERT_EQ(::write(w.Get(), "xyz", 3), 3);
    EXPECT_EQ(FdSpliceAll(r.Get(), f.Get(), 10), -EIO);
    f.Reset();
    std::ifstream in(path, std::ios::binary);
    const std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(back == "head" + data + "xyz");
  }
}

}  // namespace
}  // namespace vantor
