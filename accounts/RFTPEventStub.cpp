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

// An address cut to the field's size would name another host: one that
// does not fit whole is left empty (the extension has it).
void WholeField(char* dst, size_t size, std::string_view src) {
  CopyField(dst, size, src.size() < size ? src : std::string_view());
}

}  // namespace

RFTPEventStub::RFTPEventStub(std::shared_ptr<RFTPEventHandler> handler, uint32_t session,
                             std::string_view clientAddress, std::string_view localAddress)
    : handler_(std::move(handler)) {
  std::memset(&block_, 0, sizeof block_);
  block_.record.session = session;
  block_.record.extensionSize = sizeof block_.ext;
  block_.ext.version = 1;
  WholeField(block_.record.clientAddress, sizeof block_.record.clientAddress, clientAddress);
  WholeField(block_.record.localAddress, sizeof block_.record.localAddress, localAddress);
  CopyField(block_.ext.clientAddress, sizeof block_.ext.clientAddress, clientAddress);
  CopyField(block_.ext.localAddress, sizeof block_.ext.localAddress, localAddress);
}

int32_t RFTPEventStub::Raise(const EventStr& ev) {
  block_.record.event = ev.code;
  block_.record.reason = ev.reason;
  block_.record.reserved0 = 0;
  block_.record.elapsed = ev.elapsed;
  // The 32-bit field cannot hold 4 GiB and more; saturate rather than wrap,
  // and give the full count in the 64-bit field.
  block_.record.bytes = ev.bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(ev.bytes);
  block_.record.bytes64 = ev.bytes;
  block_.record.answer = 0;
  CopyField(block_.record.text, sizeof block_.record.text, ev.text);
  CopyField(block_.record.text2, sizeof block_.record.text2, ev.text2);
  return Call();
}

int32_t RFTPEventStub::RaiseAgain() {
  return Call();
}

int32_t RFTPEventStub::Call() {
  // The libraries get a copy: whatever they write outside the answer and
  // the text cannot disturb the session's own record.
  Block copy = block_;
  const int32_t result = handler_->Dispatch(copy.record);
  block_.record.answer = copy.record.answer;
  std::memcpy(block_.record.text, copy.record.text, sizeof block_.record.text);
  block_.record.text[sizeof block_.record.text - 1] = '\0';
  return result;
}

std::string_view RFTPEventStub::Text() const {
  return std::string_view(block_.record.text);
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
