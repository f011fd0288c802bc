// RWinSocket: construction, connections, look-ups, closing, addresses.
// The data side and the one-second tick are in RWinSocketIO.cpp.
#include "net/RWinSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/RNetStrings.h"
#include "net/RResolver.h"
#include "net/RSockCalls.h"
#include "platform/RLocalAddrs.h"
#include "platform/RWorkPool.h"
#include "util/RFormat.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// Room for a burst of connections while the loop is busy elsewhere. With
// only 50, a burst of 200 overflowed the accept queue: the kernel answered
// the overflow with SYN cookies, dropped the completing ACK, and the client
// sat "connected" waiting for a greeting that never came. 511 is what the
// common servers ask for; the kernel caps it at net.core.somaxconn.
constexpr int kBacklog = 511;
constexpr int kListenHealthSeconds = 180;
constexpr int kHostNameSize = 500;
constexpr int64_t kCloseRetrySeconds = 15;
// Ticks a listener rests after running out of descriptors (at least one
// whole second).
constexpr int32_t kAcceptPauseTicks = 2;

const char* AbortName(int selector) {
  switch (selector) {
    case WS_TYPE_ALL:
      return "WS_TYPE_ALL";
    case WS_TYPE_SEND:
      return "WS_TYPE_SEND";
    case WS_TYPE_REC:
      return "WS_TYPE_REC";
    case WS_TYPE_CON:
      return "WS_TYPE_CON";
    case WS_TYPE_SERV:
      return "WS_TYPE_SERV";
    case WS_TYPE_LIST:
      return "WS_TYPE_LIST";
    default:
      return "?????";
  }
}

const char* OrNull(const char* s) {
  return s != nullptr ? s : "NULL";
}

std::string AddrText(in_addr a) {
  return FormatIPv4(ntohl(a.s_addr));
}

bool Usable(const std::string& ip) {
  return !ip.empty() && ip != "0.0.0.0" && ip != "::";
}

}  // namespace

// --- construction ----------------------------------------------------------------

RWinSocket::RWinSocket(RSocketLayer* layer, RWindowId ownerWindow, uint32_t ownerMessage, int kind,
                       int32_t traceTag)
    : layer_(layer != nullptr ? layer : RSocketLayer::Process()),
      traceTag_(traceTag),
      kind_(kind == WS_DATAGRAM ? WS_DATAGRAM : WS_STREAM),
      ownerWindow_(ownerWindow),
      ownerMessage_(ownerMessage) {
  if (layer_ == nullptr) return;
  if (!layer_->Started()) (void)layer_->Start();
  layer_->sockets_.PushFront(this);
  id_ = layer_->nextId_++;
  layer_->byId_[id_] = this;
}

RWinSocket::RWinSocket(RWindowId ownerWindow, uint32_t ownerMessage, int kind, int32_t traceTag)
    : RWinSocket(nullptr, ownerWindow, ownerMessage, kind, traceTag) {}

RWinSocket::~RWinSocket() {
  if (layer_ == nullptr) return;
  CancelLookup();
  ResetConnection();
  if (localLimitOn_) layer_->CountLocalLimit(-1);
  layer_->ForgetSocketEvents(id_);
  layer_->byId_.erase(id_);
  layer_->sockets_.Unlink(this);
}

void RWinSocket::SetOwner(RWindowId window, uint32_t message) {
  ownerWindow_ = window;
  ownerMessage_ = message;
}

bool RWinSocket::Ready() const {
  return layer_ != nullptr && layer_->Started();
}

bool RWinSocket::Tracing() const {
  return layer_ != nullptr && layer_->TraceOn();
}

void RWinSocket::TraceLine(const std::string& text) const {
  layer_->Trace(traceTag_, text);
}

RSockCalls RWinSocket::Calls() const {
  return RSockCalls(layer_, id_, traceTag_);
}

void RWinSocket::Notify(int operation, int status) {
  if (layer_ != nullptr) layer_->PostOwnerEvent(*this, WsEventParam(operation, status));
}

void RWinSocket::PostSelf(uint32_t event) {
  if (layer_ == nullptr || handle_ < 0) return;
  if (event == FD_WRITE) {
    // Marked, so a paced send keeps exactly one step in flight however many
    // readiness reports turn up meanwhile.
    ++stepsQueued_;
    event |= RSocketLayer::kSelfPosted;
  }
  layer_->PostSelf(selectMessage_, static_cast<uintptr_t>(handle_), RSelectReply(event, 0));
}

// --- handles -------------------------------------------------------------------------

WsStatus RWinSocket::OpenHandle(int type, int family) {
  RSockCalls c = Calls();
  int fd = c.Socket(type, family);
  if (fd < 0) return MapWinSockError(c.err);
  handle_ = fd;
  recvLowat_ = 1;
  selectMessage_ = layer_->NewSelectMessage();
  stepsQueued_ = 0;
  layer_->handles_[fd] = this;
  return WS_OK;
}

WsStatus RWinSocket::Arm(uint32_t events, bool nonBlocking, uint32_t readyNow) {
  RSockCalls c = Calls();
  if (!nonBlocking && c.NonBlock(handle_) != 0) return WS_Error;
  if (c.AsyncSelect(handle_, layer_->hidden_, selectMessage_, events, readyNow) != 0) {
    return WS_Error;
  }
  return WS_OK;
}

void RWinSocket::CloseHandle(bool abortive) {
  // A file step on a data thread stops after its current call; its copy of
  // the descriptor then makes the last close, with the linger set here.
  if (sendStep_) sendStep_->Cancel();
  if (recvStep_) recvStep_->Cancel();
  sendStep_.reset();
  recvStep_.reset();
  send_.offloaded = false;
  recv_.offloaded = false;
  // The steps' copies go with the last step; a step still out closes them
  // on its thread when its current call returns.
  recvFds_.reset();
  recvPipeFds_.reset();
  sendFds_.reset();
  // What a step out took from the speed budgets is not spent now.
  ReturnBudgets(sendReserved_);
  ReturnBudgets(recvReserved_);
  // Whoever waited for the step hears of it now: its result never comes.
  RunAfterStep();
  if (handle_ < 0) return;
  RSockCalls c = Calls();
  c.Unregister(handle_, layer_->hidden_, selectMessage_);
  havePeer_ = false;
  if (tlsLent_) {
    // The stream is on a data thread: no close_notify can be written now.
  } else if (tls_ && tls_->PeerClosed()) {
    // The peer ended its side with close_notify and may wait for ours (a
    // client's unwrap after an upload): answer it and close gracefully,
    // nothing is cut off.
    (void)tls_->Shutdown();
    abortive = false;
  } else if (!tls_ && close_.peerEnded && !send_.active && !close_.sendCut) {
    // The peer sent everything and its FIN, and nothing of ours was cut: a
    // reset now would reach a client still waiting for our FIN as an error
    // on an upload that was stored.
    abortive = false;
  }
  if (kind_ == WS_STREAM && abortive) {
    // Only the reset: a FIN sent first would let the peer take a cut-off
    // transfer for a complete one.
    (void)c.SetLinger(handle_, true, 0);
  }
  layer_->ForgetHandle(handle_, selectMessage_);
  if (tlsLent_) {
    OrphanTlsStep();  // the step closes the descriptor once it let go of it
  } else {
    (void)c.Close(handle_);
  }
  handle_ = -1;
  DropTls();
}

void RWinSocket::ResetConnection() {
  if (layer_ != nullptr) CloseHandle(true);
  listening_ = send_.active = recv_.active = connected_ = false;
  bytesSent_ = bytesReceived_ = 0;
  // A reused socket starts clean: no line modes, close attempt or peer close
  // of the previous connection carries over.
  acceptPending_ = false;
  acceptPause_ = 0;
  close_.peerClosed = false;
  close_.eofPending = false;
  close_.peerEnded = close_.sendCut = false;
  close_.tlsClosing = false;
  tlsStepReset_ = false;
  keepAliveOn_ = keepAliveAccepted_ = false;
  recvLowat_ = 1;
  close_.attempt = false;
  send_.lines = recv_.lines = recv_.lineReady = recv_.streaming = false;
  recv_.discardOverlong = recv_.skippingLine = false;
  sendLine_.reset();
  recLine_.reset();
  fileFd_ = -1;
  sendLeft_ = 0;
  sentCounter_ = nullptr;
  recCounter_ = nullptr;
  haveSender_ = false;
}

// --- listening and accepting -------------------------------------------------------------

WsStatus RWinSocket::Listen(uint16_t port, bool reuseAddress, const char* localIp) {
  WsStatus st = DoListen(port, reuseAddress, localIp);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_LISTEN, id_, port, reuseAddress ? 1 : 0, OrNull(localIp),
                        WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::DoListen(uint16_t port, bool reuseAddress, const char* localIp) {
  if (!Ready()) return WS_NoSockLib;
  if (send_.active || recv_.active || connecting_ || listening_ || connected_) return WS_Busy;
  acceptPending_ = false;
  listenHealth_ = kListenHealthSeconds;
  if (autoReset_) idleSeconds_ = 0;
  ResetConnection();
  const int type = kind_ == WS_STREAM ? SOCK_STREAM : SOCK_DGRAM;
  const bool anyAddress = localIp == nullptr || *localIp == '\0';
  RSockCalls c = Calls();
  RSockAddr a{};
  WsStatus st = WS_OK;
  if (anyAddress && kind_ == WS_STREAM) {
    // One dual-stack socket takes both families; a machine without IPv6
    // refuses the socket and gets the IPv4 one.
    st = OpenHandle(type, AF_INET6);
    if (st == WS_OK) {
      (void)c.SetOpt(handle_, IPPROTO_IPV6, IPV6_V6ONLY, 0);
      a.v6.sin6_family = AF_INET6;
      a.v6.sin6_port = c.Htons(port);
      a.v6.sin6_addr = in6addr_any;
    }
  }
  if (handle_ < 0) {
    if (!anyAddress && !c.MakeAddr(localIp, port, a)) return WS_UnknownIP;
    if (anyAddress) {
      a.v4.sin_family = AF_INET;
      a.v4.sin_port = c.Htons(port);
      a.v4.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    st = OpenHandle(type, a.sa.sa_family);
  }
  if (st != WS_OK) return st;
  if (reuseAddress) (void)c.SetOpt(handle_, SOL_SOCKET, SO_REUSEADDR, 1);
  if (c.Bind(handle_, a) != 0) {
    st = MapWinSockError(c.err);
    CloseHandle(true);
    return st;
  }
  if (Arm(kind_ == WS_STREAM ? (FD_ACCEPT | FD_CLOSE) : (FD_READ | FD_WRITE)) != WS_OK) {
    CloseHandle(true);
    return WS_Error;
  }
  if (kind_ == WS_DATAGRAM) {
    connected_ = true;
    return WS_OK;
  }
  // No SO_LINGER here: accepted connections would inherit the reset and
  // send it after a complete transfer too. The abortive close sets it.
  listening_ = true;
  listenStatus_ = WS_OK;
  if (autoReset_) counters_[WS_TO_LISTEN] = 0;
  if (c.Listen(handle_, kBacklog) != 0 && c.err != WSAEWOULDBLOCK) {
    listenStatus_ = MapWinSockError(c.err);
    listening_ = false;
    return static_cast<WsStatus>(listenStatus_);
  }
  return WS_OK;
}

WsStatus RWinSocket::AcceptHost(RWinSocket& listener) {
  WsStatus st = DoAccept(listener);
  if (Tracing()) TraceLine(FormatStr(STR_NET_OP_ACCEPTHOST, id_, listener.id_, WsStatusName(st)));
  return st;
}

WsStatus RWinSocket::DoAccept(RWinSocket& listener) {
  if (!Ready()) return WS_NoSockLib;
  if (kind_ != WS_STREAM) return WS_WrongType;
  if (listening_ || send_.active || recv_.active || connected_) return WS_Busy;
  if (&listener == this || listener.layer_ != layer_ || listener.handle_ < 0 ||
      !listener.listening_) {
    return WS_NoListen;
  }
  listener.acceptPending_ = false;
  ResetConnection();
  RSockCalls c = Calls();
  RSockAddr peer{};
  int fd = c.Accept(listener.handle_, &peer);
  if (fd < 0 && (c.err == WSAEMFILE || c.err == WSAENOBUFS)) {
    // Out of descriptors (or memory): the connection stays queued and the
    // loop would announce it again at once, round after round. The listener
    // rests until its tick re-enables it; the sessions that exist go on.
    listener.acceptPause_ = kAcceptPauseTicks;
    return WS_NoSocket;
  }
  // Let the loop announce the next waiting connection (or this one again).
  layer_->loop_.Reenable(listener.handle_, FD_ACCEPT);
  if (fd < 0) return c.err == WSAEWOULDBLOCK ? WS_NoCaller : MapWinSockError(c.err);
  handle_ = fd;
  recvLowat_ = 1;
  selectMessage_ = layer_->NewSelectMessage();
  stepsQueued_ = 0;
  layer_->handles_[fd] = this;
  acceptedPeer_ = peer;
  havePeer_ = true;
  keepAliveOn_ = listener.keepAliveAccepted_;
  // A fresh connection has its whole send buffer free.
  if (Arm(FD_READ | FD_WRITE | FD_CLOSE, true, FD_WRITE) != WS_OK) {
    CloseHandle(true);
    return WS_Error;
  }
  if (autoReset_) {
    listener.counters_[WS_TO_LISTEN] = 0;
    listener.idleSeconds_ = 0;
    idleSeconds_ = 0;
  }
  connected_ = true;
  return WS_OK;
}

WsStatus RWinSocket::KeepAliveForAccepted() {
  if (!listening_ || handle_ < 0) return WS_NoListen;
  RSockCalls c = Calls();
  if (c.SetOpt(handle_, SOL_SOCKET, SO_KEEPALIVE, 1) != 0) return MapWinSockError(c.err);
  keepAliveAccepted_ = true;
  return WS_OK;
}

WsStatus RWinSocket::NoDelayForAccepted() {
  if (!listening_ || handle_ < 0) return WS_NoListen;
  RSockCalls c = Calls();
  if (c.SetOpt(handle_, IPPROTO_TCP, TCP_NODELAY, 1) != 0) return MapWinSockError(c.err);
  return WS_OK;
}

void RWinSocket::AcceptEvent(int error) {
  if (!listening_) return;
  listenStatus_ = MapWinSockError(error);
  acceptPending_ = listenStatus_ == WS_OK;
  Notify(WS_Listening, listenStatus_);
  EventProc(WS_Listening);
}

// --- connecting ------------------------------------------------------------------------------

WsStatus RWinSocket::CallHost(const char* host, uint16_t remotePort, uint16_t localPort,
                              const char* localIp) {
  WsStatus st = DoCallHost(host, remotePort, localPort, localIp);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_CALLHOST, id_, OrNull(host), remotePort, localPort,
                        OrNull(localIp), WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::DoCallHost(const char* host, uint16_t remotePort, uint16_t localPort,
                                const char* localIp) {
  if (!Ready()) return WS_NoSockLib;
  if (connecting_ || listening_ || send_.active) return WS_Busy;
  if (kind_ == WS_STREAM && (recv_.active || connected_)) return WS_Busy;
  if (host == nullptr) host = "";
  if (autoReset_) idleSeconds_ = 0;
  RSockCalls c = Calls();
  localPort_ = localPort;
  localAddr_ = RSockAddr{};
  if (localIp != nullptr && *localIp != '\0' && !c.MakeAddr(localIp, 0, localAddr_)) {
    localAddr_ = RSockAddr{};
  }
  lookup_.connectAfter = false;
  remoteKnown_ = c.MakeAddr(host, remotePort, remote_);

  if (kind_ == WS_STREAM) {
    connecting_ = true;
    if (remoteKnown_) return StartConnection();
    lookup_.connectAfter = true;
    if (!hostName_) hostName_ = std::make_unique<char[]>(kHostNameSize);
    std::snprintf(hostName_.get(), kHostNameSize, "%.499s", host);
    WsStatus st = DNSLookup(hostName_.get(), kHostNameSize);
    if (st == WS_OK) lookup_.silent = true;
    return st;
  }

  if (!remoteKnown_) return WS_HostUnknown;
  ResetConnection();
  WsStatus st = OpenHandle(SOCK_DGRAM, remote_.sa.sa_family);
  if (st != WS_OK) return st;
  RSockAddr a{};
  if (LocalBinding(c, a)) {
    (void)c.SetOpt(handle_, SOL_SOCKET, SO_REUSEADDR, 1);
    if (c.Bind(handle_, a) != 0) {
      st = MapWinSockError(c.err);
      CloseHandle(true);
      return st;
    }
  }
  if (Arm(FD_READ | FD_WRITE) != WS_OK) {
    CloseHandle(true);
    return WS_Error;
  }
  connected_ = true;
  return WS_OK;
}

bool RWinSocket::LocalBinding(RSockCalls& c, RSockAddr& out) const {
  const bool sameFamily = localAddr_.sa.sa_family == remote_.sa.sa_family;
  const bool haveAddr = sameFamily && !SockAddrAny(localAddr_);
  if (localPort_ == 0 && !haveAddr) return false;
  out = RSockAddr{};
  if (haveAddr) out = localAddr_;
  out.sa.sa_family = remote_.sa.sa_family;
  if (out.sa.sa_family == AF_INET6) {
    out.v6.sin6_port = c.Htons(localPort_);
  } else {
    out.v4.sin_port = c.Htons(localPort_);
  }
  return true;
}

WsStatus RWinSocket::StartConnection() {
  if (!connecting_) return WS_Error;
  const bool deferred = lookup_.connectAfter;
  lookup_.connectAfter = false;
  RSockCalls c = Calls();
  if (deferred && lookupStatus_ == WS_OK && hostName_) {
    remoteKnown_ = c.MakeAddr(hostName_.get(), SockAddrPort(remote_), remote_);
  }
  if (!remoteKnown_) {
    connecting_ = false;
    connectStatus_ = WS_HostUnknown;
    if (deferred) Notify(WS_Connecting, WS_HostUnknown);
    return WS_HostUnknown;
  }
  auto fail = [&](WsStatus st) {
    connecting_ = false;
    connectStatus_ = st;
    CloseHandle(true);
    if (deferred) Notify(WS_Connecting, st);
    return st;
  };
  ResetConnection();
  WsStatus st = OpenHandle(SOCK_STREAM, remote_.sa.sa_family);
  if (st != WS_OK) return fail(st);
  RSockAddr a{};
  if (LocalBinding(c, a)) {
    (void)c.SetOpt(handle_, SOL_SOCKET, SO_REUSEADDR, 1);
    if (c.Bind(handle_, a) != 0) return fail(MapWinSockError(c.err));
  }
  if (Arm(FD_CONNECT | FD_CLOSE) != WS_OK) return fail(WS_Error);
  if (autoReset_) counters_[WS_TO_CONNECT] = 0;
  if (c.Connect(handle_, remote_) != 0 && c.err != WSAEWOULDBLOCK)
    return fail(MapWinSockError(c.err));
  return WS_OK;
}

void RWinSocket::ConnectEvent(int error) {
  if (!connecting_ || handle_ < 0) return;
  WsStatus st = MapWinSockError(error);
  if (error == 0) {
    connected_ = true;
    close_.peerClosed = false;
    RSockCalls c = Calls();
    if (c.AsyncSelect(handle_, layer_->hidden_, selectMessage_, FD_READ | FD_WRITE | FD_CLOSE) !=
        0) {
      st = WS_Error;
    }
  }
  connectStatus_ = st;
  Notify(WS_Connecting, st);
  connecting_ = false;
  EventProc(WS_Connecting);
  if (autoReset_) {
    counters_[WS_TO_CONNECT] = 0;
    idleSeconds_ = 0;
  }
}

// --- look-ups ----------------------------------------------------------------------------------

WsStatus RWinSocket::DNSLookup(char* buffer, int size) {
  WsStatus st = DoLookup(buffer, size);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_DNSLOOKUP, id_, buffer != nullptr ? buffer : "", size,
                        WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::DoLookup(char* buffer, int size) {
  if (!Ready()) return WS_NoSockLib;
  if (lookup_.running) return WS_Busy;
  if (buffer == nullptr || size < 1 || buffer[0] == '\0') return WS_Error;
  lookup_.silent = false;
  lookupStatus_ = WS_Service;
  if (autoReset_) counters_[WS_TO_LOOKUP] = 0;
  resultBuf_ = buffer;
  resultSize_ = size;
  std::string text(buffer, strnlen(buffer, static_cast<size_t>(size)));
  int a = 0, b = 0, c = 0, d = 0;
  in6_addr v6{};
  lookup_.reverse = std::sscanf(text.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d) == 4 ||
                    ::inet_pton(AF_INET6, text.c_str(), &v6) == 1;
  int handle = layer_->resolver_ != nullptr ? layer_->resolver_->Submit(lookup_.reverse, text) : 0;
  if (Tracing()) {
    if (lookup_.reverse) {
      in_addr ia{};
      ::inet_pton(AF_INET, text.c_str(), &ia);
      TraceLine(FormatStr(STR_NET_C_BYADDR, id_, static_cast<int>(layer_->hidden_),
                          static_cast<unsigned>(WM_SocketService), ia.s_addr, 4, AF_INET, 0u, 1024,
                          handle, handle != 0 ? "OK" : "WSAENOBUFS"));
    } else {
      TraceLine(FormatStr(STR_NET_C_BYNAME, id_, static_cast<int>(layer_->hidden_),
                          static_cast<unsigned>(WM_SocketService), text, 0u, 1024, handle,
                          handle != 0 ? "OK" : "WSAENOBUFS"));
    }
  }
  if (handle == 0) {
    lookupStatus_ = WS_NoSocket;
    return WS_NoSocket;
  }
  lookupHandle_ = handle;
  lookup_.running = true;
  layer_->lookups_[handle] = this;
  return WS_OK;
}

void RWinSocket::LookupDone(int error, const std::string& answer) {
  lookupStatus_ = MapWinSockError(error);
  if (lookupStatus_ == WS_OK && resultBuf_ != nullptr && resultSize_ > 0) {
    size_t n = std::min(answer.size(), static_cast<size_t>(resultSize_ - 1));
    std::memcpy(resultBuf_, answer.data(), n);
    resultBuf_[n] = '\0';
  }
  lookup_.running = false;
  layer_->lookups_.erase(lookupHandle_);
  lookupHandle_ = 0;
  if (!lookup_.silent) Notify(WS_Service, lookupStatus_);
  if (lookup_.connectAfter) (void)StartConnection();
  lookup_.connectAfter = false;
  lookup_.silent = false;
  EventProc(WS_Service);
  if (autoReset_) counters_[WS_TO_LOOKUP] = 0;
}

void RWinSocket::CancelLookup() {
  if (!lookup_.running) return;
  if (layer_->resolver_ != nullptr) layer_->resolver_->Cancel(lookupHandle_);
  if (Tracing()) TraceLine(FormatStr(STR_NET_C_CANCEL, id_, lookupHandle_, 0, "OK"));
  lookup_.running = false;
  layer_->lookups_.erase(lookupHandle_);
  lookupHandle_ = 0;
}

// --- closing
// --------------------------------------------------------------------------------------

WsStatus RWinSocket::DisconnectHost(int delaySeconds) {
  WsStatus st = DoDisconnect(delaySeconds);
  if (Tracing()) {
    TraceLine(FormatStr(STR_NET_OP_DISCONNECT, id_, delaySeconds, WsStatusName(st)));
  }
  return st;
}

WsStatus RWinSocket::DoDisconnect(int delaySeconds) {
  if (!Ready()) return WS_NoSockLib;
  if (!connected_) return WS_NotCon;
  if (delaySeconds > 0) {
    delayedClose_ = delaySeconds;
    return WS_Busy;
  }
  listening_ = send_.active = recv_.active = false;
  if (autoReset_) idleSeconds_ = 0;
  int64_t now = layer_->loop_.Clock().WallSeconds();
  if (now < 1) now = -25;
  if (close_.attempt && now - closeAttemptStart_ > kCloseRetrySeconds) {
    ResetConnection();
    Notify(WS_Closing, WS_Timeout);
    return WS_OK;
  }
  if (!close_.attempt) {
    close_.attempt = true;
    closeAttemptStart_ = now;
  }
  // close_notify tells the peer the stream ended here and was not cut, so
  // it must precede the FIN: with the socket full it waits for room as any
  // write does (bounded by the close attempt's time above).
  if (TlsCloseWaits()) return WS_Busy;
  RSockCalls c = Calls();
  c.Unregister(handle_, layer_->hidden_, selectMessage_);
  havePeer_ = false;
  if (kind_ == WS_STREAM) {
    // No lingering close: it would block the loop thread, and the kernel
    // finishes sending in the background anyway.
    DiscardUnread();
    (void)c.Shutdown(handle_, SHUT_RD);
    (void)c.Shutdown(handle_, SHUT_WR);
  }
  layer_->ForgetHandle(handle_, selectMessage_);
  // close() releases the descriptor whatever it returns, so there is never
  // anything left to retry.
  (void)c.Close(handle_);
  handle_ = -1;
  DropTls();
  Notify(WS_Closing, WS_SoftClose);
  connected_ = false;
  close_.attempt = false;
  delayedClose_ = 0;
  return WS_OK;
}

bool RWinSocket::TlsCloseWaits() {
  close_.tlsClosing = false;
  if (tlsLent_) {
    // close_notify must follow the records the step is writing: the close
    // goes on when the stream comes back (TlsSendDone).
    StopTlsStep();
    close_.tlsClosing = true;
    return true;
  }
  if (kind_ != WS_STREAM || !tls_ || tls_->Shutdown() != RTlsResult::WantWrite) return false;
  // Input is no longer read; FD_WRITE (or the tick) carries the close on.
  close_.tlsClosing = true;
  layer_->loop_.Reenable(handle_, FD_WRITE);
  return true;
}

void RWinSocket::DiscardUnread() {
  // Closing with unread input makes the kernel send a reset, and a reset can
  // destroy the last bytes we sent before the peer read them. Whatever the
  // peer sent that nobody asked for is read and dropped (bounded).
  char sink[4096];
  for (int i = 0; i < 64; ++i) {
    ssize_t n = ::recv(handle_, sink, sizeof(sink), MSG_DONTWAIT);
    if (n <= 0) break;
  }
}

void RWinSocket::PeerClose(int error) {
  if (close_.peerClosed || !connected_) return;
  if (autoReset_) idleSeconds_ = 0;
  // A data thread's read may have taken the reset's error from the socket
  // before this close was reported: it still is a reset.
  const int wsa = tlsStepReset_ ? WSAECONNRESET : ErrnoToWinSock(error);
  closeStatus_ = wsa != 0 ? MapWinSockError(wsa) : WS_SoftClose;
  close_.peerEnded = closeStatus_ == WS_SoftClose;
  if (close_.eofPending) {
    // The receive handler has already read to the end of the stream.
    close_.eofPending = false;
    EndConnection();
    return;
  }
  if (closeStatus_ != WS_SoftClose && !recv_.active) {
    EndConnection();
    return;
  }
  close_.peerClosed = true;
  PostSelf(FD_READ);
}

void RWinSocket::EndConnection() {
  if (tlsHandshaking_) {
    // StartTls promised one WS_Securing event: a connection that ends under
    // its handshake (a reset the handshake never got to read) is a failed
    // handshake, and an owner waiting for that event must not wait on.
    tlsHandshaking_ = false;
    if (tlsFailure_.empty()) tlsFailure_ = "connection lost";
    Notify(WS_Securing, WS_Error);
  }
  close_.tlsClosing = false;
  if (send_.active) close_.sendCut = true;
  listenStatus_ = connectStatus_ = sendStatus_ = recStatus_ = closeStatus_;
  connected_ = false;
  if (listening_) Notify(WS_Listening, closeStatus_);
  if (connecting_) Notify(WS_Connecting, closeStatus_);
  if (send_.active) Notify(WS_Sending, closeStatus_);
  if (recv_.active) Notify(WS_Receiving, closeStatus_);
  Notify(WS_Closing, closeStatus_);
  listening_ = connecting_ = send_.active = recv_.active = false;
  EventProc(WS_Closing);
}

void RWinSocket::Abort(int selector) {
  if (Tracing()) TraceLine(FormatStr(STR_NET_OP_ABORT, id_, AbortName(selector)));
  const bool all = selector == WS_TYPE_ALL;
  if ((all || selector == WS_TYPE_SEND) && send_.active) {
    sendStatus_ = WS_Aborted;
    close_.sendCut = true;
    StopTlsStep();
    // The unsent part of the block goes with it (a lent step's, when the
    // stream comes back).
    if (!tlsLent_) tlsFileLen_ = tlsFilePos_ = 0;
    Notify(WS_Sending, WS_Aborted);
    FreeSendLine();
    send_.active = false;
    fileFd_ = -1;
    sentCounter_ = nullptr;
  }
  if ((all || selector == WS_TYPE_REC) && recv_.active) {
    recStatus_ = WS_Aborted;
    Notify(WS_Receiving, WS_Aborted);
    FreeRecLine();
    recv_.active = false;
    recCounter_ = nullptr;
  }
  if ((all || selector == WS_TYPE_CON) && connecting_) {
    connectStatus_ = WS_Aborted;
    Notify(WS_Connecting, WS_Aborted);
    connecting_ = false;
  }
  if ((all || selector == WS_TYPE_SERV) && lookup_.running) {
    lookupStatus_ = WS_Aborted;
    const bool silent = lookup_.silent;
    CancelLookup();
    if (!silent) Notify(WS_Service, WS_Aborted);
  }
  if ((all || selector == WS_TYPE_LIST) && listening_) {
    listenStatus_ = WS_Aborted;
    Notify(WS_Listening, WS_Aborted);
    listening_ = false;
  }
}

// --- status and addresses
// ---------------------------------------------------------------------------

void RWinSocket::GetStatus(RSockStatusStr& out) const {
  out.started = Ready() ? 1 : 0;
  out.connected = connected_;
  out.listening = listening_;
  out.sending = send_.active;
  out.receiving = recv_.active;
  out.acceptPending = listening_ && acceptPending_;
  out.lookupRunning = lookup_.running;
  out.blockBytesSent = send_.active ? bytesSent_ : 0;
  out.bytesBuffered = recv_.active ? capacity_ - freeSpace_ : 0;
  out.connectStatus = connectStatus_;
  out.listenStatus = listenStatus_;
  out.sendStatus = sendStatus_;
  out.receiveStatus = recStatus_;
  out.lookupStatus = lookupStatus_;
}

std::string RWinSocket::GetLocalIPAddress() const {
  if (layer_ != nullptr && handle_ >= 0) {
    RSockAddr a{};
    RSockCalls c = Calls();
    if (c.GetSockName(handle_, &a) == 0) {
      std::string s = SockAddrText(a);
      if (Usable(s)) return s;
    }
  }
  // The primary address: the source address the kernel picks for a route
  // to the outside. Connecting a UDP socket sends nothing.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(23456);
    ::inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    std::string s;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0) {
      sockaddr_in a{};
      socklen_t len = sizeof(a);
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) s = AddrText(a.sin_addr);
    }
    ::close(fd);
    if (Usable(s)) return s;
  }
  std::vector<std::string> all = LocalAddresses(1, false);
  return all.empty() ? std::string() : all.front();
}

std::vector<std::string> RWinSocket::GetLocalIPAddressList(size_t capacity) const {
  return LocalAddresses(capacity, false);
}

std::string RWinSocket::GetRemoteIPAddress() const {
  if (layer_ == nullptr || handle_ < 0 || !connected_) return "";
  if (kind_ == WS_DATAGRAM) return haveSender_ ? SockAddrText(lastSender_) : "";
  if (havePeer_) return SockAddrText(acceptedPeer_);
  RSockAddr a{};
  RSockCalls c = Calls();
  if (c.GetPeerName(handle_, &a) != 0) return "";
  return SockAddrText(a);
}

uint16_t RWinSocket::GetRemotePort() const {
  if (layer_ == nullptr || handle_ < 0 || !connected_) return 0;
  if (kind_ == WS_DATAGRAM) return haveSender_ ? SockAddrPort(lastSender_) : 0;
  if (havePeer_) return SockAddrPort(acceptedPeer_);
  RSockAddr a{};
  RSockCalls c = Calls();
  if (c.GetPeerName(handle_, &a) != 0) return 0;
  return SockAddrPort(a);
}

uint16_t RWinSocket::GetLocalPort() const {
  if (layer_ == nullptr || handle_ < 0) return 0;
  RSockAddr a{};
  RSockCalls c = Calls();
  if (c.GetSockName(handle_, &a) != 0) return 0;
  return SockAddrPort(a);
}

int64_t RWinSocket::TakeByteCount(int which) {
  int64_t v;
  if (which == WS_COUNT_SENT) {
    v = bytesSent_;
    bytesSent_ = 0;
  } else if (which == WS_COUNT_RECEIVED) {
    v = bytesReceived_;
    bytesReceived_ = 0;
  } else {
    v = -1;
  }
  return v;
}

}  // namespace vantor
