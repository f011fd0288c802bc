// `vantor`: the server without a window system.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/RAdminServer.h"
#include "app/RConfinement.h"
#include "app/RRunAs.h"
#include "app/RVantorApp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPServer.h"
#include "ftp/RServerAddOns.h"
#include "platform/RMessageLoop.h"
#include "platform/RProcess.h"
#include "util/RStringTable.h"

namespace {

using namespace vantor;

struct REngine {
  std::string iniPath;
  std::unique_ptr<RFTPServer> server;
  RServerAddOns addOns;
  std::unique_ptr<RAdminServer> admin;
  RAdminSettingsStr adminSettings;
  RConfinement confinement;

  void Stop() {
    // The endpoint's requests refer to the server: they end first.
    admin.reset();
    addOns.Shutdown(server);
  }
};

// What the administration endpoint needs once the kernel confines the
// process: its socket's folder (the socket is removed at the end) and its
// ports, should a listener be made again.
RConfinementExtrasStr AdminNeeds(const RAdminSettingsStr& s) {
  RConfinementExtrasStr extras;
  if (!s.socketPath.empty()) {
    std::string folder = std::filesystem::path(s.socketPath).parent_path().string();
    if (folder.empty()) folder = ".";
    extras.paths.push_back({folder, kLandlockRead | kLandlockWrite | kLandlockMakeSocket});
  }
  for (const std::string& listen : {s.listen, s.metricsListen}) {
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos) continue;
    const int port = std::atoi(listen.c_str() + colon + 1);
    if (port > 0 && port <= 65535) extras.ports.push_back(static_cast<uint16_t>(port));
  }
  return extras;
}

REngineHooks MakeHooks(REngine& e) {
  REngineHooks h;
  // The libraries load with the server's start step, which is the first
  // step that knows the configuration's path.
  h.reloadEventHandler = [&e] {
    e.addOns.LoadHooks(e.iniPath);
    if (e.server) e.addOns.Attach(*e.server);
  };
  h.start = [&e](RVantorApp& app, const std::string& ini) {
    e.iniPath = ini;
    e.addOns.LoadHooks(ini);
    e.server = std::make_unique<RFTPServer>(app.Loop(), app.Layer(), app, ini);
    e.server->Start();
    // The administration sockets are made now, while the process may still
    // create them in a folder only root can write to.
    if (!ini.empty()) {
      e.admin = std::make_unique<RAdminServer>(app, [&e] { return e.server.get(); });
      app.Logger().SetLineTap([&e](std::string_view line) {
        if (e.admin) e.admin->OnLogLine(line);
      });
      app.SetNotifyTap([&e](uint32_t code, uint32_t session, std::string_view text) {
        if (e.admin) e.admin->OnNotify(code, session, text);
      });
      e.adminSettings = ReadAdminSettings(e.server->Manager().Ini(), ini);
      e.admin->Start(e.adminSettings);
    }
    // The listeners are bound (ports below 1024 need root for that); no
    // client byte has been read yet, because the loop has not run.
    if (ApplyRunAs(ini) == RRunAsOutcome::Failed) {
      // Still root: the log file stays untouched, the lines are on the screen.
      app.Logger().DiscardFileLines();
      app.Loop().Quit(1);
      return;
    }
    // The start-up lines reach the log file now, written by the account.
    app.Logger().ReleaseFileLines();
    e.addOns.Attach(*e.server);
    // Everything the server opens from now on is known: the listeners are
    // bound, the account is switched and the libraries are loaded.
    e.confinement.SetExtras(AdminNeeds(e.adminSettings));
    e.confinement.Apply(ini);
    e.confinement.Attach(*e.server, &app.Logger(), ini);
  };
  h.reload = [&e] {
    if (!e.server) return;
    (void)e.confinement.ReportReload(RIniFile(e.iniPath));
    e.server->Reload();
    e.addOns.Attach(*e.server);
    if (e.admin) {
      e.adminSettings = ReadAdminSettings(e.server->Manager().Ini(), e.iniPath);
      e.admin->Apply(e.adminSettings);
    }
  };
  h.configureDirCache = [&e](int32_t entries, int32_t seconds) {
    e.addOns.ConfigureDirCache(e.server.get(), entries, seconds);
  };
  h.applyLogFlags = [&e](const RFTPSLogger& l) {
    if (e.server) e.server->Manager().SetHostNameLogging(l.HostNameLookupOn());
  };
  h.usersOnline = [&e] {
    return e.server ? static_cast<int>(e.server->Manager().Stats().ConnectionsNow) : 0;
  };
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
