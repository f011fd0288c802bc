// Names of the string table entries of the platform layer
// (util/strings/platform.inc).
// Call sites use these names so a reader sees which reply or log line goes
// out; the numbers stay fixed because they are the entries' stable ids.
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  kLogStarted = 110,
  kLogSignalStop = 111,
};

}  // namespace vantor
