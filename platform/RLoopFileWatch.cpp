#include "platform/RLoopFileWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

namespace vantor {

namespace {
// Entries coming and going in the file's directory (the file replaced by a
// rename, created, removed), not writes to other files there: a log written
// next to the configuration would otherwise wake the loop for every line.
constexpr uint32_t kDirEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The file's own inode: its content and attributes.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
}  // namespace

uint32_t RLoopFileWatch::Watch(const std::string& path) {
  struct stat st {};
  // A link's target may live in another directory whose events we would
  // not see.
  if (path.empty() || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) return 0;
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return 0;
  for (size_t i = 0; i < watches_.size(); ++i) {
    const FileWatch& w = watches_[i];
    if (w.path == path && !w.ended) return static_cast<uint32_t>(i + 1);
  }
  if (!inotify_.Valid()) {
    RFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd.Valid()) return 0;
    if (!registerFd_(fd.Get(), [this](uint32_t) { Drain(); })) return 0;
    inotify_ = std::move(fd);
  }
  const int dirWd = ::inotify_add_watch(inotify_.Get(), dir.c_str(), kDirEvents);
  if (dirWd < 0) return 0;
  FileWatch w{path, name, dirWd};
  w.fileWd = ::inotify_add_watch(inotify_.Get(), path.c_str(), kFileEvents);
  watches_.push_back(std::move(w));
  return static_cast<uint32_t>(watches_.size());
}

uint64_t RLoopFileWatch::Changes(uint32_t token) {
  if (token == 0 || token > watches_.size()) return 0;
  FileWatch& w = watches_[token - 1];
  if (w.ended) return ++w.changes;
  if (w.rewatch) {
    // The name may lead to another inode now (or to none): watch that one.
    // The caller looks at the file after this, so nothing falls in between.
    w.rewatch = false;
    const int old = w.fileWd;
    w.fileWd = ::inotify_add_watch(inotify_.Get(), w.path.c_str(), kFileEvents);
    if (old >= 0 && old != w.fileWd &&
        std::none_of(watches_.begin(), watches_.end(),
                     [&](const FileWatch& o) { return o.fileWd == old; })) {
      (void)::inotify_rm_watch(inotify_.Get(), old);
    }
  }
  return w.changes;
}

void RLoopFileWatch::NoteWritten(const std::string& path) {
  for (FileWatch& w : watches_) {
    if (w.path != path) continue;
    ++w.changes;
    w.rewatch = true;
  }
}

void RLoopFileWatch::Drain() {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = ::read(inotify_.Get(), buf, sizeof(buf));
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      const std::string_view name = e->len > 0 ? std::string_view(e->name) : std::string_view();
      const bool lost = (e->mask & IN_Q_OVERFLOW) != 0;
      const bool gone = (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0;
      for (FileWatch& w : watches_) {
        if (lost) {
          ++w.changes;
          w.ended = true;
        } else if (e->wd == w.fileWd) {
          ++w.changes;
          if (gone) w.rewatch = true;
        } else if (e->wd == w.dirWd && (gone || name == w.name)) {
          ++w.changes;
          w.rewatch = true;
          // Without its directory watch nobody would see the file come back.
          if (gone) w.ended = true;
        }
      }
    }
  }
}

}  // namespace vantor
