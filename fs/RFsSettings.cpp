#include "fs/RFsSettings.h"

#include <utility>

#include "fs/RDirTextList.h"

namespace vantor {
namespace {

RFsSettingsStr& Settings() {
  static RFsSettingsStr s;
  return s;
}

}  // namespace

void SetFsSettings(RFsSettingsStr settings) {
  settings.linkFile = settings.drives.ConfigPathToDrive(settings.linkFile);
  settings.linkFile2 = settings.drives.ConfigPathToDrive(settings.linkFile2);
  if (settings.maxListEntries < 1) settings.maxListEntries = kDefaultMaxListEntries;
  if (settings.dirCacheMaxMB < 1) settings.dirCacheMaxMB = 1;
  // At most 1 TiB: the byte count must not overflow.
  if (settings.dirCacheMaxMB > (1 << 20)) settings.dirCacheMaxMB = 1 << 20;
  const int64_t budget = settings.dirCacheMaxMB * 1024 * 1024;
  Settings() = std::move(settings);
  DirCacheSetMaxBytes(budget);
}

const RFsSettingsStr& FsSettings() {
  return Settings();
}

std::string EffectiveDirListMask() {
  const std::string& m = Settings().dirListMask;
  if (m.size() != 9) return "rwxrwxrwx";
  for (char c : m) {
    if (c != 'r' && c != 'w' && c != 'x' && c != '-') return "rwxrwxrwx";
  }
  return m;
}

}  // namespace vantor
