// `vantorctl`: the administration endpoint from the command line (see
// docs/vantorctl.1.scd). One request per verb, over the Unix socket or
// HTTPS with a bearer token; human tables by default, the server's JSON
// with --json. Exit 0 when the server did what was asked, 1 when it
// refused (the reason on stderr), 2 for a usage error, 3 when it could
// not be reached.
#include <curl/curl.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kDefaultSocket = "/run/vantor/admin.sock";

struct Options {
  std::string socket;
  std::string url;
  std::string tokenFile;
  std::string caFile;
  bool json = false;
  bool force = false;
  std::vector<std::string> words;
};

struct Reply {
  long status = 0;
  std::string body;
  std::string error;  // transport failure
};

int Usage() {
  std::fputs(
      "usage: vantorctl [--socket PATH | --url https://host:port --token-file F [--cacert F]]\n"
      "                 [--json] VERB [ARGS]\n"
      "verbs: status | sessions | session N | kick N | trace N | log [-f] |\n"
      "       blocks | block ADDR [MINUTES] | unblock ADDR | reload | online | offline |\n"
      "       shutdown [--force] | get SECTION KEY | set SECTION KEY VALUE | unset SECTION KEY |\n"
      "       metrics\n",
      stderr);
  return 2;
}

// --- the transport ---------------------------------------------------------------------

class Client {
 public:
  explicit Client(const Options& o) : o_(o) {}

  bool Prepare(std::string* error) {
    if (o_.url.empty()) return true;
    if (o_.tokenFile.empty()) {
      *error = "--url needs --token-file";
      return false;
    }
    std::ifstream in(o_.tokenFile);
    if (!in || !std::getline(in, token_) || token_.empty()) {
      *error = "cannot read a token from " + o_.tokenFile;
      return false;
    }
    while (!token_.empty() && (token_.back() == '\r' || token_.back() == ' ')) token_.pop_back();
    return true;
  }

  // One request; `sink` (streams) gets the body as it comes instead.
  Reply Call(const std::string& method, const std::string& path, const std::string& body = {},
             std::function<bool(std::string_view)> sink = nullptr) {
    Reply r;
    CURL* c = curl_easy_init();
    if (c == nullptr) {
      r.error = "cannot start the HTTP client";
      return r;
    }
    std::string base = o_.url.empty() ? std::string("http://localhost") : o_.url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + path;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    if (o_.url.empty()) curl_easy_setopt(c, CURLOPT_UNIX_SOCKET_PATH, o_.socket.c_str());
    if (!o_.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, o_.caFile.c_str());
    curl_slist* headers = nullptr;
    std::string auth;
    if (!token_.empty()) {
      auth = "Authorization: Bearer " + token_;
      headers = curl_slist_append(headers, auth.c_str());
    }
    if (!body.empty()) {
      headers = curl_slist_append(headers, "Content-Type: application/json");
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    if (headers != nullptr) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    struct Ctx {
      Reply* r;
      std::function<bool(std::string_view)>* sink;
      CURL* c;
    } ctx{&r, &sink, c};
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION, +[](char* p, size_t, size_t n, void* user) -> size_t {
          auto* x = static_cast<Ctx*>(user);
          long status = 0;
          curl_easy_getinfo(x->c, CURLINFO_RESPONSE_CODE, &status);
          // Only a stream that was accepted is streamed; a
          // refusal's JSON is kept for the message.
          if (*x->sink && status == 200) return (*x->sink)(std::string_view(p, n)) ? n : 0;
          x->r->body.append(p, n);
          return n;
        });
    const CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && r.status == 200))
      r.error = curl_easy_strerror(rc);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return r;
  }

 private:
  const Options& o_;
  std::string token_;
};

// --- output ------------------------------------------------------------------------------

std::string Text(const Json& v) {
  if (v.is_null()) return "-";
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

std::string Clock(int64_t seconds) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buf;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], row[i].size());
    }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
}

void PrintSessions(const Json& list) {
  std::vector<std::vector<std::string>> rows = {
      {"NUM", "USER", "CLIENT", "STATE", "CONNECTED", "IDLE", "TRANSFER", "TLS", "COMMAND"}};
  for (const Json& s : list) {
    std::string xfer = "-";
    if (s["transfer"].is_object()) {
      xfer = Text(s["transfer"]["direction"]) + " " + Text(s["transfer"]["file"]) + " " +
             Text(s["transfer"]["bytes"]) + " B";
    }
    rows.push_back({Text(s["number"]), s["user"].get<std::string>().empty() ? "-" : Text(s["user"]),
                    Text(s["client"]), Text(s["state"]),
                    Clock(s["connectedSeconds"].get<int64_t>()),
                    Clock(s["idleSeconds"].get<int64_t>()), xfer,
                    s["tls"].is_object() ? Text(s["tls"]["protocol"]) : "-",
                    s.contains("command") ? Text(s["command"]) : "-"});
  }
  PrintTable(rows);
}

void PrintObject(const Json& j, const std::string& prefix = {}) {
  for (const auto& [k, v] : j.items()) {
    if (v.is_object()) {
      PrintObject(v, prefix + k + ".");
    } else if (v.is_array() && !v.empty() && v[0].is_object()) {
      for (size_t i = 0; i < v.size(); ++i)
        PrintObject(v[i], prefix + k + "[" + std::to_string(i) + "].");
    } else {
      std::printf("%-28s %s\n", (prefix + k).c_str(), Text(v).c_str());
    }
  }
}

// Server-sent events to lines: data lines printed, lost lines said on
// stderr, the end of a traced session ends the program.
class EventPrinter {
 public:
  bool Feed(std::string_view chunk) {
    buf_.append(chunk);
    size_t nl;
    while ((nl = buf_.find('\n')) != std::string::npos) {
      std::string line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      if (line.empty()) {
        event_.clear();
        continue;
      }
      if (line.starts_with("event: ")) {
        event_ = line.substr(7);
        if (event_ == "end") return false;
      } else if (line.starts_with("data: ")) {
        if (event_ == "lost") {
          std::fprintf(stderr, "vantorctl: %s lines lost (reader too slow)\n",
                       line.substr(6).c_str());
        } else {
          std::printf("%s\n", line.substr(6).c_str());
          std::fflush(stdout);
        }
      }
    }
    return true;
  }

 private:
  std::string buf_, event_;
};

int Refused(const Reply& r) {
  const Json j = Json::parse(r.body, nullptr, false);
  std::string why = j.is_object() && j.contains("error") ? Text(j["error"]) : r.body;
  std::fprintf(stderr, "vantorctl: refused (%ld): %s\n", r.status, why.c_str());
  if (j.is_object() && j.contains("problems"))
    for (const Json& p : j["problems"]) std::fprintf(stderr, "  %s\n", Text(p).c_str());
  return 1;
}

bool IsNumber(const std::string& s) {
  return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

// --- verbs ---------------------------------------------------------------------------------

int Run(const Options& o) {
  Client client(o);
  std::string error;
  if (!client.Prepare(&error)) {
    std::fprintf(stderr, "vantorctl: %s\n", error.c_str());
    return 2;
  }
  const std::vector<std::string>& w = o.words;
  const std::string& verb = w[0];
  auto args = [&](size_t lo, size_t hi) { return w.size() - 1 >= lo && w.size() - 1 <= hi; };
  std::string method = "GET", path, body;
  enum class Show { Object, Sessions, Blocks, Text, Value, Quiet } show = Show::Object;
  bool stream = false;
  std::string getSection, getKey;

  if (verb == "status" && args(0, 0)) {
    path = "/v1/status";
  } else if (verb == "sessions" && args(0, 0)) {
    path = "/v1/sessions", show = Show::Sessions;
  } else if (verb == "session" && args(1, 1) && IsNumber(w[1])) {
    path = "/v1/sessions/" + w[1];
  } else if (verb == "kick" && args(1, 1) && IsNumber(w[1])) {
    method = "DELETE", path = "/v1/sessions/" + w[1];
  } else if (verb == "trace" && args(1, 1) && IsNumber(w[1])) {
    path = "/v1/sessions/" + w[1] + "/trace", stream = true;
  } else if (verb == "log" && (args(0, 0) || (args(1, 1) && w[1] == "-f"))) {
    path = "/v1/log", stream = true;
  } else if (verb == "blocks" && args(0, 0)) {
    path = "/v1/blocks", show = Show::Blocks;
  } else if (verb == "block" && args(1, 2) && (w.size() == 2 || IsNumber(w[2]))) {
    Json j;
    j["address"] = w[1];
    if (w.size() == 3) j["minutes"] = std::stoll(w[2]);
    method = "POST", path = "/v1/blocks", body = j.dump();
  } else if (verb == "unblock" && args(1, 1)) {
    method = "DELETE", path = "/v1/blocks/" + w[1];
  } else if ((verb == "reload" || verb == "online" || verb == "offline") && args(0, 0)) {
    method = "POST", path = "/v1/" + verb;
  } else if (verb == "shutdown" && args(0, 0)) {
    method = "POST", path = o.force ? "/v1/shutdown?force=1" : "/v1/shutdown";
  } else if (verb == "get" && args(2, 2)) {
    path = "/v1/config", show = Show::Value, getSection = w[1], getKey = w[2];
  } else if ((verb == "set" && args(3, 3)) || (verb == "unset" && args(2, 2))) {
    Json j;
    j[w[1]][w[2]] = verb == "set" ? Json(w[3]) : Json(nullptr);
    method = "PATCH", path = "/v1/config", body = j.dump();
  } else if (verb == "metrics" && args(0, 0)) {
    path = "/metrics", show = Show::Text;
  } else {
    return Usage();
  }

  if (stream) {
    EventPrinter printer;
    const Reply r =
        client.Call(method, path, {}, [&](std::string_view c) { return printer.Feed(c); });
    if (!r.error.empty()) {
      std::fprintf(stderr, "vantorctl: %s\n", r.error.c_str());
      return 3;
    }
    return r.status == 200 ? 0 : Refused(r);
  }
  const Reply r = client.Call(method, path, body);
  if (!r.error.empty()) {
    std::fprintf(stderr, "vantorctl: %s\n", r.error.c_str());
    return 3;
  }
  if (r.status < 200 || r.status > 299) return Refused(r);
  if (show == Show::Text || (o.json && show != Show::Value)) {
    std::fputs(r.body.c_str(), stdout);
    return 0;
  }
  const Json j = Json::parse(r.body, nullptr, false);
  if (j.is_discarded()) {
    std::fputs(r.body.c_str(), stdout);
    return 0;
  }
  switch (show) {
    case Show::Sessions:
      PrintSessions(j);
      break;
    case Show::Blocks: {
      std::vector<std::vector<std::string>> rows = {{"ADDRESS", "UNTIL", "SECONDS LEFT"}};
      for (const Json& b : j)
        rows.push_back({Text(b["address"]), Text(b["until"]), Text(b["secondsLeft"])});
      PrintTable(rows);
      break;
    }
    case Show::Value: {
      // Sections and keys compare without regard to case, as in the file.
      auto lower = [](std::string s) {
        for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return s;
      };
      for (const auto& [sec, keys] : j.items()) {
        if (lower(sec) != lower(getSection)) continue;
        for (const auto& [k, v] : keys.items()) {
          if (lower(k) != lower(getKey)) continue;
          if (o.json) {
            Json out;
            out["section"] = sec, out["key"] = k, out["value"] = v;
            std::printf("%s\n", out.dump().c_str());
          } else {
            std::printf("%s\n", Text(v).c_str());
          }
          return 0;
        }
      }
      std::fprintf(stderr, "vantorctl: refused: no key %s in [%s]\n", getKey.c_str(),
                   getSection.c_str());
      return 1;
    }
    default:
      PrintObject(j);
      break;
  }
  // An exit that waits for the users is not a refusal, but it is said.
  if (verb == "shutdown" && j.value("exitPending", false))
    std::fprintf(stderr, "vantorctl: exit pending until the last of %s sessions ends\n",
                 Text(j["sessions"]).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const char* env = std::getenv("VANTOR_ADMIN_SOCKET")) o.socket = env;
  if (o.socket.empty()) o.socket = kDefaultSocket;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (a == "--socket") {
      if (!value(&o.socket)) return Usage();
    } else if (a == "--url") {
      if (!value(&o.url)) return Usage();
    } else if (a == "--token-file") {
      if (!value(&o.tokenFile)) return Usage();
    } else if (a == "--cacert") {
      if (!value(&o.caFile)) return Usage();
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      o.words.push_back(a);
    }
  }
  if (o.words.empty()) return Usage();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const int code = Run(o);
  curl_global_cleanup();
  return code;
}
