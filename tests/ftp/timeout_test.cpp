#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "ftp_fixture.h"

using namespace vantor;

namespace {

// A real control connection on 127.0.0.1, driven by the manual clock.
class TimeoutTest : public FtpTest {
 protected:
  void SetUp() override {
    port_ = FreePort();
    // The total login time of LoginTimeLimit is tested on its own.
    Start("[GLOBAL]\nPortNr=" + std::to_string(port_) +
          "\nLoginTimeLimit=0\n[USER=joe]\nHomeDir=/\n");
    manager_->ApplySettings();
    ASSERT_TRUE(manager_->Online());
  }
  void TearDown() override {
    if (client_ >= 0) close(client_);
  }

  void Connect() {
    client_ = ConnectLoopback(port_);
    ASSERT_GE(client_, 0);
  }

  // Runs the loop (without moving the clock) until `text` has arrived.
  bool Await(const std::string& text) {
    for (int i = 0; i < 200; ++i) {
      loop_.RunOnce(10);
      char buf[4096];
      ssize_t n = recv(client_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) got_.append(buf, static_cast<size_t>(n));
      if (got_.find(text) != std::string::npos) return true;
    }
    return false;
  }

  void Send(const std::string& line) {
    ASSERT_EQ(send(client_, line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
  }

  int port_ = 0;
  int client_ = -1;
  std::string got_;
};

}  // namespace

// Before login, 180 seconds without a command line end the session.
TEST_F(TimeoutTest, AdmissionReceiveLimit) {
  Connect();
  ASSERT_TRUE(Await("220 Vantor FTP-Server v2.5k for WinSock ready...\r\n"));
  Seconds(170);
  ASSERT_FALSE(Await("421")) << "timed out too early";
  Seconds(15);
  ASSERT_TRUE(Await("421 Connection timed out - closing.\r\n"));
  EXPECT_TRUE(Logged(") Connection timed out"));
}

// Activity restarts the limit (auto-reset is on without BlockAntiTimeOut).
TEST_F(TimeoutTest, ActivityRestartsLimit) {
  Connect();
  ASSERT_TRUE(Await("ready...\r\n"));
  for (int i = 0; i < 3; ++i) {
    Seconds(120);
    Send("NOOP\r\n");
    ASSERT_TRUE(Await("200 Command okay.\r\n"));
    got_.clear();
  }
  EXPECT_EQ(got_.find("421"), std::string::npos);
}

// The login time-outs without an account TimeOut remove the receive limit.
TEST_F(TimeoutTest, LoginTimeOutsRemoveLimit) {
  Connect();
  ASSERT_TRUE(Await("ready...\r\n"));
  Send("USER joe\r\n");
  ASSERT_TRUE(Await("230 User JOE logged in.\r\n"));
  manager_->FindSession(manager_->Sessions().back()->Number())->SetLoginTimeOuts(-1);
  Seconds(400);
  EXPECT_FALSE(Await("421"));
}
