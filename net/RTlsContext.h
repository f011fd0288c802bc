// RTlsContext: one server-side TLS configuration (certificate chain, key,
// protocol floor, cipher choices) built on OpenSSL.
//
// Contract
// - `Create` reads the files at once (regular files of at most 1 MiB only:
//   a FIFO or device is refused without being waited for) and returns
//   nullptr with a reason when the certificate or key cannot be read or do
//   not belong together; the caller logs the reason.
// - A context is shared: sessions keep a std::shared_ptr to the one they
//   started with, so a reload that builds a new context never frees what a
//   live connection (or its next data connection) still uses.
// - Thread: built on any thread, used on the event-loop thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace vantor {

struct RTlsSettingsStr {
  std::string certificateFile;  // PEM, the chain may follow the certificate
  std::string privateKeyFile;   // PEM
  bool tls13Only = false;       // TLSMinProtocol=TLSv1.3
  std::string cipherList;       // TLS 1.2 and below, OpenSSL syntax; "" = OpenSSL's default
  std::string cipherSuites;     // TLS 1.3; "" = OpenSSL's default
};

class RTlsContext {
 public:
  // nullptr and `*error` set when the context cannot be used.
  static std::shared_ptr<RTlsContext> Create(const RTlsSettingsStr& settings, std::string* error);
  ~RTlsContext();
  RTlsContext(const RTlsContext&) = delete;
  RTlsContext& operator=(const RTlsContext&) = delete;

  SSL_CTX* Native() const { return ctx_; }
  // Seconds from now until the leaf certificate expires (negative: expired).
  int64_t SecondsToExpiry() const { return secondsToExpiry_; }

 private:
  explicit RTlsContext(SSL_CTX* ctx) : ctx_(ctx) {}
  SSL_CTX* ctx_ = nullptr;
  int64_t secondsToExpiry_ = 0;
};

// The text of OpenSSL's oldest queued error ("" when none); the queue is
// emptied. Never contains peer bytes: OpenSSL's reason strings only.
std::string TlsErrorText();

}  // namespace vantor
