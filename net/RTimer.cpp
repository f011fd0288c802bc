#include "net/RTimer.h"

#include "net/RSocketLayer.h"

namespace vantor {
namespace {
constexpr int32_t kTickMs = 333;  // the period unit; the shared tick runs every 316 ms
}  // namespace

RTimer::RTimer(RSocketLayer* layer) : layer_(layer != nullptr ? layer : RSocketLayer::Process()) {}

RTimer::~RTimer() {
  Stop();
}

void RTimer::Start(int32_t milliseconds, bool oneShot) {
  Stop();
  if (milliseconds <= 0 || layer_ == nullptr) return;
  period_ = milliseconds / kTickMs;
  if (period_ < 1) period_ = 1;
  ticksLeft_ = period_;
  oneShot_ = oneShot;
  active_ = true;
  layer_->TimerLinked(this);
}

void RTimer::Stop() {
  if (!active_) return;
  active_ = false;
  if (layer_ != nullptr) layer_->TimerUnlinked(this);
}

}  // namespace vantor
