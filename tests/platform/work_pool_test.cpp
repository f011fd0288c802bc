#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/RMessageLoop.h"
#include "platform/RWorkPool.h"
#include "wait_until.h"
#include "work_gate.h"

using namespace vantor;

namespace {

using Gate = test::WorkGate;

// True while thread `tid` of this process sleeps in the kernel.
bool ThreadBlocked(pid_t tid) {
  FILE* f = fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
  if (f == nullptr) return false;
  char line[512] = {};
  const size_t n = fread(line, 1, sizeof(line) - 1, f);
  fclose(f);
  const char* close = strrchr(line, ')');
  return n > 0 && close != nullptr && close[1] == ' ' && close[2] == 'S';
}

RWorkPool::Result IntResult(int v) {
  return std::make_shared<const int>(v);
}
int IntOf(const RWorkPool::Result& r) {
  return *static_cast<const int*>(r.get());
}

class WorkPoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    pool_.reset();
    EXPECT_EQ(loop_.WatchedFdCount(), 0u) << "the pool's eventfd is still watched";
  }
  void MakePool(int threads, size_t bound) {
    pool_ = std::make_unique<RWorkPool>(loop_, threads, bound);
  }
  // A job that holds its worker until `gate` opens and then returns `v`.
  RWorkSubmit SubmitGated(Gate& gate, int v, std::vector<int>* got, RWorkCancelPtr c = nullptr,
                          const std::string& key = {}) {
    return pool_->Submit(
        key, c ? c : std::make_shared<RWorkCancel>(),
        [&gate, v] {
          gate.Wait();
          return IntResult(v);
        },
        [got](const RWorkPool::Result& r) { got->push_back(IntOf(r)); });
  }

  RMessageLoop loop_{64};
  std::unique_ptr<RWorkPool> pool_;
};

}  // namespace

// Work runs off the loop thread; its completion comes back on it, in order.
TEST_F(WorkPoolTest, ResultsComeBackOnTheLoopThread) {
  MakePool(2, 8);
  const std::thread::id loopThread = std::this_thread::get_id();
  std::vector<int> got;
  std::atomic<int> offLoop{0};
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(pool_->Submit(
                  {}, std::make_shared<RWorkCancel>(),
                  [&, i] {
                    if (std::this_thread::get_id() != loopThread) ++offLoop;
                    return IntResult(i * 10);
                  },
                  [&](const RWorkPool::Result& r) {
                    EXPECT_EQ(std::this_thread::get_id(), loopThread);
                    got.push_back(IntOf(r));
                  }),
              RWorkSubmit::Queued);
  }
  ASSERT_TRUE(test::RunLoopUntil(loop_, [&] { return got.size() == 5; }));
  EXPECT_EQ(offLoop.load(), 5);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<int>{0, 10, 20, 30, 40}));
  EXPECT_EQ(pool_->Stats().ran, 5u);
}

// Two requests for the same queued key share one run and one result; a job
// already running is not joined, so the later request gets a fresh run.
TEST_F(WorkPoolTest, SameKeySharesAQueuedJob) {
  MakePool(1, 8);
  Gate gate;
  std::vector<int> got;
  std::atomic<int> runs{0};
  auto counted = [&](int v) {
    return [&, v] {
      ++runs;
      return IntResult(v);
    };
  };
  auto record = [&](const RWorkPool::Result& r) { got.push_back(IntOf(r)); };
  ASSERT_EQ(SubmitGated(gate, 1, &got, nullptr, "dir-a"), RWorkSubmit::Queued);
  ASSERT_TRUE(gate.WaitForWaiters(1));  // "dir-a" now runs
  EXPECT_EQ(pool_->Submit("dir-a", std::make_shared<RWorkCancel>(), counted(2), record),
            RWorkSubmit::Queued);
  EXPECT_EQ(pool_->Submit("dir-a", std::make_shared<RWorkCancel>(), counted(3), record),
            RWorkSubmit::Joined);
  EXPECT_EQ(pool_->Submit("dir-b", std::make_shared<RWorkCancel>(), counted(4), record),
            RWorkSubmit::Queued);
  gate.Open();
  ASSERT_TRUE(test::RunLoopUntil(loop_, [&] { return got.size() == 4; }));
  EXPECT_EQ(got, (std::vector<int>{1, 2, 2, 4}));
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(pool_->Stats().joined, 1u);
}

// Past the bound of waiting jobs a request is refused at once; joining a
// queued job is still possible, and room comes back as jobs start.
TEST_F(WorkPoolTest, FullQueueRefusesInsteadOfWaiting) {
  MakePool(1, 2);
  Gate gate;
  std::vector<int> got;
  ASSERT_EQ(SubmitGated(gate, 0, &got), RWorkSubmit::Queued);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  EXPECT_EQ(SubmitGated(gate, 1, &got, nullptr, "k"), RWorkSubmit::Queued);
  EXPECT_EQ(SubmitGated(gate, 2, &got), RWorkSubmit::Queued);
  EXPECT_EQ(SubmitGated(gate, 3, &got), RWorkSubmit::Full);
  EXPECT_EQ(SubmitGated(gate, 4, &got, nullptr, "k"), RWorkSubmit::Joined);
  EXPECT_EQ(pool_->Stats().queued, 2u);
  EXPECT_EQ(pool_->Stats().refused, 1u);
  gate.Open();
  ASSERT_TRUE(test::RunLoopUntil(loop_, [&] { return got.size() == 4; }));
  EXPECT_EQ(got, (std::vector<int>{0, 1, 1, 2}));
  EXPECT_EQ(SubmitGated(gate, 5, &got), RWorkSubmit::Queued);
  ASSERT_TRUE(test::RunLoopUntil(loop_, [&] { return got.size() == 5; }));
}

// A cancelled waiter hears nothing: a queued job whose waiters all left
// never runs, a running job's result is dropped, a shared job still answers
// the waiter that stayed. Every closure is released either way.
TEST_F(WorkPoolTest, CancelledWaitersGetNothingAndLeakNothing) {
  MakePool(1, 8);
  Gate gate;
  std::vector<int> got;
  auto tracker = std::make_shared<int>(0);  // captured by every done
  std::atomic<int> runs{0};
  auto runsFor = [&](int v) {
    return [&, v] {
      ++runs;
      return IntResult(v);
    };
  };
  RWorkPool::Done record = [&got, tracker](const RWorkPool::Result& r) { got.push_back(IntOf(r)); };
  auto running = std::make_shared<RWorkCancel>();
  auto leaves = std::make_shared<RWorkCancel>();
  auto stays = std::make_shared<RWorkCancel>();
  auto alone = std::make_shared<RWorkCancel>();
  ASSERT_EQ(pool_->Submit(
                {}, running,
                [&gate] {
                  gate.Wait();
                  return IntResult(0);
                },
                record),
            RWorkSubmit::Queued);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  ASSERT_EQ(pool_->Submit("shared", leaves, runsFor(1), record), RWorkSubmit::Queued);
  ASSERT_EQ(pool_->Submit("shared", stays, runsFor(1), record), RWorkSubmit::Joined);
  ASSERT_EQ(pool_->Submit({}, alone, runsFor(2), record), RWorkSubmit::Queued);
  running->Cancel();
  leaves->Cancel();
  alone->Cancel();
  gate.Open();
  ASSERT_TRUE(test::RunLoopUntil(loop_, [&] {
    const RWorkPoolStatsStr s = pool_->Stats();
    return s.queued == 0 && s.running == 0 && s.ran + s.skipped == 3;
  }));
  ASSERT_TRUE(test::RunLoopUntil(loop_, [&] { return got.size() == 1; }));
  loop_.RunOnce(0);
  EXPECT_EQ(got, (std::vector<int>{1}));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(pool_->Stats().skipped, 1u);
  record = nullptr;
  EXPECT_EQ(tracker.use_count(), 1) << "a completion closure was kept";
}

// Ending the pool waits for the running job and drops the queued ones
// without running them or calling anybody back.
TEST_F(WorkPoolTest, DestroyedPoolFinishesRunningAndDropsQueued) {
  MakePool(1, 8);
  Gate gate;
  std::vector<int> got;
  std::atomic<int> runs{0};
  ASSERT_EQ(SubmitGated(gate, 0, &got), RWorkSubmit::Queued);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  ASSERT_EQ(pool_->Submit(
                {}, std::make_shared<RWorkCancel>(),
                [&] {
                  ++runs;
                  return IntResult(1);
                },
                [&](const RWorkPool::Result& r) { got.push_back(IntOf(r)); }),
            RWorkSubmit::Queued);
  // The gate opens once the destructor waits for the worker (this thread
  // blocked in the kernel), so the queued job is seen after the stop.
  const pid_t self = gettid();
  std::atomic<bool> ending{false};
  std::thread opener([&] {
    EXPECT_TRUE(test::WaitUntil([&] { return ending.load() && ThreadBlocked(self); }));
    gate.Open();
  });
  ending = true;
  pool_.reset();
  opener.join();
  loop_.RunPending();
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(runs.load(), 0);
}

// The data lane is as wide as asked (clamped to 1..256; 0: one thread per
// online CPU): that many steps run at once, no more, on threads named
// vantor-data<n>.
TEST_F(WorkPoolTest, DataLaneWidth) {
  for (const auto& [asked, want] : std::vector<std::pair<int, int>>{
           {1, 1}, {3, 3}, {0, RWorkPool::OnlineCpus()}, {1000, RWorkPool::kMaxDataThreads}}) {
    SCOPED_TRACE(asked);
    pool_ = std::make_unique<RWorkPool>(loop_, 1, 8, asked);
    EXPECT_EQ(pool_->DataThreads(), want);
    if (want > 8) continue;  // the width is what matters; 256 threads prove nothing more
    auto gate = std::make_shared<Gate>();
    std::mutex mu;
    std::vector<std::string> names;
    int done = 0;
    for (int i = 0; i < want + 1; ++i) {
      ASSERT_EQ(pool_->SubmitData(
                    std::make_shared<RWorkCancel>(),
                    [gate, &mu, &names] {
                      char name[16] = {};
                      (void)::pthread_getname_np(::pthread_self(), name, sizeof name);
                      {
                        std::lock_guard<std::mutex> lock(mu);
                        names.emplace_back(name);
                      }
                      gate->Wait();
                      return IntResult(0);
                    },
                    [&done](const RWorkPool::Result&) { ++done; }),
                RWorkSubmit::Queued);
    }
    ASSERT_TRUE(gate->WaitForWaiters(want));
    {
      // Every thread holds a step: the one more waits for a thread.
      std::lock_guard<std::mutex> lock(mu);
      EXPECT_EQ(names.size(), static_cast<size_t>(want));
    }
    gate->Open();
    ASSERT_TRUE(test::RunLoopUntil(loop_, [&] { return done == want + 1; }));
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::vector<std::string> expected;
    for (int i = 0; i < want; ++i) expected.push_back("vantor-data" + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
  }
}

// Server end: StopData asks every data step to stop, waits for the running
// ones and delivers their results (their bytes are on disk), while a step
// its owner gave up on stays silent and a queued one never runs; the lane
// refuses new steps afterwards.
TEST_F(WorkPoolTest, StopDataWaitsForRunningStepsAndDeliversThem) {
  pool_ = std::make_unique<RWorkPool>(loop_, 1, 8, 2);
  std::vector<int> got;
  std::atomic<int> runs{0};
  // A step that runs until `until` is cancelled, as a copying step does.
  auto untilStopped = [&](int v, const RWorkCancelPtr& cancel, RWorkCancelPtr until = nullptr) {
    if (!until) until = cancel;
    return pool_->SubmitData(
        cancel,
        [until, v, &runs] {
          ++runs;
          while (!until->Cancelled()) std::this_thread::yield();
          return IntResult(v);
        },
        [&got](const RWorkPool::Result& r) { got.push_back(IntOf(r)); });
  };
  auto kept = std::make_shared<RWorkCancel>();
  auto givenUp = std::make_shared<RWorkCancel>();
  ASSERT_EQ(untilStopped(1, kept), RWorkSubmit::Queued);
  // The given-up step runs on until StopData stops the kept one: ended at
  // its owner's cancel, its thread would take the queued step before
  // StopData came.
  ASSERT_EQ(untilStopped(2, givenUp, kept), RWorkSubmit::Queued);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (runs.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(runs.load(), 2) << "both threads hold a step";
  ASSERT_EQ(untilStopped(3, std::make_shared<RWorkCancel>()), RWorkSubmit::Queued);
  givenUp->Cancel();
  pool_->StopData();
  EXPECT_EQ(got, std::vector<int>{1}) << "the stopped step is delivered at once, the other not";
  EXPECT_EQ(runs.load(), 2) << "the queued step never ran";
  EXPECT_TRUE(pool_->Idle());
  EXPECT_EQ(pool_->SubmitData(
                std::make_shared<RWorkCancel>(), [] { return IntResult(4); },
                [&got](const RWorkPool::Result& r) { got.push_back(IntOf(r)); }),
            RWorkSubmit::Full);
  loop_.RunPending();
  EXPECT_EQ(got, std::vector<int>{1});
}
