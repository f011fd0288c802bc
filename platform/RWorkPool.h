// A small pool of worker threads for blocking file work, so that one
// session's slow directory walk never holds the loop that serves the others.
//
// The loop hands a job out with `Submit`: `work` runs on a worker thread and
// returns its result; `done` then runs on the loop thread with that result,
// delivered through the pool's own eventfd (one wake-up however many jobs
// finished). Jobs start in the order they were submitted.
//
// Cancellation: every waiter brings a token. A cancelled waiter's `done` is
// never called (its closure is still destroyed on the loop thread); a job
// whose waiters are all cancelled before it starts never runs.
//
// Sharing: jobs with the same non-empty key share one run while the first is
// still queued; every waiter gets the same result. A job already running is
// not joined, so a result never predates the request it answers.
//
// Bound: at most `queueBound` jobs wait to start; `Submit` refuses more
// instead of letting the wait grow without limit.
//
// Data lane: `SubmitData` takes the short copying steps of transfers
// (a sendfile or a splice until the socket is full). They have threads of
// their own, started with the first one, so a long directory walk never
// stalls a download and a busy download never fills the queue that
// listings are refused by. Each transfer has at most one step out, so the
// lane is bounded by the transfers; it has no bound of its own. Protected
// transfers encrypt there too, so the lane is as wide as the machine by
// default (`DataThreads`).
//
// Thread names (/proc/PID/task/*/comm): "vantor-work<n>" for workers,
// "vantor-data<n>" for the lane, so a profile can tell where time went.
//
// Threads: `Submit`, `Stats` and the destructor belong to the loop thread;
// `work` must not touch anything the loop thread uses without a lock.
#pragma once

#include <atomic>
#include <condition_variable>
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

#include "platform/RFd.h"

namespace vantor {

class RMessageLoop;

// A waiter's cancellation flag, shared by the waiter and the pool.
class RWorkCancel {
 public:
  void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
};
using RWorkCancelPtr = std::shared_ptr<RWorkCancel>;

enum class RWorkSubmit {
  Queued,  // a new job waits for a worker
  Joined,  // shares the run of a queued job with the same key
  Full,    // refused: the queue is at its bound
};

struct RWorkPoolStatsStr {
  size_t threads = 0;
  size_t queued = 0;   // jobs waiting to start
  size_t running = 0;  // jobs on a worker now
  uint64_t ran = 0;    // jobs whose work ran
  uint64_t joined = 0;
  uint64_t refused = 0;
  uint64_t skipped = 0;  // jobs dropped unrun: every waiter had cancelled
};

class RWorkPool {
 public:
  using Result = std::shared_ptr<const void>;
  using Work = std::function<Result()>;
  using Done = std::function<void(const Result&)>;

  // Starts `threads` workers (clamped to 1..kMaxThreads). When no thread can
  // be started, jobs run on the loop thread inside Submit: slower for the
  // others, but nothing is refused for it. (Only when not even the eventfd
  // could be made does `done` run inside Submit too.)
  // `dataThreads`: the lane's width (clamped to 1..kMaxDataThreads; 0 or
  // less: the number of online CPUs).
  RWorkPool(RMessageLoop& loop, int threads, size_t queueBound, int dataThreads = 0);
  // Waits for running jobs to finish; queued jobs never run and no `done`
  // is called.
  ~RWorkPool();
  RWorkPool(const RWorkPool&) = delete;
  RWorkPool& operator=(const RWorkPool&) = delete;

  static constexpr int kMaxThreads = 16;

  RWorkSubmit Submit(const std::string& key, RWorkCancelPtr cancel, Work work, Done done);
  // `Full` only when no data thread could be started: the caller then does
  // the step itself. `first`: ahead of the steps already waiting (a short
  // step that something waits for).
  RWorkSubmit SubmitData(RWorkCancelPtr cancel, Work work, Done done, bool first = false);
  // Server end, before the owners of the steps go: every step is asked to
  // stop after its current call, queued steps never run, and this returns
  // once no step runs any more, having delivered the results of those that
  // ran (their bytes are on disk and must be counted). Whatever the owners
  // do next (cut a failed upload back, remove it) then meets no write still
  // under way. Later steps are refused (`Full`: the caller copies itself).
  // The one wait of the loop thread on another thread, and only here: a
  // step stops within one system call.
  void StopData();
  static constexpr int kMaxDataThreads = 256;
  // The processors the system has online now (at least 1).
  static int OnlineCpus();
  int DataThreads() const { return dataWidth_; }
  // Steps queued for the lane and not yet started; any thread may ask. A
  // step may wait briefly for its socket only while nobody waits for it.
  bool DataStepsWaiting() const { return dataWaiting_.load(std::memory_order_relaxed) > 0; }
  RWorkPoolStatsStr Stats() const;
  // Nothing queued, running or waiting to be delivered: a retired pool may go.
  bool Idle() const;
  size_t QueueBound() const { return bound_; }

 private:
  struct Waiter {
    RWorkCancelPtr cancel;
    Done done;
  };
  struct Job {
    std::string key;
    Work work;
    std::vector<Waiter> waiters;  // grows only while the job is queued
    Result result;
    // StopData cancelled it while it ran: its result is delivered all the
    // same (a step's cancelled result otherwise never is).
    bool stopped = false;
  };
  using JobPtr = std::shared_ptr<Job>;

  void WorkerMain(bool data);
  bool StartDataThreads();  // under mu_
  static bool AllCancelled(const Job& job);
  void Finished(JobPtr job);  // under mu_
  void DeliverFinished();     // loop thread

  RMessageLoop& loop_;
  size_t bound_;
  RFd wake_;  // eventfd: finished jobs wait for the loop
  bool watching_ = false;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<JobPtr> queue_;
  std::condition_variable dataCv_;
  std::deque<JobPtr> dataQueue_;
  std::atomic<size_t> dataWaiting_{0};  // dataQueue_.size(), read without mu_
  std::vector<JobPtr> dataRunning_;
  std::condition_variable dataIdleCv_;  // dataRunning_ became empty
  bool dataStopped_ = false;
  bool dataStartFailed_ = false;
  int dataWidth_ = 1;
  std::vector<std::thread> dataThreads_;
  std::unordered_map<std::string, JobPtr> queuedByKey_;
  std::vector<JobPtr> finished_;
  size_t running_ = 0;
  bool stop_ = false;
  RWorkPoolStatsStr counts_;
  std::vector<std::thread> threads_;
};

}  // namespace vantor
