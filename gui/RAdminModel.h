// What the window needs from the administration API's answers, when
// vantor-gui watches a server running elsewhere: the JSON of sessions and
// status turned into the same records the in-process engine gives, the
// server-sent-event framing of the log and trace streams, the --connect
// target, and the configuration as a local INI image with its changes as a
// PATCH body. Pure functions, no widgets and no network.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/RIniFile.h"
#include "gui/RGuiEngine.h"

namespace vantor {

// Everything the user information window shows about one session.
struct RRemoteSessionStr {
  RSessionLineStr line;
  RSessionTimesStr times;
  RSessionNameStr host;
  RSessionBytesStr bytes;
};

// The session list (GET /v1/sessions), or one session (GET
// /v1/sessions/{n}); nothing when the answer is not what the API
// describes, so a broken answer never shows as an empty list. `now` (seconds
// since 1970) gives the local time of day each session connected at.
std::optional<std::vector<RRemoteSessionStr>> ParseSessions(std::string_view body, int64_t now);
std::optional<RRemoteSessionStr> ParseSession(std::string_view body, int64_t now);

struct RStatusRecord {
  uint32_t kind = 0;
  int32_t value = 0;
  int32_t value2 = 0;
  bool operator==(const RStatusRecord&) const = default;
};
struct RRemoteStatusStr {
  bool online = false;
  bool exitPending = false;
  uint32_t connectionsNow = 0;
  // The status records of the status bar and tray, in the order the
  // engine would send them.
  std::vector<RStatusRecord> records;
};
// GET /v1/status. Fields a server of an older version lacks (sockets,
// throughput, maxUsers) are left out of the records, never shown as 0.
std::optional<RRemoteStatusStr> ParseStatus(std::string_view body);

// The "error" text of an error answer, else the body cut to a line.
std::string ErrorText(std::string_view body);

// Server-sent events: bytes in as they arrive, whole events out.
struct RSseEventStr {
  std::string event;  // "" for a plain data event
  std::string data;   // data lines joined with '\n'
};
class RSseParser {
 public:
  // A line longer than this (a broken or hostile stream) is dropped.
  static constexpr size_t kMaxLine = 64 * 1024;
  std::vector<RSseEventStr> Feed(std::string_view bytes);

 private:
  void Line(std::string_view line, std::vector<RSseEventStr>* out);
  std::string partial_;
  bool skipping_ = false;
  RSseEventStr current_;
  bool hasData_ = false;
};

// --connect: "unix:PATH", "https://host:port" or, for a loopback address
// only (the server speaks plain HTTP there), "http://host:port".
struct RConnectTargetStr {
  std::string socketPath;  // set for unix:
  std::string baseUrl;     // "https://host:port" without a trailing slash
  std::string shown;       // for the status bar
};
// Nothing and the reason in `error` when the text is none of them.
std::optional<RConnectTargetStr> ParseConnectTarget(std::string_view text, std::string* error);

// GET /v1/config as INI text ("[SECTION]" and "Key=Value" lines in the
// answer's order); nothing when the answer is not sections of strings or
// a name or value could not be written back as the same line.
std::optional<std::string> ConfigToIniText(std::string_view body);
// The PATCH body that turns `before` into `after` (only changed keys;
// null for a removed one); "" when nothing changed.
std::string ConfigPatchBody(const RIniFile& before, const RIniFile& after);

}  // namespace vantor
