#include "platform/RClock.h"

#include <time.h>

namespace vantor {

int64_t RSystemClock::NowMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t RSystemClock::WallSeconds() const {
  return static_cast<int64_t>(::time(nullptr));
}

RSystemClock& RSystemClock::Instance() {
  static RSystemClock clock;
  return clock;
}

}  // namespace vantor
