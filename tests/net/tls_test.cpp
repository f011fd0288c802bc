// The TLS state machine driven through a fake transport: records cut into
// single bytes, a transport that is full, close_notify, a stream cut in the
// middle of a record, garbage, renegotiation; and the context's refusals.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "net/RTlsContext.h"
#include "net/RTlsStream.h"
#include "temp_dir.h"
#include "tls_certificate.h"

namespace vantor {
namespace {

using test::MakeCertificate;

RTlsSettingsStr Files(const std::string& cert, const std::string& key) {
  RTlsSettingsStr s;
  s.certificateFile = cert;
  s.privateKeyFile = key;
  return s;
}

// The server's side of the wire: reads what the client wrote, at most
// `readStep` bytes a call; writes at most `room` bytes before it is full.
struct FakeTransport : RTlsTransport {
  std::string toServer, toClient;
  int64_t readStep = 1 << 20;
  int64_t room = 1 << 30;
  bool endAfterInput = false;  // the stream ends once toServer is empty
  bool resetAfterInput = false;
  int reads = 0, writes = 0;  // calls that moved bytes
  int64_t Read(void* p, int64_t n, bool* wouldBlock) override {
    if (toServer.empty()) {
      if (resetAfterInput) return -1;
      if (endAfterInput) return 0;
      *wouldBlock = true;
      return -1;
    }
    const int64_t k = std::min<int64_t>({n, readStep, static_cast<int64_t>(toServer.size())});
    std::memcpy(p, toServer.data(), static_cast<size_t>(k));
    toServer.erase(0, static_cast<size_t>(k));
    ++reads;
    return k;
  }
  int64_t Write(const void* p, int64_t n, bool* wouldBlock) override {
    const int64_t k = std::min(n, room - static_cast<int64_t>(toClient.size()));
    if (k <= 0) {
      *wouldBlock = true;
      return -1;
    }
    toClient.append(static_cast<const char*>(p), static_cast<size_t>(k));
    ++writes;
    return k;
  }
};

// An OpenSSL client over memory BIOs, pumped by hand through the transport.
struct Client {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = nullptr;
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  explicit Client(int maxVersion = 0) {
    if (maxVersion != 0) SSL_CTX_set_max_proto_version(ctx, maxVersion);
    ssl = SSL_new(ctx);
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
  }
  ~Client() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
  // Moves bytes both ways between the client and the transport.
  void Pump(FakeTransport& t) {
    char buf[65536];
    int n;
    while ((n = BIO_read(out, buf, sizeof buf)) > 0) t.toServer.append(buf, static_cast<size_t>(n));
    if (!t.toClient.empty()) {
      BIO_write(in, t.toClient.data(), static_cast<int>(t.toClient.size()));
      t.toClient.clear();
    }
  }
  std::string ReadAll() {
    std::string got;
    char buf[65536];
    size_t n = 0;
    while (SSL_read_ex(ssl, buf, sizeof buf, &n) == 1) got.append(buf, n);
    return got;
  }
};

class TlsStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeCertificate(dir.Path() + "/c.pem", dir.Path() + "/k.pem", 30);
    RTlsSettingsStr s = Files(dir.Path() + "/c.pem", dir.Path() + "/k.pem");
    std::string why;
    ctx = RTlsContext::Create(s, &why);
    ASSERT_TRUE(ctx) << why;
  }
  // Runs the handshake to its end; false when either side failed.
  bool Handshake(RTlsStream& server, Client& client, FakeTransport& t) {
    for (int i = 0; i < 100000; ++i) {
      SSL_do_handshake(client.ssl);
      client.Pump(t);
      const RTlsResult r = server.Handshake();
      client.Pump(t);
      if (r == RTlsResult::Done && SSL_is_init_finished(client.ssl)) return true;
      if (r != RTlsResult::WantRead && r != RTlsResult::WantWrite && r != RTlsResult::Done) {
        return false;
      }
    }
    return false;
  }
  test::TempDir dir;
  std::shared_ptr<RTlsContext> ctx;
};

// Records that arrive a few bytes at a time are put together: the handshake
// and 40 KiB of data (three records) come through exactly.
TEST_F(TlsStreamTest, PartialRecords) {
  FakeTransport t;
  t.readStep = 1;
  RTlsStream server(ctx, t);
  Client client;
  ASSERT_TRUE(Handshake(server, client, t));
  std::string sent(40 * 1024, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7);
  size_t n = 0;
  ASSERT_EQ(SSL_write_ex(client.ssl, sent.data(), sent.size(), &n), 1);
  client.Pump(t);
  // The wire hands over seven bytes between reads.
  std::string wire;
  wire.swap(t.toServer);
  std::string got;
  char buf[8192];
  RTlsResult r = RTlsResult::Done;
  int wants = 0;
  while (got.size() < sent.size()) {
    t.toServer += wire.substr(0, 7);
    wire.erase(0, std::min<size_t>(7, wire.size()));
    const int64_t k = server.Read(buf, sizeof buf, &r);
    if (k > 0) {
      got.append(buf, static_cast<size_t>(k));
    } else {
      ASSERT_EQ(r, RTlsResult::WantRead);
      ASSERT_LT(++wants, 1000000);
    }
  }
  EXPECT_EQ(got, sent);
  EXPECT_GT(wants, 100);
  EXPECT_FALSE(server.HasPending());
  EXPECT_EQ(server.Protocol(), "TLSv1.3");
}

// A transport that is full makes a write want FD_WRITE; repeated with the
// same bytes once there is room, everything arrives in order.
TEST_F(TlsStreamTest, WantWriteThenRetry) {
  FakeTransport t;
  RTlsStream server(ctx, t);
  Client client;
  ASSERT_TRUE(Handshake(server, client, t));
  t.room = 1000;
  std::string sent(100 * 1024, 'x');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  std::string got;
  size_t offset = 0;
  int blocked = 0;
  RTlsResult r = RTlsResult::Done;
  while (offset < sent.size()) {
    const int64_t k =
        server.Write(sent.data() + offset, static_cast<int64_t>(sent.size() - offset), &r);
    if (k > 0) {
      EXPECT_LE(k, static_cast<int64_t>(sent.size() - offset));
      offset += static_cast<size_t>(k);
    } else {
      ASSERT_EQ(r, RTlsResult::WantWrite);
      ++blocked;
    }
    client.Pump(t);
    got += client.ReadAll();
  }
  client.Pump(t);
  got += client.ReadAll();
  EXPECT_GT(blocked, 10);
  EXPECT_EQ(got, sent);
}

// A bulk stream gathers records: 2 MiB leave in a handful of transport
// writes, a full transport takes part of a gathered buffer at a time, the
// tail waits for Flush (WantWrite while full), close_notify follows the
// last record, and an upload's records come in through few reads.
TEST_F(TlsStreamTest, BulkGathersRecords) {
  FakeTransport t;
  RTlsStream server(ctx, t);
  server.BulkMode();
  Client client;
  ASSERT_TRUE(Handshake(server, client, t));
  std::string sent(2 * 1024 * 1024 + 1000, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 13 + i / 7);
  // Free run: the transport takes whatever it is offered.
  t.writes = 0;
  size_t offset = 0;
  RTlsResult r = RTlsResult::Done;
  while (offset < 1024 * 1024) {
    const int64_t k = server.Write(sent.data() + offset, 64 * 1024, &r);
    ASSERT_GT(k, 0);
    offset += static_cast<size_t>(k);
  }
  EXPECT_LE(t.writes, 4);  // 64 records
  ASSERT_EQ(server.Flush(), RTlsResult::Done);
  EXPECT_FALSE(server.Unsent());
  client.Pump(t);
  std::string got = client.ReadAll();
  EXPECT_EQ(got, sent.substr(0, offset));
  // A transport with 100,000 bytes of room between pumps: partial writes
  // of a gathered buffer, then WantWrite, and nothing lost or repeated.
  int blocked = 0;
  while (offset < sent.size()) {
    t.room = 100000;
    const int64_t k =
        server.Write(sent.data() + offset, static_cast<int64_t>(sent.size() - offset), &r);
    if (k > 0) {
      offset += static_cast<size_t>(k);
      continue;
    }
    ASSERT_EQ(r, RTlsResult::WantWrite);
    ++blocked;
    client.Pump(t);
    got += client.ReadAll();
  }
  EXPECT_GT(blocked, 5);
  ASSERT_TRUE(server.Unsent());
  t.room = static_cast<int64_t>(t.toClient.size());
  EXPECT_EQ(server.Flush(), RTlsResult::WantWrite);
  while (server.Unsent()) {
    client.Pump(t);
    got += client.ReadAll();
    t.room = 100000;
    ASSERT_NE(server.Flush(), RTlsResult::Failed);
  }
  EXPECT_EQ(server.Shutdown(), RTlsResult::Done);
  client.Pump(t);
  got += client.ReadAll();
  EXPECT_EQ(got, sent);
  EXPECT_EQ(SSL_get_error(client.ssl, 0), SSL_ERROR_ZERO_RETURN);
  // Upload: 1 MiB in records arrives through a handful of reads.
  t.reads = 0;
  size_t n = 0;
  ASSERT_EQ(SSL_write_ex(client.ssl, sent.data(), 1024 * 1024, &n), 1);
  client.Pump(t);
  std::string up;
  char buf[65536];
  while (up.size() < n) {
    const int64_t k = server.Read(buf, sizeof buf, &r);
    ASSERT_GT(k, 0);
    up.append(buf, static_cast<size_t>(k));
  }
  EXPECT_EQ(up, sent.substr(0, n));
  EXPECT_LE(t.reads, 10);  // 128 without read-ahead
}

// close_notify in both directions: the client's ends the server's reads as
// Closed; the server's reaches the client as a clean end.
TEST_F(TlsStreamTest, CloseNotify) {
  FakeTransport t;
  RTlsStream server(ctx, t);
  Client client;
  ASSERT_TRUE(Handshake(server, client, t));
  size_t n = 0;
  ASSERT_EQ(SSL_write_ex(client.ssl, "last", 4, &n), 1);
  SSL_shutdown(client.ssl);
  client.Pump(t);
  char buf[64];
  RTlsResult r = RTlsResult::Done;
  ASSERT_EQ(server.Read(buf, sizeof buf, &r), 4);
  EXPECT_EQ(std::string(buf, 4), "last");
  EXPECT_EQ(server.Read(buf, sizeof buf, &r), 0);
  EXPECT_EQ(r, RTlsResult::Closed);
  EXPECT_EQ(server.Shutdown(), RTlsResult::Done);
  EXPECT_EQ(server.Shutdown(), RTlsResult::Done);  // once only
  client.Pump(t);
  EXPECT_EQ(SSL_read_ex(client.ssl, buf, sizeof buf, &n), 0);
  EXPECT_EQ(SSL_get_error(client.ssl, 0), SSL_ERROR_ZERO_RETURN);
}

// close_notify on a full transport (a download's last records still wait
// for a slow client): Shutdown says WantWrite instead of dropping the
// alert, and once there is room the alert follows every record.
TEST_F(TlsStreamTest, CloseNotifyWaitsForRoom) {
  for (const bool bulk : {true, false}) {
    SCOPED_TRACE(bulk ? "gathered records" : "plain records");
    FakeTransport t;
    RTlsStream server(ctx, t);
    if (bulk) server.BulkMode();
    Client client;
    ASSERT_TRUE(Handshake(server, client, t));
    const std::string sent(40000, 'x');
    RTlsResult r = RTlsResult::Done;
    size_t offset = 0;
    while (offset < sent.size()) {
      const int64_t k =
          server.Write(sent.data() + offset, static_cast<int64_t>(sent.size() - offset), &r);
      ASSERT_GT(k, 0);
      offset += static_cast<size_t>(k);
    }
    ASSERT_EQ(server.Flush(), RTlsResult::Done);
    t.room = static_cast<int64_t>(t.toClient.size());  // full from here on
    EXPECT_EQ(server.Shutdown(), RTlsResult::WantWrite);
    EXPECT_EQ(server.Shutdown(), RTlsResult::WantWrite);
    client.Pump(t);
    std::string got = client.ReadAll();
    t.room = 1 << 20;
    EXPECT_EQ(server.Shutdown(), RTlsResult::Done);
    EXPECT_EQ(server.Shutdown(), RTlsResult::Done);  // sent once
    client.Pump(t);
    got += client.ReadAll();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(SSL_get_error(client.ssl, 0), SSL_ERROR_ZERO_RETURN);
    EXPECT_TRUE(t.toClient.empty());
  }
}

// A stream that ends or is reset in the middle of a record never passes
// for a clean end.
TEST_F(TlsStreamTest, EndOrResetMidRecord) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "end");
    FakeTransport t;
    RTlsStream server(ctx, t);
    Client client;
    ASSERT_TRUE(Handshake(server, client, t));
    std::string data(5000, 'd');
    size_t n = 0;
    ASSERT_EQ(SSL_write_ex(client.ssl, data.data(), data.size(), &n), 1);
    client.Pump(t);
    t.toServer.resize(t.toServer.size() / 2);
    t.endAfterInput = !reset;
    t.resetAfterInput = reset;
    char buf[8192];
    RTlsResult r = RTlsResult::Done;
    EXPECT_EQ(server.Read(buf, sizeof buf, &r), 0);
    EXPECT_EQ(r, reset ? RTlsResult::Failed : RTlsResult::Truncated);
    EXPECT_FALSE(server.FailureReason().empty());
  }
}

// Garbage instead of a ClientHello fails the handshake with OpenSSL's
// reason, which never repeats the client's bytes.
TEST_F(TlsStreamTest, GarbageInsteadOfClientHello) {
  FakeTransport t;
  t.toServer = "USER anonymous\r\nPASS secretpassword\r\n";
  RTlsStream server(ctx, t);
  EXPECT_EQ(server.Handshake(), RTlsResult::Failed);
  EXPECT_FALSE(server.Established());
  EXPECT_FALSE(server.FailureReason().empty());
  EXPECT_EQ(server.FailureReason().find("USER"), std::string::npos);
  EXPECT_EQ(server.FailureReason().find("secret"), std::string::npos);
}

// A TLS 1.2 client asking to renegotiate is refused; the connection keeps
// carrying data.
TEST_F(TlsStreamTest, RenegotiationRefused) {
  FakeTransport t;
  RTlsStream server(ctx, t);
  Client client(TLS1_2_VERSION);
  ASSERT_TRUE(Handshake(server, client, t));
  EXPECT_EQ(server.Protocol(), "TLSv1.2");
  ASSERT_EQ(SSL_renegotiate(client.ssl), 1);
  SSL_do_handshake(client.ssl);
  client.Pump(t);
  char buf[64];
  RTlsResult r = RTlsResult::Done;
  EXPECT_EQ(server.Read(buf, sizeof buf, &r), 0);
  EXPECT_EQ(r, RTlsResult::WantRead);
  client.Pump(t);
  EXPECT_LE(SSL_do_handshake(client.ssl), 0);  // the client hears no_renegotiation
  EXPECT_EQ(SSL_renegotiate_pending(client.ssl), 1);
  ERR_clear_error();
}

// Unreadable files, a FIFO, a huge file, a key of another certificate and
// an expired certificate: all but the last are refused with a reason naming the file,
// the last loads and says it has expired.
TEST(RTlsContext, RefusesBadFilesAndReportsExpiry) {
  test::TempDir dir;
  const std::string d = dir.Path();
  MakeCertificate(d + "/a.pem", d + "/a.key", 30);
  MakeCertificate(d + "/b.pem", d + "/b.key", 30);
  MakeCertificate(d + "/old.pem", d + "/old.key", -1);
  std::string why;
  EXPECT_FALSE(RTlsContext::Create(Files(d + "/none.pem", d + "/a.key"), &why));
  EXPECT_NE(why.find("none.pem"), std::string::npos) << why;
  EXPECT_FALSE(RTlsContext::Create(Files(d + "/a.pem", d + "/b.key"), &why));
  EXPECT_NE(why.find("b.key"), std::string::npos) << why;
  EXPECT_FALSE(RTlsContext::Create(Files("", ""), &why));
  RTlsSettingsStr badCiphers = Files(d + "/a.pem", d + "/a.key");
  badCiphers.cipherList = "NOSUCHCIPHER";
  EXPECT_FALSE(RTlsContext::Create(badCiphers, &why));
  EXPECT_EQ(why.rfind("TLSCipherList: ", 0), 0u) << why;
  // Read as bounded regular files: a FIFO is refused without waiting for a
  // writer, and so is a file far larger than any key.
  ASSERT_EQ(::mkfifo((d + "/fifo.key").c_str(), 0600), 0);
  EXPECT_FALSE(RTlsContext::Create(Files(d + "/a.pem", d + "/fifo.key"), &why));
  EXPECT_EQ(why, d + "/fifo.key: not a regular file");
  ASSERT_EQ(::truncate((d + "/b.pem").c_str(), 2 << 20), 0);
  EXPECT_FALSE(RTlsContext::Create(Files(d + "/b.pem", d + "/b.key"), &why));
  EXPECT_EQ(why, d + "/b.pem: larger than 1 MiB");
  auto ok = RTlsContext::Create(Files(d + "/a.pem", d + "/a.key"), &why);
  ASSERT_TRUE(ok);
  EXPECT_GT(ok->SecondsToExpiry(), 29 * 86400);
  auto old = RTlsContext::Create(Files(d + "/old.pem", d + "/old.key"), &why);
  ASSERT_TRUE(old);
  EXPECT_LT(old->SecondsToExpiry(), 0);
}

}  // namespace
}  // namespace vantor
