#include <gtest/gtest.h>

#include "gui/RStatusText.h"
#include "language_scope.h"
#include "util/RStringTable.h"

using namespace vantor;

// Creation texts are lower case; every record kind updates its field.
TEST(RStatusDisplay, FieldsForEveryKind) {
  SetLanguage(RLanguage::English);
  RStatusDisplay d;
  EXPECT_EQ(d.SocketsText(), "0 of 0 sockets");
  EXPECT_EQ(d.UsersText(), "0 (0) of 0 users");
  EXPECT_EQ(d.TransfersText(), "0 xfers");
  EXPECT_EQ(d.ThroughputField(), "0.0 KBps");

  EXPECT_EQ(d.Apply(1, -5, 0), RStatusDisplay::kSockets);
  EXPECT_EQ(d.SocketsText(), "0 of 0 Sockets");
  d.Apply(1, 1024, 0);
  EXPECT_EQ(d.SocketsText(), "0 of 1024 Sockets");
  EXPECT_EQ(d.Apply(0, 7, 0), RStatusDisplay::kSockets);
  EXPECT_EQ(d.SocketsText(), "7 of 1024 Sockets");

  EXPECT_EQ(d.Apply(3, -1, 0), 0u);  // shows at the next kind 2
  EXPECT_EQ(d.UsersText(), "0 (0) of 0 users");
  EXPECT_EQ(d.Apply(2, 3, 1), RStatusDisplay::kUsers);
  EXPECT_EQ(d.UsersText(), "3 (1) Users");
  d.Apply(3, 10, 0);
  d.Apply(2, 3, 1);
  EXPECT_EQ(d.UsersText(), "3 (1) of 10 Users");

  EXPECT_EQ(d.Apply(4, 2, 0), RStatusDisplay::kTransfers);
  EXPECT_EQ(d.TransfersText(), "2 Xfers");
  EXPECT_EQ(d.Apply(5, 1048576, 0), RStatusDisplay::kThroughput);
  EXPECT_EQ(d.ThroughputField(), "1024 KBps");
  EXPECT_EQ(d.Apply(7, 1, 0), 0u);
  EXPECT_EQ(d.Apply(6, 99, 99), 0u);
  EXPECT_EQ(d.Apply(42, 99, 99), 0u);
  EXPECT_EQ(d.SocketsText(), "7 of 1024 Sockets");
}

// Every combination of transfers, users and on-line picks its icon.
TEST(ChooseTrayIcon, AllCombinations) {
  struct Case {
    int transfers, users;
    bool online;
    RTrayIcon want;
  };
  const Case cases[] = {
      {1, 1, true, RTrayIcon::Trans},         {1, 0, true, RTrayIcon::Trans},
      {0, 1, true, RTrayIcon::User},          {0, 0, true, RTrayIcon::Norm},
      {1, 1, false, RTrayIcon::TransOffline}, {1, 0, false, RTrayIcon::TransOffline},
      {0, 1, false, RTrayIcon::UserOffline},  {0, 0, false, RTrayIcon::NormOffline},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseTrayIcon(c.transfers, c.users, c.online), c.want)
        << c.transfers << " " << c.users << " " << c.online;
}

// The tray keeps the latest values; going off-line with one user and no
// transfer shows the user off-line icon.
TEST(RStatusDisplay, TrayToolTipAndIcon) {
  SetLanguage(RLanguage::English);
  RStatusDisplay d;
  EXPECT_EQ(d.ToolTip(), "Vantor: 0.000 KBps 0 Socks 0 Users 0 Xfers");
  d.Apply(7, 1, 0);
  d.Apply(2, 1, 0);
  d.Apply(4, 0, 0);
  d.Apply(5, 12641, 0);
  d.Apply(0, 4, 0);
  EXPECT_EQ(d.ToolTip(), "Vantor: 12.34 KBps 4 Socks 1 Users 0 Xfers");
  EXPECT_EQ(d.Icon(), RTrayIcon::User);
  d.Apply(7, 0, 0);
  EXPECT_EQ(d.Icon(), RTrayIcon::UserOffline);
  d.Apply(4, 1, 0);
  EXPECT_EQ(d.Icon(), RTrayIcon::TransOffline);
}
