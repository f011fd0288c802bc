// RTransfer: the data side of one session: the data connection (active or
// passive), the file or listing it carries, the byte count, the pacing of
// its steps and the transfer state.
//
// A session holds exactly one. Between transfers it is idle and keeps the
// client's data choices (TYPE, REST, PORT/EPRT, PASV/EPSV and its listener,
// EPSV ALL, SITE PROGRESS); while a transfer runs it owns everything the
// transfer needs, and only this file changes the state:
//
//   Idle --Wait--> WaitSend/WaitReceive/WaitList --OnConnected--> Sending/
//   Receiving/Listing --OnBlock (each step)--> ... --Finish(outcome)-->
//   Closing (a good end closes the data connection gracefully) --OnClosed-->
//   Idle; Finish of a failure or an abort goes straight to Idle.
//
// A success never runs through the abort path: `Finish(Complete)` keeps the
// file as written and closes the connection in order; `Finish(Aborted)`
// drops the connection, the listener, the buffers and the file.
//
// The data socket counts the bytes of its step in progress into the link's
// own counters (RDataLink), which live exactly as long as the socket; the
// transfer's count is the finished steps plus that step (`Bytes`).
//
// The protocol side (replies, log lines, counters of the session and the
// server) is ftp/RFTPSTransfer.cpp, ftp/RFTPSData.cpp and ftp/RFTPSList.cpp.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fs/RDirTextList.h"
#include "ftp/RSocketRoutes.h"
#include "ftp/RTransferFile.h"
#include "net/RWinSocket.h"
#include "platform/RFd.h"

namespace vantor {

// Transfer states of the data connection (numbers as reported).
enum RTransferState : int32_t {
  XS_Idle = 0,
  XS_Sending = 5,
  XS_Receiving = 6,
  XS_Listing = 7,
  XS_WaitSend = 8,
  XS_WaitReceive = 9,
  XS_WaitList = 10,
  XS_Closing = 11,
};

enum class RTransferKind { Download, Upload, Listing };
enum class RUploadKind { Stor = 1, Appe = 2, Stou = 3 };

// How a transfer ends.
enum class RTransferOutcome {
  Complete,  // every byte moved: the data connection closes in order
  Failed,    // refused or cut (reply already chosen): the connection goes
  Aborted,   // ABOR, a new listener, the session's end: everything goes
};

// The quota seam of uploads: a block's bytes are reserved before the block
// is handed out and what it did not use is refunded when it is settled.
class RBlockQuota {
 public:
  virtual ~RBlockQuota() = default;
  // True when `bytes` more may be stored (and are now reserved).
  virtual bool Reserve(int64_t bytes) = 0;
  virtual void Refund(int64_t bytes) = 0;
};

// The steps a data connection runs for a transfer. RDataLink runs them on
// the data socket; tests run them on a fake.
class RDataSteps {
 public:
  virtual ~RDataSteps() = default;
  [[nodiscard]] virtual WsStatus SendFile(int fileFd, int64_t offset, int64_t length) = 0;
  [[nodiscard]] virtual WsStatus SendBlock(const void* data, int64_t length) = 0;
  [[nodiscard]] virtual WsStatus ReceiveBlock(void* buffer, int64_t length) = 0;
  [[nodiscard]] virtual WsStatus ReceiveToPipe(int pipeWrite, int64_t length) = 0;
  // Socket to pipe to file in one step: the file's part is `FileResult`.
  [[nodiscard]] virtual WsStatus ReceiveToFile(int pipeRead, int pipeWrite, int fileFd,
                                               int64_t length) = 0;
  // Bytes of the step in progress (or just finished).
  virtual int64_t StepBytes() const = 0;
  // ReceiveToFile: what the file took of the step, -errno once a write failed.
  virtual int64_t FileResult() const = 0;
  // The finished step is taken into the transfer's count.
  virtual void ClearStep() = 0;
};

// The data socket and the counters its steps fill. The counters are
// declared first: the socket, which writes them, goes before them.
class RDataLink final : public RDataSteps {
 public:
  WsStatus SendFile(int fileFd, int64_t offset, int64_t length) override;
  WsStatus SendBlock(const void* data, int64_t length) override;
  WsStatus ReceiveBlock(void* buffer, int64_t length) override;
  WsStatus ReceiveToPipe(int pipeWrite, int64_t length) override;
  WsStatus ReceiveToFile(int pipeRead, int pipeWrite, int fileFd, int64_t length) override;
  int64_t StepBytes() const override { return step_; }
  int64_t FileResult() const override { return fileResult_; }
  void ClearStep() override {
    step_ = 0;
    fileResult_ = 0;
  }

 private:
  int64_t step_ = 0;
  int64_t fileResult_ = 0;

 public:
  RRoutedSocket socket;
};

class RTransfer {
 public:
  // Block of one send or receive step. With a speed limit in force 32 KiB
  // steps keep the pacing fine-grained. Without one, an upload block goes
  // socket to pipe to file in one step on a data thread, as much as the
  // socket has ready each time, and the block is settled here when it is
  // full (kFileBlock; a quota user's block is reserved before it is handed
  // out, so it is smaller: kQuotaFileBlock). kFastBlock is the block that
  // waits in the pipe until the quota allows it (the last of a nearly full
  // quota) or that is decrypted in memory. Downloads go file-to-socket in
  // one large step.
  static constexpr int64_t kPacedBlock = 32768;
  static constexpr int64_t kFastBlock = 128 << 10;
  static constexpr int64_t kFileBlock = 16 << 20;
  static constexpr int64_t kQuotaFileBlock = 1 << 20;
  static constexpr int64_t kFastSendBlock = int64_t{1} << 30;
  static constexpr int kPipeBytes = 512 << 10;
  // Bytes a download may leave queued in its socket beyond what the client
  // has room for. Without a bound the kernel takes megabytes per call, and
  // that backlog is later pushed out by the client's own acknowledgements,
  // so on loopback the client does the server's transmit work and many
  // parallel downloads leave the server idle while the client is saturated.
  static constexpr int kUnsentBytes = 64 << 10;

  RTransfer() = default;
  RTransfer(const RTransfer&) = delete;
  RTransfer& operator=(const RTransfer&) = delete;

  // --- state and transitions ------------------------------------------------------
  int32_t State() const { return state_; }
  bool Idle() const { return state_ == XS_Idle; }
  bool Waiting() const {
    return state_ == XS_WaitSend || state_ == XS_WaitReceive || state_ == XS_WaitList;
  }
  // Bytes move (sending, receiving or listing).
  bool Moving() const {
    return state_ == XS_Sending || state_ == XS_Receiving || state_ == XS_Listing;
  }
  RTransferKind Kind() const { return kind_; }
  bool Upload() const { return kind_ == RTransferKind::Upload; }
  bool Listing() const { return kind_ == RTransferKind::Listing; }

  // The file or listing is ready and the transfer waits for its data
  // connection; the count starts at 0. False (nothing changed) unless idle.
  bool Wait(RTransferKind kind, int64_t nowMs);
  // The data connection is up (after its handshake under PROT P): bytes may
  // move. False (nothing changed) unless waiting.
  bool OnConnected();
  // A step of the data connection finished: its bytes are counted, a
  // download's next offset follows; returns the step's bytes.
  int64_t OnBlock();
  // An upload's socket-to-file step finished: the file settles the block
  // and its reservation is settled (the unused part refunded, all of it
  // when the file refused the block: then nothing of it stays on disk).
  // The bytes are counted by OnBlock. False when the file did not take the
  // whole block; true also when no file block was out.
  bool OnFileBlock(RBlockQuota* quota);
  // The transfer ends. Complete: a download's or listing's data connection
  // closes in order (Closing, OnClosed follows); an upload's, which the
  // client closed, goes.
  // Failed: the data connection is dropped. Aborted: also the passive
  // listener, the buffers, the listing and the file. The count stays for
  // the end's log line until the next Wait.
  void Finish(RTransferOutcome outcome);
  // The orderly close of a complete transfer is done.
  void OnClosed();

  // Bytes moved in the current transfer, the step in progress included.
  int64_t Bytes() const;
  // Counts bytes that moved outside a step of the link (a block written
  // from memory).
  void CountBytes(int64_t n) { moved_ += n; }

  // The step under way on the data connection (tests put a fake here).
  RDataSteps& Steps() { return steps_ != nullptr ? *steps_ : static_cast<RDataSteps&>(link); }
  void UseSteps(RDataSteps* steps) { steps_ = steps; }

  // --- upload blocks ------------------------------------------------------------------
  // The next file block's length, its quota reserved first: the block is
  // halved while the quota refuses it, down to kFastBlock. 0: the last bytes
  // of the quota, which wait in the pipe for their charge.
  int64_t ReserveFileBlock(RBlockQuota* quota, int64_t block);
  // Hands a file block of `length` bytes to the data connection (socket to
  // pipe to file); `reserved`: its quota was reserved (ReserveFileBlock).
  [[nodiscard]] WsStatus ReceiveFileBlock(int64_t length, bool reserved);
  // A file block is out on the data connection, or finished and not yet
  // settled (OnFileBlock).
  bool FileBlockOut() const { return fileBlock_; }
  // Frees the receive buffer and the pipe (a failed block may leave bytes
  // in it).
  void DropBuffers();

  // --- the session's data choices --------------------------------------------------
  bool ascii = true;
  int64_t restartOffset = 0;
  bool progressOn = false;  // SITE PROGRESS
  uint64_t lastProgressCount = 0;
  bool passive = false;
  uint16_t port = 0;  // where an active connection goes
  std::string address;
  bool epsvAll = false;  // EPSV ALL given: only EPSV may set up data connections
  // Held file commands (RNFR, and what a hook library holds).
  std::string renameSource;
  bool renameIsDir = false;
  std::string pendingPath;
  RUploadKind uploadKind = RUploadKind::Stor;

  // --- the data connection ----------------------------------------------------------
  RDataLink link;               // the data socket (active, or accepted)
  RRoutedSocket passiveSocket;  // the passive listener
  bool tlsPending = false;      // the data connection's handshake runs
  bool tlsActive = false;       // the data connection is protected
  bool dataConnected = false;   // the data connection came up at least once
  // A passive connection under PROT P is taken, and its handshake answered,
  // as soon as it arrives: curl starts the handshake before it sends the
  // transfer command and reads the control connection only at its own
  // time-outs while it waits. Until the command the connection is "early";
  // the handshake's end is kept for the command (earlyStatus, and the reply
  // that refuses it, if any).
  bool early = false;
  bool earlyDone = false;
  int earlyStatus = WS_OK;
  uint32_t earlyRefusal = 0;

  // --- the transfer ---------------------------------------------------------------------
  std::string fileName;  // local path of the file, or the listed directory
  int64_t fileSize = 0;  // size of the file being sent
  int64_t startOffset = 0;
  int64_t startMs = 0;
  uint64_t lastTickCount = 0;
  RTransferFile file;
  RDirLineQueue lines;     // listing lines waiting to go out (shared, not copied)
  std::string listBlock;   // the lines of the send in progress
  int64_t sendOffset = 0;  // file offset of the next block to send
  // Upload blocks go socket to pipe to file and never through user memory;
  // the buffer serves protected bytes and a machine without pipes.
  std::unique_ptr<char[]> buffer;
  RFd pipeRead;
  RFd pipeWrite;
  int64_t bufferSize = 0;

 private:
  // The one place the state changes.
  void Enter(int32_t state);

  int32_t state_ = XS_Idle;
  RTransferKind kind_ = RTransferKind::Download;
  int64_t moved_ = 0;  // bytes of the finished steps
  bool fileBlock_ = false;
  int64_t reserved_ = 0;  // quota reserved for the file block out
  RDataSteps* steps_ = nullptr;
};

}  // namespace vantor
