#include "config/RDriveConfig.h"

#include "config/RIniPath.h"

namespace vantor {

RDriveMap DriveMapFromIni(const RIniFile& ini) {
  if (!ini.HasSection("DRIVES")) return RDriveMap();
  const std::string base =
      ini.Path().empty() ? std::string("/") : NormalizePath(DirectoryOf(ini.Path()), "/");
  RDriveMap m;
  m.Clear();
  for (const auto& [key, value] : ini.SectionEntries("DRIVES")) {
    if (key.size() != 1 || value.empty()) continue;
    (void)m.Set(key[0], NormalizePath(value, base));
  }
  return m;
}

std::string ServerFilePath(const RIniFile& ini, std::string_view configured) {
  if (configured.empty()) return {};
  const bool dirOnly = configured.back() == '\\' || configured.back() == '/';
  std::string path;
  if (IsDriveForm(configured) || (configured.size() >= 2 && configured[1] == ':')) {
    path = DriveMapFromIni(ini).DriveToPosix(configured);
    if (path.empty()) return {};
  } else {
    path = std::string(configured);
  }
  const std::string base =
      ini.Path().empty() ? std::string("/") : NormalizePath(DirectoryOf(ini.Path()), "/");
  path = NormalizePath(path, base);
  if (dirOnly && path.back() != '/') path += '/';
  return path;
}

}  // namespace vantor
