#include "platform/REpollBackend.h"

#include <errno.h>

namespace vantor {

REpollBackend::REpollBackend() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

int REpollBackend::Add(int fd, const epoll_event& ev) {
  epoll_event copy = ev;
  return ::epoll_ctl(fd_.Get(), EPOLL_CTL_ADD, fd, &copy) == 0 ? 0 : -errno;
}

void REpollBackend::Modify(int fd, const epoll_event& ev) {
  epoll_event copy = ev;
  ::epoll_ctl(fd_.Get(), EPOLL_CTL_MOD, fd, &copy);
}

void REpollBackend::Remove(int fd) {
  ::epoll_ctl(fd_.Get(), EPOLL_CTL_DEL, fd, nullptr);
}

int REpollBackend::Wait(epoll_event* events, int max, int64_t timeoutMs) {
  const int t = timeoutMs > 0x7fffffff ? 0x7fffffff : static_cast<int>(timeoutMs);
  const int n = ::epoll_wait(fd_.Get(), events, max, t);
  return n < 0 ? -errno : n;
}

}  // namespace vantor
