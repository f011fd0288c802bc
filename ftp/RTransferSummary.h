// Texts that close a transfer: the failure reason, the speed summary and the
// log lines of uploads and downloads.
#pragma once

#include <cstdint>
#include <string>

namespace vantor {

// What the end routine knows when it picks a failure reason.
struct RTransferEndFactsStr {
  bool upload = false;
  bool killedByServer = false;
  uint32_t reply = 0;   // the reply id of the end routine
  int dataStatus = -1;  // WS_ status of the data socket's side; -1: no socket
  bool controlConnected = true;
};

struct RTransferReasonStr {
  uint32_t text = 0;  // string id (0: none, success)
  int number = 0;     // the event hook's reason number
};

// The reason table of a failed transfer, in its order of precedence.
RTransferReasonStr PickFailureReason(const RTransferEndFactsStr& f);

// " (%.0f Kb/sec - %lu bytes%s)" and its siblings. `elapsedMs` already holds
// the 10 ms the end routine adds.
std::string SpeedSummary(uint64_t bytes, int64_t elapsedMs, const std::string& reasonText);

// The log line of a finished transfer: "(%06u) Sent file %s successfully"
// and the rest, then the speed summary. `localPath` is lower-cased here.
std::string TransferEndLogLine(bool upload, bool failed, uint32_t session,
                               const std::string& localPath, uint64_t bytes, int64_t elapsedMs,
                               const std::string& reasonText);

}  // namespace vantor
