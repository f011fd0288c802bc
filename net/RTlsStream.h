// RTlsStream: the server end of one TLS connection, driven without ever
// blocking.
//
// Contract
// - Bytes travel either through a connected non-blocking socket (the
//   descriptor form, which also lets OpenSSL use kernel TLS) or through an
//   `RTlsTransport` (tests drive the state machine with a fake one).
// - Every call returns at once. `RTlsResult::WantRead` / `WantWrite` say
//   which readiness to wait for before the same call is made again; a
//   write that wanted either must be repeated with the same bytes.
// - `Closed` is the peer's close_notify; `Truncated` the end of the stream
//   without one; `Failed` anything else (the reason in `FailureReason`,
//   taken from OpenSSL's own texts, never from the peer's bytes).
// - Thread: the event-loop thread of the owning socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/RTlsContext.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace vantor {

struct RTlsOutBuffer;

class RTlsTransport {
 public:
  virtual ~RTlsTransport() = default;
  // Bytes moved (> 0), 0 at the end of the stream, -1 otherwise with
  // `*wouldBlock` true when nothing can move now.
  virtual int64_t Read(void* buffer, int64_t length, bool* wouldBlock) = 0;
  virtual int64_t Write(const void* buffer, int64_t length, bool* wouldBlock) = 0;
};

enum class RTlsResult { Done, WantRead, WantWrite, Closed, Truncated, Failed };

class RTlsStream {
 public:
  // Over the socket `fd` (the caller keeps owning the descriptor).
  RTlsStream(std::shared_ptr<RTlsContext> context, int fd);
  // Over `transport`, which must outlive the stream.
  RTlsStream(std::shared_ptr<RTlsContext> context, RTlsTransport& transport);
  ~RTlsStream();
  RTlsStream(const RTlsStream&) = delete;
  RTlsStream& operator=(const RTlsStream&) = delete;

  // False when OpenSSL could not set the connection up (no memory).
  bool Valid() const { return ssl_ != nullptr; }
  // Sessions resume only between connections of the same id.
  void SetSessionId(std::string_view id);
  // What a session first established here carries in its tickets (and in
  // the server's cache), and what every session resumed from it inherits:
  // `Lineage` tells a data connection that resumed its control
  // connection's session from one that resumed another client's.
  void SetLineage(std::string_view token);
  // The established session's token ("" when it carries none).
  std::string Lineage() const;
  // Data connections issue no tickets of their own.
  void NoTickets();
  // One more ticket, sent before the next record written (TLS 1.3 only).
  bool IssueTicket();
  // Bulk transfers (data connections; before the handshake): written
  // records are gathered up to 256 KiB and leave in one socket write, and
  // reads take many records at once. A `Write` may then report bytes that
  // are not yet on the wire: `Flush` sends them.
  void BulkMode();
  // Sends what `Write` gathered: Done when nothing is left, WantWrite when
  // the socket is full (call again on FD_WRITE), Failed.
  RTlsResult Flush();
  bool Unsent() const;

  RTlsResult Handshake();
  bool Established() const { return established_; }
  // Bytes read (> 0) or 0 with `*result` set.
  int64_t Read(void* buffer, int64_t length, RTlsResult* result);
  // Bytes written (> 0, whole records) or 0 with `*result` set.
  int64_t Write(const void* buffer, int64_t length, RTlsResult* result);
  // The file range through the kernel's TLS (only when `KernelSend()`).
  int64_t SendFile(int fileFd, int64_t offset, int64_t length, RTlsResult* result);
  bool KernelSend() const;
  // Decrypted or undecrypted bytes that are already out of the socket.
  bool HasPending() const;
  // Sends close_notify (once), without waiting for the peer's: Done when
  // the alert and every record before it are with the kernel, WantWrite
  // when the socket is full (call again on FD_WRITE), Failed.
  RTlsResult Shutdown();

  // The peer's close_notify arrived: both ends agree the stream is complete.
  bool PeerClosed() const { return peerClosed_; }
  bool Resumed() const;
  std::string Protocol() const;
  std::string Cipher() const;
  const std::string& FailureReason() const { return reason_; }

 private:
  RTlsResult Classify(int ret);
  bool Attach(BIO* base);

  std::shared_ptr<RTlsContext> context_;
  std::unique_ptr<RTlsOutBuffer> out_;  // before ssl_: its BIO points here
  SSL* ssl_ = nullptr;
  bool established_ = false;
  bool alertQueued_ = false;    // OpenSSL took close_notify
  bool closeNotified_ = false;  // ... and it left for the socket
  bool peerClosed_ = false;
  bool writeWaits_ = false;  // the last write wanted readiness: a record is half out
  std::string reason_;
  std::string lineage_;  // read by the context's ticket callback
};

}  // namespace vantor
