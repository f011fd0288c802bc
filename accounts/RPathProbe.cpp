#include "accounts/RPathProbe.h"

#include <string>

#include "platform/RFileSys.h"
#include "util/RText.h"

namespace vantor {
namespace {}  // namespace

bool IsReservedDeviceName(std::string_view path) {
  size_t bs = path.find_last_of("\\/");
  std::string_view name = bs == std::string_view::npos ? path : path.substr(bs + 1);
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  size_t dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  std::string up;
  for (char c : name) up += AsciiUpper(c);
  static constexpr const char* kNames[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$"};
  for (const char* n : kNames)
    if (up == n) return true;
  if (up.size() == 4 && (up.compare(0, 3, "COM") == 0 || up.compare(0, 3, "LPT") == 0) &&
      up[3] >= '1' && up[3] <= '9')
    return true;
  return false;
}

bool RDrivePathProbe::IsDirectory(std::string_view localPath) const {
  if (drives_ == nullptr) return false;
  std::string posix = FsDriveToPosix(*drives_, localPath);
  if (posix.empty()) return false;
  RFileStatStr st;
  return FsStat(posix, st) && st.type == RFileType::Directory;
}

int64_t RDrivePathProbe::FileSize(std::string_view localPath) const {
  if (drives_ == nullptr) return -1;
  std::string posix = FsDriveToPosix(*drives_, localPath);
  if (posix.empty()) return -1;
  RFileStatStr st;
  if (!FsStat(posix, st) || st.type != RFileType::Regular) return -1;
  return st.size;
}

}  // namespace vantor
