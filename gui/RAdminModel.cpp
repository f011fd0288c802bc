#include "gui/RAdminModel.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>

#include "gui/RStatusText.h"
#include "platform/RLocalTime.h"

namespace vantor {
namespace {

using Json = nlohmann::ordered_json;

std::optional<Json> ParseJson(std::string_view body) {
  Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

bool Str(const Json& j, const char* key, std::string* out) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

template <typename T>
bool Int(const Json& j, const char* key, T* out) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_number_integer()) return false;
  const int64_t v = it->get<int64_t>();
  if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
    return false;
  *out = static_cast<T>(v);
  return true;
}

// Counters beyond what a status field holds are shown at its maximum.
int32_t Clamp32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<int32_t>::max()));
}

uint32_t TransferState(const std::string& direction, bool waiting) {
  if (direction == "download") return waiting ? kXferWaitSend : kXferSending;
  if (direction == "upload") return waiting ? kXferWaitReceive : kXferReceiving;
  if (direction == "listing") return waiting ? kXferWaitList : kXferListing;
  return 0;
}

std::optional<RRemoteSessionStr> SessionFromJson(const Json& j, int64_t now) {
  if (!j.is_object()) return std::nullopt;
  RRemoteSessionStr r;
  RSessionLineStr& l = r.line;
  int64_t connected = 0, idle = 0;
  std::string protection;
  if (!Int(j, "number", &l.number) || l.number == 0 || !Str(j, "user", &l.user) ||
      !Str(j, "client", &l.address) || !Int(j, "connectedSeconds", &connected) ||
      !Int(j, "idleSeconds", &idle) || connected < 0 || idle < 0 ||
      !Int(j, "bytesSent", &r.bytes.sent) || !Int(j, "bytesReceived", &r.bytes.received) ||
      !Str(j, "directory", &r.bytes.text) || !Str(j, "dataProtection", &protection))
    return std::nullopt;
  const RLocalTm at = LocalTime(now - connected);
  l.hour = at.hour;
  l.minute = at.minute;
  l.second = at.second;
  auto split = [](int64_t s, int* h, int* m, int* sec) {
    *h = static_cast<int>(std::min<int64_t>(s / 3600, std::numeric_limits<int>::max()));
    *m = static_cast<int>(s / 60 % 60);
    *sec = static_cast<int>(s % 60);
  };
  split(connected, &r.times.connectedHours, &r.times.connectedMinutes, &r.times.connectedSeconds);
  split(idle, &r.times.idleHours, &r.times.idleMinutes, &r.times.idleSeconds);
  l.protP = protection == "P";

  const auto host = j.find("host");
  if (host != j.end() && host->is_string()) {
    r.host.resolved = true;
    r.host.name = host->get<std::string>();
  }
  const auto x = j.find("transfer");
  if (x == j.end()) return std::nullopt;
  if (x->is_object()) {
    std::string direction;
    bool waiting = false;
    const auto w = x->find("waiting");
    if (w != x->end() && w->is_boolean()) waiting = w->get<bool>();
    if (!Str(*x, "direction", &direction) || !Str(*x, "file", &l.file) ||
        !Int(*x, "bytes", &l.transferBytes) || !Int(*x, "percent", &l.percent) ||
        !Int(*x, "rate", &r.times.rate))
      return std::nullopt;
    l.transferState = TransferState(direction, waiting);
    if (l.transferState == 0) return std::nullopt;
  } else if (!x->is_null()) {
    return std::nullopt;
  }
  const auto tls = j.find("tls");
  if (tls != j.end() && tls->is_object()) {
    if (!Str(*tls, "protocol", &l.tlsProtocol) || !Str(*tls, "cipher", &l.tlsCipher))
      return std::nullopt;
  }
  return r;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::optional<std::vector<RRemoteSessionStr>> ParseSessions(std::string_view body, int64_t now) {
  const auto j = ParseJson(body);
  if (!j || !j->is_array()) return std::nullopt;
  std::vector<RRemoteSessionStr> out;
  out.reserve(j->size());
  for (const Json& e : *j) {
    auto s = SessionFromJson(e, now);
    if (!s) return std::nullopt;
    out.push_back(std::move(*s));
  }
  return out;
}

std::optional<RRemoteSessionStr> ParseSession(std::string_view body, int64_t now) {
  const auto j = ParseJson(body);
  if (!j) return std::nullopt;
  return SessionFromJson(*j, now);
}

std::optional<RRemoteStatusStr> ParseStatus(std::string_view body) {
  const auto j = ParseJson(body);
  if (!j || !j->is_object()) return std::nullopt;
  RRemoteStatusStr s;
  const auto online = j->find("online");
  const auto pending = j->find("exitPending");
  const auto conn = j->find("connections");
  const auto xfer = j->find("transfers");
  if (online == j->end() || !online->is_boolean() || conn == j->end() || !conn->is_object() ||
      xfer == j->end() || !xfer->is_object())
    return std::nullopt;
  s.online = online->get<bool>();
  s.exitPending = pending != j->end() && pending->is_boolean() && pending->get<bool>();
  int64_t now = 0, anonymous = 0, up = 0, down = 0;
  if (!Int(*conn, "now", &now) || !Int(*conn, "anonymous", &anonymous) ||
      !Int(*xfer, "uploadsRunning", &up) || !Int(*xfer, "downloadsRunning", &down))
    return std::nullopt;
  s.connectionsNow = static_cast<uint32_t>(Clamp32(now));
  int64_t v = 0;
  const auto sockets = j->find("sockets");
  if (sockets != j->end() && sockets->is_object()) {
    if (Int(*sockets, "max", &v)) s.records.push_back({STATUS_MAX_SOCKETS, Clamp32(v), 0});
    if (Int(*sockets, "now", &v)) s.records.push_back({STATUS_SOCKETS, Clamp32(v), 0});
  }
  if (Int(*j, "maxUsers", &v)) {
    // -1: no limit, as the engine reports it.
    s.records.push_back({STATUS_MAX_USERS, v < 0 ? -1 : Clamp32(v), 0});
  }
  s.records.push_back({STATUS_USERS, Clamp32(now), Clamp32(anonymous)});
  s.records.push_back({STATUS_TRANSFERS, Clamp32(up + down), 0});
  if (Int(*j, "throughput", &v)) s.records.push_back({STATUS_THROUGHPUT, Clamp32(v), 0});
  s.records.push_back({STATUS_ONLINE, s.online ? 1 : 0, 0});
  return s;
}

std::string ErrorText(std::string_view body) {
  const auto j = ParseJson(body);
  std::string text;
  if (j && j->is_object() && Str(*j, "error", &text)) {
    const auto problems = j->find("problems");
    if (problems != j->end() && problems->is_array()) {
      for (const Json& p : *problems) {
        if (p.is_string()) text += "; " + p.get<std::string>();
      }
    }
    return text;
  }
  text.assign(body.substr(0, std::min<size_t>(body.size(), 200)));
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<RSseEventStr> RSseParser::Feed(std::string_view bytes) {
  std::vector<RSseEventStr> out;
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, nl);
    if (!skipping_) {
      if (partial_.size() + piece.size() > kMaxLine) {
        skipping_ = true;
        partial_.clear();
      } else {
        partial_.append(piece);
      }
    }
    if (nl == std::string_view::npos) break;
    bytes.remove_prefix(nl + 1);
    if (skipping_) {
      skipping_ = false;
      continue;
    }
    std::string line = std::move(partial_);
    partial_.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Line(line, &out);
  }
  return out;
}

void RSseParser::Line(std::string_view line, std::vector<RSseEventStr>* out) {
  if (line.empty()) {
    // A blank line ends the event; one without data is nothing to show.
    if (hasData_ || !current_.event.empty()) out->push_back(std::move(current_));
    current_ = {};
    hasData_ = false;
    return;
  }
  if (line.front() == ':') return;
  const size_t colon = line.find(':');
  const std::string_view field = line.substr(0, colon);
  std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
  if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  if (field == "data") {
    if (hasData_) current_.data += '\n';
    current_.data.append(value);
    hasData_ = true;
  } else if (field == "event") {
    current_.event.assign(value);
  }
}

std::optional<RConnectTargetStr> ParseConnectTarget(std::string_view text, std::string* error) {
  RConnectTargetStr t;
  if (text.substr(0, 5) == "unix:") {
    t.socketPath.assign(text.substr(5));
    if (t.socketPath.empty()) {
      *error = "unix: needs the path of the administration socket";
      return std::nullopt;
    }
    t.shown = t.socketPath;
    return t;
  }
  const bool https = text.substr(0, 8) == "https://";
  const bool http = text.substr(0, 7) == "http://";
  if (!https && !http) {
    *error = "expected unix:PATH or https://host:port";
    return std::nullopt;
  }
  std::string_view rest = text.substr(https ? 8 : 7);
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.empty() || rest.find_first_of("/?#@ ") != std::string_view::npos) {
    *error = "expected host:port after the scheme, nothing else";
    return std::nullopt;
  }
  std::string_view host = rest;
  std::string_view port;
  if (rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      *error = "an IPv6 address needs its closing ]";
      return std::nullopt;
    }
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') {
        *error = "expected :port after the address";
        return std::nullopt;
      }
      port = rest.substr(close + 2);
    }
  } else if (const size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      std::stoi(std::string(port)) == 0 || std::stoi(std::string(port)) > 65535) {
    *error = "expected host:port with a port from 1 to 65535";
    return std::nullopt;
  }
  // The token travels in every request: in clear only over loopback,
  // which is also the only place the server speaks plain HTTP.
  const std::string lower = Lower(host);
  const bool loopback = lower == "localhost" || lower == "::1" || lower.rfind("127.", 0) == 0;
  if (http && !loopback) {
    *error = "plain http only to a loopback address; use https://";
    return std::nullopt;
  }
  t.baseUrl.assign(text.substr(0, (https ? 8 : 7) + rest.size()));
  t.shown = t.baseUrl;
  return t;
}

std::optional<std::string> ConfigToIniText(std::string_view body) {
  const auto j = ParseJson(body);
  if (!j || !j->is_object()) return std::nullopt;
  auto clean = [](const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; };
  std::string out;
  for (const auto& [section, keys] : j->items()) {
    if (!keys.is_object() || section.empty() || !clean(section) ||
        section.find(']') != std::string::npos)
      return std::nullopt;
    out += "[" + section + "]\n";
    for (const auto& [key, value] : keys.items()) {
      if (!value.is_string() || key.empty() || !clean(key) || key.find('=') != std::string::npos ||
          !clean(value.get<std::string>()))
        return std::nullopt;
      out += key + "=" + value.get<std::string>() + "\n";
    }
  }
  return out;
}

std::string ConfigPatchBody(const RIniFile& before, const RIniFile& after) {
  Json patch = Json::object();
  // Sections and keys are matched without regard to case, as the reader
  // does; what is written keeps the case of the file.
  struct Section {
    std::string name;
    std::map<std::string, std::pair<std::string, std::string>> keys;  // lower: (key, value)
  };
  std::map<std::string, Section> old;
  for (const std::string& s : before.SectionNames()) {
    Section& sec = old[Lower(s)];
    sec.name = s;
    for (const auto& [k, v] : before.SectionEntries(s)) sec.keys.emplace(Lower(k), std::pair(k, v));
  }
  auto removeAll = [&before](const Section& sec, Json& changes) {
    for (const auto& [k, v] : before.SectionEntries(sec.name)) {
      if (sec.keys.count(Lower(k)) != 0) changes[k] = nullptr;
    }
  };
  for (const std::string& s : after.SectionNames()) {
    const auto it = old.find(Lower(s));
    Json changes = Json::object();
    for (const auto& [k, v] : after.SectionEntries(s)) {
      if (it != old.end()) {
        const auto was = it->second.keys.find(Lower(k));
        if (was != it->second.keys.end()) {
          if (was->second.second != v) changes[k] = v;
          it->second.keys.erase(was);
          continue;
        }
      }
      changes[k] = v;
    }
    if (it != old.end()) {
      removeAll(it->second, changes);
      old.erase(it);
    }
    if (!changes.empty()) patch[s] = changes;
  }
  for (const auto& [lower, sec] : old) {
    Json changes = Json::object();
    removeAll(sec, changes);
    if (!changes.empty()) patch[sec.name] = changes;
  }
  if (patch.empty()) return {};
  return patch.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vantor
