#include "fs/RFsSettings.h"

#include <utility>

#include "fs/RDirTextList.h"

namespace vantor {
namespace {

// Replaced whole on every reload; a job's snapshot keeps the old one alive
// for as long as the job runs.
RFsSettingsPtr& Current() {
  static RFsSettingsPtr s = std::make_shared<const RFsSettingsStr>();
  return s;
}

thread_local const RFsSettingsStr* t_pinned = nullptr;

}  // namespace

void SetFsSettings(RFsSettingsStr settings) {
  settings.linkFile = settings.drives.ConfigPathToDrive(settings.linkFile);
  settings.linkFile2 = settings.drives.ConfigPathToDrive(settings.linkFile2);
  if (settings.maxListEntries < 1) settings.maxListEntries = kDefaultMaxListEntries;
  if (settings.dirCacheMaxMB < 1) settings.dirCacheMaxMB = 1;
  // At most 1 TiB: the byte count must not overflow.
  if (settings.dirCacheMaxMB > (1 << 20)) settings.dirCacheMaxMB = 1 << 20;
  const int64_t budget = settings.dirCacheMaxMB * 1024 * 1024;
  Current() = std::make_shared<const RFsSettingsStr>(std::move(settings));
  DirCacheSetMaxBytes(budget);
}

const RFsSettingsStr& FsSettings() {
  return t_pinned != nullptr ? *t_pinned : *Current();
}

RFsSettingsPtr FsSettingsSnapshot() {
  return Current();
}

RFsSettingsPin::RFsSettingsPin(RFsSettingsPtr snapshot)
    : snapshot_(std::move(snapshot)), outer_(t_pinned) {
  t_pinned = snapshot_.get();
}

RFsSettingsPin::~RFsSettingsPin() {
  t_pinned = outer_;
}

std::string EffectiveDirListMask() {
  const std::string& m = FsSettings().dirListMask;
  if (m.size() != 9) return "rwxrwxrwx";
  for (char c : m) {
    if (c != 'r' && c != 'w' && c != 'x' && c != '-') return "rwxrwxrwx";
  }
  return m;
}

}  // namespace vantor
