#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <QApplication>
#include <atomic>
#include <thread>

#include "ftp/RFTPSManager.h"
#include "gui/qt/RAccountsDialog.h"
#include "gui/qt/RGuiHost.h"
#include "gui/qt/RLoopDriver.h"
#include "gui/qt/RMainWindow.h"
#include "live_client.h"
#include "temp_dir.h"
#include "tls_certificate.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::guitest::Client;
using vantor::guitest::FreePort;
using vantor::guitest::PumpUntil;
using vantor::test::TempDir;

namespace {

// A blocking FTPS client on its own thread (the test's thread pumps the
// engine): AUTH TLS, login, PBSZ 0, PROT P; it stays connected until told.
class TlsClient {
 public:
  explicit TlsClient(uint16_t port) : thread_([this, port] { Run(port); }) {}
  ~TlsClient() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<bool> ready{false};
  std::atomic<bool> failed{false};

 private:
  bool Expect(SSL* ssl, int fd, const char* code) {
    std::string got;
    char buf[512];
    while (got.find(std::string("\n") + code) == std::string::npos &&
           got.compare(0, 3, code) != 0) {
      const int n = ssl != nullptr ? SSL_read(ssl, buf, sizeof buf)
                                   : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
      if (n <= 0) return false;
      got.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  void Run(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    const std::string auth = "AUTH TLS\r\n";
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              Expect(nullptr, fd, "220") &&
              ::send(fd, auth.data(), auth.size(), MSG_NOSIGNAL) > 0 &&
              Expect(nullptr, fd, "234") && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1;
    for (const auto& [line, code] : {std::pair{"USER anonymous", "331"},
                                     {"PASS a@b.c", "230"},
                                     {"PBSZ 0", "200"},
                                     {"PROT P", "200"}}) {
      const std::string l = std::string(line) + "\r\n";
      ok = ok && SSL_write(ssl, l.data(), static_cast<int>(l.size())) > 0 && Expect(ssl, fd, code);
    }
    failed = !ok;
    ready = true;
    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class LiveEngineTest : public ::testing::Test {
 protected:
  LiveEngineTest() {
    SetLanguage(RLanguage::English);
    dir_.Write("pub/readme.txt", "");
    const std::string pub = dir_.File("pub");
    std::filesystem::create_directories(pub);
    dir_.Write("VANTOR.INI", "[GLOBAL]\nVersion=2.5.11.3\nPortNr=" + std::to_string(FreePort()) +
                                 "\n[USER=** Default **]\nTimeOut=45\n"
                                 "[USER=Anonymous]\nHomeDir=" +
                                 pub + "\nAccess1=" + pub + ",RLP\n");
  }
  void StartHost() {
    host_ = std::make_unique<RGuiHost>(loop_);
    ASSERT_EQ(host_->Start({"-u", dir_.File("VANTOR.INI")}), -1);
    driver_ = std::make_unique<RLoopDriver>(loop_);
    ASSERT_NE(host_->Server(), nullptr);
    port_ = host_->Server()->Manager().ListeningPort();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    if (host_) {
      host_->Window()->CloseNow();
      host_->Stop();
    }
    driver_.reset();
    host_.reset();
  }

  TempDir dir_;
  RMessageLoop loop_;
  std::unique_ptr<RGuiHost> host_;
  std::unique_ptr<RLoopDriver> driver_;
  uint16_t port_ = 0;
};

}  // namespace

// The user information window follows a real session: its list line, its
// dialogue, its details; kill ends it.
TEST_F(LiveEngineTest, TracksAndKillsASession) {
  StartHost();
  RMainWindow* w = host_->Window();
  Client a(port_), b(port_);
  ASSERT_TRUE(a.WaitFor("220"));
  ASSERT_TRUE(b.WaitFor("220"));
  w->ShowUserInfo();
  RUserInfoWindow* info = w->UserInfo();
  ASSERT_NE(info, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 2; }));
  const uint32_t second = info->List()->topLevelItem(1)->data(0, Qt::UserRole).toUInt();
  info->List()->setCurrentItem(info->List()->topLevelItem(1));
  ASSERT_EQ(info->Tracked(), second);

  b.Send("USER anonymous");
  ASSERT_TRUE(b.WaitFor("331"));
  b.Send("PASS guest@example.com");
  ASSERT_TRUE(b.WaitFor("230"));
  a.Send("NOOP");
  ASSERT_TRUE(a.WaitFor("200"));
  ASSERT_TRUE(PumpUntil([&] { return info->LineText(second).contains("\tanonymous\t"); }));
  EXPECT_TRUE(info->LineText(second).endsWith("\t127.0.0.1\tNone"))
      << info->LineText(second).toStdString();
  const QString dialogue = info->Dialogue()->toPlainText();
  EXPECT_TRUE(dialogue.startsWith(QString::fromStdString(NowTrackingLine(second))));
  EXPECT_TRUE(dialogue.contains("\nUSER anonymous\n")) << dialogue.toStdString();
  EXPECT_EQ(dialogue.count("USER anonymous"), 1) << dialogue.toStdString();
  EXPECT_FALSE(dialogue.contains("NOOP")) << "another session's line leaked in";
  info->RefreshDetails();
  EXPECT_EQ(info->Detail(0).size(), 8);  // hh:mm:ss
  // The current directory, as a local drive path in lower case.
  QString cwd = "c:" + QString::fromStdString(dir_.File("pub"));
  EXPECT_EQ(info->Detail(5), cwd.replace('/', '\\').toLower());

  // The status bar counts the two sessions, one of them anonymous.
  ASSERT_TRUE(PumpUntil([&] { return w->StatusField(1)->text().startsWith("2 (1)"); }));

  info->KillTracked();
  ASSERT_TRUE(b.WaitClosed());
  ASSERT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 1; }));
}

// The security row of the tracked session: the control connection's
// protocol and cipher and the data protection, as the manager reports them.
TEST_F(LiveEngineTest, ShowsWhetherASessionIsProtected) {
  test::MakeCertificate(dir_.File("c.pem"), dir_.File("k.pem"), 30);
  RIniFile ini(dir_.File("VANTOR.INI"));
  ASSERT_TRUE(ini.WriteString("GLOBAL", "TLSCertificateFile", dir_.File("c.pem")));
  ASSERT_TRUE(ini.WriteString("GLOBAL", "TLSPrivateKeyFile", dir_.File("k.pem")));
  ASSERT_TRUE(ini.WriteString("GLOBAL", "TLSCipherSuites", "TLS_AES_128_GCM_SHA256"));
  StartHost();
  Client clear(port_);
  ASSERT_TRUE(clear.WaitFor("220"));
  TlsClient tls(port_);
  ASSERT_TRUE(PumpUntil([&] { return tls.ready.load(); }));
  ASSERT_FALSE(tls.failed.load());
  RMainWindow* w = host_->Window();
  w->ShowUserInfo();
  RUserInfoWindow* info = w->UserInfo();
  ASSERT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 2; }));
  info->List()->setCurrentItem(info->List()->topLevelItem(0));
  EXPECT_EQ(info->Detail(7), "Not protected; data: clear");
  info->List()->setCurrentItem(info->List()->topLevelItem(1));
  EXPECT_EQ(info->Detail(7), "TLSv1.3, TLS_AES_128_GCM_SHA256; data: PROT P");
  EXPECT_TRUE(info->LineText(info->Tracked()).endsWith("\tanonymous\t127.0.0.1\tNone"));
}

// An account made in the Users dialog logs in at once (accounts are read at
// every query).
TEST_F(LiveEngineTest, UsersDialogAccountLogsIn) {
  StartHost();
  RAccountsDialog d(host_->IniPath(), false);
  d.SetShowErrors(false);
  ASSERT_TRUE(d.CreateAccount("joe")) << d.Error();
  d.Field("HomeDir")->setText(QString::fromStdString(dir_.File("pub")));
  d.AddAccessRule(QString::fromStdString(dir_.File("pub")), "RLP");
  d.setPassword->setChecked(true);
  d.password->setText("s3cret");
  ASSERT_TRUE(d.TryAccept()) << d.Error();
  host_->ReloadSettings();

  Client c(port_);
  ASSERT_TRUE(c.WaitFor("220"));
  c.Send("USER joe");
  ASSERT_TRUE(c.WaitFor("331"));
  c.Send("PASS wrong");
  ASSERT_TRUE(c.WaitFor("530"));
  Client d2(port_);
  ASSERT_TRUE(d2.WaitFor("220"));
  d2.Send("USER joe");
  ASSERT_TRUE(d2.WaitFor("331"));
  d2.Send("PASS s3cret");
  ASSERT_TRUE(d2.WaitFor("230")) << d2.Text();
}
