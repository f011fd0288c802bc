#include <sys/resource.h>
#include <cstring>

#include "net_fixture.h"

using namespace vantor;
using namespace vantor::nettest;

namespace {
class RWinSocketConn : public NetTest {};
}  // namespace

// Refusals of Listen and AcceptHost, each with its status.
TEST_F(RWinSocketConn, ListenAndAcceptRefusals) {
  RWinSocket* a = NewSocket();
  ASSERT_EQ(a->Listen(0, false, "127.0.0.1"), WS_OK);
  RWinSocket* b = NewSocket();
  EXPECT_EQ(b->Listen(a->GetLocalPort(), false, "127.0.0.1"), WS_PortUsed);
  EXPECT_EQ(b->GetLocalPort(), 0);
  // 192.0.2.0/24 is documentation space: never a local address.
  EXPECT_EQ(b->Listen(0, false, "192.0.2.55"), WS_UnknownIP);
  RWinSocket* c = NewSocket();
  EXPECT_EQ(c->AcceptHost(*a), WS_NoCaller);
  EXPECT_EQ(c->AcceptHost(*b), WS_NoListen);
  RWinSocket* d = NewSocket(WS_DATAGRAM);
  EXPECT_EQ(d->AcceptHost(*a), WS_WrongType);
  EXPECT_EQ(d->InitRecLine(100, 0), WS_WrongType);
  EXPECT_EQ(c->DisconnectHost(0), WS_NotCon);
  EXPECT_EQ(c->GetRemoteIPAddress(), "");
  EXPECT_EQ(c->GetRemotePort(), 0);
  EXPECT_TRUE(events_.empty());
}

// Out of descriptors, AcceptHost answers WS_NoSocket and the listener rests
// instead of announcing the waiting connection again on every pass (an
// owner that retries each announcement would spin); a tick later the
// connection is announced again and accepted.
TEST_F(RWinSocketConn, AcceptOutOfDescriptorsRests) {
  RWinSocket* l = NewSocket();
  ASSERT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
  const int peer = PlainConnect(l->GetLocalPort());
  ASSERT_GE(peer, 0);
  peers_.push_back(peer);
  ASSERT_TRUE(Pump([&] { return HasEvent(WS_Listening, WS_OK); }));
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int refusals = 0;
  int others = 0;
  size_t seen = 0;
  for (int i = 0; i < 50; ++i) {
    while (seen < events_.size()) {
      if (events_[seen++].op != WS_Listening) continue;
      const WsStatus st = NewSocket()->AcceptHost(*l);
      (st == WS_NoSocket ? refusals : others) += 1;
    }
    loop_.RunOnce(2);
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(refusals, 1) << "the listener kept announcing while out of descriptors";
  EXPECT_EQ(others, 0);
  Ticks(2);
  ASSERT_TRUE(Pump([&] { return events_.size() > seen; }));
  EXPECT_EQ(events_.back(), (Ev{WS_Listening, WS_OK, l->Id()}));
  EXPECT_EQ(NewSocket()->AcceptHost(*l), WS_OK);
}

// A listener on port 0 gets a port of the system's choice; a dotted
// CallHost yields exactly one WS_Connecting event; the listener hears
// WS_Listening; both ends know their addresses.
TEST_F(RWinSocketConn, CallHostDotted) {
  RWinSocket* l = NewSocket();
  ASSERT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
  EXPECT_NE(l->GetLocalPort(), 0);
  EXPECT_EQ(l->GetLocalIPAddress(), "127.0.0.1");
  EXPECT_EQ(l->Listen(0, true, nullptr), WS_Busy) << "a second Listen";
  RWinSocket* c = NewSocket();
  ASSERT_EQ(c->CallHost("127.0.0.1", l->GetLocalPort()), WS_OK);
  EXPECT_EQ(c->CallHost("127.0.0.1", l->GetLocalPort()), WS_Busy);
  ASSERT_TRUE(Pump([&] { return EventsOf(c->Id()).size() == 1 && !EventsOf(l->Id()).empty(); }));
  Settle();
  EXPECT_EQ(EventsOf(c->Id()), (std::vector<Ev>{{WS_Connecting, WS_OK, c->Id()}}));
  EXPECT_EQ(EventsOf(l->Id()), (std::vector<Ev>{{WS_Listening, WS_OK, l->Id()}}));
  RSockStatusStr st;
  l->GetStatus(st);
  EXPECT_EQ(st.started, 1);
  EXPECT_EQ(st.connected, 0);
  EXPECT_EQ(st.acceptPending, 1);
  RWinSocket* s = NewSocket();
  ASSERT_EQ(s->AcceptHost(*l), WS_OK);
  l->GetStatus(st);
  EXPECT_EQ(st.acceptPending, 0);
  EXPECT_EQ(st.listening, 1);
  EXPECT_EQ(s->GetRemoteIPAddress(), "127.0.0.1");
  EXPECT_EQ(s->GetRemotePort(), c->GetLocalPort());
  EXPECT_EQ(c->GetRemotePort(), l->GetLocalPort());
  EXPECT_EQ(s->AcceptHost(*l), WS_Busy);
}

// By host name: the look-up is silent, the owner hears only WS_Connecting;
// a name that does not resolve gives WS_Connecting/WS_HostUnknown, a port
// nobody listens on WS_Connecting/WS_ConRefused, each once.
TEST_F(RWinSocketConn, CallHostByNameOrRefused) {
  RWinSocket* l = NewSocket();
  ASSERT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
  RWinSocket* c = NewSocket();
  ASSERT_EQ(c->CallHost("localhost", l->GetLocalPort()), WS_OK);
  ASSERT_TRUE(Pump([&] { return !EventsOf(c->Id()).empty(); }));
  Settle();
  EXPECT_EQ(EventsOf(c->Id()), (std::vector<Ev>{{WS_Connecting, WS_OK, c->Id()}}));

  RWinSocket* bad = NewSocket();
  ASSERT_EQ(bad->CallHost("no-such-host.invalid", 21), WS_OK);
  ASSERT_TRUE(Pump([&] { return !EventsOf(bad->Id()).empty(); }));
  Settle();
  EXPECT_EQ(EventsOf(bad->Id()), (std::vector<Ev>{{WS_Connecting, WS_HostUnknown, bad->Id()}}));

  uint16_t port = 0;
  ::close(PlainListen(&port));  // nothing listens there now
  RWinSocket* refused = NewSocket();
  ASSERT_EQ(refused->CallHost("127.0.0.1", port), WS_OK);
  ASSERT_TRUE(Pump([&] { return !EventsOf(refused->Id()).empty(); }));
  Settle();
  EXPECT_EQ(EventsOf(refused->Id()),
            (std::vector<Ev>{{WS_Connecting, WS_ConRefused, refused->Id()}}));
}

// The connect time-out ends a connection whose look-up has not answered:
// WS_Connecting/WS_Timeout, and nothing more when the answer comes.
TEST_F(RWinSocketConn, ConnectTimeoutBeforeLookup) {
  RWinSocket* c = NewSocket();
  c->SetTimeOut({0, 1, 0, 0, 0}, true);
  ASSERT_EQ(c->CallHost("localhost", 9), WS_OK);
  Ticks(1);  // before the resolver's answer is dispatched
  Pump([&] { return false; }, 50);
  EXPECT_EQ(EventsOf(c->Id()), (std::vector<Ev>{{WS_Connecting, WS_Timeout, c->Id()}}));
}

// Forward and reverse look-ups, the cut to size - 1, busy and empty text.
TEST_F(RWinSocketConn, DNSLookup) {
  RWinSocket* s = NewSocket();
  char fwd[64] = "localhost";
  ASSERT_EQ(s->DNSLookup(fwd, sizeof(fwd)), WS_OK);
  char other[64] = "localhost";
  EXPECT_EQ(s->DNSLookup(other, sizeof(other)), WS_Busy);
  ASSERT_TRUE(Pump([&] { return !events_.empty(); }));
  EXPECT_STREQ(fwd, "127.0.0.1");
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Service, WS_OK, s->Id()}}));

  events_.clear();
  char rev[64] = "127.0.0.1";
  ASSERT_EQ(s->DNSLookup(rev, sizeof(rev)), WS_OK);
  ASSERT_TRUE(Pump([&] { return !events_.empty(); }));
  EXPECT_STREQ(rev, "localhost");

  // "127.1" is not four fields, so it is looked up forward; the answer
  // "127.0.0.1" is cut to size - 1 characters.
  events_.clear();
  char shortBuf[6] = "127.1";
  ASSERT_EQ(s->DNSLookup(shortBuf, sizeof(shortBuf)), WS_OK);
  ASSERT_TRUE(Pump([&] { return !events_.empty(); }));
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Service, WS_OK, s->Id()}}));
  EXPECT_STREQ(shortBuf, "127.0");

  events_.clear();
  char unknown[32] = "no-such-host.invalid";
  ASSERT_EQ(s->DNSLookup(unknown, sizeof(unknown)), WS_OK);
  ASSERT_TRUE(Pump([&] { return !events_.empty(); }));
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Service, WS_HostUnknown, s->Id()}}));
  EXPECT_STREQ(unknown, "no-such-host.invalid");

  char empty[8] = "";
  EXPECT_EQ(s->DNSLookup(empty, sizeof(empty)), WS_Error);
}

// DisconnectHost(5) returns WS_Busy and closes on the fifth tick.
TEST_F(RWinSocketConn, DelayedClose) {
  auto [c, peer] = PlainPeer();
  EXPECT_EQ(c->DisconnectHost(5), WS_Busy);
  Ticks(4);
  EXPECT_TRUE(events_.empty());
  RSockStatusStr st;
  c->GetStatus(st);
  EXPECT_EQ(st.connected, 1);
  Ticks(1);
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Closing, WS_SoftClose, c->Id()}}));
  char b;
  EXPECT_EQ(::recv(peer, &b, 1, 0), 0);  // the peer sees an orderly end
  EXPECT_EQ(c->DisconnectHost(0), WS_NotCon);
}

// With the owner's queue full, events wait in the deferred queue and arrive
// later in the order they were produced.
class RWinSocketSmallQueue : public NetTest {
 protected:
  RWinSocketSmallQueue() : NetTest(64) {}
};

// A socket destroyed with events still deferred takes them along; events
// for an owner window that is gone do not hold up the others.
TEST_F(RWinSocketSmallQueue, DeferredEventsOfTheDeadAreDropped) {
  auto [c, peer] = PlainPeer();
  Settle();
  RWindowId gone = loop_.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  RWinSocket* orphan = NewSocket();
  orphan->SetOwner(gone, kOwnerMessage);
  RWindowId sink = loop_.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  while (loop_.PostMessage(sink, 1, 0, 0)) {
  }
  // The orphan's event first, then the live socket's.
  ASSERT_EQ(orphan->Listen(0, true, "127.0.0.1"), WS_OK);
  orphan->Abort(WS_TYPE_LIST);
  ASSERT_EQ(c->InitSendLine(10), WS_OK);
  EXPECT_EQ(layer_->DeferredCount(), 2u);
  loop_.DestroyWindow(gone);
  loop_.RunPending();
  Ticks(1);
  loop_.RunPending();
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Sending, WS_OK, c->Id()}}));

  while (loop_.PostMessage(sink, 1, 0, 0)) {
  }
  c->Abort(WS_TYPE_ALL);  // nothing under way: no event
  ASSERT_EQ(c->DisconnectHost(0), WS_OK);
  EXPECT_EQ(layer_->DeferredCount(), 1u);
  sockets_.erase(
      std::find_if(sockets_.begin(), sockets_.end(), [&](const auto& p) { return p.get() == c; }));
  EXPECT_EQ(layer_->DeferredCount(), 0u);
  loop_.DestroyWindow(sink);
}

// Trace lines go synchronously to the trace window with the socket's tag;
// calls and results are named as WinSock names them.
TEST_F(RWinSocketConn, TraceLines) {
  std::vector<std::pair<intptr_t, std::string>> lines;
  RWindowId tw = loop_.CreateWindow([&](const RMsg& m) -> intptr_t {
    lines.emplace_back(static_cast<intptr_t>(m.wParam), reinterpret_cast<const char*>(m.lParam));
    return 0;
  });
  layer_->SetTrace(true, tw, kTraceMessage);
  ASSERT_TRUE(layer_->TraceOn());
  RWinSocket* l = NewSocket();
  ASSERT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
  const std::string id = std::to_string(l->Id());
  auto has = [&](const std::string& prefix) {
    for (auto& [tag, text] : lines) {
      if (text.rfind(prefix, 0) == 0) return tag == 7;
    }
    return false;
  };
  EXPECT_TRUE(has("Sock ID=" + id + " socket(PF_INET,SOCK_STREAM,0) --> "));
  EXPECT_TRUE(has("Sock ID=" + id + " setsockopt("));
  EXPECT_TRUE(has("Sock ID=" + id + " inet_addr(127.0.0.1) --> 0x100007F"));
  EXPECT_TRUE(has("Sock ID=" + id + " ioctlsocket("));
  EXPECT_TRUE(has("Sock ID=" + id + " WSAAsyncSelect("));
  EXPECT_EQ(lines.back().second, "Sock ID=" + id + " Listen(0,1,127.0.0.1) --> WS_OK");

  const uint16_t port = l->GetLocalPort();
  lines.clear();
  RWinSocket* b = NewSocket();
  EXPECT_EQ(b->Listen(port, false, "127.0.0.1"), WS_PortUsed);
  const std::string bid = std::to_string(b->Id());
  bool bindLine = false;
  for (auto& [tag, text] : lines) {
    if (text.rfind("Sock ID=" + bid + " bind(", 0) == 0) {
      bindLine = text.ends_with("--> -1 (WSAEADDRINUSE)");
    }
  }
  EXPECT_TRUE(bindLine);
  EXPECT_EQ(lines.back().second,
            "Sock ID=" + bid + " Listen(" + std::to_string(port) + ",0,127.0.0.1) --> WS_PortUsed");
  lines.clear();
  layer_->SetSpeedLimit(-3);
  EXPECT_EQ(lines.back(), (std::pair<intptr_t, std::string>{-1, "Sock ID=0 SetSpeedLimit(-3)"}));
  b->Abort(WS_TYPE_SEND);
  EXPECT_EQ(lines.back().second, "Sock ID=" + bid + " Abort(WS_TYPE_SEND)");
  b->SetTimeOut({0, 30, 0, -5, 0}, true);
  EXPECT_EQ(lines.back().second, "Sock ID=" + bid + " SetTimeOut({0,30,0,-5,0},1)");

  loop_.DestroyWindow(tw);
  layer_->EnableTrace(true);  // the trace window is gone: stays off
  EXPECT_FALSE(layer_->TraceOn());
}

// Without a started layer every operation answers WS_NoSockLib; after
// CleanupSockLib too.
TEST_F(RWinSocketConn, NoSockLib) {
  RWinSocket orphan(owner_, kOwnerMessage, WS_STREAM);
  EXPECT_EQ(orphan.Listen(0, true), WS_NoSockLib);
  EXPECT_EQ(orphan.CallHost("127.0.0.1", 21), WS_NoSockLib);
  char b[8];
  EXPECT_EQ(orphan.ReceiveBlock(b, 8, nullptr, 0), WS_NoSockLib);

  RWinSocket* s = NewSocket();
  ASSERT_EQ(s->Listen(0, true, "127.0.0.1"), WS_OK);
  layer_->CleanupSockLib();
  EXPECT_FALSE(layer_->Started());
  EXPECT_EQ(layer_->MaxSockets(), 0u);
  EXPECT_EQ(s->Listen(0, true), WS_NoSockLib);
  EXPECT_EQ(s->SendBlock(b, 8, nullptr), WS_NoSockLib);
  EXPECT_EQ(loop_.WatchedFdCount(), 0u);
}

// The process-wide layer serves sockets built without one; a layer that
// goes stops being it.
TEST_F(RWinSocketConn, ProcessLayer) {
  RSocketLayer::SetProcess(layer_.get());
  {
    RWinSocket s(owner_, kOwnerMessage, WS_STREAM);
    EXPECT_EQ(s.Layer(), layer_.get());
    EXPECT_EQ(s.Listen(0, true, "127.0.0.1"), WS_OK);
    EXPECT_EQ(layer_->SocketCount(), 1u);
    EXPECT_GT(layer_->MaxSockets(), 0u);
  }
  EXPECT_EQ(layer_->SocketCount(), 0u);
  layer_.reset();
  EXPECT_EQ(RSocketLayer::Process(), nullptr);
}

// Local addresses: the list holds loopback; the single form never "0.0.0.0".
TEST_F(RWinSocketConn, LocalAddresses) {
  RWinSocket* s = NewSocket();
  std::vector<std::string> all = s->GetLocalIPAddressList(64);
  EXPECT_NE(std::find(all.begin(), all.end(), "127.0.0.1"), all.end());
  EXPECT_EQ(s->GetLocalIPAddressList(1).size(), 1u);
  std::string one = s->GetLocalIPAddress();
  EXPECT_FALSE(one.empty());
  EXPECT_NE(one, "0.0.0.0");
}

namespace {
// Records what the layer tells a subclass through EventProc.
class RecordingSocket : public RWinSocket {
 public:
  using RWinSocket::RWinSocket;
  std::vector<int> calls;
  void EventProc(WsStatus status) override { calls.push_back(status); }
};
}  // namespace
