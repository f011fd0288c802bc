#include "app/RAdminServer.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <set>
#include <unordered_map>
#include <vector>

#include "accounts/RPasswordHash.h"
#include "app/RAdminResources.h"
#include "app/RAdminStrings.h"
#include "app/RVantorApp.h"
#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPServer.h"
#include "ftp/RFrontEnd.h"
#include "net/RAdminSocket.h"
#include "platform/RFile.h"
#include "platform/RFileSys.h"
#include "platform/RMessageLoop.h"
#include "platform/RPrivileges.h"
#include "platform/RWorkPool.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

constexpr size_t kMaxBodyBytes = 64 * 1024;
// Request line and headers must fit this per connection (MHD answers 431
// beyond it); the body is bounded separately.
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kPerAddressLimit = 32;
constexpr unsigned kIdleTimeoutSeconds = 30;
constexpr int64_t kKeepAliveMs = 15000;
// A stream keeps at most this much for a reader that falls behind.
constexpr size_t kStreamQueueBytes = 256 * 1024;
// Bad tokens: each failure of one address doubles the wait before its next
// refusal, up to the cap; ten quiet minutes forget them.
constexpr int64_t kBadTokenBaseMs = 250;
constexpr int64_t kBadTokenMaxMs = 8000;
constexpr int64_t kBadTokenForgetMs = 600000;

std::string ReadPem(const std::string& path) {
  std::string text;
  if (path.empty() || ReadFileBounded(path, 1 << 20, &text) != RBoundedRead::Ok) return {};
  return text;
}

}  // namespace

std::string DefaultAdminSocket(const std::string& iniPath) {
  if (IsDirectoryPath("/run/vantor")) return "/run/vantor/admin.sock";
  const size_t slash = iniPath.rfind('/');
  return slash == std::string::npos ? std::string("vantor-admin.sock")
                                    : iniPath.substr(0, slash + 1) + "vantor-admin.sock";
}

RAdminSettingsStr ReadAdminSettings(const RIniFile& ini, const std::string& iniPath) {
  RAdminSettingsStr s;
  s.socketPath = ini.GetString(kGlobalSection, "AdminSocket", DefaultAdminSocket(iniPath));
  s.group =
      ini.GetString(kGlobalSection, "AdminGroup", ini.GetString(kGlobalSection, "RunAsGroup"));
  s.listen = ini.GetString(kGlobalSection, "AdminListen");
  s.tokenHash = ini.GetString(kGlobalSection, "AdminTokenHash");
  s.metricsListen = ini.GetString(kGlobalSection, "MetricsListen");
  s.certFile = ini.GetString(kGlobalSection, "TLSCertificateFile");
  s.keyFile = ini.GetString(kGlobalSection, "TLSPrivateKeyFile");
  return s;
}

// --- the pieces -------------------------------------------------------------------------

enum class RAdminKind { Unix, Admin, Metrics };

struct RAdminListener {
  RAdminServer::Impl* owner = nullptr;
  MHD_Daemon* daemon = nullptr;
  std::string name;  // for log lines
  RAdminKind kind = RAdminKind::Unix;
  // Replaced by a reload: its connections are closed as they wake, and it
  // goes at the next turn of the loop (never inside its own run).
  bool retiring = false;
  std::string certPem, keyPem;  // the library may refer to them while it runs
  bool unixSocket = false;
  bool token = false;  // bearer token required
  bool metricsOnly = false;
  RMessageLoop::TimerId timer = 0;
  bool runQueued = false;
  int epollFd = -1;
};

// One follower of the log or of a session's trace (server-sent events).
struct RAdminStream {
  RAdminServer::Impl* owner = nullptr;
  RAdminListener* listener = nullptr;
  MHD_Connection* connection = nullptr;
  uint32_t session = 0;  // 0: the log
  bool suspended = false;
  bool ended = false;
  std::deque<std::string> queue;  // formatted events
  size_t queued = 0;
  uint64_t lost = 0;  // not yet reported
  std::string out;    // the event being written
  size_t outPos = 0;
};

struct RAdminRequest {
  RAdminListener* listener = nullptr;
  MHD_Connection* connection = nullptr;
  std::string method, url, body, peer;
  std::optional<uint32_t> uid;
  bool tooLarge = false;
  enum class Phase { New, Authing, Authed, Working, Ready } phase = Phase::New;
  RAdminAnswerStr answer;
  RWorkCancelPtr cancel = std::make_shared<RWorkCancel>();
  RMessageLoop::TimerId delay = 0;
  bool suspended = false;
};

struct RAdminServer::Impl {
  RVantorApp& app;
  std::function<RFTPServer*()> server;
  RAdminSettingsStr settings;
  std::vector<std::unique_ptr<RAdminListener>> listeners;
  std::set<RAdminStream*> streams;
  std::set<RAdminRequest*> requests;
  std::function<std::string()> metrics;
  RMessageLoop::TimerId keepAlive = 0;
  struct BadTokens {
    int failures = 0;
    int64_t lastMs = 0;
  };
  std::unordered_map<std::string, BadTokens> badTokens;
  uint64_t jobSerial = 0;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  bool stopping = false;

  Impl(RVantorApp& a, std::function<RFTPServer*()> s) : app(a), server(std::move(s)) {}
  RMessageLoop& Loop() { return app.Loop(); }

  bool StartListener(const std::string& name, RFd fd, RAdminKind kind, bool tls,
                     std::string certPem, std::string keyPem, std::string* why);
  // The Unix socket / a TCP listener of `s`; false with the reason.
  bool StartUnix(const RAdminSettingsStr& s, std::string* why);
  bool StartTcp(const RAdminSettingsStr& s, RAdminKind kind, std::string* why);
  RAdminListener* Find(RAdminKind kind);
  // Closes the listener's connections and lets it go at the next turn.
  void Retire(RAdminListener& l);
  void Apply(const RAdminSettingsStr& next);
  void EnsureKeepAlive();
  void Run(RAdminListener& l);
  void Arm(RAdminListener& l);
  void RunSoon(RAdminListener& l);
  void Suspend(RAdminRequest& r);
  void Resume(RAdminRequest& r);
  MHD_Result Handle(RAdminListener& l, MHD_Connection* c, const char* url, const char* method,
                    const char* data, size_t* size, void** reqCls);
  MHD_Result Answer(RAdminRequest& r);
  void Dispatch(RAdminRequest& r);
  void CheckToken(RAdminRequest& r, const std::string& given);
  MHD_Result StartStream(RAdminRequest& r, uint32_t session);
  void Push(RAdminStream& s, std::string event);
  void EndStream(RAdminStream& s);
  void KeepAlive();
  void UpdateTraceSwitch();
  std::string Metrics();
  void Shutdown();
};

namespace {

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char* data, size_t* size, void** reqCls) {
  auto* l = static_cast<RAdminListener*>(cls);
  return l->owner->Handle(*l, c, url, method, data, size, reqCls);
}

void OnCompleted(void* cls, MHD_Connection*, void** reqCls, MHD_RequestTerminationCode) {
  auto* l = static_cast<RAdminListener*>(cls);
  auto* r = static_cast<RAdminRequest*>(*reqCls);
  if (r == nullptr) return;
  *reqCls = nullptr;
  r->cancel->Cancel();
  if (r->delay != 0) l->owner->Loop().CancelTimer(r->delay);
  l->owner->requests.erase(r);
  auto after = std::move(r->answer.after);
  delete r;
  // After the answer went out (a shutdown must not cut its own reply).
  if (after) l->owner->Loop().AddTimer(0, false, std::move(after));
}

// A connection that goes frees a place under the limit. At the limit the
// library takes its listening socket out of its event set and puts it back
// only at the start of a later run; with no connection left and no timeout
// due that run never came, and after a flood of idle connections the
// endpoint refused everyone for good.
void OnConnectionNotice(void* cls, MHD_Connection*, void**, MHD_ConnectionNotificationCode code) {
  if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
  auto* l = static_cast<RAdminListener*>(cls);
  if (l->owner->stopping || l->retiring) return;
  l->owner->RunSoon(*l);
}

void OnLibraryMessage(void*, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof(buf), fmt, ap);
  std::string text(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  WriteLog(LOG_SYSTEM, FormatStr(kLogAdminLibrary, text));
}

ssize_t ReadStream(void* cls, uint64_t, char* buf, size_t max) {
  auto* s = static_cast<RAdminStream*>(cls);
  if (s->outPos >= s->out.size()) {
    s->out.clear();
    s->outPos = 0;
    if (!s->queue.empty()) {
      // Several queued events in one chunk, up to what the library offers.
      while (!s->queue.empty() && s->out.size() + s->queue.front().size() <= max) {
        s->out += s->queue.front();
        s->queued -= s->queue.front().size();
        s->queue.pop_front();
      }
      if (s->out.empty()) {
        s->out = std::move(s->queue.front());
        s->queued -= s->out.size();
        s->queue.pop_front();
      }
    } else if (s->lost > 0) {
      s->out = "event: lost\ndata: " + std::to_string(s->lost) + "\n\n";
      s->lost = 0;
    } else if (s->ended) {
      return MHD_CONTENT_READER_END_OF_STREAM;
    } else {
      // Nothing to send: the connection sleeps until Push wakes it.
      MHD_suspend_connection(s->connection);
      s->suspended = true;
      return 0;
    }
  }
  const size_t n = std::min(max, s->out.size() - s->outPos);
  std::copy_n(s->out.data() + s->outPos, n, buf);
  s->outPos += n;
  return static_cast<ssize_t>(n);
}

void FreeStream(void* cls) {
  auto* s = static_cast<RAdminStream*>(cls);
  s->owner->streams.erase(s);
  s->owner->UpdateTraceSwitch();
  delete s;
}

std::string Header(MHD_Connection* c, const char* name) {
  const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v == nullptr ? std::string() : std::string(v);
}

}  // namespace

// --- daemons on the loop ------------------------------------------------------------------

bool RAdminServer::Impl::StartListener(const std::string& name, RFd fd, RAdminKind kind, bool tls,
                                       std::string certPem, std::string keyPem, std::string* why) {
  const bool unixSocket = kind == RAdminKind::Unix;
  const bool metricsOnly = kind == RAdminKind::Metrics;
  auto l = std::make_unique<RAdminListener>();
  l->owner = this;
  l->name = name;
  l->kind = kind;
  l->unixSocket = unixSocket;
  l->token = kind == RAdminKind::Admin;
  l->metricsOnly = metricsOnly;
  l->certPem = std::move(certPem);
  l->keyPem = std::move(keyPem);
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (tls) flags |= MHD_USE_TLS;
  std::vector<MHD_OptionItem> opts = {
      // First, so that the library's own messages all reach our log.
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&OnLibraryMessage), nullptr},
      {MHD_OPTION_LISTEN_SOCKET, fd.Get(), nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), l.get()},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&OnConnectionNotice), l.get()},
  };
  if (!unixSocket) opts.push_back({MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressLimit, nullptr});
  if (tls) {
    opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(l->keyPem.c_str())});
    opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(l->certPem.c_str())});
    opts.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0,
                    const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")});
  }
  opts.push_back({MHD_OPTION_END, 0, nullptr});
  l->daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, l.get(), MHD_OPTION_ARRAY,
                               opts.data(), MHD_OPTION_END);
  if (l->daemon == nullptr) {
    *why = "the HTTP library refused it";
    return false;
  }
  (void)fd.Release();  // the daemon closes it
  const MHD_DaemonInfo* info = MHD_get_daemon_info(l->daemon, MHD_DAEMON_INFO_EPOLL_FD);
  l->epollFd = info != nullptr ? info->epoll_fd : -1;
  RAdminListener* raw = l.get();
  if (l->epollFd < 0 || !Loop().WatchFd(l->epollFd, [this, raw](uint32_t) { Run(*raw); })) {
    MHD_stop_daemon(l->daemon);
    *why = "no event descriptor";
    return false;
  }
  listeners.push_back(std::move(l));
  Arm(*raw);
  WriteLog(LOG_SYSTEM, FormatStr(metricsOnly ? kLogMetricsListening : kLogAdminListening, name));
  return true;
}

void RAdminServer::Impl::Run(RAdminListener& l) {
  l.runQueued = false;
  if (l.daemon == nullptr) return;
  MHD_run(l.daemon);
  Arm(l);
}

void RAdminServer::Impl::Arm(RAdminListener& l) {
  if (l.timer != 0) Loop().CancelTimer(l.timer);
  l.timer = 0;
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(l.daemon, &ms) != MHD_YES) return;
  RAdminListener* raw = &l;
  l.timer = Loop().AddTimer(static_cast<int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(ms, 60000)),
                            false, [this, raw] {
                              raw->timer = 0;
                              Run(*raw);
                            });
}

void RAdminServer::Impl::RunSoon(RAdminListener& l) {
  if (l.runQueued) return;
  l.runQueued = true;
  RAdminListener* raw = &l;
  std::weak_ptr<bool> live = alive;
  Loop().AddTimer(0, false, [this, raw, live] {
    if (live.lock()) Run(*raw);
  });
}

void RAdminServer::Impl::Suspend(RAdminRequest& r) {
  MHD_suspend_connection(r.connection);
  r.suspended = true;
}

void RAdminServer::Impl::Resume(RAdminRequest& r) {
  if (!r.suspended) return;
  r.suspended = false;
  MHD_resume_connection(r.connection);
  RunSoon(*r.listener);
}

// --- requests -----------------------------------------------------------------------------

MHD_Result RAdminServer::Impl::Handle(RAdminListener& l, MHD_Connection* c, const char* url,
                                      const char* method, const char* data, size_t* size,
                                      void** reqCls) {
  auto* r = static_cast<RAdminRequest*>(*reqCls);
  // Going down: every connection is closed as it wakes.
  if (stopping || l.retiring) return MHD_NO;
  if (r == nullptr) {
    r = new RAdminRequest;
    r->listener = &l;
    r->connection = c;
    r->method = method;
    r->url = url;
    const MHD_ConnectionInfo* fdInfo =
        MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (l.unixSocket && fdInfo != nullptr) r->uid = PeerUid(fdInfo->connect_fd);
    const MHD_ConnectionInfo* addr = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!l.unixSocket && addr != nullptr) r->peer = PeerAddressText(addr->client_addr);
    requests.insert(r);
    *reqCls = r;
    return MHD_YES;
  }
  if (*size != 0) {
    if (r->body.size() + *size > kMaxBodyBytes) {
      r->tooLarge = true;
      r->body.clear();
    } else if (!r->tooLarge) {
      r->body.append(data, *size);
    }
    *size = 0;
    return MHD_YES;
  }
  switch (r->phase) {
    case RAdminRequest::Phase::Ready:
      return Answer(*r);
    case RAdminRequest::Phase::Authing:
    case RAdminRequest::Phase::Working:
      // Woken without an answer (cannot happen): keep waiting.
      Suspend(*r);
      return MHD_YES;
    case RAdminRequest::Phase::New:
      if (r->tooLarge) {
        r->answer = ErrorAnswer(413, "request body larger than 64 KiB");
        return Answer(*r);
      }
      if (l.token) {
        const std::string auth = Header(c, MHD_HTTP_HEADER_AUTHORIZATION);
        if (auth.size() < 8 || !EqualNoCaseAscii(auth.substr(0, 7), "Bearer ")) {
          r->answer = ErrorAnswer(401, "a bearer token is required");
          r->answer.headers.push_back({"WWW-Authenticate", "Bearer realm=\"vantor\""});
          return Answer(*r);
        }
        r->phase = RAdminRequest::Phase::Authing;
        Suspend(*r);
        CheckToken(*r, auth.substr(7));
        return MHD_YES;
      }
      [[fallthrough]];
    case RAdminRequest::Phase::Authed:
      break;
  }
  if (l.metricsOnly || r->url == "/metrics") {
    if (r->url != "/metrics") {
      r->answer = ErrorAnswer(404, "unknown resource");
    } else if (r->method != "GET") {
      r->answer = ErrorAnswer(405, "method not allowed");
    } else {
      r->answer = RAdminAnswerStr{};
      r->answer.body = Metrics();
      r->answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
    }
    return Answer(*r);
  }
  Dispatch(*r);
  if (r->phase == RAdminRequest::Phase::Working) return MHD_YES;
  if (r->answer.stream) return StartStream(*r, r->answer.streamSession);
  return Answer(*r);
}

MHD_Result RAdminServer::Impl::Answer(RAdminRequest& r) {
  const std::string& text = r.answer.body;
  MHD_Response* resp = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                                       MHD_RESPMEM_MUST_COPY);
  if (resp == nullptr) return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, r.answer.contentType.c_str());
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  for (const auto& [k, v] : r.answer.headers) MHD_add_response_header(resp, k.c_str(), v.c_str());
  const MHD_Result rc =
      MHD_queue_response(r.connection, static_cast<unsigned>(r.answer.status), resp);
  MHD_destroy_response(resp);
  return rc;
}

void RAdminServer::Impl::CheckToken(RAdminRequest& r, const std::string& given) {
  RFTPServer* s = server();
  const std::string stored = settings.tokenHash;
  RAdminRequest* raw = &r;
  std::weak_ptr<bool> live = alive;
  auto done = [this, raw, live](const RWorkPool::Result& res) {
    if (!live.lock() || requests.count(raw) == 0 || raw->cancel->Cancelled()) return;
    const bool ok = res && *static_cast<const bool*>(res.get());
    BadTokens& b = badTokens[raw->peer];
    const int64_t now = Loop().Clock().NowMs();
    if (ok) {
      badTokens.erase(raw->peer);
      raw->phase = RAdminRequest::Phase::Authed;
      Resume(*raw);
      return;
    }
    if (now - b.lastMs > kBadTokenForgetMs) b.failures = 0;
    b.failures = std::min(b.failures + 1, 16);
    b.lastMs = now;
    WriteLog(LOG_SECURITY, FormatStr(kLogAdminBadToken, raw->peer, b.failures));
    raw->answer = ErrorAnswer(401, "the token is not valid");
    raw->answer.headers.push_back({"WWW-Authenticate", "Bearer error=\"invalid_token\""});
    raw->phase = RAdminRequest::Phase::Ready;
    // The refusal waits longer with every failure of this address in a
    // row: a guesser gets a few answers a minute, a typo costs a moment.
    const int64_t wait = std::min(kBadTokenMaxMs, kBadTokenBaseMs << (b.failures - 1));
    raw->delay = Loop().AddTimer(wait, false, [this, raw] {
      raw->delay = 0;
      Resume(*raw);
    });
  };
  auto work = [given, stored]() -> RWorkPool::Result {
    const bool ok = !stored.empty() && CheckPasswordHash(given, stored) == RPasswordCheck::Match;
    return std::make_shared<const bool>(ok);
  };
  if (s == nullptr) {
    done(work());
    return;
  }
  const RWorkSubmit sub = s->Manager().Pool().Submit("admin-token-" + std::to_string(++jobSerial),
                                                     r.cancel, work, done);
  if (sub == RWorkSubmit::Full) {
    r.answer = ErrorAnswer(503, "busy, try again");
    r.phase = RAdminRequest::Phase::Ready;
    Resume(r);
  }
}

void RAdminServer::Impl::Dispatch(RAdminRequest& r) {
  RAdminCallStr call;
  call.method = r.method;
  call.url = r.url;
  call.body = r.body;
  call.who = r.listener->unixSocket
                 ? (r.uid ? FormatStr(kTextAdminByUid, *r.uid) : std::string("uid ?"))
                 : FormatStr(kTextAdminFrom, r.peer);
  auto arg = [&](const char* name) {
    const char* v = MHD_lookup_connection_value(r.connection, MHD_GET_ARGUMENT_KIND, name);
    return v == nullptr ? std::optional<std::string>() : std::optional<std::string>(v);
  };
  call.force = arg("force").has_value() && *arg("force") != "0" && *arg("force") != "false";
  RAdminRequest* raw = &r;
  std::weak_ptr<bool> live = alive;
  RAdminResources res{app, server()};
  call.later = [this, raw, live](RAdminAnswerStr a) {
    if (!live.lock() || requests.count(raw) == 0 || raw->cancel->Cancelled()) return;
    raw->answer = std::move(a);
    raw->phase = RAdminRequest::Phase::Ready;
    Resume(*raw);
  };
  call.cancel = r.cancel;
  std::optional<RAdminAnswerStr> a = res.Call(call);
  if (!a) {
    // The answer may have come already (a pool without threads runs the
    // work inside Submit).
    if (r.phase == RAdminRequest::Phase::Ready) return;
    r.phase = RAdminRequest::Phase::Working;
    Suspend(r);
    return;
  }
  r.answer = std::move(*a);
  r.phase = RAdminRequest::Phase::Ready;
}

// --- streams ------------------------------------------------------------------------------

MHD_Result RAdminServer::Impl::StartStream(RAdminRequest& r, uint32_t session) {
  auto* s = new RAdminStream;
  s->owner = this;
  s->listener = r.listener;
  s->connection = r.connection;
  s->session = session;
  MHD_Response* resp =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &ReadStream, s, &FreeStream);
  if (resp == nullptr) {
    delete s;
    return MHD_NO;
  }
  streams.insert(s);
  UpdateTraceSwitch();
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream; charset=utf-8");
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  // The first event says the stream is live, so a client knows at once.
  Push(*s, session == 0 ? std::string(": log\n\n") : ": trace " + std::to_string(session) + "\n\n");
  const MHD_Result rc = MHD_queue_response(r.connection, 200, resp);
  MHD_destroy_response(resp);
  return rc;
}

void RAdminServer::Impl::Push(RAdminStream& s, std::string event) {
  if (s.ended) return;
  if (s.queued + event.size() > kStreamQueueBytes) {
    // The reader is behind: this line is lost, counted, and reported once
    // the reader catches up. The server's memory stays bounded.
    ++s.lost;
    return;
  }
  if (s.lost > 0) {
    std::string mark = "event: lost\ndata: " + std::to_string(s.lost) + "\n\n";
    s.lost = 0;
    s.queued += mark.size();
    s.queue.push_back(std::move(mark));
  }
  s.queued += event.size();
  s.queue.push_back(std::move(event));
  if (s.suspended) {
    s.suspended = false;
    MHD_resume_connection(s.connection);
    RunSoon(*s.listener);
  }
}

void RAdminServer::Impl::EndStream(RAdminStream& s) {
  if (s.ended) return;
  Push(s, "event: end\ndata: " + std::to_string(s.session) + "\n\n");
  s.ended = true;
  if (s.suspended) {
    s.suspended = false;
    MHD_resume_connection(s.connection);
    RunSoon(*s.listener);
  }
}

void RAdminServer::Impl::KeepAlive() {
  RFTPServer* srv = server();
  for (RAdminStream* s : std::vector<RAdminStream*>(streams.begin(), streams.end())) {
    if (s->session != 0 && (srv == nullptr || srv->Manager().FindSession(s->session) == nullptr)) {
      EndStream(*s);
      continue;
    }
    // A comment line: keeps proxies from closing a quiet stream and lets a
    // reader that went away be noticed.
    Push(*s, ":\n\n");
  }
}

void RAdminServer::Impl::UpdateTraceSwitch() {
  RFTPServer* srv = server();
  if (srv == nullptr) return;
  const bool tracing = std::any_of(streams.begin(), streams.end(),
                                   [](const RAdminStream* s) { return s->session != 0; });
  srv->Manager().SetSessionWindowOpen(tracing);
}

std::string RAdminServer::Impl::Metrics() {
  if (metrics) return metrics();
  return RAdminResources{app, server()}.MetricsText();
}

void RAdminServer::Impl::Shutdown() {
  alive = std::make_shared<bool>(true);
  if (keepAlive != 0) Loop().CancelTimer(keepAlive);
  keepAlive = 0;
  // The library refuses to stop with connections asleep: each is woken and
  // closed (a stream ends, a waiting request is dropped) first.
  stopping = true;
  for (RAdminStream* st : streams) {
    st->ended = true;
    if (st->suspended) {
      st->suspended = false;
      MHD_resume_connection(st->connection);
    }
  }
  for (RAdminRequest* r : std::vector<RAdminRequest*>(requests.begin(), requests.end())) {
    r->cancel->Cancel();
    if (r->delay != 0) Loop().CancelTimer(r->delay);
    r->delay = 0;
    if (r->suspended) {
      r->suspended = false;
      MHD_resume_connection(r->connection);
    }
  }
  for (auto& l : listeners) {
    if (l->timer != 0) Loop().CancelTimer(l->timer);
    if (l->epollFd >= 0) Loop().UnwatchFd(l->epollFd);
    if (l->daemon == nullptr) continue;  // retired by a reload, stopped already
    MHD_run(l->daemon);
    // Frees every connection, request and stream through the callbacks.
    MHD_stop_daemon(l->daemon);
  }
  listeners.clear();
  stopping = false;
  if (!settings.socketPath.empty()) RemoveUnixSocket(settings.socketPath);
}

RAdminListener* RAdminServer::Impl::Find(RAdminKind kind) {
  for (auto& l : listeners)
    if (l->kind == kind && !l->retiring) return l.get();
  return nullptr;
}

void RAdminServer::Impl::Retire(RAdminListener& l) {
  l.retiring = true;
  if (l.epollFd >= 0) Loop().UnwatchFd(l.epollFd);
  l.epollFd = -1;
  if (l.timer != 0) Loop().CancelTimer(l.timer);
  l.timer = 0;
  // Each asleep connection is woken, so that the library lets it go.
  for (RAdminStream* st : streams) {
    if (st->listener != &l) continue;
    st->ended = true;
    if (st->suspended) {
      st->suspended = false;
      MHD_resume_connection(st->connection);
    }
  }
  for (RAdminRequest* r : std::vector<RAdminRequest*>(requests.begin(), requests.end())) {
    if (r->listener != &l) continue;
    r->cancel->Cancel();
    if (r->delay != 0) Loop().CancelTimer(r->delay);
    r->delay = 0;
    if (r->suspended) {
      r->suspended = false;
      MHD_resume_connection(r->connection);
    }
  }
  // A reload may come from a request of this very listener, inside its run.
  RAdminListener* raw = &l;
  std::weak_ptr<bool> live = alive;
  Loop().AddTimer(0, false, [this, raw, live] {
    if (!live.lock()) return;
    MHD_run(raw->daemon);
    MHD_stop_daemon(raw->daemon);
    // The object stays (without a daemon) until the end: a wake-up queued
    // for it meanwhile finds nothing to run rather than freed memory.
    raw->daemon = nullptr;
  });
}

void RAdminServer::Impl::EnsureKeepAlive() {
  if (keepAlive != 0 || listeners.empty()) return;
  keepAlive = Loop().AddTimer(kKeepAliveMs, true, [this] { KeepAlive(); });
}

bool RAdminServer::Impl::StartUnix(const RAdminSettingsStr& s, std::string* why) {
  std::optional<uint32_t> gid;
  if (!s.group.empty()) {
    gid = GroupIdOf(s.group);
    if (!gid) {
      *why = "no group " + s.group;
      return false;
    }
  }
  RFd fd = ListenUnixSocket(s.socketPath, 0660, gid, why);
  if (!fd) return false;
  if (!StartListener(s.socketPath, std::move(fd), RAdminKind::Unix, false, {}, {}, why)) {
    RemoveUnixSocket(s.socketPath);
    return false;
  }
  return true;
}

bool RAdminServer::Impl::StartTcp(const RAdminSettingsStr& s, RAdminKind kind, std::string* why) {
  const std::string& text = kind == RAdminKind::Metrics ? s.metricsListen : s.listen;
  RListenAddrStr a;
  if (!ParseListenAddress(text, &a)) {
    *why = "not address:port";
    return false;
  }
  bool tls = false;
  std::string cert, key;
  if (kind == RAdminKind::Admin) {
    if (s.tokenHash.empty()) {
      *why = LoadStr(kTextAdminNeedsToken);
      return false;
    }
    if (!a.loopback) {
      // Tokens never cross a network in the clear.
      cert = ReadPem(s.certFile);
      key = ReadPem(s.keyFile.empty() ? s.certFile : s.keyFile);
      if (cert.empty() || key.empty() || !MHD_is_feature_supported(MHD_FEATURE_TLS)) {
        *why = LoadStr(kTextAdminNeedsTls);
        return false;
      }
      tls = true;
    }
  }
  RFd fd = ListenTcpSocket(a, why);
  if (!fd) return false;
  return StartListener(tls ? "https://" + text : "http://" + text, std::move(fd), kind, tls,
                       std::move(cert), std::move(key), why);
}

void RAdminServer::Impl::Apply(const RAdminSettingsStr& next) {
  // A listener moves when its key changed: the new one is made first, and
  // the old one goes only once it runs, so a key that cannot be applied
  // leaves the endpoint as it was (and says so).
  auto refused = [](const char* key, const std::string& value, const std::string& why) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogAdminKeyRefused, key, value, why));
  };
  auto stopped = [this](RAdminListener* l) {
    if (l == nullptr) return;
    WriteLog(LOG_SYSTEM, FormatStr(kLogAdminStopped, l->name));
    Retire(*l);
  };
  std::string why;
  bool moved = false;  // the socket was made anew, with the new group
  if (next.socketPath != settings.socketPath) {
    RAdminListener* old = Find(RAdminKind::Unix);
    const std::string oldPath = settings.socketPath;
    if (next.socketPath.empty()) {
      stopped(old);
      settings.socketPath.clear();
      if (!oldPath.empty()) RemoveUnixSocket(oldPath);
    } else if (StartUnix(next, &why)) {
      stopped(old);
      if (!oldPath.empty()) RemoveUnixSocket(oldPath);
      settings.socketPath = next.socketPath;
      settings.group = next.group;
      moved = true;
    } else {
      refused("AdminSocket", next.socketPath, why);
    }
  }
  // The socket that runs (kept, or its move refused) takes the new group in place.
  if (!moved && next.group != settings.group && !settings.socketPath.empty()) {
    std::optional<uint32_t> gid;
    bool ok = true;
    if (!next.group.empty()) {
      gid = GroupIdOf(next.group);
      if (!gid) {
        ok = false;
        why = "no group " + next.group;
      }
    }
    if (ok) ok = SetUnixSocketGroup(settings.socketPath, gid, &why);
    if (ok) {
      settings.group = next.group;
    } else {
      refused("AdminGroup", next.group, why);
    }
  }
  // The token is checked against the hash of the moment.
  const bool tlsChanged = next.certFile != settings.certFile || next.keyFile != settings.keyFile;
  settings.tokenHash = next.tokenHash;
  settings.certFile = next.certFile;
  settings.keyFile = next.keyFile;
  RAdminListener* admin = Find(RAdminKind::Admin);
  if (admin != nullptr && next.tokenHash.empty()) {
    // Nobody could be let in any more.
    stopped(admin);
    WriteLog(LOG_SYSTEM,
             FormatStr(kLogAdminNotStarted, next.listen, LoadStr(kTextAdminNeedsToken)));
    settings.listen.clear();
  } else if (next.listen != settings.listen ||
             (admin != nullptr && admin->certPem.size() > 0 && tlsChanged)) {
    if (next.listen.empty()) {
      stopped(admin);
      settings.listen.clear();
    } else if (next.listen == settings.listen) {
      // Same address, new certificate: the port is ours already, so the old
      // listener goes first.
      stopped(admin);
      settings.listen.clear();
      if (StartTcp(next, RAdminKind::Admin, &why)) {
        settings.listen = next.listen;
      } else {
        refused("AdminListen", next.listen, why);
      }
    } else if (StartTcp(next, RAdminKind::Admin, &why)) {
      stopped(admin);
      settings.listen = next.listen;
    } else {
      refused("AdminListen", next.listen, why);
    }
  }
  if (next.metricsListen != settings.metricsListen) {
    RAdminListener* old = Find(RAdminKind::Metrics);
    if (next.metricsListen.empty()) {
      stopped(old);
      settings.metricsListen.clear();
    } else if (StartTcp(next, RAdminKind::Metrics, &why)) {
      stopped(old);
      settings.metricsListen = next.metricsListen;
    } else {
      refused("MetricsListen", next.metricsListen, why);
    }
  }
  EnsureKeepAlive();
}

// --- the object -----------------------------------------------------------------------

RAdminServer::RAdminServer(RVantorApp& app, std::function<RFTPServer*()> server)
    : impl_(std::make_unique<Impl>(app, std::move(server))) {}

RAdminServer::~RAdminServer() {
  Stop();
}

void RAdminServer::SetMetricsSource(std::function<std::string()> source) {
  impl_->metrics = std::move(source);
}

void RAdminServer::Start(const RAdminSettingsStr& s) {
  Impl& m = *impl_;
  m.settings = s;
  std::string why;
  if (!s.socketPath.empty() && !m.StartUnix(s, &why)) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogAdminNotStarted, s.socketPath, why));
    m.settings.socketPath.clear();
  }
  // A listener that did not start is not in the settings: a reload tries it again.
  if (!s.listen.empty() && !m.StartTcp(s, RAdminKind::Admin, &why)) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogAdminNotStarted, s.listen, why));
    m.settings.listen.clear();
  }
  if (!s.metricsListen.empty() && !m.StartTcp(s, RAdminKind::Metrics, &why)) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogAdminNotStarted, s.metricsListen, why));
    m.settings.metricsListen.clear();
  }
  m.EnsureKeepAlive();
}

void RAdminServer::Apply(const RAdminSettingsStr& s) {
  impl_->Apply(s);
}

void RAdminServer::Stop() {
  impl_->Shutdown();
}

void RAdminServer::OnLogLine(std::string_view line) {
  Impl& m = *impl_;
  if (m.streams.empty()) return;
  std::string event = "data: " + std::string(line) + "\n\n";
  for (RAdminStream* s : std::vector<RAdminStream*>(m.streams.begin(), m.streams.end()))
    if (s->session == 0) m.Push(*s, event);
}

void RAdminServer::OnNotify(uint32_t code, uint32_t session, std::string_view text) {
  Impl& m = *impl_;
  if (m.streams.empty()) return;
  if (code == NC_SessionDestroyed) {
    for (RAdminStream* s : std::vector<RAdminStream*>(m.streams.begin(), m.streams.end()))
      if (s->session == session) m.EndStream(*s);
    return;
  }
  if (code != NC_Dialogue) return;
  std::string event = "data: " + std::string(text) + "\n\n";
  for (RAdminStream* s : std::vector<RAdminStream*>(m.streams.begin(), m.streams.end()))
    if (s->session == session) m.Push(*s, event);
}

}  // namespace vantor
