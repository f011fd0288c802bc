#include "ftp/RTransferSummary.h"

#include <cctype>

#include "ftp/RFTPStrings.h"
#include "util/RFormat.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

// Socket status numbers are fixed by the socket layer's contract.
constexpr int kWsReceiving = 2, kWsSending = 3, kWsNotCon = 17, kWsReset = 19, kWsSoftClose = 23,
              kWsTimeout = 25;

}  // namespace

RTransferReasonStr PickFailureReason(const RTransferEndFactsStr& f) {
  RTransferReasonStr r;
  if (f.killedByServer) {
    r = {kTextKilledByServer, 5};
  } else if (f.upload && f.reply == kReplyStorDiskFull) {
    r = {kTextDiskWriteError, 1};
  } else if (!f.upload && f.reply == kReplyRetrCannotRead) {
    r = {kTextDiskReadError, 2};
  } else if (f.reply == kReplyStorCannotConnect || f.reply == kReplyRetrCannotConnect) {
    r = {kTextDataNotOpened, 7};
  } else if (f.upload && f.reply == kReplyQuotaExceeded) {
    r = {kTextQuotaExceeded, 3};
  } else if (f.dataStatus == kWsReceiving || f.dataStatus == kWsSending) {
    r = {kTextClientAborted, 5};
  } else if (f.dataStatus < 0 || f.dataStatus == kWsReset || f.dataStatus == kWsNotCon ||
             f.dataStatus == kWsSoftClose) {
    r = {kTextClientClosedData, 7};
  } else if (f.dataStatus == kWsTimeout) {
    r = {kTextPacketTimedOut, 4};
  } else {
    r = {kTextReasonUnknown, 6};
  }
  if (!f.controlConnected) r = {kTextControlClosed, 7};
  return r;
}

std::string SpeedSummary(uint64_t bytes, int64_t elapsedMs, const std::string& reasonText) {
  if (elapsedMs <= 0) elapsedMs = 1;
  const float rate = static_cast<float>(static_cast<double>(bytes) / (0.001 * elapsedMs));
  const double kb = static_cast<double>(rate) / 1024.0;
  if (rate > 100000.0f) return FormatStr(kTextRateKb0, kb, bytes, reasonText);
  if (rate > 10000.0f) return FormatStr(kTextRateKb1, kb, bytes, reasonText);
  if (rate > 1000.0f) return FormatStr(kTextRateKb2, kb, bytes, reasonText);
  return FormatStr(kTextRateBytes, static_cast<double>(rate), bytes, reasonText);
}

std::string TransferEndLogLine(bool upload, bool failed, uint32_t session,
                               const std::string& localPath, uint64_t bytes, int64_t elapsedMs,
                               const std::string& reasonText) {
  const uint32_t id =
      upload ? (failed ? kLogReceiveFailed : kLogReceived) : (failed ? kLogSendFailed : kLogSent);
  return FormatStr(id, session, Lower(localPath)) + SpeedSummary(bytes, elapsedMs, reasonText);
}

}  // namespace vantor
