// The one event loop of the process: windows, posted messages, timers, socket
// readiness and signals, all dispatched on the thread that calls Run().
//
// A "window" is a registered handler with a 32-bit id. Messages are FIFO.
// `PostMessage` is the only call that may come from another thread (it wakes
// the loop through an eventfd); every other call belongs to the loop thread.
// Nothing here throws; failures are return values.
//
// Socket readiness follows the asynchronous-select contract the socket layer
// is written against: after `AsyncSelect(fd, window, msg, events)` the loop
// posts (msg, wParam = fd, lParam = RSelectReply(event, errno)) to the window:
//   FD_READ    once, and again only after `Reenable(fd, FD_READ)` (call it
//              after a recv that returned data or EAGAIN, not after EOF);
//   FD_WRITE   once when writable, again only after `Reenable(fd, FD_WRITE)`
//              (call it when a send hit EAGAIN);
//   FD_ACCEPT  once while connections wait, again after `Reenable(fd, FD_ACCEPT)`;
//   FD_CONNECT once, when a non-blocking connect finishes (error = SO_ERROR);
//   FD_CLOSE   once, when the peer closed or reset (error = SO_ERROR or 0).
// When FD_READ and FD_CLOSE are ready together, FD_READ is posted first.
// Readiness messages are never refused for a full queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/RClock.h"
#include "platform/REpollBackend.h"
#include "platform/RFd.h"
#include "platform/RLoopFileWatch.h"
#include "platform/RLoopMsg.h"
#include "platform/RLoopSelect.h"
#include "platform/RLoopTimers.h"

namespace vantor {

class RMessageLoop {
 public:
  using Handler = std::function<intptr_t(const RMsg&)>;
  using TimerId = RLoopTimers::TimerId;

  // `queueBound` limits messages waiting in the queue (10000 in production).
  // `clock` is not owned; nullptr means the system clock.
  explicit RMessageLoop(size_t queueBound = 10000, RClock* clock = nullptr);
  ~RMessageLoop();
  RMessageLoop(const RMessageLoop&) = delete;
  RMessageLoop& operator=(const RMessageLoop&) = delete;

  // False when epoll, eventfd or signalfd could not be created.
  bool Valid() const { return epoll_.Valid() && wake_.Valid(); }

  // --- windows and messages -------------------------------------------
  // Ids start at 1 and are never reused.
  RWindowId CreateWindow(Handler handler);
  // Messages still queued for the window are dropped. Safe inside the
  // window's own handler: the handler object lives until it returns.
  void DestroyWindow(RWindowId id);
  bool WindowExists(RWindowId id) const;

  // Thread-safe. False when the window does not exist or the queue is full.
  bool PostMessage(RWindowId window, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  // Calls the handler now and returns its result (0 when there is no window).
  intptr_t SendMessage(RWindowId window, uint32_t message, uintptr_t wParam = 0,
                       intptr_t lParam = 0);
  size_t QueuedCount() const;
  size_t QueueBound() const { return bound_; }

  // --- timers ---------------------------------------------------------------
  // Fires after `periodMs` (and every `periodMs` when repeating). A late
  // timer fires once and keeps its phase. The callback may cancel any timer.
  TimerId AddTimer(int64_t periodMs, bool repeat, std::function<void()> callback);
  void CancelTimer(TimerId id);
  size_t TimerCount() const { return timers_.Count(); }

  // --- readiness ----------------------------------------------------------
  // events == 0 stops watching. Returns 0 or -errno. Bits of `readyNow`
  // (a subset of `events`) are announced at once instead of being waited
  // for: a freshly accepted socket is writable, and asking epoll to say so
  // costs a wake-up and a second epoll_ctl.
  int AsyncSelect(int fd, RWindowId window, uint32_t message, uint32_t events,
                  uint32_t readyNow = 0);
  void Reenable(int fd, uint32_t event);
  // True while `event` is enabled on `fd`: the loop announces it by itself
  // when it becomes ready, so nobody needs to post it.
  bool Announcing(int fd, uint32_t event) const;
  // Stops watching a descriptor the caller closes next (closing removes it
  // from the kernel's set, so no system call is spent on it).
  void Forget(int fd);
  // Plain readiness callback for internal fds (inotify, eventfds). The
  // callback gets the epoll event bits and runs on the loop thread.
  bool WatchFd(int fd, std::function<void(uint32_t)> callback);
  // Also wakes the callback when `fd` is writable (`on`), or no longer.
  void WatchFdWritable(int fd, bool on) { select_.WatchFdWritable(fd, on); }
  void UnwatchFd(int fd);
  size_t WatchedFdCount() const { return select_.Count(); }

  // --- signals --------------------------------------------------------------
  // Blocks `signo` in the calling thread (call before starting other threads)
  // and posts (message, wParam = signo) to `window` when it arrives.
  bool WatchSignal(int signo, RWindowId window, uint32_t message);

  // --- running --------------------------------------------------------------
  // Runs until Quit(); returns the code given to Quit().
  int Run();
  // Thread-safe.
  void Quit(int code = 0);
  bool QuitRequested() const { return quit_.load(); }
  // One pass: waits at most `maxWaitMs` (-1: until something happens or the
  // next timer), then handles readiness, due timers and queued messages.
  void RunOnce(int64_t maxWaitMs);
  // How many batches of queued messages one pass may dispatch before it
  // looks at readiness again (messages posted while a batch runs form the
  // next batch). 1 by default.
  void SetBatchesPerPass(int n) { batchesPerPass_ = n < 1 ? 1 : n; }
  // Handles everything that is ready now, without waiting, until the queue is
  // empty. For tests driven by a manual clock.
  void RunPending();
  // Runs `step` as a pass of its own when called outside one (inside a pass:
  // as part of it), without waiting or dispatching: the caches that look at
  // a file once per pass then see one content all through a step whose
  // parts each read the same file, such as the server's start-up.
  void RunAsPass(const std::function<void()>& step);
  // `callback` runs at the end of every pass, before the loop waits again
  // (work gathered during the pass, such as replies, goes out in one go).
  // A callback must not add or remove pass-end callbacks.
  uint64_t AddPassEnd(std::function<void()> callback);
  void RemovePassEnd(uint64_t id);
  // `observer` (nullptr: none) gets the busy time of every pass of Run() or
  // RunOnce() in nanoseconds of the monotonic clock: from the wake-up to the
  // end of the pass-end callbacks, the wait itself left out. It runs on the
  // loop thread after the pass-end callbacks.
  void SetPassObserver(std::function<void(int64_t busyNs)> observer) {
    passObserver_ = std::move(observer);
  }

  // Whether the caller runs on the loop's thread (a job the pool had to run
  // inline, for one): such a caller may touch the loop's state directly.
  bool OnLoopThread() const { return std::this_thread::get_id() == loopThread_; }

  RClock& Clock() const { return *clock_; }
  // For front ends that drive the loop from their own: readable when
  // RunOnce(0) has work; NextTimeoutMs() is the wait until the next timer
  // (-1: none, 0: messages waiting).
  int EpollFd() const { return epoll_.Fd(); }
  int64_t NextTimeoutMs() const;

  // The pass the loop on the calling thread is in (0: not inside one).
  // Caches that check the disk at most once per pass key on it.
  static uint64_t CurrentPass();
  // The loop whose pass runs on the calling thread (null outside a pass).
  static RMessageLoop* Current();
  // Unique among the loops this process has made, so a cache can tell a
  // loop it met before from a new one at the same address.
  uint64_t Serial() const { return serial_; }

  // --- file change watch ----------------------------------------------------
  // Lets a cache of a file on disk skip looking at it while nothing changed:
  // the file's directory is watched through inotify, and every event that
  // may concern the file moves the token's count. Returns 0 when the file
  // cannot be watched (a link, no inotify); the caller then keeps looking.
  uint32_t WatchFile(const std::string& path);
  // The token's change count, or a count that moves on every call once the
  // watch has ended (directory removed or moved, events lost). Events are
  // read at the start of each pass.
  uint64_t FileChanges(uint32_t token);
  // For writers in this process: counts the change on every watch of `path`
  // now, ahead of its events.
  void NoteFileWritten(const std::string& path);

 private:
  struct Window {
    Handler handler;
    int busy = 0;
    bool dead = false;
  };
  intptr_t Dispatch(const RMsg& m);
  void EnqueueInternal(const RMsg& m);
  void Wait(int64_t timeoutMs);
  void FireTimers();
  void DrainQueue(bool untilEmpty);
  void DrainWake();
  void DrainSignals();
  void RunPassEnd();

  RClock* clock_;
  size_t bound_;
  REpollBackend epoll_;
  RFd wake_;
  RFd signal_;
  std::thread::id loopThread_;

  mutable std::mutex mu_;  // guards queue_ and writes to windows_
  std::vector<RMsg> queue_;
  std::vector<RMsg> spare_;  // loop thread: an emptied batch kept for its capacity
  std::unordered_map<RWindowId, std::unique_ptr<Window>> windows_;
  RWindowId nextWindow_ = 1;
  std::atomic<bool> wakePending_{false};
  std::atomic<bool> quit_{false};
  std::atomic<int> quitCode_{0};
  int batchesPerPass_ = 1;
  std::vector<std::pair<uint64_t, std::function<void()>>> passEnd_;
  uint64_t nextPassEnd_ = 1;
  std::function<void(int64_t)> passObserver_;
  int64_t passStartNs_ = 0;  // when the wait of the current pass returned

  RLoopTimers timers_;

  RLoopSelect select_;
  RLoopFileWatch files_;
  uint64_t serial_;

  struct SignalWatch {
    RWindowId window;
    uint32_t message;
  };
  std::unordered_map<int, SignalWatch> signals_;
};

}  // namespace vantor
