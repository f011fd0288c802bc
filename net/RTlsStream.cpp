#include "net/RTlsStream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vantor {
namespace {

// The BIO that hands OpenSSL's bytes to an RTlsTransport.
int TransportWrite(BIO* bio, const char* data, size_t length, size_t* written) {
  auto* t = static_cast<RTlsTransport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  bool wouldBlock = false;
  const int64_t n = t->Write(data, static_cast<int64_t>(length), &wouldBlock);
  if (n > 0) {
    *written = static_cast<size_t>(n);
    return 1;
  }
  if (wouldBlock) BIO_set_retry_write(bio);
  return 0;
}

int TransportRead(BIO* bio, char* data, size_t length, size_t* read) {
  auto* t = static_cast<RTlsTransport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  bool wouldBlock = false;
  const int64_t n = t->Read(data, static_cast<int64_t>(length), &wouldBlock);
  if (n > 0) {
    *read = static_cast<size_t>(n);
    return 1;
  }
  if (wouldBlock) BIO_set_retry_read(bio);
  // A clean end of the stream is seen as BIO_eof by OpenSSL's record layer.
  if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  return 0;
}

long TransportCtrl(BIO* bio, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* TransportMethod() {
  // Built once for the process and never freed: OpenSSL keeps a pointer to
  // it in every BIO made from it.
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vantor transport");
    BIO_meth_set_write_ex(m, TransportWrite);
    BIO_meth_set_read_ex(m, TransportRead);
    BIO_meth_set_ctrl(m, TransportCtrl);
    BIO_meth_set_create(m, TransportCreate);
    return m;
  }();
  return method;
}

// Data connections gather records before they reach the socket: one
// write per ~256 KiB instead of one per 16 KiB record, which was three
// quarters of a download's system time. The filter sits on top of the
// socket (or transport) BIO and passes everything but plain writes down, so
// OpenSSL still finds the descriptor and kernel TLS where the kernel has it.
constexpr size_t kCoalesceBytes = 256 * 1024;

}  // namespace

struct RTlsOutBuffer {
  bool on = false;
  std::unique_ptr<char[]> bytes;
  size_t off = 0;
  size_t len = 0;
};

namespace {

// One write of the gathered bytes: > 0 moved, 0 the next BIO is full, -1 it
// failed (errno and OpenSSL's queue say why).
int SendGathered(BIO* bio, RTlsOutBuffer* out) {
  BIO* next = BIO_next(bio);
  size_t n = 0;
  if (BIO_write_ex(next, out->bytes.get() + out->off, out->len, &n) != 1 || n == 0) {
    return BIO_should_retry(next) ? 0 : -1;
  }
  out->off += n;
  out->len -= n;
  if (out->len == 0) out->off = 0;
  return 1;
}

int CoalesceWrite(BIO* bio, const char* data, size_t length, size_t* written) {
  auto* out = static_cast<RTlsOutBuffer*>(BIO_get_data(bio));
  BIO* next = BIO_next(bio);
  BIO_clear_retry_flags(bio);
  // Under kernel TLS every record must reach the socket as its own write.
  const bool gather = out->on && BIO_get_ktls_send(next) == 0 && length < kCoalesceBytes;
  if (out->len > 0 && (!gather || out->off + out->len + length > kCoalesceBytes)) {
    // Full: one write of what is gathered. A short one means the socket is
    // full too, and asking again would only hear EAGAIN.
    const int r = SendGathered(bio, out);
    if (r < 0) return 0;
    if (out->len > 0 && out->off > 0) {
      std::memmove(out->bytes.get(), out->bytes.get() + out->off, out->len);
      out->off = 0;
    }
    if (out->len > 0 && (!gather || out->len + length > kCoalesceBytes)) {
      BIO_set_retry_write(bio);
      return 0;
    }
  }
  if (gather) {
    if (!out->bytes) out->bytes = std::make_unique<char[]>(kCoalesceBytes);
    std::memcpy(out->bytes.get() + out->off + out->len, data, length);
    out->len += length;
    *written = length;
    return 1;
  }
  const int r = BIO_write_ex(next, data, length, written);
  BIO_copy_next_retry(bio);
  return r;
}

int CoalesceRead(BIO* bio, char* data, size_t length, size_t* read) {
  BIO* next = BIO_next(bio);
  BIO_clear_retry_flags(bio);
  const int r = BIO_read_ex(next, data, length, read);
  BIO_copy_next_retry(bio);
  return r;
}

long CoalesceCtrl(BIO* bio, int cmd, long num, void* ptr) {
  auto* out = static_cast<RTlsOutBuffer*>(BIO_get_data(bio));
  BIO* next = BIO_next(bio);
  if (next == nullptr) return 0;
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      BIO_clear_retry_flags(bio);
      while (out->len > 0) {
        const int r = SendGathered(bio, out);
        if (r < 0) return 0;
        if (r == 0) {
          BIO_copy_next_retry(bio);
          return 0;
        }
      }
      return BIO_ctrl(next, cmd, num, ptr);
    case BIO_CTRL_WPENDING:
      return static_cast<long>(out->len) + BIO_ctrl(next, cmd, num, ptr);
    default:
      return BIO_ctrl(next, cmd, num, ptr);
  }
}

BIO_METHOD* CoalesceMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, "vantor coalesce");
    BIO_meth_set_write_ex(m, CoalesceWrite);
    BIO_meth_set_read_ex(m, CoalesceRead);
    BIO_meth_set_ctrl(m, CoalesceCtrl);
    BIO_meth_set_create(m, TransportCreate);
    return m;
  }();
  return method;
}

}  // namespace

bool RTlsStream::Attach(BIO* base) {
  BIO* filter = BIO_new(CoalesceMethod());
  if (ssl_ == nullptr || base == nullptr || filter == nullptr) {
    BIO_free(filter);
    BIO_free(base);
    SSL_free(ssl_);
    ssl_ = nullptr;
    return false;
  }
  out_ = std::make_unique<RTlsOutBuffer>();
  BIO_set_data(filter, out_.get());
  BIO_push(filter, base);
  SSL_set_bio(ssl_, filter, filter);
  SSL_set_app_data(ssl_, &lineage_);
  SSL_set_accept_state(ssl_);
  return true;
}

RTlsStream::RTlsStream(std::shared_ptr<RTlsContext> context, int fd)
    : context_(std::move(context)) {
  if (!context_) return;
  ssl_ = SSL_new(context_->Native());
  // BIO_new_socket also readies the socket for kernel TLS, as SSL_set_fd would.
  (void)Attach(ssl_ != nullptr ? BIO_new_socket(fd, BIO_NOCLOSE) : nullptr);
}

RTlsStream::RTlsStream(std::shared_ptr<RTlsContext> context, RTlsTransport& transport)
    : context_(std::move(context)) {
  if (!context_) return;
  ssl_ = SSL_new(context_->Native());
  BIO* bio = BIO_new(TransportMethod());
  if (bio != nullptr) BIO_set_data(bio, &transport);
  (void)Attach(bio);
}

RTlsStream::~RTlsStream() {
  SSL_free(ssl_);
}

void RTlsStream::SetSessionId(std::string_view id) {
  if (ssl_ == nullptr) return;
  const size_t n = std::min<size_t>(id.size(), SSL_MAX_SID_CTX_LENGTH);
  (void)SSL_set_session_id_context(ssl_, reinterpret_cast<const unsigned char*>(id.data()),
                                   static_cast<unsigned>(n));
}

void RTlsStream::SetLineage(std::string_view token) {
  lineage_ = token;
}

std::string RTlsStream::Lineage() const {
  SSL_SESSION* session = ssl_ != nullptr ? SSL_get_session(ssl_) : nullptr;
  void* data = nullptr;
  size_t length = 0;
  if (session == nullptr || SSL_SESSION_get0_ticket_appdata(session, &data, &length) != 1 ||
      data == nullptr) {
    return {};
  }
  return std::string(static_cast<const char*>(data), length);
}

void RTlsStream::NoTickets() {
  if (ssl_ != nullptr) (void)SSL_set_num_tickets(ssl_, 0);
}

bool RTlsStream::IssueTicket() {
  return ssl_ != nullptr && established_ && SSL_version(ssl_) >= TLS1_3_VERSION &&
         SSL_new_session_ticket(ssl_) == 1;
}

void RTlsStream::BulkMode() {
  if (ssl_ == nullptr || established_) return;
  out_->on = true;
  // Uploads: one read takes many records at once (they wait in OpenSSL's
  // buffer, which HasPending reports) instead of a header and a body read
  // per record.
  SSL_set_default_read_buffer_len(ssl_, kCoalesceBytes);
  SSL_set_read_ahead(ssl_, 1);
}

RTlsResult RTlsStream::Flush() {
  if (ssl_ == nullptr) return RTlsResult::Failed;
  if (out_->len == 0) return RTlsResult::Done;
  ERR_clear_error();
  errno = 0;
  BIO* bio = SSL_get_wbio(ssl_);
  if (BIO_flush(bio) > 0) return RTlsResult::Done;
  if (BIO_should_retry(bio)) return RTlsResult::WantWrite;
  reason_ = errno != 0 ? std::strerror(errno) : TlsErrorText();
  if (reason_.empty()) reason_ = "TLS error";
  ERR_clear_error();
  return RTlsResult::Failed;
}

bool RTlsStream::Unsent() const {
  return out_ != nullptr && out_->len > 0;
}

RTlsResult RTlsStream::Classify(int ret) {
  const int e = SSL_get_error(ssl_, ret);
  switch (e) {
    case SSL_ERROR_WANT_READ:
      ERR_clear_error();
      return RTlsResult::WantRead;
    case SSL_ERROR_WANT_WRITE:
      ERR_clear_error();
      return RTlsResult::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      ERR_clear_error();
      return RTlsResult::Closed;
    default:
      break;
  }
  const unsigned long first = ERR_peek_error();
  if (e == SSL_ERROR_SSL && ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    reason_ = "unexpected end of stream";
    ERR_clear_error();
    return RTlsResult::Truncated;
  }
  if (e == SSL_ERROR_SYSCALL && first == 0) {
    reason_ = errno != 0 ? std::strerror(errno) : "unexpected end of stream";
    ERR_clear_error();
    return RTlsResult::Failed;
  }
  reason_ = TlsErrorText();
  if (reason_.empty()) reason_ = "TLS error";
  return RTlsResult::Failed;
}

RTlsResult RTlsStream::Handshake() {
  if (ssl_ == nullptr) return RTlsResult::Failed;
  if (established_) return RTlsResult::Done;
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    established_ = true;
    // A client without tickets resumes from the server's cache: the cached
    // session (this very object) needs the token too.
    if (!lineage_.empty() && !Resumed() && Lineage().empty()) {
      (void)SSL_SESSION_set1_ticket_appdata(SSL_get_session(ssl_), lineage_.data(),
                                            lineage_.size());
    }
    return RTlsResult::Done;
  }
  return Classify(r);
}

int64_t RTlsStream::Read(void* buffer, int64_t length, RTlsResult* result) {
  size_t n = 0;
  ERR_clear_error();
  const int r = SSL_read_ex(ssl_, buffer, static_cast<size_t>(std::max<int64_t>(length, 0)), &n);
  if (r == 1) {
    *result = RTlsResult::Done;
    return static_cast<int64_t>(n);
  }
  *result = Classify(r);
  if (*result == RTlsResult::Closed) peerClosed_ = true;
  return 0;
}

int64_t RTlsStream::Write(const void* buffer, int64_t length, RTlsResult* result) {
  size_t n = 0;
  ERR_clear_error();
  const int r = SSL_write_ex(ssl_, buffer, static_cast<size_t>(std::max<int64_t>(length, 0)), &n);
  if (r == 1) {
    writeWaits_ = false;
    *result = RTlsResult::Done;
    return static_cast<int64_t>(n);
  }
  *result = Classify(r);
  writeWaits_ = *result == RTlsResult::WantWrite;
  return 0;
}

bool RTlsStream::KernelSend() const {
  return ssl_ != nullptr && BIO_get_ktls_send(SSL_get_wbio(ssl_)) != 0;
}

int64_t RTlsStream::SendFile(int fileFd, int64_t offset, int64_t length, RTlsResult* result) {
  // The file's bytes must follow whatever records are still gathered.
  if (*result = Flush(); *result != RTlsResult::Done) return 0;
  ERR_clear_error();
  const ossl_ssize_t r = SSL_sendfile(ssl_, fileFd, offset, static_cast<size_t>(length), 0);
  if (r > 0) {
    *result = RTlsResult::Done;
    return r;
  }
  *result = Classify(static_cast<int>(r));
  return 0;
}

bool RTlsStream::HasPending() const {
  return ssl_ != nullptr && SSL_has_pending(ssl_) != 0;
}

RTlsResult RTlsStream::Shutdown() {
  if (ssl_ == nullptr || !established_ || closeNotified_) return RTlsResult::Done;
  ERR_clear_error();
  if (!alertQueued_ && writeWaits_) {
    // OpenSSL holds a record half-written for a write nobody repeats now
    // (the send was cut): the alert cannot follow a whole record, and
    // OpenSSL would refuse it as a bad retry for ever while reporting that
    // it wants to write. The stream ends without it: a cut transfer must
    // not look complete anyway.
    closeNotified_ = true;
    reason_ = "close_notify after a cut record";
    return RTlsResult::Failed;
  }
  if (!alertQueued_) {
    // The alert is written (into the gathered records, on a data
    // connection), or it waits for room and is sent again by the next call.
    const int r = SSL_shutdown(ssl_);
    // A retry that still cannot write may return 0 all the same: whether
    // the alert is out shows in the write state, not in the return value.
    if (SSL_want_write(ssl_)) {
      ERR_clear_error();
      return RTlsResult::WantWrite;
    }
    if (r < 0) {
      const RTlsResult why = Classify(r);
      if (why == RTlsResult::WantWrite) return why;
      if (why != RTlsResult::WantRead) {
        closeNotified_ = true;
        return RTlsResult::Failed;
      }
    }
    alertQueued_ = true;
  }
  // A full socket used to drop the alert here, and the FIN that followed
  // made the client report a truncated download.
  const RTlsResult flushed = Flush();
  if (flushed != RTlsResult::WantWrite) closeNotified_ = true;
  ERR_clear_error();
  return flushed;
}

bool RTlsStream::Resumed() const {
  return ssl_ != nullptr && SSL_session_reused(ssl_) != 0;
}

std::string RTlsStream::Protocol() const {
  return ssl_ != nullptr ? SSL_get_version(ssl_) : "";
}

std::string RTlsStream::Cipher() const {
  return ssl_ != nullptr ? SSL_get_cipher_name(ssl_) : "";
}

}  // namespace vantor
