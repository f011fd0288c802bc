// Test driver for the hook and SITE end-to-end tests: the engine on a given
// INI file, with the hook libraries of its [EXTERNAL] section wired in the
// way the program does it.
//
//   e2e-hooks-server <ini>
//
// Prints every log line as "LOG <category> <text>", then "PORT <n>" once
// listening (or "OFFLINE"). SIGTERM/SIGINT stop it.
#include <signal.h>

#include <cstdio>
#include <string>

#include "accounts/RClientLib.h"
#include "accounts/RFTPEventHandler.h"
#include "config/RIniFile.h"
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: e2e-hooks-server <ini>\n");
    return 2;
  }
  const std::string iniPath = argv[1];
  SetLanguage(RLanguage::English);
  RMessageLoop loop;
  RSocketLayer layer(loop);
  RSocketLayer::SetProcess(&layer);
  SetLogSink(&PrintLog, nullptr);
  RTestFrontEnd frontEnd(loop);
  int code = 0;
  {
    // Event-hook libraries load at start-up, before the server exists.
    RIniFile ini(iniPath);
    RFTPEventHandler hooks;
    hooks.Load([&ini](std::string_view key) { return ini.GetString("EXTERNAL", key); });
    RClientCheckLibs clientCheck;
    RFTPServer server(loop, layer, frontEnd, iniPath);
    RWindowId control = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
      if (m.message == kSignalMessage) loop.Quit(0);
      return 0;
    });
    for (int sig : {SIGTERM, SIGINT}) loop.WatchSignal(sig, control, kSignalMessage);
    server.Start();
    hooks.AttachWindow(loop, server.Manager().MainWindow());
    RFTPEventHandler::SetCurrent(&hooks);
    if (server.Store() != nullptr) server.Store()->SetClientCheck(&clientCheck);
    AnnouncePort(server);
    code = loop.Run();
    loop.DestroyWindow(control);
    RFTPEventHandler::SetCurrent(nullptr);
    if (server.Store() != nullptr) server.Store()->SetClientCheck(nullptr);
  }
  SetLogSink(nullptr, nullptr);
  layer.CleanupSockLib();
  RSocketLayer::SetProcess(nullptr);
  return code;
}
