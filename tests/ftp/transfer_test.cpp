// The transfer object: its transitions, its one byte count and the upload
// blocks it settles, on a fake data connection and a real file.
#include "ftp/RTransfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/RFileIO.h"
#include "temp_dir.h"

using namespace vantor;

namespace {

// A data connection whose steps the test finishes: a file step writes what
// the test says into the file descriptor it was handed, as the data thread
// does through its own copy.
class FakeSteps final : public RDataSteps {
 public:
  WsStatus SendFile(int, int64_t offset, int64_t length) override {
    calls.push_back("file " + std::to_string(offset) + "+" + std::to_string(length));
    return refuse ? WS_NotCon : WS_OK;
  }
  WsStatus SendBlock(const void*, int64_t) override { return WS_OK; }
  WsStatus ReceiveBlock(void*, int64_t) override { return WS_OK; }
  WsStatus ReceiveToPipe(int, int64_t) override { return WS_OK; }
  WsStatus ReceiveToFile(int, int, int fileFd, int64_t) override {
    fd = fileFd;
    return WS_OK;
  }
  int64_t StepBytes() const override { return step; }
  int64_t FileResult() const override { return fileResult; }
  void ClearStep() override { step = fileResult = 0; }

  // The step moved `n` bytes; a file step wrote `written` of them (-errno:
  // the write failed). Returns what the write call returned.
  ssize_t Move(int64_t n, int64_t written) {
    step += n;
    if (written < 0) {
      fileResult = written;
      return 0;
    }
    const std::string bytes(static_cast<size_t>(written), 'x');
    const ssize_t w = ::write(fd, bytes.data(), bytes.size());
    fileResult += w > 0 ? w : 0;
    return w;
  }

  std::vector<std::string> calls;
  bool refuse = false;
  int fd = -1;
  int64_t step = 0;
  int64_t fileResult = 0;
};

// A quota of `room` bytes that records what the transfer reserves and
// refunds.
class FakeQuota final : public RBlockQuota {
 public:
  explicit FakeQuota(int64_t room) : room(room) {}
  bool Reserve(int64_t bytes) override {
    if (bytes > room) return false;
    room -= bytes;
    reserved += bytes;
    return true;
  }
  void Refund(int64_t bytes) override {
    room += bytes;
    refunded += bytes;
  }
  int64_t room;
  int64_t reserved = 0;
  int64_t refunded = 0;
};

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override { t.UseSteps(&steps); }
  // An upload of a new file, connected.
  void StartUpload() {
    ASSERT_EQ(t.file.Open(path, RTransferOpenMode::Write, 0, RUploadSharing::Any), 0);
    ASSERT_TRUE(t.Wait(RTransferKind::Upload, 1000));
    ASSERT_TRUE(t.OnConnected());
    ASSERT_EQ(t.file.Commit(), 0);
  }
  int64_t SizeOnDisk() const { return static_cast<int64_t>(std::filesystem::file_size(path)); }

  test::TempDir tmp;
  const std::string path = tmp.Path() + "/up.bin";
  FakeSteps steps;
  RTransfer t;
};

// Every kind goes Idle -> Wait* -> moving -> Idle, and a transition out of
// its place changes nothing.
TEST_F(TransferTest, TransitionsOfEveryKind) {
  struct Case {
    RTransferKind kind;
    int32_t waiting;
    int32_t moving;
  };
  const Case cases[] = {
      {RTransferKind::Download, XS_WaitSend, XS_Sending},
      {RTransferKind::Upload, XS_WaitReceive, XS_Receiving},
      {RTransferKind::Listing, XS_WaitList, XS_Listing},
  };
  for (const RTransferOutcome outcome :
       {RTransferOutcome::Complete, RTransferOutcome::Failed, RTransferOutcome::Aborted}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(static_cast<int>(c.kind) * 10 + static_cast<int>(outcome));
      EXPECT_FALSE(t.OnConnected());
      EXPECT_EQ(t.State(), XS_Idle);
      ASSERT_TRUE(t.Wait(c.kind, 5));
      EXPECT_EQ(t.State(), c.waiting);
      EXPECT_TRUE(t.Waiting());
      EXPECT_FALSE(t.dataConnected);
      EXPECT_FALSE(t.Wait(RTransferKind::Download, 6));  // one transfer at a time
      EXPECT_EQ(t.State(), c.waiting);
      ASSERT_TRUE(t.OnConnected());
      EXPECT_EQ(t.State(), c.moving);
      EXPECT_TRUE(t.Moving());
      EXPECT_TRUE(t.dataConnected);
      EXPECT_FALSE(t.OnConnected());
      EXPECT_EQ(t.Kind(), c.kind);
      EXPECT_EQ(t.startMs, 5);
      // Without a data connection left there is nothing to close in order.
      t.Finish(outcome);
      EXPECT_EQ(t.State(), XS_Idle);
    }
  }
}

// One count: finished steps plus the step in progress; a download's offset
// follows its steps; the step a failure cuts is counted once; the next
// transfer starts at 0.
TEST_F(TransferTest, OneCountAcrossSteps) {
  ASSERT_TRUE(t.Wait(RTransferKind::Download, 0));
  ASSERT_TRUE(t.OnConnected());
  t.sendOffset = 100;  // a resumed download
  steps.step = 4000;
  EXPECT_EQ(t.Bytes(), 4000);  // the step in progress shows
  EXPECT_EQ(t.OnBlock(), 4000);
  EXPECT_EQ(t.sendOffset, 4100);
  EXPECT_EQ(t.Bytes(), 4000);
  steps.step = 96;  // cut in the middle of the next step
  t.Finish(RTransferOutcome::Failed);
  EXPECT_EQ(t.Bytes(), 4096);
  EXPECT_EQ(steps.step, 0);
  ASSERT_TRUE(t.Wait(RTransferKind::Listing, 0));
  EXPECT_EQ(t.Bytes(), 0);
}

// The upload blocks: what the file keeps, what the quota gets back, what
// the transfer counts, for a good block, a short last one, a failed write
// and a reset in the middle of a block.
TEST_F(TransferTest, UploadBlocksSettle) {
  struct Case {
    const char* name;
    int64_t moved;    // bytes the socket took in the step
    int64_t written;  // what the file took (-errno: the write failed)
    bool ok;
    int64_t onDisk;
    int64_t refunded;
  };
  const Case cases[] = {
      {"whole block", RTransfer::kQuotaFileBlock, RTransfer::kQuotaFileBlock, true,
       RTransfer::kQuotaFileBlock, 0},
      {"last, short block", 5000, 5000, true, 5000, RTransfer::kQuotaFileBlock - 5000},
      {"disk full", 7000, -ENOSPC, false, 0, RTransfer::kQuotaFileBlock},
      {"half written", 7000, 3000, false, 0, RTransfer::kQuotaFileBlock},
      {"reset mid-block", 700, 700, true, 700, RTransfer::kQuotaFileBlock - 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    StartUpload();
    FakeQuota quota(int64_t{1} << 30);
    const int64_t block = t.ReserveFileBlock(&quota, RTransfer::kFileBlock);
    ASSERT_EQ(block, RTransfer::kQuotaFileBlock);
    ASSERT_EQ(t.ReceiveFileBlock(block, true), WS_OK);
    EXPECT_TRUE(t.FileBlockOut());
    steps.Move(c.moved, c.written);
    EXPECT_EQ(t.OnFileBlock(&quota), c.ok);
    EXPECT_FALSE(t.FileBlockOut());
    EXPECT_EQ(SizeOnDisk(), c.onDisk);
    EXPECT_EQ(t.file.Written(), c.onDisk);
    EXPECT_EQ(quota.refunded, c.refunded);
    EXPECT_EQ(t.OnBlock(), c.moved);  // received bytes count, kept or not
    EXPECT_EQ(t.Bytes(), c.moved);
    t.Finish(c.ok ? RTransferOutcome::Complete : RTransferOutcome::Failed);
    EXPECT_EQ(t.State(), XS_Idle);
    t.file.Close();
  }
}

// A quota running out in mid-upload: blocks are halved while it refuses
// them, down to the fast block; below that nothing is reserved and the
// bytes wait in the pipe for their charge.
TEST_F(TransferTest, QuotaRefusalInMidUpload) {
  const int64_t kBig = RTransfer::kQuotaFileBlock;
  const int64_t kFast = RTransfer::kFastBlock;
  struct Case {
    int64_t room;
    int64_t block;
  };
  const Case cases[] = {
      {kBig * 3, kBig}, {kBig, kBig}, {kBig - 1, kBig / 2}, {kFast * 2 - 1, kFast}, {kFast, kFast},
      {kFast - 1, 0},   {0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.room);
    FakeQuota quota(c.room);
    EXPECT_EQ(t.ReserveFileBlock(&quota, RTransfer::kFileBlock), c.block);
    EXPECT_EQ(quota.reserved, c.block);
  }
  // Without a quota the whole file block goes out.
  EXPECT_EQ(t.ReserveFileBlock(nullptr, RTransfer::kFileBlock), RTransfer::kFileBlock);
}

// A close while a step is out: everything goes at once, no descriptor stays
// open, and what the step still tries to write after the cut never reaches
// the file.
TEST_F(TransferTest, CloseWhileStepIsOut) {
  const size_t before = OpenDescriptors();
  StartUpload();
  ASSERT_EQ(FdPipe(t.pipeRead, t.pipeWrite, RTransfer::kPipeBytes), 0);
  FakeQuota quota(int64_t{1} << 30);
  ASSERT_EQ(t.ReceiveFileBlock(t.ReserveFileBlock(&quota, RTransfer::kFileBlock), true), WS_OK);
  steps.Move(1000, 1000);
  t.Finish(RTransferOutcome::Aborted);
  EXPECT_EQ(t.State(), XS_Idle);
  EXPECT_FALSE(t.FileBlockOut());
  EXPECT_FALSE(t.file.IsOpen());
  EXPECT_FALSE(t.pipeRead);
  EXPECT_FALSE(t.pipeWrite);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(t.Bytes(), 1000);  // what came in before the cut is counted
  const int64_t size = SizeOnDisk();
  EXPECT_LT(steps.Move(500, 500), 0);  // the step's late write finds nothing
  EXPECT_EQ(SizeOnDisk(), size);
  // A settlement arriving after the cut has no block to settle.
  EXPECT_TRUE(t.OnFileBlock(&quota));
}

// A protected download reset in the middle of a record: the step's bytes
// are counted once, the step is never continued, and the failure leaves
// the transfer idle with nothing of it left.
TEST_F(TransferTest, ResetDuringTlsRecord) {
  ASSERT_TRUE(t.Wait(RTransferKind::Download, 0));
  ASSERT_TRUE(t.OnConnected());
  t.tlsActive = true;
  ASSERT_EQ(t.Steps().SendFile(3, 0, 16384), WS_OK);
  steps.step = 9000;  // part of a record went out, then the reset
  t.Finish(RTransferOutcome::Failed);
  EXPECT_EQ(t.State(), XS_Idle);
  EXPECT_EQ(t.Bytes(), 9000);
  EXPECT_EQ(steps.calls, std::vector<std::string>{"file 0+16384"});
  // A refused step on the next download is reported to the caller.
  steps.refuse = true;
  ASSERT_TRUE(t.Wait(RTransferKind::Download, 0));
  EXPECT_EQ(t.Steps().SendFile(3, 0, 10), WS_NotCon);
}

}  // namespace
