// The resources of the administration endpoint (docs/admin-api.yaml): each
// request's method, path and body in, its status and JSON out. The HTTP
// glue (app/RAdminServer) does the rest. Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/RWorkPool.h"

namespace vantor {

class RFTPServer;
class RVantorApp;

struct RAdminAnswerStr {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  bool stream = false;          // GET /v1/log or a trace: the glue streams
  uint32_t streamSession = 0;   // 0: the log
  std::function<void()> after;  // runs once the answer went out
};
// {"error": text} with `status`.
RAdminAnswerStr ErrorAnswer(int status, std::string_view text);

struct RAdminCallStr {
  std::string method, url, body;
  std::string who;     // "by uid 1000", "from 192.0.2.7": for the log lines
  bool force = false;  // ?force=1
  // An answer that needs work on the pool comes through here later (Call
  // returned nullopt), unless `cancel` was cancelled first.
  std::function<void(RAdminAnswerStr)> later;
  RWorkCancelPtr cancel;
};

struct RAdminResources {
  RVantorApp& app;
  RFTPServer* server;  // nullptr: no server (503 for what needs one)

  std::optional<RAdminAnswerStr> Call(const RAdminCallStr& c);
  // The metrics text (Prometheus text format) of the server of the moment.
  std::string MetricsText() const;
};

// Whether a configuration key's value is a secret (passwords, S/KEY data,
// the administration token), shown as "********".
bool SecretConfigKey(std::string_view key);
inline constexpr const char* kMaskedValue = "********";

}  // namespace vantor
