#include "platform/RDirWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace vantor {

namespace {
std::atomic<bool> g_refuse{false};
}  // namespace

void DirWatchRefuseForTests(bool refuse) {
  g_refuse.store(refuse);
}

RDirWatch::RDirWatch()
    : inotify_(g_refuse.load() ? -1 : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      wake_(g_refuse.load() ? -1 : ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

int RDirWatch::Add(const std::string& posixDir) {
  if (!Valid()) return -1;
  // Everything that changes what a listing of the directory shows.
  const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                        IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                        IN_DONT_FOLLOW;
  int wd = ::inotify_add_watch(inotify_.Get(), posixDir.c_str(), mask);
  return wd >= 0 ? wd : -1;
}

void RDirWatch::Remove(int watchId) {
  if (Valid() && watchId >= 0) (void)::inotify_rm_watch(inotify_.Get(), watchId);
}

void RDirWatch::Wake() {
  if (!wake_) return;
  uint64_t one = 1;
  // A full counter already means "woken"; nothing to do on EAGAIN.
  ssize_t n = ::write(wake_.Get(), &one, sizeof(one));
  (void)n;
}

RDirWatch::Result RDirWatch::Wait(int timeoutMs) {
  Result r;
  if (!Valid()) return r;
  pollfd fds[2] = {{inotify_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
  int n = ::poll(fds, 2, timeoutMs);
  if (n <= 0) return r;
  if ((fds[1].revents & POLLIN) != 0) {
    uint64_t v = 0;
    ssize_t got = ::read(wake_.Get(), &v, sizeof(v));
    (void)got;
    r.woken = true;
  }
  if ((fds[0].revents & POLLIN) == 0) return r;
  Result d = Drain();
  d.woken = r.woken;
  return d;
}

bool RDirWatch::WaitReadable(int timeoutMs) {
  if (!Valid()) return false;
  pollfd fds[2] = {{inotify_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
  int n = ::poll(fds, 2, timeoutMs);
  if (n <= 0) return false;
  if ((fds[1].revents & POLLIN) != 0) {
    uint64_t v = 0;
    ssize_t got = ::read(wake_.Get(), &v, sizeof(v));
    (void)got;
  }
  return (fds[0].revents & POLLIN) != 0;
}

RDirWatch::Result RDirWatch::Drain() {
  Result r;
  if (!Valid()) return r;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    ssize_t len = ::read(inotify_.Get(), buf, sizeof(buf));
    if (len < 0 && errno == EINTR) continue;
    if (len <= 0) break;
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= len;) {
      inotify_event ev;
      std::memcpy(&ev, buf + off, sizeof(ev));
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
      if ((ev.mask & IN_Q_OVERFLOW) != 0) {
        r.overflow = true;
        continue;
      }
      // IN_IGNORED follows every removal; the owner already forgot the id.
      if ((ev.mask & IN_IGNORED) != 0 || ev.wd < 0) continue;
      if (std::find(r.changed.begin(), r.changed.end(), ev.wd) == r.changed.end()) {
        r.changed.push_back(ev.wd);
      }
    }
  }
  return r;
}

}  // namespace vantor
