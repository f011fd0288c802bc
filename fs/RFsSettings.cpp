#include "fs/RFsSettings.h"

namespace vantor {

std::string EffectiveDirListMask(const RFsSettingsStr& fs) {
  const std::string& m = fs.dirListMask;
  if (m.size() != 9) return "rwxrwxrwx";
  for (char c : m) {
    if (c != 'r' && c != 'w' && c != 'x' && c != '-') return "rwxrwxrwx";
  }
  return m;
}

}  // namespace vantor
