#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "net/RTlsContext.h"
#include "net_fixture.h"
#include "platform/RWorkPool.h"
#include "temp_dir.h"
#include "tls_certificate.h"

using namespace vantor;
using namespace vantor::nettest;

namespace {

class RWinSocketIO : public NetTest {
 protected:
  // Sends raw bytes from the plain peer and waits for `events` events.
  void PeerSends(int peer, const std::string& bytes, size_t events) {
    ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(Pump([&] { return events_.size() >= events; }));
    Settle();
  }
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
  return s;
}

// A file of `data` in `dir`, open for reading and writing (-1: failed).
int TempFileOf(const test::TempDir& dir, const std::string& data) {
  const int fd = ::open(dir.File("f.bin").c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 && ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The peer resets the connection (SO_LINGER 0); `shut` leaves it open.
void ResetFrom(int peer, bool shut) {
  const linger l{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  shut ? ::shutdown(peer, SHUT_RDWR) : ::close(peer);
}

// The peer's end as recv sees it: "eof" or "reset", after every byte.
std::string PeerEnd(int peer, std::string* got) {
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(peer, buf, sizeof(buf), 0)) > 0) got->append(buf, static_cast<size_t>(n));
  return n == 0 ? "eof" : errno == ECONNRESET ? "reset" : std::strerror(errno);
}

}  // namespace

// Line scanning: CR ends a line, LF and NUL are dropped, lines wait for CR.
TEST_F(RWinSocketIO, LineScanning) {
  auto [s, peer] = PlainPeer();
  ASSERT_EQ(s->InitRecLine(100, 0), WS_OK);
  char line[100];
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_Nothing);
  EXPECT_EQ(s->ReceiveLine(line, 2), WS_Error);

  PeerSends(peer, "USER anonymous\r\n", 1);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0], (Ev{WS_Receiving, WS_OK, s->Id()}));
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "USER anonymous");

  // LF alone does not end a line; the CR that follows does. NUL is dropped.
  events_.clear();
  ASSERT_EQ(::send(peer, "PA\0SS x\n", 8, 0), 8);
  Pump([&] { return false; }, 30);
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_Nothing);
  PeerSends(peer, "y\r", 1);
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "PASS xy");

  // Two lines in one segment: two events, the second posted by the
  // ReceiveLine that takes the first.
  events_.clear();
  PeerSends(peer, "CWD a\rPWD\r", 1);
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "CWD a");
  loop_.RunPending();
  EXPECT_EQ(events_.size(), 2u);
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "PWD");
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_Nothing);
}

// Over-long lines are cut: a buffer of 10 delivers 9 characters and loses
// the tenth; a destination of 5 returns 4 characters with WS_More, loses the
// fifth and returns the rest as the next line.
TEST_F(RWinSocketIO, LineCuts) {
  auto [s, peer] = PlainPeer();
  ASSERT_EQ(s->InitRecLine(10, 0), WS_OK);
  char line[100];
  PeerSends(peer, "abcdefghijklmnopqrst", 1);
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "abcdefghi");
  ASSERT_TRUE(Pump([&] { return events_.size() >= 2; }));
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "klmnopqrs");

  auto [t, peer2] = PlainPeer();
  ASSERT_EQ(t->InitRecLine(100, 0), WS_OK);
  PeerSends(peer2, "1234567\r", 1);
  char small[5];
  EXPECT_EQ(t->ReceiveLine(small, sizeof(small)), WS_More);
  EXPECT_STREQ(small, "1234");
  EXPECT_EQ(t->ReceiveLine(small, sizeof(small)), WS_OK);
  EXPECT_STREQ(small, "67");
}

// With WS_REC_DISCARD_OVERLONG the rest of a cut line is dropped up to its
// CR, also when it arrives in later segments; the next line is whole.
TEST_F(RWinSocketIO, LineCutDiscardsTail) {
  auto [s, peer] = PlainPeer();
  ASSERT_EQ(s->InitRecLine(10, WS_REC_DISCARD_OVERLONG), WS_OK);
  char line[100];
  PeerSends(peer, "abcdefghijklmnop", 1);
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "abcdefghi");
  events_.clear();
  ASSERT_EQ(::send(peer, "qrstuvwxyz0123", 14, 0), 14);
  Pump([&] { return false; }, 30);
  EXPECT_TRUE(events_.empty()) << "the tail was delivered as a line";
  PeerSends(peer, "456\r\nDELE x\r\n", 1);
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_OK);
  EXPECT_STREQ(line, "DELE x");
  EXPECT_EQ(s->ReceiveLine(line, sizeof(line)), WS_Nothing);
}

// Line sending: InitSendLine posts WS_Sending/WS_OK at once; lines go out
// with CR LF; a long text is cut to the maximum and WS_More is returned;
// SendLine while a line is going out is WS_Busy.
TEST_F(RWinSocketIO, LineSending) {
  auto [s, peer] = PlainPeer();
  EXPECT_EQ(s->SendLine("x"), WS_Error);
  ASSERT_EQ(s->InitSendLine(10), WS_OK);
  EXPECT_EQ(s->InitSendLine(10), WS_Busy);
  loop_.RunPending();
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Sending, WS_OK, s->Id()}}));
  EXPECT_EQ(s->SendLine("220 Hello"), WS_OK);
  EXPECT_EQ(s->SendLine("again"), WS_Busy);
  ASSERT_TRUE(Pump([&] { return events_.size() == 2; }));
  EXPECT_EQ(s->SendLine("0123456789ABCDEF"), WS_More);
  ASSERT_TRUE(Pump([&] { return events_.size() == 3; }));
  EXPECT_EQ(events_[2], (Ev{WS_Sending, WS_OK, s->Id()}));
  SetNonBlocking(peer);
  EXPECT_EQ(ReadNow(peer), "220 Hello\r\n0123456789\r\n");
  EXPECT_EQ(s->TakeByteCount(WS_COUNT_SENT), 12);
  EXPECT_EQ(s->TakeByteCount(WS_COUNT_SENT), 0);
  EXPECT_EQ(s->TakeByteCount(3), -1);
}

// Block transfer between two layer sockets, byte for byte, with counters.
TEST_F(RWinSocketIO, BlockRoundTrip) {
  auto [c, sv] = Pair();
  const std::string data = Pattern(3 << 20);
  std::string in(data.size(), '\0');
  int64_t sent = -1, received = -1;
  ASSERT_EQ(sv->ReceiveBlock(in.data(), static_cast<int64_t>(in.size()), &received, 0), WS_OK);
  EXPECT_EQ(sv->ReceiveBlock(in.data(), 10, nullptr, 0), WS_Busy);
  ASSERT_EQ(c->SendBlock(data.data(), static_cast<int64_t>(data.size()), &sent), WS_OK);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(c->SendBlock(data.data(), 1, nullptr), WS_Busy);
  ASSERT_TRUE(Pump([&] { return events_.size() == 2; }));
  Settle();
  EXPECT_EQ(EventsOf(c->Id()), (std::vector<Ev>{{WS_Sending, WS_OK, c->Id()}}));
  EXPECT_EQ(EventsOf(sv->Id()), (std::vector<Ev>{{WS_Receiving, WS_OK, sv->Id()}}));
  EXPECT_EQ(sent, static_cast<int64_t>(data.size()));
  EXPECT_EQ(received, static_cast<int64_t>(data.size()));
  EXPECT_TRUE(in == data);
  // Length 0 receive: WS_OK, nothing starts, no event.
  events_.clear();
  EXPECT_EQ(sv->ReceiveBlock(in.data(), 0, nullptr, 0), WS_OK);
  RSockStatusStr st;
  sv->GetStatus(st);
  EXPECT_EQ(st.receiving, 0);
  // Length 0 send completes on the next readiness message.
  EXPECT_EQ(c->SendBlock(data.data(), 0, nullptr), WS_OK);
  loop_.RunPending();
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Sending, WS_OK, c->Id()}}));
  EXPECT_EQ(c->SendBlock(data.data(), -1, nullptr), WS_Error);
}

// Faults: a peer that resets the connection mid-send and mid-receive.
TEST_F(RWinSocketIO, PeerResets) {
  struct Case {
    const char* name;
    bool sending;
  } cases[] = {{"mid-send", true}, {"mid-receive", false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    events_.clear();
    auto [s, peer] = PlainPeer();
    std::string big(32 << 20, 'z');
    char in[64];
    if (k.sending) {
      ASSERT_EQ(s->SendBlock(big.data(), static_cast<int64_t>(big.size()), nullptr), WS_OK);
    } else {
      ASSERT_EQ(s->ReceiveBlock(in, sizeof(in), nullptr, 0), WS_OK);
    }
    Settle();
    ResetFrom(peer, false);
    peers_.pop_back();
    const int op = k.sending ? WS_Sending : WS_Receiving;
    ASSERT_TRUE(Pump([&] { return HasEvent(op, WS_Reset); }));
    Settle();
    std::vector<Ev> mine = EventsOf(s->Id());
    ASSERT_FALSE(mine.empty());
    EXPECT_EQ(mine.front(), (Ev{op, WS_Reset, s->Id()}));
    int count = 0;
    for (const Ev& e : mine) count += e.op == op;
    EXPECT_EQ(count, 1) << "one event per operation";
  }
}

// A peer that never reads: the send time-out ends the send; the
// connection stays open.
TEST_F(RWinSocketIO, SendTimeout) {
  auto [s, peer] = PlainPeer();
  s->SetTimeOut({0, 0, 3, 0, 0}, true);
  std::string big(64 << 20, 'q');
  ASSERT_EQ(s->SendBlock(big.data(), static_cast<int64_t>(big.size()), nullptr), WS_OK);
  Settle();
  Ticks(2);
  EXPECT_TRUE(events_.empty());
  Ticks(1);
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Sending, WS_Timeout, s->Id()}}));
  RSockStatusStr st;
  s->GetStatus(st);
  EXPECT_EQ(st.connected, 1);
  EXPECT_EQ(st.sending, 0);
  EXPECT_EQ(st.sendStatus, WS_Timeout);
}

// Under a global limit of 10000 bytes per second each one-second window
// carries at most 10000 bytes, in steps of at most 4096 bytes.
TEST_F(RWinSocketIO, PacingUnderGlobalLimit) {
  auto [s, peer] = PlainPeer();
  std::vector<int64_t> steps;
  RWindowId tw = loop_.CreateWindow([&](const RMsg& m) -> intptr_t {
    std::string t = reinterpret_cast<const char*>(m.lParam);
    auto p = t.find(" send(");
    if (p != std::string::npos) {
      // "send(fd,0x...,LEN,0) --> N (..)": take N.
      auto arrow = t.find("--> ");
      steps.push_back(std::stoll(t.substr(arrow + 4)));
    }
    return 0;
  });
  layer_->SetTrace(true, tw, kTraceMessage);
  layer_->SetSpeedLimit(10000);
  const std::string data = Pattern(45000);
  int64_t sent = 0;
  ASSERT_EQ(s->SendBlock(data.data(), static_cast<int64_t>(data.size()), &sent), WS_OK);
  SetNonBlocking(peer);
  std::string got;
  // One window runs from one tick (budget refill) to the next.
  std::vector<int64_t> perSecond;
  int64_t last = 0;
  for (int second = 0; second < 8 && !HasEvent(WS_Sending, WS_OK); ++second) {
    Settle(40);
    perSecond.push_back(sent - last);
    last = sent;
    got += ReadNow(peer);
    Ticks(1);
  }
  Settle();
  if (sent > last) perSecond.push_back(sent - last);
  got += ReadNow(peer);
  ASSERT_TRUE(HasEvent(WS_Sending, WS_OK));
  EXPECT_EQ(got, data);
  for (int64_t v : perSecond) EXPECT_LE(v, 10000);
  EXPECT_EQ(perSecond, (std::vector<int64_t>{10000, 10000, 10000, 10000, 5000}));
  for (int64_t n : steps) EXPECT_LE(n, 4096);
  // Four ticked seconds of traffic are averaged over four seconds, not eight.
  EXPECT_EQ(layer_->GetServerRate(), 10000);
  layer_->SetTrace(false, 0, 0);
  loop_.DestroyWindow(tw);

  // 0 and negative limits switch it off.
  layer_->SetSpeedLimit(0);
  EXPECT_FALSE(layer_->SpeedLimitOn());
  layer_->SetSpeedLimit(5);
  layer_->SetSpeedLimit(-1);
  EXPECT_FALSE(layer_->SpeedLimitOn());
}

// Two sockets under one global limit share it evenly.
TEST_F(RWinSocketIO, TwoSocketsShareGlobalLimit) {
  auto [a, pa] = PlainPeer();
  auto [b, pb] = PlainPeer();
  layer_->SetSpeedLimit(20000);
  const std::string data = Pattern(200000);
  int64_t sa = 0, sb = 0;
  ASSERT_EQ(a->SendBlock(data.data(), static_cast<int64_t>(data.size()), &sa), WS_OK);
  ASSERT_EQ(b->SendBlock(data.data(), static_cast<int64_t>(data.size()), &sb), WS_OK);
  SetNonBlocking(pa);
  SetNonBlocking(pb);
  for (int i = 0; i < 4; ++i) {
    Settle(40);
    EXPECT_EQ(sa + sb, 20000 * (i + 1));
    ReadNow(pa);
    ReadNow(pb);
    Ticks(1);
  }
  EXPECT_LE(std::abs(sa - sb), 4096) << sa << " vs " << sb;
}

// Datagrams: bound receiver, sender with a destination; whole datagrams,
// the sender's address, an over-long datagram.
TEST_F(RWinSocketIO, Datagrams) {
  RWinSocket* rx = NewSocket(WS_DATAGRAM);
  ASSERT_EQ(rx->Listen(0, true, "127.0.0.1"), WS_OK);
  RWinSocket* tx = NewSocket(WS_DATAGRAM);
  ASSERT_EQ(tx->CallHost("no.such.name", rx->GetLocalPort()), WS_HostUnknown);
  ASSERT_EQ(tx->CallHost("127.0.0.1", rx->GetLocalPort(), 0, "127.0.0.1"), WS_OK);
  char buf[64] = {};
  int64_t got = 0;
  ASSERT_EQ(rx->ReceiveBlock(buf, sizeof(buf), &got, 0), WS_OK);
  ASSERT_EQ(tx->SendBlock("hello", 5, nullptr), WS_OK);
  ASSERT_TRUE(Pump([&] { return EventsOf(rx->Id()).size() == 1; }));
  EXPECT_EQ(got, 5);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(rx->GetRemoteIPAddress(), "127.0.0.1");
  EXPECT_EQ(rx->GetRemotePort(), tx->GetLocalPort());
  EXPECT_EQ(EventsOf(rx->Id()), (std::vector<Ev>{{WS_Receiving, WS_OK, rx->Id()}}));

  events_.clear();
  char tiny[4];
  ASSERT_EQ(rx->ReceiveBlock(tiny, sizeof(tiny), nullptr, 0), WS_OK);
  ASSERT_EQ(tx->SendBlock("too long", 8, nullptr), WS_OK);
  ASSERT_TRUE(Pump([&] { return !EventsOf(rx->Id()).empty(); }));
  EXPECT_EQ(EventsOf(rx->Id()), (std::vector<Ev>{{WS_Receiving, WS_TooLarge, rx->Id()}}));
  EXPECT_EQ(tx->InitSendLine(10), WS_WrongType);
  EXPECT_EQ(tx->SendFile(0, 0, 1, nullptr), WS_WrongType);
}

// SendFile moves a file's bytes from an offset, with the same events and
// counters as SendBlock; a file shorter than promised is an error.
TEST_F(RWinSocketIO, SendFile) {
  test::TempDir dir;
  const std::string data = Pattern(2 << 20);
  const int fd = TempFileOf(dir, data);
  ASSERT_GE(fd, 0);

  auto [c, sv] = Pair();
  const int64_t offset = 1000;
  const int64_t len = static_cast<int64_t>(data.size()) - offset;
  std::string in(static_cast<size_t>(len), '\0');
  int64_t sent = 0;
  ASSERT_EQ(sv->ReceiveBlock(in.data(), len, nullptr, 0), WS_OK);
  ASSERT_EQ(c->SendFile(fd, offset, len, &sent), WS_OK);
  ASSERT_TRUE(Pump([&] { return events_.size() == 2; }));
  EXPECT_EQ(sent, len);
  EXPECT_TRUE(in == data.substr(offset));

  events_.clear();
  ASSERT_EQ(c->SendFile(fd, static_cast<int64_t>(data.size()) - 10, 100, &sent), WS_OK);
  ASSERT_TRUE(Pump([&] { return !EventsOf(c->Id()).empty(); }));
  EXPECT_EQ(EventsOf(c->Id()), (std::vector<Ev>{{WS_Sending, WS_Error, c->Id()}}));
  EXPECT_EQ(sent, 10);
  EXPECT_EQ(c->SendFile(-1, 0, 5, nullptr), WS_Error);
  ::close(fd);
}

// With a data pool, file sends copy on its threads: the same bytes, events
// and counters; a short file is still an error; the threads' copies of the
// socket and the file are made once and kept between steps and sends; a
// connection reset while a step is out hears nothing more, and the copies
// close.
TEST_F(RWinSocketIO, SendFileOnDataThreads) {
  test::TempDir dir;
  const std::string data = Pattern(8 << 20);
  const int fd = TempFileOf(dir, data);
  ASSERT_GE(fd, 0);
  RWorkPool pool(loop_, 1, 4);
  layer_->SetDataPool(&pool);

  auto [c, peer] = PlainPeer();
  const int before = OpenFdCount();
  const int64_t offset = 777;
  const int64_t len = static_cast<int64_t>(data.size()) - offset;
  int64_t sent = 0;
  ASSERT_EQ(c->SendFile(fd, offset, len, &sent), WS_OK);
  std::string in;
  ASSERT_TRUE(Pump([&] {
    in += ReadNow(peer);
    return !events_.empty();
  }));
  in += ReadNow(peer);
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Sending, WS_OK, c->Id()}}));
  EXPECT_EQ(sent, len);
  EXPECT_TRUE(in == data.substr(static_cast<size_t>(offset)));
  // More than one step: the peer could not take 8 MiB at once.
  EXPECT_GE(pool.Stats().ran, 2u);
  ASSERT_TRUE(Pump([&] { return pool.Idle(); }));
  EXPECT_EQ(OpenFdCount(), before + 2) << "one copy of the socket and one of the file, kept";

  events_.clear();
  ASSERT_EQ(c->SendFile(fd, static_cast<int64_t>(data.size()) - 10, 100, &sent), WS_OK);
  ASSERT_TRUE(Pump([&] { return !events_.empty(); }));
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Sending, WS_Error, c->Id()}}));
  EXPECT_EQ(sent, 10);
  (void)ReadNow(peer);

  // The peer reads nothing, so the step fills the socket and stops; the
  // reset comes while it is out or its answer is on the way.
  events_.clear();
  const int fds = OpenFdCount();
  ASSERT_EQ(c->SendFile(fd, 0, static_cast<int64_t>(data.size()), &sent), WS_OK);
  Pump([&] { return pool.Stats().running > 0 || sent > 0; }, 50);
  c->ResetConnection();
  ASSERT_TRUE(Pump([&] { return pool.Idle(); }));
  Settle();
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(OpenFdCount(), fds - 3) << "the reset closed the socket and the two copies";
  layer_->SetDataPool(nullptr);
  ::close(fd);
}

// Blocks into a pipe: exact bytes, blocks cut short when the pipe has no
// room left (one page here), the peer's close after the last block, and the
// calls that cannot start.
TEST_F(RWinSocketIO, ReceiveToPipe) {
  // The same blocks whether the splice runs here or on a data thread.
  RWorkPool pool(loop_, 1, 4);
  for (RWorkPool* dataPool : {static_cast<RWorkPool*>(nullptr), &pool}) {
    SCOPED_TRACE(dataPool != nullptr ? "on a data thread" : "on the loop");
    layer_->SetDataPool(dataPool);
    auto [s, peer] = PlainPeer();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
    const std::string data = Pattern(100000);
    ASSERT_EQ(::send(peer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ::shutdown(peer, SHUT_WR);
    std::string got;
    int blocks = 0;
    bool closed = false;
    while (!closed) {
      events_.clear();
      int64_t counter = -1;
      ASSERT_EQ(s->ReceiveToPipe(fds[1], 65536, &counter), WS_OK) << got.size();
      ASSERT_TRUE(Pump(
          [&] { return HasEvent(WS_Receiving, WS_OK) || HasEvent(WS_Closing, WS_SoftClose); }));
      Settle();
      closed = HasEvent(WS_Closing, WS_SoftClose);
      ASSERT_GE(counter, 0);
      ASSERT_LE(counter, 4096) << "more than the pipe holds";
      char buf[4096];
      ASSERT_EQ(::read(fds[0], buf, sizeof(buf)), counter == 0 ? -1 : counter);
      got.append(buf, static_cast<size_t>(counter));
      ++blocks;
      ASSERT_LT(blocks, 1000);
    }
    EXPECT_TRUE(got == data);
    EXPECT_GE(blocks, 25);
    if (dataPool == nullptr) {
      RWinSocket* u = NewSocket(WS_DATAGRAM);
      EXPECT_EQ(u->ReceiveToPipe(fds[1], 100, nullptr), WS_WrongType);
      EXPECT_EQ(s->ReceiveToPipe(-1, 100, nullptr), WS_Error);
    } else {
      EXPECT_GE(pool.Stats().ran, 25u);
    }
    ::close(fds[0]);
    ::close(fds[1]);
  }
  layer_->SetDataPool(nullptr);
}

// Blocks into a file through a pipe, socket to file in one step: exact
// bytes and counts whether the step runs here or on a data thread, the
// block handed over when full and the rest at the peer's close, the
// descriptors copied once for every step of the socket, a file that
// refuses its bytes ending the block with -errno, and the calls that
// cannot start.
TEST_F(RWinSocketIO, ReceiveToFile) {
  RWorkPool pool(loop_, 1, 4);
  test::TempDir tmp;
  auto descriptors = [] {
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return n;
  };
  for (RWorkPool* dataPool : {static_cast<RWorkPool*>(nullptr), &pool}) {
    SCOPED_TRACE(dataPool != nullptr ? "on a data thread" : "on the loop");
    layer_->SetDataPool(dataPool);
    auto [s, peer] = PlainPeer();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    const std::string path = tmp.Path() + "/f";
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    const int open = descriptors();
    const std::string data = Pattern(300000);
    ASSERT_EQ(::send(peer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ::shutdown(peer, SHUT_WR);
    int64_t total = 0;
    int blocks = 0;
    bool closed = false;
    const uint64_t ranBefore = pool.Stats().ran;
    while (!closed) {
      events_.clear();
      int64_t counter = -1;
      int64_t wrote = -1;
      ASSERT_EQ(s->ReceiveToFile(fds[0], fds[1], file, 65536, &counter, &wrote), WS_OK);
      ASSERT_TRUE(Pump(
          [&] { return HasEvent(WS_Receiving, WS_OK) || HasEvent(WS_Closing, WS_SoftClose); }));
      Settle();
      closed = HasEvent(WS_Closing, WS_SoftClose);
      EXPECT_EQ(wrote, counter);
      if (!closed) {
        EXPECT_EQ(counter, 65536) << "a block is handed over full";
      }
      EXPECT_LE(descriptors(), open + (dataPool != nullptr ? 4 : 0)) << "copied once, not per step";
      total += counter;
      ASSERT_LT(++blocks, 100);
    }
    EXPECT_EQ(total, static_cast<int64_t>(data.size()));
    std::string got(data.size() + 1, '\0');
    EXPECT_EQ(::pread(file, got.data(), got.size(), 0), static_cast<ssize_t>(data.size()));
    got.resize(data.size());
    EXPECT_TRUE(got == data);
    if (dataPool != nullptr) {
      EXPECT_GE(pool.Stats().ran - ranBefore, 5u);
    } else {
      RWinSocket* u = NewSocket(WS_DATAGRAM);
      EXPECT_EQ(u->ReceiveToFile(fds[0], fds[1], file, 100, nullptr, nullptr), WS_WrongType);
      EXPECT_EQ(s->ReceiveToFile(fds[0], fds[1], -1, 100, nullptr, nullptr), WS_Error);
    }
    s->ResetConnection();
    ::close(file);
    // A file that takes nothing (opened for reading): the block ends at once.
    auto [r, peer2] = PlainPeer();
    const int ro = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ro, 0);
    ASSERT_EQ(::send(peer2, data.data(), 1000, 0), 1000);
    events_.clear();
    int64_t counter = -1;
    int64_t wrote = 0;
    ASSERT_EQ(r->ReceiveToFile(fds[0], fds[1], ro, 65536, &counter, &wrote), WS_OK);
    ASSERT_TRUE(Pump([&] { return HasEvent(WS_Receiving, WS_OK); }));
    EXPECT_EQ(wrote, -EBADF);
    EXPECT_EQ(counter, 1000);
    r->ResetConnection();
    ::close(ro);
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_TRUE(Pump([&] { return pool.Idle(); }));
  }
  layer_->SetDataPool(nullptr);
}

// How a connection ends, for a socket that connected and one accepted from
// our own listener: an abort resets (the peer must never take a cut-off
// transfer for a whole one); a graceful close delivers every byte, also
// those still queued in our kernel when the close came, then the end.
TEST_F(RWinSocketIO, ResetOrGracefulEnd) {
  const int small = 4096;
  for (bool accepted : {false, true}) {
    for (bool graceful : {false, true}) {
      SCOPED_TRACE(std::string(accepted ? "accepted" : "connected") +
                   (graceful ? ", graceful" : ", abort"));
      events_.clear();
      int peer = -1;
      RWinSocket* s = accepted ? AcceptedPeer(&peer, small) : NewSocket();
      if (!accepted) {
        uint16_t port = 0;
        const int lfd = PlainListen(&port);
        ::setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        ASSERT_EQ(s->CallHost("127.0.0.1", port), WS_OK);
        ASSERT_TRUE(Pump([&] { return HasEvent(WS_Connecting, WS_OK); }));
        peer = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(lfd);
        ASSERT_GE(peer, 0);
        peers_.push_back(peer);
      }
      const int big = 1 << 20;
      ::setsockopt(s->NativeHandle(), SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
      // More than the peer's window: part of it is still ours at the close.
      const std::string data = Pattern(150000);
      ASSERT_EQ(s->SendBlock(data.data(), static_cast<int64_t>(data.size()), nullptr), WS_OK);
      ASSERT_TRUE(Pump([&] { return HasEvent(WS_Sending, WS_OK); }));
      if (graceful) {
        ASSERT_EQ(s->DisconnectHost(0), WS_OK);
      } else {
        s->ResetConnection();
      }
      std::string got;
      EXPECT_EQ(PeerEnd(peer, &got), graceful ? "eof" : "reset");
      if (graceful) {
        EXPECT_TRUE(got == data) << got.size();
      }
    }
  }
}

class RWinSocketClose : public NetTest {};

// A peer that sent everything and its FIN gets our FIN when we drop the
// connection, not a reset (an uploading client took that reset for a
// failed upload); a send the peer's end cut short still ends with a reset.
// Accepted connections carry TCP_NODELAY from the listener.
TEST_F(RWinSocketClose, PeerEndedClosesGracefully) {
  for (const bool sending : {false, true}) {
    SCOPED_TRACE(sending ? "our send cut" : "upload complete");
    int peer = -1;
    RWinSocket* s = AcceptedPeer(&peer, 4096);
    int nodelay = 0;
    socklen_t len = sizeof(nodelay);
    ASSERT_EQ(::getsockopt(s->NativeHandle(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_EQ(nodelay, 1);
    const std::string data = Pattern(sending ? 4 << 20 : 100000);
    std::string received(200000, '\0');
    if (sending) {
      ASSERT_EQ(s->SendBlock(data.data(), static_cast<int64_t>(data.size()), nullptr), WS_OK);
      Settle();
    } else {
      ASSERT_EQ(s->ReceiveBlock(received.data(), static_cast<int64_t>(received.size()), nullptr,
                                WS_REC_STREAMING),
                WS_OK);
      ASSERT_EQ(::send(peer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    }
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(Pump([&] { return HasEvent(WS_Closing, WS_SoftClose) || sending; }));
    Settle();
    s->ResetConnection();  // what the owner's delete does
    std::string got;
    EXPECT_EQ(PeerEnd(peer, &got), sending ? "reset" : "eof");
    events_.clear();
  }
}

namespace {

// A non-blocking OpenSSL client on a plain socket, driven between passes
// of the loop.
struct TlsPeer {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  explicit TlsPeer(int fd) {
    SetNonBlocking(fd);
    SSL_set_fd(ssl, fd);
    SSL_set_connect_state(ssl);
  }
  ~TlsPeer() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ERR_clear_error();
  }
  bool Handshake() { return SSL_do_handshake(ssl) == 1; }
  // Reads what is there; false once the stream ended (`*end` says how).
  bool Read(std::string* got, int* end) {
    char buf[65536];
    size_t n = 0;
    while (SSL_read_ex(ssl, buf, sizeof buf, &n) == 1) got->append(buf, n);
    *end = SSL_get_error(ssl, 0);
    return *end == SSL_ERROR_WANT_READ;
  }
};

class RWinSocketTls : public RWinSocketClose {
 protected:
  void SetUp() override {
    test::MakeCertificate(dir_.Path() + "/c.pem", dir_.Path() + "/k.pem", 30);
    RTlsSettingsStr t;
    t.certificateFile = dir_.Path() + "/c.pem";
    t.privateKeyFile = dir_.Path() + "/k.pem";
    std::string why;
    ctx_ = RTlsContext::Create(t, &why);
    ASSERT_TRUE(ctx_) << why;
  }
  // A protected data connection: our accepted socket, the peer and its TLS.
  struct Secure {
    RWinSocket* s;
    int peer;
    std::unique_ptr<TlsPeer> tls;
  };
  Secure Secured(int peerReceiveBuffer = 0) {
    Secure c;
    c.s = AcceptedPeer(&c.peer, peerReceiveBuffer);
    EXPECT_EQ(c.s->StartTls(ctx_, "test", true, 10), WS_OK);
    c.tls = std::make_unique<TlsPeer>(c.peer);
    bool done = false;
    EXPECT_TRUE(Pump([&] {
      done = done || c.tls->Handshake();
      return done && HasEvent(WS_Securing, WS_OK);
    }));
    events_.clear();
    return c;
  }
  test::TempDir dir_;
  std::shared_ptr<RTlsContext> ctx_;
};

}  // namespace

// A protected upload that the peer ends with close_notify, keeping its
// socket open for ours, ends at once: no tick passes here.
TEST_F(RWinSocketTls, UploadEndsAtCloseNotify) {
  auto [s, peer, tls] = Secured();
  std::string buffer(1 << 20, '\0');
  ASSERT_EQ(s->ReceiveBlock(buffer.data(), static_cast<int64_t>(buffer.size()), nullptr,
                            WS_REC_STREAMING),
            WS_OK);
  const std::string data = Pattern(50000);
  size_t n = 0;
  ASSERT_EQ(SSL_write_ex(tls->ssl, data.data(), data.size(), &n), 1);
  ASSERT_EQ(SSL_shutdown(tls->ssl), 0);
  ASSERT_TRUE(Pump([&] { return HasEvent(WS_Closing, WS_SoftClose); }));
  std::string got(data.size() + 1, '\0');
  EXPECT_EQ(s->GetReceivedBytes(got.data(), static_cast<int64_t>(got.size())), 0);
  s->ResetConnection();
  // Our close_notify answers the peer's, then the FIN.
  std::string rest;
  int end = 0;
  ASSERT_TRUE(Pump([&] { return !tls->Read(&rest, &end); }));
  EXPECT_EQ(end, SSL_ERROR_ZERO_RETURN);
}

// A protected download on the loop and on the data lane: the same bytes,
// events and counters, paced or not; on the lane every record is written by
// a data thread, and the graceful close still puts close_notify before the
// FIN.
TEST_F(RWinSocketTls, DownloadOnDataThreads) {
  const std::string data = Pattern(3 << 20);
  const int fd = TempFileOf(dir_, data);
  ASSERT_GE(fd, 0);
  RWorkPool pool(loop_, 1, 4, 2);
  struct Case {
    const char* name;
    bool lane;
    int64_t limit;  // bytes per second for this socket, 0: none
  } cases[] = {
      {"on the loop", false, 0},
      {"on the lane", true, 0},
      {"on the lane, paced", true, 400 << 20},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    layer_->SetDataPool(k.lane ? &pool : nullptr);
    const uint64_t ranBefore = pool.Stats().ran;
    auto [s, peer, tls] = Secured(65536);
    s->SetLocalSpeedLimit(k.limit);
    const int64_t offset = 1001;
    const int64_t len = static_cast<int64_t>(data.size()) - offset;
    int64_t sent = 0;
    ASSERT_EQ(s->SendFile(fd, offset, len, &sent), WS_OK);
    std::string got;
    int end = 0;
    ASSERT_TRUE(Pump(
        [&] {
          (void)tls->Read(&got, &end);
          // The manual clock never ticks: a budget runs out only once.
          if (k.limit > 0 && HasEvent(WS_Sending, WS_OK) == false) Ticks(1);
          return HasEvent(WS_Sending, WS_OK);
        },
        20000));
    EXPECT_EQ(EventsOf(s->Id()), (std::vector<Ev>{{WS_Sending, WS_OK, s->Id()}}));
    EXPECT_EQ(sent, len);
    const WsStatus closing = s->DisconnectHost(0);
    EXPECT_TRUE(closing == WS_OK || closing == WS_Busy) << WsStatusName(closing);
    ASSERT_TRUE(Pump([&] { return !tls->Read(&got, &end); }));
    EXPECT_EQ(end, SSL_ERROR_ZERO_RETURN) << "close_notify before the FIN";
    EXPECT_TRUE(got == data.substr(static_cast<size_t>(offset))) << got.size();
    const uint64_t steps = pool.Stats().ran - ranBefore;
    // Unpaced: many records a step; paced: one record a step.
    const uint64_t least = !k.lane       ? 0u
                           : k.limit > 0 ? static_cast<uint64_t>(len / (16 << 10))
                                         : 1u;
    EXPECT_GE(steps, least);
    if (!k.lane) {
      EXPECT_EQ(steps, 0u);
    }
    events_.clear();
  }
  layer_->SetDataPool(nullptr);
  ::close(fd);
}

// A step out on a data thread while the transfer is cut: an abort (the
// stream stays whole and ends with close_notify once the step returns), the
// peer's reset during a record (the send fails, as on the loop), and a close
// or the socket's destruction while the step runs (no event, every
// descriptor closed once the step lets go). Under ThreadSanitizer this
// also shows that the stream is never used from two threads.
TEST_F(RWinSocketTls, DownloadStepCut) {
  const std::string data = Pattern(8 << 20);
  const int fd = TempFileOf(dir_, data);
  ASSERT_GE(fd, 0);
  RWorkPool pool(loop_, 1, 4, 2);
  layer_->SetDataPool(&pool);
  enum class Cut { Abort, PeerReset, Reset, Destroy };
  for (const Cut cut : {Cut::Abort, Cut::PeerReset, Cut::Reset, Cut::Destroy}) {
    SCOPED_TRACE(static_cast<int>(cut));
    const int fds = OpenFdCount();
    auto [s, peer, tls] = Secured(8192);
    int64_t sent = 0;
    ASSERT_EQ(s->SendFile(fd, 0, static_cast<int64_t>(data.size()), &sent), WS_OK);
    // The peer reads nothing yet: the step fills the socket. The cut comes
    // while it is out when the loop is quick enough to see it running.
    ASSERT_TRUE(Pump([&] { return pool.Stats().running > 0 || sent > 0; }, 20000));
    std::string got;
    int end = 0;
    switch (cut) {
      case Cut::Abort: {
        // As the server ends an aborted download: the abort, then the reset.
        s->Abort(WS_TYPE_SEND);
        s->ResetConnection();
        break;
      }
      case Cut::PeerReset: {
        // A little read, so the step is busy writing records when the reset
        // lands.
        (void)tls->Read(&got, &end);
        ResetFrom(peer, true);
        ASSERT_TRUE(Pump([&] { return !EventsOf(s->Id()).empty(); }, 20000));
        Settle();
        const Ev first = EventsOf(s->Id()).front();
        EXPECT_TRUE(first.op == WS_Sending || first.op == WS_Closing) << first.op;
        EXPECT_TRUE(first.status == WS_Reset || first.status == WS_NotCon) << first.status;
        EXPECT_FALSE(HasEvent(WS_Sending, WS_OK));
        EXPECT_LT(sent, static_cast<int64_t>(data.size()));
        s->ResetConnection();
        break;
      }
      case Cut::Reset:
        s->ResetConnection();
        break;
      case Cut::Destroy:
        for (auto it = sockets_.begin(); it != sockets_.end(); ++it) {
          if (it->get() == s) {
            sockets_.erase(it);
            break;
          }
        }
        break;
    }
    if (cut != Cut::PeerReset) {
      ASSERT_TRUE(Pump([&] { return pool.Idle(); }, 20000));
      Settle();
      const uint32_t id = cut == Cut::Destroy ? 0 : s->Id();
      const std::vector<Ev> want =
          cut == Cut::Abort ? std::vector<Ev>{{WS_Sending, WS_Aborted, id}} : std::vector<Ev>{};
      EXPECT_EQ(events_, want);
      // The peer reads whole records up to the cut, then hears the reset
      // once the step let go of the descriptor: no close_notify (a cut
      // transfer must not look complete) and no broken record.
      ASSERT_TRUE(Pump([&] { return !tls->Read(&got, &end); }, 20000));
      EXPECT_EQ(end, SSL_ERROR_SYSCALL) << ERR_error_string(ERR_get_error(), nullptr);
      EXPECT_TRUE(got == data.substr(0, got.size())) << got.size();
    }
    ASSERT_TRUE(Pump([&] { return pool.Idle(); }, 20000));
    Settle();
    tls.reset();
    // The listener and the peer of this round stay; nothing else.
    EXPECT_EQ(OpenFdCount(), fds + 2) << "the step's copies and the lent descriptor are closed";
    events_.clear();
  }
  layer_->SetDataPool(nullptr);
  ::close(fd);
}

// A protected upload on the loop and on the data lane: the same bytes, and
// the same end: at the peer's close_notify a soft close at once; at a reset
// in the middle of its records a failure, never a complete stream.
TEST_F(RWinSocketTls, UploadOnDataThreads) {
  RWorkPool pool(loop_, 1, 4, 2);
  const std::string data = Pattern(1 << 20);
  for (const bool lane : {false, true}) {
    for (const bool reset : {false, true}) {
      SCOPED_TRACE(std::string(lane ? "on the lane" : "on the loop") +
                   (reset ? ", reset" : ", close_notify"));
      layer_->SetDataPool(lane ? &pool : nullptr);
      const uint64_t ranBefore = pool.Stats().ran;
      auto [s, peer, tls] = Secured();
      std::string block(128 << 10, '\0');
      int64_t counter = 0;
      ASSERT_EQ(s->ReceiveBlock(block.data(), static_cast<int64_t>(block.size()), &counter,
                                WS_REC_STREAMING),
                WS_OK);
      std::string got;
      size_t written = 0;
      const size_t limit = reset ? data.size() / 2 : data.size();
      auto take = [&] {
        char buf[65536];
        int64_t n;
        while ((n = s->GetReceivedBytes(buf, sizeof buf)) > 0) got.append(buf, n);
      };
      ASSERT_TRUE(Pump(
          [&] {
            size_t n = 0;
            if (written < limit &&
                SSL_write_ex(tls->ssl, data.data() + written,
                             std::min<size_t>(limit - written, 40000), &n) == 1) {
              written += n;
            }
            take();
            return written == limit && (reset || got.size() == written);
          },
          20000));
      if (reset) {
        // Half of one more record reaches the server, then the reset.
        BIO* mem = BIO_new(BIO_s_mem());
        SSL_set0_wbio(tls->ssl, mem);
        size_t n = 0;
        ASSERT_EQ(SSL_write_ex(tls->ssl, data.data() + written, 16000, &n), 1);
        char* record = nullptr;
        const long length = BIO_get_mem_data(mem, &record);
        ASSERT_GT(length, 16000);
        ASSERT_EQ(::send(peer, record, static_cast<size_t>(length / 2), 0), length / 2);
        ResetFrom(peer, true);
      } else {
        ASSERT_EQ(SSL_shutdown(tls->ssl), 0);
      }
      ASSERT_TRUE(Pump(
          [&] {
            take();
            return HasEvent(WS_Closing, WS_SoftClose) || HasEvent(WS_Closing, WS_Reset) ||
                   HasEvent(WS_Receiving, WS_Reset) || HasEvent(WS_Receiving, WS_NotCon);
          },
          20000));
      Settle();
      take();
      EXPECT_TRUE(got == data.substr(0, got.size())) << got.size();
      if (reset) {
        EXPECT_FALSE(HasEvent(WS_Closing, WS_SoftClose)) << "a reset is never a complete upload";
      } else {
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(HasEvent(WS_Closing, WS_SoftClose));
      }
      const uint64_t steps = pool.Stats().ran - ranBefore;
      EXPECT_EQ(steps > 0, lane) << steps;
      s->ResetConnection();
      events_.clear();
    }
  }
  layer_->SetDataPool(nullptr);
}

// A protected upload into a file: the decrypted bytes reach the file on
// the loop and on the data lane (there, by the step itself: the loop copies
// nothing), paced or not, the block handed over full and its rest at the
// peer's close_notify; a file that refuses its bytes ends the block with
// -errno.
TEST_F(RWinSocketTls, UploadToFile) {
  RWorkPool pool(loop_, 1, 4, 2);
  const std::string data = Pattern(700000);
  struct Case {
    const char* name;
    bool lane;
    int64_t limit;
    bool refuse;
  } cases[] = {
      {"on the loop", false, 0, false},
      {"on the lane", true, 0, false},
      {"on the lane, paced", true, 100 << 20, false},
      {"on the loop, the file refuses", false, 0, true},
      {"on the lane, the file refuses", true, 0, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    layer_->SetDataPool(k.lane ? &pool : nullptr);
    const uint64_t ranBefore = pool.Stats().ran;
    const std::string path = dir_.File("up.bin");
    const int rw = ::open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
    const int file = k.refuse ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : rw;
    ASSERT_GE(file, 0);
    auto [s, peer, tls] = Secured();
    s->SetLocalSpeedLimit(k.limit);
    int64_t total = 0;
    int64_t counter = 0;
    int64_t wrote = 0;
    size_t written = 0;
    bool shut = false;
    const int64_t block = 256 << 10;
    ASSERT_EQ(s->ReceiveToFile(-1, -1, file, block, &counter, &wrote), WS_OK);
    ASSERT_TRUE(Pump(
        [&] {
          size_t n = 0;
          if (written < data.size() &&
              SSL_write_ex(tls->ssl, data.data() + written,
                           std::min<size_t>(data.size() - written, 40000), &n) == 1) {
            written += n;
          }
          if (written == data.size() && !shut) shut = SSL_shutdown(tls->ssl) >= 0;
          if (k.limit > 0) Ticks(1);
          if (HasEvent(WS_Receiving, WS_OK) && !k.refuse) {
            EXPECT_EQ(wrote, counter);
            EXPECT_EQ(counter, block) << "a block is handed over full";
            total += counter;
            events_.clear();
            EXPECT_EQ(s->ReceiveToFile(-1, -1, file, block, &counter, &wrote), WS_OK);
          }
          return HasEvent(WS_Closing, WS_SoftClose) || (k.refuse && HasEvent(WS_Receiving, WS_OK));
        },
        20000));
    Settle();
    if (k.refuse) {
      EXPECT_EQ(wrote, -EBADF);
      EXPECT_GT(counter, 0);
    } else {
      EXPECT_EQ(wrote, counter);
      total += counter;
      EXPECT_EQ(total, static_cast<int64_t>(data.size()));
      std::string got(data.size() + 1, '\0');
      EXPECT_EQ(::pread(rw, got.data(), got.size(), 0), static_cast<ssize_t>(data.size()));
      got.resize(data.size());
      EXPECT_TRUE(got == data);
    }
    EXPECT_EQ(pool.Stats().ran > ranBefore, k.lane);
    s->ResetConnection();
    ASSERT_TRUE(Pump([&] { return pool.Idle(); }));
    if (file != rw) ::close(file);
    ::close(rw);
    events_.clear();
  }
  layer_->SetDataPool(nullptr);
}

// A protected memory block (a listing) on the lane: the same bytes, paced
// or not, encrypted by a data thread; an abort while a step is out lets the
// caller reuse its buffer at once: the peer reads only bytes of the block
// as it was, up to the cut.
TEST_F(RWinSocketTls, MemoryBlockOnDataThreads) {
  RWorkPool pool(loop_, 1, 4, 2);
  layer_->SetDataPool(&pool);
  for (const int64_t limit : {int64_t{0}, int64_t{50} << 20}) {
    for (const bool abort : {false, true}) {
      SCOPED_TRACE(std::to_string(limit) + (abort ? ", abort" : ""));
      const uint64_t ranBefore = pool.Stats().ran;
      std::string block = Pattern(abort ? 8 << 20 : 1 << 20);
      const std::string original = block;
      auto [s, peer, tls] = Secured(abort ? 8192 : 0);
      s->SetLocalSpeedLimit(limit);
      int64_t sent = 0;
      ASSERT_EQ(s->SendBlock(block.data(), static_cast<int64_t>(block.size()), &sent), WS_OK);
      std::string got;
      int end = 0;
      if (abort) {
        ASSERT_TRUE(Pump([&] { return pool.Stats().running > 0 || sent > 0; }, 20000));
        s->Abort(WS_TYPE_SEND);
        std::fill(block.begin(), block.end(), '#');  // the caller's buffer is its own again
        ASSERT_TRUE(Pump([&] { return pool.Idle(); }, 20000));
        Settle();
        s->ResetConnection();
        ASSERT_TRUE(Pump([&] { return !tls->Read(&got, &end); }, 20000));
        EXPECT_LT(got.size(), original.size());
        EXPECT_EQ(got.find('#'), std::string::npos) << "bytes of the reused buffer went out";
        EXPECT_TRUE(got == original.substr(0, got.size()));
      } else {
        ASSERT_TRUE(Pump(
            [&] {
              (void)tls->Read(&got, &end);
              if (limit > 0) Ticks(1);
              return HasEvent(WS_Sending, WS_OK) && got.size() == original.size();
            },
            20000));
        EXPECT_EQ(EventsOf(s->Id()), (std::vector<Ev>{{WS_Sending, WS_OK, s->Id()}}));
        EXPECT_EQ(sent, static_cast<int64_t>(original.size()));
        EXPECT_TRUE(got == original);
        const uint64_t least = limit > 0 ? original.size() / (16 << 10) : 1;
        EXPECT_GE(pool.Stats().ran - ranBefore, least);
        s->ResetConnection();
      }
      events_.clear();
    }
  }
  layer_->SetDataPool(nullptr);
}

// A graceful close after an abort that left a record half-written (the
// peer read nothing while the step filled the socket): close_notify cannot
// follow a whole record, so the stream ends without it once the socket
// drained, at once and not at the close attempt's 15-second bound (no tick
// passes here); the peer reads whole records up to the cut, then the end.
TEST_F(RWinSocketTls, CloseAfterCutRecord) {
  const std::string data = Pattern(8 << 20);
  const int fd = TempFileOf(dir_, data);
  ASSERT_GE(fd, 0);
  RWorkPool pool(loop_, 1, 4, 2);
  for (const bool lane : {false, true}) {
    SCOPED_TRACE(lane ? "on the lane" : "on the loop");
    layer_->SetDataPool(lane ? &pool : nullptr);
    auto [s, peer, tls] = Secured(8192);
    int64_t sent = 0;
    ASSERT_EQ(s->SendFile(fd, 0, static_cast<int64_t>(data.size()), &sent), WS_OK);
    ASSERT_TRUE(Pump([&] { return sent > 0 && pool.Idle(); }, 20000));
    Settle();
    s->Abort(WS_TYPE_SEND);
    ASSERT_TRUE(Pump([&] { return pool.Idle(); }, 20000));
    const WsStatus closing = s->DisconnectHost(0);
    EXPECT_TRUE(closing == WS_OK || closing == WS_Busy) << WsStatusName(closing);
    std::string got;
    int end = 0;
    ASSERT_TRUE(Pump([&] { return !tls->Read(&got, &end); }, 20000)) << "the close never came";
    EXPECT_NE(end, SSL_ERROR_ZERO_RETURN) << "a cut stream must not end with close_notify";
    EXPECT_TRUE(got == data.substr(0, got.size())) << got.size();
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(Pump([&] { return HasEvent(WS_Closing, WS_SoftClose); }, 200));
    s->ResetConnection();
    events_.clear();
  }
  layer_->SetDataPool(nullptr);
  ::close(fd);
}

// Paced and traced clear transfers copy on the data lane too: the loop
// hands each step its share of the budget (a second carries at most the
// limit), and the calls' trace lines, made on the data thread, reach the
// trace window on the loop, in order, for downloads and uploads.
TEST_F(RWinSocketIO, PacedAndTracedOnDataThreads) {
  test::TempDir dir;
  const std::string data = Pattern(300000);
  const std::string path = dir.File("f.bin");
  const int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  RWorkPool pool(loop_, 1, 4, 2);
  layer_->SetDataPool(&pool);
  std::vector<std::string> lines;
  RWindowId tw = loop_.CreateWindow([&](const RMsg& m) -> intptr_t {
    lines.emplace_back(reinterpret_cast<const char*>(m.lParam));
    return 0;
  });
  const int64_t limit = 100000;
  for (const bool upload : {false, true}) {
    for (const bool traced : {false, true}) {
      SCOPED_TRACE(std::string(upload ? "upload" : "download") + (traced ? ", traced" : ""));
      auto [s, peer] = PlainPeer();
      layer_->SetTrace(traced, tw, kTraceMessage);
      s->SetLocalSpeedLimit(limit);
      lines.clear();
      events_.clear();
      const uint64_t ranBefore = pool.Stats().ran;
      int64_t moved = 0;
      int64_t wrote = 0;
      int fds[2] = {-1, -1};
      const std::string out = dir.File("up.bin");
      const int file = ::open(out.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
      if (upload) {
        ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        ASSERT_EQ(::send(peer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
        ASSERT_EQ(s->ReceiveToFile(fds[0], fds[1], file, static_cast<int64_t>(data.size()), &moved,
                                   &wrote),
                  WS_OK);
      } else {
        ASSERT_EQ(s->SendFile(fd, 0, static_cast<int64_t>(data.size()), &moved), WS_OK);
        SetNonBlocking(peer);
      }
      std::string got;
      std::vector<int64_t> perSecond;
      int64_t last = 0;
      for (int second = 0; second < 8 && !HasEvent(upload ? WS_Receiving : WS_Sending, WS_OK);
           ++second) {
        ASSERT_TRUE(Pump(
            [&] {
              return pool.Idle() &&
                     (moved - last >= limit || moved == static_cast<int64_t>(data.size()));
            },
            20000));
        Settle();
        perSecond.push_back(moved - last);
        last = moved;
        if (!upload) got += ReadNow(peer);
        Ticks(1);
      }
      Settle();
      if (!upload) got += ReadNow(peer);
      EXPECT_EQ(perSecond, (std::vector<int64_t>{100000, 100000, 100000}));
      if (upload) {
        EXPECT_EQ(wrote, moved);
        got.assign(data.size(), '\0');
        EXPECT_EQ(::pread(file, got.data(), got.size(), 0), static_cast<ssize_t>(data.size()));
      }
      EXPECT_TRUE(got == data);
      EXPECT_GE(pool.Stats().ran - ranBefore, data.size() / (16 << 10)) << "steps on the lane";
      size_t calls = 0;
      for (const std::string& l : lines) {
        calls += l.find(upload ? " splice(" : " sendfile(") != std::string::npos ? 1 : 0;
      }
      if (traced) {
        EXPECT_GE(calls, data.size() / (16 << 10));
      } else {
        EXPECT_EQ(calls, 0u);
      }
      layer_->SetTrace(false, 0, 0);
      s->ResetConnection();
      ::close(file);
      if (upload) {
        ::close(fds[0]);
        ::close(fds[1]);
      }
    }
  }
  loop_.DestroyWindow(tw);
  layer_->SetDataPool(nullptr);
  ::close(fd);
}
