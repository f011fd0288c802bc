#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/RSocketLayer.h"
#include "net/RTimer.h"

using namespace vantor;

namespace {

class CountingTimer : public RTimer {
 public:
  using RTimer::RTimer;
  int fired = 0;
  std::function<void()> onExpire;

 protected:
  void Expired() override {
    ++fired;
    if (onExpire) onExpire();
  }
};

class RTimerTest : public ::testing::Test {
 protected:
  RTimerTest() : loop_(100, &clock_), layer_(loop_) {}
  ~RTimerTest() override { EXPECT_EQ(layer_.ActiveTimerCount(), 0u); }
  // One shared tick (316 ms) at a time.
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      clock_.Advance(316);
      loop_.RunPending();
    }
  }
  RManualClock clock_;
  RMessageLoop loop_;
  RSocketLayer layer_;
};

int gCalls = 0;
void CountCall(void* ctx) {
  ++gCalls;
  if (ctx != nullptr) ++*static_cast<int*>(ctx);
}

}  // namespace

// Periods count in 333 ms ticks, at least one: 100 ms fires every tick,
// 1000 ms every third, 0 ms never runs.
TEST_F(RTimerTest, Periods) {
  struct Case {
    int32_t ms;
    int32_t period;
    int firedAfter9;
  } cases[] = {{100, 1, 9},  {333, 1, 9}, {666, 2, 4}, {1000, 3, 3},
               {3000, 9, 1}, {0, 0, 0},   {-5, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms);
    CountingTimer t(&layer_);
    t.Start(c.ms, false);
    EXPECT_EQ(t.Active(), c.period > 0);
    EXPECT_EQ(t.PeriodTicks(), c.period);
    Tick(9);
    EXPECT_EQ(t.fired, c.firedAfter9);
  }
  EXPECT_EQ(loop_.TimerCount(), 0u) << "the shared tick stops with the last timer";
}

// A one-shot timer fires once and stops; a hook may restart it.
TEST_F(RTimerTest, OneShotAndRestart) {
  CountingTimer t(&layer_);
  t.Start(700, true);  // 2 ticks
  Tick(5);
  EXPECT_EQ(t.fired, 1);
  EXPECT_FALSE(t.Active());
  t.onExpire = [&] {
    if (t.fired < 3) t.Start(100, true);
  };
  t.Start(100, true);
  Tick(5);
  EXPECT_EQ(t.fired, 3);
  EXPECT_FALSE(t.Active());
}

// Callback timers are created, found by function and context, and killed.
TEST_F(RTimerTest, CallbackTimers) {
  gCalls = 0;
  int ctxA = 0, ctxB = 0;
  EXPECT_EQ(layer_.StartCallbackTimer(0, CountCall, &ctxA), nullptr);
  ASSERT_NE(layer_.StartCallbackTimer(1000, CountCall, &ctxA), nullptr);
  ASSERT_NE(layer_.StartCallbackTimer(333, CountCall, &ctxB), nullptr);
  Tick(6);
  EXPECT_EQ(ctxA, 2);
  EXPECT_EQ(ctxB, 6);
  EXPECT_TRUE(layer_.KillCallbackTimer(CountCall, &ctxB));
  EXPECT_FALSE(layer_.KillCallbackTimer(CountCall, &ctxB));
  Tick(3);
  EXPECT_EQ(ctxB, 6);
  EXPECT_EQ(ctxA, 3);
  EXPECT_TRUE(layer_.KillCallbackTimer(CountCall, &ctxA));
  EXPECT_EQ(gCalls, 9);
}

// A callback timer left running belongs to the layer and goes with it.
TEST(RTimerLayer, CallbackTimerFreedWithLayer) {
  RManualClock clock;
  RMessageLoop loop(100, &clock);
  {
    RSocketLayer layer(loop);
    ASSERT_NE(layer.StartCallbackTimer(1000, CountCall, nullptr), nullptr);
  }
  EXPECT_EQ(loop.TimerCount(), 0u);
}
