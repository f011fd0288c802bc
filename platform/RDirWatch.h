// Change notifications for directories: one inotify descriptor plus an
// eventfd that wakes the waiting thread.
//
// One thread waits (`Wait`); `Wake` may be called from any thread. `Add` and
// `Remove` may be called from any thread too (inotify descriptors are
// thread-safe), but the caller keeps track of which watch belongs to what.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/RFd.h"

namespace vantor {

// Makes every RDirWatch made from now on invalid (as when inotify cannot be
// had), so tests cover the code that runs without change notifications.
void DirWatchRefuseForTests(bool refuse);

class RDirWatch {
 public:
  RDirWatch();
  RDirWatch(const RDirWatch&) = delete;
  RDirWatch& operator=(const RDirWatch&) = delete;

  // False when inotify or the eventfd could not be created.
  bool Valid() const { return inotify_.Valid() && wake_.Valid(); }

  // Watches `posixDir` for created, deleted, renamed, modified and
  // attribute-changed entries (and for its own removal). Links are not
  // followed. Returns the watch id, or -1. The same directory added twice
  // yields the same id, so callers count their uses.
  [[nodiscard]] int Add(const std::string& posixDir);
  void Remove(int watchId);

  // Makes the current or next `Wait` return with `woken` set.
  void Wake();

  struct Result {
    bool woken = false;
    bool overflow = false;     // events were lost: treat every watch as changed
    std::vector<int> changed;  // watch ids with events (each once)
  };
  // Blocks up to `timeoutMs` (-1: no limit) for events or a wake-up.
  Result Wait(int timeoutMs);

  // The two halves of Wait, for an owner that reads events under its own
  // lock: WaitReadable blocks up to `timeoutMs` and is true when events
  // wait (a wake-up is consumed and gives false); Drain reads every queued
  // event without blocking. Drain may run on any thread; the kernel queues
  // an event before the call that caused it returns.
  bool WaitReadable(int timeoutMs);
  Result Drain();

 private:
  RFd inotify_;
  RFd wake_;
};

}  // namespace vantor
