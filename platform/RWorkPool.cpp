#include "platform/RWorkPool.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "platform/RMessageLoop.h"

namespace vantor {

namespace {

// Names the calling thread; the kernel keeps at most 15 characters.
void NameThread(const char* role, int index) {
  char name[16];
  std::snprintf(name, sizeof name, "vantor-%s%d", role, index);
  (void)::pthread_setname_np(::pthread_self(), name);
}

}  // namespace

int RWorkPool::OnlineCpus() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n >= 1 ? static_cast<int>(std::min<long>(n, kMaxDataThreads)) : 1;
}

RWorkPool::RWorkPool(RMessageLoop& loop, int threads, size_t queueBound, int dataThreads)
    : loop_(loop),
      bound_(std::max<size_t>(queueBound, 1)),
      dataWidth_(dataThreads >= 1 ? std::min(dataThreads, kMaxDataThreads) : OnlineCpus()) {
  wake_ = RFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (wake_.Valid())
    watching_ = loop_.WatchFd(wake_.Get(), [this](uint32_t) { DeliverFinished(); });
  // Without a way to hear from the workers, jobs run inline.
  if (!watching_) return;
  const int n = std::clamp(threads, 1, kMaxThreads);
  for (int i = 0; i < n; ++i) {
    // std::thread reports failure by exception; keep it inside this call.
    try {
      threads_.emplace_back([this, i] {
        NameThread("work", i);
        WorkerMain(false);
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  counts_.threads = threads_.size();
}

RWorkPool::~RWorkPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  dataCv_.notify_all();
  for (std::thread& t : threads_) t.join();
  for (std::thread& t : dataThreads_) t.join();
  if (watching_) loop_.UnwatchFd(wake_.Get());
}

RWorkSubmit RWorkPool::Submit(const std::string& key, RWorkCancelPtr cancel, Work work, Done done) {
  if (threads_.empty()) {
    // No worker: the job runs here; its completion still comes back on a
    // later pass like every other one, so callers see one behaviour.
    Result result = work();
    if (!watching_) {
      // Not even the eventfd: nobody would deliver it later.
      if (!cancel || !cancel->Cancelled()) done(result);
      return RWorkSubmit::Queued;
    }
    auto job = std::make_shared<Job>();
    job->waiters.push_back({std::move(cancel), std::move(done)});
    job->result = std::move(result);
    std::lock_guard<std::mutex> lock(mu_);
    ++counts_.ran;
    Finished(std::move(job));
    return RWorkSubmit::Queued;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (!key.empty()) {
    auto it = queuedByKey_.find(key);
    if (it != queuedByKey_.end()) {
      it->second->waiters.push_back({std::move(cancel), std::move(done)});
      ++counts_.joined;
      return RWorkSubmit::Joined;
    }
  }
  if (queue_.size() >= bound_) {
    ++counts_.refused;
    return RWorkSubmit::Full;
  }
  auto job = std::make_shared<Job>();
  job->key = key;
  job->work = std::move(work);
  job->waiters.push_back({std::move(cancel), std::move(done)});
  queue_.push_back(job);
  if (!key.empty()) queuedByKey_.emplace(key, std::move(job));
  cv_.notify_one();
  return RWorkSubmit::Queued;
}

RWorkSubmit RWorkPool::SubmitData(RWorkCancelPtr cancel, Work work, Done done, bool first) {
  std::lock_guard<std::mutex> lock(mu_);
  if (dataStopped_ || !StartDataThreads()) {
    ++counts_.refused;
    return RWorkSubmit::Full;
  }
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  job->waiters.push_back({std::move(cancel), std::move(done)});
  if (first) {
    dataQueue_.push_front(std::move(job));
  } else {
    dataQueue_.push_back(std::move(job));
  }
  dataWaiting_.store(dataQueue_.size(), std::memory_order_relaxed);
  dataCv_.notify_one();
  return RWorkSubmit::Queued;
}

void RWorkPool::StopData() {
  std::deque<JobPtr> dropped;
  {
    std::unique_lock<std::mutex> lock(mu_);
    dataStopped_ = true;
    auto cancelAll = [](Job& job) {
      for (Waiter& w : job.waiters) {
        if (w.cancel) w.cancel->Cancel();
      }
    };
    for (JobPtr& job : dataQueue_) cancelAll(*job);
    dropped.swap(dataQueue_);
    dataWaiting_.store(0, std::memory_order_relaxed);
    for (JobPtr& job : dataRunning_) {
      // A step its owner gave up on keeps its silence.
      if (AllCancelled(*job)) continue;
      job->stopped = true;
      cancelAll(*job);
    }
    dataIdleCv_.wait(lock, [this] { return dataRunning_.empty(); });
  }
  DeliverFinished();
}

bool RWorkPool::StartDataThreads() {
  if (!dataThreads_.empty()) return true;
  if (dataStartFailed_ || !watching_) return false;
  for (int i = 0; i < dataWidth_; ++i) {
    try {
      dataThreads_.emplace_back([this, i] {
        NameThread("data", i);
        WorkerMain(true);
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  dataStartFailed_ = dataThreads_.empty();
  return !dataStartFailed_;
}

RWorkPoolStatsStr RWorkPool::Stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  RWorkPoolStatsStr s = counts_;
  s.queued = queue_.size();
  s.running = running_;
  return s;
}

bool RWorkPool::Idle() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.empty() && dataQueue_.empty() && running_ == 0 && finished_.empty();
}

bool RWorkPool::AllCancelled(const Job& job) {
  return std::all_of(job.waiters.begin(), job.waiters.end(),
                     [](const Waiter& w) { return w.cancel && w.cancel->Cancelled(); });
}

void RWorkPool::WorkerMain(bool data) {
  std::deque<JobPtr>& queue = data ? dataQueue_ : queue_;
  std::condition_variable& cv = data ? dataCv_ : cv_;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv.wait(lock, [this, &queue] { return stop_ || !queue.empty(); });
    if (stop_) return;
    JobPtr job = std::move(queue.front());
    queue.pop_front();
    if (data) dataWaiting_.store(dataQueue_.size(), std::memory_order_relaxed);
    if (!job->key.empty()) {
      auto it = queuedByKey_.find(job->key);
      if (it != queuedByKey_.end() && it->second == job) queuedByKey_.erase(it);
    }
    // From here on nobody joins the job, so its waiters are fixed.
    if (AllCancelled(*job)) {
      ++counts_.skipped;
      Finished(std::move(job));
      continue;
    }
    ++running_;
    if (data) dataRunning_.push_back(job);
    lock.unlock();
    Result result = job->work();
    // The work's captures go here, not on the loop thread: they are the
    // worker's own copies.
    job->work = nullptr;
    lock.lock();
    job->result = std::move(result);
    --running_;
    if (data) {
      std::erase(dataRunning_, job);
      if (dataRunning_.empty()) dataIdleCv_.notify_all();
    }
    ++counts_.ran;
    Finished(std::move(job));
  }
}

void RWorkPool::Finished(JobPtr job) {
  const bool first = finished_.empty();
  finished_.push_back(std::move(job));
  if (!first || !wake_.Valid()) return;
  const uint64_t one = 1;
  const ssize_t r = ::write(wake_.Get(), &one, sizeof one);
  (void)r;  // a full counter already means "look"
}

void RWorkPool::DeliverFinished() {
  uint64_t count = 0;
  const ssize_t r = ::read(wake_.Get(), &count, sizeof count);
  (void)r;
  std::vector<JobPtr> jobs;
  {
    std::lock_guard<std::mutex> lock(mu_);
    jobs.swap(finished_);
  }
  // A `done` may submit again or end its own waiter; the jobs taken here
  // are ours alone.
  for (JobPtr& job : jobs) {
    for (Waiter& w : job->waiters) {
      if (w.cancel && w.cancel->Cancelled() && !job->stopped) continue;
      w.done(job->result);
    }
  }
}

}  // namespace vantor
