// Server-wide settings of the file services: the drive table, the link list
// file names, `LowerCaseFileDir`, `DirListMask`, and the listing bounds
// `MaxListEntries` and `DirCacheMaxMB`.
//
// Set at start-up and on every settings reload by the configuration code;
// read by path resolution and listings. Set on the loop thread only; a
// worker reads the snapshot its job was handed (RFsSettingsPin), so a reload
// while a listing runs never changes the settings under it.
#pragma once

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

// Replaces the settings. Link file names in POSIX form are turned into drive
// form through the new drive table; the directory cache takes its new byte
// budget (evicting what no longer fits, keeping the rest).
void SetFsSettings(RFsSettingsStr settings);
// The settings in force: the calling thread's pinned snapshot when it has
// one, else the current settings (loop thread).
const RFsSettingsStr& FsSettings();

using RFsSettingsPtr = std::shared_ptr<const RFsSettingsStr>;
// The current settings, to hand to a job (loop thread).
RFsSettingsPtr FsSettingsSnapshot();
// While it lives, FsSettings() on this thread answers from `snapshot`.
class RFsSettingsPin {
 public:
  explicit RFsSettingsPin(RFsSettingsPtr snapshot);
  ~RFsSettingsPin();
  RFsSettingsPin(const RFsSettingsPin&) = delete;
  RFsSettingsPin& operator=(const RFsSettingsPin&) = delete;

 private:
  RFsSettingsPtr snapshot_;
  const RFsSettingsStr* outer_;
};

// The nine-letter permission mask of listings: the configured `DirListMask`
// when it is exactly nine of "r", "w", "x", "-", else "rwxrwxrwx".
std::string EffectiveDirListMask();

}  // namespace vantor
