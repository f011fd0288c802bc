// Names of the string table entries of accounts, security and hook libraries
// (util/strings/accounts.inc).
// Call sites use these names so a reader sees which reply or log line goes
// out; the numbers stay fixed because they are the entries' stable ids.
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  kReplyOtpChallenge = 1172,
  kReplyAccountLocked = 1173,
  kLogUnknownPasswordHash = 28220,
  kLogIgnoredIPRule = 28320,
  kLogLibraryLoaded = 2046,
  kLogLibraryNotLoaded = 2047,
  kLogLibraryNoEntryPoint = 2048,
  kLogHookEvent = 27000,
  kLogHookHost = 27001,
  kLogHookFirstAux = 27002,
  kLogHookSecondAux = 27003,
  kLogHookHandled = 27004,
  kLogHookNotHandled = 27005,
  kLogHookAuxReturned = 27006,
  kLogHookAux0Returned = 27007,
  kLogLibraryReason = 27010,
  kReplyRequestRefused = 27020,
  kLogClusterConnected = 29300,
  kLogClusterUnreachable = 29301,
  kLogClusterNoSchema = 29302,
  kLogClusterSchemaOld = 29303,
  kLogClusterProblem = 29304,
  kLogClusterSchemaAt = 29305,
  kLogClusterPasswordFile = 29306,
  kTextClusterRefuseMeanwhile = 29307,
  kTextClusterLocalMeanwhile = 29308,
  kReplyClusterUnavailable = 29309,
};

}  // namespace vantor
