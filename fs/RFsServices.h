// The file services of one server: the settings in force and the directory
// cache. The server's manager owns one and hands it (or the settings
// snapshot a job runs under) to path resolution and listings; tests build
// their own.
//
// Loop thread, but for the cache, whose own calls say which threads may
// use them, and a snapshot, which any thread may read.
#pragma once

#include <memory>

#include "fs/RDirCache.h"
#include "fs/RFsSettings.h"

namespace vantor {

class RFsServices {
 public:
  RFsServices();
  RFsServices(const RFsServices&) = delete;
  RFsServices& operator=(const RFsServices&) = delete;

  // Replaces the settings. Link file names in POSIX form are turned into
  // drive form through the new drive table, the listing bounds are brought
  // into range, and the cache takes its new byte budget (evicting what no
  // longer fits, keeping the rest). Jobs keep the snapshot they were given.
  void SetSettings(RFsSettingsStr settings);
  const RFsSettingsStr& Settings() const { return *settings_; }
  // The settings in force, to hand to a job.
  RFsSettingsPtr Snapshot() const { return settings_; }

  RDirCache& Cache() { return cache_; }

 private:
  RFsSettingsPtr settings_;
  RDirCache cache_;
};

}  // namespace vantor
