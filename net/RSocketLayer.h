// The socket layer's shared state: one object per event loop.
//
// `RSocketLayer` owns everything the sockets of one loop share: the hidden
// window that receives readiness, look-up answers and close retries; the list
// of live sockets and the map from handle to socket; the deferred owner-event
// queue and the re-post list of parked readiness messages; the trace switch;
// the global speed limit and the server rate ring; the one-second tick; the
// resolver thread; and the active `RTimer` list with its shared 316 ms tick.
//
// Production: the front end creates one layer on its loop and registers it
// with `SetProcess`; sockets and timers constructed without a layer use that
// one. Tests create a layer per test on an RMessageLoop with an RManualClock.
//
// Lifetime: the layer must outlive its sockets and timers. If it is destroyed
// first anyway, it resets their connections and detaches them; detached
// sockets answer every operation with `WS_NoSockLib`.
//
// Thread: everything here belongs to the loop thread. The resolver thread
// only posts `WM_SocketService` to the hidden window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/RTimer.h"
#include "net/RWinSocket.h"
#include "platform/RMessageLoop.h"
#include "util/RDblLinkedList.h"

namespace vantor {

class RResolver;
class RWorkPool;

// Messages of the layer's hidden window. Readiness arrives with a message
// number of the handle's own (see kSelectMessageBase); these are the rest.
enum : uint32_t {
  WM_SocketService = 1026,    // look-up answer: wParam request handle, lParam error << 16
  WM_SocketSoftClose = 1027,  // close retry: wParam socket identifier
  WM_SocketRelay = 1028,      // an owner event for a direct owner: lParam socket identifier
};

class RSocketLayer {
 public:
  // `loop` is not owned and must outlive the layer. Nothing starts here: the
  // first socket's construction calls `Start`.
  explicit RSocketLayer(RMessageLoop& loop);
  ~RSocketLayer();
  RSocketLayer(const RSocketLayer&) = delete;
  RSocketLayer& operator=(const RSocketLayer&) = delete;

  // --- the process-wide layer -------------------------------------------------
  // Not owned. nullptr removes it. Sockets and timers built without a layer
  // use the layer registered at their construction.
  static void SetProcess(RSocketLayer* layer);
  static RSocketLayer* Process();

  // --- start-up and clean-up ----------------------------------------------------
  // Creates the hidden window, the one-second tick and the resolver thread.
  // True when the layer is (now) started. Called by socket construction.
  [[nodiscard]] bool Start();
  bool Started() const { return started_; }
  // Resets every live socket's connection (no owner events), cancels their
  // look-ups, destroys the hidden window, stops the tick and the resolver.
  // Sockets that still exist then answer `WS_NoSockLib`. Idempotent.
  void CleanupSockLib();

  RMessageLoop& Loop() const { return loop_; }
  RWindowId HiddenWindow() const { return hidden_; }
  // Number of live `RWinSocket` objects of this layer.
  size_t SocketCount() const { return sockets_.Count(); }
  // Describes the socket service for "Using %s - max. %u sockets":
  // the description text and the maximum number of sockets (the process's
  // open-file limit); 0 when the layer is not started.
  std::string Description() const;
  uint32_t MaxSockets() const;

  // --- trace -------------------------------------------------------------------
  // Trace lines are sent synchronously: SendMessage(window, message,
  // wParam = the socket's trace tag (-1 for layer lines "Sock ID=0 ...",
  // 0 for calls made without a socket), lParam = const char* text, valid
  // only during the call). The receiver copies the text if it keeps it.
  // `SetTrace` stores window and message only if the window exists and the
  // message is not 0, then sets the switch.
  void SetTrace(bool on, RWindowId window, uint32_t message);
  // On only when `on`, the stored window still exists and a message is set.
  void EnableTrace(bool on);
  bool TraceOn() const { return traceOn_; }
  // Sends one trace line when tracing is on (used by the sockets).
  void Trace(intptr_t tag, const std::string& text);

  // --- speed limit and rate ------------------------------------------------------
  // Bytes per second for the sum of all sockets' traffic, both directions.
  // 0 or less switches the limit off.
  void SetSpeedLimit(int64_t bytesPerSecond);
  bool SpeedLimitOn() const { return globalLimitOn_; }
  int64_t SpeedLimit() const { return globalLimit_; }
  // Bytes per second averaged over the last 8 one-second totals, or over
  // the seconds since traffic began when that was less than 8 seconds ago.
  int64_t GetServerRate() const;

  // --- copying off the loop ---------------------------------------------------------
  // Where unlimited, unprotected file sends do their copying (the pool's data
  // lane); nullptr: on the loop thread, as everything else. The owner clears
  // it before the pool goes.
  void SetDataPool(RWorkPool* pool) { dataPool_ = pool; }
  RWorkPool* DataPool() const { return dataPool_; }

  // --- direct owners ----------------------------------------------------------------
  // Events of sockets owned by `window` are handed to it by a call
  // (SendMessage) instead of a second post: an event that readiness produced
  // is delivered when the layer has finished handling that readiness
  // message, which was the event's one trip through the loop's queue. An
  // event an operation produces (the owner's own call) goes through the
  // layer's window once and is handed over from there, so an owner is never
  // re-entered from inside its own call and sees each socket's events in
  // the order they were produced. Other owners get posted events as before.
  void SetDirectOwner(RWindowId window, bool on);
  bool IsDirectOwner(RWindowId window) const;

  // --- timers --------------------------------------------------------------------
  // Creates a heap timer that calls fn(context) every `ms` milliseconds
  // (periods in 333 ms ticks, at least 1). The layer owns it. nullptr when
  // `ms` is 0 or less.
  RTimer* StartCallbackTimer(int32_t ms, RTimerFn fn, void* context);
  // Stops and destroys the first active callback timer calling fn(context).
  // False when there is none.
  bool KillCallbackTimer(RTimerFn fn, void* context);
  size_t ActiveTimerCount() const { return timers_.Count(); }

  // --- own listeners -----------------------------------------------------------------
  // Whether a stream connection to `address` (IPv4 or IPv6 text) at `port`
  // would reach a listening socket of this layer: one bound to that address,
  // or to all addresses when `address` is one of this machine's own (the
  // unspecified address counts as this machine). False for a text that is
  // no address.
  bool ReachesOwnListener(const std::string& address, uint16_t port);

  // --- diagnostics (tests, status displays) ----------------------------------------
  size_t DeferredCount() const { return deferred_.size(); }
  size_t RepostCount() const { return repost_.size(); }
  size_t RelayCount() const { return relay_.size(); }
  // Runs the one-second tick now (the loop timer calls this every 1000 ms).
  void SecondTick();

 private:
  friend class RWinSocket;
  friend class RTimer;

  struct RDeferredStr {
    RWindowId window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
  };
  struct RRepostStr {
    RWindowId window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    bool fresh;
  };

  // Readiness messages of a handle use a number of their own, taken when the
  // handle is created, so a message about a closed handle whose number the
  // system has given to a new socket is recognised and dropped.
  static constexpr uint32_t kSelectMessageBase = 0x10000;

  intptr_t DispatchProc(const RMsg& m);
  void OnSocketEvent(const RMsg& m);
  void OnService(const RMsg& m);
  void OnSoftClose(const RMsg& m);
  void OnRelay();
  void DeliverDirect();
  // Posts an owner event; when refused it waits in the deferred queue.
  void PostOwnerEvent(RWinSocket& s, uintptr_t wParam);
  void FlushDeferred();
  // Posts a readiness message to the hidden window; a refused post is kept
  // on the re-post list so a transfer never stalls on a full queue.
  void PostSelf(uint32_t message, uintptr_t wParam, intptr_t lParam);
  void AddMessQue(RWindowId window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                  bool fresh = true);
  void RepostStep();
  void CountLocalLimit(int delta);
  void UpdatePacing();
  void ForgetHandle(int fd, uint32_t selectMessage);
  void ForgetSocketEvents(uint32_t id);
  uint32_t NewSelectMessage();
  RWinSocket* FindById(uint32_t id);
  void TimerTick();
  void TimerLinked(RTimer* t);
  void TimerUnlinked(RTimer* t);

  RMessageLoop& loop_;
  bool started_ = false;
  RWindowId hidden_ = 0;
  RMessageLoop::TimerId secondTimer_ = 0;
  RMessageLoop::TimerId tickTimer_ = 0;
  std::unique_ptr<RResolver> resolver_;

  RDblLinkedList<RWinSocket, &RWinSocket::layerLink_> sockets_;
  std::map<int, RWinSocket*> handles_;
  std::unordered_map<uint32_t, RWinSocket*> byId_;
  std::unordered_map<int, RWinSocket*> lookups_;  // by the running look-up's handle
  uint32_t nextId_ = 1;
  uint32_t nextSelectSerial_ = 1;

  bool traceOn_ = false;
  RWindowId traceWindow_ = 0;
  uint32_t traceMessage_ = 0;

  static constexpr int kBatchesUnlimited = 8;

 public:
  // Event bit marking a readiness message a socket posted to itself.
  static constexpr uint32_t kSelfPosted = 0x8000;

 private:
  RWorkPool* dataPool_ = nullptr;
  bool globalLimitOn_ = false;
  int localLimits_ = 0;  // sockets with a limit of their own
  int64_t globalLimit_ = 0;
  int64_t globalBudget_ = 0;
  int64_t serverBytesThisSecond_ = 0;
  std::array<int64_t, 8> rateRing_{};
  int rateIndex_ = 0;

  std::deque<RDeferredStr> deferred_;
  // Direct owners: events handed over when the readiness dispatch ends, and
  // events waiting for their relay message (one WM_SocketRelay each).
  std::vector<RWindowId> directOwners_;
  bool collecting_ = false;
  std::deque<RDeferredStr> direct_;
  std::deque<RDeferredStr> relay_;
  std::deque<RRepostStr> repost_;

  RDblLinkedList<RTimer, &RTimer::layerLink_> timers_;
  RTimer* timerWalkNext_ = nullptr;
};

}  // namespace vantor
