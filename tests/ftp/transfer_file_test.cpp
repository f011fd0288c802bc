// The transfer file: sharing locks between uploads and downloads, restart
// positions, deferred truncation and the clean-up of failed uploads.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "ftp/RTransferFile.h"
#include "platform/RFileIO.h"
#include "platform/RMessageLoop.h"
#include "platform/RWorkPool.h"
#include "temp_dir.h"

using namespace vantor;

namespace {

// A temp directory that must be empty again (apart from what the test
// names) when the test ends.
class TransferFileTest : public ::testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& data) { tmp_.Write(name, data); }
  std::string Get(const std::string& name) { return tmp_.Read(name); }
  bool Exists(const std::string& name) { return std::filesystem::exists(P(name)); }

  test::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
};

// Files may grow to `bytes` while it lives; past that a write fails with
// EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &oldAction_);
    getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit small = saved_;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &oldAction_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct sigaction oldAction_ {};
  struct rlimit saved_ {};
};

}  // namespace

// Which second open succeeds while a first one is held, per sharing mode.
TEST_F(TransferFileTest, SharingModes) {
  struct Case {
    RUploadSharing sharing;
    bool secondUpload;  // may a second upload open the file?
    bool reader;        // may a download open it?
  };
  const Case cases[] = {
      {RUploadSharing::Exclusive, false, false},
      {RUploadSharing::Any, false, false},  // first attempt takes the reader slot too
      {RUploadSharing::Shared, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.sharing));
    Put("f", "data");
    RTransferFile first;
    ASSERT_EQ(first.Open(P("f"), RTransferOpenMode::Write, 0, c.sharing), 0);
    RTransferFile second;
    EXPECT_EQ(second.Open(P("f"), RTransferOpenMode::Append, 0, c.sharing) == 0, c.secondUpload);
    second.Close();
    RTransferFile reader;
    EXPECT_EQ(reader.Open(P("f"), RTransferOpenMode::Read, 0, c.sharing) == 0, c.reader);
  }
}

// "Any" falls back to read sharing when a download is running: the upload
// goes ahead, a second upload is still kept out.
TEST_F(TransferFileTest, AnyWithRunningDownload) {
  Put("f", "data");
  RTransferFile reader;
  ASSERT_EQ(reader.Open(P("f"), RTransferOpenMode::Read, 0, RUploadSharing::Any), 0);
  RTransferFile up;
  EXPECT_EQ(up.Open(P("f"), RTransferOpenMode::Write, 0, RUploadSharing::Any), 0);
  RTransferFile up2;
  EXPECT_EQ(up2.Open(P("f"), RTransferOpenMode::Write, 0, RUploadSharing::Any), -EAGAIN);
  RTransferFile excl;
  EXPECT_NE(excl.Open(P("f"), RTransferOpenMode::Write, 0, RUploadSharing::Exclusive), 0);
  // A refused open changed nothing: no truncation happened.
  EXPECT_EQ(Get("f"), "data");
}

// STOR truncates only on Commit; STOR after REST keeps the first n bytes;
// APPE writes at the end; RETR starts at the offset.
TEST_F(TransferFileTest, PositionsAndDeferredTruncation) {
  Put("f", "0123456789");
  {
    RTransferFile w;
    ASSERT_EQ(w.Open(P("f"), RTransferOpenMode::Write, 0, RUploadSharing::Any), 0);
    EXPECT_EQ(Get("f"), "0123456789") << "nothing cut before the data connection is up";
    ASSERT_EQ(w.Commit(), 0);
    EXPECT_EQ(Get("f"), "");
    EXPECT_EQ(w.Write("ab", 2), 2);
  }
  EXPECT_EQ(Get("f"), "ab");
  Put("f", "0123456789");
  {
    RTransferFile w;
    ASSERT_EQ(w.Open(P("f"), RTransferOpenMode::Write, 4, RUploadSharing::Any), 0);
    EXPECT_EQ(w.StartOffset(), 4);
    EXPECT_EQ(w.Write("xy", 2), 2);  // the first write commits
  }
  EXPECT_EQ(Get("f"), "0123xy");
  // A restart offset past the end is refused: the gap would be zeros no
  // client sent (and a huge offset a sparse terabyte). Nothing is created or
  // changed. One at the end leaves the file as it is.
  Put("g", "abc");
  for (const char* name : {"g", "new"}) {
    SCOPED_TRACE(name);
    RTransferFile w;
    EXPECT_EQ(w.Open(P(name), RTransferOpenMode::Write, 4, RUploadSharing::Any),
              RTransferFile::kBeyondEnd);
    EXPECT_FALSE(w.IsOpen());
  }
  EXPECT_EQ(Get("g"), "abc");
  EXPECT_FALSE(Exists("new"));
  {
    RTransferFile w;
    ASSERT_EQ(w.Open(P("g"), RTransferOpenMode::Write, 3, RUploadSharing::Any), 0);
    ASSERT_EQ(w.Commit(), 0);
    EXPECT_EQ(w.CutBytes(), 0);
    EXPECT_EQ(w.Write("Z", 1), 1);
  }
  EXPECT_EQ(Get("g"), "abcZ");
  {
    RTransferFile a;
    ASSERT_EQ(a.Open(P("f"), RTransferOpenMode::Append, 2, RUploadSharing::Any), 0);
    EXPECT_EQ(a.Write("!", 1), 1);
    EXPECT_EQ(a.Written(), 1);
  }
  EXPECT_EQ(Get("f"), "0123xy!");
  RTransferFile r;
  ASSERT_EQ(r.Open(P("f"), RTransferOpenMode::Read, 5, RUploadSharing::Any), 0);
  char buf[16] = {};
  EXPECT_EQ(r.Read(buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "y!");
  EXPECT_EQ(r.Size(), 7);
}

// Commit reports what the truncation removed (the space a STOR over a file
// gives back); a block that fails half-way is cut back off the file, so the
// bytes on disk are exactly the blocks counted in Written().
TEST_F(TransferFileTest, CutAndFailedBlockAccounting) {
  Put("f", "0123456789");
  {
    RTransferFile w;
    ASSERT_EQ(w.Open(P("f"), RTransferOpenMode::Write, 4, RUploadSharing::Any), 0);
    EXPECT_EQ(w.CutBytes(), 0) << "nothing cut before Commit";
    ASSERT_EQ(w.Commit(), 0);
    EXPECT_EQ(w.CutBytes(), 6);
  }
  Put("f", "");
  {
    RTransferFile w;
    ASSERT_EQ(w.Open(P("f"), RTransferOpenMode::Append, 0, RUploadSharing::Any), 0);
    ASSERT_EQ(w.Write("12345678", 8), 8);
    {
      FileSizeLimit limit(12);  // the next block fits only half
      EXPECT_EQ(w.Write("abcdefgh", 8), -EFBIG);
    }
    EXPECT_EQ(w.Written(), 8);
    EXPECT_EQ(Get("f"), "12345678") << "the half block is taken back";
    EXPECT_EQ(w.Write("9", 1), 1) << "and the next block follows on";
  }
  EXPECT_EQ(Get("f"), "123456789");
}

// A download of a missing file, or through a symbolic link, opens nothing
// and creates nothing.
TEST_F(TransferFileTest, RefusedOpens) {
  RTransferFile r;
  EXPECT_EQ(r.Open(P("missing"), RTransferOpenMode::Read, 0, RUploadSharing::Any), -ENOENT);
  EXPECT_FALSE(r.IsOpen());
  Put("target", "secret");
  ASSERT_EQ(symlink(P("target").c_str(), P("link").c_str()), 0);
  EXPECT_NE(r.Open(P("link"), RTransferOpenMode::Read, 0, RUploadSharing::Any), 0);
  RTransferFile w;
  EXPECT_NE(w.Open(P("link"), RTransferOpenMode::Write, 0, RUploadSharing::Any), 0);
  EXPECT_EQ(Get("target"), "secret");
}

// Abandon: a created file goes, an existing one is untouched. DeletePartial:
// a created or replaced file goes, an appended or resumed one is cut back.
TEST_F(TransferFileTest, FailedUploadCleanUp) {
  struct Case {
    const char* name;
    RTransferOpenMode mode;
    int64_t offset;
    const char* block;  // nullptr: Abandon without writing, else DeletePartial
    bool created;
    const char* left;  // nullptr: the file is gone
  } cases[] = {
      {"new", RTransferOpenMode::Write, 0, nullptr, true, nullptr},
      {"old", RTransferOpenMode::Write, 0, nullptr, false, "keep me"},
      {"old", RTransferOpenMode::Append, 0, " partial", false, "keep me"},
      {"old", RTransferOpenMode::Write, 4, "XXXXXXXX", false, "keep"},
      {"old", RTransferOpenMode::Write, 0, "new", false, nullptr},
  };
  Put("old", "keep me");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.block != nullptr ? c.block : " abandoned"));
    RTransferFile w;
    ASSERT_EQ(w.Open(P(c.name), c.mode, c.offset, RUploadSharing::Any), 0);
    EXPECT_EQ(w.Created(), c.created);
    if (c.block == nullptr) {
      w.Abandon();
    } else {
      const int64_t n = static_cast<int64_t>(strlen(c.block));
      ASSERT_EQ(w.Write(c.block, n), n);
      w.DeletePartial();
    }
    w.Close();
    EXPECT_EQ(Exists(c.name), c.left != nullptr);
    if (c.left != nullptr) {
      EXPECT_EQ(Get(c.name), c.left);
    }
  }
}

// Blocks written through another copy of the descriptor (the data
// socket's): settled with BlockDone they count as Write's, and a failed one
// (part of it on disk) is cut back off the file.
TEST_F(TransferFileTest, BlocksWrittenThroughACopy) {
  Put("f", "old");
  RTransferFile t;
  ASSERT_EQ(t.Open(P("f"), RTransferOpenMode::Append, 0, RUploadSharing::Any), 0);
  RFd copy = FdDup(t.Fd());
  ASSERT_TRUE(copy);
  ASSERT_EQ(::write(copy.Get(), "0123456789", 10), 10);
  EXPECT_EQ(t.BlockDone(10, 10), 10);
  EXPECT_EQ(t.Written(), 10);
  ASSERT_EQ(::write(copy.Get(), "abcd", 4), 4);  // half of a block, then the disk is full
  EXPECT_EQ(t.BlockDone(-ENOSPC, 8), -ENOSPC);
  EXPECT_EQ(t.Written(), 10);
  EXPECT_EQ(Get("f"), "old0123456789") << "the half block is taken back";
  ASSERT_EQ(::write(copy.Get(), "xy", 2), 2);
  EXPECT_EQ(t.BlockDone(2, 2), 2);
  EXPECT_EQ(Get("f"), "old0123456789xy") << "the next block goes where the cut one began";
  copy.Reset();
  t.DeletePartial();
  EXPECT_EQ(Get("f"), "old");
}
