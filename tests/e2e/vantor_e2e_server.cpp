// Test driver for the end-to-end tests: the engine on a given INI file,
// without the rest of the program.
//
//   vantor-e2e-server [--quiet] <ini>
//
// Prints "PORT <n>" once listening (or "OFFLINE"), then every log line as
// "LOG <category> <text>". SIGTERM/SIGINT stop it, SIGUSR1 toggles on-line,
// SIGHUP reloads the settings, SIGUSR2 prints the metrics text: each of its
// lines as "METRIC <line>", then "METRICS-END".
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/RConfinement.h"
#include "e2e_driver.h"
#include "ftp/RFTPServer.h"
#include "ftp/RMetrics.h"
#include "net/RSocketLayer.h"
#include "platform/RMessageLoop.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

using namespace vantor;

using e2e::AnnouncePort;
using e2e::kSignalMessage;
using e2e::PrintLog;
using e2e::RTestFrontEnd;

namespace {

// One printf per line: log lines from other threads may come between them,
// never inside one.
void PrintMetrics(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::printf("METRIC %.*s\n", static_cast<int>(end - start), text.data() + start);
    start = end + 1;
  }
  std::printf("METRICS-END\n");
  std::fflush(stdout);
}

}  // namespace

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
      } else if (m.wParam == SIGUSR2) {
        PrintMetrics(RenderMetricsText(server.Manager()));
      } else {
        loop.Quit(0);
      }
      return 0;
    });
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGHUP, SIGUSR2})
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
