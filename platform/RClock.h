// Clocks for the event loop. The loop and everything that measures time asks
// an RClock, so tests can drive time by hand with RManualClock.
#pragma once

#include <cstdint>

namespace vantor {

class RClock {
 public:
  virtual ~RClock() = default;
  // Monotonic milliseconds (arbitrary origin).
  virtual int64_t NowMs() const = 0;
  // Wall-clock seconds since 1970.
  virtual int64_t WallSeconds() const = 0;
};

class RSystemClock final : public RClock {
 public:
  int64_t NowMs() const override;
  int64_t WallSeconds() const override;
  // The process-wide instance.
  static RSystemClock& Instance();
};

// Time moves only when the test says so.
class RManualClock final : public RClock {
 public:
  explicit RManualClock(int64_t startMs = 1000000, int64_t wallSeconds = 1780000000)
      : nowMs_(startMs), wall0_(wallSeconds), start_(startMs) {}
  int64_t NowMs() const override { return nowMs_; }
  int64_t WallSeconds() const override { return wall0_ + (nowMs_ - start_) / 1000; }
  void Advance(int64_t ms) { nowMs_ += ms; }
  void SetWall(int64_t seconds) {
    wall0_ = seconds;
    start_ = nowMs_;
  }

 private:
  int64_t nowMs_;
  int64_t wall0_;
  int64_t start_;
};

}  // namespace vantor
