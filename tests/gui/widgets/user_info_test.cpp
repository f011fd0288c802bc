#include <gtest/gtest.h>

#include <QApplication>

#include "fake_engine.h"
#include "gui/qt/RUserInfoWindow.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::guitest::FakeEngine;
using vantor::test::TempDir;

namespace {

RSessionLineStr Line(uint32_t n, const char* user, uint32_t state, int64_t bytes) {
  RSessionLineStr s;
  s.number = n;
  s.hour = 10;
  s.minute = 4;
  s.second = 5;
  s.user = user;
  s.address = "127.0.0.1";
  s.transferState = state;
  s.transferBytes = bytes;
  s.file = state != 0 ? "c:\\srv\\a.bin" : "";
  return s;
}

class UserInfoTest : public ::testing::Test {
 protected:
  UserInfoTest() : engine_((dir_.Write("v.ini", "[GLOBAL]\n"), dir_.File("v.ini"))) {
    SetLanguage(RLanguage::English);
    auto& s = engine_.sessions;
    s.lines[1] = Line(1, "JOE", 0, 0);
    s.lines[2] = Line(2, "anonymous", 5, 500);
    s.lines[2].percent = 45;
  }
  TempDir dir_;
  FakeEngine engine_;
};

}  // namespace

// Opening announces the window, lists the sessions, closing withdraws it.
TEST_F(UserInfoTest, ListAndOpenSwitch) {
  RUserInfoWindow w(engine_);
  w.show();
  EXPECT_TRUE(engine_.sessions.windowOpen);
  ASSERT_EQ(w.List()->topLevelItemCount(), 2);
  EXPECT_EQ(w.LineText(1), "1\t10:04:05\tjoe\t127.0.0.1\tNone");
  EXPECT_EQ(w.LineText(2), "2\t10:04:05\tanonymous\t127.0.0.1\tSnd 45%: 500\tc:\\srv\\a.bin");

  // Notification 3 rebuilds the list, 5 one line.
  engine_.sessions.lines[3] = Line(3, "ann", 10, 0);
  w.OnNotify(3, 3, {});
  EXPECT_EQ(w.List()->topLevelItemCount(), 3);
  EXPECT_EQ(w.LineText(3), "3\t10:04:05\tann\t127.0.0.1\tDir. Connecting\tc:\\srv\\a.bin");
  engine_.sessions.lines[1] = Line(1, "joe", 6, 77);
  w.OnNotify(5, 1, {});
  EXPECT_EQ(w.LineText(1), "1\t10:04:05\tjoe\t127.0.0.1\tRcv: 77\tc:\\srv\\a.bin");
  engine_.sessions.lines.erase(3);
  w.OnNotify(4, 3, {});
  EXPECT_EQ(w.List()->topLevelItemCount(), 2);
  w.close();
  EXPECT_FALSE(engine_.sessions.windowOpen);
  EXPECT_NE(RIniFile(dir_.File("v.ini")).GetString("GLOBAL", "UserInfoWin"), "");
}

// Tracking shows the header line, the tracked session's dialogue only, and
// the details; kill asks for the removal of the tracked session.
TEST_F(UserInfoTest, TrackingDetailsAndKill) {
  auto& s = engine_.sessions;
  s.times[2] = {0, 1, 2, 0, 0, 7, 1000};
  s.bytes[2] = {5000000000ULL, 12, "c:\\srv\\a.bin"};
  s.names[2] = {false, ""};
  RUserInfoWindow w(engine_);
  w.show();
  w.List()->setCurrentItem(w.List()->topLevelItem(1));
  EXPECT_EQ(w.Tracked(), 2u);
  EXPECT_EQ(w.Dialogue()->toPlainText(), "************* Now tracking user no. 2 *************");
  EXPECT_EQ(w.Detail(0), "00:01:02");
  EXPECT_EQ(w.Detail(1), "00:00:07");
  EXPECT_EQ(w.Detail(2), "1000");
  EXPECT_EQ(w.Detail(3), "5000000000");
  EXPECT_EQ(w.Detail(4), "12");
  EXPECT_EQ(w.Detail(5), "c:\\srv\\a.bin");
  EXPECT_EQ(w.Detail(6), "");
  EXPECT_EQ(w.Detail(7), "Not protected; data: clear");
  // The rate is the mean of this and the previous reading.
  s.times[2].rate = 3000;
  w.RefreshDetails();
  EXPECT_EQ(w.Detail(2), "2000");
  s.times[2].rate = -1;
  w.RefreshDetails();
  EXPECT_EQ(w.Detail(2), "");

  s.lines[2].tlsProtocol = "TLSv1.3";
  s.lines[2].tlsCipher = "TLS_AES_128_GCM_SHA256";
  w.RefreshDetails();
  EXPECT_EQ(w.Detail(7), "TLSv1.3, TLS_AES_128_GCM_SHA256; data: clear");
  s.lines[2].protP = true;
  w.RefreshDetails();
  EXPECT_EQ(w.Detail(7), "TLSv1.3, TLS_AES_128_GCM_SHA256; data: PROT P");
  // The list line stays as it was.
  EXPECT_EQ(w.LineText(2), "2\t10:04:05\tanonymous\t127.0.0.1\tSnd 45%: 500\tc:\\srv\\a.bin");

  w.OnNotify(11, 0, "(000001) USER joe");
  w.OnNotify(11, 0, "(000002) RETR a.bin");
  w.OnNotify(11, 0, "(000002) 150 Opening BINARY mode data connection for a.bin.");
  EXPECT_EQ(w.Dialogue()->toPlainText(),
            "************* Now tracking user no. 2 *************\nRETR a.bin\n"
            "150 Opening BINARY mode data connection for a.bin.");

  // The host name shows once resolved (notification 13).
  s.names[2] = {true, "localhost"};
  w.OnNotify(13, 1, {});
  EXPECT_EQ(w.Detail(6), "");
  w.OnNotify(13, 2, {});
  EXPECT_EQ(w.Detail(6), "localhost");

  w.KillTracked();
  EXPECT_EQ(s.killed, std::vector<uint32_t>{2});
}
