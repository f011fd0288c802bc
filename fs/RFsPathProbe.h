// The file services' answer to the account store's file-system questions:
// drive table, case-insensitive lookup and no link followed, exactly as the
// commands see the paths. The engine installs it in place of the account
// store's default probe so that rules and commands agree.
#pragma once

#include <cstdint>
#include <string_view>

#include "accounts/RPathProbe.h"
#include "fs/RPath.h"

namespace vantor {

class RFsPathProbe final : public RPathProbe {
 public:
  bool IsDirectory(std::string_view localPath) const override {
    return vantor::IsDirectory(localPath);
  }
  int64_t FileSize(std::string_view localPath) const override {
    return vantor::FileSize(localPath);
  }
};

}  // namespace vantor
