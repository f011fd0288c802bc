#include "gui/RSessionText.h"

#include <cctype>

#include "gui/RGuiStrings.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {

std::string SessionActivityText(const RSessionLineStr& s) {
  const std::string percent = s.percent != 0 ? FormatStr(S_GUI_UI_PERCENT, s.percent) : "";
  switch (s.transferState) {
    case kXferSending:
      return FormatStr(S_GUI_UI_SEND, percent, s.transferBytes, s.file);
    case kXferReceiving:
      return FormatStr(S_GUI_UI_RECEIVE, percent, s.transferBytes, s.file);
    case kXferListing:
      return FormatStr(S_GUI_UI_LIST, s.transferBytes, s.file);
    case kXferWaitSend:
      return FormatStr(S_GUI_UI_WAITSEND, s.file);
    case kXferWaitReceive:
      return FormatStr(S_GUI_UI_WAITRECEIVE, s.file);
    case kXferWaitList:
      return FormatStr(S_GUI_UI_WAITLIST, s.file);
    default:
      return LoadStr(S_GUI_UI_NONE);
  }
}

std::string SessionListLine(const RSessionLineStr& s) {
  return FormatStr(S_GUI_UI_LINE, s.number, s.hour, s.minute, s.second, Lower(s.user), s.address,
                   SessionActivityText(s));
}

std::optional<std::string> TrackedDialogueText(std::string_view line, uint32_t tracked) {
  if (line.size() < 3 || line[0] != '(') return std::nullopt;
  size_t i = 1;
  uint64_t n = 0;
  while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])) && n <= 0xFFFFFFFFu) {
    n = n * 10 + static_cast<uint64_t>(line[i] - '0');
    ++i;
  }
  if (i == 1 || i >= line.size() || line[i] != ')' || n != tracked) return std::nullopt;
  ++i;
  if (i < line.size() && line[i] == ' ') ++i;
  return std::string(line.substr(i));
}

std::string SessionSecurityText(const RSessionLineStr& s) {
  const std::string data = s.protP ? LoadStr(S_GUI_UI_PROTP) : LoadStr(S_GUI_UI_CLEAR);
  if (s.tlsProtocol.empty()) return FormatStr(S_GUI_UI_NOTLS, data);
  return FormatStr(S_GUI_UI_TLS, s.tlsProtocol, s.tlsCipher, data);
}

std::string NowTrackingLine(uint32_t session) {
  return FormatStr(S_GUI_UI_TRACKING, session);
}

std::string DurationText(int hours, int minutes, int seconds) {
  return FormatStr(S_GUI_UI_TIME, hours, minutes, seconds);
}

std::string RateText(int64_t current, int64_t previous) {
  if (current < 0) return {};
  const int64_t prev = previous < 0 ? current : previous;
  return FormatStr(S_GUI_UI_RATE, (current + prev) / 2);
}

}  // namespace vantor
