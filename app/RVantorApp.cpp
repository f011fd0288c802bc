#include "app/RVantorApp.h"

#include <signal.h>

#include "accounts/RPasswordHash.h"
#include "app/RAdminCommands.h"
#include "platform/RFile.h"
#include "platform/RMessages.h"
#include "platform/RProcess.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
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
    if (engine_.start) engine_.start(*this, iniPath);
  };
  s.reloadServer = [this] {
    if (engine_.reload) engine_.reload();
  };
  s.configureDirCache = [this](int32_t entries, int32_t seconds) {
    if (engine_.configureDirCache) engine_.configureDirCache(entries, seconds);
  };
  s.flushDirCache = [this] {
    if (engine_.flushDirCache) engine_.flushDirCache();
  };
  // AutoStart is stored only; systemd starts the server with the machine.
  return s;
}

int RVantorApp::Main(const std::vector<std::string>& args) {
  cmd_ = ParseCommandLine(args);
  if (cmd_.help) {
    for (uint32_t id = 21010; id <= 21016; ++id) std::printf("%s\n", LoadStr(id));
    for (uint32_t id = 28234; id <= 28236; ++id) std::printf("%s\n", LoadStr(id));
    return 0;
  }
  if (cmd_.version) {
    std::printf("%s\n", FormatStr(21017, kProgramVersion).c_str());
    return 0;
  }
  if (cmd_.hidden) out_ = nullptr;
  titleOn_ = out_ == stdout && IsTerminal(1);
  const RIniPathInputs where = IniPathInputs(cmd_);
  // Every instance holds the name of its file; only -s makes a second one give way.
  const std::string path = ChooseIniPath(where, [](const std::string& p) { return FileExists(p); });
  if (cmd_.checkConfig) return CheckConfigCommand(path, stdout);
  if (cmd_.hashPassword) {
    // The file only says which form to write; a missing one means yescrypt.
    RIniFile ini(path);
    const bool des = FileExists(path) && HashMethodFromSetting(ini.GetString(
                                             kGlobalSection, "PasswordHash")) == RHashMethod::Des;
    return HashPasswordCommand(stdin, stdout, stderr, des);
  }
  if (!lock_.Acquire(path) && cmd_.single) {
    std::fprintf(stderr, "%s\n", FormatStr(21018, path).c_str());
    return 0;
  }
  // Which file is in use is the first thing an administrator needs to know.
  if (out_ != nullptr) PrintLine(FormatStr(28233, path));

  window_ = loop_.CreateWindow([this](const RMsg& m) { return OnMessage(m); });
  // Before the socket layer starts its resolver thread: the signals must be
  // blocked in every thread.
  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
    loop_.WatchSignal(sig, window_, MSG_SIGNAL);
  }
  RSocketLayer::SetProcess(&layer_);
  logger_.InstallAsSink();
  layer_.SetTrace(false, window_, MSG_TRACE_LINE);
  startup_ = std::make_unique<RServerStartup>(loop_.Clock(), MakeSeams());
  if (startup_->Run(cmd_, where) == RServerStartup::RStartResult::ClockRefused) {
    layer_.CleanupSockLib();
    return 1;
  }
  secondTimer_ = loop_.AddTimer(1000, true, [this] { logger_.OnSecondTick(); });
  reloadTimer_ = loop_.AddTimer(RServerStartup::kReloadPollMs, true, [this] {
    if (startup_->PollReloadSettings()) loop_.PostMessage(window_, MSG_RELOAD_SETTINGS);
  });

  const int code = loop_.Run();

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
  if (closing_) return;
  const int users = engine_.usersOnline ? engine_.usersOnline() : 0;
  // A second request does not wait any longer.
  if (users > 0 && !exitPending_ && !cmd_.noConfirm && !cmd_.hidden) {
    exitPending_ = true;
    if (engine_.setExitPending) engine_.setExitPending(true);
    WriteLog(LOG_SCREEN, LoadStr(21019));
    return;
  }
  closing_ = true;
  loop_.Quit(0);
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
}

std::string RVantorApp::StatusLine() const {
  return FormatStr(26009, RFormat("%.1f", static_cast<double>(throughput_) / 1024.0), sockets_,
                   users_, transfers_);
}

void RVantorApp::OnTraceLine(intptr_t, std::string_view text) {
  WriteLog(LOG_SOCKET_TRACE, text);
}

void RVantorApp::OnReloadRequest() {
  WriteLog(LOG_SCREEN, LoadStr(21009));
  startup_->Reload();
}

void RVantorApp::OnCloseRequest() {
  closing_ = true;
  loop_.Quit(0);
}

}  // namespace vantor
