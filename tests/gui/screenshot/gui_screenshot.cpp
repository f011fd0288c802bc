// Starts vantor-gui's engine and window on a test configuration with two
// connected clients and saves PNGs of the main window, the user information
// window and the tray pictures into the directory given as the argument.
// Run under Xvfb (tests/gui/screenshot/run.sh); the PNGs in docs/ come
// from here.
#include <QApplication>
#include <QPainter>
#include <cstdio>
#include <filesystem>

#include "gui/qt/RGuiHost.h"
#include "gui/qt/RLoopDriver.h"
#include "gui/qt/RMainWindow.h"
#include "gui/qt/RTrayIcons.h"
#include "live_client.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using namespace vantor::guitest;
using vantor::test::TempDir;

namespace {

void Settle(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool SaveTrayStrip(const QString& file) {
  const RTrayIcon all[] = {RTrayIcon::Norm,        RTrayIcon::User,        RTrayIcon::Trans,
                           RTrayIcon::NormOffline, RTrayIcon::UserOffline, RTrayIcon::TransOffline};
  QImage strip(6 * 40, 60, QImage::Format_ARGB32);
  strip.fill(Qt::white);
  QPainter p(&strip);
  for (int i = 0; i < 6; ++i) {
    p.drawPixmap(i * 40 + 12, 4, DrawTrayPixmap(all[i], 16));
    p.drawPixmap(i * 40 + 4, 24, DrawTrayPixmap(all[i], 32));
  }
  p.end();
  return strip.save(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gui_screenshot OUTPUT-DIRECTORY\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  std::filesystem::create_directories(argv[1]);
  SetLanguage(RLanguage::English);
  QApplication app(argc, argv);
  TempDir dir;
  const std::string pub = dir.File("pub");
  std::filesystem::create_directories(pub);
  dir.Write("pub/readme.txt", "Welcome\n");
  dir.Write("VANTOR.INI", "[GLOBAL]\nVersion=2.5.11.3\nPortNr=" + std::to_string(FreePort()) +
                              "\nLogFTPCommands=ON\n"
                              "LogFTPReplies=ON\nWindow=40,40,860,520\n"
                              "LogFont=-13,400,0,0,0,0,DejaVu Sans Mono\n"
                              "[USER=** Default **]\nTimeOut=45\n[USER=Anonymous]\nHomeDir=" +
                              pub + "\nAccess1=" + pub + ",RLP\n");
  RMessageLoop loop;
  RGuiHost host(loop);
  if (host.Start({"-u", dir.File("VANTOR.INI")}) >= 0 || host.Server() == nullptr) return 1;
  RLoopDriver driver(loop);
  const uint16_t port = host.Server()->Manager().ListeningPort();
  Client a(port), b(port);
  if (!a.WaitFor("220") || !b.WaitFor("220")) return 1;
  RMainWindow* w = host.Window();
  w->ShowUserInfo();
  RUserInfoWindow* info = w->UserInfo();
  info->setGeometry(120, 120, 760, 520);
  PumpUntil([&] { return info->List()->topLevelItemCount() == 2; });
  info->List()->setCurrentItem(info->List()->topLevelItem(1));
  for (Client* c : {&a, &b}) {
    c->Send("USER anonymous");
    c->WaitFor("331");
    c->Send("PASS admin@example.com");
    c->WaitFor("230");
  }
  b.Send("SYST");
  b.WaitFor("215");
  b.Send("PWD");
  b.WaitFor("257");
  Settle(2500);  // two server ticks: status bar and details
  info->RefreshDetails();
  const bool ok = w->grab().save(out + "/gui-main.png") &&
                  info->grab().save(out + "/gui-userinfo.png") &&
                  SaveTrayStrip(out + "/gui-tray-icons.png");
  w->CloseNow();
  host.Stop();
  std::printf("%s\n", ok ? "screenshots saved" : "saving failed");
  return ok ? 0 : 1;
}
