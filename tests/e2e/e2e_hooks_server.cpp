// Test driver for the hook and SITE end-to-end tests: the engine on a given
// INI file, with the hook libraries of its [EXTERNAL] section wired in the
// way the programs do it (RServerAddOns).
//
//   e2e-hooks-server <ini>
//
// Prints every log line as "LOG <category> <text>", then "PORT <n>" once
// listening (or "OFFLINE"). SIGHUP reloads the settings in the programs'
// order (server, then event libraries) and prints "RELOADED"; SIGTERM/SIGINT
// stop it.
#include <signal.h>

#include <cstdio>
#include <string>

#include <memory>

#include "app/RConfinement.h"
#include "e2e_driver.h"
#include "ftp/RFTPServer.h"
#include "ftp/RServerAddOns.h"
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: e2e-hooks-server <ini>\n");
    return 2;
  }
  const std::string iniPath = argv[1];
  SetLanguage(RLanguage::English);
  RMessageLoop loop;
  RSocketLayer layer(loop);
  RSocketLayer::SetProcess(&layer);
  RLogSinkScope print(&PrintLog, nullptr);
  RTestFrontEnd frontEnd(loop);
  int code = 0;
  {
    // Event-hook libraries load at start-up, before the server exists.
    RServerAddOns addOns;
    RConfinement confinement;
    addOns.LoadHooks(iniPath);
    auto server = std::make_unique<RFTPServer>(loop, layer, frontEnd, iniPath);
    RWindowId control = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
      if (m.message != kSignalMessage) return 0;
      if (m.wParam != SIGHUP) {
        loop.Quit(0);
        return 0;
      }
      (void)confinement.ReportReload(RIniFile(iniPath));
      server->Reload();
      addOns.Attach(*server);
      addOns.LoadHooks(iniPath);
      addOns.Attach(*server);
      std::printf("RELOADED\n");
      std::fflush(stdout);
      return 0;
    });
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) loop.WatchSignal(sig, control, kSignalMessage);
    server->Start();
    addOns.Attach(*server);
    // As the program does: once the listeners are bound and the libraries
    // loaded (`Confinement` of the INI decides).
    confinement.Apply(iniPath);
    confinement.Attach(*server, nullptr, iniPath);
    AnnouncePort(*server);
    code = loop.Run();
    loop.DestroyWindow(control);
    addOns.Shutdown(server);
  }
  layer.CleanupSockLib();
  RSocketLayer::SetProcess(nullptr);
  return code;
}
