// `vantor`: the server without a window system.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "accounts/RClientLib.h"
#include "accounts/RFTPEventHandler.h"
#include "app/RVantorApp.h"
#include "config/RIniFile.h"
#include "fs/RDirTextList.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPServer.h"
#include "platform/RMessageLoop.h"
#include "platform/RProcess.h"
#include "util/RStringTable.h"

namespace {

using namespace vantor;

// The engine's parts that live as long as the program: the server with its
// account store, the event-hook and client-check libraries, and the
// directory cache settings.
struct REngine {
  std::string iniPath;
  std::unique_ptr<RFTPServer> server;
  std::unique_ptr<RFTPEventHandler> hooks;
  RClientCheckLibs clientCheck;
  int32_t cacheEntries = 25;
  int32_t cacheSeconds = 60;

  void LoadHooks() {
    RFTPEventHandler::SetCurrent(nullptr);
    hooks = std::make_unique<RFTPEventHandler>();
    RIniFile ini(iniPath);
    hooks->Load([&ini](std::string_view key) { return ini.GetString("EXTERNAL", key); });
    AttachHooks();
  }
  // Releases need the server's window, which exists only once it started.
  void AttachHooks() {
    if (!hooks || !server) return;
    hooks->AttachWindow(server->Manager().Loop(), server->Manager().MainWindow());
    RFTPEventHandler::SetCurrent(hooks.get());
  }
  void AttachClientCheck() {
    if (server && server->Store() != nullptr) server->Store()->SetClientCheck(&clientCheck);
  }
  void Stop() {
    RFTPEventHandler::SetCurrent(nullptr);
    if (server && server->Store() != nullptr) server->Store()->SetClientCheck(nullptr);
    server.reset();
    hooks.reset();
    DirCacheShutdown();
  }
};

REngineHooks MakeHooks(REngine& e) {
  REngineHooks h;
  h.createEventHandler = [&e] {
    if (!e.iniPath.empty()) e.LoadHooks();
  };
  h.reloadEventHandler = [&e] {
    if (!e.iniPath.empty()) e.LoadHooks();
  };
  h.start = [&e](RVantorApp& app, const std::string& ini) {
    if (e.iniPath.empty() && !ini.empty()) {
      e.iniPath = ini;
      e.LoadHooks();  // the first start-up step ran before the path was known
    }
    e.server = std::make_unique<RFTPServer>(app.Loop(), app.Layer(), app, ini);
    e.server->Start();
    e.AttachHooks();
    e.AttachClientCheck();
  };
  h.reload = [&e] {
    if (!e.server) return;
    e.server->Reload();
    e.AttachClientCheck();
  };
  h.configureDirCache = [&e](int32_t entries, int32_t seconds) {
    e.cacheEntries = entries;
    e.cacheSeconds = seconds;
    DirCacheSetup(entries, seconds);
  };
  h.flushDirCache = [&e] { DirCacheSetup(e.cacheEntries, e.cacheSeconds); };
  h.applyLogFlags = [&e](const RFTPSLogger& l) {
    if (e.server) e.server->Manager().SetHostNameLogging(l.HostNameLookupOn());
  };
  h.usersOnline = [] { return static_cast<int>(Stats().ConnectionsNow); };
  h.setExitPending = [&e](bool p) {
    if (e.server) e.server->Manager().SetExitPending(p);
  };
  h.toggleOnline = [&e] {
    if (e.server) e.server->Manager().ToggleOnline();
  };
  h.stop = [&e] { e.Stop(); };
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor;
  auto env = [](const char* name) { return EnvVar(name); };
  const auto all = env("LC_ALL"), messages = env("LC_MESSAGES"), lang = env("LANG");
  SetLanguage(LanguageFromLocale(all ? all->c_str() : nullptr,
                                 messages ? messages->c_str() : nullptr,
                                 lang ? lang->c_str() : nullptr));
  std::vector<std::string> args(argv + 1, argv + argc);
  RMessageLoop loop;
  REngine engine;
  int code = 0;
  {
    RVantorApp app(loop, stdout);
    app.SetEngine(MakeHooks(engine));
    code = app.Main(args);
    engine.Stop();
  }
  return code;
}
