// The kernel side of the message loop: one epoll set. The parts above it
// register descriptors with a 64-bit tag and get the tags back from Wait().
#pragma once

#include <sys/epoll.h>

#include <cstdint>

#include "platform/RFd.h"

namespace vantor {

class REpollBackend {
 public:
  REpollBackend();
  bool Valid() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  // 0 or -errno.
  int Add(int fd, const epoll_event& ev);
  void Modify(int fd, const epoll_event& ev);
  void Remove(int fd);
  // Waits at most `timeoutMs` (-1: no limit); returns the count or -errno.
  int Wait(epoll_event* events, int max, int64_t timeoutMs);

 private:
  RFd fd_;
};

}  // namespace vantor
