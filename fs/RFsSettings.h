// Server-wide settings of the file services: the drive table, the link list
// file names, `LowerCaseFileDir`, `DirListMask`, and the listing bounds
// `MaxListEntries` and `DirCacheMaxMB`.
//
// A plain value: the server's RFsServices holds the ones in force and
// replaces them whole on every reload; every path function and listing is
// handed the settings it works with, and a worker job keeps the snapshot it
// was started with, so a reload while it runs never changes them under it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/RDriveMap.h"

namespace vantor {

inline constexpr int64_t kDefaultMaxListEntries = 200000;

struct RFsSettingsStr {
  RDriveMap drives;                                 // `[DRIVES]`; default C: = "/"
  std::string linkFile;                             // `LinkFile` (drive form, "" = none)
  std::string linkFile2;                            // `LinkFile2`
  bool lowerCase = false;                           // `LowerCaseFileDir`
  std::string dirListMask = "rwxrwxrwx";            // `DirListMask` as configured
  int64_t maxListEntries = kDefaultMaxListEntries;  // `MaxListEntries`; below 1: the default
  int64_t dirCacheMaxMB = 64;                       // `DirCacheMaxMB`; below 1: 1
};

// Settings shared with the jobs that run under them.
using RFsSettingsPtr = std::shared_ptr<const RFsSettingsStr>;

// The nine-letter permission mask of listings: the configured `DirListMask`
// when it is exactly nine of "r", "w", "x", "-", else "rwxrwxrwx".
std::string EffectiveDirListMask(const RFsSettingsStr& fs);

}  // namespace vantor
