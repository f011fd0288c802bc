// The file services' answer to the account store's file-system questions:
// drive table, case-insensitive lookup and no link followed, exactly as the
// commands see the paths. The engine installs it in place of the account
// store's default probe so that rules and commands agree.
#pragma once

#include <cstdint>
#include <string_view>

#include "accounts/RPathProbe.h"
#include "fs/RFsServices.h"
#include "fs/RPath.h"

namespace vantor {

// Asks the services' settings in force at each call, so it follows the
// drive table across reloads. `fs` must outlive the probe.
class RFsPathProbe final : public RPathProbe {
 public:
  explicit RFsPathProbe(const RFsServices& fs) : fs_(fs) {}
  bool IsDirectory(std::string_view localPath) const override {
    return vantor::IsDirectory(fs_.Settings(), localPath);
  }
  int64_t FileSize(std::string_view localPath) const override {
    return vantor::FileSize(fs_.Settings(), localPath);
  }

 private:
  const RFsServices& fs_;
};

}  // namespace vantor
