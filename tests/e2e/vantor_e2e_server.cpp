// Test driver for the end-to-end tests: the engine on a given INI file,
// without the rest of the program.
//
//   vantor-e2e-server [--quiet] <ini>
//
// Prints "PORT <n>" once listening (or "OFFLINE"), then every log line as
// "LOG <category> <text>". SIGTERM/SIGINT stop it, SIGUSR1 toggles on-line,
// SIGHUP reloads the settings.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/RConfinement.h"
#include "e2e_driver.h"
#include "ftp/RFTPServer.h"
#include "net/RSocketLayer.h"
#include "platform/RMessageLoop.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

using namespace vantor;

using e2e::AnnouncePort;
using e2e::kSignalMessage;
using e2e::PrintLog;
using e2e::RTestFrontEnd;

int main(int argc, char** argv) {
  bool quiet = false;
  std::string ini;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else {
      ini = argv[i];
    }
  }
  if (ini.empty()) {
    std::fprintf(stderr, "usage: vantor-e2e-server [--quiet] <ini>\n");
    return 2;
  }
  SetLanguage(RLanguage::English);
  RMessageLoop loop;
  RSocketLayer layer(loop);
  RSocketLayer::SetProcess(&layer);
  RLogSinkScope print(quiet ? nullptr : &PrintLog, nullptr);
  RTestFrontEnd frontEnd(loop);
  int code = 0;
  {
    RFTPServer server(loop, layer, frontEnd, ini);
    RConfinement confinement;
    RWindowId control = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
      if (m.message != kSignalMessage) return 0;
      if (m.wParam == SIGUSR1) {
        server.Manager().ToggleOnline();
      } else if (m.wParam == SIGHUP) {
        (void)confinement.ReportReload(RIniFile(ini));
        server.Reload();
      } else {
        loop.Quit(0);
      }
      return 0;
    });
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGHUP})
      loop.WatchSignal(sig, control, kSignalMessage);
    server.Start();
    // As the program does, once the listeners are bound (`Confinement` of
    // the INI decides).
    confinement.Apply(ini);
    confinement.Attach(server, nullptr, ini);
    AnnouncePort(server);
    code = loop.Run();
    loop.DestroyWindow(control);
  }
  layer.CleanupSockLib();
  RSocketLayer::SetProcess(nullptr);
  return code;
}
