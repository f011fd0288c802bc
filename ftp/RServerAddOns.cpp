#include "ftp/RServerAddOns.h"

#include "config/RIniFile.h"
#include "fs/RDirTextList.h"
#include "ftp/RFTPServer.h"

namespace vantor {

RServerAddOns::~RServerAddOns() {
  if (RFTPEventHandler::Current() == hooks_.get()) RFTPEventHandler::SetCurrent(nullptr);
}

void RServerAddOns::LoadHooks(const std::string& iniPath) {
  // Sessions must never see a handler that is being replaced.
  if (RFTPEventHandler::Current() == hooks_.get()) RFTPEventHandler::SetCurrent(nullptr);
  hooks_.reset();
  if (iniPath.empty()) return;
  hooks_ = std::make_unique<RFTPEventHandler>();
  RIniFile ini(iniPath);
  hooks_->Load([&ini](std::string_view key) { return ini.GetString("EXTERNAL", key); });
}

void RServerAddOns::Attach(RFTPServer& server) {
  if (hooks_) {
    hooks_->AttachWindow(server.Manager().Loop(), server.Manager().MainWindow());
    RFTPEventHandler::SetCurrent(hooks_.get());
  }
  if (server.Store() != nullptr) server.Store()->SetClientCheck(&clientCheck_);
}

void RServerAddOns::Detach(RFTPServer* server) {
  if (RFTPEventHandler::Current() == hooks_.get()) RFTPEventHandler::SetCurrent(nullptr);
  if (server != nullptr && server->Store() != nullptr) server->Store()->SetClientCheck(nullptr);
}

void RServerAddOns::ConfigureDirCache(int32_t entries, int32_t seconds) {
  cacheEntries_ = entries;
  cacheSeconds_ = seconds;
  DirCacheSetup(entries, seconds);
}

void RServerAddOns::FlushDirCache() {
  DirCacheSetup(cacheEntries_, cacheSeconds_);
}

void RServerAddOns::Shutdown(RFTPServer* server) {
  Detach(server);
  hooks_.reset();
  DirCacheShutdown();
}

}  // namespace vantor
