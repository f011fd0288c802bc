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

}  // namespace vantor
