// Shared fixture of the engine tests: a loop on a manual clock, a socket
// layer, a temporary directory with a VANTOR.INI, a manager, and the log
// lines written meanwhile. Sessions are detached (no socket) unless a test
// listens for real on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "log_capture.h"
#include "net/RSocketLayer.h"
#include "platform/RClock.h"
#include "platform/RMessageLoop.h"
#include "temp_dir.h"
#include "util/RLog.h"

namespace vantor {

// A port of 127.0.0.1 that was free a moment ago, for a test server.
inline int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

class RRecordingFrontEnd : public RFrontEnd {
 public:
  void OnStatusRecord(const RStatusRecordStr& r) override { status.push_back(r); }
  void OnNotify(uint32_t code, uint32_t, std::string_view text) override {
    notes.push_back({code, std::string(text)});
  }
  void OnCloseRequest() override { ++closeRequests; }
  void Beep() override { ++beeps; }
  void OnListenWait(std::string_view text) override { listenWaits.emplace_back(text); }
  std::vector<RStatusRecordStr> status;
  std::vector<std::string> listenWaits;
  std::vector<std::pair<uint32_t, std::string>> notes;
  int closeRequests = 0;
  int beeps = 0;
};

class FtpTest : public ::testing::Test {
 protected:
  FtpTest() : loop_(10000, &clock_), layer_(loop_) { ini_ = dir_ + "/VANTOR.INI"; }
  ~FtpTest() override {
    manager_.reset();
    layer_.CleanupSockLib();
  }

  // Writes the INI text and creates the manager (security off unless said).
  void Start(const std::string& ini, bool securityOff = true) {
    WriteFile("VANTOR.INI", ini);
    manager_ = std::make_unique<RFTPSManager>(loop_, frontEnd_, ini_, securityOff, &layer_);
  }
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  RFTPSComInterp* Detached(const std::string& client = "10.1.2.3", uint32_t local = 0x7F000001) {
    RFTPSComInterp* s = manager_->CreateDetachedSession(client, local);
    Settle(s);
    s->TakeQueuedReplies();
    return s;
  }
  // Lets a job the session waits for (a message file, a listing) come back.
  void Settle(RFTPSComInterp* s) {
    for (int i = 0; i < 2000 && s->AwaitingWork(); ++i) loop_.RunOnce(5);
  }
  std::vector<std::string> Replies(RFTPSComInterp* s) {
    Settle(s);
    std::deque<std::string> q = s->TakeQueuedReplies();
    return {q.begin(), q.end()};
  }
  // Moves the clock a second at a time, running what became due.
  void Seconds(int n) {
    for (int i = 0; i < n; ++i) {
      clock_.Advance(1000);
      loop_.RunPending();
    }
  }
  // A client socket connected to 127.0.0.1:port, or -1.
  static int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
  }
  bool Logged(const std::string& text) const { return log_.Count(text) > 0; }

  RManualClock clock_;
  RMessageLoop loop_;
  RSocketLayer layer_;
  RRecordingFrontEnd frontEnd_;
  test::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
  std::string ini_;
  std::unique_ptr<RFTPSManager> manager_;
  test::LogCapture log_{" "};
};

}  // namespace vantor
