// RWinSocket: block and line I/O, the readiness handlers, time-outs, speed
// limits and the per-socket second tick.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/RLaneFds.h"
#include "net/RNetStrings.h"
#include "net/RSockCalls.h"
#include "net/RWinSocket.h"
#include "platform/RFd.h"
#include "platform/RFileIO.h"
#include "platform/RWorkPool.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// The small transfer step. It is kept whenever a speed limit is in force
// so pacing stays exact; without a limit a step moves as much as the kernel
// takes (one step per readiness message either way).
constexpr int64_t kStep = 4096;
// Largest single send/recv/sendfile request.
constexpr int64_t kMaxCall = 0x7FFFF000;
// Most one offloaded file step sends: a client that reads as fast as we
// send would otherwise keep the step (and a data thread) to itself.
constexpr int64_t kStepBytes = 16 << 20;
// A paced step on the data lane (protected: one record): the loop hands
// out this much of the budget at a time. A lane round trip per 4 KiB would
// cost more than the copy it moves off the loop.
constexpr int64_t kLanePacedStep = 16 * 1024;
// A protected upload written to its file on the loop (no data pool)
// decrypts this much at a time.
constexpr int64_t kTlsFileChunkBytes = 256 * 1024;
// An unpaced upload whose step met an empty socket after at least
// kLowatAfter bytes has a fast sender: the socket then wakes the loop only
// once kRecvLowat bytes wait (or the stream ends), not for every segment,
// which saves a lane round trip per few hundred KiB. The second tick drops
// it again, so a sender that pauses is read within a second.
constexpr int64_t kLowatAfter = 64 * 1024;
constexpr int kRecvLowat = 256 * 1024;
constexpr int64_t kShortSplice = 64 * 1024;

uintptr_t P(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

}  // namespace

bool RWinSocket::LimitInForce() const {
  return localLimitOn_ || layer_->globalLimitOn_;
}

// Cuts `chunk` to the budgets in force; false when a budget is used up.
bool RWinSocket::ApplyBudgets(int64_t& chunk) const {
  if (layer_->globalLimitOn_) {
    if (layer_->globalBudget_ <= 0) return false;
    chunk = std::min(chunk, layer_->globalBudget_);
  }
  if (localLimitOn_) {
    if (localBudget_ <= 0) return false;
    chunk = std::min(chunk, localBudget_);
  }
  return true;
}

void RWinSocket::Account(int64_t n) {
  bytesThisSecond_ += n;
  layer_->serverBytesThisSecond_ += n;
  if (layer_->globalLimitOn_) layer_->globalBudget_ -= n;
  if (localLimitOn_) localBudget_ -= n;
}

void RWinSocket::FreeSendLine() {
  if (!send_.lines) return;
  sendLine_.reset();
  send_.lines = false;
}

void RWinSocket::FreeRecLine() {
  if (!recv_.lines) return;
  recLine_.reset();
  recv_.lines = false;
  recv_.lineReady = false;
}

// --- sending ------------------------------------------------------------------------

WsStatus RWinSocket::SendBlock(const void* buffer, int64_t length, int64_t* sentCounter) {
  WsStatus st = StartSend(static_cast<const char*>(buffer), -1, 0, length, sentCounter);
  if (Tracing()) {
    TraceLine(
        FormatStr(STR_NET_OP_SENDBLOCK, id_, P(buffer), length, P(sentCounter), WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::SendFile(int fileFd, int64_t offset, int64_t length, int64_t* sentCounter) {
  WsStatus st;
  if (Ready() && kind_ != WS_STREAM) {
    st = WS_WrongType;
  } else if (Ready() && (fileFd < 0 || offset < 0)) {
    st = WS_Error;
  } else {
    st = StartSend(nullptr, fileFd, offset, length, sentCounter);
  }
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_SENDFILE, id_, fileFd, offset, length, P(sentCounter),
                        WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::StartSend(const char* buffer, int fileFd, int64_t offset, int64_t length,
                               int64_t* sentCounter) {
  if (!Ready()) return WS_NoSockLib;
  if (connecting_) return WS_Busy;
  if (listening_ && kind_ == WS_STREAM) return WS_Busy;
  if (send_.active || send_.lines) return WS_Busy;
  if (!connected_) return WS_NotCon;
  if (length < 0) return WS_Error;
  if (handle_ < 0) return WS_NotCon;
  send_.active = true;
  ++sendGeneration_;
  if (autoReset_) {
    idleSeconds_ = 0;
    counters_[WS_TO_SEND] = 0;
  }
  sendBuf_ = sendPtr_ = buffer;
  fileFd_ = fileFd;
  fileOffset_ = offset;
  blockLength_ = sendLeft_ = length;
  bytesSent_ = 0;
  sentCounter_ = sentCounter;
  if (sentCounter_ != nullptr) *sentCounter_ = 0;
  sendStatus_ = WS_Sending;
  PostSelf(FD_WRITE);
  return WS_OK;
}

WsStatus RWinSocket::InitSendLine(int maximumLength) {
  WsStatus st = DoInitSendLine(maximumLength);
  if (Tracing())
    TraceLine(FormatStr(STR_NET_OP_INITSENDLINE, id_, maximumLength, WsStatusName(st)));
  return st;
}

WsStatus RWinSocket::DoInitSendLine(int maximumLength) {
  if (!Ready()) return WS_NoSockLib;
  if (kind_ != WS_STREAM) return WS_WrongType;
  if (connecting_ || listening_ || send_.active || send_.lines) return WS_Busy;
  if (!connected_ || handle_ < 0) return WS_NotCon;
  if (maximumLength < 0) return WS_Error;
  sendLine_ = std::make_unique<char[]>(static_cast<size_t>(maximumLength) + 3);
  sendLineMax_ = maximumLength;
  blockLength_ = maximumLength + 3;
  bytesSent_ = 0;
  sendLeft_ = 0;
  send_.lines = true;
  Notify(WS_Sending, WS_OK);
  return WS_OK;
}

WsStatus RWinSocket::SendLine(const char* text) {
  WsStatus st = DoSendLine(text);
  if (Tracing()) TraceLine(FormatStr(STR_NET_OP_SENDLINE, id_, P(text), WsStatusName(st)));
  return st;
}

// What both line sends check first: line mode on, no send running, a socket.
WsStatus RWinSocket::LineSendRefusal() const {
  if (!send_.lines) return WS_Error;
  if (send_.active) return WS_Busy;
  if (handle_ < 0) return WS_NotCon;
  return WS_OK;
}

void RWinSocket::BeginLineBlock(const char* buffer, int64_t length) {
  if (autoReset_) {
    idleSeconds_ = 0;
    counters_[WS_TO_SEND] = 0;
  }
  send_.active = true;
  sendBuf_ = sendPtr_ = buffer;
  fileFd_ = -1;
  bytesSent_ = 0;
  sendLeft_ = length;
  sentCounter_ = nullptr;
  sendStatus_ = WS_Sending;
}

WsStatus RWinSocket::DoSendLine(const char* text) {
  if (const WsStatus refusal = LineSendRefusal(); refusal != WS_OK) return refusal;
  if (text == nullptr) text = "";
  size_t n = std::strlen(text);
  const bool cut = n > static_cast<size_t>(sendLineMax_);
  if (cut) n = static_cast<size_t>(sendLineMax_);
  char* line = sendLine_.get();
  std::memcpy(line, text, n);
  line[n] = '\r';
  line[n + 1] = '\n';
  BeginLineBlock(line, static_cast<int64_t>(n) + 2);
  PostSelf(FD_WRITE);
  return cut ? WS_More : WS_OK;
}

WsStatus RWinSocket::SendLines(const char* buffer, int64_t length) {
  WsStatus st = DoSendLines(buffer, length);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_SENDLINES, id_, P(buffer), length, WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::DoSendLines(const char* buffer, int64_t length) {
  if (length < 0) return WS_Error;
  if (const WsStatus refusal = LineSendRefusal(); refusal != WS_OK) return refusal;
  BeginLineBlock(buffer, length);
  // The handler runs here rather than from a posted readiness message: the
  // caller flushes right before data-connection work that must follow these
  // bytes, and a completion nobody waits for costs a message per batch.
  send_.inlineRun = true;
  const bool stepped = SendHandler(0, false);
  send_.inlineRun = false;
  // A speed budget is used up: the step waits for the next one.
  if (!stepped) PostSelf(FD_WRITE);
  if (send_.active) return WS_Sending;
  return sendStatus_ == WS_Sending ? WS_OK : static_cast<WsStatus>(sendStatus_);
}

// One send (or sendfile) call of at most `n` bytes; the count, 0 or -1.
int64_t RWinSocket::SendOnce(RSockCalls& c, int64_t n) {
  n = std::min(n, kMaxCall);
  if (tls_) return TlsSendOnce(c, n);
  if (fileFd_ >= 0) {
    int64_t r = c.SendFile(handle_, fileFd_, &fileOffset_, n);
    if (r == 0) {
      // The file ended before the promised length: never report it as sent.
      c.err = ErrnoToWinSock(EIO);
      return -1;
    }
    return r;
  }
  return c.Send(handle_, sendPtr_, n);
}

void RWinSocket::SentBytes(int64_t n) {
  sendLeft_ -= n;
  if (sendPtr_ != nullptr) sendPtr_ += n;
  bytesSent_ += n;
  if (!send_.lines && sentCounter_ != nullptr) *sentCounter_ += n;
  Account(n);
}

bool RWinSocket::SendHandler(int error, bool selfPosted) {
  if (selfPosted && stepsQueued_ > 0) --stepsQueued_;
  if (tlsHandshaking_ && handle_ >= 0 && !send_.active) {
    DriveHandshake();
    return true;
  }
  if (tlsReadWantsWrite_) {
    tlsReadWantsWrite_ = false;
    PostSelf(FD_READ);
  }
  if (close_.tlsClosing && handle_ >= 0) {
    (void)DoDisconnect(0);
    return true;
  }
  if (!send_.active || handle_ < 0) return true;
  // A step is out on a data thread; its completion carries on.
  if (send_.offloaded) return true;
  // The stream is lent to an upload step: the send waits for its return.
  if (tlsLent_) {
    tlsWriteDeferred_ = true;
    return true;
  }
  if (autoReset_) {
    counters_[WS_TO_SEND] = 0;
    idleSeconds_ = 0;
  }
  if (error != 0) {
    EndSend(MapWinSockError(error));
    EventProc(WS_Sending);
    return true;
  }
  const bool limited = LimitInForce();
  // A readiness report while a paced step is already queued: that step
  // sends; a second chain of steps would double this socket's share.
  if (limited && !selfPosted && stepsQueued_ > 0 && error == 0) return true;
  // A data connection's bytes move on the data lane, paced, traced or not:
  // protected downloads and listings encrypt there, clear file sends copy
  // there. The control connection's lines stay here.
  const bool lane = layer_->dataPool_ != nullptr && kind_ == WS_STREAM && !send_.lines;
  const bool tlsLane = lane && tls_ && tlsData_ && tls_->Established();
  const bool fileLane = lane && !tls_ && fileFd_ >= 0;
  int64_t chunk =
      limited ? std::min(sendLeft_, tlsLane || fileLane ? kLanePacedStep : kStep) : sendLeft_;
  // Only gathered TLS records are left: they were paid for when written.
  if (chunk > 0 && !ApplyBudgets(chunk)) {
    // Parked for the next budget: the parked message is this step.
    if (selfPosted) ++stepsQueued_;
    return false;
  }

  if (chunk > 0 && tlsLane && OffloadTlsSend(chunk, limited)) return true;
  if (chunk > 0 && fileLane && OffloadFileSend(chunk, limited)) return true;
  RSockCalls c = Calls();
  bool failed = false;
  if (chunk > 0) {
    if (kind_ == WS_DATAGRAM) {
      // A datagram always goes whole.
      int64_t r = c.SendTo(handle_, sendBuf_, blockLength_, remote_);
      if (r >= 0) {
        SentBytes(sendLeft_);
      } else if (c.err == WSAEWOULDBLOCK) {
        layer_->loop_.Reenable(handle_, FD_WRITE);
      } else {
        failed = true;
      }
    } else if (limited) {
      int64_t r = SendOnce(c, chunk);
      if (r > 0) {
        SentBytes(r);
        if (sendLeft_ > 0) PostSelf(FD_WRITE);
      } else if (c.err == WSAEWOULDBLOCK) {
        layer_->loop_.Reenable(handle_, FD_WRITE);
      } else {
        failed = true;
      }
    } else {
      // No limit: fill the socket buffer, then wait for the next FD_WRITE.
      // A short write means the buffer is full; asking again would only
      // hear EAGAIN.
      while (sendLeft_ > 0) {
        const int64_t asked = std::min(sendLeft_, kMaxCall);
        int64_t r = SendOnce(c, asked);
        if (r > 0) {
          SentBytes(r);
          // A protected write returns after each record; only EAGAIN says
          // the socket is full.
          if (r < asked && sendLeft_ > 0 && !tls_) {
            layer_->loop_.Reenable(handle_, FD_WRITE);
            break;
          }
          continue;
        }
        if (c.err == WSAEWOULDBLOCK) {
          layer_->loop_.Reenable(handle_, FD_WRITE);
        } else {
          failed = true;
        }
        break;
      }
    }
  }
  // Gathered records leave when the block is done, and after every paced
  // step so that a speed limit still paces the wire.
  bool flushWaits = false;
  if (!failed && tls_ && tls_->Unsent() && (limited || sendLeft_ == 0)) {
    flushWaits = TlsFlushWaits(c, &failed);
  }
  FinishSendStep(failed, c.err, flushWaits);
  return true;
}

void RWinSocket::FinishSendStep(bool failed, int err, bool flushWaits) {
  if (failed) {
    EndSend(MapWinSockError(err));
  } else if (sendLeft_ == 0 && !flushWaits) {
    if (!send_.inlineRun) Notify(WS_Sending, WS_OK);
    send_.active = false;
    fileFd_ = -1;
    tlsFileLen_ = tlsFilePos_ = 0;
  }
  EventProc(WS_Sending);
}

// What one offloaded file step did.
struct RFileStepStr {
  int64_t sent = 0;
  int64_t offset = 0;
  int err = 0;                     // WinSock number; 0 when the step ended without one
  bool full = false;               // stopped because the socket took no more
  std::vector<std::string> trace;  // the calls' trace lines, when tracing
};

// Hands a copying step to a data thread. The step owns copies of both
// descriptors and closes them itself: a close here while it runs can then
// never hand their numbers to another file or connection. False: nothing
// was handed out and the caller copies on the loop.
// The copies are made once per descriptor the steps name, not per step; they
// go with the connection's close (CloseHandle).
bool RWinSocket::OffloadStep(int other, std::shared_ptr<RStepFds>* copies, StepBody body,
                             std::function<void(const StepResult&)> done,
                             std::shared_ptr<RWorkCancel>* out) {
  std::shared_ptr<RStepFds>& fds = *copies;
  if (!fds || fds->otherOf != other) {
    auto made = std::make_shared<RStepFds>();
    made->sock = RFd(::fcntl(handle_, F_DUPFD_CLOEXEC, 0));
    made->other = RFd(::fcntl(other, F_DUPFD_CLOEXEC, 0));
    if (!made->sock || !made->other) return false;
    made->otherOf = other;
    fds = std::move(made);
  }
  auto cancel = std::make_shared<RWorkCancel>();
  RWorkPool::Work work = [fds, cancel, body = std::move(body)] {
    return body(fds->sock.Get(), fds->other.Get(), *cancel);
  };
  if (layer_->dataPool_->SubmitData(cancel, std::move(work), std::move(done)) !=
      RWorkSubmit::Queued) {
    return false;
  }
  *out = std::move(cancel);
  return true;
}

bool ReadyWithin(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  return r == 1 && (p.revents & events) != 0;
}

// Hands the next step of a file send to a data thread: the copy (and, on
// loopback, the receiver's side of TCP, which runs in the sender's call)
// then costs the loop nothing, so the other sessions' answers never wait
// behind a download. False: the step runs here as before.
bool RWinSocket::OffloadFileSend(int64_t chunk, bool paced) {
  const int64_t want = std::min(chunk, kStepBytes);
  const int64_t offset = fileOffset_;
  const bool traced = Tracing();
  const uint32_t id = id_;
  const RWorkPool* lane = layer_->dataPool_;
  auto body = [want, offset, traced, id, lane](int sock, int file,
                                               const RWorkCancel& cancel) -> StepResult {
    auto step = std::make_shared<RFileStepStr>();
    step->offset = offset;
    RSockCalls c = RSockCalls::OffLoop(traced ? &step->trace : nullptr, id);
    int64_t left = want;
    while (left > 0 && !cancel.Cancelled()) {
      const int64_t r = c.SendFile(sock, file, &step->offset, left);
      if (r > 0) {
        step->sent += r;
        left -= r;
        if (left > 0 && r < want) {
          if (!lane->DataStepsWaiting() && ReadyWithin(sock, POLLOUT, kLaneReadyWaitMs)) {
            continue;
          }
          step->full = true;
          break;
        }
        continue;
      }
      if (r == 0) {
        step->err = ErrnoToWinSock(EIO);  // the file is shorter than promised
      } else if (c.err == WSAEWOULDBLOCK) {
        step->full = true;
      } else {
        step->err = c.err;
      }
      break;
    }
    return step;
  };
  const uint64_t generation = sendGeneration_;
  auto done = [this, generation](const StepResult& r) {
    const auto& step = *static_cast<const RFileStepStr*>(r.get());
    EmitTrace(step.trace);
    FileSendDone(generation, step.sent, step.offset, step.err, step.full);
  };
  if (!OffloadStep(fileFd_, &sendFds_, std::move(body), std::move(done), &sendStep_)) {
    return false;
  }
  // The loop decides the pace: the step's share comes off the budgets now.
  if (paced) ReserveBudgets(sendReserved_, want);
  send_.offloaded = true;
  return true;
}

void RWinSocket::EmitTrace(const std::vector<std::string>& lines) const {
  if (!Tracing()) return;
  for (const std::string& line : lines) TraceLine(line);
}

void RWinSocket::FileSendDone(uint64_t generation, int64_t sent, int64_t offset, int err,
                              bool full) {
  send_.offloaded = false;
  sendStep_.reset();
  ReturnBudgets(sendReserved_);
  if (!send_.active || generation != sendGeneration_ || handle_ < 0) {
    // That send ended meanwhile (abort, time-out); a new one waited for the
    // step to finish, so their bytes never interleave.
    if (send_.active && handle_ >= 0) PostSelf(FD_WRITE);
    return;
  }
  if (sent > 0) {
    if (autoReset_) {
      counters_[WS_TO_SEND] = 0;
      idleSeconds_ = 0;
    }
    fileOffset_ = offset;
    SentBytes(sent);
  }
  if (err == 0 && sendLeft_ > 0) {
    if (full) {
      layer_->loop_.Reenable(handle_, FD_WRITE);
    } else {
      PostSelf(FD_WRITE);  // the step's share was used up, not the socket
    }
  }
  FinishSendStep(err != 0, err, false);
}

void RWinSocket::EndSend(int status) {
  if (status != WS_OK) close_.sendCut = true;
  tlsFileLen_ = tlsFilePos_ = 0;
  tlsRetryLen_ = 0;
  sendStatus_ = status;
  Notify(WS_Sending, status);
  FreeSendLine();
  send_.active = false;
  fileFd_ = -1;
}

// --- receiving -----------------------------------------------------------------------

WsStatus RWinSocket::ReceiveBlock(void* buffer, int64_t length, int64_t* receivedCounter,
                                  int flags) {
  WsStatus st = DoReceiveBlock(buffer, -1, length, receivedCounter, flags);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_RECEIVEBLOCK, id_, P(buffer), length, P(receivedCounter),
                        static_cast<unsigned>(flags), WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::ReceiveToPipe(int pipeFd, int64_t length, int64_t* receivedCounter) {
  if (pipeFd < 0) return WS_Error;
  if (kind_ != WS_STREAM) return WS_WrongType;
  // Protected bytes must be decrypted in user memory.
  if (tls_) return WS_Error;
  WsStatus st = DoReceiveBlock(nullptr, pipeFd, length, receivedCounter, 0);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_RECEIVEBLOCK, id_, P(nullptr), length, P(receivedCounter), 0u,
                        WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::ReceiveToFile(int pipeRead, int pipeWrite, int fileFd, int64_t length,
                                   int64_t* receivedCounter, int64_t* fileResult) {
  // Protected bytes are decrypted in memory and written from there: no pipe.
  const bool tls = tls_ != nullptr;
  if (fileFd < 0 || (!tls && (pipeRead < 0 || pipeWrite < 0))) return WS_Error;
  if (kind_ != WS_STREAM) return WS_WrongType;
  if (tls && !tls_->Established()) return WS_Error;
  WsStatus st = DoReceiveBlock(nullptr, tls ? -1 : pipeWrite, length, receivedCounter, 0);
  if (st == WS_OK && length >= 1) {
    // The posted look comes later in the loop's pass: the block is a file
    // block by then.
    recPipeRead_ = tls ? -1 : pipeRead;
    recFile_ = fileFd;
    fileResult_ = fileResult;
    if (fileResult_ != nullptr) *fileResult_ = 0;
  }
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_RECEIVEBLOCK, id_, P(nullptr), length, P(receivedCounter), 0u,
                        WsStatusName(st)));
  }
  return st;
}

bool RWinSocket::AfterReceiveStep(std::function<void()> then) {
  if (!recv_.offloaded) return false;
  afterStep_.push_back(std::move(then));
  return true;
}

void RWinSocket::RunAfterStep() {
  std::vector<std::function<void()>> waiting;
  waiting.swap(afterStep_);
  for (std::function<void()>& then : waiting) then();
}

WsStatus RWinSocket::DoReceiveBlock(void* buffer, int pipeFd, int64_t length,
                                    int64_t* receivedCounter, int flags) {
  if (!Ready()) return WS_NoSockLib;
  if (connecting_ || recv_.active) return WS_Busy;
  if (listening_ && kind_ == WS_STREAM) return WS_Busy;
  if (!connected_) return WS_NotCon;
  if (length < 1) return WS_OK;
  if (handle_ < 0) return WS_NotCon;
  recv_.streaming = (flags & WS_REC_STREAMING) != 0;
  recv_.active = true;
  recv_.lines = false;
  recv_.lineReady = false;
  if (autoReset_) {
    idleSeconds_ = 0;
    counters_[WS_TO_RECEIVE] = 0;
  }
  recBuf_ = writePtr_ = static_cast<char*>(buffer);
  recPipe_ = pipeFd;
  recPipeRead_ = recFile_ = -1;
  fileResult_ = nullptr;
  ++recvGeneration_;
  capacity_ = freeSpace_ = length;
  if ((flags & WS_REC_KEEPALIVE) && kind_ == WS_STREAM) EnsureKeepAlive();
  bytesReceived_ = 0;
  recCounter_ = receivedCounter;
  if (recCounter_ != nullptr) *recCounter_ = 0;
  recStatus_ = WS_Receiving;
  // Always look now: between the blocks of an upload the next data is
  // usually waiting, and waiting for the loop to say so costs a pass.
  PostSelf(FD_READ);
  return WS_OK;
}

WsStatus RWinSocket::InitRecLine(int size, int flags) {
  WsStatus st = DoInitRecLine(size, flags);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_INITRECLINE, id_, size, static_cast<unsigned>(flags),
                        WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::DoInitRecLine(int size, int flags) {
  if (!Ready()) return WS_NoSockLib;
  if (kind_ != WS_STREAM) return WS_WrongType;
  if (connecting_ || listening_ || recv_.active) return WS_Busy;
  if (!connected_) return WS_NotCon;
  if (size < 3) return WS_Error;
  if (handle_ < 0) return WS_NotCon;
  recLine_ = std::make_unique<char[]>(static_cast<size_t>(size));
  recBuf_ = writePtr_ = recLine_.get();
  recPipe_ = recPipeRead_ = recFile_ = -1;
  fileResult_ = nullptr;
  capacity_ = freeSpace_ = size;
  bytesReceived_ = 0;
  recCounter_ = nullptr;
  recv_.active = true;
  recv_.lines = true;
  recv_.lineReady = false;
  recv_.streaming = false;
  recv_.discardOverlong = (flags & WS_REC_DISCARD_OVERLONG) != 0;
  recv_.skippingLine = false;
  recStatus_ = WS_Receiving;
  if (autoReset_) counters_[WS_TO_RECEIVE] = 0;
  if (flags & WS_REC_KEEPALIVE) EnsureKeepAlive();
  // While the loop still has FD_READ enabled it announces waiting input by
  // itself; a read of our own would only meet EAGAIN on a fresh connection.
  if (!layer_->loop_.Announcing(handle_, FD_READ)) PostSelf(FD_READ);
  return WS_OK;
}

void RWinSocket::EnsureKeepAlive() {
  if (keepAliveOn_) return;
  RSockCalls c = Calls();
  keepAliveOn_ = c.SetOpt(handle_, SOL_SOCKET, SO_KEEPALIVE, 1) == 0;
}

void RWinSocket::ReceivedBytes(int64_t n) {
  freeSpace_ -= n;
  if (writePtr_ != nullptr) writePtr_ += n;
  bytesReceived_ += n;
  if (!recv_.lines && recCounter_ != nullptr) *recCounter_ += n;
  Account(n);
}

bool RWinSocket::ReceiveHandler(int error) {
  // Any read event may have consumed an announcement; only a short read
  // below proves the kernel had nothing more.
  close_.drained = false;
  if (tlsHandshaking_ && handle_ >= 0) {
    DriveHandshake();
    return true;
  }
  if (recv_.held) return true;
  // The stream is lent to a download step: reading would use it from two
  // threads. The step's return looks again.
  if (tlsLent_) {
    tlsReadDeferred_ = true;
    return true;
  }
  if (tlsWriteWantsRead_) {
    tlsWriteWantsRead_ = false;
    PostSelf(FD_WRITE);
  }
  if (!recv_.active || handle_ < 0 || close_.eofPending) return true;
  // A step is out on a data thread; its completion carries on.
  if (recv_.offloaded) return true;
  if (autoReset_) {
    counters_[WS_TO_RECEIVE] = 0;
    idleSeconds_ = 0;
  }
  if (error != 0) {
    EndReceive(MapWinSockError(error));
    EventProc(WS_Receiving);
    if (close_.peerClosed) EndConnection();
    return true;
  }
  const bool limited = LimitInForce();
  // A data connection's bytes move on the data lane, paced, traced or not:
  // protected uploads decrypt (and write their file) there, clear ones
  // splice there. Lines stay here.
  const bool lane = layer_->dataPool_ != nullptr && kind_ == WS_STREAM && !recv_.lines;
  const bool tlsLane = lane && tls_ && tlsData_ && recPipe_ < 0 && tls_->Established();
  const bool pipeLane = lane && !tls_ && recPipe_ >= 0;
  int64_t chunk = (limited || recv_.lines)
                      ? std::min(freeSpace_, tlsLane || pipeLane ? kLanePacedStep : kStep)
                      : freeSpace_;
  if (!ApplyBudgets(chunk)) return false;
  if (recv_.lines && recv_.lineReady) chunk = 0;
  if (chunk > 0 && tlsLane && OffloadTlsReceive(chunk, limited)) return true;
  if (chunk > 0 && pipeLane &&
      (recFile_ >= 0 ? OffloadFileReceive(chunk, limited) : OffloadPipeReceive(chunk, limited))) {
    return true;
  }
  RSockCalls c = Calls();
  bool failed = false;
  bool eof = false;
  bool pipeFull = false;
  bool fileFailed = false;
  int64_t got = 0;
  if (chunk > 0) {
    if (kind_ == WS_DATAGRAM) {
      RSockAddr from{};
      int64_t r = c.RecvFrom(handle_, recBuf_, capacity_, &from);
      if (r >= 0) {
        // A datagram lands at the start of the buffer.
        writePtr_ = recBuf_;
        freeSpace_ = capacity_;
        lastSender_ = from;
        haveSender_ = true;
        ReceivedBytes(r);
        Notify(WS_Receiving, WS_OK);
        recv_.active = false;
        layer_->loop_.Reenable(handle_, FD_READ);
      } else if (c.err == WSAEWOULDBLOCK) {
        layer_->loop_.Reenable(handle_, FD_READ);
      } else {
        failed = true;
      }
    } else {
      // Limited or line mode: one recv. Otherwise read until the kernel has
      // nothing more or the block is full.
      while (chunk > 0) {
        const bool tlsFile = tls_ && recFile_ >= 0;
        const int64_t want = std::min(chunk, tlsFile ? kTlsFileChunkBytes : kMaxCall);
        if (tlsFile && (!tlsRecvBuf_ || tlsRecvBufLen_ < want)) {
          tlsRecvBuf_ = std::make_unique<char[]>(static_cast<size_t>(want));
          tlsRecvBufLen_ = want;
        }
        int64_t r = recPipe_ >= 0 ? c.SpliceIn(handle_, recPipe_, want)
                    : tlsFile     ? TlsRecvOnce(c, tlsRecvBuf_.get(), want)
                    : tls_        ? TlsRecvOnce(c, writePtr_, want)
                                  : c.Recv(handle_, writePtr_, want);
        if (r > 0) {
          ReceivedBytes(r);
          got += r;
          if (tlsFile && !WriteToFile(tlsRecvBuf_.get(), r)) {
            layer_->loop_.Reenable(handle_, FD_READ);
            fileFailed = true;
            break;
          }
          if (recFile_ >= 0 && !tls_ && !DrainPipeToFile(r)) {
            layer_->loop_.Reenable(handle_, FD_READ);
            fileFailed = true;
            break;
          }
          // A stream socket hands over less than asked only when it has no
          // more; with reading re-enabled the loop announces what comes next.
          // Bytes OpenSSL already took from the socket are never announced.
          const bool tlsPending = tls_ && tls_->HasPending();
          if (recv_.lines) close_.drained = r < want && !close_.peerClosed && !tlsPending;
          if (recv_.lines) ScanLine(r);
          chunk = (limited || recv_.lines) ? 0 : freeSpace_;
          if (chunk == 0) layer_->loop_.Reenable(handle_, FD_READ);
          if (chunk == 0 && tlsPending && (!recv_.lines || !recv_.lineReady)) PostSelf(FD_READ);
          continue;
        }
        if (r == 0) {
          eof = true;
        } else if (c.err == WSAEWOULDBLOCK) {
          layer_->loop_.Reenable(handle_, FD_READ);
          // A pipe runs out of slots before bytes when segments are small,
          // and splice cannot say whether the socket or the pipe stopped
          // it: a block holding bytes is handed over as it is.
          pipeFull = recPipe_ >= 0 && recFile_ < 0 && bytesReceived_ > 0;
        } else {
          failed = true;
        }
        break;
      }
      HandOverBlock(got, pipeFull || fileFailed, eof, failed);
    }
  }
  FinishReceiveStep(failed, c.err, eof);
  return true;
}

void RWinSocket::HandOverBlock(int64_t got, bool pipeFull, bool eof, bool failed) {
  if ((got > 0 || pipeFull) && !recv_.lines) {
    if (recv_.streaming) {
      Notify(WS_Receiving, WS_OK);
    } else if (freeSpace_ == 0 || pipeFull) {
      Notify(WS_Receiving, WS_OK);
      recv_.active = false;
    }
  }
  if (got > 0 && close_.peerClosed && !eof && !failed) PostSelf(FD_READ);
}

void RWinSocket::FinishReceiveStep(bool failed, int err, bool eof) {
  if (failed) EndReceive(MapWinSockError(err));
  EventProc(WS_Receiving);
  // Draining after the peer went away: a failed read is the end of the
  // connection too, and the owner hears WS_Closing.
  if (failed && close_.peerClosed) EndConnection();
  if (eof) {
    if (close_.peerClosed) {
      EndConnection();
    } else if (tls_ && tls_->PeerClosed()) {
      // close_notify says the stream is complete, whatever TCP does next; a
      // client that waits for ours before it closes (an upload's unwrap)
      // would otherwise wait for the tick below.
      closeStatus_ = WS_SoftClose;
      EndConnection();
    } else {
      // The end of the stream showed before FD_CLOSE did. Whether the peer
      // closed or reset travels with FD_CLOSE (the event loop fetched and
      // cleared the socket error when it posted it), so the connection ends
      // there; a reset must never pass for a complete transfer.
      close_.eofPending = true;
      close_.peerEnded = true;
    }
  }
}

// What one offloaded receive step did.
struct RPipeStepStr {
  int64_t got = 0;
  int err = 0;  // WinSock number of a failed call
  bool eof = false;
  bool wouldBlock = false;
  std::vector<std::string> trace;
};

// A receive step's splices from the socket into the pipe, up to `left`
// bytes while not cancelled; `took(r)` handles each chunk and says whether
// the step goes on. Ends with how the last call stopped, if it did.
template <typename Took>
static void SpliceReceive(RSockCalls& c, int sock, int pipe, int64_t left,
                          const RWorkCancel& cancel, RPipeStepStr& step, Took took) {
  while (left > 0 && !cancel.Cancelled()) {
    const int64_t r = c.SpliceIn(sock, pipe, std::min(left, kMaxCall));
    if (r > 0) {
      step.got += r;
      left -= r;
      if (!took(r)) return;
      continue;
    }
    if (r == 0) {
      step.eof = true;
    } else if (c.err == WSAEWOULDBLOCK) {
      step.wouldBlock = true;
    } else {
      step.err = c.err;
    }
    return;
  }
}

// The upload side of OffloadFileSend: the socket-to-pipe splice of a block
// runs on a data thread.
bool RWinSocket::OffloadPipeReceive(int64_t chunk, bool paced) {
  const bool traced = Tracing();
  const uint32_t id = id_;
  auto body = [chunk, traced, id](int sock, int pipe, const RWorkCancel& cancel) -> StepResult {
    auto step = std::make_shared<RPipeStepStr>();
    RSockCalls c = RSockCalls::OffLoop(traced ? &step->trace : nullptr, id);
    SpliceReceive(c, sock, pipe, chunk, cancel, *step, [](int64_t) { return true; });
    return step;
  };
  const uint64_t generation = recvGeneration_;
  auto done = [this, generation](const StepResult& r) {
    const auto& step = *static_cast<const RPipeStepStr*>(r.get());
    EmitTrace(step.trace);
    PipeReceiveDone(generation, step);
  };
  if (!OffloadStep(recPipe_, &recvPipeFds_, std::move(body), std::move(done), &recvStep_)) {
    return false;
  }
  if (paced) ReserveBudgets(recvReserved_, chunk);
  recv_.offloaded = true;
  return true;
}

bool RWinSocket::ReceiveStepBack(uint64_t generation) {
  recv_.offloaded = false;
  recvStep_.reset();
  ReturnBudgets(recvReserved_);
  if (!recv_.active || generation != recvGeneration_ || handle_ < 0) {
    // That receive ended meanwhile; a new one waited for the step.
    if (recv_.active && handle_ >= 0) PostSelf(FD_READ);
    return false;
  }
  return true;
}

void RWinSocket::StepReceived(int64_t got) {
  if (got <= 0) return;
  if (autoReset_) {
    counters_[WS_TO_RECEIVE] = 0;
    idleSeconds_ = 0;
  }
  ReceivedBytes(got);
}

void RWinSocket::PipeReceiveDone(uint64_t generation, const RPipeStepStr& step) {
  if (!ReceiveStepBack(generation)) return;
  StepReceived(step.got);
  // As on the loop: a full block or an empty socket re-arms reading, and a
  // pipe out of slots hands over what it holds.
  const bool pipeFull = step.wouldBlock && bytesReceived_ > 0;
  if (step.wouldBlock || (step.err == 0 && !step.eof && freeSpace_ == 0)) {
    layer_->loop_.Reenable(handle_, FD_READ);
  }
  HandOverBlock(step.got, pipeFull, step.eof, step.err != 0);
  FinishReceiveStep(step.err != 0, step.err, step.eof);
}

bool RWinSocket::WriteToFile(const char* bytes, int64_t n) {
  const int64_t w = FdWriteAll(recFile_, bytes, static_cast<size_t>(n));
  if (w == n) {
    if (fileResult_ != nullptr && *fileResult_ >= 0) *fileResult_ += n;
    return true;
  }
  if (fileResult_ != nullptr) *fileResult_ = w < 0 ? w : -EIO;
  return false;
}

bool RWinSocket::DrainPipeToFile(int64_t n) {
  const int64_t w = FdSpliceAll(recPipeRead_, recFile_, static_cast<size_t>(n));
  if (w == n) {
    if (fileResult_ != nullptr && *fileResult_ >= 0) *fileResult_ += n;
    return true;
  }
  if (fileResult_ != nullptr) *fileResult_ = w < 0 ? w : -EIO;
  return false;
}

// What one offloaded file receive step did.
struct RFileRecvStepStr : RPipeStepStr {
  int64_t wrote = 0;    // of the bytes got, those the file took
  int64_t fileErr = 0;  // -errno of a failed file write
};

// One step of a file receive on a data thread: socket to pipe to file,
// chunk after chunk, for as long as the socket has bytes ready, up to a
// bound. The pipe is empty before each chunk, so EAGAIN means the socket
// has nothing more. A clear upload then costs two calls per pipe's worth
// and one hand-over between the loop and the lane per step.
bool RWinSocket::FileCopies(bool withSocket) {
  if (recvFds_ && recvFds_->pipeReadOf == recPipeRead_ && recvFds_->pipeWriteOf == recPipe_ &&
      recvFds_->fileOf == recFile_) {
    return true;
  }
  auto fds = std::make_shared<RFileRecvFds>();
  fds->file = RFd(::fcntl(recFile_, F_DUPFD_CLOEXEC, 0));
  if (!fds->file) return false;
  if (withSocket) {
    fds->sock = RFd(::fcntl(handle_, F_DUPFD_CLOEXEC, 0));
    fds->pipeRead = RFd(::fcntl(recPipeRead_, F_DUPFD_CLOEXEC, 0));
    fds->pipeWrite = RFd(::fcntl(recPipe_, F_DUPFD_CLOEXEC, 0));
    if (!fds->sock || !fds->pipeRead || !fds->pipeWrite) return false;
  }
  fds->pipeReadOf = recPipeRead_;
  fds->pipeWriteOf = recPipe_;
  fds->fileOf = recFile_;
  recvFds_ = std::move(fds);
  return true;
}

bool RWinSocket::OffloadFileReceive(int64_t chunk, bool paced) {
  const int64_t want = std::min(chunk, kStepBytes);
  if (!FileCopies(true)) return false;
  const bool traced = Tracing();
  const uint32_t id = id_;
  auto cancel = std::make_shared<RWorkCancel>();
  const bool lowatOff = LimitInForce();
  RWorkPool::Work work = [fds = recvFds_, cancel, want, traced, id,
                          lowatOff]() -> RWorkPool::Result {
    auto step = std::make_shared<RFileRecvStepStr>();
    RSockCalls c = RSockCalls::OffLoop(traced ? &step->trace : nullptr, id);
    RFileRecvStepStr& st = *step;
    SpliceReceive(c, fds->sock.Get(), fds->pipeWrite.Get(), want, *cancel, st, [&](int64_t r) {
      const int64_t w = FdSpliceAll(fds->pipeRead.Get(), fds->file.Get(), static_cast<size_t>(r));
      if (w != r) {
        st.fileErr = w < 0 ? w : -EIO;
        return false;
      }
      st.wrote += r;
      // Little was queued: the sender is slower than this loop. Going on
      // would poll the socket a segment at a time (seconds of CPU per GiB
      // when the client is short of CPU); the loop waits for more.
      if (r < kShortSplice && st.got < want && !lowatOff) {
        st.wouldBlock = true;
        return false;
      }
      return true;
    });
    return step;
  };
  const uint64_t generation = recvGeneration_;
  auto done = [this, generation](const RWorkPool::Result& r) {
    const auto& step = *static_cast<const RFileRecvStepStr*>(r.get());
    EmitTrace(step.trace);
    FileReceiveDone(generation, step);
  };
  if (layer_->dataPool_->SubmitData(cancel, std::move(work), std::move(done)) !=
      RWorkSubmit::Queued) {
    return false;
  }
  if (paced) ReserveBudgets(recvReserved_, want);
  recvStep_ = std::move(cancel);
  recv_.offloaded = true;
  return true;
}

void RWinSocket::FileReceiveDone(uint64_t generation, const RFileRecvStepStr& step) {
  if (!ReceiveStepBack(generation)) {
    RunAfterStep();
    return;
  }
  StepReceived(step.got);
  const bool fileFailed = step.fileErr != 0;
  if (fileResult_ != nullptr && *fileResult_ >= 0) {
    *fileResult_ = fileFailed ? step.fileErr : *fileResult_ + step.wrote;
  }
  const bool broke = step.err != 0 || step.eof;
  if (step.wouldBlock && !fileFailed) SetRecvLowat(step.got >= kLowatAfter && !LimitInForce());
  if (step.wouldBlock || fileFailed || (!broke && freeSpace_ == 0)) {
    layer_->loop_.Reenable(handle_, FD_READ);
  } else if (!broke) {
    PostSelf(FD_READ);  // the step's bound was reached, not the socket's end
  }
  HandOverBlock(step.got, fileFailed, step.eof, step.err != 0);
  FinishReceiveStep(step.err != 0, step.err, step.eof);
  RunAfterStep();
}

void RWinSocket::SetRecvLowat(bool raised) {
  const int want = raised ? kRecvLowat : 1;
  if (want == recvLowat_ || handle_ < 0) return;
  RSockCalls c = Calls();
  // Refused, the socket keeps waking per segment: slower, never wrong.
  if (c.SetOpt(handle_, SOL_SOCKET, SO_RCVLOWAT, want) == 0) recvLowat_ = want;
}

void RWinSocket::EndReceive(int status) {
  recStatus_ = status;
  Notify(WS_Receiving, status);
  FreeRecLine();
  recv_.active = false;
}

void RWinSocket::ScanLine(int64_t n) {
  // The n bytes just received end at writePtr_. CR ends a line (kept as the
  // terminator); LF and NUL are dropped wherever they stand.
  char* start = writePtr_ - n;
  char* out = start;
  for (char* in = start; in < writePtr_; ++in) {
    const char ch = *in;
    if (recv_.skippingLine) {
      // The tail of a line that was cut: dropped up to and with its CR.
      if (ch == '\r') recv_.skippingLine = false;
      continue;
    }
    if (ch == '\n' || ch == '\0') continue;
    *out++ = ch == '\r' ? '\0' : ch;
  }
  const int64_t removed = writePtr_ - out;
  freeSpace_ += removed;
  writePtr_ = out;
  const int64_t buffered = capacity_ - freeSpace_;
  if (std::memchr(recBuf_, '\0', static_cast<size_t>(buffered)) == nullptr) {
    if (freeSpace_ > 0) return;
    // Full without a line end: the last byte gives way to a terminator.
    recBuf_[capacity_ - 1] = '\0';
    // Read as a line of its own, the tail would be a command the client
    // never sent on a line by itself.
    if (recv_.discardOverlong) recv_.skippingLine = true;
  }
  if (!recv_.lineReady) {
    recv_.lineReady = true;
    Notify(WS_Receiving, WS_OK);
  }
}

WsStatus RWinSocket::ReceiveLine(char* destination, int size) {
  WsStatus st = DoReceiveLine(destination, size);
  if (Tracing())
    TraceLine(FormatStr(STR_NET_OP_RECEIVELINE, id_, P(destination), size, WsStatusName(st)));
  return st;
}

WsStatus RWinSocket::DoReceiveLine(char* destination, int size) {
  if (size <= 2 || destination == nullptr || !recv_.lines) return WS_Error;
  if (!recv_.lineReady) return WS_Nothing;
  // Read on into the room this line frees, unless the socket is known empty.
  if (!close_.drained) PostSelf(FD_READ);
  if (autoReset_) idleSeconds_ = 0;
  const int64_t buffered = capacity_ - freeSpace_;
  int64_t i = 0;
  bool terminated = false;
  while (i < size && i < buffered) {
    destination[i] = recBuf_[i];
    ++i;
    if (destination[i - 1] == '\0') {
      terminated = true;
      break;
    }
  }
  std::memmove(recBuf_, recBuf_ + i, static_cast<size_t>(buffered - i));
  freeSpace_ += i;
  writePtr_ -= i;
  recv_.lineReady = false;
  if (std::memchr(recBuf_, '\0', static_cast<size_t>(buffered - i)) != nullptr) {
    recv_.lineReady = true;
    Notify(WS_Receiving, WS_OK);
  }
  if (terminated) return WS_OK;
  if (i == size) {
    destination[size - 1] = '\0';
    return WS_More;
  }
  destination[i] = '\0';
  return WS_OK;
}

int64_t RWinSocket::GetReceivedBytes(void* destination, int64_t maximum) {
  int64_t n = 0;
  if (kind_ == WS_STREAM && recv_.active && !recv_.lines && recPipe_ < 0 &&
      destination != nullptr && maximum > 0) {
    const int64_t buffered = capacity_ - freeSpace_;
    n = std::min(maximum, buffered);
    std::memcpy(destination, recBuf_, static_cast<size_t>(n));
    std::memmove(recBuf_, recBuf_ + n, static_cast<size_t>(buffered - n));
    freeSpace_ += n;
    writePtr_ -= n;
    if (recCounter_ != nullptr) *recCounter_ -= n;
    if (recv_.streaming && buffered - n > 0) Notify(WS_Receiving, WS_OK);
    // Room again: reading resumes where a full buffer had paused it.
    if (recv_.streaming && n > 0) PostSelf(FD_READ);
  }
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_GETRECEIVED, id_, P(destination), maximum, n));
  }
  return n;
}

// --- time-outs and limits --------------------------------------------------------------

void RWinSocket::SetTimeOut(const RTimeOuts& limits, bool autoReset) {
  for (size_t i = 0; i < limits.size(); ++i) {
    if (limits[i] >= 1) {
      limits_[i] = limits[i];
    } else if (limits[i] < 0) {
      limits_[i] = -1;
    }
  }
  autoReset_ = autoReset;
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_SETTIMEOUT, id_, limits[0], limits[1], limits[2], limits[3],
                        limits[4], autoReset ? 1 : 0));
  }
}

void RWinSocket::ResetTimeOut() {
  idleSeconds_ = 0;
  counters_.fill(0);
  if (Tracing()) TraceLine(FormatStr(STR_NET_OP_RESETTIMEOUT, id_));
}

void RWinSocket::SetLocalSpeedLimit(int64_t bytesPerSecond) {
  const bool was = localLimitOn_;
  if (bytesPerSecond > 0) {
    localLimitOn_ = true;
    localLimit_ = localBudget_ = bytesPerSecond;
  } else {
    localLimitOn_ = false;
  }
  if (was != localLimitOn_) layer_->CountLocalLimit(localLimitOn_ ? 1 : -1);
  if (Tracing()) TraceLine(FormatStr(STR_NET_OP_LOCALLIMIT, id_, bytesPerSecond));
}

bool RWinSocket::Reached(int slot) {
  ++counters_[slot];
  return limits_[slot] != -1 && counters_[slot] >= limits_[slot];
}

void RWinSocket::Tick() {
  if (tlsHandshaking_ && ++tlsSeconds_ >= tlsLimit_) EndHandshake(WS_Timeout);
  // A close_notify that waits for room; past the close attempt's bound
  // DoDisconnect resets the connection.
  if (close_.tlsClosing && connected_ && handle_ >= 0) (void)DoDisconnect(0);
  if (close_.eofPending && connected_) {
    // FD_CLOSE did not follow the end of the stream within a second.
    close_.eofPending = false;
    closeStatus_ = WS_SoftClose;
    EndConnection();
  }
  ++idleSeconds_;
  // Lowering the mark has the kernel announce what already waits.
  if (recvLowat_ > 1 && !recv_.offloaded) SetRecvLowat(false);
  bytesPrevSecond_ = bytesThisSecond_;
  bytesThisSecond_ = 0;
  if (localLimitOn_) localBudget_ = localLimit_;
  if (delayedClose_ > 0 && --delayedClose_ < 1) {
    delayedClose_ = 0;
    (void)DisconnectHost(0);
  }
  if (acceptPause_ > 0 && --acceptPause_ == 0 && listening_ && handle_ >= 0) {
    layer_->loop_.Reenable(handle_, FD_ACCEPT);
  }
  if (listening_) {
    if (Reached(WS_TO_LISTEN)) {
      listening_ = false;
      listenStatus_ = WS_Timeout;
      Notify(WS_Listening, WS_Timeout);
      EventProc(WS_Timeout);
      return;
    }
    if (--listenHealth_ < 1) {
      int value = 0;
      RSockCalls c = Calls();
      WsStatus st = WS_OK;
      if (c.GetOpt(handle_, SOL_SOCKET, SO_ACCEPTCONN, &value) != 0) {
        st = MapWinSockError(c.err);
        if (st == WS_OK) st = WS_Error;
      } else if (value == 0) {
        st = WS_Error;
      }
      if (st != WS_OK) {
        listening_ = false;
        listenStatus_ = st;
        Notify(WS_Listening, st);
        EventProc(WS_Timeout);
        return;
      }
      listenHealth_ = 180;
    }
  }
  if (connecting_ && Reached(WS_TO_CONNECT)) {
    connecting_ = false;
    connectStatus_ = WS_Timeout;
    // A connection that might still complete later would have no owner.
    if (!lookup_.running) CloseHandle(true);
    Notify(WS_Connecting, WS_Timeout);
    EventProc(WS_Timeout);
  }
  if (send_.active && Reached(WS_TO_SEND) && sendLeft_ >= 1) {
    StopTlsStep();
    FreeSendLine();
    send_.active = false;
    close_.sendCut = true;
    fileFd_ = -1;
    sendStatus_ = WS_Timeout;
    Notify(WS_Sending, WS_Timeout);
    EventProc(WS_Timeout);
  }
  // A step on a data thread is activity; its end restarts the count.
  if (recv_.active && !recv_.offloaded && Reached(WS_TO_RECEIVE)) {
    FreeRecLine();
    recv_.active = false;
    recStatus_ = WS_Timeout;
    Notify(WS_Receiving, WS_Timeout);
    EventProc(WS_Timeout);
  }
  if (lookup_.running && Reached(WS_TO_LOOKUP)) {
    lookupStatus_ = WS_Timeout;
    const bool silent = lookup_.silent;
    CancelLookup();
    if (!silent) Notify(WS_Service, WS_Timeout);
    lookup_.silent = false;
    if (lookup_.connectAfter) (void)StartConnection();
    EventProc(WS_Timeout);
  }
  EventProc(WS_TimerTick);
}

}  // namespace vantor
