// RWinSocket: the TLS side of a stream socket (handshake, protected reads
// and writes, the user-space download path).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "net/RLaneFds.h"
#include "net/RSockCalls.h"
#include "net/RWinSocket.h"
#include "platform/RFd.h"
#include "platform/RFileIO.h"
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

  bool memory = false;  // a memory block: `buf` holds the loop's copy

  // An upload step: `want` bytes at most into `in` or, with `fds`, through
  // `in` into the file.
  bool receive = false;
  std::unique_ptr<char[]> in;
  int64_t inLen = 0;
  int64_t got = 0;
  std::shared_ptr<RFileRecvFds> fds;
  int64_t wrote = 0;        // of `got`, bytes the file took
  int64_t fileErr = 0;      // -errno of a failed file write
  bool closed = false;      // the peer's close_notify
  bool wouldBlock = false;  // the socket had no more
  bool wantsWrite = false;  // the read waits for room to write
  bool pending = false;     // decrypted or buffered bytes left in OpenSSL

  RFd orphanHandle;
  std::unique_ptr<RTlsStream> orphanTls;  // freed before the handle closes

  // The socket under `tls` (open until the step is back) and the lane, for
  // the short wait on a peer that keeps up.
  int sock = -1;
  const RWorkPool* lane = nullptr;
  bool WaitReady(short events) const {
    return lane != nullptr && !lane->DataStepsWaiting() &&
           ReadyWithin(sock, events, kLaneReadyWaitMs);
  }
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
        if (s.memory) break;  // the loop's copy is sent
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
      if (s.WaitReady(POLLOUT)) continue;  // the same bytes again, as OpenSSL requires
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
  // A file block fills the buffer, writes it, and reads on; the bytes of a
  // memory block stay in it for the loop.
  int64_t filled = 0;
  auto writeOut = [&s, &filled]() {
    if (!s.fds || filled == 0) return true;
    const int64_t w = FdWriteAll(s.fds->file.Get(), s.in.get(), static_cast<size_t>(filled));
    if (w != filled) {
      s.fileErr = w < 0 ? w : -EIO;
      return false;
    }
    s.wrote += filled;
    filled = 0;
    return true;
  };
  while (left > 0 && !cancel.Cancelled() && !s.stop.load(std::memory_order_relaxed)) {
    RTlsResult r = RTlsResult::Done;
    char* to = s.fds ? s.in.get() + filled : s.in.get() + s.got;
    const int64_t room = s.fds ? std::min(left, s.inLen - filled) : left;
    const int64_t n = s.tls->Read(to, room, &r);
    if (n > 0) {
      s.got += n;
      left -= n;
      filled += s.fds ? n : 0;
      if (s.fds && filled == s.inLen && !writeOut()) break;
      continue;
    }
    if (r == RTlsResult::Closed) {
      s.closed = true;
    } else if (r == RTlsResult::WantRead) {
      // No wait here, unlike the send: a reader woken by the first bytes
      // of a record reads it in pieces (tried: a third more CPU per GiB).
      s.wouldBlock = true;
    } else if (r == RTlsResult::WantWrite) {
      s.wantsWrite = true;
    } else {
      // The reset is told apart: the loop may no longer see it on the socket.
      s.err = r == RTlsResult::Failed && errno == ECONNRESET ? WSAECONNRESET : StepError(r);
    }
    break;
  }
  // Whatever the end, decrypted bytes reach the file (or its failure).
  if (s.fileErr == 0) (void)writeOut();
  s.pending = s.tls->HasPending();
}

}  // namespace

void RWinSocket::ReserveBudgets(int64_t& slot, int64_t n) {
  slot = n;
  if (layer_->globalLimitOn_) layer_->globalBudget_ -= n;
  if (localLimitOn_) localBudget_ -= n;
}

void RWinSocket::ReturnBudgets(int64_t& slot) {
  if (slot <= 0) return;
  if (layer_->globalLimitOn_) {
    layer_->globalBudget_ = std::min(layer_->globalBudget_ + slot, layer_->globalLimit_);
  }
  if (localLimitOn_) localBudget_ = std::min(localBudget_ + slot, localLimit_);
  slot = 0;
}

bool RWinSocket::OffloadTlsReceive(int64_t want, bool paced) {
  auto step = std::make_shared<RTlsStepStr>();
  step->receive = true;
  step->tls = tls_.get();
  // A file block: the step writes what it decrypts to the file itself,
  // through the copy made once for the socket, a buffer at a time.
  const bool toFile = recFile_ >= 0;
  if (toFile) {
    if (!FileCopies(false)) return false;
    step->fds = recvFds_;
    want = std::min(want, kTlsStepBytes);
  }
  step->want = want;
  const int64_t room = toFile ? std::min(want, kTlsFileChunk) : want;
  if (!tlsRecvBuf_ || tlsRecvBufLen_ < room) {
    tlsRecvBuf_ = std::make_unique<char[]>(static_cast<size_t>(room));
    tlsRecvBufLen_ = room;
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
  if (paced) ReserveBudgets(recvReserved_, want);
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
  ReturnBudgets(recvReserved_);
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
  // A file block is on disk already; a memory block is copied in here.
  if (step.got > 0 && !step.fds) std::memcpy(writePtr_, bytes, static_cast<size_t>(step.got));
  StepReceived(step.got);
  const bool fileFailed = step.fileErr != 0;
  if (step.fds && fileResult_ != nullptr && *fileResult_ >= 0) {
    *fileResult_ = fileFailed ? step.fileErr : *fileResult_ + step.wrote;
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
    // records OpenSSL already holds are never announced by the socket; a
    // file step that stopped at its bound looks again.
    layer_->loop_.Reenable(handle_, FD_READ);
    const bool bound = step.fds && !step.wouldBlock && !fileFailed && freeSpace_ > 0;
    if ((!step.wouldBlock && step.pending) || bound) PostSelf(FD_READ);
  }
  // A file that refused its bytes ends the block at once, as a clear one.
  HandOverBlock(step.got, fileFailed, step.closed, failed);
  FinishReceiveStep(failed, step.err, step.closed);
  // Whoever waited for the step (the session's own events) goes on now.
  RunAfterStep();
}

bool RWinSocket::OffloadTlsSend(int64_t want, bool paced) {
  auto step = std::make_shared<RTlsStepStr>();
  step->tls = tls_.get();
  step->sock = handle_;
  step->lane = layer_->dataPool_;
  step->want = std::min(want, kTlsStepBytes);
  step->buf = std::move(tlsFileBuf_);
  step->len = tlsFileLen_;
  step->pos = tlsFilePos_;
  if (fileFd_ >= 0) {
    step->file = RFd(::fcntl(fileFd_, F_DUPFD_CLOEXEC, 0));
    if (!step->file) {
      tlsFileBuf_ = std::move(step->buf);
      return false;
    }
    step->offset = fileOffset_;
    step->kernel = tls_->KernelSend();
  } else {
    // A memory block (a listing): the caller's buffer may go with an abort
    // while the step runs, so the step encrypts a copy of the next part.
    // Bytes a write left waiting stay in the copy: they are repeated as
    // they were.
    step->memory = true;
    if (step->len == step->pos) {
      const int64_t n = std::min({step->want, sendLeft_, kTlsFileChunk});
      if (!step->buf) step->buf = std::make_unique<char[]>(kTlsFileChunk);
      std::memcpy(step->buf.get(), sendPtr_, static_cast<size_t>(n));
      step->len = n;
      step->pos = 0;
    }
    step->want = std::min(step->want, step->len - step->pos);
  }
  step->finish = paced || step->want == sendLeft_;
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
  if (paced) ReserveBudgets(sendReserved_, step->want);
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
  ReturnBudgets(sendReserved_);
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
  ReturnBudgets(sendReserved_);
  ReturnBudgets(recvReserved_);
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

void RWinSocket::RestartHandshakeClock(int32_t limitSeconds) {
  tlsLimit_ = limitSeconds > 0 ? limitSeconds : kDefaultHandshakeSeconds;
  tlsSeconds_ = 0;
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
  } else if (tlsFileLen_ > tlsFilePos_) {
    // A lane step's copy of a memory block still holds bytes a write left
    // waiting: they go first, as they were.
    sent = tls_->Write(tlsFileBuf_.get() + tlsFilePos_, tlsFileLen_ - tlsFilePos_, &r);
    if (sent > 0) tlsFilePos_ += sent;
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
