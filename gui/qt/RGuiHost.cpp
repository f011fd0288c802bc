#include "gui/qt/RGuiHost.h"

#include <signal.h>

#include <QApplication>

#include "config/RConfigStrings.h"
#include "config/RIniPath.h"
#include "ftp/RBusMessages.h"
#include "ftp/RFTPSManager.h"
#include "gui/RWindowSettings.h"
#include "gui/qt/RMainWindow.h"
#include "platform/RFile.h"
#include "platform/RProcess.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
RGuiHost::RGuiHost(RMessageLoop& loop)
    : loop_(loop),
      layer_(loop),
      // The engine itself sends the dialogue lines to the user information
      // window (notification 11), whatever the logging switches say; a
      // second copy here would show every line twice.
      logger_(pane_, loop.Clock(),
              RFTPSLogger::Hooks{nullptr, nullptr, [this](const RFTPSLogger& l) {
                                   layer_.EnableTrace(l.SocketTraceOn());
                                   if (server_) {
                                     server_->Manager().SetHostNameLogging(l.HostNameLookupOn());
                                   }
                                 }}) {}

RGuiHost::~RGuiHost() {
  Stop();
  if (hostWindow_ != 0) loop_.DestroyWindow(hostWindow_);
}

RServerStartup::Seams RGuiHost::MakeSeams() {
  RServerStartup::Seams s;
  s.loadLoggerSettings = [this](const RIniFile* ini) { logger_.LoadSettings(ini); };
  s.showLoggingState = [this] { logger_.ShowLoggingState(); };
  s.applyWindow = [this](const RGlobalSettings&, const RCommandLine&) {
    const std::string path = startup_ ? startup_->IniPath() : std::string();
    RWindowSettingsStr ws;
    if (!path.empty()) ws = LoadWindowSettings(RIniFile(path));
    window_->ApplySettingsAndShow(ws);
  };
  s.startSocketLayer = [this](std::string* description, uint32_t* maxSockets) {
    if (!layer_.Start()) return false;
    *description = layer_.Description();
    *maxSockets = layer_.MaxSockets();
    // The status bar's socket maximum comes from the socket service.
    OnStatusRecord({SK_MaxSockets, static_cast<int32_t>(layer_.MaxSockets()), 0});
    return true;
  };
  s.startServer = [this](const std::string& iniPath) {
    addOns_.LoadHooks(iniPath);
    server_ = std::make_unique<RFTPServer>(loop_, layer_, *this, iniPath);
    server_->Start();
    addOns_.Attach(*server_);
    server_->Manager().SetHostNameLogging(logger_.HostNameLookupOn());
    OnStatusRecord({SK_MaxUsers, server_->Settings().maxNrUsers, 0});
    OnStatusRecord({SK_Online, server_->Manager().Online() ? 1 : 0, 0});
  };
  s.reloadServer = [this] {
    if (!server_) return;
    server_->Reload();
    addOns_.Attach(*server_);
    OnStatusRecord({SK_MaxUsers, server_->Settings().maxNrUsers, 0});
  };
  s.reloadEventHandler = [this] {
    if (!startup_ || !server_) return;
    addOns_.LoadHooks(startup_->IniPath());
    addOns_.Attach(*server_);
  };
  s.configureDirCache = [this](int32_t entries, int32_t seconds) {
    addOns_.ConfigureDirCache(server_.get(), entries, seconds);
  };
  return s;
}

int RGuiHost::Start(const std::vector<std::string>& args) {
  cmd_ = ParseCommandLine(args);
  const RIniPathInputs where = IniPathInputs(cmd_);
  const std::string path = ChooseIniPath(where, [](const std::string& p) { return FileExists(p); });
  if (!lock_.Acquire(path) && cmd_.single) return 0;

  hostWindow_ = loop_.CreateWindow([this](const RMsg& m) { return OnMessage(m); });
  // Before the socket layer starts its resolver thread: signals must be
  // blocked in every thread.
  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGUSR1})
    loop_.WatchSignal(sig, hostWindow_, MSG_SIGNAL);
  RGuiOptionsStr options;
  options.hidden = cmd_.hidden;
  options.iconic = cmd_.iconic;
  options.single = cmd_.single;
  options.noConfirm = cmd_.noConfirm;
  window_ = std::make_unique<RMainWindow>(*this, options);
  window_->LogPane()->Attach(&pane_);
  window_->saveState = [this](const RWindowStateStr& w) {
    if (startup_) startup_->SaveAtExit(&w);
  };

  RSocketLayer::SetProcess(&layer_);
  logger_.InstallAsSink();
  layer_.SetTrace(false, hostWindow_, MSG_TRACE_LINE);
  startup_ = std::make_unique<RServerStartup>(loop_.Clock(), MakeSeams());
  if (startup_->Run(cmd_, where) == RServerStartup::RStartResult::ClockRefused) {
    // The clock message stays on screen; the server never starts.
    window_->show();
    return -1;
  }
  secondTimer_ = loop_.AddTimer(1000, true, [this] { logger_.OnSecondTick(); });
  reloadTimer_ = loop_.AddTimer(RServerStartup::kReloadPollMs, true, [this] {
    if (startup_->PollReloadSettings()) loop_.PostMessage(hostWindow_, MSG_RELOAD_SETTINGS);
  });
  return -1;
}

void RGuiHost::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (secondTimer_ != 0) loop_.CancelTimer(secondTimer_);
  if (reloadTimer_ != 0) loop_.CancelTimer(reloadTimer_);
  secondTimer_ = reloadTimer_ = 0;
  window_.reset();
  addOns_.Shutdown(server_);
  if (RSocketLayer::Process() == &layer_) {
    layer_.CleanupSockLib();
    RSocketLayer::SetProcess(nullptr);
  }
}

intptr_t RGuiHost::OnMessage(const RMsg& m) {
  switch (m.message) {
    case MSG_SIGNAL:
      if (m.wParam == SIGHUP) {
        loop_.PostMessage(hostWindow_, MSG_RELOAD_SETTINGS);
      } else if (m.wParam == SIGUSR1) {
        ToggleOnline();
      } else if (window_) {
        // A signal closes like the window's Exit, without asking.
        window_->CloseNow();
      }
      break;
    case MSG_RELOAD_SETTINGS:
      OnReloadRequest();
      break;
    case MSG_TRACE_LINE:
      if (m.lParam != 0) OnTraceLine(0, reinterpret_cast<const char*>(m.lParam));
      break;
    case MSG_LOG_LINE:
      if (m.lParam != 0) {
        WriteLog(static_cast<int>(m.wParam), reinterpret_cast<const char*>(m.lParam));
      }
      break;
    default:
      break;
  }
  return 0;
}

// --- RFrontEnd -----------------------------------------------------------------------

void RGuiHost::OnStatusRecord(const RStatusRecordStr& r) {
  if (window_) window_->OnStatusRecord(r.kind, r.value, r.value2);
}

void RGuiHost::OnNotify(uint32_t code, uint32_t session, std::string_view text) {
  if (window_) window_->OnNotify(code, session, text);
}

void RGuiHost::OnTraceLine(intptr_t, std::string_view text) {
  WriteLog(LOG_SOCKET_TRACE, text);
}

void RGuiHost::OnReloadRequest() {
  WriteLog(LOG_SCREEN, LoadStr(kLogReloading));
  if (startup_) startup_->Reload();
}

void RGuiHost::OnCloseRequest() {
  if (window_) window_->CloseNow();
}

void RGuiHost::Beep() {
  QApplication::beep();
}

// --- RGuiEngine ----------------------------------------------------------------------

void RGuiHost::ToggleOnline() {
  if (server_) server_->Manager().ToggleOnline();
}

uint32_t RGuiHost::ConnectionsNow() const {
  return server_ ? server_->Manager().Stats().ConnectionsNow : 0;
}

void RGuiHost::SetExitPending() {
  if (server_) server_->Manager().SetExitPending(true);
}

void RGuiHost::ReloadSettings() {
  // The same path as a reload asked for by another program.
  loop_.PostMessage(hostWindow_, MSG_RELOAD_SETTINGS);
}

std::string RGuiHost::IniPath() const {
  return startup_ ? startup_->IniPath() : std::string();
}

bool RGuiHost::SaveLogSettings(const RLogSettingsStr& s) {
  RIniFile* ini = startup_ ? startup_->Ini() : nullptr;
  return ini != nullptr && logger_.SaveSettings(*ini, s);
}

RSessionSource* RGuiHost::Sessions() {
  return server_ ? this : nullptr;
}

// --- RSessionSource --------------------------------------------------------------------

std::vector<uint32_t> RGuiHost::SessionNumbers() {
  if (!server_) return {};
  return server_->Manager().SessionNumbers();
}

std::optional<RSessionLineStr> RGuiHost::Summary(uint32_t session) {
  if (!server_) return std::nullopt;
  const std::optional<RSessionSummaryStr> q = server_->Manager().SessionSummary(session);
  if (!q) return std::nullopt;
  RSessionLineStr s;
  s.number = session;
  s.hour = q->hour;
  s.minute = q->minute;
  s.second = q->second;
  s.percent = q->percent;
  s.user.assign(q->user, strnlen(q->user, sizeof(q->user)));
  s.address.assign(q->client, strnlen(q->client, sizeof(q->client)));
  s.transferState = static_cast<uint32_t>(q->transferState);
  s.transferBytes = q->transferBytes;
  s.file.assign(q->file, strnlen(q->file, sizeof(q->file)));
  s.tlsProtocol.assign(q->tlsProtocol, strnlen(q->tlsProtocol, sizeof(q->tlsProtocol)));
  s.tlsCipher.assign(q->tlsCipher, strnlen(q->tlsCipher, sizeof(q->tlsCipher)));
  s.protP = q->protP != 0;
  return s;
}

std::optional<RSessionTimesStr> RGuiHost::Timing(uint32_t session) {
  if (!server_) return std::nullopt;
  const std::optional<RSessionTimingStr> q = server_->Manager().SessionTiming(session);
  if (!q) return std::nullopt;
  return RSessionTimesStr{q->hours,       q->minutes,     q->seconds, q->idleHours,
                          q->idleMinutes, q->idleSeconds, q->rate};
}

std::optional<RSessionNameStr> RGuiHost::Host(uint32_t session) {
  if (!server_) return std::nullopt;
  const std::optional<RSessionHostStr> q = server_->Manager().SessionHost(session);
  if (!q) return std::nullopt;
  return RSessionNameStr{q->resolved != 0, std::string(q->host, strnlen(q->host, sizeof(q->host)))};
}

std::optional<RSessionBytesStr> RGuiHost::Traffic(uint32_t session) {
  if (!server_) return std::nullopt;
  const std::optional<RSessionTrafficStr> q = server_->Manager().SessionTraffic(session);
  if (!q) return std::nullopt;
  return RSessionBytesStr{q->bytesSent, q->bytesReceived,
                          std::string(q->text, strnlen(q->text, sizeof(q->text)))};
}

void RGuiHost::SetInfoWindowOpen(bool open) {
  if (server_) server_->Manager().SetSessionWindowOpen(open);
}

void RGuiHost::Kill(uint32_t session) {
  // Removal is posted, never done inside the session's own call chain.
  if (server_) loop_.PostMessage(server_->Manager().MainWindow(), MSG_REMOVE_SESSION, session);
}

}  // namespace vantor
