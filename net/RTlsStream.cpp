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

}  // namespace

RTlsStream::RTlsStream(std::shared_ptr<RTlsContext> context, int fd)
    : context_(std::move(context)) {
  if (!context_) return;
  ssl_ = SSL_new(context_->Native());
  if (ssl_ == nullptr) return;
  if (SSL_set_fd(ssl_, fd) != 1) {
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  SSL_set_accept_state(ssl_);
}

RTlsStream::RTlsStream(std::shared_ptr<RTlsContext> context, RTlsTransport& transport)
    : context_(std::move(context)) {
  if (!context_) return;
  ssl_ = SSL_new(context_->Native());
  BIO* bio = BIO_new(TransportMethod());
  if (ssl_ == nullptr || bio == nullptr) {
    BIO_free(bio);
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  BIO_set_data(bio, &transport);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_accept_state(ssl_);
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

void RTlsStream::NoTickets() {
  if (ssl_ != nullptr) (void)SSL_set_num_tickets(ssl_, 0);
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
    *result = RTlsResult::Done;
    return static_cast<int64_t>(n);
  }
  *result = Classify(r);
  return 0;
}

bool RTlsStream::KernelSend() const {
  return ssl_ != nullptr && BIO_get_ktls_send(SSL_get_wbio(ssl_)) != 0;
}

int64_t RTlsStream::SendFile(int fileFd, int64_t offset, int64_t length, RTlsResult* result) {
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

void RTlsStream::Shutdown() {
  if (ssl_ == nullptr || !established_ || shutdownSent_) return;
  shutdownSent_ = true;
  ERR_clear_error();
  (void)SSL_shutdown(ssl_);
  ERR_clear_error();
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
