#include "platform/RLoopSelect.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>

namespace vantor {
namespace {

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

uint32_t RLoopSelect::WantedInterest(const FdWatch& w) {
  if (w.callback) return EPOLLIN;
  uint32_t want = 0;
  if (w.enabled & (FD_READ | FD_ACCEPT)) want |= EPOLLIN;
  if (w.enabled & (FD_WRITE | FD_CONNECT)) want |= EPOLLOUT;
  if (w.enabled & FD_CLOSE) want |= EPOLLRDHUP;
  // Interest is dropped lazily: after a read or accept was announced
  // the owner almost always drains the socket and re-enables, so the bits
  // stay registered and only a report nobody asked for removes them. That
  // saves two epoll_ctl calls per command on a control connection.
  if (w.lazyIn) want |= (w.armed & (EPOLLIN | EPOLLRDHUP));
  // The same for output: a sender that fills the socket re-enables FD_WRITE
  // at once, so a bulk transfer keeps EPOLLOUT registered throughout.
  if (w.lazyOut) want |= (w.armed & EPOLLOUT);
  return want;
}

void RLoopSelect::UpdateInterest(int fd, FdWatch& w) {
  const uint32_t want = WantedInterest(w);
  if (want == w.armed) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = static_cast<uint64_t>(fd);
  epoll_.Modify(fd, ev);
  w.armed = want;
}

int RLoopSelect::AsyncSelect(int fd, RWindowId window, uint32_t message, uint32_t events,
                             uint32_t readyNow) {
  auto it = fds_.find(fd);
  if (events == 0) {
    if (it != fds_.end()) {
      epoll_.Remove(fd);
      fds_.erase(it);
    }
    return 0;
  }
  FdWatch fresh;
  fresh.window = window;
  fresh.message = message;
  fresh.events = events;
  readyNow &= events & (FD_READ | FD_WRITE);
  fresh.enabled = events & ~readyNow;
  if (it == fds_.end()) {
    epoll_event ev{};
    ev.events = WantedInterest(fresh);
    ev.data.u64 = static_cast<uint64_t>(fd);
    if (int err = epoll_.Add(fd, ev); err != 0) return err;
    fresh.armed = ev.events;
    fds_.emplace(fd, std::move(fresh));
  } else {
    fresh.armed = it->second.armed;
    it->second = std::move(fresh);
    UpdateInterest(fd, it->second);
  }
  for (uint32_t bit : {FD_READ, FD_WRITE}) {
    if (readyNow & bit) {
      enqueue_(RMsg{window, message, static_cast<uintptr_t>(fd), RSelectReply(bit, 0)});
    }
  }
  return 0;
}

bool RLoopSelect::Announcing(int fd, uint32_t event) const {
  auto it = fds_.find(fd);
  return it != fds_.end() && (it->second.enabled & event) == event;
}

void RLoopSelect::Forget(int fd) {
  // The descriptor is about to be closed, which removes it from the epoll
  // set by itself (none of ours is duplicated).
  fds_.erase(fd);
}

void RLoopSelect::Reenable(int fd, uint32_t event) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  FdWatch& w = it->second;
  w.enabled |= (event & w.events & (FD_READ | FD_WRITE | FD_ACCEPT));
  if (event & w.events & FD_WRITE) w.writeCycling = true;
  // Lazy: if the epoll bit is still armed, level triggering reports it again.
  UpdateInterest(fd, w);
}

bool RLoopSelect::WatchFd(int fd, std::function<void(uint32_t)> callback) {
  if (fds_.count(fd) != 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = static_cast<uint64_t>(fd);
  if (epoll_.Add(fd, ev) != 0) return false;
  FdWatch w;
  w.callback = std::move(callback);
  w.armed = EPOLLIN;
  fds_.emplace(fd, std::move(w));
  return true;
}

void RLoopSelect::WatchFdWritable(int fd, bool on) {
  auto it = fds_.find(fd);
  if (it == fds_.end() || !it->second.callback) return;
  const uint32_t want = on ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
  if (it->second.armed == want) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = static_cast<uint64_t>(fd);
  epoll_.Modify(fd, ev);
  it->second.armed = want;
}

void RLoopSelect::HandleSelect(int fd, FdWatch& w, uint32_t ev) {
  auto post = [&](uint32_t event, int error) {
    enqueue_(RMsg{w.window, w.message, static_cast<uintptr_t>(fd), RSelectReply(event, error)});
  };
  const bool hup = (ev & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
  const uint32_t before = w.enabled;
  if ((w.enabled & FD_CONNECT) && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
    int err = SocketError(fd);
    w.enabled &= ~FD_CONNECT;
    post(FD_CONNECT, err);
    if (err != 0) {
      // A failed connect has nothing more to say.
      w.enabled = 0;
      w.lazyIn = w.lazyOut = false;
      UpdateInterest(fd, w);
      return;
    }
  }
  if ((ev & EPOLLIN) && (w.enabled & FD_ACCEPT)) {
    w.enabled &= ~FD_ACCEPT;
    post(FD_ACCEPT, 0);
  }
  if ((ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) && (w.enabled & FD_READ)) {
    w.enabled &= ~FD_READ;
    post(FD_READ, 0);
  }
  if ((ev & (EPOLLOUT)) && (w.enabled & FD_WRITE) && !(w.events & FD_ACCEPT)) {
    w.enabled &= ~FD_WRITE;
    post(FD_WRITE, 0);
  }
  if (hup && (w.enabled & FD_CLOSE) && !(w.events & FD_ACCEPT)) {
    w.enabled &= ~FD_CLOSE;
    post(FD_CLOSE, (ev & EPOLLERR) ? SocketError(fd) : 0);
  }
  if (ev & (EPOLLHUP | EPOLLERR)) {
    // These are reported whatever the interest; stop listening to them once
    // everything that can be said has been said.
    if ((w.enabled & (FD_READ | FD_CLOSE | FD_WRITE)) == 0) {
      w.enabled = 0;
    }
  }
  // Keep input registered only while its announcement is fresh; a second
  // report before the owner re-enabled removes it.
  if ((before & ~w.enabled & (FD_READ | FD_ACCEPT | FD_CLOSE)) != 0) {
    w.lazyIn = true;
  } else if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    w.lazyIn = false;
  }
  if ((before & ~w.enabled & FD_WRITE) != 0) {
    // Only a sender that has re-enabled writing before (one that fills the
    // socket) keeps it; the first announcement after connecting is
    // usually the last.
    w.lazyOut = w.writeCycling;
  } else if (ev & (EPOLLOUT | EPOLLHUP | EPOLLERR)) {
    w.lazyOut = false;
  }
  UpdateInterest(fd, w);
}

void RLoopSelect::Handle(int fd, uint32_t ev) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  if (it->second.callback) {
    auto cb = it->second.callback;  // the callback may unwatch itself
    cb(ev);
  } else {
    HandleSelect(fd, it->second, ev);
  }
}

}  // namespace vantor
