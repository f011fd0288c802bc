#include "platform/RThreadChecker.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vantor;

namespace {

// Runs `fn` on a thread of its own and waits for it.
template <typename Fn>
void OnOtherThread(Fn fn) {
  std::thread t(fn);
  t.join();
}

}  // namespace

// The first use binds; Detach hands the object over, Bind takes it back.
TEST(RThreadChecker, BindsOnFirstUseAndHandsOver) {
  if (!RThreadChecker::kEnabled) GTEST_SKIP() << "thread checks are off in this build";
  RThreadChecker c;
  bool other = false;
  OnOtherThread([&] {
    c.Check("object");
    other = c.OnOwnerThread();
  });
  EXPECT_TRUE(other);
  EXPECT_FALSE(c.OnOwnerThread()) << "bound to the thread that used it first";
  c.Bind();
  EXPECT_TRUE(c.OnOwnerThread());
  c.Check("object");
  OnOtherThread([&] { other = c.OnOwnerThread(); });
  EXPECT_FALSE(other);
  c.Detach();
  OnOtherThread([&] {
    c.Check("object");  // binds the new thread
    other = c.OnOwnerThread();
  });
  EXPECT_TRUE(other);
  EXPECT_FALSE(c.OnOwnerThread());
}

// A use from another thread aborts, naming the object and the call site.
TEST(RThreadCheckerDeathTest, OtherThreadAborts) {
  if (!RThreadChecker::kEnabled) GTEST_SKIP() << "thread checks are off in this build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RThreadChecker c;
        c.Check("the test object");
        OnOtherThread([&] { VANTOR_CHECK_THREAD(c, "the test object"); });
      },
      "thread check failed: the test object used on thread .*, it belongs to thread "
      ".*\n  at .*thread_checker_test.cpp:[0-9]+");
}
