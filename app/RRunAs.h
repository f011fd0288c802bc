// The switch from root to the `RunAsUser=` / `RunAsGroup=` account of
// [GLOBAL], made once the listeners are bound and before the loop reads any
// client input. Loop thread, once per process.
#pragma once

#include <string>

namespace vantor {

enum class RRunAsOutcome {
  NotRoot,    // started as an ordinary user: nothing to do
  StaysRoot,  // root without RunAsUser: serves as root (logged loudly)
  Dropped,    // now the configured account, for good
  Failed,     // the account is unknown or the switch failed: must not serve
};

// Reads the two keys from the file at `iniPath` ("" = no configuration),
// switches when started as root and logs what it did (system messages).
RRunAsOutcome ApplyRunAs(const std::string& iniPath);

}  // namespace vantor
