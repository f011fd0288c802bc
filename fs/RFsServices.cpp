#include "fs/RFsServices.h"

#include <utility>

namespace vantor {

RFsServices::RFsServices() : settings_(std::make_shared<const RFsSettingsStr>()) {}

void RFsServices::SetSettings(RFsSettingsStr settings) {
  settings.linkFile = settings.drives.ConfigPathToDrive(settings.linkFile);
  settings.linkFile2 = settings.drives.ConfigPathToDrive(settings.linkFile2);
  if (settings.maxListEntries < 1) settings.maxListEntries = kDefaultMaxListEntries;
  if (settings.dirCacheMaxMB < 1) settings.dirCacheMaxMB = 1;
  // At most 1 TiB: the byte count must not overflow.
  if (settings.dirCacheMaxMB > (1 << 20)) settings.dirCacheMaxMB = 1 << 20;
  const int64_t budget = settings.dirCacheMaxMB * 1024 * 1024;
  settings_ = std::make_shared<const RFsSettingsStr>(std::move(settings));
  cache_.SetMaxBytes(budget);
}

}  // namespace vantor
