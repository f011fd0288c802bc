#include "ftp/RServerAddOns.h"

#include "config/RIniFile.h"
#include "ftp/RFTPServer.h"

namespace vantor {

RServerAddOns::~RServerAddOns() = default;

void RServerAddOns::LoadHooks(const std::string& iniPath) {
  // The new set loads before the old one is let go: a library named in both
  // stays mapped (and keeps its state) instead of being unloaded and loaded
  // again. Sessions keep their own share of the old handler.
  std::shared_ptr<RFTPEventHandler> next;
  if (!iniPath.empty()) {
    next = std::make_shared<RFTPEventHandler>();
    RIniFile ini(iniPath);
    next->Load([&ini](std::string_view key) { return ini.GetString("EXTERNAL", key); });
  }
  hooks_ = std::move(next);
}

void RServerAddOns::Attach(RFTPServer& server) {
  if (hooks_) hooks_->AttachWindow(server.Manager().Loop(), server.Manager().MainWindow());
  // The manager lets go of the handler it had; its sessions keep theirs.
  server.Manager().SetEventHandler(hooks_);
  if (server.Store() != nullptr) server.Store()->SetClientCheck(&clientCheck_);
}

void RServerAddOns::Detach(RFTPServer* server) {
  if (server == nullptr) return;
  server->Manager().SetEventHandler(nullptr);
  if (server->Store() != nullptr) server->Store()->SetClientCheck(nullptr);
}

void RServerAddOns::ConfigureDirCache(RFTPServer* server, int32_t entries, int32_t seconds) {
  if (server != nullptr) server->Manager().Fs().Cache().Setup(entries, seconds);
}

void RServerAddOns::Shutdown(std::unique_ptr<RFTPServer>& server) {
  // The sessions close first, while the store still consults the client
  // checks and each session still holds its event handler.
  server.reset();
  hooks_.reset();
  clientCheck_.Libraries().Unload();
}

}  // namespace vantor
