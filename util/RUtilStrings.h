// Names of the string table entries of the shared utilities
// (util/strings/util.inc).
// Call sites use these names so a reader sees which reply or log line goes
// out; the numbers stay fixed because they are the entries' stable ids.
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  kTextProgramName = 100,
};

}  // namespace vantor
