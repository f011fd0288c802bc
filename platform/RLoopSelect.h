// Emulates asynchronous select over epoll: per descriptor, which FD_ events
// the owner asked for, which may be announced now, and which epoll bits are
// registered (dropped lazily, see WantedInterest). Announcements go out
// through `enqueue`, the loop's queue. Plain callback watches for internal
// descriptors (inotify, eventfds) live in the same map. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "platform/REpollBackend.h"
#include "platform/RLoopMsg.h"

namespace vantor {

class RLoopSelect {
 public:
  using Enqueue = std::function<void(const RMsg&)>;
  RLoopSelect(REpollBackend& epoll, Enqueue enqueue)
      : epoll_(epoll), enqueue_(std::move(enqueue)) {}

  int AsyncSelect(int fd, RWindowId window, uint32_t message, uint32_t events, uint32_t readyNow);
  void Reenable(int fd, uint32_t event);
  bool Announcing(int fd, uint32_t event) const;
  void Forget(int fd);
  bool WatchFd(int fd, std::function<void(uint32_t)> callback);
  // Adds or drops EPOLLOUT on a plain callback watch (a client library's
  // socket whose output did not all go out).
  void WatchFdWritable(int fd, bool on);
  void UnwatchFd(int fd) { (void)AsyncSelect(fd, 0, 0, 0, 0); }
  size_t Count() const { return fds_.size(); }
  // epoll reported `ev` on `fd`.
  void Handle(int fd, uint32_t ev);

 private:
  struct FdWatch {
    // Async-select watch.
    RWindowId window = 0;
    uint32_t message = 0;
    uint32_t events = 0;        // selected FD_ bits
    uint32_t enabled = 0;       // FD_ bits that may be announced now
    uint32_t armed = 0;         // epoll bits currently registered
    bool lazyIn = false;        // input bits kept registered after an announcement
    bool lazyOut = false;       // the same for EPOLLOUT
    bool writeCycling = false;  // FD_WRITE was re-enabled at least once
    // Plain callback watch.
    std::function<void(uint32_t)> callback;
  };

  void HandleSelect(int fd, FdWatch& w, uint32_t ev);
  void UpdateInterest(int fd, FdWatch& w);
  static uint32_t WantedInterest(const FdWatch& w);

  REpollBackend& epoll_;
  Enqueue enqueue_;
  std::unordered_map<int, FdWatch> fds_;
};

}  // namespace vantor
