// The transfer log (`XferLog=` in [GLOBAL]): one line per finished or failed
// file transfer in the common xferlog format that log analysers read:
//
//   Mon Dec  7 01:05:41 2026 2 127.0.0.1 400 /srv/ftp/up.bin b _ i r joe ftp 0 * c
//
// current time, seconds, client address, bytes, local file name (blanks as
// "_"), a/b type, "_" (no special action), o/i direction, a/r access mode,
// user name, "ftp", 0 (no RFC 931 check), "*", c/i completion. The file is
// named like the main log: POSIX or drive form, relative to the INI file's
// folder, rotated by `LogFileRotation`. Loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/RIniFile.h"
#include "log/RFTPSLogger.h"

namespace vantor {

struct RXferRecordStr {
  int64_t now = 0;      // end of the transfer, seconds since 1970
  int64_t seconds = 0;  // duration, whole seconds
  std::string host;     // client address
  uint64_t bytes = 0;   // bytes moved
  std::string path;     // local POSIX path
  bool ascii = false;
  bool upload = false;
  bool anonymous = false;
  std::string user;  // account name as logged in
  bool complete = false;
};

// The record as one xferlog line (without the newline). Blanks and control
// characters inside a field become "_", so the fields stay countable.
std::string XferLogLine(const RXferRecordStr& r);

class RXferLog {
 public:
  // Reads `XferLog` and `LogFileRotation` from `ini` (at start and on every
  // reload); an empty key switches the log off.
  void Configure(const RIniFile& ini, const std::string& iniPath);
  // Asked on every later Configure() about a file that differs from the one
  // in use; false keeps the one in use, or none (a path the process may
  // not reach).
  void SetPathGate(std::function<bool(const std::string& posixPath)> gate) {
    gate_ = std::move(gate);
  }
  bool On() const { return !path_.empty(); }
  // The configured file as a POSIX path ("" when off).
  const std::string& Path() const { return path_; }
  // Appends the record's line to the current file. A write that fails is
  // dropped: a full disk must not stop transfers.
  void Write(const RXferRecordStr& r) const;

 private:
  std::string path_;
  RLogRotation rotation_ = LR_NONE;
  std::function<bool(const std::string&)> gate_;
};

}  // namespace vantor
