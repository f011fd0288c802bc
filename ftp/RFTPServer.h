// RFTPServer: the engine on a loaded configuration, in one object.
//
// It does the engine's share of the start-up sequence (the server object,
// `Security` and the account store, the server-wide switches, the file
// services' settings, the listeners) and of the settings reload (account
// store, server settings, message files). The front end keeps the logger,
// the event-hook libraries, the directory cache and its own display:
//
//   RSocketLayer layer(loop);
//   RSocketLayer::SetProcess(&layer);
//   RFTPServer server(loop, layer, frontEnd, iniPath);
//   server.Start();
//   loop.Run();
//
// Loop thread only. Destroy it before the socket layer.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "accounts/RFTPSSecurity.h"
#include "config/RGlobalSettings.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFrontEnd.h"
#include "net/RSocketLayer.h"
#include "platform/RDriveMap.h"
#include "platform/RMessageLoop.h"

namespace vantor {

class RFTPServer {
 public:
  // Nothing is owned but the server object and the account store.
  RFTPServer(RMessageLoop& loop, RSocketLayer& layer, RFrontEnd& frontEnd, std::string iniPath);
  ~RFTPServer();
  RFTPServer(const RFTPServer&) = delete;
  RFTPServer& operator=(const RFTPServer&) = delete;

  // Creates the server and, with `Security` on, the account store; applies
  // the switches and brings up the listeners.
  void Start();
  // Re-reads the account store's lists, the server settings and the message
  // files (MSG_RELOAD_SETTINGS; the front end also reloads the logger, the event
  // settings and empties the directory cache).
  void Reload();

  // Asked on every reload about each drive whose root is not the one in
  // use: false keeps the root in use (or leaves a new drive out).
  void SetDriveGate(std::function<bool(char letter, const std::string& root)> gate) {
    driveGate_ = std::move(gate);
  }

  RFTPSManager& Manager() { return *manager_; }
  RFTPSSecurity* Store() { return store_.get(); }
  bool SecurityOn() const { return securityOn_; }
  const RGlobalSettings& Settings() const { return settings_; }

 private:
  void ApplySwitches();
  RDriveMap GatedDrives(const RDriveMap& wanted) const;
  void AnswerQuery(AccessQuery& q);

  RMessageLoop& loop_;
  RSocketLayer& layer_;
  RFrontEnd& frontEnd_;
  std::string iniPath_;
  RIniFile ini_;
  RGlobalSettings settings_;
  bool securityOn_ = true;
  std::unique_ptr<RFTPSManager> manager_;
  std::unique_ptr<RFTPSSecurity> store_;
  std::function<bool(char, const std::string&)> driveGate_;
  RDriveMap drives_;  // the table in use
};

}  // namespace vantor
