// Names of the string table entries of the logger
// (util/strings/log.inc).
// Call sites use these names so a reader sees which reply or log line goes
// out; the numbers stay fixed because they are the entries' stable ids.
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  kLogCannotWriteLogfile = 22000,
  kLogScreenOnly = 22001,
  kLogNoLogfile = 22002,
  kLogToFile = 22003,
};

}  // namespace vantor
