#include "fs/RFsSettings.h"

#include <utility>

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
  Settings() = std::move(settings);
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
