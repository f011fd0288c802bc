// Data connections, file transfers and listings of one session.
//
// The session (ftp/RFTPSComInterp.h) keeps the shared fields (DataSocket,
// PassiveSocket, TransferState, AsciiType, RestartOffset, DataPort, ...);
// what only this code needs lives in `RFTPSTransferExt`, the session's
// transfer extension. The command handlers are named in the
// command table (ftp/RFTPCommands.cpp); the data connections are
// ftp/RFTPSData.h.
//
// Flow of one transfer: a command opens the file (or prepares the listing
// lines), sends "150" in active mode and connects (`OpenActive`), enters a
// waiting state, and `DataConnected` starts the send or receive loop when the
// data connection is up. Every completion event of the data socket continues
// the loop; `EndSend` / `EndReceive` finish it with the log line, counters and
// reply; `AbortTransfer` ends it early (ABOR, second PASV, closed connection).
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/RGlobalSettings.h"
#include "fs/RDirTextList.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RTransferFile.h"
#include "ftp/RUploadRecords.h"
#include "platform/RFd.h"

namespace vantor {

enum class RUploadKind { Stor = 1, Appe = 2, Stou = 3 };

class RFTPSTransferExt final : public RFTPSessionExt {
 public:
  // Block of one send or receive step. With a speed limit in force 32 KiB
  // steps keep the pacing fine-grained. Without one, an upload block goes
  // socket to pipe to file in one step on a data thread, as much as the
  // socket has ready each time, and the block is settled here when it is
  // full (kFileBlock; a quota user's block is charged before it is handed
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

  RTransferFile file;
  std::unique_ptr<char[]> buffer;  // receive buffer when no pipe can be had
  // Upload blocks go socket to pipe to file and never through user memory.
  RFd pipeRead;
  RFd pipeWrite;
  int64_t bufferSize = 0;
  int64_t bufferFill = 0;  // bytes of the block in progress (the layer's counter)
  int64_t folded = 0;      // part of bufferFill already counted in TransferBytes
  // The file block in progress (ReceiveToFile): what the file took of it
  // (-errno once a write failed, the layer's counter) and the quota charged
  // for it before it was handed out.
  bool fileBlock = false;
  int64_t fileResult = 0;
  int64_t precharged = 0;
  int64_t sendOffset = 0;  // file offset of the next block to send
  int64_t fileSize = 0;    // size of the file being sent
  bool listing = false;    // the transfer is a listing
  bool upload = false;
  RUploadKind uploadKind = RUploadKind::Stor;
  bool dataConnected = false;  // the data connection came up at least once
  uint64_t lastTickCount = 0;
  RDirLineQueue lines;    // listing lines waiting to go out (shared, not copied)
  std::string listBlock;  // the lines of the send in progress
  std::string renameSource;
  std::string pendingPath;  // path of a file command held by a hook
  bool renameIsDir = false;
  bool epsvAll = false;  // EPSV ALL given: only EPSV may set up data connections

  // Frees the receive buffer and the pipe (a failed block may leave bytes
  // in it).
  void DropBuffers() {
    buffer.reset();
    pipeRead.Reset();
    pipeWrite.Reset();
    bufferSize = 0;
  }
};

void StartSending(RFTPSComInterp& s);
void SendCompleted(RFTPSComInterp& s, int status);
void StartReceiving(RFTPSComInterp& s);
void ReceiveCompleted(RFTPSComInterp& s, int status);
void EndSend(RFTPSComInterp& s, bool failed, uint32_t reply, bool suppress, bool killed = false);
void EndReceive(RFTPSComInterp& s, bool failed, uint32_t reply, bool suppress, bool killed = false);
void TransferTick(RFTPSComInterp& s);

// RETR, STOR, APPE, STOU, REST, TYPE, MODE, STRU.
void HandleRetr(RFTPSComInterp& s, std::string_view line);
void HandleStor(RFTPSComInterp& s, std::string_view line);
void HandleAppe(RFTPSComInterp& s, std::string_view line);
void HandleStou(RFTPSComInterp& s, std::string_view line);
void HandleRest(RFTPSComInterp& s, std::string_view line);
void HandleType(RFTPSComInterp& s, std::string_view line);
void HandleMode(RFTPSComInterp& s, std::string_view line);
void HandleStru(RFTPSComInterp& s, std::string_view line);
// The second halves, run when a hook releases a held command: the path the
// first half checked is in the transfer extension (pendingPath).
void RetrResume(RFTPSComInterp& s);
void UploadStart(RFTPSComInterp& s);  // STOR, APPE, STOU
// "ASCII" or "BINARY".
const char* TypeWord(const RFTPSComInterp& s);
// Last component of the client-visible path of a local path.
std::string ClientLeaf(const RFTPSComInterp& s, std::string_view localPath);

}  // namespace vantor
