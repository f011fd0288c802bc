#include "platform/RLoopTimers.h"

#include <algorithm>

namespace vantor {

RLoopTimers::TimerId RLoopTimers::Add(int64_t nowMs, int64_t periodMs, bool repeat,
                                      std::function<void()> callback) {
  if (periodMs < 0) periodMs = 0;
  TimerId id = nextTimer_++;
  int64_t deadline = nowMs + periodMs;
  timers_.emplace(id, Timer{periodMs, repeat, std::move(callback), deadline});
  heap_.push(HeapEntry{deadline, seq_++, id});
  return id;
}

void RLoopTimers::Cancel(TimerId id) {
  timers_.erase(id);
  Prune();
}

bool RLoopTimers::IsStale(const HeapEntry& e) const {
  auto it = timers_.find(e.id);
  return it == timers_.end() || it->second.deadline != e.deadline;
}

void RLoopTimers::Prune() {
  while (!heap_.empty() && IsStale(heap_.top())) heap_.pop();
}

void RLoopTimers::Fire(int64_t now, const std::function<bool()>& stop) {
  std::vector<TimerId> due;
  while (!heap_.empty() && heap_.top().deadline <= now) {
    HeapEntry e = heap_.top();
    heap_.pop();
    if (!IsStale(e)) due.push_back(e.id);
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier callback
    Timer& t = it->second;
    std::function<void()> cb = t.callback;
    if (t.repeat && t.periodMs > 0) {
      // A late timer fires once and keeps its phase.
      int64_t missed = (now - t.deadline) / t.periodMs + 1;
      t.deadline += missed * t.periodMs;
      heap_.push(HeapEntry{t.deadline, seq_++, id});
    } else if (t.repeat) {
      t.deadline = now + 1;  // a 0 ms repeating timer fires once per pass
      heap_.push(HeapEntry{t.deadline, seq_++, id});
    } else {
      timers_.erase(it);
    }
    cb();
    if (stop()) break;
  }
  // Popping the due entries may have bared a cancelled one.
  Prune();
}

int64_t RLoopTimers::NextWaitMs(int64_t nowMs) const {
  if (heap_.empty()) return -1;
  return std::max<int64_t>(0, heap_.top().deadline - nowMs);
}

}  // namespace vantor
