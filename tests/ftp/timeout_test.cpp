// The receive limit of a control connection on 127.0.0.1, driven by the
// manual clock (the total login time of LoginTimeLimit is tested on its own).
#include <string>

#include "ftp_fixture.h"

using namespace vantor;

namespace {
class TimeoutTest : public LoopbackTest {};
}  // namespace

// Before login, 180 seconds without a command line end the session; each
// line restarts the limit (auto-reset is on without BlockAntiTimeOut).
TEST_F(TimeoutTest, AdmissionReceiveLimit) {
  Serve("LoginTimeLimit=0\n");
  Peer p = Client();
  ASSERT_EQ(Line(p), kGreeting);
  for (int i = 0; i < 3; ++i) {
    Seconds(120);
    ASSERT_EQ(Cmd(p, "NOOP"), "200 Command okay.");
  }
  Seconds(170);
  EXPECT_EQ(Line(p, kQuiet), "<none>") << "timed out too early";
  Seconds(15);
  EXPECT_EQ(Line(p), "421 Connection timed out - closing.");
  EXPECT_TRUE(Logged(") Connection timed out"));
}

// The login time-outs without an account TimeOut remove the receive limit.
TEST_F(TimeoutTest, LoginTimeOutsRemoveLimit) {
  Serve("LoginTimeLimit=0\n");
  Peer p = Client();
  ASSERT_EQ(Line(p), kGreeting);
  ASSERT_EQ(Cmd(p, "USER joe"), "230 User JOE logged in.");
  OnlySession()->SetLoginTimeOuts(-1);
  Seconds(400);
  EXPECT_EQ(Line(p, kQuiet), "<none>");
}
