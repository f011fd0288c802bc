#include <gtest/gtest.h>

#include <QApplication>

#include "ftp/RFTPSManager.h"
#include "gui/qt/RAccountsDialog.h"
#include "gui/qt/RGuiHost.h"
#include "gui/qt/RLoopDriver.h"
#include "gui/qt/RMainWindow.h"
#include "live_client.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::guitest::Client;
using vantor::guitest::FreePort;
using vantor::guitest::PumpUntil;
using vantor::test::TempDir;

namespace {

class LiveEngineTest : public ::testing::Test {
 protected:
  LiveEngineTest() {
    SetLanguage(RLanguage::English);
    dir_.Write("pub/readme.txt", "");
    const std::string pub = dir_.File("pub");
    std::filesystem::create_directories(pub);
    dir_.Write("VANTOR.INI", "[GLOBAL]\nVersion=2.5.11.3\nPortNr=" + std::to_string(FreePort()) +
                                 "\n[USER=** Default **]\nTimeOut=45\n"
                                 "[USER=Anonymous]\nHomeDir=" +
                                 pub + "\nAccess1=" + pub + ",RLP\n");
  }
  void StartHost() {
    host_ = std::make_unique<RGuiHost>(loop_);
    ASSERT_EQ(host_->Start({"-u", dir_.File("VANTOR.INI")}), -1);
    driver_ = std::make_unique<RLoopDriver>(loop_);
    ASSERT_NE(host_->Server(), nullptr);
    port_ = host_->Server()->Manager().ListeningPort();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    if (host_) {
      host_->Window()->CloseNow();
      host_->Stop();
    }
    driver_.reset();
    host_.reset();
  }

  TempDir dir_;
  RMessageLoop loop_;
  std::unique_ptr<RGuiHost> host_;
  std::unique_ptr<RLoopDriver> driver_;
  uint16_t port_ = 0;
};

}  // namespace

// The user information window follows a real session: its list line, its
// dialogue, its details; kill ends it.
TEST_F(LiveEngineTest, TracksAndKillsASession) {
  StartHost();
  RMainWindow* w = host_->Window();
  Client a(port_), b(port_);
  ASSERT_TRUE(a.WaitFor("220"));
  ASSERT_TRUE(b.WaitFor("220"));
  w->ShowUserInfo();
  RUserInfoWindow* info = w->UserInfo();
  ASSERT_NE(info, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 2; }));
  const uint32_t second = info->List()->topLevelItem(1)->data(0, Qt::UserRole).toUInt();
  info->List()->setCurrentItem(info->List()->topLevelItem(1));
  ASSERT_EQ(info->Tracked(), second);

  b.Send("USER anonymous");
  ASSERT_TRUE(b.WaitFor("331"));
  b.Send("PASS guest@example.com");
  ASSERT_TRUE(b.WaitFor("230"));
  a.Send("NOOP");
  ASSERT_TRUE(a.WaitFor("200"));
  ASSERT_TRUE(PumpUntil([&] { return info->LineText(second).contains("\tanonymous\t"); }));
  EXPECT_TRUE(info->LineText(second).endsWith("\t127.0.0.1\tNone"))
      << info->LineText(second).toStdString();
  const QString dialogue = info->Dialogue()->toPlainText();
  EXPECT_TRUE(dialogue.startsWith(QString::fromStdString(NowTrackingLine(second))));
  EXPECT_TRUE(dialogue.contains("\nUSER anonymous\n")) << dialogue.toStdString();
  EXPECT_EQ(dialogue.count("USER anonymous"), 1) << dialogue.toStdString();
  EXPECT_FALSE(dialogue.contains("NOOP")) << "another session's line leaked in";
  info->RefreshDetails();
  EXPECT_EQ(info->Detail(0).size(), 8);  // hh:mm:ss
  // The current directory, as a local drive path in lower case.
  QString cwd = "c:" + QString::fromStdString(dir_.File("pub"));
  EXPECT_EQ(info->Detail(5), cwd.replace('/', '\\').toLower());

  // The status bar counts the two sessions, one of them anonymous.
  ASSERT_TRUE(PumpUntil([&] { return w->StatusField(1)->text().startsWith("2 (1)"); }));

  info->KillTracked();
  ASSERT_TRUE(b.WaitClosed());
  ASSERT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 1; }));
}

// An account made in the Users dialog logs in at once (accounts are read at
// every query).
TEST_F(LiveEngineTest, UsersDialogAccountLogsIn) {
  StartHost();
  RAccountsDialog d(host_->IniPath(), false);
  d.SetShowErrors(false);
  ASSERT_TRUE(d.CreateAccount("joe")) << d.Error();
  d.Field("HomeDir")->setText(QString::fromStdString(dir_.File("pub")));
  d.AddAccessRule(QString::fromStdString(dir_.File("pub")), "RLP");
  d.setPassword->setChecked(true);
  d.password->setText("s3cret");
  ASSERT_TRUE(d.TryAccept()) << d.Error();
  host_->ReloadSettings();

  Client c(port_);
  ASSERT_TRUE(c.WaitFor("220"));
  c.Send("USER joe");
  ASSERT_TRUE(c.WaitFor("331"));
  c.Send("PASS wrong");
  ASSERT_TRUE(c.WaitFor("530"));
  Client d2(port_);
  ASSERT_TRUE(d2.WaitFor("220"));
  d2.Send("USER joe");
  ASSERT_TRUE(d2.WaitFor("331"));
  d2.Send("PASS s3cret");
  ASSERT_TRUE(d2.WaitFor("230")) << d2.Text();
}
