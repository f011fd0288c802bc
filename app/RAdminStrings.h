// Names of the string table entries of the administration endpoint and
// `vantorctl` (util/strings/admin.inc).
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  kLogAdminListening = 29100,
  kLogMetricsListening = 29101,
  kLogAdminNotStarted = 29102,
  kLogAdminNeedsTls = 29103,
  kLogAdminNeedsToken = 29104,
  kLogAdminBadToken = 29105,
  kLogAdminRequest = 29106,
  kLogAdminKill = 29107,
  kLogAdminBlock = 29108,
  kLogAdminLibrary = 29109,
  kTextAdminByUid = 29110,
  kTextAdminFrom = 29111,
  kLogAdminConfigChanged = 29112,
  kLogAdminUnblock = 29113,
  kLogAdminStopped = 29500,
  kLogAdminKeyRefused = 29501,
  kTextAdminNeedsTls = 29502,
  kTextAdminNeedsToken = 29503,
};

}  // namespace vantor
