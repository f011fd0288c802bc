// Texts of the user information window built from the answers of the
// session queries: the list line of one session, the dialogue filter of the
// tracked session and the detail fields. Pure functions, no widgets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// Transfer states of a session as the queries report them.
enum : uint32_t {
  kXferSending = 5,
  kXferReceiving = 6,
  kXferListing = 7,
  kXferWaitSend = 8,
  kXferWaitReceive = 9,
  kXferWaitList = 10,
};

// The answer of session query 2 as the window uses it.
struct RSessionLineStr {
  uint32_t number = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int percent = 0;
  std::string user;
  std::string address;
  uint32_t transferState = 0;
  int64_t transferBytes = 0;
  std::string file;
  std::string tlsProtocol;  // "" while the control connection is clear
  std::string tlsCipher;
  bool protP = false;  // data connections are protected
};

// "%u\t%d:%02d:%02d\t%s\t%s\t%s": number, connect time, lower-case user
// name, address and the activity text of the transfer state.
std::string SessionListLine(const RSessionLineStr& s);
std::string SessionActivityText(const RSessionLineStr& s);

// The text to show for a logged dialogue line "(%06u) text" when it belongs to
// session `tracked`; nothing for other sessions or malformed lines.
std::optional<std::string> TrackedDialogueText(std::string_view line, uint32_t tracked);

// Whether the control connection and the data connections are protected:
// "TLSv1.3, TLS_AES_256_GCM_SHA384; data: PROT P" or "Not protected; data:
// clear".
std::string SessionSecurityText(const RSessionLineStr& s);

std::string NowTrackingLine(uint32_t session);

// "%02d:%02d:%02d".
std::string DurationText(int hours, int minutes, int seconds);

// The mean of the current and the previous rate reading; empty while the
// current reading is negative (no transfer). A negative previous reading
// (the first second of a transfer) counts as the current one.
std::string RateText(int64_t current, int64_t previous);

}  // namespace vantor
