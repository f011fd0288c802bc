// The `vantor` program without its main(): the console front end.
//
// It plays the main window of the event bus: log lines and trace lines are
// written through the logger, whose screen pane is printed to stdout line by
// line; reload requests (MSG_RELOAD_SETTINGS, SIGHUP, the `ReloadSettings`
// poll) re-read the settings; SIGTERM/SIGINT close the program ("FTP server going
// down..." and exit code 0), waiting for logged-in users unless -u or -h was
// given or the signal comes twice; SIGUSR1 toggles on-line; SIGUSR2 prints
// one status line.
//
// The FTP engine plugs in through REngineHooks (see docs/config.md); without
// them the program runs the whole start-up sequence and waits for signals.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/RStartup.h"
#include "ftp/RFrontEnd.h"
#include "log/RFTPSLogger.h"
#include "net/RSocketLayer.h"
#include "platform/RInstanceLock.h"
#include "platform/RMessageLoop.h"

namespace vantor {

class RVantorApp;

// What the engine adds to the program. Every hook is optional.
struct REngineHooks {
  // Start-up step "server": create the server (and the account store) on
  // `iniPath` ("" without configuration) and bring up the listeners.
  std::function<void(RVantorApp& app, const std::string& iniPath)> start;
  // Reload of account store, server settings and message files.
  std::function<void()> reload;
  // Directory cache size and lifetime, at start-up and on reload (which
  // empties it).
  std::function<void(int32_t entries, int32_t seconds)> configureDirCache;
  // External event libraries: create at start-up, re-read on reload.
  std::function<void()> createEventHandler;
  std::function<void()> reloadEventHandler;
  // Logger-derived switches: host-name look-up, external call logging.
  std::function<void(const RFTPSLogger& logger)> applyLogFlags;
  // Sessions that exist now (a close waits while there are any).
  std::function<int()> usersOnline;
  std::function<void(bool pending)> setExitPending;
  std::function<void()> toggleOnline;
  // Destroys the server and the account store (before the socket layer).
  std::function<void()> stop;
};

class RVantorApp final : public RFrontEnd {
 public:
  // `out` receives the screen pane's lines (nullptr: nothing is printed).
  RVantorApp(RMessageLoop& loop, std::FILE* out);
  ~RVantorApp() override;
  RVantorApp(const RVantorApp&) = delete;
  RVantorApp& operator=(const RVantorApp&) = delete;

  void SetEngine(REngineHooks hooks) { engine_ = std::move(hooks); }

  // The whole program on its arguments (without argv[0]); the exit code.
  int Main(const std::vector<std::string>& args);

  RMessageLoop& Loop() { return loop_; }
  RSocketLayer& Layer() { return layer_; }
  RFTPSLogger& Logger() { return logger_; }
  RServerStartup& Startup() { return *startup_; }
  RWindowId MainWindow() const { return window_; }
  const RCommandLine& CommandLine() const { return cmd_; }

  // RFrontEnd
  void OnStatusRecord(const RStatusRecordStr& record) override;
  void OnTraceLine(intptr_t tag, std::string_view text) override;
  void OnReloadRequest() override;
  void OnCloseRequest() override;
  void OnListenWait(std::string_view text) override;

  void OnNotify(uint32_t code, uint32_t session, std::string_view text) override;
  // The engine's session notifications (command and reply lines, a
  // session's end) also go here.
  void SetNotifyTap(
      std::function<void(uint32_t code, uint32_t session, std::string_view text)> tap) {
    notifyTap_ = std::move(tap);
  }
  // Close as a signal does: with users on and not `force`, exit pending
  // (new clients turned away, the program ends after the last session).
  void RequestExit(bool force);
  // Why a listener is being retried ("" when every one is up).
  const std::string& ListenWait() const { return listenWait_; }

  // One status line: "Vantor: %s KBps %d Socks %d Users %d Xfers".
  std::string StatusLine() const;

 private:
  intptr_t OnMessage(const RMsg& m);
  void OnSignal(int signo);
  void Close();
  RServerStartup::Seams MakeSeams();
  void PrintLine(std::string_view line);
  // The service manager's STATUS text, and its update when it changed.
  std::string ServiceStatus() const;
  void UpdateServiceStatus();

  RMessageLoop& loop_;
  std::FILE* out_;
  RSocketLayer layer_;
  RLogger pane_;
  RFTPSLogger logger_;
  std::unique_ptr<RServerStartup> startup_;
  REngineHooks engine_;
  RCommandLine cmd_;
  RInstanceLock lock_;
  RWindowId window_ = 0;
  RMessageLoop::TimerId secondTimer_ = 0;
  RMessageLoop::TimerId reloadTimer_ = 0;
  bool exitPending_ = false;
  bool closing_ = false;
  bool titleOn_ = false;
  bool journal_ = false;  // stdout is the journal: lines carry "<N>" priorities
  RMessageLoop::TimerId watchdogTimer_ = 0;
  std::string lastStatus_;
  std::function<void(uint32_t, uint32_t, std::string_view)> notifyTap_;
  std::string listenWait_;     // a listener being retried: the status says so
  std::string reloadRefused_;  // why the last reload was refused; "" after one that ran
  bool readySent_ = false;
  // Last status records, for the status line and the terminal title.
  int32_t sockets_ = 0, users_ = 0, anonymous_ = 0, transfers_ = 0;
  int64_t throughput_ = 0;
};

}  // namespace vantor
