// The engine inside vantor-gui: the socket layer, the logger, the start-up
// sequence and the FTP server, with the main window as their front end.
// It turns the engine's reports into window calls (RFrontEnd) and the
// window's commands into engine calls (RGuiEngine), and answers the user
// information window through the session queries (MSG_SESSION_QUERY).
//
// Loop (GUI) thread only; the loop is driven by RLoopDriver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/RStartup.h"
#include "ftp/RFTPServer.h"
#include "ftp/RFrontEnd.h"
#include "ftp/RServerAddOns.h"
#include "gui/RGuiEngine.h"
#include "log/RFTPSLogger.h"
#include "log/RLogger.h"
#include "net/RSocketLayer.h"
#include "platform/RInstanceLock.h"
#include "platform/RMessageLoop.h"

namespace vantor {

class RMainWindow;

class RGuiHost final : public RFrontEnd, public RGuiEngine, public RSessionSource {
 public:
  explicit RGuiHost(RMessageLoop& loop);
  ~RGuiHost() override;
  RGuiHost(const RGuiHost&) = delete;
  RGuiHost& operator=(const RGuiHost&) = delete;

  // Parses the command line, creates the main window and runs the start-up
  // sequence. Returns -1 when the program runs on (the caller enters Qt's
  // loop), else the exit code.
  int Start(const std::vector<std::string>& args);
  // After the window closed: saves at exit, stops the server and the
  // socket layer.
  void Stop();

  RMainWindow* Window() const { return window_.get(); }
  RFTPServer* Server() const { return server_.get(); }
  RFTPSLogger& Logger() { return logger_; }

  // RFrontEnd
  void OnStatusRecord(const RStatusRecordStr& record) override;
  void OnNotify(uint32_t code, uint32_t session, std::string_view text) override;
  void OnTraceLine(intptr_t tag, std::string_view text) override;
  void OnReloadRequest() override;
  void OnCloseRequest() override;
  void Beep() override;

  // RGuiEngine
  void ToggleOnline() override;
  bool FileLogging() const override { return logger_.FileLogging(); }
  void SetFileLogging(bool on) override { logger_.SetFileLogging(on); }
  bool ScreenLogging() const override { return logger_.ScreenLogging(); }
  void SetScreenLogging(bool on) override { logger_.SetScreenLogging(on); }
  uint32_t ConnectionsNow() const override;
  void SetExitPending() override;
  void ReloadSettings() override;
  std::string IniPath() const override;
  RLogSettingsStr LogSettings() const override { return logger_.Settings(); }
  bool SaveLogSettings(const RLogSettingsStr& s) override;
  RSessionSource* Sessions() override;

  // RSessionSource
  std::vector<uint32_t> SessionNumbers() override;
  std::optional<RSessionLineStr> Summary(uint32_t session) override;
  std::optional<RSessionTimesStr> Timing(uint32_t session) override;
  std::optional<RSessionNameStr> Host(uint32_t session) override;
  std::optional<RSessionBytesStr> Traffic(uint32_t session) override;
  void SetInfoWindowOpen(bool open) override;
  void Kill(uint32_t session) override;

 private:
  RServerStartup::Seams MakeSeams();
  intptr_t OnMessage(const RMsg& m);

  RMessageLoop& loop_;
  RSocketLayer layer_;
  RLogger pane_;
  RFTPSLogger logger_;
  std::unique_ptr<RServerStartup> startup_;
  // Declared before the server: destroyed after it.
  RServerAddOns addOns_;
  std::unique_ptr<RFTPServer> server_;
  std::unique_ptr<RMainWindow> window_;
  RCommandLine cmd_;
  RInstanceLock lock_;
  RWindowId hostWindow_ = 0;
  RMessageLoop::TimerId secondTimer_ = 0;
  RMessageLoop::TimerId reloadTimer_ = 0;
  bool stopped_ = false;
};

}  // namespace vantor
