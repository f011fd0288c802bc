// Test driver for the end-to-end tests: the engine on a given INI file,
// without the rest of the program. When the INI has an [EXTERNAL] section
// its hook libraries are wired in as the programs do it (RServerAddOns).
//
//   vantor-e2e-server [--quiet] <ini>
//
// Prints "PORT <n>" once listening (or "OFFLINE"), then every log line as
// "LOG <category> <text>". SIGTERM/SIGINT stop it, SIGUSR1 toggles on-line,
// SIGHUP reloads the settings in the programs' order (server, then event
// libraries) and prints "RELOADED", SIGUSR2 prints the metrics text: each
// of its lines as "METRIC <line>", then "METRICS-END".
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/RConfinement.h"
#include "config/RIniFile.h"
#include "ftp/RFTPServer.h"
#include "ftp/RMetrics.h"
#include "ftp/RServerAddOns.h"
#include "net/RSocketLayer.h"
#include "platform/RMessageLoop.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

using namespace vantor;

namespace {

constexpr uint32_t kSignalMessage = 0x7F00;

void PrintLog(void*, int category, std::string_view text) {
  std::printf("LOG %d %.*s\n", category, static_cast<int>(text.size()), text.data());
  std::fflush(stdout);
}

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

class RTestFrontEnd final : public RFrontEnd {
 public:
  explicit RTestFrontEnd(RMessageLoop& loop) : loop_(loop) {}
  void OnCloseRequest() override { loop_.Quit(0); }

 private:
  RMessageLoop& loop_;
};

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
    // Without [EXTERNAL] no handler is attached at all, so the benchmarks
    // that run this driver measure the engine alone.
    const bool hooks = RIniFile(ini).HasSection("EXTERNAL");
    // Event-hook libraries load at start-up, before the server exists.
    RServerAddOns addOns;
    if (hooks) addOns.LoadHooks(ini);
    RConfinement confinement;
    auto server = std::make_unique<RFTPServer>(loop, layer, frontEnd, ini);
    RWindowId control = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
      if (m.message != kSignalMessage) return 0;
      if (m.wParam == SIGUSR1) {
        server->Manager().ToggleOnline();
      } else if (m.wParam == SIGHUP) {
        (void)confinement.ReportReload(RIniFile(ini));
        server->Reload();
        if (hooks) {
          // The reloaded store takes the client checks again before the
          // new event libraries replace the old ones.
          addOns.Attach(*server);
          addOns.LoadHooks(ini);
          addOns.Attach(*server);
        }
        std::printf("RELOADED\n");
        std::fflush(stdout);
      } else if (m.wParam == SIGUSR2) {
        PrintMetrics(RenderMetricsText(server->Manager()));
      } else {
        loop.Quit(0);
      }
      return 0;
    });
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGHUP, SIGUSR2})
      loop.WatchSignal(sig, control, kSignalMessage);
    server->Start();
    if (hooks) addOns.Attach(*server);
    // As the program does, once the listeners are bound and the libraries
    // loaded (`Confinement` of the INI decides).
    confinement.Apply(ini);
    confinement.Attach(*server, nullptr, ini);
    if (server->Manager().Online()) {
      std::printf("PORT %u\n", static_cast<unsigned>(server->Manager().ListeningPort()));
    } else {
      std::printf("OFFLINE\n");
    }
    std::fflush(stdout);
    code = loop.Run();
    loop.DestroyWindow(control);
    if (hooks) {
      addOns.Shutdown(server);
    } else {
      server.reset();
    }
  }
  layer.CleanupSockLib();
  RSocketLayer::SetProcess(nullptr);
  return code;
}
