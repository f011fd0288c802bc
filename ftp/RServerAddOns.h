// What a front end keeps beside the server for the program's lifetime: the
// event-hook libraries and the client-check libraries the account store
// consults; it also sets up the server's directory cache. Both `vantor` and
// `vantor-gui` use it, so the two programs load and attach them the same way.
//
// Order: LoadHooks() before the server is created (libraries load at
// start-up), Attach() after RFTPServer::Start() and again after every
// RFTPServer::Reload() and LoadHooks(); at the end Shutdown(), which also
// destroys the server. Loop thread only.
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

  // (Re)loads the EventHookDLL libraries of `[EXTERNAL]`; "" drops them.
  // Sessions that are on keep the libraries they started with until they
  // end; new sessions get the new ones after Attach(), which hands them to
  // the server's manager.
  void LoadHooks(const std::string& iniPath);
  // Gives the libraries the server's window and the store its client checks
  // (installing them again on the same store does not reload them).
  void Attach(RFTPServer& server);
  void Detach(RFTPServer* server);

  // Sets up the server's directory cache, emptying it (nullptr: no server,
  // nothing to do). Start-up and every settings reload.
  void ConfigureDirCache(RFTPServer* server, int32_t entries, int32_t seconds);
  // Destroys the server (and with it the directory cache and its worker
  // thread) while the libraries are still loaded, so each of them is told
  // of every session's close (event 3, client event 32); then unloads the
  // libraries.
  void Shutdown(std::unique_ptr<RFTPServer>& server);

 private:
  std::shared_ptr<RFTPEventHandler> hooks_;
  RClientCheckLibs clientCheck_;
};

}  // namespace vantor
