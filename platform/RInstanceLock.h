// One running server per configuration file: a name in the abstract socket
// namespace derived from the INI path. The kernel drops the name when the
// holder exits, however it exits, so no stale lock file can remain.
#pragma once

#include <string>

#include "platform/RFd.h"

namespace vantor {

class RInstanceLock {
 public:
  // Tries to take the name for `iniPath` (made absolute by the caller).
  // True when this process holds it now; false when another process does
  // (or the name could not be created).
  [[nodiscard]] bool Acquire(const std::string& iniPath);
  bool Held() const { return fd_.Valid(); }
  void Release() { fd_.Reset(); }

 private:
  RFd fd_;
};

}  // namespace vantor
