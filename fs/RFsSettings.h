// Server-wide settings of the file services: the drive table, the link list
// file names, `LowerCaseFileDir`, `DirListMask`, and the listing bounds
// `MaxListEntries` and `DirCacheMaxMB`.
//
// Set at start-up and on every settings reload by the configuration code;
// read by path resolution and listings. Loop thread only (the directory
// cache's worker never reads them).
#pragma once

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

// Replaces the settings. Link file names in POSIX form are turned into drive
// form through the new drive table; the directory cache takes its new byte
// budget (evicting what no longer fits, keeping the rest).
void SetFsSettings(RFsSettingsStr settings);
const RFsSettingsStr& FsSettings();

// The nine-letter permission mask of listings: the configured `DirListMask`
// when it is exactly nine of "r", "w", "x", "-", else "rwxrwxrwx".
std::string EffectiveDirListMask();

}  // namespace vantor
