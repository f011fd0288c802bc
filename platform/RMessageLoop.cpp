#include "platform/RMessageLoop.h"

#include <errno.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string_view>

namespace vantor {
namespace {

// Marks the eventfd and signalfd in epoll's user data; fds are never this big.
constexpr uint64_t kWakeTag = 1ull << 40;
constexpr uint64_t kSignalTag = 2ull << 40;

uint64_t NextLoopSerial() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

RMessageLoop::RMessageLoop(size_t queueBound, RClock* clock)
    : clock_(clock != nullptr ? clock : &RSystemClock::Instance()),
      bound_(queueBound),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      loopThread_(std::this_thread::get_id()),
      select_(epoll_, [this](const RMsg& m) { EnqueueInternal(m); }),
      files_(
          [this](int fd, std::function<void(uint32_t)> cb) { return WatchFd(fd, std::move(cb)); }),
      serial_(NextLoopSerial()) {
  if (epoll_.Valid() && wake_.Valid()) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    (void)epoll_.Add(wake_.Get(), ev);
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

int RMessageLoop::AsyncSelect(int fd, RWindowId window, uint32_t message, uint32_t events,
                              uint32_t readyNow) {
  return select_.AsyncSelect(fd, window, message, events, readyNow);
}
bool RMessageLoop::Announcing(int fd, uint32_t event) const {
  return select_.Announcing(fd, event);
}
void RMessageLoop::Forget(int fd) {
  select_.Forget(fd);
}
void RMessageLoop::Reenable(int fd, uint32_t event) {
  select_.Reenable(fd, event);
}
bool RMessageLoop::WatchFd(int fd, std::function<void(uint32_t)> callback) {
  return select_.WatchFd(fd, std::move(callback));
}
void RMessageLoop::UnwatchFd(int fd) {
  select_.UnwatchFd(fd);
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
    if (epoll_.Add(fd, ev) != 0) return false;
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
int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
  int n = epoll_.Wait(events, 128, timeoutMs);
  passStartNs_ = MonotonicNs();
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
    select_.Handle(static_cast<int>(tag), events[i].events);
  }
}

void RMessageLoop::RunOnce(int64_t maxWaitMs) {
  int64_t t = NextTimeoutMs();
  if (maxWaitMs >= 0 && (t < 0 || t > maxWaitMs)) t = maxWaitMs;
  PassScope scope(this);
  Wait(t);
  FireTimers();
  for (int batch = 0; batch < batchesPerPass_; ++batch) {
    DrainQueue(false);
    if (quit_.load(std::memory_order_relaxed)) break;
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) break;
  }
  RunPassEnd();
  // A pass-end callback may have removed the observer (its owner went).
  if (passObserver_) passObserver_(MonotonicNs() - passStartNs_);
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
  for (int guard = 0; guard < 1000 && !quit_.load(); ++guard) {
    Wait(0);
    FireTimers();
    DrainQueue(true);
    RunPassEnd();
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) break;
  }
}

void RMessageLoop::RunAsPass(const std::function<void()>& step) {
  if (t_passDepth == 0) ++t_pass;
  PassScope scope(this);
  step();
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
