#include "net/RTlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>

#include "platform/RFile.h"

namespace vantor {

std::string TlsErrorText() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return {};
  const char* reason = ERR_reason_error_string(e);
  if (reason != nullptr) return reason;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

namespace {

// Every ticket names the lineage of its session: the token of the
// connection that first established it (RTlsStream::SetLineage, reached
// through the connection's app data), kept when a resumed session issues
// tickets of its own.
int TicketLineage(SSL* ssl, void*) {
  SSL_SESSION* session = SSL_get_session(ssl);
  if (session == nullptr) return 1;
  void* data = nullptr;
  size_t length = 0;
  if (SSL_SESSION_get0_ticket_appdata(session, &data, &length) == 1 && data != nullptr) return 1;
  const auto* lineage = static_cast<const std::string*>(SSL_get_app_data(ssl));
  if (lineage == nullptr || lineage->empty()) return 1;
  return SSL_SESSION_set1_ticket_appdata(session, lineage->data(), lineage->size());
}

// A certificate chain or key is a few kilobytes; anything far larger is a
// mistake, and parsing it would hold the caller for seconds.
constexpr size_t kMaxPemBytes = 1 << 20;

// The file's bytes, read the way message files are: a regular file only
// (the open never waits on a FIFO or a device), bounded in size. "" and
// `*why` set when it cannot be used.
bool ReadPem(const std::string& path, std::string* out, std::string* why) {
  switch (ReadFileBounded(path, kMaxPemBytes, out)) {
    case RBoundedRead::Ok:
      return true;
    case RBoundedRead::Missing:
      *why = path + ": no such file";
      return false;
    case RBoundedRead::TooLarge:
      *why = path + ": larger than 1 MiB";
      return false;
    case RBoundedRead::NotRegular:
      *why = path + ": not a regular file";
      return false;
    case RBoundedRead::Failed:
      break;
  }
  *why = path + ": cannot be read";
  return false;
}

// An encrypted key has no one to type its pass phrase: refuse at once
// instead of OpenSSL's prompt on the terminal.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

using RBio = std::unique_ptr<BIO, decltype(&BIO_free)>;

RBio MemoryBio(const std::string& bytes) {
  return RBio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
}

// The leaf certificate, then any chain certificates after it.
bool UseCertificateChain(SSL_CTX* ctx, const std::string& pem) {
  RBio bio = MemoryBio(pem);
  if (!bio) return false;
  X509* leaf = PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassphrase, nullptr);
  if (leaf == nullptr) return false;
  const bool used = SSL_CTX_use_certificate(ctx, leaf) == 1;
  X509_free(leaf);
  if (!used || SSL_CTX_clear_chain_certs(ctx) != 1) return false;
  while (X509* ca = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)) {
    if (SSL_CTX_add0_chain_cert(ctx, ca) != 1) {
      X509_free(ca);
      return false;
    }
  }
  // The loop ends at the end of the text, which OpenSSL queues as an error.
  const unsigned long last = ERR_peek_last_error();
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
    ERR_clear_error();
    return true;
  }
  return last == 0;
}

bool UsePrivateKey(SSL_CTX* ctx, const std::string& pem) {
  RBio bio = MemoryBio(pem);
  if (!bio) return false;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr);
  if (key == nullptr) return false;
  const bool used = SSL_CTX_use_PrivateKey(ctx, key) == 1;
  EVP_PKEY_free(key);
  return used;
}

}  // namespace

std::shared_ptr<RTlsContext> RTlsContext::Create(const RTlsSettingsStr& settings,
                                                 std::string* error) {
  auto fail = [&](std::string why) -> std::shared_ptr<RTlsContext> {
    if (error != nullptr) *error = std::move(why);
    return nullptr;
  };
  ERR_clear_error();
  if (settings.certificateFile.empty() || settings.privateKeyFile.empty()) {
    return fail("no certificate or key file configured");
  }
  std::string certificate, key, why;
  if (!ReadPem(settings.certificateFile, &certificate, &why) ||
      !ReadPem(settings.privateKeyFile, &key, &why)) {
    return fail(why);
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return fail(TlsErrorText());
  std::shared_ptr<RTlsContext> out(new RTlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, settings.tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION);
  // Renegotiation is a denial-of-service lever and nothing in FTP needs it;
  // SSL_OP_ENABLE_KTLS lets downloads use SSL_sendfile where the kernel can.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_NO_COMPRESSION | SSL_OP_ENABLE_KTLS);
  // Writes of a whole block return after each record that went out, and a
  // retried write may come from a moved buffer (the line buffer is reused).
  // Record buffers stay with their connection: releasing them when idle
  // saved about 9 KiB per idle session but frees and re-allocates the write
  // buffer for every record, and downloads were slower with it in both runs
  // (bench/README.md, "memory of idle TLS sessions").
#ifdef VANTOR_TLS_RELEASE_BUFFERS
  constexpr long kReleaseBuffers = SSL_MODE_RELEASE_BUFFERS;
#else
  constexpr long kReleaseBuffers = 0;
#endif
  SSL_CTX_set_mode(
      ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | kReleaseBuffers);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx, 4096);
  SSL_CTX_set_session_ticket_cb(ctx, TicketLineage, nullptr, nullptr);
  if (!settings.cipherList.empty() &&
      SSL_CTX_set_cipher_list(ctx, settings.cipherList.c_str()) != 1) {
    return fail("TLSCipherList: " + TlsErrorText());
  }
  if (!settings.cipherSuites.empty() &&
      SSL_CTX_set_ciphersuites(ctx, settings.cipherSuites.c_str()) != 1) {
    return fail("TLSCipherSuites: " + TlsErrorText());
  }
  if (!UseCertificateChain(ctx, certificate)) {
    return fail(settings.certificateFile + ": " + TlsErrorText());
  }
  if (!UsePrivateKey(ctx, key)) {
    return fail(settings.privateKeyFile + ": " + TlsErrorText());
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return fail(settings.privateKeyFile + ": " + TlsErrorText());
  }
  if (X509* leaf = SSL_CTX_get0_certificate(ctx)) {
    int days = 0, secs = 0;
    if (ASN1_TIME_diff(&days, &secs, nullptr, X509_get0_notAfter(leaf)) == 1) {
      out->secondsToExpiry_ = static_cast<int64_t>(days) * 86400 + secs;
    }
  }
  ERR_clear_error();
  return out;
}

RTlsContext::~RTlsContext() {
  SSL_CTX_free(ctx_);
}

}  // namespace vantor
