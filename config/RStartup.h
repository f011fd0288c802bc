// The start-up sequence, the settings reload and the exit save, with the
// steps of later subsystems behind seams (plain callbacks) that the front
// end fills: the server, the account store, the event libraries, the
// directory cache and the window. Every seam is optional; an empty one is
// skipped.
//
// Order of Run():
//   clock check (year 1980 or later) - INI path - creation of a missing file
//   - logger settings - stale temporary copies of the INI - event handler - window placement -
//   conversion of an older file - message files - socket layer ("Using %s - max. %u sockets")
//   - logging state - "Starting FTP Server..." - the drive table, misspelt
//   section names, Security=OFF and an invalid PortNr - server (Security, account
//   store, switches, listeners) - directory cache - AutoStart - window
//   switches.
// The logger must exist before Run() (it shows the messages).
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/RGlobalSettings.h"
#include "config/RIniConvert.h"
#include "config/RIniFile.h"
#include "config/RIniPath.h"
#include "platform/RClock.h"

namespace vantor {

// The command line: options begin with "-" (letter in either case; only the
// first letter counts), the first other argument is the INI path.
struct RCommandLine {
  bool hidden = false;        // -h: no visible window
  bool iconic = false;        // -i: start minimised
  bool single = false;        // -s: exit when another instance runs on this INI file
  bool noConfirm = false;     // -u: never wait for users when asked to close
  bool help = false;          // --help
  bool version = false;       // --version
  bool hashPassword = false;  // --hash-password: print a hash of standard input's line
  bool checkConfig = false;   // --check-config: report the INI file's problems
  bool clusterInit = false;   // --cluster-init: create or update the cluster schema
  std::optional<std::string> iniArgument;
};
RCommandLine ParseCommandLine(const std::vector<std::string>& args);
// Where to look for the INI file of this process: the command line's
// argument, the program's directory, $VANTOR and the current directory.
RIniPathInputs IniPathInputs(const RCommandLine& cmd);

// Start-up reports, each a no-op when there is nothing to say.
// Which directory each drive letter is, with a warning for a drive that is
// "/" (the whole file system) or for a [DRIVES] that names no usable drive.
void LogDriveTable(const RIniFile& ini);
// A warning for each section name that is a slip for a known one
// ("[DRIVE]", "[USERS=joe]").
void WarnMisspeltSections(const RIniFile& ini);
// A warning when `PortNr` is set but no port number (21 is used then).
void WarnInvalidPort(const RIniFile& ini);
// Removes temporary copies "<INI name>.tmpXXXXXX" and "tmpnew.ini" in the
// INI file's folder that are older than a minute (younger ones may be a
// write in progress), logging each.
void RemoveStaleIniTemporaries(const std::string& iniPath);

class RServerStartup {
 public:
  struct Seams {
    // Logger settings from the file (nullptr: no configuration); also on reload.
    std::function<void(const RIniFile* ini)> loadLoggerSettings;
    std::function<void()> showLoggingState;
    // External event libraries: created at start-up, re-read on reload.
    std::function<void()> createEventHandler;
    std::function<void()> reloadEventHandler;
    // Window placement, minimised/maximised/invisible as the file and the
    // command line say (GUI only).
    std::function<void(const RGlobalSettings& s, const RCommandLine& cmd)> applyWindow;
    // Sign-on/sign-off message file list (when the server does not read it).
    std::function<void()> loadMessageFiles;
    // Starts the socket layer; false when it cannot start.
    std::function<bool(std::string* description, uint32_t* maxSockets)> startSocketLayer;
    // The server: Security and the account store, the server-wide switches,
    // the listeners. `iniPath` is "" when running without configuration.
    std::function<void(const std::string& iniPath)> startServer;
    // Reload of account store, server settings and message files.
    std::function<void()> reloadServer;
    // Directory cache size and entry lifetime: at start-up, and on reload
    // (which empties the cache) with the values read again.
    std::function<void(int32_t entries, int32_t seconds)> configureDirCache;
    std::function<void(bool on)> autoStart;
    std::function<void(const RGlobalSettings& s)> applyWindowSwitches;
  };

  enum class RStartResult { Started, ClockRefused };

  // `clock` is not owned and must outlive the object.
  RServerStartup(const RClock& clock, Seams seams);

  // Runs the sequence. `exists` tells whether a file exists (for the path
  // choice); nullptr uses the file system.
  RStartResult Run(const RCommandLine& cmd, const RIniPathInputs& where,
                   std::function<bool(const std::string&)> exists = nullptr);

  // Why a reload would be refused now, "" when it may go ahead: the INI
  // file ("path: reason") cannot be read or holds a line that cannot be
  // parsed, and the settings in force are kept.
  std::string ReloadRefusal() const;
  // MSG_RELOAD_SETTINGS: re-reads the settings in the documented order.
  // When ReloadRefusal() is not empty nothing is re-read: the warning is
  // logged and false returned.
  bool Reload();
  // The 15-second poll: true (and the key removed) when another program set
  // `ReloadSettings`; the caller then posts MSG_RELOAD_SETTINGS.
  bool PollReloadSettings();
  static constexpr int64_t kReloadPollMs = 15000;

  // At exit: the window keys (when there is a window and the file exists),
  // then "FTP server going down..." as a system message.
  void SaveAtExit(const RWindowStateStr* window);

  // "" when running without configuration.
  const std::string& IniPath() const { return iniPath_; }
  // nullptr when running without configuration.
  RIniFile* Ini() { return ini_.get(); }
  const RGlobalSettings& Settings() const { return settings_; }
  const RConvertResult& Conversion() const { return conversion_; }
  bool Created() const { return created_; }

 private:
  bool ClockPlausible() const;
  void OpenConfiguration(const RCommandLine& cmd, const RIniPathInputs& where,
                         const std::function<bool(const std::string&)>& exists);

  const RClock& clock_;
  Seams seams_;
  std::string iniPath_;
  std::unique_ptr<RIniFile> ini_;
  RGlobalSettings settings_;
  RConvertResult conversion_;
  bool created_ = false;
};

}  // namespace vantor
