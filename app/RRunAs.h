// The switch from root to the `RunAsUser=` / `RunAsGroup=` account of
// [GLOBAL], made once the listeners are bound and before the loop reads any
// client input. Loop thread, once per process.
#pragma once

#include <string>
#include <vector>

#include "config/RIniFile.h"
#include "platform/RPrivileges.h"

namespace vantor {

enum class RRunAsOutcome {
  NotRoot,    // started as an ordinary user: nothing to do
  StaysRoot,  // root without RunAsUser: serves as root (logged loudly)
  Dropped,    // now the configured account, for good
  Failed,     // the account is unknown or the switch failed: must not serve
};

// Whether this process is root and the file at `iniPath` names an account
// to become, so that ApplyRunAs will switch.
bool RunAsPending(const std::string& iniPath);

// Reads the two keys from the file at `iniPath` ("" = no configuration),
// switches when started as root and logs what it did (system messages).
// After a switch, every file of RunAsFiles() the account cannot reach is
// logged as a warning.
RRunAsOutcome ApplyRunAs(const std::string& iniPath);

// A file the server reads or writes again after the switch.
struct RRunAsFileStr {
  std::string section;  // where it is named ("" for the INI file itself)
  std::string key;      // "INI", "INI folder" or the key naming it
  std::string path;     // POSIX
  RAccessKind need = RAccessKind::Read;
  bool essential = false;  // false: only a message goes unshown without it
};

// The files of `ini` the server must reach after the switch, besides its
// log files: the INI itself (read; write, which also needs its folder for
// the temporary file), the TLS certificate and key (every reload reads them)
// and the message files. A named file that does not exist is listed too;
// the checks of missing files are the ones to report it.
std::vector<RRunAsFileStr> RunAsFiles(const RIniFile& ini);

// A log file of the server's own, written after the switch.
struct ROwnLogStr {
  const char* key;
  std::string path;  // POSIX ("" when not set)
  bool rotates;      // each period makes a new file in the folder
};

// The logs the server writes: the log file (when logging is on), the
// transfer log and the IP list.
std::vector<ROwnLogStr> OwnLogs(const RIniFile& ini);

}  // namespace vantor
