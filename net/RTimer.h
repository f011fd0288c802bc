// RTimer: countdown timer driven by one shared 316 ms tick of its layer.
//
// Periods count in ticks of 333 ms: Start(ms) gives period = ms / 333, at
// least 1 tick (1000 ms -> every 3 ticks, about 0.95 s; 100 ms -> every
// tick). Start with 0 ms or less leaves the timer stopped. On expiry the
// timer calls its expiry hook `Expired()` (subclasses override it); a
// one-shot timer then stops, a repeating one starts its next period.
//
// Thread: the loop thread of the layer. The layer (net/RSocketLayer.h) must
// outlive the timer. A timer may be stopped, restarted or destroyed from any
// expiry hook, its own included (destroying itself there is allowed because
// the tick never touches a timer after calling it; other owners should
// still prefer posting the removal). The shared tick runs only while some
// timer is active, so an idle server does not wake.
#pragma once

#include <cstdint>

#include "util/RDblLinkedList.h"

namespace vantor {

class RSocketLayer;

// Callback of a layer-level callback timer (RSocketLayer::StartCallbackTimer).
using RTimerFn = void (*)(void* context);

class RTimer {
 public:
  // `layer` nullptr: the process-wide layer (RSocketLayer::Process()).
  explicit RTimer(RSocketLayer* layer = nullptr);
  virtual ~RTimer();
  RTimer(const RTimer&) = delete;
  RTimer& operator=(const RTimer&) = delete;

  void Start(int32_t milliseconds, bool oneShot);
  void Stop();
  bool Active() const { return active_; }
  int32_t PeriodTicks() const { return period_; }
  int32_t TicksLeft() const { return ticksLeft_; }

 protected:
  // The expiry hook; the default does nothing.
  virtual void Expired() {}

 private:
  friend class RSocketLayer;

  RSocketLayer* layer_;
  bool active_ = false;
  bool oneShot_ = false;
  int32_t period_ = 0;
  int32_t ticksLeft_ = 0;
  RDblLink layerLink_;
  bool callback_ = false;
  RTimerFn fn_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace vantor
