#include "ftp/RTransferSummary.h"

#include <cctype>

#include "util/RFormat.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// Socket status numbers are fixed by the socket layer's contract.
constexpr int kWsReceiving = 2, kWsSending = 3, kWsNotCon = 17, kWsReset = 19, kWsSoftClose = 23,
              kWsTimeout = 25;

}  // namespace

RTransferReasonStr PickFailureReason(const RTransferEndFactsStr& f) {
  RTransferReasonStr r;
  if (f.killedByServer) {
    r = {2069, 5};
  } else if (f.upload && f.reply == 1060) {
    r = {2045, 1};
  } else if (!f.upload && f.reply == 1150) {
    r = {2054, 2};
  } else if (f.reply == 1057 || f.reply == 1033) {
    r = {2061, 7};
  } else if (f.upload && f.reply == 1135) {
    r = {2050, 3};
  } else if (f.dataStatus == kWsReceiving || f.dataStatus == kWsSending) {
    r = {2027, 5};
  } else if (f.dataStatus < 0 || f.dataStatus == kWsReset || f.dataStatus == kWsNotCon ||
             f.dataStatus == kWsSoftClose) {
    r = {2028, 7};
  } else if (f.dataStatus == kWsTimeout) {
    r = {2029, 4};
  } else {
    r = {2030, 6};
  }
  if (!f.controlConnected) r = {2057, 7};
  return r;
}

std::string SpeedSummary(uint64_t bytes, int64_t elapsedMs, const std::string& reasonText) {
  if (elapsedMs <= 0) elapsedMs = 1;
  const float rate = static_cast<float>(static_cast<double>(bytes) / (0.001 * elapsedMs));
  const double kb = static_cast<double>(rate) / 1024.0;
  if (rate > 100000.0f) return FormatStr(25500, kb, bytes, reasonText);
  if (rate > 10000.0f) return FormatStr(25501, kb, bytes, reasonText);
  if (rate > 1000.0f) return FormatStr(25502, kb, bytes, reasonText);
  return FormatStr(25503, static_cast<double>(rate), bytes, reasonText);
}

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string TransferEndLogLine(bool upload, bool failed, uint32_t session,
                               const std::string& localPath, uint64_t bytes, int64_t elapsedMs,
                               const std::string& reasonText) {
  const uint32_t id = upload ? (failed ? 2009 : 2010) : (failed ? 2011 : 2012);
  return FormatStr(id, session, LowerAscii(localPath)) + SpeedSummary(bytes, elapsedMs, reasonText);
}

}  // namespace vantor
