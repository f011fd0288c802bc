#include "app/RVantorApp.h"

#include <signal.h>

#include <algorithm>

#include "accounts/RPasswordHash.h"
#include "app/RAdminCommands.h"
#include "app/RRunAs.h"
#include "config/RConfigStrings.h"
#include "ftp/RBusMessages.h"
#include "platform/RFile.h"
#include "platform/RProcess.h"
#include "platform/RServiceNotify.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// The tray tip's text, which the terminal's status line shares with the
// desktop program (S_GUI_TOOLTIP; gui/ sits above app/, so its header is
// out of reach here).
constexpr uint32_t kTextTrayTooltip = 26009;

// The syslog priority of a printed line, for the journal: log lines carry
// their category number ("[3] ..."); the other lines are start-up and state
// texts, whose warnings and failures say so in their first word.
int LinePriority(std::string_view line) {
  const size_t dash = line.find(" - ");
  const std::string_view text = dash == std::string_view::npos ? line : line.substr(dash + 3);
  if (text.starts_with("WARNING")) return 4;
  if (text.starts_with("CANNOT") || text.starts_with("Cannot")) return 3;
  if (line.size() > 2 && line[0] == '[') {
    // The numbers the log lines show: 1 system, 2 commands, 3 downloads,
    // 4 uploads, 5 security and host names, 6 replies, 7 details, 8 libraries.
    switch (line[1]) {
      case '5':
        return 5;  // notice
      case '2':
      case '6':
      case '7':
        return 7;  // debug
      default:
        return 6;  // info
    }
  }
  return 6;
}

}  // namespace

RVantorApp::RVantorApp(RMessageLoop& loop, std::FILE* out)
    : loop_(loop),
      out_(out),
      layer_(loop),
      logger_(pane_, loop.Clock(),
              RFTPSLogger::Hooks{nullptr, nullptr, [this](const RFTPSLogger& l) {
                                   layer_.EnableTrace(l.SocketTraceOn());
                                   if (engine_.applyLogFlags) engine_.applyLogFlags(l);
                                 }}) {
  pane_.SetLineObserver([this](std::string_view line) { PrintLine(line); });
}

RVantorApp::~RVantorApp() {
  if (window_ != 0) loop_.DestroyWindow(window_);
  if (RSocketLayer::Process() == &layer_) RSocketLayer::SetProcess(nullptr);
}

void RVantorApp::PrintLine(std::string_view line) {
  if (out_ == nullptr) return;
  if (journal_) std::fprintf(out_, "<%d>", LinePriority(line));
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

RServerStartup::Seams RVantorApp::MakeSeams() {
  RServerStartup::Seams s;
  s.loadLoggerSettings = [this](const RIniFile* ini) { logger_.LoadSettings(ini); };
  s.showLoggingState = [this] { logger_.ShowLoggingState(); };
  // The engine hooks are looked up when the step runs, so SetEngine() may
  // come any time before Main().
  s.createEventHandler = [this] {
    if (engine_.createEventHandler) engine_.createEventHandler();
  };
  s.reloadEventHandler = [this] {
    if (engine_.reloadEventHandler) engine_.reloadEventHandler();
  };
  s.startSocketLayer = [this](std::string* description, uint32_t* maxSockets) {
    if (!layer_.Start()) return false;
    *description = layer_.Description();
    *maxSockets = layer_.MaxSockets();
    return true;
  };
  s.startServer = [this](const std::string& iniPath) {
    // The server, the administration settings, the switch of account and
    // the kernel's confinement each read the file: as one pass they read
    // one content, so an edit saved meanwhile cannot confine the process to
    // another file's paths (or none) than the ones it serves.
    if (engine_.start) loop_.RunAsPass([&] { engine_.start(*this, iniPath); });
  };
  s.reloadServer = [this] {
    if (engine_.reload) engine_.reload();
  };
  s.configureDirCache = [this](int32_t entries, int32_t seconds) {
    if (engine_.configureDirCache) engine_.configureDirCache(entries, seconds);
  };
  // AutoStart is stored only; systemd starts the server with the machine.
  return s;
}

int RVantorApp::Main(const std::vector<std::string>& args) {
  cmd_ = ParseCommandLine(args);
  if (cmd_.help) {
    for (uint32_t id = kTextUsage; id <= kTextUsageSignals; ++id) std::printf("%s\n", LoadStr(id));
    for (uint32_t id = kTextUsageHashPassword; id < kTextUsageRelativeIni; ++id)
      std::printf("%s\n", LoadStr(id));
    std::printf("%s\n%s\n", LoadStr(kTextUsageClusterInit), LoadStr(kTextUsageRelativeIni));
    return 0;
  }
  if (cmd_.version) {
    std::printf("%s\n", FormatStr(kTextVersionLine, kProgramVersion).c_str());
    return 0;
  }
  if (cmd_.hidden) out_ = nullptr;
  titleOn_ = out_ == stdout && IsTerminal(1);
  journal_ = out_ == stdout && !titleOn_ && StdoutIsJournal();
  const RIniPathInputs where = IniPathInputs(cmd_);
  // Every instance holds the name of its file; only -s makes a second one give way.
  const std::string path = ChooseIniPath(where, [](const std::string& p) { return FileExists(p); });
  if (cmd_.checkConfig) return CheckConfigCommand(path, stdout);
  if (cmd_.clusterInit) return ClusterInitCommand(loop_, path, stdout, stderr);
  if (cmd_.hashPassword) {
    // The file only says which form to write; a missing one means yescrypt.
    RIniFile ini(path);
    const bool des = FileExists(path) && HashMethodFromSetting(ini.GetString(
                                             kGlobalSection, "PasswordHash")) == RHashMethod::Des;
    return HashPasswordCommand(stdin, stdout, stderr, des);
  }
  if (!lock_.Acquire(path) && cmd_.single) {
    std::fprintf(stderr, "%s\n", FormatStr(kTextAlreadyRunning, path).c_str());
    return 0;
  }
  // Which file is in use is the first thing an administrator needs to know.
  if (out_ != nullptr) PrintLine(FormatStr(kTextConfigFile, path));

  window_ = loop_.CreateWindow([this](const RMsg& m) { return OnMessage(m); });
  // Before the socket layer starts its resolver thread: the signals must be
  // blocked in every thread.
  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
    loop_.WatchSignal(sig, window_, MSG_SIGNAL);
  }
  RSocketLayer::SetProcess(&layer_);
  logger_.InstallAsSink();
  layer_.SetTrace(false, window_, MSG_TRACE_LINE);
  // The log file waits for the switch of account (the engine's start step
  // makes it and ends the hold).
  if (RunAsPending(path)) logger_.HoldFileLines();
  startup_ = std::make_unique<RServerStartup>(loop_.Clock(), MakeSeams());
  const RServerStartup::RStartResult started = startup_->Run(cmd_, where);
  if (started == RServerStartup::RStartResult::ClockRefused) {
    layer_.CleanupSockLib();
    return 1;
  }
  // An engine that had no switch to make: the lines go to the file as ever.
  logger_.ReleaseFileLines();
  if (!loop_.QuitRequested()) {
    // The listeners are up (or their failure is logged): the service manager
    // may now start what depends on us.
    lastStatus_ = ServiceStatus();
    readySent_ = true;
    ServiceNotify("READY=1\nSTATUS=" + lastStatus_);
    // Pinged from the loop itself, so a loop that hangs stops the pings.
    if (const int64_t wd = ServiceWatchdogUs(); wd > 0) {
      watchdogTimer_ = loop_.AddTimer(std::max<int64_t>(1, wd / 2000), true,
                                      [] { ServiceNotify("WATCHDOG=1"); });
    }
  }
  secondTimer_ = loop_.AddTimer(1000, true, [this] { logger_.OnSecondTick(); });
  reloadTimer_ = loop_.AddTimer(RServerStartup::kReloadPollMs, true, [this] {
    if (startup_->PollReloadSettings()) loop_.PostMessage(window_, MSG_RELOAD_SETTINGS);
  });

  const int code = loop_.Run();

  ServiceNotify("STOPPING=1");
  if (watchdogTimer_ != 0) loop_.CancelTimer(watchdogTimer_);
  loop_.CancelTimer(secondTimer_);
  loop_.CancelTimer(reloadTimer_);
  startup_->SaveAtExit(nullptr);  // no window whose placement could be kept
  if (engine_.stop) engine_.stop();
  layer_.CleanupSockLib();
  return code;
}

intptr_t RVantorApp::OnMessage(const RMsg& m) {
  switch (m.message) {
    case MSG_SIGNAL:
      OnSignal(static_cast<int>(m.wParam));
      break;
    case MSG_RELOAD_SETTINGS:
      OnReloadRequest();
      break;
    case MSG_LOG_LINE:
      // Sent synchronously: the text lives for the duration of the call.
      if (m.lParam != 0)
        WriteLog(static_cast<int>(m.wParam), reinterpret_cast<const char*>(m.lParam));
      break;
    case MSG_TRACE_LINE:
      if (m.lParam != 0)
        OnTraceLine(static_cast<intptr_t>(m.wParam), reinterpret_cast<const char*>(m.lParam));
      break;
    default:
      break;
  }
  return 0;
}

void RVantorApp::OnSignal(int signo) {
  switch (signo) {
    case SIGHUP:
      // The same path as a reload request of another program.
      loop_.PostMessage(window_, MSG_RELOAD_SETTINGS);
      break;
    case SIGTERM:
    case SIGINT:
      Close();
      break;
    case SIGUSR1:
      if (engine_.toggleOnline) engine_.toggleOnline();
      break;
    case SIGUSR2:
      std::printf("%s\n", StatusLine().c_str());
      std::fflush(stdout);
      break;
    default:
      break;
  }
}

void RVantorApp::Close() {
  // A second request does not wait any longer.
  RequestExit(exitPending_ || cmd_.noConfirm || cmd_.hidden);
}

void RVantorApp::OnStatusRecord(const RStatusRecordStr& r) {
  switch (r.kind) {
    case SK_Sockets:
      sockets_ = r.value;
      break;
    case SK_Users:
      users_ = r.value;
      anonymous_ = r.value2;
      break;
    case SK_Transfers:
      transfers_ = r.value;
      break;
    case SK_Throughput:
      throughput_ = r.value;
      break;
    default:
      return;
  }
  if (titleOn_) {
    std::printf("\033]0;%s\007", StatusLine().c_str());
    std::fflush(stdout);
  }
  UpdateServiceStatus();
}

std::string RVantorApp::ServiceStatus() const {
  if (!listenWait_.empty()) return listenWait_;
  std::string line = FormatStr(exitPending_ ? kTextStatusLineExitPending : kTextStatusLine, users_,
                               anonymous_, transfers_);
  // Kept in view until a reload succeeds: the file on disk is not what runs.
  if (!reloadRefused_.empty()) return FormatStr(kTextStatusReloadRefused, reloadRefused_, line);
  return line;
}

void RVantorApp::UpdateServiceStatus() {
  // Before READY the start-up sends the status with it.
  if (!readySent_) return;
  // Only a change is sent: the throughput record comes every second.
  std::string now = ServiceStatus();
  if (now == lastStatus_) return;
  lastStatus_ = std::move(now);
  ServiceNotify("STATUS=" + lastStatus_);
}

std::string RVantorApp::StatusLine() const {
  return FormatStr(kTextTrayTooltip, RFormat("%.1f", static_cast<double>(throughput_) / 1024.0),
                   sockets_, users_, transfers_);
}

void RVantorApp::OnTraceLine(intptr_t, std::string_view text) {
  WriteLog(LOG_SOCKET_TRACE, text);
}

void RVantorApp::OnReloadRequest() {
  WriteLog(LOG_SCREEN, LoadStr(kLogReloading));
  // A refused reload changes nothing, so the manager is not told that one
  // began (nor READY, which would report it done): the status says it.
  reloadRefused_ = startup_->ReloadRefusal();
  if (!reloadRefused_.empty()) {
    (void)startup_->Reload();  // logs why
    UpdateServiceStatus();
    return;
  }
  ServiceNotify("RELOADING=1");
  (void)startup_->Reload();
  lastStatus_ = ServiceStatus();
  ServiceNotify("READY=1\nSTATUS=" + lastStatus_);
}

void RVantorApp::OnListenWait(std::string_view text) {
  const bool bound = !listenWait_.empty() && text.empty();
  listenWait_ = text;
  if (!bound || !readySent_) {
    UpdateServiceStatus();
    return;
  }
  // READY went out at start so that systemd's start timeout never kills a
  // server whose retry must not give up; it is said again once the port
  // is ours, with the ordinary status.
  lastStatus_ = ServiceStatus();
  ServiceNotify("READY=1\nSTATUS=" + lastStatus_);
}

void RVantorApp::OnNotify(uint32_t code, uint32_t session, std::string_view text) {
  if (notifyTap_) notifyTap_(code, session, text);
}

void RVantorApp::RequestExit(bool force) {
  if (closing_) return;
  const int users = engine_.usersOnline ? engine_.usersOnline() : 0;
  if (users > 0 && !force) {
    if (exitPending_) return;
    exitPending_ = true;
    if (engine_.setExitPending) engine_.setExitPending(true);
    WriteLog(LOG_SCREEN, LoadStr(kLogExitPendingSignal));
    UpdateServiceStatus();
    return;
  }
  closing_ = true;
  loop_.Quit(0);
}

void RVantorApp::OnCloseRequest() {
  closing_ = true;
  loop_.Quit(0);
}

}  // namespace vantor
