// RWinSocket: the TLS side of a stream socket (handshake, protected reads
// and writes, the user-space download path).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "net/RSockCalls.h"
#include "net/RWinSocket.h"
#include "platform/RFd.h"
#include "platform/RWorkPool.h"

namespace vantor {
namespace {

// A download without kernel TLS reads this much of the file at a time and
// encrypts it in 16 KiB records: large enough that a record never waits
// for the next read, small enough to stay in the cache.
constexpr int64_t kTlsFileChunk = 256 * 1024;
constexpr int32_t kDefaultHandshakeSeconds = 60;
// Most one protected step sends, as for clear file steps: a fast reader
// never keeps a data thread to itself.
constexpr int64_t kTlsStepBytes = 16 << 20;

// A failed protected write, as a WinSock number (TlsErrorCode without its
// readiness side effects, which belong to the loop).
int StepError(RTlsResult r) {
  return r == RTlsResult::Truncated ? WSAECONNRESET : WSAECONNABORTED;
}

}  // namespace

// One protected download step. The loop fills the inputs and hands the
// record over; the data thread alone uses `tls` and writes the results until
// the step's completion is delivered, so the stream is never used by two
// threads at once. `orphan*` are set by the loop only, read by nobody: they
// end with the record, after the data thread has let go of it.
struct RTlsStepStr {
  RTlsStream* tls = nullptr;
  RFd file;  // the step's own copy of the file
  int64_t want = 0;
  int64_t offset = 0;
  bool kernel = false;  // SSL_sendfile through kernel TLS
  bool finish = false;  // send the gathered records when `want` is done
  std::unique_ptr<char[]> buf;
  int64_t len = 0;
  int64_t pos = 0;
  // Set by the loop when the send ended or a close waits: the step stops
  // after the record it is writing, and its completion still comes back
  // (a cancelled one would never return the stream).
  std::atomic<bool> stop{false};

  int64_t sent = 0;
  int err = 0;
  bool full = false;        // the socket took no more
  bool wantsRead = false;   // the write waits for the peer's bytes
  bool flushWaits = false;  // records still gathered, the socket full

  // An upload step: `want` bytes at most into `in`.
  bool receive = false;
  std::unique_ptr<char[]> in;
  int64_t inLen = 0;
  int64_t got = 0;
  bool closed = false;      // the peer's close_notify
  bool wouldBlock = false;  // the socket had no more
  bool wantsWrite = false;  // the read waits for room to write
  bool pending = false;     // decrypted or buffered bytes left in OpenSSL

  RFd orphanHandle;
  std::unique_ptr<RTlsStream> orphanTls;  // freed before the handle closes
};

namespace {

void RunTlsStep(RTlsStepStr& s, const RWorkCancel& cancel) {
  int64_t left = s.want;
  while (left > 0 && !cancel.Cancelled() && !s.stop.load(std::memory_order_relaxed)) {
    RTlsResult r = RTlsResult::Done;
    int64_t n = 0;
    if (s.kernel) {
      n = s.tls->SendFile(s.file.Get(), s.offset, left, &r);
      if (n > 0) s.offset += n;
    } else {
      if (s.len == s.pos) {
        if (!s.buf) s.buf = std::make_unique<char[]>(kTlsFileChunk);
        ssize_t got;
        do {
          got = ::pread(s.file.Get(), s.buf.get(),
                        static_cast<size_t>(std::min(left, kTlsFileChunk)), s.offset);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
          // The file ended before the promised length: never report it as sent.
          s.err = ErrnoToWinSock(got == 0 ? EIO : errno);
          break;
        }
        s.len = got;
        s.pos = 0;
      }
      // A write that had to wait is repeated with the same bytes (pos and
      // len stay), as OpenSSL requires.
      n = s.tls->Write(s.buf.get() + s.pos, s.len - s.pos, &r);
      if (n > 0) {
        s.pos += n;
        s.offset += n;
      }
    }
    if (n > 0) {
      s.sent += n;
      left -= n;
      continue;
    }
    if (r == RTlsResult::WantWrite) {
      s.full = true;
    } else if (r == RTlsResult::WantRead) {
      s.wantsRead = true;
    } else {
      s.err = StepError(r);
    }
    break;
  }
  if (s.err != 0 || left > 0 || !s.finish || cancel.Cancelled()) return;
  switch (s.tls->Flush()) {
    case RTlsResult::Done:
      break;
    case RTlsResult::WantWrite:
      s.flushWaits = true;
      break;
    default:
      s.err = WSAECONNABORTED;
      break;
  }
}

void RunTlsReceive(RTlsStepStr& s, const RWorkCancel& cancel) {
  int64_t left = s.want;
  while (left > 0 && !cancel.Cancelled() && !s.stop.load(std::memory_order_relaxed)) {
    RTlsResult r = RTlsResult::Done;
    const int64_t n = s.tls->Read(s.in.get() + s.got, left, &r);
    if (n > 0) {
      s.got += n;
      left -= n;
      continue;
    }
    if (r == RTlsResult::Closed) {
      s.closed = true;
    } else if (r == RTlsResult::WantRead) {
      s.wouldBlock = true;
    } else if (r == RTlsResult::WantWrite) {
      s.wantsWrite = true;
    } else {
      // The reset is told apart: the loop may no longer see it on the socket.
      s.err = r == RTlsResult::Failed && errno == ECONNRESET ? WSAECONNRESET : StepError(r);
    }
    break;
  }
  s.pending = s.tls->HasPending();
}

}  // namespace

void RWinSocket::ReserveBudgets(int64_t n) {
  tlsReserved_ = n;
  if (layer_->globalLimitOn_) layer_->globalBudget_ -= n;
  if (localLimitOn_) localBudget_ -= n;
}

void RWinSocket::ReturnBudgets() {
  if (tlsReserved_ <= 0) return;
  if (layer_->globalLimitOn_) {
    layer_->globalBudget_ = std::min(layer_->globalBudget_ + tlsReserved_, layer_->globalLimit_);
  }
  if (localLimitOn_) localBudget_ = std::min(localBudget_ + tlsReserved_, localLimit_);
  tlsReserved_ = 0;
}

bool RWinSocket::OffloadTlsReceive(int64_t want, bool paced) {
  auto step = std::make_shared<RTlsStepStr>();
  step->receive = true;
  step->tls = tls_.get();
  step->want = want;
  if (!tlsRecvBuf_ || tlsRecvBufLen_ < want) {
    tlsRecvBuf_ = std::make_unique<char[]>(static_cast<size_t>(want));
    tlsRecvBufLen_ = want;
  }
  step->in = std::move(tlsRecvBuf_);
  step->inLen = tlsRecvBufLen_;
  auto cancel = std::make_shared<RWorkCancel>();
  RWorkPool::Work work = [step, cancel]() -> RWorkPool::Result {
    RunTlsReceive(*step, *cancel);
    return nullptr;
  };
  const uint64_t generation = recvGeneration_;
  auto done = [this, step, generation](const RWorkPool::Result&) {
    TlsReceiveDone(generation, *step);
  };
  if (layer_->dataPool_->SubmitData(cancel, std::move(work), std::move(done)) !=
      RWorkSubmit::Queued) {
    tlsRecvBuf_ = std::move(step->in);
    return false;
  }
  if (paced) ReserveBudgets(want);
  tlsStep_ = std::move(step);
  recvStep_ = std::move(cancel);
  tlsLent_ = true;
  recv_.offloaded = true;
  return true;
}

void RWinSocket::TlsReceiveDone(uint64_t generation, RTlsStepStr& step) {
  tlsLent_ = false;
  tlsStep_.reset();
  recv_.offloaded = false;
  recvStep_.reset();
  ReturnBudgets();
  const char* bytes = step.in.get();
  tlsRecvBuf_ = std::move(step.in);
  tlsRecvBufLen_ = step.inLen;
  if (tlsWriteDeferred_) {
    tlsWriteDeferred_ = false;
    PostSelf(FD_WRITE);
  }
  if (tlsReadDeferred_) {
    tlsReadDeferred_ = false;
    PostSelf(FD_READ);
  }
  if (!recv_.active || generation != recvGeneration_ || handle_ < 0 || close_.eofPending) {
    // That receive ended meanwhile (abort, time-out, a close that waited for
    // the stream): the bytes of the step go with it.
    if (close_.tlsClosing && handle_ >= 0) {
      (void)DoDisconnect(0);
    } else if (recv_.active && handle_ >= 0) {
      PostSelf(FD_READ);
    }
    RunAfterStep();
    return;
  }
  if (step.got > 0) {
    if (autoReset_) {
      counters_[WS_TO_RECEIVE] = 0;
      idleSeconds_ = 0;
    }
    std::memcpy(writePtr_, bytes, static_cast<size_t>(step.got));
    ReceivedBytes(step.got);
  }
  if (step.wantsWrite) {
    tlsReadWantsWrite_ = true;
    layer_->loop_.Reenable(handle_, FD_WRITE);
  }
  const bool failed = step.err != 0;
  if (step.err == WSAECONNRESET) {
    // The step's read took the socket's error: a close reported after (or
    // before) it must not pass for the peer's clean end.
    tlsStepReset_ = true;
    if (close_.peerClosed) closeStatus_ = WS_Reset;
    close_.peerEnded = false;
  }
  if (!failed && !step.closed && !step.wantsWrite) {
    // As on the loop: an empty socket or a full block re-arms reading, and
    // records OpenSSL already holds are never announced by the socket.
    layer_->loop_.Reenable(handle_, FD_READ);
    if (!step.wouldBlock && step.pending) PostSelf(FD_READ);
  }
  HandOverBlock(step.got, false, step.closed, failed);
  FinishReceiveStep(failed, step.err, step.closed);
  // Whoever waited for the step (the session's own events) goes on now.
  RunAfterStep();
}

bool RWinSocket::OffloadTlsSend(int64_t want, bool paced) {
  auto step = std::make_shared<RTlsStepStr>();
  step->file = RFd(::fcntl(fileFd_, F_DUPFD_CLOEXEC, 0));
  if (!step->file) return false;
  step->tls = tls_.get();
  step->want = std::min(want, kTlsStepBytes);
  step->offset = fileOffset_;
  step->kernel = tls_->KernelSend();
  step->finish = paced || step->want == sendLeft_;
  step->buf = std::move(tlsFileBuf_);
  step->len = tlsFileLen_;
  step->pos = tlsFilePos_;
  auto cancel = std::make_shared<RWorkCancel>();
  RWorkPool::Work work = [step, cancel]() -> RWorkPool::Result {
    RunTlsStep(*step, *cancel);
    return nullptr;
  };
  const uint64_t generation = sendGeneration_;
  auto done = [this, step, generation](const RWorkPool::Result&) {
    TlsSendDone(generation, *step);
  };
  if (layer_->dataPool_->SubmitData(cancel, std::move(work), std::move(done)) !=
      RWorkSubmit::Queued) {
    tlsFileBuf_ = std::move(step->buf);
    return false;
  }
  // The loop decides the pace: the step's share is taken from the budgets
  // now, so steps of other sockets out at the same time cannot spend it
  // again; what it did not send is given back when it returns.
  if (paced) ReserveBudgets(step->want);
  tlsStep_ = std::move(step);
  sendStep_ = std::move(cancel);
  tlsLent_ = true;
  send_.offloaded = true;
  return true;
}

void RWinSocket::TlsSendDone(uint64_t generation, RTlsStepStr& step) {
  tlsLent_ = false;
  tlsStep_.reset();
  send_.offloaded = false;
  sendStep_.reset();
  ReturnBudgets();
  tlsFileBuf_ = std::move(step.buf);
  if (tlsReadDeferred_) {
    tlsReadDeferred_ = false;
    PostSelf(FD_READ);
  }
  if (!send_.active || generation != sendGeneration_ || handle_ < 0) {
    // That send ended meanwhile (abort, time-out): its unsent plaintext goes
    // with it. A close that waited for the stream goes on now.
    tlsFileLen_ = tlsFilePos_ = 0;
    if (close_.tlsClosing && handle_ >= 0) {
      (void)DoDisconnect(0);
    } else if (send_.active && handle_ >= 0) {
      PostSelf(FD_WRITE);
    }
    return;
  }
  tlsFileLen_ = step.len;
  tlsFilePos_ = step.pos;
  if (step.sent > 0) {
    if (autoReset_) {
      counters_[WS_TO_SEND] = 0;
      idleSeconds_ = 0;
    }
    fileOffset_ = step.offset;
    SentBytes(step.sent);
  }
  if (step.wantsRead) {
    tlsWriteWantsRead_ = true;
    layer_->loop_.Reenable(handle_, FD_READ);
  }
  if (step.err == 0 && (sendLeft_ > 0 || step.flushWaits)) {
    if (step.full || step.flushWaits) {
      layer_->loop_.Reenable(handle_, FD_WRITE);
    } else if (!step.wantsRead) {
      PostSelf(FD_WRITE);  // the step's share was used up, not the socket
    }
  }
  FinishSendStep(step.err != 0, step.err, step.flushWaits);
}

void RWinSocket::StopTlsStep() {
  if (tlsLent_) tlsStep_->stop.store(true, std::memory_order_relaxed);
}

void RWinSocket::OrphanTlsStep() {
  if (!tlsLent_) return;
  // The step may be inside a write on this descriptor: closing it here could
  // hand its number to another connection while the step still writes to
  // it, so the step's record ends both.
  tlsStep_->orphanTls = std::move(tls_);
  if (handle_ >= 0) tlsStep_->orphanHandle = RFd(handle_);
  handle_ = -1;
  tlsStep_.reset();
  tlsLent_ = false;
  tlsReadDeferred_ = tlsWriteDeferred_ = false;
  tlsReserved_ = 0;
}

WsStatus RWinSocket::StartTls(std::shared_ptr<RTlsContext> context, std::string_view sessionId,
                              bool dataConnection, int32_t limitSeconds, std::string_view lineage) {
  if (!Ready()) return WS_NoSockLib;
  if (kind_ != WS_STREAM) return WS_WrongType;
  if (!connected_ || handle_ < 0) return WS_NotCon;
  if (tls_ || send_.active || connecting_ || listening_) return WS_Busy;
  if (!context) return WS_Error;
  auto stream = std::make_unique<RTlsStream>(std::move(context), handle_);
  if (!stream->Valid()) return WS_Error;
  stream->SetSessionId(sessionId);
  stream->SetLineage(lineage);
  if (dataConnection) {
    stream->NoTickets();
    stream->BulkMode();
  }
  if (recv_.lines) {
    // Whatever followed the command that asked for TLS was sent in clear
    // text and must not be taken as protected input.
    writePtr_ = recBuf_;
    freeSpace_ = capacity_;
    recv_.lineReady = false;
    recv_.skippingLine = false;
  }
  tls_ = std::move(stream);
  tlsHandshaking_ = true;
  tlsData_ = dataConnection;
  recv_.held = false;
  tlsLimit_ = limitSeconds > 0 ? limitSeconds : kDefaultHandshakeSeconds;
  tlsSeconds_ = 0;
  tlsFailure_.clear();
  PostSelf(FD_READ);
  return WS_OK;
}

void RWinSocket::DriveHandshake() {
  switch (tls_->Handshake()) {
    case RTlsResult::Done:
      EndHandshake(WS_OK);
      break;
    case RTlsResult::WantRead:
      layer_->loop_.Reenable(handle_, FD_READ);
      break;
    case RTlsResult::WantWrite:
      layer_->loop_.Reenable(handle_, FD_WRITE);
      break;
    default:
      tlsFailure_ = tls_->FailureReason();
      EndHandshake(WS_Error);
      break;
  }
}

void RWinSocket::EndHandshake(int status) {
  tlsHandshaking_ = false;
  if (status != WS_OK) {
    if (tlsFailure_.empty()) tlsFailure_ = status == WS_Timeout ? "time-out" : "TLS error";
    // A connection whose handshake failed never carries another byte: clear
    // text after it would be taken for the protected stream.
    CloseHandle(true);
    listening_ = send_.active = recv_.active = connected_ = false;
    FreeSendLine();
    FreeRecLine();
  } else {
    if (tlsData_) {
      // A data connection sends nothing after the handshake (no tickets),
      // so the client's Finished would be acknowledged only by the delayed
      // ACK, and an uploading client's first records (Nagle's rule on its
      // side) waited those 40 ms for it: acknowledge at once.
      RSockCalls c = Calls();
      (void)c.SetOpt(handle_, IPPROTO_TCP, TCP_QUICKACK, 1);
    }
    // The client may have sent its first command with its last handshake
    // flight; it waits in OpenSSL's buffers, not in the socket.
    if (recv_.active) PostSelf(FD_READ);
  }
  Notify(WS_Securing, status);
  EventProc(WS_Securing);
}

void RWinSocket::DropTls() {
  tls_.reset();
  tlsHandshaking_ = false;
  tlsReadWantsWrite_ = tlsWriteWantsRead_ = false;
  tlsFileBuf_.reset();
  tlsFileLen_ = tlsFilePos_ = 0;
  tlsRetryLen_ = 0;
}

int RWinSocket::TlsErrorCode(RTlsResult r) {
  switch (r) {
    case RTlsResult::WantRead:
      tlsWriteWantsRead_ = true;
      layer_->loop_.Reenable(handle_, FD_READ);
      return WSAEWOULDBLOCK;
    case RTlsResult::WantWrite:
      return WSAEWOULDBLOCK;
    case RTlsResult::Truncated:
      // The stream ended without close_notify: a cut-off transfer must never
      // pass for a complete one.
      return WSAECONNRESET;
    default:
      return WSAECONNABORTED;
  }
}

bool RWinSocket::TlsFlushWaits(RSockCalls& c, bool* failed) {
  switch (tls_->Flush()) {
    case RTlsResult::Done:
      return false;
    case RTlsResult::WantWrite:
      layer_->loop_.Reenable(handle_, FD_WRITE);
      return true;
    default:
      c.err = WSAECONNABORTED;
      *failed = true;
      return false;
  }
}

int64_t RWinSocket::TlsRecvOnce(RSockCalls& c, void* p, int64_t n) {
  RTlsResult r = RTlsResult::Done;
  const int64_t got = tls_->Read(p, n, &r);
  if (got > 0) return got;
  if (r == RTlsResult::Closed) return 0;
  if (r == RTlsResult::WantWrite) {
    tlsReadWantsWrite_ = true;
    layer_->loop_.Reenable(handle_, FD_WRITE);
    c.err = WSAEWOULDBLOCK;
    return -1;
  }
  if (r == RTlsResult::WantRead) {
    c.err = WSAEWOULDBLOCK;
    return -1;
  }
  c.err = TlsErrorCode(r);
  return -1;
}

int64_t RWinSocket::TlsSendOnce(RSockCalls& c, int64_t n) {
  RTlsResult r = RTlsResult::Done;
  int64_t sent = 0;
  if (fileFd_ >= 0 && tls_->KernelSend()) {
    sent = tls_->SendFile(fileFd_, fileOffset_, n, &r);
    if (sent > 0) fileOffset_ += sent;
  } else if (fileFd_ >= 0) {
    if (tlsFileLen_ == tlsFilePos_) {
      if (!tlsFileBuf_) tlsFileBuf_ = std::make_unique<char[]>(kTlsFileChunk);
      const int64_t want = std::min(n, kTlsFileChunk);
      ssize_t got;
      do {
        got = ::pread(fileFd_, tlsFileBuf_.get(), static_cast<size_t>(want), fileOffset_);
      } while (got < 0 && errno == EINTR);
      if (got <= 0) {
        // The file ended before the promised length: never report it as sent.
        c.err = ErrnoToWinSock(got == 0 ? EIO : errno);
        return -1;
      }
      tlsFileLen_ = got;
      tlsFilePos_ = 0;
    }
    sent = tls_->Write(tlsFileBuf_.get() + tlsFilePos_, tlsFileLen_ - tlsFilePos_, &r);
    if (sent > 0) {
      tlsFilePos_ += sent;
      fileOffset_ += sent;
    }
  } else {
    // A write that had to wait is repeated with at least the same length,
    // as OpenSSL requires, even when a speed budget shrank meanwhile.
    const int64_t len = std::min(std::max(n, tlsRetryLen_), sendLeft_);
    sent = tls_->Write(sendPtr_, len, &r);
    tlsRetryLen_ = sent > 0 ? 0 : len;
  }
  if (sent > 0) return sent;
  c.err = TlsErrorCode(r);
  return -1;
}

}  // namespace vantor
