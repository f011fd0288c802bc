// `vantor-gui`: the server with its administration window. The engine runs
// on Qt's thread: its event loop is driven by RLoopDriver.
#include <QApplication>
#include <string>
#include <vector>

#include "gui/qt/RGuiHost.h"
#include "gui/qt/RLoopDriver.h"
#include "gui/qt/RMainWindow.h"
#include "platform/RMessageLoop.h"
#include "platform/RProcess.h"
#include "util/RStringTable.h"

int main(int argc, char** argv) {
  using namespace vantor;
  const auto all = EnvVar("LC_ALL"), messages = EnvVar("LC_MESSAGES"), lang = EnvVar("LANG");
  SetLanguage(LanguageFromLocale(all ? all->c_str() : nullptr,
                                 messages ? messages->c_str() : nullptr,
                                 lang ? lang->c_str() : nullptr));
  std::vector<std::string> args(argv + 1, argv + argc);
  QApplication app(argc, argv);
  // Closing to the tray must not end the program; the main window's close does.
  QApplication::setQuitOnLastWindowClosed(false);
  RMessageLoop loop;
  RGuiHost host(loop);
  if (const int code = host.Start(args); code >= 0) return code;
  RLoopDriver driver(loop);
  QObject::connect(host.Window(), &RMainWindow::closed, &app, &QApplication::quit,
                   Qt::QueuedConnection);
  QObject::connect(&driver, &RLoopDriver::quitRequested, &app, &QApplication::quit);
  const int code = app.exec();
  host.Stop();
  return code;
}
