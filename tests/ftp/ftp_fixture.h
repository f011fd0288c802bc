// Shared fixture of the engine tests: a loop on a manual clock, a socket
// layer, a temporary directory with a VANTOR.INI, a manager, and the log
// lines written meanwhile. Sessions are detached (no socket) unless a test
// listens for real on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "log_capture.h"
#include "net/RSocketLayer.h"
#include "platform/RClock.h"
#include "platform/RMessageLoop.h"
#include "temp_dir.h"
#include "util/RLog.h"
#include "wait_until.h"

namespace vantor {

using Lines = std::vector<std::string>;

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
  // Start, then on-line on a port of this test's own. The default port 21
  // may be held by another copy of the tests or a server of the machine, and
  // a manager that cannot listen is off-line: every session it admits gets
  // 421 and then 221 for each command. A port free a moment ago can still be
  // taken before the bind, hence a few tries with a new one.
  void StartOnline(const std::string& ini, bool securityOff = true) {
    const std::string global = "[GLOBAL]\n";
    for (int attempt = 0; attempt < 5; ++attempt) {
      const std::string port = "PortNr=" + std::to_string(FreePort()) + "\n";
      const size_t at = ini.find(global);
      manager_.reset();
      Start(at == std::string::npos
                ? global + port + ini
                : ini.substr(0, at + global.size()) + port + ini.substr(at + global.size()),
            securityOff);
      manager_->ApplySettings();
      if (manager_->Online()) return;
    }
    FAIL() << "no free port to listen on";
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
  // The deadline is in real time: a pass returns at once whenever a message
  // or a timer of the manual clock is due, so a count of passes is no bound
  // in time and could run out on a busy machine while the worker still read.
  void Settle(RFTPSComInterp* s) {
    RunUntil([s] { return !s->AwaitingWork(); });
  }
  static constexpr std::chrono::milliseconds kWait{10000};
  // How long a test watches for something that must not happen.
  static constexpr std::chrono::milliseconds kQuiet{100};
  // Runs the loop until `done` holds or `limit` of real time has passed;
  // what `done` says at the end.
  template <class Done>
  bool RunUntil(Done&& done, std::chrono::milliseconds limit = kWait) {
    return test::RunLoopUntil(loop_, std::forward<Done>(done), limit);
  }
  // Runs the loop for `limit`, for a test that watches for nothing to happen.
  void RunFor(std::chrono::milliseconds limit) {
    RunUntil([] { return false; }, limit);
  }
  std::vector<std::string> Replies(RFTPSComInterp* s) {
    Settle(s);
    std::deque<std::string> q = s->TakeQueuedReplies();
    return {q.begin(), q.end()};
  }
  // Dispatches a line and returns the replies it queued.
  std::vector<std::string> Send(RFTPSComInterp* s, std::string_view line) {
    s->Dispatch(line);
    return Replies(s);
  }
  // Moves the clock a second at a time, running what became due.
  void Seconds(int n) {
    for (int i = 0; i < n; ++i) {
      clock_.Advance(1000);
      loop_.RunPending();
    }
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

// A server listening for real on 127.0.0.1 and plain clients of it, read
// without blocking while the loop runs (the manual clock stands still).
struct Peer {
  int fd = -1;
  std::string buf;
};

class LoopbackTest : public FtpTest {
 protected:
  void TearDown() override {
    for (int fd : fds_) close(fd);
  }

  // A server on port_; `global` is added to [GLOBAL]. JOE logs in at once
  // (security off) with the temporary directory as home.
  void Serve(const std::string& global = "", bool online = true) {
    Start("[GLOBAL]\nPortNr=" + std::to_string(port_) + "\n" + global +
          "[USER=joe]\nHomeDir=" + dir_ + "\n");
    manager_->ApplySettings();
    if (online) {
      ASSERT_TRUE(manager_->Online());
    }
  }

  // Connects to 127.0.0.1:`port` from `from` (an address of 127/8).
  int ConnectTo(int port, const char* from = "127.0.0.1", int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    fds_.push_back(fd);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    inet_pton(AF_INET, from, &src.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  }
  Peer Client(const char* from = "127.0.0.1") { return Peer{ConnectTo(port_, from), {}}; }

  // Runs the loop until a whole line is there; "<none>" after `limit`.
  std::string Line(Peer& p, std::chrono::milliseconds limit = kWait) {
    size_t eol = std::string::npos;
    RunUntil(
        [&] {
          Drain(p);
          eol = p.buf.find("\r\n");
          return eol != std::string::npos;
        },
        limit);
    if (eol == std::string::npos) return "<none>";
    std::string line = p.buf.substr(0, eol);
    p.buf.erase(0, eol + 2);
    return line;
  }

  // Takes what has arrived; true at the end of the stream or on a reset.
  static bool Drain(Peer& p) {
    char b[65536];
    for (;;) {
      const ssize_t n = recv(p.fd, b, sizeof b, MSG_DONTWAIT);
      if (n > 0) {
        p.buf.append(b, static_cast<size_t>(n));
        continue;
      }
      return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
  }

  // True when the server closes the connection within `limit`.
  bool Closed(Peer& p, std::chrono::milliseconds limit = kWait) {
    return RunUntil([&] { return Drain(p); }, limit);
  }

  void Send(Peer& p, const std::string& line) {
    const std::string wire = line + "\r\n";
    ASSERT_EQ(send(p.fd, wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
  }
  std::string Cmd(Peer& p, const std::string& line) {
    Send(p, line);
    return Line(p);
  }

  static constexpr const char* kGreeting = "220 Vantor FTP-Server v2.5k for WinSock ready...";

  // A control connection past the greeting, logged in as JOE, in the
  // temporary directory.
  Peer Login(const char* from = "127.0.0.1") {
    Peer p = Client(from);
    EXPECT_EQ(Line(p), kGreeting);
    EXPECT_EQ(Cmd(p, "USER joe"), "230 User JOE logged in.");
    EXPECT_EQ(Cmd(p, "CWD " + dir_).substr(0, 4), "250 ");
    return p;
  }

  RFTPSComInterp* OnlySession() {
    return manager_->Sessions().empty() ? nullptr : manager_->Sessions().back().get();
  }

  // The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" reply, or -1.
  static int PasvPort(const std::string& reply) {
    int h[4], p1 = 0, p2 = 0;
    if (std::sscanf(reply.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)", &h[0], &h[1],
                    &h[2], &h[3], &p1, &p2) != 6) {
      return -1;
    }
    return p1 * 256 + p2;
  }
  // PASV and a data connection from `from` to the port it names.
  int Passive(Peer& p, const char* from = "127.0.0.1") {
    const std::string reply = Cmd(p, "PASV");
    EXPECT_GT(PasvPort(reply), 0) << reply;
    return ConnectTo(PasvPort(reply), from);
  }
  // Everything the data connection carries up to its end.
  std::string ReadToEnd(int fd) {
    Peer d{fd, {}};
    EXPECT_TRUE(Closed(d));
    return d.buf;
  }
  // A binary RETR of `name` over `fd`: its 150, the bytes `want`, the 226.
  void ExpectRetr(Peer& p, int fd, const std::string& name, const std::string& want) {
    EXPECT_EQ(Cmd(p, "RETR " + name), "150 Opening BINARY mode data connection for " + name + " (" +
                                          std::to_string(want.size()) + " bytes).");
    EXPECT_EQ(ReadToEnd(fd), want);
    EXPECT_EQ(Line(p), "226 Transfer complete.");
  }

  int port_ = FreePort();
  std::vector<int> fds_;
};

}  // namespace vantor
