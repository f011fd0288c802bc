// The log sink belongs to the loop thread: a line from a pool worker must be
// posted to the loop, and the thread check catches one that is not.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "log/RFTPSLogger.h"
#include "platform/RMessageLoop.h"
#include "platform/RThreadChecker.h"
#include "platform/RWorkPool.h"
#include "util/RLog.h"
#include "wait_until.h"

using namespace vantor;

namespace {

constexpr uint32_t kLogLine = 1;

// A logger installed as the sink, a loop and a pool of one worker.
struct Server {
  RManualClock clock{1000000, 1796428471};
  RLogger pane;
  RFTPSLogger logger{pane, clock};
  RMessageLoop loop{64};
  RWorkPool pool{loop, 1, 8};
  Server() { logger.InstallAsSink(); }

  // Runs loop passes until `done` holds or ten seconds pass.
  bool RunUntil(const std::function<bool()>& done) { return test::RunLoopUntil(loop, done); }
  // Submits `work` and runs the loop until its completion came back.
  bool RunJob(std::function<void()> work) {
    bool finished = false;
    pool.Submit(
        {}, std::make_shared<RWorkCancel>(),
        [work = std::move(work)]() -> RWorkPool::Result {
          work();
          return nullptr;
        },
        [&](const RWorkPool::Result&) { finished = true; });
    return RunUntil([&] { return finished; });
  }
};

}  // namespace

// A worker's line goes through the loop (a posted message): it is written,
// on the loop thread, and nothing trips.
TEST(RFTPSLoggerThreads, LinePostedToTheLoopIsWritten) {
  Server s;
  bool delivered = false;
  RWindowId w = s.loop.CreateWindow([&](const RMsg& m) -> intptr_t {
    if (m.message == kLogLine) {
      WriteLog(LOG_SCREEN, "from a worker, through the loop");
      delivered = true;
    }
    return 0;
  });
  ASSERT_TRUE(s.RunJob([&] { (void)s.loop.PostMessage(w, kLogLine); }));
  ASSERT_TRUE(s.RunUntil([&] { return delivered; }));
  EXPECT_EQ(s.pane.Text(), "from a worker, through the loop\r\n");
  s.loop.DestroyWindow(w);
}

// The same line written on the worker itself aborts the debug and
// sanitizer builds, naming the log sink.
TEST(RFTPSLoggerThreadsDeathTest, LineFromAWorkerAborts) {
  if (!RThreadChecker::kEnabled) GTEST_SKIP() << "thread checks are off in this build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Server s;
        WriteLog(LOG_SCREEN, "on the loop first");  // binds the sink here
        (void)s.RunJob([] { WriteLog(LOG_SCREEN, "from a worker"); });
      },
      "thread check failed: the log sink \\(RFTPSLogger\\) used on thread");
}
