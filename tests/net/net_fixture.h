// Shared fixture of the socket layer tests: a loop on a manual clock, one
// layer, an owner window that records every event, and plain POSIX peers
// on 127.0.0.1. The fixture fails a test that leaves an fd registered.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/RSocketLayer.h"
#include "net/RWinSocket.h"
#include "platform/RMessageLoop.h"

namespace vantor::nettest {

// The owner message of the test sockets and of the trace window; any
// number does, the owner window takes only these.
inline constexpr uint32_t kOwnerMessage = 1024;
inline constexpr uint32_t kTraceMessage = 1037;

struct Ev {
  int op;
  int status;
  uint32_t id;
  bool operator==(const Ev& o) const { return op == o.op && status == o.status && id == o.id; }
};

inline std::ostream& operator<<(std::ostream& os, const Ev& e) {
  return os << "{" << WsStatusName(e.op) << "," << WsStatusName(e.status) << ",id " << e.id << "}";
}

inline int OpenFdCount() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

// A blocking POSIX socket used as the far end.
inline int PlainConnect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline int PlainListen(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::listen(fd, 50);
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

inline void SetNonBlocking(int fd) {
  int one = 1;
  ::ioctl(fd, FIONBIO, &one);
}

// Reads what is there now (the peer is non-blocking).
inline std::string ReadNow(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

class NetTest : public ::testing::Test {
 protected:
  explicit NetTest(size_t queueBound = 10000)
      : loop_(queueBound, &clock_), layer_(std::make_unique<RSocketLayer>(loop_)) {
    owner_ = loop_.CreateWindow([this](const RMsg& m) -> intptr_t {
      events_.push_back(
          Ev{WsEventOp(m.wParam), WsEventStatus(m.wParam), static_cast<uint32_t>(m.lParam)});
      return 0;
    });
  }
  ~NetTest() override {
    layer_.reset();
    EXPECT_EQ(loop_.WatchedFdCount(), 0u) << "a socket handle was left registered";
    EXPECT_EQ(loop_.TimerCount(), 0u) << "a timer was left running";
  }

  // Runs the loop until `done` holds (bounded; real readiness needs a few
  // passes on loopback). Time on the manual clock does not move.
  bool Pump(const std::function<bool()>& done, int passes = 3000) {
    for (int i = 0; i < passes; ++i) {
      if (done()) return true;
      loop_.RunOnce(2);
    }
    return done();
  }
  void Settle(int passes = 20) {
    for (int i = 0; i < passes; ++i) loop_.RunOnce(1);
  }
  // Moves the manual clock by whole seconds, one layer tick each.
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
      clock_.Advance(1000);
      loop_.RunPending();
    }
  }
  bool HasEvent(int op, int status) const {
    for (const Ev& e : events_) {
      if (e.op == op && e.status == status) return true;
    }
    return false;
  }
  std::vector<Ev> EventsOf(uint32_t id) const {
    std::vector<Ev> out;
    for (const Ev& e : events_) {
      if (e.id == id) out.push_back(e);
    }
    return out;
  }
  RWinSocket* NewSocket(int kind = WS_STREAM) {
    sockets_.push_back(std::make_unique<RWinSocket>(layer_.get(), owner_, kOwnerMessage, kind, 7));
    return sockets_.back().get();
  }
  // A listener on 127.0.0.1 and a connected pair: the client made by
  // CallHost, the server by AcceptHost. Events are cleared afterwards.
  std::pair<RWinSocket*, RWinSocket*> Pair() {
    RWinSocket* l = NewSocket();
    EXPECT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
    RWinSocket* c = NewSocket();
    EXPECT_EQ(c->CallHost("127.0.0.1", l->GetLocalPort()), WS_OK);
    EXPECT_TRUE(
        Pump([&] { return HasEvent(WS_Connecting, WS_OK) && HasEvent(WS_Listening, WS_OK); }));
    RWinSocket* s = NewSocket();
    EXPECT_EQ(s->AcceptHost(*l), WS_OK);
    events_.clear();
    return {c, s};
  }
  // A socket connected to a plain peer that the test drives by hand; a
  // failed set-up gives an unconnected socket and peer -1, so the test fails
  // without a crash.
  std::pair<RWinSocket*, int> PlainPeer() {
    uint16_t port = 0;
    const int lfd = PlainListen(&port);
    RWinSocket* c = NewSocket();
    EXPECT_EQ(c->CallHost("127.0.0.1", port), WS_OK);
    EXPECT_TRUE(Pump([&] { return HasEvent(WS_Connecting, WS_OK); }));
    const int peer = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(lfd);
    EXPECT_GE(peer, 0);
    if (peer >= 0) peers_.push_back(peer);
    events_.clear();
    return {c, peer};
  }
  // A plain peer connected to an accepted socket of our own listener, which
  // hands TCP_NODELAY to its connections.
  RWinSocket* AcceptedPeer(int* peer, int peerReceiveBuffer = 0) {
    RWinSocket* l = NewSocket();
    EXPECT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
    EXPECT_EQ(l->NoDelayForAccepted(), WS_OK);
    *peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (peerReceiveBuffer > 0) {
      ::setsockopt(*peer, SOL_SOCKET, SO_RCVBUF, &peerReceiveBuffer, sizeof(peerReceiveBuffer));
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(l->GetLocalPort());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(*peer, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    peers_.push_back(*peer);
    EXPECT_TRUE(Pump([&] { return HasEvent(WS_Listening, WS_OK); }));
    RWinSocket* s = NewSocket();
    EXPECT_EQ(s->AcceptHost(*l), WS_OK);
    events_.clear();
    return s;
  }
  void TearDown() override {
    sockets_.clear();
    for (int fd : peers_) ::close(fd);
  }

  RManualClock clock_;
  RMessageLoop loop_;
  std::unique_ptr<RSocketLayer> layer_;
  RWindowId owner_ = 0;
  std::vector<Ev> events_;
  std::vector<std::unique_ptr<RWinSocket>> sockets_;
  std::vector<int> peers_;
};

}  // namespace vantor::nettest
