#include "platform/RMessageLoop.h"

#include <errno.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

namespace vantor {
namespace {

// Marks the eventfd and signalfd in epoll's user data; fds are never this big.
constexpr uint64_t kWakeTag = 1ull << 40;
constexpr uint64_t kSignalTag = 2ull << 40;

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

uint64_t NextLoopSerial() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

RMessageLoop::RMessageLoop(size_t queueBound, RClock* clock)
    : clock_(clock != nullptr ? clock : &RSystemClock::Instance()),
      bound_(queueBound),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      loopThread_(std::this_thread::get_id()),
      files_([this](int fd, std::function<void(uint32_t)> cb) {
        return WatchFd(fd, std::move(cb));
      }),
      serial_(NextLoopSerial()) {
  if (epoll_.Valid() && wake_.Valid()) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &ev);
  }
}

RMessageLoop::~RMessageLoop() = default;

// --- windows and messages ----------------------------------------------------

RWindowId RMessageLoop::CreateWindow(Handler handler) {
  auto w = std::make_unique<Window>();
  w->handler = std::move(handler);
  std::lock_guard<std::mutex> lock(mu_);
  RWindowId id = nextWindow_++;
  windows_.emplace(id, std::move(w));
  return id;
}

void RMessageLoop::DestroyWindow(RWindowId id) {
  std::unique_ptr<Window> doomed;  // destroyed outside the lock
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = windows_.find(id);
    if (it == windows_.end() || it->second->dead) return;
    if (it->second->busy > 0) {
      it->second->dead = true;  // freed when its handler returns
    } else {
      doomed = std::move(it->second);
      windows_.erase(it);
    }
  }
}

bool RMessageLoop::WindowExists(RWindowId id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = windows_.find(id);
  return it != windows_.end() && !it->second->dead;
}

bool RMessageLoop::PostMessage(RWindowId window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = windows_.find(window);
    if (it == windows_.end() || it->second->dead) return false;
    if (queue_.size() >= bound_) return false;
    queue_.push_back(RMsg{window, message, wParam, lParam});
  }
  if (std::this_thread::get_id() != loopThread_ && !wakePending_.exchange(true)) {
    uint64_t one = 1;
    ssize_t r = ::write(wake_.Get(), &one, sizeof(one));
    (void)r;  // a full eventfd counter already means "wake up"
  }
  return true;
}

void RMessageLoop::EnqueueInternal(const RMsg& m) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(m);
}

intptr_t RMessageLoop::SendMessage(RWindowId window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam) {
  return Dispatch(RMsg{window, message, wParam, lParam});
}

intptr_t RMessageLoop::Dispatch(const RMsg& m) {
  // Only the loop thread changes the map's contents, so reading it here
  // without the lock is safe.
  auto it = windows_.find(m.window);
  if (it == windows_.end() || it->second->dead) return 0;
  Window* w = it->second.get();
  ++w->busy;
  intptr_t r = w->handler(m);
  if (--w->busy == 0 && w->dead) {
    std::unique_ptr<Window> doomed;
    std::lock_guard<std::mutex> lock(mu_);
    auto again = windows_.find(m.window);
    if (again != windows_.end()) {
      doomed = std::move(again->second);
      windows_.erase(again);
    }
  }
  return r;
}

size_t RMessageLoop::QueuedCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

void RMessageLoop::DrainQueue(bool untilEmpty) {
  // Take a batch under the lock and dispatch it without the lock; messages
  // posted meanwhile wait for the next batch, so FIFO order holds. The
  // batches trade buffers with the queue, so a busy loop allocates nothing.
  std::vector<RMsg> batch;
  batch.swap(spare_);
  do {
    batch.clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (queue_.empty()) break;
      batch.swap(queue_);
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      Dispatch(batch[i]);
      if (quit_.load(std::memory_order_relaxed)) {
        // Keep what was not dispatched, in order, ahead of newer messages.
        std::lock_guard<std::mutex> lock(mu_);
        queue_.insert(queue_.begin(), batch.begin() + static_cast<ptrdiff_t>(i) + 1, batch.end());
        batch.clear();
        untilEmpty = false;
        break;
      }
    }
  } while (untilEmpty);
  batch.clear();
  if (batch.capacity() > spare_.capacity()) spare_.swap(batch);
}

// --- timers ------------------------------------------------------------------

RMessageLoop::TimerId RMessageLoop::AddTimer(int64_t periodMs, bool repeat,
                                             std::function<void()> callback) {
  return timers_.Add(clock_->NowMs(), periodMs, repeat, std::move(callback));
}

void RMessageLoop::CancelTimer(TimerId id) {
  timers_.Cancel(id);
}

void RMessageLoop::FireTimers() {
  timers_.Fire(clock_->NowMs(), [this] { return quit_.load(std::memory_order_relaxed); });
}

int64_t RMessageLoop::NextTimeoutMs() const {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!queue_.empty()) return 0;
  }
  return timers_.NextWaitMs(clock_->NowMs());
}

// --- readiness -----------------------------------------------------------------

uint32_t RMessageLoop::WantedInterest(const FdWatch& w) {
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

void RMessageLoop::UpdateInterest(int fd, FdWatch& w) {
  const uint32_t want = WantedInterest(w);
  if (want == w.armed) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = static_cast<uint64_t>(fd);
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &ev);
  w.armed = want;
}

int RMessageLoop::AsyncSelect(int fd, RWindowId window, uint32_t message, uint32_t events,
                              uint32_t readyNow) {
  auto it = fds_.find(fd);
  if (events == 0) {
    if (it != fds_.end()) {
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
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
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) return -errno;
    fresh.armed = ev.events;
    fds_.emplace(fd, std::move(fresh));
  } else {
    fresh.armed = it->second.armed;
    it->second = std::move(fresh);
    UpdateInterest(fd, it->second);
  }
  for (uint32_t bit : {FD_READ, FD_WRITE}) {
    if (readyNow & bit) {
      EnqueueInternal(RMsg{window, message, static_cast<uintptr_t>(fd), RSelectReply(bit, 0)});
    }
  }
  return 0;
}

bool RMessageLoop::Announcing(int fd, uint32_t event) const {
  auto it = fds_.find(fd);
  return it != fds_.end() && (it->second.enabled & event) == event;
}

void RMessageLoop::Forget(int fd) {
  // The descriptor is about to be closed, which removes it from the epoll
  // set by itself (none of ours is duplicated).
  fds_.erase(fd);
}

void RMessageLoop::Reenable(int fd, uint32_t event) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  FdWatch& w = it->second;
  w.enabled |= (event & w.events & (FD_READ | FD_WRITE | FD_ACCEPT));
  if (event & w.events & FD_WRITE) w.writeCycling = true;
  // Lazy: if the epoll bit is still armed, level triggering reports it again.
  UpdateInterest(fd, w);
}

bool RMessageLoop::WatchFd(int fd, std::function<void(uint32_t)> callback) {
  if (fds_.count(fd) != 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = static_cast<uint64_t>(fd);
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  FdWatch w;
  w.callback = std::move(callback);
  w.armed = EPOLLIN;
  fds_.emplace(fd, std::move(w));
  return true;
}

void RMessageLoop::UnwatchFd(int fd) {
  (void)AsyncSelect(fd, 0, 0, 0);
}

void RMessageLoop::HandleSelect(int fd, FdWatch& w, uint32_t ev) {
  auto post = [&](uint32_t event, int error) {
    EnqueueInternal(
        RMsg{w.window, w.message, static_cast<uintptr_t>(fd), RSelectReply(event, error)});
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

// --- signals -------------------------------------------------------------------

bool RMessageLoop::WatchSignal(int signo, RWindowId window, uint32_t message) {
  signals_[signo] = SignalWatch{window, message};
  sigset_t set;
  sigemptyset(&set);
  for (const auto& [s, _] : signals_) sigaddset(&set, s);
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  int fd = ::signalfd(signal_.Valid() ? signal_.Get() : -1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return false;
  if (!signal_.Valid()) {
    signal_.Reset(fd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kSignalTag;
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  }
  return true;
}

void RMessageLoop::DrainSignals() {
  signalfd_siginfo si{};
  while (::read(signal_.Get(), &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
    auto it = signals_.find(static_cast<int>(si.ssi_signo));
    if (it == signals_.end()) continue;
    EnqueueInternal(RMsg{it->second.window, it->second.message, si.ssi_signo, 0});
  }
}

void RMessageLoop::DrainWake() {
  uint64_t v = 0;
  ssize_t r = ::read(wake_.Get(), &v, sizeof(v));
  (void)r;
  wakePending_.store(false);
}

// --- running ---------------------------------------------------------------------

namespace {
thread_local uint64_t t_pass = 0;
thread_local int t_passDepth = 0;  // inside RunOnce or RunPending
thread_local RMessageLoop* t_loop = nullptr;

// Marks the stretch of a pass; outside one (test code between passes, a
// front end's own handlers) CurrentPass() is 0 and caches always look.
struct PassScope {
  explicit PassScope(RMessageLoop* loop) : outer(t_loop) {
    ++t_passDepth;
    t_loop = loop;
  }
  ~PassScope() {
    --t_passDepth;
    t_loop = outer;
  }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;
  RMessageLoop* outer;
};
}  // namespace

uint64_t RMessageLoop::CurrentPass() {
  return t_passDepth > 0 ? t_pass : 0;
}

RMessageLoop* RMessageLoop::Current() {
  return t_passDepth > 0 ? t_loop : nullptr;
}

// --- file change watch -----------------------------------------------------------

uint32_t RMessageLoop::WatchFile(const std::string& path) {
  return files_.Watch(path);
}

uint64_t RMessageLoop::FileChanges(uint32_t token) {
  return files_.Changes(token);
}

void RMessageLoop::NoteFileWritten(const std::string& path) {
  files_.NoteWritten(path);
}

void RMessageLoop::Wait(int64_t timeoutMs) {
  epoll_event events[128];
  int t = timeoutMs > 0x7fffffff ? 0x7fffffff : static_cast<int>(timeoutMs);
  passMu_.unlock();
  int n = ::epoll_wait(epoll_.Get(), events, 128, t);
  passMu_.lock();
  ++t_pass;
  for (int i = 0; i < n; ++i) {
    uint64_t tag = events[i].data.u64;
    if (tag == kWakeTag) {
      DrainWake();
      continue;
    }
    if (tag == kSignalTag) {
      DrainSignals();
      continue;
    }
    int fd = static_cast<int>(tag);
    auto it = fds_.find(fd);
    if (it == fds_.end()) continue;
    if (it->second.callback) {
      auto cb = it->second.callback;  // the callback may unwatch itself
      cb(events[i].events);
    } else {
      HandleSelect(fd, it->second, events[i].events);
    }
  }
}

void RMessageLoop::RunOnce(int64_t maxWaitMs) {
  int64_t t = NextTimeoutMs();
  if (maxWaitMs >= 0 && (t < 0 || t > maxWaitMs)) t = maxWaitMs;
  PassScope scope(this);
  std::lock_guard<std::recursive_timed_mutex> pass(passMu_);
  Wait(t);
  FireTimers();
  for (int batch = 0; batch < batchesPerPass_; ++batch) {
    DrainQueue(false);
    if (quit_.load(std::memory_order_relaxed)) break;
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) break;
  }
  RunPassEnd();
}

uint64_t RMessageLoop::AddPassEnd(std::function<void()> callback) {
  passEnd_.emplace_back(nextPassEnd_, std::move(callback));
  return nextPassEnd_++;
}

void RMessageLoop::RemovePassEnd(uint64_t id) {
  std::erase_if(passEnd_, [id](const auto& e) { return e.first == id; });
}

void RMessageLoop::RunPassEnd() {
  for (auto& e : passEnd_) e.second();
}

void RMessageLoop::RunPending() {
  PassScope scope(this);
  std::lock_guard<std::recursive_timed_mutex> pass(passMu_);
  for (int guard = 0; guard < 1000 && !quit_.load(); ++guard) {
    Wait(0);
    FireTimers();
    DrainQueue(true);
    RunPassEnd();
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) break;
  }
}

int RMessageLoop::Run() {
  // Other threads read loopThread_ in PostMessage without a lock: it is set
  // at construction, and written here only for a loop run on another thread
  // than the one that made it (before anyone else may post to it).
  if (loopThread_ != std::this_thread::get_id()) loopThread_ = std::this_thread::get_id();
  while (!quit_.load()) RunOnce(-1);
  quit_.store(false);
  return quitCode_.load();
}

void RMessageLoop::Quit(int code) {
  quitCode_.store(code);
  quit_.store(true);
  if (std::this_thread::get_id() != loopThread_) {
    uint64_t one = 1;
    ssize_t r = ::write(wake_.Get(), &one, sizeof(one));
    (void)r;
  }
}

}  // namespace vantor
