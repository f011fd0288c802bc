// The confinement the kernel enforces on the running server
// (`Confinement=kernel|off` in [GLOBAL], kernel by default): Landlock limits
// files to what the configuration serves and writes, and TCP bind to its
// ports; a system-call filter refuses what a server never calls. Applied
// once, after the listeners are bound, the account switched and the
// libraries loaded, and inherited by every program SITE EXEC starts.
//
// A reload cannot widen the set: a part that needs a path outside it (a new
// drive root, a log moved elsewhere) is logged with the path and a request to
// restart; drive roots outside it are not served. Loop thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/RIniFile.h"
#include "ftp/RFTPServer.h"
#include "log/RFTPSLogger.h"
#include "platform/RLandlock.h"

namespace vantor {

enum class RConfinementMode { Kernel, Off };

// `Confinement` of [GLOBAL]; an unknown value is kernel (`known` false).
RConfinementMode ConfinementModeOf(const RIniFile& ini, bool* known = nullptr);

// Paths and ports the program adds to those of the configuration (an admin
// socket's folder, a metrics or admin port).
struct RConfinementExtrasStr {
  std::vector<RLandlockPathStr> paths;
  std::vector<uint16_t> ports;
};

// One entry of the plan, with where it comes from.
struct RConfinementPathStr {
  RLandlockPathStr grant;
  std::string key;  // "[DRIVES] C", "Logfile", ... (for messages)
};

// Everything `ini` needs after start: the system's files (libraries,
// programs, time zones, name look-ups, certificates of the system), the drive
// roots that the rules reach, the INI folder, the logs, the TLS files, the
// message and link files, the hook libraries, and the ports.
struct RConfinementNeedsStr {
  std::vector<RConfinementPathStr> paths;
  std::vector<uint16_t> ports;
};
RConfinementNeedsStr ConfinementNeeds(const RIniFile& ini, const RConfinementExtrasStr& extras);

class RConfinement {
 public:
  void SetExtras(RConfinementExtrasStr extras) { extras_ = std::move(extras); }

  // Applies what [GLOBAL] `Confinement` asks for to the whole process and
  // logs what was applied, or why nothing was.
  void Apply(const std::string& iniPath);

  bool LandlockOn() const { return landlock_; }
  bool FilterOn() const { return filter_; }
  int Abi() const { return abi_; }

  // Whether the applied rules let the process use `path` with `rights`
  // (always true without Landlock).
  bool Covers(const std::string& path, uint32_t rights) const;
  bool CoversPort(uint16_t port) const;

  // Whether a log at `posixPath` (a file, or a folder with a trailing
  // slash for rotated names) can be written.
  bool CoversLog(const std::string& posixPath) const;

  // Makes `server`'s reloads (and `logger`'s, when not nullptr) keep the
  // drive roots and log files in use instead of ones outside the applied
  // set. Call after Apply().
  void Attach(RFTPServer& server, RFTPSLogger* logger, const std::string& iniPath);

  // Before a reload of `ini` runs: logs each path and port it needs that
  // the applied set lacks. Returns how many.
  int ReportReload(const RIniFile& ini) const;

 private:
  RConfinementExtrasStr extras_;
  std::vector<RLandlockPathStr> applied_;  // resolved paths
  std::vector<uint16_t> ports_;
  bool landlock_ = false;
  bool bindLimited_ = false;
  bool filter_ = false;
  int abi_ = 0;
};

}  // namespace vantor
