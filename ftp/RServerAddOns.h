// What a front end keeps beside the server for the program's lifetime: the
// event-hook libraries, the client-check libraries the account store
// consults, and the directory cache settings. Both `vantor` and `vantor-gui`
// use it, so the two programs load and attach them the same way.
//
// Order: LoadHooks() before the server is created (libraries load at
// start-up), Attach() after RFTPServer::Start() and again after every
// RFTPServer::Reload(), Detach() before the server is destroyed.
// Loop thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "accounts/RClientLib.h"
#include "accounts/RFTPEventHandler.h"

namespace vantor {

class RFTPServer;

class RServerAddOns {
 public:
  RServerAddOns() = default;
  ~RServerAddOns();
  RServerAddOns(const RServerAddOns&) = delete;
  RServerAddOns& operator=(const RServerAddOns&) = delete;

  // (Re)loads the EventHookDLL libraries of `[EXTERNAL]`; "" unloads them.
  void LoadHooks(const std::string& iniPath);
  // Gives the libraries the server's window and the store its client checks.
  void Attach(RFTPServer& server);
  void Detach(RFTPServer* server);

  void ConfigureDirCache(int32_t entries, int32_t seconds);
  // Empties the cache (settings reload).
  void FlushDirCache();
  // Detaches from everything and stops the cache's worker thread.
  void Shutdown(RFTPServer* server);

 private:
  std::unique_ptr<RFTPEventHandler> hooks_;
  RClientCheckLibs clientCheck_;
  int32_t cacheEntries_ = 25;
  int32_t cacheSeconds_ = 60;
};

}  // namespace vantor
