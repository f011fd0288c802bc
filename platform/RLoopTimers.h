// The message loop's timers: a map of live timers and a min-heap of
// deadlines. Cancelling leaves a buried heap entry behind (removing it would
// cost a heap rebuild); entries that surface cancelled are popped at once,
// so the top is always live and the loop's wait is computed from it.
// Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <unordered_map>
#include <vector>

namespace vantor {

class RLoopTimers {
 public:
  using TimerId = uint64_t;

  TimerId Add(int64_t nowMs, int64_t periodMs, bool repeat, std::function<void()> callback);
  void Cancel(TimerId id);
  size_t Count() const { return timers_.size(); }
  // Runs every timer due at `nowMs`; stops early once `stop()` says so.
  void Fire(int64_t nowMs, const std::function<bool()>& stop);
  // Milliseconds until the next live deadline (0 when due, -1: none).
  int64_t NextWaitMs(int64_t nowMs) const;

 private:
  struct Timer {
    int64_t periodMs;
    bool repeat;
    std::function<void()> callback;
    int64_t deadline;
  };
  struct HeapEntry {
    int64_t deadline;
    uint64_t seq;
    TimerId id;
    bool operator>(const HeapEntry& o) const {
      return deadline != o.deadline ? deadline > o.deadline : seq > o.seq;
    }
  };
  bool IsStale(const HeapEntry& e) const;
  void Prune();

  std::unordered_map<TimerId, Timer> timers_;
  std::priority_queue<HeapEntry, std::vector<HeapEntry>, std::greater<HeapEntry>> heap_;
  TimerId nextTimer_ = 1;
  uint64_t seq_ = 0;
};

}  // namespace vantor
