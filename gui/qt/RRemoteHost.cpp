#include "gui/qt/RRemoteHost.h"

#include <nlohmann/json.hpp>

#include <QSaveFile>

#include "config/RIniFile.h"
#include "config/RProfile.h"
#include "gui/RGuiStrings.h"
#include "gui/RStatusText.h"
#include "gui/RWindowSettings.h"
#include "gui/qt/RMainWindow.h"
#include "util/RFormat.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

enum : uint32_t {
  kNotifyCreated = 3,
  kNotifyDestroyed = 4,
  kNotifyChanged = 5,
  kNotifyDialogue = 11,
  kNotifyHost = 13,
};

// Ask for the configuration again now and then, so the dialogs open on what
// the server has even when someone else changed it.
constexpr int kConfigEveryTicks = 10;

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
}

bool SameLine(const RRemoteSessionStr& a, const RRemoteSessionStr& b) {
  const RSessionLineStr &x = a.line, &y = b.line;
  return x.user == y.user && x.address == y.address && x.transferState == y.transferState &&
         x.transferBytes == y.transferBytes && x.file == y.file && x.percent == y.percent &&
         x.tlsProtocol == y.tlsProtocol && x.protP == y.protP && x.hour == y.hour &&
         x.minute == y.minute && x.second == y.second;
}

bool WriteText(const std::string& path, const std::string& text) {
  QSaveFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::WriteOnly)) return false;
  if (f.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()))
    return false;
  return f.commit();
}

}  // namespace

RRemoteHost::RRemoteHost(RAdminClient::Options client, const RGuiOptionsStr& options)
    : shown_(client.target.shown), settings_(settingsPane_, RSystemClock::Instance()) {
  client_ = std::make_unique<RAdminClient>(std::move(client), this);
  settings_.LoadSettings(nullptr);
  RGuiOptionsStr o = options;
  // Closing this window leaves the server running: nothing to ask.
  o.noConfirm = true;
  window_ = std::make_unique<RMainWindow>(*this, o);
  // The window's placement belongs to this desktop, not to the server's file.
  window_->saveState = [](const RWindowStateStr&) {};
  if (dir_.isValid()) {
    imagePath_ = dir_.filePath("VANTOR.INI").toStdString();
    servedPath_ = dir_.filePath("served.ini").toStdString();
  }
  poll_.setInterval(kPollMs);
  connect(&poll_, &QTimer::timeout, this, [this] { Tick(); });
  retry_.setSingleShot(true);
  connect(&retry_, &QTimer::timeout, this, [this] { Attempt(); });
}

RRemoteHost::~RRemoteHost() {
  Stop();
}

void RRemoteHost::Start() {
  window_->ApplySettingsAndShow(RWindowSettingsStr{});
  window_->ShowConnection(false, FormatStr(S_GUI_CONNECTING, shown_));
  Attempt();
}

void RRemoteHost::Stop() {
  if (stopped_) return;
  stopped_ = true;
  poll_.stop();
  retry_.stop();
  client_->CancelAll();
  window_.reset();
}

// --- connection ------------------------------------------------------------------------

void RRemoteHost::Attempt() {
  if (stopped_ || statusCall_ != 0) return;
  attempting_ = true;
  statusCall_ = client_->Request("GET", "/v1/status", {}, [this](const RAdminReplyStr& r) {
    statusCall_ = 0;
    OnStatus(r);
  });
}

void RRemoteHost::Up() {
  up_ = true;
  attempting_ = false;
  retryMs_ = kFirstRetryMs;
  window_->ShowConnection(true, FormatStr(S_GUI_CONNECTED, shown_));
  FetchConfig();
  poll_.start();
  Tick();
}

void RRemoteHost::Lost(const std::string& why) {
  if (stopped_) return;
  const bool wasUp = up_;
  up_ = false;
  attempting_ = false;
  poll_.stop();
  client_->CancelAll();
  statusCall_ = sessionsCall_ = configCall_ = logStream_ = traceStream_ = 0;
  logParser_ = {};
  traceParser_ = {};
  if (wasUp) retryMs_ = kFirstRetryMs;
  const int delay = retryMs_;
  retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
  window_->ShowConnection(false, FormatStr(S_GUI_CONNECTION_LOST, shown_, why, Seconds(delay)));
  // What the lists said is no longer known; a reconnection shows it anew.
  const std::vector<uint32_t> gone = order_;
  order_.clear();
  sessions_.clear();
  for (uint32_t n : gone) window_->OnNotify(kNotifyDestroyed, n, {});
  connectionsNow_ = 0;
  retry_.start(delay);
}

void RRemoteHost::Tick() {
  if (!up_ || stopped_) return;
  if (++ticks_ % kConfigEveryTicks == 0) FetchConfig();
  if (statusCall_ == 0) {
    statusCall_ = client_->Request("GET", "/v1/status", {}, [this](const RAdminReplyStr& r) {
      statusCall_ = 0;
      OnStatus(r);
    });
  }
  // The list is asked for only while a window shows it: with thousands of
  // sessions it is the largest answer the server gives.
  if (infoOpen_ && sessionsCall_ == 0) {
    sessionsCall_ = client_->Request("GET", "/v1/sessions", {}, [this](const RAdminReplyStr& r) {
      sessionsCall_ = 0;
      OnSessions(r);
    });
  }
  StartStreams();
}

void RRemoteHost::OnStatus(const RAdminReplyStr& r) {
  if (r.status == 0) return Lost(r.error);
  if (r.status != 200) return Lost("HTTP " + std::to_string(r.status) + ": " + ErrorText(r.body));
  const auto s = ParseStatus(r.body);
  if (!s) return Lost("HTTP 200: " + ErrorText(r.body));
  if (!up_) Up();
  connectionsNow_ = s->connectionsNow;
  online_ = s->online;
  for (const RStatusRecord& rec : s->records)
    window_->OnStatusRecord(rec.kind, rec.value, rec.value2);
}

void RRemoteHost::OnSessions(const RAdminReplyStr& r) {
  if (r.status == 0) return Lost(r.error);
  if (r.status != 200) return Lost("HTTP " + std::to_string(r.status) + ": " + ErrorText(r.body));
  auto list = ParseSessions(r.body, RSystemClock::Instance().WallSeconds());
  if (!list) return Lost("HTTP 200: " + ErrorText(r.body));
  std::map<uint32_t, RRemoteSessionStr> now;
  std::vector<uint32_t> order;
  for (RRemoteSessionStr& s : *list) {
    const uint32_t n = s.line.number;
    if (now.count(n) != 0) continue;
    order.push_back(n);
    now.emplace(n, std::move(s));
  }
  std::vector<std::pair<uint32_t, uint32_t>> notes;  // (code, session)
  for (const auto& [n, s] : sessions_) {
    if (now.count(n) == 0) notes.emplace_back(kNotifyDestroyed, n);
  }
  for (const auto& [n, s] : now) {
    const auto was = sessions_.find(n);
    if (was == sessions_.end()) {
      notes.emplace_back(kNotifyCreated, n);
      continue;
    }
    if (!SameLine(was->second, s)) notes.emplace_back(kNotifyChanged, n);
    if (s.host.resolved && !was->second.host.resolved) notes.emplace_back(kNotifyHost, n);
  }
  // A host name found by the look-up of the one session is kept until the
  // list itself carries it.
  for (auto& [n, s] : now) {
    const auto was = sessions_.find(n);
    if (was != sessions_.end() && !s.host.resolved && was->second.host.resolved)
      s.host = was->second.host;
  }
  sessions_ = std::move(now);
  order_ = std::move(order);
  for (const auto& [code, n] : notes) window_->OnNotify(code, n, {});
}

void RRemoteHost::StartStreams() {
  if (!up_) return;
  if (logStream_ == 0) {
    logParser_ = {};
    logStream_ = client_->Stream(
        "/v1/log",
        [this](std::string_view bytes) {
          for (const RSseEventStr& e : logParser_.Feed(bytes)) {
            if (e.event.empty()) {
              Screen(e.data);
            } else if (e.event == "lost") {
              Screen(FormatStr(S_GUI_LINES_LOST, e.data));
            }
          }
        },
        // Started again by the next tick, once the status says the server
        // is still there.
        [this](const RAdminReplyStr&) { logStream_ = 0; });
  }
  StartTrace();
}

void RRemoteHost::StartTrace() {
  if (!up_ || followed_ == 0 || traceEnded_ || traceStream_ != 0) return;
  const uint32_t n = followed_;
  traceParser_ = {};
  traceStream_ = client_->Stream(
      "/v1/sessions/" + std::to_string(n) + "/trace",
      [this, n](std::string_view bytes) {
        for (const RSseEventStr& e : traceParser_.Feed(bytes)) {
          if (e.event.empty()) {
            size_t from = 0;
            while (from <= e.data.size()) {
              const size_t nl = std::min(e.data.find('\n', from), e.data.size());
              window_->OnNotify(kNotifyDialogue, n,
                                std::string_view(e.data).substr(from, nl - from));
              from = nl + 1;
            }
          } else if (e.event == "lost") {
            window_->OnNotify(kNotifyDialogue, n,
                              RFormat("(%06u) ", n) + FormatStr(S_GUI_LINES_LOST, e.data));
          } else if (e.event == "end") {
            traceEnded_ = true;
          }
        }
      },
      [this, n](const RAdminReplyStr& r) {
        traceStream_ = 0;
        if (r.status == 404 && followed_ == n) traceEnded_ = true;
      });
}

void RRemoteHost::Screen(const std::string& text) {
  if (!screenLogging_ || !window_) return;
  size_t from = 0;
  while (from <= text.size()) {
    const size_t nl = std::min(text.find('\n', from), text.size());
    window_->OnScreenLine(std::string_view(text).substr(from, nl - from));
    from = nl + 1;
  }
}

// --- configuration -------------------------------------------------------------------

void RRemoteHost::FetchConfig() {
  if (!up_ || configCall_ != 0 || imagePath_.empty()) return;
  configCall_ = client_->Request("GET", "/v1/config", {}, [this](const RAdminReplyStr& r) {
    configCall_ = 0;
    OnConfig(r);
  });
}

void RRemoteHost::OnConfig(const RAdminReplyStr& r) {
  if (r.status == 0) return Lost(r.error);
  if (r.status != 200) {
    Screen(FormatStr(S_GUI_REQUEST_REFUSED, "GET /v1/config", ErrorText(r.body)));
    return;
  }
  const auto text = ConfigToIniText(r.body);
  if (!text) {
    Screen(FormatStr(S_GUI_REQUEST_REFUSED, "GET /v1/config", ErrorText(r.body)));
    return;
  }
  LoadImage(*text);
}

void RRemoteHost::LoadImage(const std::string& text) {
  // Both copies together: the dialogs edit one, the other is what the
  // server has, and their difference is what is sent.
  if (!WriteText(servedPath_, text) || !WriteText(imagePath_, text)) return;
  RIniFile image(imagePath_);
  const RLogFontStr font = settings_.Settings().font;
  settings_.LoadSettings(&image);
  // The log pane shows the server's lines in the server's `LogFont`.
  if (window_ && !(settings_.Settings().font == font))
    window_->LogPane()->SetLogFont(settings_.Settings().font);
  if (window_ && window_->Action("filelog") != nullptr)
    window_->Action("filelog")->setChecked(settings_.FileLogging());
}

std::string RRemoteHost::IniPath() const {
  // No dialog before the server's configuration is here.
  if (imagePath_.empty() || !RIniFile(servedPath_).HasSection("GLOBAL")) return {};
  return imagePath_;
}

void RRemoteHost::ReloadSettings() {
  if (IniPath().empty()) return;
  RIniFile image(imagePath_), served(servedPath_);
  // The user information window keeps its placement in the image; that
  // is this desktop's, not the server's.
  if (image.GetString("GLOBAL", "UserInfoWin") != served.GetString("GLOBAL", "UserInfoWin")) {
    const std::string was = served.GetString("GLOBAL", "UserInfoWin");
    (void)image.WriteString(
        "GLOBAL", "UserInfoWin",
        served.HasKey("GLOBAL", "UserInfoWin") ? std::optional(was) : std::nullopt);
  }
  const std::string body = ConfigPatchBody(served, image);
  if (body.empty()) return;
  SendPatch(body);
}

void RRemoteHost::SendPatch(const std::string& body) {
  if (!up_) {
    Screen(FormatStr(S_GUI_CONFIG_REFUSED, window_->ConnectionField()->text().toStdString()));
    return;
  }
  client_->Request("PATCH", "/v1/config", body, [this](const RAdminReplyStr& r) {
    if (r.status == 200) {
      const auto j = nlohmann::json::parse(r.body, nullptr, false);
      const auto w = j.is_object() ? j.find("written") : j.end();
      Screen(FormatStr(S_GUI_CONFIG_WRITTEN,
                       w != j.end() && w->is_number_integer() ? w->dump() : std::string("?")));
    } else {
      Screen(FormatStr(S_GUI_CONFIG_REFUSED, r.status == 0 ? r.error : ErrorText(r.body)));
    }
    // Either way the dialogs open next on what the server has now.
    FetchConfig();
  });
}

bool RRemoteHost::SaveLogSettings(const RLogSettingsStr& s) {
  if (IniPath().empty()) return false;
  RIniFile image(imagePath_);
  return settings_.SaveSettings(image, s);
}

void RRemoteHost::SetFileLogging(bool on) {
  // The server's switch is its `Logging` key: the change is written there
  // and the server reloads it.
  if (IniPath().empty()) return;
  RIniFile image(imagePath_);
  if (image.WriteString("GLOBAL", "Logging", std::string(OnOff(on)))) ReloadSettings();
}

// --- commands --------------------------------------------------------------------------

void RRemoteHost::ToggleOnline() {
  if (!up_) return;
  client_->Request("POST", online_ ? "/v1/offline" : "/v1/online", {},
                   [this](const RAdminReplyStr& r) {
                     if (r.status == 0) return Lost(r.error);
                     if (r.status != 200)
                       Screen(FormatStr(S_GUI_REQUEST_REFUSED, "online", ErrorText(r.body)));
                     Tick();
                   });
}

void RRemoteHost::SetExitPending() {
  if (!up_) return;
  client_->Request("POST", "/v1/shutdown", {}, [this](const RAdminReplyStr& r) {
    if (r.status != 200 && r.status != 202)
      Screen(FormatStr(S_GUI_REQUEST_REFUSED, "shutdown",
                       r.status == 0 ? r.error : ErrorText(r.body)));
  });
}

void RRemoteHost::Kill(uint32_t session) {
  if (!up_) return;
  client_->Request("DELETE", "/v1/sessions/" + std::to_string(session), {},
                   [this, session](const RAdminReplyStr& r) {
                     if (r.status == 0) return Lost(r.error);
                     // 404: it ended on its own meanwhile, which is what was asked.
                     if (r.status != 200 && r.status != 404)
                       Screen(FormatStr(S_GUI_KILL_REFUSED, session, ErrorText(r.body)));
                     Tick();
                   });
}

void RRemoteHost::SetInfoWindowOpen(bool open) {
  if (open == infoOpen_) return;
  infoOpen_ = open;
  if (open) {
    Tick();
    return;
  }
  Follow(0);
  if (sessionsCall_ != 0) client_->Cancel(sessionsCall_);
  sessionsCall_ = 0;
  sessions_.clear();
  order_.clear();
}

void RRemoteHost::Follow(uint32_t session) {
  if (session == followed_) return;
  if (traceStream_ != 0) client_->Cancel(traceStream_);
  traceStream_ = 0;
  followed_ = session;
  traceEnded_ = false;
  StartTrace();
  if (!up_ || session == 0) return;
  // Asking for the one session starts its host-name look-up, as the
  // in-process window's query does; the name comes with a later answer.
  client_->Request(
      "GET", "/v1/sessions/" + std::to_string(session), {},
      [this, session](const RAdminReplyStr& r) {
        if (r.status != 200) return;
        const auto s = ParseSession(r.body, RSystemClock::Instance().WallSeconds());
        const auto it = sessions_.find(session);
        if (!s || it == sessions_.end() || !s->host.resolved || it->second.host.resolved) return;
        it->second.host = s->host;
        window_->OnNotify(kNotifyHost, session, {});
      });
}

// --- session queries -----------------------------------------------------------------

const RRemoteSessionStr* RRemoteHost::Find(uint32_t session) const {
  const auto it = sessions_.find(session);
  return it == sessions_.end() ? nullptr : &it->second;
}

std::vector<uint32_t> RRemoteHost::SessionNumbers() {
  return order_;
}

std::optional<RSessionLineStr> RRemoteHost::Summary(uint32_t session) {
  const RRemoteSessionStr* s = Find(session);
  if (s == nullptr) return std::nullopt;
  return s->line;
}

std::optional<RSessionTimesStr> RRemoteHost::Timing(uint32_t session) {
  const RRemoteSessionStr* s = Find(session);
  if (s == nullptr) return std::nullopt;
  return s->times;
}

std::optional<RSessionNameStr> RRemoteHost::Host(uint32_t session) {
  const RRemoteSessionStr* s = Find(session);
  if (s == nullptr) return std::nullopt;
  return s->host;
}

std::optional<RSessionBytesStr> RRemoteHost::Traffic(uint32_t session) {
  const RRemoteSessionStr* s = Find(session);
  if (s == nullptr) return std::nullopt;
  return s->bytes;
}

}  // namespace vantor
