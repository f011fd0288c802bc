// Server-wide settings of the file services: the drive table, the link list
// file names, `LowerCaseFileDir` and `DirListMask`.
//
// Set at start-up and on every settings reload by the configuration code;
// read by path resolution and listings. Loop thread only (the directory
// cache's worker never reads them).
#pragma once

#include <string>

#include "platform/RDriveMap.h"

namespace vantor {

struct RFsSettingsStr {
  RDriveMap drives;                       // `[DRIVES]`; default C: = "/"
  std::string linkFile;                   // `LinkFile` (drive form, "" = none)
  std::string linkFile2;                  // `LinkFile2`
  bool lowerCase = false;                 // `LowerCaseFileDir`
  std::string dirListMask = "rwxrwxrwx";  // `DirListMask` as configured
};

// Replaces the settings. Link file names in POSIX form are turned into drive
// form through the new drive table.
void SetFsSettings(RFsSettingsStr settings);
const RFsSettingsStr& FsSettings();

// The nine-letter permission mask of listings: the configured `DirListMask`
// when it is exactly nine of "r", "w", "x", "-", else "rwxrwxrwx".
std::string EffectiveDirListMask();

}  // namespace vantor
