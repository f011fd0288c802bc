// The window's engine when vantor-gui watches a server that runs elsewhere
// (`--connect`): the same main window, user information window and set-up
// dialogs, fed from the server's administration endpoint. The status and
// the session list are polled once a second, the log and the tracked
// session's dialogue follow the server's streams, and the set-up dialogs
// work on a local image of the configuration whose changes go back as one
// PATCH. A lost connection is shown and retried with growing pauses.
//
// GUI thread only; nothing here waits on the network (RAdminClient).
#pragma once

#include <QObject>
#include <QTemporaryDir>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "gui/RAdminModel.h"
#include "gui/RGuiEngine.h"
#include "gui/qt/RAdminClient.h"
#include "log/RFTPSLogger.h"
#include "log/RLogger.h"
#include "platform/RClock.h"

namespace vantor {

class RMainWindow;
struct RGuiOptionsStr;

class RRemoteHost final : public QObject, public RGuiEngine, public RSessionSource {
  Q_OBJECT
 public:
  // Pauses between attempts while the server cannot be reached.
  static constexpr int kFirstRetryMs = 500;
  static constexpr int kLastRetryMs = 8000;
  static constexpr int kPollMs = 1000;

  RRemoteHost(RAdminClient::Options client, const RGuiOptionsStr& options);
  ~RRemoteHost() override;

  // Creates and shows the window and starts connecting.
  void Start();
  void Stop();
  RMainWindow* Window() const { return window_.get(); }
  bool Connected() const { return up_; }

  // RGuiEngine
  void ToggleOnline() override;
  bool FileLogging() const override { return settings_.FileLogging(); }
  void SetFileLogging(bool on) override;
  bool ScreenLogging() const override { return screenLogging_; }
  void SetScreenLogging(bool on) override { screenLogging_ = on; }
  uint32_t ConnectionsNow() const override { return connectionsNow_; }
  void SetExitPending() override;
  // After a set-up dialog saved into the local image: its changes go to
  // the server, which writes and reloads them.
  void ReloadSettings() override;
  std::string IniPath() const override;
  RLogSettingsStr LogSettings() const override { return settings_.Settings(); }
  bool SaveLogSettings(const RLogSettingsStr& s) override;
  RSessionSource* Sessions() override { return this; }

  // RSessionSource
  std::vector<uint32_t> SessionNumbers() override;
  std::optional<RSessionLineStr> Summary(uint32_t session) override;
  std::optional<RSessionTimesStr> Timing(uint32_t session) override;
  std::optional<RSessionNameStr> Host(uint32_t session) override;
  std::optional<RSessionBytesStr> Traffic(uint32_t session) override;
  void SetInfoWindowOpen(bool open) override;
  void Kill(uint32_t session) override;
  void Follow(uint32_t session) override;

 private:
  void Tick();
  void Attempt();
  void OnStatus(const RAdminReplyStr& r);
  void OnSessions(const RAdminReplyStr& r);
  void OnConfig(const RAdminReplyStr& r);
  void Up();
  void Lost(const std::string& why);
  void StartStreams();
  void StartTrace();
  void FetchConfig();
  void LoadImage(const std::string& text);
  void SendPatch(const std::string& body);
  void Screen(const std::string& line);
  const RRemoteSessionStr* Find(uint32_t session) const;

  std::unique_ptr<RAdminClient> client_;
  std::string shown_;
  // Reads and writes the logging keys of the local image, as the engine's
  // logger does; it never opens a log file.
  RLogger settingsPane_;
  RFTPSLogger settings_;
  std::unique_ptr<RMainWindow> window_;
  QTemporaryDir dir_;
  std::string imagePath_, servedPath_;
  QTimer poll_, retry_;
  int retryMs_ = kFirstRetryMs;
  int ticks_ = 0;
  bool up_ = false;
  bool attempting_ = false;
  bool stopped_ = false;
  uint64_t statusCall_ = 0, sessionsCall_ = 0, configCall_ = 0;
  uint64_t logStream_ = 0, traceStream_ = 0;
  RSseParser logParser_, traceParser_;
  std::vector<uint32_t> order_;
  std::map<uint32_t, RRemoteSessionStr> sessions_;
  uint32_t followed_ = 0;
  bool traceEnded_ = false;
  uint32_t connectionsNow_ = 0;
  bool online_ = false;
  bool screenLogging_ = true;
  bool infoOpen_ = false;
};

}  // namespace vantor
