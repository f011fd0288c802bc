#include "accounts/RFTPEventStub.h"

#include <cstring>
#include <utility>

#include "accounts/RAccountsStrings.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

void CopyField(char* dst, size_t size, std::string_view src) {
  const size_t n = src.size() < size - 1 ? src.size() : size - 1;
  if (n > 0) std::memcpy(dst, src.data(), n);
  std::memset(dst + n, 0, size - n);
}

}  // namespace

int32_t DeferredForHookCode(uint32_t code) {
  switch (code) {
    case VNTR_EV_PreRETR:
      return HD_RETR;
    case VNTR_EV_PreSTOR:
      return HD_STOR;
    case VNTR_EV_PreAPPE:
      return HD_APPE;
    case VNTR_EV_PreSTOU:
      return HD_STOU;
    case VNTR_EV_PreRNTO:
      return HD_RNTO;
    case VNTR_EV_PreDELE:
      return HD_DELE;
    case VNTR_EV_PreRMD:
      return HD_RMD;
    case VNTR_EV_PreMKD:
      return HD_MKD;
    case VNTR_EV_PreSITE:
      return HD_SITE;
    case VNTR_EV_PreCWD:
      return HD_CWD;
    default:
      return HD_NONE;
  }
}

RFTPEventStub::RFTPEventStub(std::shared_ptr<RFTPEventHandler> handler, uint32_t session,
                             std::string_view clientAddress, std::string_view localAddress)
    : handler_(std::move(handler)) {
  std::memset(&record_, 0, sizeof record_);
  record_.session = session;
  CopyField(record_.clientAddress, sizeof record_.clientAddress, clientAddress);
  CopyField(record_.localAddress, sizeof record_.localAddress, localAddress);
}

int32_t RFTPEventStub::Raise(const EventStr& ev) {
  record_.event = ev.code;
  record_.reason = ev.reason;
  record_.reserved0 = 0;
  record_.elapsed = ev.elapsed;
  // The 32-bit field cannot hold 4 GiB and more; saturate rather than wrap,
  // and give the full count in the 64-bit field.
  record_.bytes = ev.bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(ev.bytes);
  record_.bytes64 = ev.bytes;
  record_.answer = 0;
  CopyField(record_.text, sizeof record_.text, ev.text);
  CopyField(record_.text2, sizeof record_.text2, ev.text2);
  return Call();
}

int32_t RFTPEventStub::RaiseAgain() {
  return Call();
}

int32_t RFTPEventStub::Call() {
  // The libraries get a copy: whatever they write outside the answer and
  // the text cannot disturb the session's own record.
  EventHookRecord copy = record_;
  const int32_t result = handler_->Dispatch(copy);
  record_.answer = copy.answer;
  std::memcpy(record_.text, copy.text, sizeof record_.text);
  record_.text[sizeof record_.text - 1] = '\0';
  return result;
}

std::string_view RFTPEventStub::Text() const {
  return std::string_view(record_.text);
}

std::vector<std::string> RFTPEventStub::ReplyLines() const {
  std::vector<std::string> lines;
  std::string_view rest = Text();
  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
  }
  if (lines.empty()) lines.emplace_back(LoadStr(kReplyRequestRefused));
  return lines;
}

}  // namespace vantor
