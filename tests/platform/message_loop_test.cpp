#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/RMessageLoop.h"
#include "temp_dir.h"

using namespace vantor;

namespace {

// A posted message and the message of a watched descriptor: any numbers do.
constexpr uint32_t kPosted = 1024;
constexpr uint32_t kSelected = 1030;

// A loop on a manual clock with a small queue, and a window recording what
// it receives. Fails the test when a timer or fd is still registered.
class LoopTest : public ::testing::Test {
 protected:
  LoopTest() : loop_(8, &clock_) {
    win_ = loop_.CreateWindow([this](const RMsg& m) -> intptr_t {
      got_.push_back(m);
      return static_cast<intptr_t>(m.wParam) * 2;
    });
  }
  void TearDown() override { EXPECT_EQ(loop_.WatchedFdCount(), 0u) << "fd left registered"; }
  // Moves the clock and runs what became due.
  void Advance(int64_t ms) {
    clock_.Advance(ms);
    loop_.RunPending();
  }

  RManualClock clock_;
  RMessageLoop loop_;
  RWindowId win_ = 0;
  std::vector<RMsg> got_;
};

}  // namespace

// The pass observer hears each pass of RunOnce once, after the pass-end
// callbacks, with the busy time only: a pass that works 30 ms in a handler
// measures at least that, the 200 ms wait of an idle pass is not counted.
TEST_F(LoopTest, PassObserverGetsBusyTime) {
  std::vector<int64_t> passes;
  int ends = 0;
  const uint64_t end = loop_.AddPassEnd([&] { ++ends; });
  loop_.SetPassObserver([&](int64_t ns) {
    EXPECT_EQ(ends, static_cast<int>(passes.size()) + 1) << "after the pass-end callbacks";
    passes.push_back(ns);
  });
  const RWindowId slow = loop_.CreateWindow([](const RMsg&) -> intptr_t {
    // Busy work, not a sleep: 30 ms of the handler's own time.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
    return 0;
  });
  loop_.RunOnce(200);  // nothing to do: waits 200 ms
  ASSERT_TRUE(loop_.PostMessage(slow, kPosted));
  loop_.RunOnce(0);
  ASSERT_EQ(passes.size(), 2u);
  EXPECT_GE(passes[0], 0);
  EXPECT_LT(passes[0], 100'000'000) << "the wait is not busy time";
  EXPECT_GE(passes[1], 30'000'000);
  loop_.SetPassObserver(nullptr);
  loop_.RunOnce(0);
  EXPECT_EQ(passes.size(), 2u);
  loop_.RemovePassEnd(end);
  loop_.DestroyWindow(slow);
}

// Posts arrive in order; the bound refuses posts until the queue drains,
// then accepts again.
TEST_F(LoopTest, PostIsFifoUpToTheBound) {
  for (uintptr_t i = 0; i < 8; ++i) ASSERT_TRUE(loop_.PostMessage(win_, kPosted, i, -1));
  EXPECT_FALSE(loop_.PostMessage(win_, kPosted, 99));
  EXPECT_EQ(loop_.QueuedCount(), 8u);
  loop_.RunPending();
  ASSERT_EQ(got_.size(), 8u);
  for (uintptr_t i = 0; i < 8; ++i) {
    EXPECT_EQ(got_[i].wParam, i);
    EXPECT_EQ(got_[i].lParam, -1);
    EXPECT_EQ(got_[i].message, kPosted);
  }
  EXPECT_TRUE(loop_.PostMessage(win_, 1, 100));
}

// A handler may destroy its own window and send to others re-entrantly.
TEST_F(LoopTest, SendReentrancyAndSelfDestroy) {
  RWindowId self = 0;
  std::vector<int> order;
  self = loop_.CreateWindow([&](const RMsg& m) -> intptr_t {
    order.push_back(static_cast<int>(m.wParam));
    if (m.wParam == 1) {
      EXPECT_EQ(loop_.SendMessage(win_, 7, 21), 42);
      EXPECT_EQ(loop_.SendMessage(self, 7, 2), 5);
      loop_.DestroyWindow(self);
      EXPECT_FALSE(loop_.WindowExists(self));
    }
    return 5;
  });
  EXPECT_EQ(loop_.SendMessage(self, 7, 1), 5);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(got_.size(), 1u);
  EXPECT_FALSE(loop_.PostMessage(self, 1));
}

// A timer callback may cancel another timer due in the same pass.
TEST_F(LoopTest, CancelFromCallback) {
  int b = 0;
  RMessageLoop::TimerId tb = 0;
  loop_.AddTimer(10, false, [&] { loop_.CancelTimer(tb); });
  tb = loop_.AddTimer(10, false, [&] { ++b; });
  Advance(10);
  EXPECT_EQ(b, 0);
}

// The wait a pass computes counts only live timers: a cancelled timer, at
// the top of the heap or surfacing there after an earlier one fired, must
// not wake the loop before the live timer behind it.
TEST_F(LoopTest, CancelledTimersDoNotShortenTheWait) {
  EXPECT_EQ(loop_.NextTimeoutMs(), -1);
  auto soon = loop_.AddTimer(100, false, [] {});
  int fired = 0;
  loop_.AddTimer(5000, false, [&] { ++fired; });
  loop_.CancelTimer(soon);
  EXPECT_EQ(loop_.NextTimeoutMs(), 5000);
  // Buried under a live timer, then on top once that one has fired.
  auto buried = loop_.AddTimer(2000, false, [] {});
  loop_.AddTimer(1000, false, [&] { ++fired; });
  loop_.CancelTimer(buried);
  EXPECT_EQ(loop_.NextTimeoutMs(), 1000);
  Advance(1000);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop_.NextTimeoutMs(), 4000);
  // Cancelling the last live timer leaves nothing to wait for.
  loop_.CancelTimer(loop_.AddTimer(10, true, [] {}));
  Advance(4000);
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(loop_.NextTimeoutMs(), -1);
  EXPECT_EQ(loop_.TimerCount(), 0u);
}

// Posts from other threads arrive, all of them, each thread's in order.
TEST(RMessageLoop, PostFromOtherThreads) {
  RMessageLoop loop(100000);
  std::vector<std::vector<uintptr_t>> seen(4);
  int total = 0;
  RWindowId w = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
    seen[static_cast<size_t>(m.lParam)].push_back(m.wParam);
    if (++total == 4 * 5000) loop.Quit(7);
    return 0;
  });
  std::vector<std::thread> threads;
  for (intptr_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uintptr_t i = 0; i < 5000; ++i) {
        while (!loop.PostMessage(w, 1, i, t)) std::this_thread::yield();
      }
    });
  }
  EXPECT_EQ(loop.Run(), 7);
  for (auto& th : threads) th.join();
  for (const auto& s : seen) {
    ASSERT_EQ(s.size(), 5000u);
    for (uintptr_t i = 0; i < 5000; ++i) ASSERT_EQ(s[i], i);
  }
}

// Signals arrive as messages with the signal number.
TEST(RMessageLoop, SignalsAsMessages) {
  RMessageLoop loop;
  int got = 0;
  RWindowId w = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
    got = static_cast<int>(m.wParam);
    loop.Quit(0);
    return 0;
  });
  ASSERT_TRUE(loop.WatchSignal(SIGUSR2, w, 2000));
  ::kill(::getpid(), SIGUSR2);
  loop.Run();
  EXPECT_EQ(got, SIGUSR2);
}

// An idle loop sleeps until its timer instead of spinning.
TEST(RMessageLoop, IdleLoopSleeps) {
  RMessageLoop loop;
  int passes = 0;
  loop.AddTimer(50, false, [&] { loop.Quit(0); });
  while (!loop.QuitRequested()) {
    loop.RunOnce(-1);
    ++passes;
  }
  EXPECT_LE(passes, 3);
}

// A bit given as ready at once is announced in the next pass without epoll
// having been asked, and only once; the others wait for readiness as usual.
TEST_F(LoopTest, ReadyNowAnnouncedOnce) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  ASSERT_EQ(loop_.AsyncSelect(sv[0], win_, kSelected, FD_READ | FD_WRITE | FD_CLOSE, FD_WRITE), 0);
  EXPECT_TRUE(loop_.Announcing(sv[0], FD_READ));
  EXPECT_FALSE(loop_.Announcing(sv[0], FD_WRITE));
  loop_.RunPending();
  loop_.RunPending();
  ASSERT_EQ(got_.size(), 1u);
  EXPECT_EQ(RSelectEvent(got_[0].lParam), FD_WRITE);
  got_.clear();

  ASSERT_EQ(::write(sv[1], "x", 1), 1);
  loop_.RunPending();
  ASSERT_EQ(got_.size(), 1u);
  EXPECT_EQ(RSelectEvent(got_[0].lParam), FD_READ);
  EXPECT_FALSE(loop_.Announcing(sv[0], FD_READ));
  loop_.Reenable(sv[0], FD_READ);
  EXPECT_TRUE(loop_.Announcing(sv[0], FD_READ));

  loop_.UnwatchFd(sv[0]);
  ::close(sv[0]);
  ::close(sv[1]);
}

// A file watch counts what happens to its own file only: writes, attribute
// changes, replacement by rename (and writes to the replacement), removal.
TEST(RMessageLoop, FileWatchCountsItsOwnFile) {
  test::TempDir tmp;
  const std::string dir = tmp.File("w");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string file = dir + "/a.ini";
  test::WriteText(file, "1");
  test::WriteText(dir + "/b.log", "x");
  RMessageLoop loop;
  const uint32_t token = loop.WatchFile(file);
  ASSERT_NE(token, 0u);
  EXPECT_EQ(loop.WatchFile(file), token);
  uint64_t seen = loop.FileChanges(token);
  auto changedAfterPass = [&] {
    loop.RunOnce(0);
    const uint64_t now = loop.FileChanges(token);
    const bool changed = now != seen;
    seen = now;
    return changed;
  };
  EXPECT_FALSE(changedAfterPass());
  test::WriteText(dir + "/b.log", "xy");  // a neighbour's writes do not count
  EXPECT_FALSE(changedAfterPass());
  test::WriteText(file, "2");
  EXPECT_TRUE(changedAfterPass());
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  EXPECT_TRUE(changedAfterPass());
  test::WriteText(dir + "/a.tmp", "3");
  ASSERT_EQ(::rename((dir + "/a.tmp").c_str(), file.c_str()), 0);
  EXPECT_TRUE(changedAfterPass());
  EXPECT_FALSE(changedAfterPass());
  test::WriteText(file, "4");  // the replacement is watched too
  EXPECT_TRUE(changedAfterPass());
  ASSERT_EQ(::unlink(file.c_str()), 0);
  EXPECT_TRUE(changedAfterPass());
  test::WriteText(file, "5");
  EXPECT_TRUE(changedAfterPass());

  ASSERT_EQ(::symlink(file.c_str(), (dir + "/l.ini").c_str()), 0);
  EXPECT_EQ(loop.WatchFile(dir + "/l.ini"), 0u);  // its target could be anywhere

  ASSERT_EQ(::rename(dir.c_str(), (dir + "-moved").c_str()), 0);
  loop.RunOnce(0);
  EXPECT_NE(loop.FileChanges(token), loop.FileChanges(token));  // no watch: always changed
}
