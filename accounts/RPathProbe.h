// What the account store needs to know about the file system: whether a
// local path (drive form) is an existing directory, a file's size, and
// whether a name is a reserved device. The engine may install the file
// services' own probe; the default goes through the drive table.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/RDriveMap.h"

namespace vantor {

class RPathProbe {
 public:
  virtual ~RPathProbe() = default;
  // True when `localPath` (drive form) names an existing directory.
  virtual bool IsDirectory(std::string_view localPath) const = 0;
  // Size in bytes, or -1 when the size cannot be read.
  virtual int64_t FileSize(std::string_view localPath) const = 0;
};

// Windows device names (PRN, LPT1, COM1, CON, AUX, NUL, CLOCK$), optionally
// followed by ":" or an extension, compared without regard to case on the
// last component of `path`. Paths keep their Windows meaning throughout, so
// such a name is never opened as a file.
bool IsReservedDeviceName(std::string_view path);

// The default probe: drive table + stat. Components are taken as given.
class RDrivePathProbe final : public RPathProbe {
 public:
  explicit RDrivePathProbe(const RDriveMap* drives) : drives_(drives) {}
  void SetDrives(const RDriveMap* drives) { drives_ = drives; }
  bool IsDirectory(std::string_view localPath) const override;
  int64_t FileSize(std::string_view localPath) const override;

 private:
  const RDriveMap* drives_;  // not owned
};

}  // namespace vantor
