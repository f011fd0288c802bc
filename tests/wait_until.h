// Waits for a condition another thread (or the kernel) makes true, checking
// it every millisecond until a deadline: a test never sleeps a fixed time
// and hopes, and a condition that never comes fails instead of hanging.
#pragma once

#include <chrono>
#include <thread>

namespace vantor::test {

template <class Condition>
bool WaitUntil(Condition&& done, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs passes of `loop` (an RMessageLoop) until `done` holds; false after
// the deadline. For conditions a posted completion makes true.
template <class Loop, class Condition>
bool RunLoopUntil(Loop& loop, Condition&& done,
                  std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    loop.RunOnce(20);
  }
  return true;
}

}  // namespace vantor::test
