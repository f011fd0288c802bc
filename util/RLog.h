// The process-wide log entry point. The logger installs itself as the sink;
// before that (and in unit tests) lines go nowhere unless a test installs a
// sink of its own. A sink is installed for a scope (RLogSinkScope), never
// set and cleared by hand, so whatever was installed before comes back.
// Loop thread only.
#pragma once

#include <string>
#include <string_view>

namespace vantor {

enum RLogCategory : int {
  LOG_SYSTEM = 2,
  LOG_SECURITY = 3,
  LOG_COMMANDS = 4,
  LOG_REPLIES = 5,
  LOG_HOSTNAMES = 6,
  LOG_UPLOADS = 7,
  LOG_DOWNLOADS = 9,
  LOG_SCREEN = 18,
  LOG_SOCKET_TRACE = 22,
  LOG_EXTERNAL = 23,
};

using RLogSinkFn = void (*)(void* context, int category, std::string_view text);
// Whether the sink would do anything with a line of `category`.
using RLogWantedFn = bool (*)(void* context, int category);

// Installs a sink for its lifetime; the sink installed before comes back at
// its end. Scopes end in the reverse order of their start (as objects on one
// stack do), so a test's capture may hold a logger's scope inside it. Without
// `wanted` the sink takes every category; `fn` nullptr: lines go nowhere
// during the scope.
class RLogSinkScope {
 public:
  RLogSinkScope(RLogSinkFn fn, void* context, RLogWantedFn wanted = nullptr);
  ~RLogSinkScope();
  RLogSinkScope(const RLogSinkScope&) = delete;
  RLogSinkScope& operator=(const RLogSinkScope&) = delete;

 private:
  RLogSinkFn previousFn_;
  void* previousContext_;
  RLogWantedFn previousWanted_;
};

void WriteLog(int category, std::string_view text);
// Log text made safe for terminals, files and views: every control
// character (below 0x20, and 0x7F) becomes "\xHH" with upper-case hex
// digits; everything else, UTF-8 included, is kept. Clients choose much of
// what is logged (names, commands, host names), and a raw escape sequence
// would rewrite the administrator's terminal. Idempotent.
std::string EscapeLogText(std::string_view text);
// True when EscapeLogText would change `text`.
bool LogTextNeedsEscape(std::string_view text);

// False when a line of `category` would go nowhere: callers that build a
// line only to log it skip the formatting.
bool LogWanted(int category);

}  // namespace vantor
