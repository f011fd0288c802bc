// RWinSocket: the TLS side of a stream socket (handshake, protected reads
// and writes, the user-space download path).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/RSockCalls.h"
#include "net/RWinSocket.h"

namespace vantor {
namespace {

// A download without kernel TLS reads this much of the file at a time and
// encrypts it in 16 KiB records: large enough that a record never waits
// for the next read, small enough to stay in the cache.
constexpr int64_t kTlsFileChunk = 256 * 1024;
constexpr int32_t kDefaultHandshakeSeconds = 60;

}  // namespace

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
