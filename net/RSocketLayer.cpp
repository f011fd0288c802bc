#include "net/RSocketLayer.h"

#include <signal.h>

#include <sys/resource.h>

#include <algorithm>

#include "net/RNetStrings.h"
#include "net/RResolver.h"
#include "net/RSockCalls.h"
#include "net/RWsErrors.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

RSocketLayer* gProcessLayer = nullptr;

constexpr int64_t kSecondMs = 1000;
constexpr int64_t kTimerTickMs = 316;

// The kernel lets a socket bind only to an address of this machine. When it
// cannot tell, the address is taken as ours: the caller refuses rather than
// risks a connection to itself.
bool OwnAddress(RSockCalls& c, const RSockAddr& a) {
  if (SockAddrAny(a)) return true;
  RSockAddr probe{};
  if (!c.MakeAddr(SockAddrText(a).c_str(), 0, probe)) return true;
  const int fd = c.Socket(SOCK_DGRAM, probe.sa.sa_family);
  if (fd < 0) return true;
  const bool foreign = c.Bind(fd, probe) != 0 && c.err == WSAEADDRNOTAVAIL;
  (void)c.Close(fd);
  return !foreign;
}

}  // namespace

RSocketLayer::RSocketLayer(RMessageLoop& loop) : loop_(loop) {}

RSocketLayer::~RSocketLayer() {
  CleanupSockLib();
  // Sockets that outlive the layer are detached: they answer WS_NoSockLib.
  sockets_.ForEachSafe([this](RWinSocket* s) {
    sockets_.Unlink(s);
    s->layer_ = nullptr;
  });
  byId_.clear();
  lookups_.clear();
  // Callback timers belong to the layer; other timers are only detached.
  timers_.ForEachSafe([](RTimer* t) {
    if (t->callback_) {
      delete t;
    } else {
      t->Stop();
      t->layer_ = nullptr;
    }
  });
  if (tickTimer_ != 0) loop_.CancelTimer(tickTimer_);
  if (gProcessLayer == this) gProcessLayer = nullptr;
}

void RSocketLayer::SetProcess(RSocketLayer* layer) {
  gProcessLayer = layer;
}
RSocketLayer* RSocketLayer::Process() {
  return gProcessLayer;
}

bool RSocketLayer::Start() {
  if (started_) return true;
  if (!loop_.Valid()) return false;
  // sendfile() has no MSG_NOSIGNAL: a peer that resets a download would
  // otherwise end the whole process with SIGPIPE. A handler the host
  // program installed is left alone.
  struct sigaction old {};
  if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    ::sigemptyset(&ign.sa_mask);
    (void)::sigaction(SIGPIPE, &ign, nullptr);
  }
  hidden_ = loop_.CreateWindow([this](const RMsg& m) { return DispatchProc(m); });
  started_ = true;
  UpdatePacing();
  if (traceOn_) {
    Trace(-1, FormatStr(STR_NET_C_STARTUP, 0u, 0x0101u, 0u, 0, "OK"));
  }
  secondTimer_ = loop_.AddTimer(kSecondMs, true, [this] { SecondTick(); });
  resolver_ = std::make_unique<RResolver>(loop_, hidden_, WM_SocketService);
  return true;
}

void RSocketLayer::CleanupSockLib() {
  if (!started_) return;
  sockets_.ForEachSafe([](RWinSocket* s) {
    s->CancelLookup();
    s->ResetConnection();
  });
  resolver_.reset();  // joins the worker
  loop_.CancelTimer(secondTimer_);
  secondTimer_ = 0;
  loop_.DestroyWindow(hidden_);
  hidden_ = 0;
  deferred_.clear();
  repost_.clear();
  direct_.clear();
  relay_.clear();
  sockets_.ForEachSafe([](RWinSocket* s) { s->ownerQueued_ = 0; });
  started_ = false;
  if (traceOn_) Trace(-1, FormatStr(STR_NET_C_CLEANUP, 0u, 0, "OK"));
}

std::string RSocketLayer::Description() const {
  return LoadStr(STR_NET_DESCRIPTION);
}

uint32_t RSocketLayer::MaxSockets() const {
  if (!started_) return 0;
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(rl.rlim_cur);
}

// --- trace ----------------------------------------------------------------------

void RSocketLayer::SetTrace(bool on, RWindowId window, uint32_t message) {
  if (loop_.WindowExists(window) && message != 0) {
    traceWindow_ = window;
    traceMessage_ = message;
  }
  traceOn_ = on;
}

void RSocketLayer::EnableTrace(bool on) {
  traceOn_ = on && traceMessage_ != 0 && loop_.WindowExists(traceWindow_);
}

void RSocketLayer::Trace(intptr_t tag, const std::string& text) {
  if (!traceOn_) return;
  loop_.SendMessage(traceWindow_, traceMessage_, static_cast<uintptr_t>(tag),
                    reinterpret_cast<intptr_t>(text.c_str()));
}

// --- speed limit and rate ----------------------------------------------------------

void RSocketLayer::SetSpeedLimit(int64_t bytesPerSecond) {
  if (bytesPerSecond > 0) {
    globalLimitOn_ = true;
    globalLimit_ = bytesPerSecond;
    globalBudget_ = bytesPerSecond;
  } else {
    globalLimitOn_ = false;
  }
  UpdatePacing();
  if (traceOn_) Trace(-1, FormatStr(STR_NET_OP_SPEEDLIMIT, bytesPerSecond));
}

void RSocketLayer::CountLocalLimit(int delta) {
  localLimits_ += delta;
  UpdatePacing();
}

void RSocketLayer::UpdatePacing() {
  // Unlimited, a pass of the loop may run on through the messages its own
  // dispatching posts (a command's reply goes out in the pass that read the
  // command). Under a limit, parked sockets and ready ones take turns only
  // if every pass looks at readiness again, so one batch per pass.
  loop_.SetBatchesPerPass(globalLimitOn_ || localLimits_ > 0 ? 1 : kBatchesUnlimited);
}

int64_t RSocketLayer::GetServerRate() const {
  // The mean of the last eight one-second totals, but traffic that began
  // less than eight seconds ago is averaged over the seconds it has run:
  // dividing by eight showed 0 through a transfer's first second and an
  // eighth of its rate after it.
  int64_t sum = 0;
  int64_t seconds = 0;
  for (size_t back = 1; back <= rateRing_.size(); ++back) {
    const int64_t v =
        rateRing_[(static_cast<size_t>(rateIndex_) + rateRing_.size() - back) % rateRing_.size()];
    sum += v;
    if (v != 0) seconds = static_cast<int64_t>(back);
  }
  return seconds == 0 ? 0 : sum / seconds;
}

// --- the hidden window ----------------------------------------------------------------

intptr_t RSocketLayer::DispatchProc(const RMsg& m) {
  switch (m.message) {
    case WM_SocketService:
      OnService(m);
      break;
    case WM_SocketSoftClose:
      OnSoftClose(m);
      break;
    case WM_SocketRelay:
      OnRelay();
      break;
    default:
      if (m.message >= kSelectMessageBase) OnSocketEvent(m);
      break;
  }
  return 0;
}

void RSocketLayer::OnSocketEvent(const RMsg& m) {
  // Release the next parked message before this one is handled: the handler
  // re-posts its own socket's next step, and a parked socket must be queued
  // ahead of it or the socket that happened to park first would lead every
  // second and take the larger share of the budget.
  if (!repost_.empty() || !deferred_.empty()) RepostStep();
  auto it = handles_.find(static_cast<int>(m.wParam));
  // A message for a handle that was closed (and whose number may already
  // belong to a new socket) carries an old message number: ignore it.
  if (it != handles_.end() && it->second->selectMessage_ == m.message) {
    RWinSocket* s = it->second;
    const bool selfPosted = (RSelectEvent(m.lParam) & kSelfPosted) != 0;
    const uint32_t event = RSelectEvent(m.lParam) & ~kSelfPosted;
    const int err = ErrnoToWinSock(RSelectError(m.lParam));
    // No owner code runs until the handler below returns: the events it
    // produces for direct owners are collected and handed over after it.
    collecting_ = true;
    if (traceOn_) {
      uint32_t fmt = event == FD_READ      ? STR_NET_FD_READ
                     : event == FD_WRITE   ? STR_NET_FD_WRITE
                     : event == FD_ACCEPT  ? STR_NET_FD_ACCEPT
                     : event == FD_CONNECT ? STR_NET_FD_CONNECT
                                           : STR_NET_FD_CLOSE;
      Trace(s->traceTag_, FormatStr(fmt, s->id_, WinSockErrorName(err)));
    }
    switch (event) {
      case FD_READ:
        if (!s->ReceiveHandler(err)) AddMessQue(hidden_, m.message, m.wParam, m.lParam);
        break;
      case FD_WRITE:
        if (!s->SendHandler(err, selfPosted)) AddMessQue(hidden_, m.message, m.wParam, m.lParam);
        break;
      case FD_ACCEPT:
        s->AcceptEvent(err);
        break;
      case FD_CONNECT:
        s->ConnectEvent(err);
        break;
      case FD_CLOSE:
        s->PeerClose(err);
        break;
      default:
        break;
    }
    collecting_ = false;
  }
  if (!repost_.empty() || !deferred_.empty()) RepostStep();
  // Last: an owner may destroy the socket (or any other) here.
  if (!direct_.empty()) DeliverDirect();
}

void RSocketLayer::DeliverDirect() {
  // Events produced while these are handed over are relayed (the owner's
  // own calls), or collected by a dispatch of their own.
  while (!direct_.empty()) {
    const RDeferredStr d = direct_.front();
    direct_.pop_front();
    if (loop_.WindowExists(d.window)) loop_.SendMessage(d.window, d.message, d.wParam, d.lParam);
  }
}

void RSocketLayer::OnRelay() {
  if (relay_.empty()) return;  // dropped with its socket
  const RDeferredStr d = relay_.front();
  relay_.pop_front();
  auto it = byId_.find(static_cast<uint32_t>(d.lParam));
  if (it != byId_.end() && it->second->ownerQueued_ > 0) --it->second->ownerQueued_;
  if (loop_.WindowExists(d.window)) loop_.SendMessage(d.window, d.message, d.wParam, d.lParam);
}

void RSocketLayer::SetDirectOwner(RWindowId window, bool on) {
  std::erase(directOwners_, window);
  if (on) directOwners_.push_back(window);
}

bool RSocketLayer::IsDirectOwner(RWindowId window) const {
  // A handful of owners at most (the server's window).
  return std::find(directOwners_.begin(), directOwners_.end(), window) != directOwners_.end();
}

void RSocketLayer::OnService(const RMsg& m) {
  const int handle = static_cast<int>(m.wParam);
  int err = RSelectError(m.lParam);
  std::string answer;
  const bool have = resolver_ != nullptr && resolver_->Take(handle, &err, &answer);
  auto it = lookups_.find(handle);
  RWinSocket* s = it != lookups_.end() && it->second->lookup_.running ? it->second : nullptr;
  if (s == nullptr || !have) return;
  if (traceOn_) {
    Trace(s->traceTag_, FormatStr(STR_NET_SERVICE, s->id_, handle, WinSockErrorName(err)));
  }
  s->LookupDone(err, answer);
}

void RSocketLayer::OnSoftClose(const RMsg& m) {
  RWinSocket* s = FindById(static_cast<uint32_t>(m.wParam));
  if (s == nullptr) return;
  if (traceOn_) Trace(s->traceTag_, FormatStr(STR_NET_SOFTCLOSE, s->id_));
  (void)s->DisconnectHost(0);
}

bool RSocketLayer::ReachesOwnListener(const std::string& address, uint16_t port) {
  // A check, not a step of a socket's life: it is not traced.
  RSockCalls c(nullptr, 0, 0);
  RSockAddr target{};
  if (!c.MakeAddr(address.c_str(), port, target)) return false;
  const std::string targetText = SockAddrText(target);
  const bool targetV6 = targetText.find(':') != std::string::npos;
  int own = -1;  // whether the target is this machine, asked once
  for (RWinSocket* s = sockets_.Head(); s != nullptr; s = decltype(sockets_)::NextOf(s)) {
    if (!s->listening_ || s->kind_ != WS_STREAM || s->handle_ < 0) continue;
    RSockAddr bound{};
    if (c.GetSockName(s->handle_, &bound) != 0 || SockAddrPort(bound) != port) continue;
    // A connection to the unspecified address goes to this machine, to the
    // source address it binds to: any listener on the port may take it.
    if (SockAddrAny(target)) return true;
    if (!SockAddrAny(bound)) {
      if (SockAddrText(bound) == targetText) return true;
      continue;
    }
    // All addresses: an IPv4 listener takes IPv4 only; the IPv6 one of
    // Listen is dual-stack.
    if (bound.sa.sa_family == AF_INET && targetV6) continue;
    if (own < 0) own = OwnAddress(c, target) ? 1 : 0;
    if (own == 1) return true;
  }
  return false;
}

RWinSocket* RSocketLayer::FindById(uint32_t id) {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

// --- owner events, deferral and parking ------------------------------------------------

void RSocketLayer::PostOwnerEvent(RWinSocket& s, uintptr_t wParam) {
  if (traceOn_) {
    Trace(s.traceTag_, FormatStr(STR_NET_NOTIFY, s.id_, WsStatusName(WsEventOp(wParam)),
                                 WsStatusName(WsEventStatus(wParam))));
  }
  const intptr_t lParam = static_cast<intptr_t>(s.id_);
  if (started_ && IsDirectOwner(s.ownerWindow_)) {
    const RDeferredStr e{s.ownerWindow_, s.ownerMessage_, wParam, lParam};
    if (collecting_ && s.ownerQueued_ == 0) {
      direct_.push_back(e);
      return;
    }
    relay_.push_back(e);
    ++s.ownerQueued_;
    if (!deferred_.empty()) FlushDeferred();
    if (deferred_.empty() && loop_.PostMessage(hidden_, WM_SocketRelay, 0, lParam)) return;
    deferred_.push_back(RDeferredStr{hidden_, WM_SocketRelay, 0, lParam});
    if (traceOn_) {
      Trace(s.traceTag_, FormatStr(STR_NET_DEFER, s.id_, s.ownerWindow_, s.ownerMessage_,
                                   static_cast<uint64_t>(wParam), s.id_));
    }
    return;
  }
  // Earlier events still waiting go first, so an owner sees events in the
  // order they were produced.
  if (!deferred_.empty()) FlushDeferred();
  if (deferred_.empty() && loop_.PostMessage(s.ownerWindow_, s.ownerMessage_, wParam, lParam)) {
    return;
  }
  deferred_.push_back(RDeferredStr{s.ownerWindow_, s.ownerMessage_, wParam, lParam});
  if (traceOn_) {
    Trace(s.traceTag_, FormatStr(STR_NET_DEFER, s.id_, s.ownerWindow_, s.ownerMessage_,
                                 static_cast<uint64_t>(wParam), s.id_));
  }
}

void RSocketLayer::FlushDeferred() {
  while (!deferred_.empty()) {
    const RDeferredStr& d = deferred_.front();
    // An owner that is gone can never take its events; keeping them would
    // hold up every event queued behind them.
    if (!loop_.WindowExists(d.window)) {
      deferred_.pop_front();
      continue;
    }
    if (!loop_.PostMessage(d.window, d.message, d.wParam, d.lParam)) return;
    if (traceOn_) {
      Trace(-1, FormatStr(STR_NET_REPOST_NOTIFY, d.window, d.message,
                          static_cast<uint64_t>(d.wParam), static_cast<int64_t>(d.lParam)));
    }
    deferred_.pop_front();
  }
}

void RSocketLayer::PostSelf(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (loop_.PostMessage(hidden_, message, wParam, lParam)) return;
  AddMessQue(hidden_, message, wParam, lParam, false);
}

void RSocketLayer::AddMessQue(RWindowId window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                              bool fresh) {
  repost_.push_back(RRepostStr{window, message, wParam, lParam, fresh});
  if (traceOn_) {
    Trace(-1, FormatStr(STR_NET_ADDMESSQUE, window, message, static_cast<uint64_t>(wParam),
                        static_cast<int64_t>(lParam)));
  }
}

void RSocketLayer::RepostStep() {
  FlushDeferred();
  if (globalLimitOn_ && globalBudget_ <= 0) return;
  while (!repost_.empty()) {
    RRepostStr& r = repost_.front();
    if (r.fresh) return;
    if (!loop_.WindowExists(r.window)) {
      repost_.pop_front();
      continue;
    }
    if (!loop_.PostMessage(r.window, r.message, r.wParam, r.lParam)) return;
    if (traceOn_) {
      Trace(-1, FormatStr(STR_NET_REPOST_MSG, r.window, r.message, static_cast<uint64_t>(r.wParam),
                          static_cast<int64_t>(r.lParam)));
    }
    repost_.pop_front();
    return;  // one parked message per step
  }
}

void RSocketLayer::ForgetHandle(int fd, uint32_t selectMessage) {
  auto it = handles_.find(fd);
  if (it != handles_.end() && it->second->selectMessage_ == selectMessage) handles_.erase(it);
  repost_.erase(std::remove_if(repost_.begin(), repost_.end(),
                               [&](const RRepostStr& r) {
                                 return r.window == hidden_ && r.message == selectMessage;
                               }),
                repost_.end());
}

void RSocketLayer::ForgetSocketEvents(uint32_t id) {
  auto mine = [&](const RDeferredStr& d) { return d.lParam == static_cast<intptr_t>(id); };
  deferred_.erase(std::remove_if(deferred_.begin(), deferred_.end(), mine), deferred_.end());
  // A relay message already in the loop's queue then hands over the next
  // event in line (or none): the order stays, only the moment moves.
  relay_.erase(std::remove_if(relay_.begin(), relay_.end(), mine), relay_.end());
  direct_.erase(std::remove_if(direct_.begin(), direct_.end(), mine), direct_.end());
}

uint32_t RSocketLayer::NewSelectMessage() {
  uint32_t m = kSelectMessageBase + (nextSelectSerial_ % 0x7FFF0000u);
  ++nextSelectSerial_;
  return m;
}

// --- the one-second tick ---------------------------------------------------------------

void RSocketLayer::SecondTick() {
  for (RRepostStr& r : repost_) r.fresh = false;
  sockets_.ForEachSafe([](RWinSocket* s) { s->Tick(); });
  rateRing_[rateIndex_] = serverBytesThisSecond_;
  rateIndex_ = (rateIndex_ + 1) % 8;
  serverBytesThisSecond_ = 0;
  if (globalLimitOn_) globalBudget_ = globalLimit_;
  if (resolver_ != nullptr) resolver_->RetryPosts();
  RepostStep();
}

// --- timers ------------------------------------------------------------------------------

RTimer* RSocketLayer::StartCallbackTimer(int32_t ms, RTimerFn fn, void* context) {
  if (ms <= 0 || fn == nullptr) return nullptr;
  auto* t = new RTimer(this);
  t->callback_ = true;
  t->fn_ = fn;
  t->context_ = context;
  t->Start(ms, false);
  return t;
}

bool RSocketLayer::KillCallbackTimer(RTimerFn fn, void* context) {
  for (RTimer* t = timers_.Head(); t != nullptr; t = decltype(timers_)::NextOf(t)) {
    if (t->callback_ && t->fn_ == fn && t->context_ == context) {
      delete t;
      return true;
    }
  }
  return false;
}

void RSocketLayer::TimerLinked(RTimer* t) {
  timers_.PushFront(t);
  if (tickTimer_ == 0) {
    tickTimer_ = loop_.AddTimer(kTimerTickMs, true, [this] { TimerTick(); });
  }
}

void RSocketLayer::TimerUnlinked(RTimer* t) {
  if (timerWalkNext_ == t) timerWalkNext_ = decltype(timers_)::NextOf(t);
  timers_.Unlink(t);
  if (timers_.Empty() && tickTimer_ != 0) {
    loop_.CancelTimer(tickTimer_);
    tickTimer_ = 0;
  }
}

void RSocketLayer::TimerTick() {
  for (RTimer* t = timers_.Head(); t != nullptr; t = timerWalkNext_) {
    timerWalkNext_ = decltype(timers_)::NextOf(t);
    if (--t->ticksLeft_ > 0) continue;
    // Reload (or stop) before the call, so the hook may restart, stop or
    // destroy the timer and the walk never touches it afterwards.
    if (t->oneShot_) {
      t->Stop();
    } else {
      t->ticksLeft_ = t->period_;
    }
    if (t->callback_) {
      t->fn_(t->context_);
    } else {
      t->Expired();
    }
  }
  timerWalkNext_ = nullptr;
}

}  // namespace vantor
