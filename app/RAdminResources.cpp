#include "app/RAdminResources.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "app/RAdminCommands.h"
#include "app/RAdminStrings.h"
#include "app/RVantorApp.h"
#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "ftp/RBusMessages.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPServer.h"
#include "ftp/RMetrics.h"
#include "net/RSocketLayer.h"
#include "platform/RIpAddress.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j) {
  // Client text (user names, file names) need not be UTF-8: replaced, never thrown.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

RAdminAnswerStr JsonAnswer(int status, const Json& j) {
  RAdminAnswerStr a;
  a.status = status;
  a.body = Dump(j) + "\n";
  return a;
}

std::string IsoTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string Field(const char* s, size_t n) {
  return std::string(s, strnlen(s, n));
}

const char* StateName(int32_t state) {
  switch (state) {
    case CS_Connected:
      return "connected";
    case CS_Resolving:
      return "resolving";
    case CS_UserGiven:
      return "user-given";
    case CS_LoggedIn:
      return "logged-in";
    case CS_RenamePending:
      return "rename-pending";
    case CS_RestartPending:
      return "restart-pending";
    case CS_AwaitingHook:
      return "awaiting-hook";
    case CS_Closing:
      return "closing";
    default:
      return "busy";
  }
}

Json TransferJson(int32_t state, const RSessionSummaryStr& q, int64_t rate) {
  const char* direction = nullptr;
  switch (state) {
    case XS_Sending:
    case XS_WaitSend:
      direction = "download";
      break;
    case XS_Receiving:
    case XS_WaitReceive:
      direction = "upload";
      break;
    case XS_Listing:
    case XS_WaitList:
      direction = "listing";
      break;
    default:
      return nullptr;
  }
  Json t;
  t["direction"] = direction;
  t["waiting"] = state == XS_WaitSend || state == XS_WaitReceive || state == XS_WaitList;
  t["file"] = Field(q.file, sizeof(q.file));
  t["bytes"] = q.transferBytes;
  t["percent"] = q.percent;
  t["rate"] = rate < 0 ? 0 : rate;
  return t;
}

// What the answer of one session shows, copied on the loop (plain records,
// no JSON): the answer is made from it on a worker.
struct RSessionSnapStr {
  RSessionSummaryStr summary;
  std::optional<RSessionTimingStr> timing;
  std::optional<RSessionTrafficStr> traffic;
  std::optional<std::string> host;  // once looked up
  bool anonymous = false;
  const char* state = "";
  std::string clientName, ipHome, directory, command;
};

// `lookUp`: start a host-name look-up when the name is not known yet, as
// the user information window does for the session it shows (never for a
// whole list: thousands of look-ups at once).
RSessionSnapStr SessionSnap(RFTPSManager& m, const RFTPSComInterp& s, bool lookUp) {
  RSessionSnapStr o;
  o.summary = m.SessionSummary(s);
  o.timing = m.SessionTiming(s);
  o.traffic = m.SessionTraffic(s);
  if (lookUp) {
    const std::optional<RSessionHostStr> h = m.SessionHost(s.Number());
    if (h && h->resolved) o.host = Field(h->host, sizeof(h->host));
  } else if (s.Connection.nameResolved) {
    o.host = s.Connection.hostName.substr(0, sizeof(RSessionHostStr::host) - 1);
  }
  o.anonymous = s.Login.anonymous;
  o.state = StateName(s.CommandState());
  o.clientName = s.Choices.clientName;
  o.ipHome = s.Connection.localAddressText;
  o.directory = s.Login.currentDir;
  o.command = s.CurrentCommand();
  return o;
}

// Any thread.
Json SessionJson(const RSessionSnapStr& o) {
  const RSessionSummaryStr& q = o.summary;
  const std::optional<RSessionTimingStr>& t = o.timing;
  const std::optional<RSessionTrafficStr>& tr = o.traffic;
  Json j;
  j["number"] = q.session;
  j["user"] = Field(q.user, sizeof(q.user));
  j["anonymous"] = o.anonymous;
  j["client"] = Field(q.client, sizeof(q.client));
  j["clientName"] = o.clientName;
  j["host"] = o.host ? Json(*o.host) : Json(nullptr);
  j["ipHome"] = o.ipHome;
  j["state"] = o.state;
  j["directory"] = o.directory;
  j["connectedSeconds"] = t ? t->hours * 3600 + t->minutes * 60 + t->seconds : 0;
  j["idleSeconds"] = t ? t->idleHours * 3600 + t->idleMinutes * 60 + t->idleSeconds : 0;
  j["transfer"] = TransferJson(q.transferState, q, t ? t->rate : -1);
  j["bytesSent"] = tr ? tr->bytesSent : 0;
  j["bytesReceived"] = tr ? tr->bytesReceived : 0;
  const std::string proto = Field(q.tlsProtocol, sizeof(q.tlsProtocol));
  Json tls;
  if (proto.empty()) {
    tls = nullptr;
  } else {
    tls["protocol"] = proto;
    tls["cipher"] = Field(q.tlsCipher, sizeof(q.tlsCipher));
  }
  j["tls"] = tls;
  j["dataProtection"] = q.protP != 0 ? "P" : "C";
  j["command"] = o.command.empty() ? Json(nullptr) : Json(o.command);
  return j;
}

// Each answer made off the loop is its own job (the pool joins jobs of one
// key, and two answers are never one).
uint64_t gAnswerSerial = 0;

// The answer `make` builds from what it captured (a copy made on the
// loop), made on a worker: a big list turned into text would hold up every
// session for the time it takes. When the pool is full it is made here.
std::optional<RAdminAnswerStr> AnswerOffLoop(RFTPSManager& m, const RAdminCallStr& call,
                                             std::function<RAdminAnswerStr()> make) {
  auto work = [make]() -> RWorkPool::Result {
    return std::make_shared<const RAdminAnswerStr>(make());
  };
  auto later = call.later;
  auto done = [later](const RWorkPool::Result& res) {
    const auto* a = static_cast<const RAdminAnswerStr*>(res.get());
    later(a != nullptr ? *a : ErrorAnswer(500, "the answer could not be made"));
  };
  const RWorkSubmit sub = m.Pool().Submit("admin-answer-" + std::to_string(++gAnswerSerial),
                                          call.cancel, std::move(work), std::move(done));
  if (sub == RWorkSubmit::Full) return make();
  return std::nullopt;
}

// "/v1/a/b" -> {"a", "b"}; an empty segment anywhere makes it unknown.
std::optional<std::vector<std::string>> Segments(const std::string& url) {
  if (!url.starts_with("/v1/")) return std::nullopt;
  std::vector<std::string> out;
  size_t pos = 4;
  while (pos <= url.size()) {
    const size_t slash = url.find('/', pos);
    const std::string seg =
        url.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    if (seg.empty()) return std::nullopt;
    out.push_back(seg);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return out;
}

std::optional<uint32_t> Number(const std::string& s) {
  if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return static_cast<uint32_t>(std::stoul(s));
}

RAdminAnswerStr NoServer() {
  return ErrorAnswer(503, "the FTP server is not running");
}

// --- PATCH /v1/config -------------------------------------------------------------------

struct RConfigEditStr {
  std::vector<RIniFile::Change> changes;
};

// The file's lines with `changes` made the way the INI writer makes them
// (a key replaced in place, else added at the end of its section, a new
// section at the end), for the check before anything is written. The line
// numbers of the changed keys go to `lines`.
std::string EditedText(const std::vector<std::string>& file,
                       const std::vector<RIniFile::Change>& changes, std::vector<int>* lines) {
  std::vector<std::string> out = file;
  auto headerOf = [](const std::string& l) -> std::optional<std::string> {
    const std::string t(TrimLine(l));
    if (t.size() < 2 || t[0] != '[') return std::nullopt;
    const size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return std::string(TrimLine(std::string_view(t).substr(1, close - 1)));
  };
  for (const RIniFile::Change& c : changes) {
    size_t begin = out.size(), end = out.size();
    for (size_t i = 0; i < out.size(); ++i) {
      const auto h = headerOf(out[i]);
      if (!h) continue;
      if (begin != out.size()) {
        end = i;
        break;
      }
      if (EqualNoCaseAscii(*h, c.section)) begin = i;
    }
    if (begin == out.size()) {
      if (!c.value) continue;
      out.push_back("[" + c.section + "]");
      out.push_back(c.key + "=" + *c.value);
      continue;
    }
    bool done = false;
    for (size_t i = begin + 1; i < end && !done; ++i) {
      const std::string_view l = TrimLine(out[i]);
      const size_t eq = l.find('=');
      if (eq == std::string_view::npos || !EqualNoCaseAscii(TrimLine(l.substr(0, eq)), c.key))
        continue;
      if (c.value) {
        out[i] = c.key + "=" + *c.value;
      } else {
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(i));
      }
      done = true;
    }
    if (!done && c.value) {
      size_t at = end;
      while (at > begin + 1 && TrimLine(out[at - 1]).empty()) --at;
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), c.key + "=" + *c.value);
    }
  }
  std::string text;
  for (size_t i = 0; i < out.size(); ++i) {
    text += out[i];
    text += '\n';
  }
  auto hasSection = [&](const std::vector<std::string>& text, const std::string& name) {
    return std::any_of(text.begin(), text.end(), [&](const std::string& l) {
      const auto h = headerOf(l);
      return h && EqualNoCaseAscii(*h, name);
    });
  };
  for (const RIniFile::Change& c : changes) {
    if (!c.value) continue;
    // A new section's header is checked too: an unknown section is refused.
    if (!hasSection(file, c.section)) {
      for (size_t i = 0; i < out.size(); ++i) {
        const auto h = headerOf(out[i]);
        if (h && EqualNoCaseAscii(*h, c.section)) lines->push_back(static_cast<int>(i + 1));
      }
    }
    bool inSection = false;
    for (size_t i = 0; i < out.size(); ++i) {
      if (const auto h = headerOf(out[i])) {
        inSection = EqualNoCaseAscii(*h, c.section);
        continue;
      }
      const std::string_view l = TrimLine(out[i]);
      const size_t eq = l.find('=');
      if (inSection && eq != std::string_view::npos &&
          EqualNoCaseAscii(TrimLine(l.substr(0, eq)), c.key))
        lines->push_back(static_cast<int>(i + 1));
    }
  }
  return text;
}

// Each check is its own job: two PATCHes of different content must never
// share one run (the pool joins jobs of one key).
uint64_t gCheckSerial = 0;

struct RConfigVerdictStr {
  std::vector<std::string> errors;
};

std::optional<RAdminAnswerStr> PatchConfig(RAdminResources& r, const RAdminCallStr& call) {
  if (r.server == nullptr) return NoServer();
  RIniFile& ini = r.server->Manager().Ini();
  if (ini.Path().empty()) return ErrorAnswer(409, "the server runs without a configuration file");
  const Json body = Json::parse(call.body, nullptr, false);
  if (body.is_discarded() || !body.is_object() || body.empty())
    return ErrorAnswer(400, "the body must be a JSON object of sections, each an object of keys");
  std::vector<RIniFile::Change> changes;
  for (const auto& [section, keys] : body.items()) {
    if (!keys.is_object() || keys.empty())
      return ErrorAnswer(400, "section " + section + ": an object of keys is expected");
    for (const auto& [key, value] : keys.items()) {
      if (!value.is_string() && !value.is_null())
        return ErrorAnswer(400, "[" + section + "] " + key + ": a string or null is expected");
      const std::string v = value.is_string() ? value.get<std::string>() : std::string();
      if (section.find_first_of("[]\r\n") != std::string::npos ||
          key.find_first_of("=[]\r\n;") != std::string::npos || TrimLine(key).empty() ||
          v.find_first_of("\r\n") != std::string::npos)
        return ErrorAnswer(
            400, "[" + section + "] " + key + ": a name or value that would break the file");
      if (value.is_string() && v == kMaskedValue)
        return ErrorAnswer(
            400, "[" + section + "] " + key + ": the masked value cannot be written back");
      changes.push_back(
          {section, key, value.is_null() ? std::nullopt : std::optional<std::string>(v)});
    }
  }
  std::vector<int> changed;
  const std::vector<std::string> lines = ini.Lines();
  std::string current;
  for (const std::string& l : lines) current += l + "\n";
  std::string candidate = EditedText(lines, changes, &changed);
  const std::string path = ini.Path();
  const uint64_t changesBefore = ini.ChangeCount();
  auto work = [path, current, candidate, changed]() -> RWorkPool::Result {
    // The check reads what the paths name: on the pool, never the loop.
    auto verdict = std::make_shared<RConfigVerdictStr>();
    const auto before = CheckConfigText(path, current);
    for (const RConfigProblemStr& p : CheckConfigText(path, candidate)) {
      const bool onChanged = std::find(changed.begin(), changed.end(), p.line) != changed.end();
      const bool isNew =
          p.error && std::none_of(before.begin(), before.end(), [&](const RConfigProblemStr& b) {
            return b.error && b.text == p.text;
          });
      if (onChanged || isNew) verdict->errors.push_back(p.text);
    }
    return verdict;
  };
  RVantorApp* app = &r.app;
  RFTPServer* server = r.server;
  auto later = call.later;
  const std::string who = call.who;
  auto done = [app, server, later, changes, changesBefore, who](const RWorkPool::Result& res) {
    const auto* v = static_cast<const RConfigVerdictStr*>(res.get());
    if (v == nullptr) return later(ErrorAnswer(500, "the check did not run"));
    if (!v->errors.empty()) {
      Json j;
      j["error"] = "the change was refused: nothing was written";
      j["problems"] = v->errors;
      return later(JsonAnswer(422, j));
    }
    RIniFile& ini = server->Manager().Ini();
    // A reload or another writer changed the file while it was checked:
    // the check no longer holds for it.
    if (ini.ChangeCount() != changesBefore)
      return later(ErrorAnswer(409, "the configuration changed meanwhile; nothing was written"));
    if (!ini.Apply(changes)) {
      const std::string why = ini.KeptReason();
      return later(
          ErrorAnswer(500, "the file could not be written" + (why.empty() ? "" : ": " + why)));
    }
    for (const RIniFile::Change& c : changes)
      WriteLog(LOG_SYSTEM, FormatStr(kLogAdminConfigChanged, c.section, c.key, who));
    // As the set-up dialogs do: the saved file is applied by a reload.
    app->Loop().PostMessage(app->MainWindow(), MSG_RELOAD_SETTINGS);
    Json j;
    j["written"] = changes.size();
    j["reload"] = true;
    later(JsonAnswer(200, j));
  };
  const RWorkSubmit sub = r.server->Manager().Pool().Submit(
      "admin-config-check-" + std::to_string(++gCheckSerial), call.cancel, work, done);
  if (sub == RWorkSubmit::Full) return ErrorAnswer(503, "busy, try again");
  return std::nullopt;
}

// Every section's keys in file order, secrets masked; copied on the loop.
using RConfigSnapStr =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

RConfigSnapStr ConfigSnap(RIniFile& ini) {
  RConfigSnapStr out;
  for (const std::string& section : ini.SectionNames()) {
    out.emplace_back(section, ini.SectionEntries(section));
    for (auto& [k, v] : out.back().second)
      if (SecretConfigKey(k)) v = kMaskedValue;
  }
  return out;
}

// Any thread.
Json ConfigJson(const RConfigSnapStr& snap) {
  Json j = Json::object();
  for (const auto& [section, entries] : snap) {
    Json keys = Json::object();
    for (const auto& [k, v] : entries) keys[k] = v;
    j[section] = keys;
  }
  return j;
}

// --- blocks ------------------------------------------------------------------------------

Json BlocksJson(RFTPSManager& m) {
  m.AntiHammer().Purge(m.Now());
  Json list = Json::array();
  for (const auto& b : m.AntiHammer().Blocks()) {
    Json e;
    e["address"] = b.address;
    e["until"] = IsoTime(b.until);
    e["secondsLeft"] = std::max<int64_t>(0, b.until - m.Now());
    list.push_back(e);
  }
  return list;
}

std::optional<RAdminAnswerStr> AddBlock(RFTPSManager& m, const RAdminCallStr& call) {
  const Json body = Json::parse(call.body, nullptr, false);
  if (body.is_discarded() || !body.is_object() || !body.contains("address") ||
      !body["address"].is_string())
    return ErrorAnswer(400, "the body must be {\"address\": \"...\", \"minutes\": N}");
  const std::string address = body["address"].get<std::string>();
  RIpAddrStr ip;
  if (!ParseIpText(address, ip)) return ErrorAnswer(400, "not an IP address: " + address);
  int64_t minutes = m.AntiHammer().BlockSeconds() / 60;
  if (body.contains("minutes")) {
    if (!body["minutes"].is_number_integer() || body["minutes"].get<int64_t>() < 1 ||
        body["minutes"].get<int64_t>() > 525600)
      return ErrorAnswer(400, "minutes must be a whole number from 1 to 525600");
    minutes = body["minutes"].get<int64_t>();
  }
  if (minutes < 1) minutes = 1;
  m.AddBlock(address, minutes * 60);
  WriteLog(LOG_SECURITY, FormatStr(kLogAdminBlock, address, static_cast<int>(minutes), call.who));
  // Its sessions go as a kill from the administration window does.
  int kicked = 0;
  for (const auto& s : m.Sessions()) {
    if (s->Connection.clientAddress != address) continue;
    WriteLog(LOG_SECURITY, FormatStr(kLogAdminKill, s->Number(), call.who));
    m.Loop().PostMessage(m.MainWindow(), MSG_REMOVE_SESSION, s->Number());
    ++kicked;
  }
  Json j;
  j["address"] = address;
  j["until"] = IsoTime(m.Now() + minutes * 60);
  j["sessionsKilled"] = kicked;
  return JsonAnswer(201, j);
}

}  // namespace

RAdminAnswerStr ErrorAnswer(int status, std::string_view text) {
  Json j;
  j["error"] = std::string(text);
  return JsonAnswer(status, j);
}

bool SecretConfigKey(std::string_view key) {
  // Password holds the hash or the S/KEY data; the token hash opens the
  // endpoint. Anything named like a secret is treated as one.
  auto endsWith = [&](std::string_view tail) {
    return key.size() >= tail.size() &&
           EqualNoCaseAscii(key.substr(key.size() - tail.size()), tail);
  };
  return EqualNoCaseAscii(key, "Password") || StartsWithNoCase(key, "SKey") ||
         endsWith("TokenHash") || endsWith("Token") || endsWith("Secret");
}

std::optional<RAdminAnswerStr> RAdminResources::Call(const RAdminCallStr& c) {
  const auto seg = Segments(c.url);
  if (!seg || seg->empty()) return ErrorAnswer(404, "unknown resource");
  const std::string& top = (*seg)[0];
  const size_t n = seg->size();
  const bool get = c.method == "GET", post = c.method == "POST", del = c.method == "DELETE";
  auto notAllowed = [] { return ErrorAnswer(405, "method not allowed"); };
  auto logChange = [&] {
    WriteLog(LOG_SYSTEM, FormatStr(kLogAdminRequest, c.method, c.url, c.who));
  };
  const bool known = top == "status" || top == "sessions" || top == "log" || top == "reload" ||
                     top == "online" || top == "offline" || top == "shutdown" || top == "blocks" ||
                     top == "config";
  if (!known) return ErrorAnswer(404, "unknown resource");
  if (server == nullptr) return NoServer();
  RFTPSManager& m = server->Manager();

  if (top == "status" && n == 1) {
    if (!get) return notAllowed();
    const ServerStats& st = m.Stats();
    Json j;
    j["version"] = kProgramVersion;
    j["online"] = m.Online();
    j["exitPending"] = m.ExitPending();
    j["startTime"] = IsoTime(st.StartTime);
    Json conn;
    conn["now"] = st.ConnectionsNow;
    conn["anonymous"] = st.AnonymousNow;
    conn["loginsTotal"] = st.LoginsTotal;
    conn["total"] = st.NextSessionNumber - 1;
    conn["perHour"] = st.ConnectionsPerHour;
    j["connections"] = conn;
    Json x;
    x["kbUploaded"] = st.KBytesUploaded;
    x["kbDownloaded"] = st.KBytesDownloaded;
    x["bytesUploaded"] = st.BytesUploaded;
    x["bytesDownloaded"] = st.BytesDownloaded;
    x["filesUploaded"] = st.FilesUploaded;
    x["filesDownloaded"] = st.FilesDownloaded;
    x["uploadsRunning"] = st.UploadsActive;
    x["downloadsRunning"] = st.DownloadsActive;
    j["transfers"] = x;
    j["tls"] = m.TlsContext() != nullptr;
    // What the main window's status bar shows beside the counters.
    RSocketLayer& layer = app.Layer();
    Json sockets;
    sockets["now"] = layer.SocketCount();
    sockets["max"] = layer.MaxSockets();
    j["sockets"] = sockets;
    j["maxUsers"] = server->Settings().maxNrUsers;
    j["throughput"] = layer.GetServerRate();
    Json ls = Json::array();
    for (const RManSockStr& l : m.Listeners()) {
      Json e;
      e["address"] = l.address.empty() ? "*" : l.address;
      e["port"] = m.ListeningPort();
      e["implicitTls"] = l.implicitTls;
      e["state"] = "listening";
      ls.push_back(e);
    }
    if (!app.ListenWait().empty()) {
      Json e;
      e["state"] = "waiting";
      e["reason"] = app.ListenWait();
      ls.push_back(e);
    }
    j["listeners"] = ls;
    return JsonAnswer(200, j);
  }
  if (top == "sessions") {
    if (n == 1) {
      if (!get) return notAllowed();
      auto snaps = std::make_shared<std::vector<RSessionSnapStr>>();
      snaps->reserve(m.Sessions().size());
      for (const auto& s : m.Sessions()) snaps->push_back(SessionSnap(m, *s, false));
      return AnswerOffLoop(m, c, [snaps] {
        Json list = Json::array();
        for (const RSessionSnapStr& o : *snaps) list.push_back(SessionJson(o));
        return JsonAnswer(200, list);
      });
    }
    const std::optional<uint32_t> number = Number((*seg)[1]);
    if (!number || n > 3 || (n == 3 && (*seg)[2] != "trace"))
      return ErrorAnswer(404, "unknown resource");
    if (m.FindSession(*number) == nullptr)
      return ErrorAnswer(404, "no session " + std::to_string(*number));
    if (n == 3) {
      if (!get) return notAllowed();
      RAdminAnswerStr a;
      a.stream = true;
      a.streamSession = *number;
      return a;
    }
    if (get) {
      auto snap =
          std::make_shared<const RSessionSnapStr>(SessionSnap(m, *m.FindSession(*number), true));
      return AnswerOffLoop(m, c, [snap] { return JsonAnswer(200, SessionJson(*snap)); });
    }
    if (!del) return notAllowed();
    WriteLog(LOG_SECURITY, FormatStr(kLogAdminKill, *number, c.who));
    // Posted, as the window's Kill: never inside the session's own calls.
    m.Loop().PostMessage(m.MainWindow(), MSG_REMOVE_SESSION, *number);
    Json j;
    j["number"] = *number;
    j["killed"] = true;
    return JsonAnswer(200, j);
  }
  if (top == "log" && n == 1) {
    if (!get) return notAllowed();
    RAdminAnswerStr a;
    a.stream = true;
    return a;
  }
  if (top == "reload" && n == 1) {
    if (!post) return notAllowed();
    logChange();
    const std::string refused = app.Startup().ReloadRefusal();
    if (!refused.empty()) return ErrorAnswer(409, refused);
    app.OnReloadRequest();
    Json j;
    j["reloaded"] = true;
    return JsonAnswer(200, j);
  }
  if ((top == "online" || top == "offline") && n == 1) {
    if (!post) return notAllowed();
    logChange();
    const bool want = top == "online";
    if (m.Online() != want) m.ToggleOnline();
    Json j;
    j["online"] = m.Online();
    if (want && !m.Online()) return JsonAnswer(409, j);
    return JsonAnswer(200, j);
  }
  if (top == "shutdown" && n == 1) {
    if (!post) return notAllowed();
    logChange();
    const uint32_t users = m.Stats().ConnectionsNow;
    Json j;
    j["sessions"] = users;
    if (users > 0 && !c.force) {
      // The design's exit pending: new clients are turned away and the
      // program ends after the last session.
      app.RequestExit(false);
      j["exitPending"] = true;
      return JsonAnswer(202, j);
    }
    j["exitPending"] = false;
    RAdminAnswerStr a = JsonAnswer(200, j);
    RVantorApp* ap = &app;
    a.after = [ap] { ap->RequestExit(true); };
    return a;
  }
  if (top == "blocks") {
    if (n == 1 && get) return JsonAnswer(200, BlocksJson(m));
    if (n == 1 && post) return AddBlock(m, c);
    if (n == 2 && del) {
      if (!m.LiftBlock((*seg)[1])) return ErrorAnswer(404, "not blocked: " + (*seg)[1]);
      WriteLog(LOG_SECURITY, FormatStr(kLogAdminUnblock, (*seg)[1], c.who));
      Json j;
      j["address"] = (*seg)[1];
      j["unblocked"] = true;
      return JsonAnswer(200, j);
    }
    if (n <= 2) return notAllowed();
    return ErrorAnswer(404, "unknown resource");
  }
  if (top == "config" && n == 1) {
    if (get) {
      auto snap = std::make_shared<const RConfigSnapStr>(ConfigSnap(m.Ini()));
      return AnswerOffLoop(m, c, [snap] { return JsonAnswer(200, ConfigJson(*snap)); });
    }
    if (c.method == "PATCH") return PatchConfig(*this, c);
    return notAllowed();
  }
  return ErrorAnswer(404, "unknown resource");
}

std::string RAdminResources::MetricsText() const {
  if (server != nullptr) return RenderMetricsText(server->Manager());
  // Between servers (a restart of the engine) only the build is known.
  return std::string(
             "# HELP vantor_build_info Version of the running server.\n"
             "# TYPE vantor_build_info gauge\n"
             "vantor_build_info{version=\"") +
         kProgramVersion + "\"} 1\n";
}

}  // namespace vantor
