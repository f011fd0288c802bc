// Test helper: a self-signed certificate and its key as PEM files, made with
// OpenSSL so no test needs the command-line tool.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>

namespace vantor::test {

// A self-signed certificate and its key, written as PEM files; `days`
// negative makes one that has already expired.
inline void MakeCertificate(const std::string& cert, const std::string& key, long days,
                            const char* name = "vantor-test") {
  EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), days < 0 ? days * 2 * 86400 : 0);
  X509_gmtime_adj(X509_getm_notAfter(x), days * 86400);
  X509_set_pubkey(x, pkey);
  X509_NAME* n = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name),
                             -1, -1, 0);
  X509_set_issuer_name(x, n);
  X509_sign(x, pkey, EVP_sha256());
  FILE* f = std::fopen(cert.c_str(), "w");
  PEM_write_X509(f, x);
  std::fclose(f);
  f = std::fopen(key.c_str(), "w");
  PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(x);
  EVP_PKEY_free(pkey);
}

}  // namespace vantor::test
