#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QStatusBar>

#include "fake_engine.h"
#include "gui/qt/RMainWindow.h"
#include "gui/qt/RTrayIcons.h"
#include "language_scope.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::guitest::FakeEngine;
using vantor::test::TempDir;

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    SetLanguage(RLanguage::English);
    dir_.Write("VANTOR.INI", "; kept\n[GLOBAL]\nPortNr=2121\n");
  }
  std::string Ini() const { return dir_.File("VANTOR.INI"); }

  TempDir dir_;
};

QStringList MenuTexts(QMenu* m) {
  QStringList t;
  for (QAction* a : m->actions())
    if (!a->isSeparator()) t << a->text();
  return t;
}

}  // namespace

// The menus carry the commands of the administration window in order.
TEST_F(MainWindowTest, MenusAndActions) {
  FakeEngine engine(Ini());
  RMainWindow w(engine, {});
  QStringList top;
  std::vector<QMenu*> menus;
  for (QAction* a : w.menuBar()->actions()) {
    top << a->text();
    menus.push_back(a->menu());
  }
  EXPECT_EQ(top, QStringList({"&File", "&View", "&Edit", "&Setup", "&Help"}));
  EXPECT_EQ(MenuTexts(menus[0]), QStringList({"&On-line", "File &Logging", "&User Info", "E&xit"}));
  EXPECT_EQ(MenuTexts(menus[1]), QStringList({"&Toolbar", "&Menu Images"}));
  EXPECT_EQ(MenuTexts(menus[2]), QStringList({"&Screen Logging", "&Copy", "C&lear"}));
  EXPECT_EQ(MenuTexts(menus[3]),
            QStringList({"&FTP-Server...", "&IP-Access...", "L&ogging...", "&Messages...",
                         "&Users...", "&Groups...", "&Drives..."}));
  EXPECT_EQ(MenuTexts(menus[4]), QStringList({"&About Vantor..."}));

  w.Action("online")->trigger();
  EXPECT_EQ(engine.toggles, 1);
  w.Action("screenlog")->trigger();
  EXPECT_FALSE(engine.screenLogging);
  EXPECT_FALSE(w.Action("screenlog")->isChecked());
  w.Action("filelog")->trigger();
  EXPECT_TRUE(engine.fileLogging);

  // A set-up dialog that saved asks the engine to reload; one that did not
  // leaves it alone.
  bool saved = false;
  w.runSetup = [&saved](RSetupPage) { return saved; };
  w.Action("setupusers")->trigger();
  EXPECT_EQ(engine.reloads, 0);
  saved = true;
  w.Action("setupserver")->trigger();
  EXPECT_EQ(engine.reloads, 1);

  w.Action("menuimages")->trigger();
  EXPECT_FALSE(w.Action("copy")->isIconVisibleInMenu());
}

// Status records update the four fields and the tray picture.
TEST_F(MainWindowTest, StatusBarAndTray) {
  FakeEngine engine(Ini());
  RMainWindow w(engine, {});
  EXPECT_EQ(w.StatusField(0)->text(), "0 of 0 sockets");
  EXPECT_EQ(w.StatusField(1)->text(), "0 (0) of 0 users");
  EXPECT_EQ(w.StatusField(2)->text(), "0 xfers");
  EXPECT_EQ(w.StatusField(3)->text(), "0.0 KBps");
  w.OnStatusRecord(1, 1024, 0);
  w.OnStatusRecord(3, -1, 0);
  w.OnStatusRecord(7, 1, 0);
  w.OnStatusRecord(2, 3, 1);
  w.OnStatusRecord(4, 0, 0);
  w.OnStatusRecord(5, 1048576, 0);
  w.OnStatusRecord(0, 9, 0);
  EXPECT_EQ(w.StatusField(0)->text(), "9 of 1024 Sockets");
  EXPECT_EQ(w.StatusField(1)->text(), "3 (1) Users");
  EXPECT_EQ(w.StatusField(2)->text(), "0 Xfers");
  EXPECT_EQ(w.StatusField(3)->text(), "1024 KBps");
  EXPECT_TRUE(w.Action("online")->isChecked());
  EXPECT_EQ(w.ShownTrayIcon(), RTrayIcon::User);
  w.OnStatusRecord(7, 0, 0);
  EXPECT_FALSE(w.Action("online")->isChecked());
  EXPECT_EQ(w.ShownTrayIcon(), RTrayIcon::UserOffline);
  w.OnStatusRecord(4, 2, 0);
  EXPECT_EQ(w.ShownTrayIcon(), RTrayIcon::TransOffline);
}

// The six pictures differ from each other at both sizes.
TEST(TrayIcons, SixDistinctPictures) {
  const RTrayIcon all[] = {RTrayIcon::Norm,        RTrayIcon::User,        RTrayIcon::Trans,
                           RTrayIcon::NormOffline, RTrayIcon::UserOffline, RTrayIcon::TransOffline};
  for (int size : {16, 32}) {
    std::vector<QImage> images;
    for (RTrayIcon i : all) {
      const QImage img = DrawTrayPixmap(i, size).toImage();
      ASSERT_EQ(img.width(), size);
      for (const QImage& other : images) EXPECT_NE(img, other) << TrayIconName(i) << " " << size;
      images.push_back(img);
    }
    // The cabinet's edges sit on whole pixels: fully opaque at both sizes.
    EXPECT_EQ(qAlpha(images[0].pixel(size * 2 / 16, size * 8 / 16)), 255);
    EXPECT_EQ(qAlpha(images[0].pixel(0, 0)), 0);
  }
}

// The pane mirrors the bounded model: trimmed ten lines at a time, never
// above 15000 characters, newest line last.
TEST_F(MainWindowTest, LogPaneTrimming) {
  FakeEngine engine(Ini());
  RMainWindow w(engine, {});
  RLogPane* pane = w.LogPane();
  for (int i = 0; i < 600; ++i)
    w.OnScreenLine("[1] Sun 06Dec26 10:00:00 - line " + std::to_string(i) + std::string(40, '.'));
  const RLogger& model = pane->Model();
  EXPECT_LT(model.Length(), 15000u);
  EXPECT_EQ(static_cast<size_t>(pane->document()->blockCount()), model.LineCount());
  QString want;
  for (const std::string& l : model.Lines()) want += QString::fromStdString(l) + "\n";
  want.chop(1);
  EXPECT_EQ(pane->toPlainText(), want);
  EXPECT_TRUE(pane->toPlainText().endsWith("line 599" + QString(40, '.')));
  w.Action("clear")->trigger();
  EXPECT_EQ(pane->toPlainText(), "");
  EXPECT_EQ(model.LineCount(), 0u);
}

// Closing with users on asks; "wait" sets the exit pending, "stop" closes
// and saves the window settings; -u never asks.
TEST_F(MainWindowTest, ExitConfirmationAndSettings) {
  FakeEngine engine(Ini());
  engine.users = 2;
  {
    RMainWindow w(engine, {});
    int asked = 0;
    int answer = 1;
    w.askExit = [&](uint32_t users) {
      EXPECT_EQ(users, 2u);
      ++asked;
      return answer;
    };
    w.setGeometry(40, 50, 640, 400);
    w.show();
    EXPECT_FALSE(w.close());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(engine.exitPending);
    answer = 2;
    EXPECT_FALSE(w.close());
    answer = 0;
    w.Action("toolbar")->trigger();
    EXPECT_TRUE(w.close());
    EXPECT_EQ(asked, 3);
  }
  RIniFile ini(Ini());
  EXPECT_EQ(ini.GetString("GLOBAL", "StartIconic"), "No");
  EXPECT_EQ(ini.GetString("GLOBAL", "ShowToolBar"), "No");
  EXPECT_EQ(ini.GetString("GLOBAL", "ShowBmpMenus"), "Yes");
  EXPECT_EQ(ini.GetString("GLOBAL", "PortNr"), "2121");
  const auto s = LoadWindowSettings(ini);
  ASSERT_TRUE(s.placement.has_value());
  EXPECT_EQ((*s.placement)[2], 640);
  EXPECT_EQ((*s.placement)[3], 400);

  RGuiOptionsStr noAsk;
  noAsk.noConfirm = true;
  RMainWindow w2(engine, noAsk);
  w2.askExit = [](uint32_t) -> int {
    ADD_FAILURE() << "asked despite -u";
    return 2;
  };
  w2.show();
  EXPECT_TRUE(w2.close());
}

// Window settings from the file: toolbar off, hidden start.
TEST_F(MainWindowTest, AppliesWindowSettings) {
  dir_.Write("VANTOR.INI", "[GLOBAL]\nShowToolBar=no\nInvisible=yes\nWindow=10,20,500,300\n");
  FakeEngine engine(Ini());
  RMainWindow w(engine, {});
  w.ApplySettingsAndShow(LoadWindowSettings(RIniFile(Ini())));
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.Action("toolbar")->isChecked());
  EXPECT_EQ(w.geometry().width(), 500);
  RGuiOptionsStr iconic;
  iconic.iconic = true;
  dir_.Write("VANTOR.INI", "[GLOBAL]\n");
  RMainWindow w2(engine, iconic);
  w2.ApplySettingsAndShow(LoadWindowSettings(RIniFile(Ini())));
  EXPECT_TRUE(w2.isMinimized());
}

// Under a Chinese locale the window speaks Chinese.
TEST_F(MainWindowTest, Translated) {
  test::LanguageScope traditional(RLanguage::TraditionalChinese);
  FakeEngine engine(Ini());
  RMainWindow w(engine, {});
  EXPECT_EQ(w.menuBar()->actions()[0]->text(), QString::fromUtf8("檔案(&F)"));
  EXPECT_EQ(w.StatusField(0)->text(), QString::fromUtf8("0 / 0 個通訊端"));
  test::LanguageScope simplified(RLanguage::SimplifiedChinese);
  RMainWindow w2(engine, {});
  EXPECT_EQ(w2.windowTitle(), QString::fromUtf8("Vantor FTP 服务器"));
}
