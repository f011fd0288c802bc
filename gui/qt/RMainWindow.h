// The main window of vantor-gui: log pane, menus, tool bar, status bar and
// tray icon. It renders what the engine reports (screen lines, status
// records, session notifications) and turns menu commands into calls on
// RGuiEngine. Loop (GUI) thread only.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <memory>

#include "gui/RGuiEngine.h"
#include "gui/RStatusText.h"
#include "gui/RWindowSettings.h"
#include "gui/qt/RLogPane.h"
#include "gui/qt/RUserInfoWindow.h"

namespace vantor {

enum class RSetupPage { Server, IPAccess, Logging, Messages, Users, Groups, Drives };

class RMainWindow : public QMainWindow {
  Q_OBJECT
 public:
  // `engine` is not owned and outlives the window.
  RMainWindow(RGuiEngine& engine, const RGuiOptionsStr& options, QWidget* parent = nullptr);
  ~RMainWindow() override;

  // Applies `Window`, `StartIconic`/`StartMaximized`, `Invisible` (unless
  // the command line decided), `ShowToolBar`, `ShowBmpMenus`, `LogFont`, and
  // shows the window as they say.
  void ApplySettingsAndShow(const RWindowSettingsStr& s);

  // Engine reports.
  void OnScreenLine(std::string_view text);
  void OnStatusRecord(uint32_t kind, int32_t value, int32_t value2);
  // MSG_NOTIFY: code 3, 4, 5, 13 with a session number; 11 with a
  // dialogue line.
  void OnNotify(uint32_t code, uint32_t session, std::string_view text);

  // Watching a server elsewhere: the state of the connection to it, shown
  // first in the status bar; while it is down the server's fields are
  // greyed, as what they say is no longer known.
  void ShowConnection(bool up, std::string_view text);
  QLabel* ConnectionField() const { return connection_; }

  // Closes without asking (exit pending ended, or a signal forced it).
  void CloseNow();

  // For tests and the screenshot tool.
  RLogPane* LogPane() const { return pane_; }
  const RStatusDisplay& Status() const { return status_; }
  QLabel* StatusField(int i) const { return fields_[i]; }
  QAction* Action(const char* name) const;
  RUserInfoWindow* UserInfo() const { return userInfo_; }
  RTrayIcon ShownTrayIcon() const { return trayShown_; }
  // The exit question: 0 stop, 1 wait, 2 cancel. Replaceable for tests.
  std::function<int(uint32_t users)> askExit;
  // Saves the window keys at exit; by default straight into the INI file.
  std::function<void(const RWindowStateStr& state)> saveState;
  // Opens a set-up dialog; returns true when it saved. Replaceable for tests.
  std::function<bool(RSetupPage)> runSetup;

 public slots:
  void ShowUserInfo();

 signals:
  void closed();

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildActions();
  void BuildMenus();
  void BuildStatusBar();
  void BuildTray();
  void UpdateTray();
  void SetMenuImages(bool on);
  void SaveWindowState();
  bool RunSetupDialog(RSetupPage page);
  int AskExit(uint32_t users);
  QAction* MakeAction(const char* name, uint32_t text, uint32_t tip, bool checkable = false);

  RGuiEngine& engine_;
  RGuiOptionsStr options_;
  RLogPane* pane_ = nullptr;
  QToolBar* toolBar_ = nullptr;
  QLabel* fields_[4] = {};
  QLabel* connection_ = nullptr;
  RStatusDisplay status_;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QAction* trayShowHide_ = nullptr;
  RTrayIcon trayShown_ = RTrayIcon::NormOffline;
  bool trayIconSet_ = false;
  QPointer<RUserInfoWindow> userInfo_;
  std::vector<QAction*> actions_;
  bool closing_ = false;
  bool settingsSaved_ = false;
};

}  // namespace vantor
