#include "gui/qt/RMainWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>

#include "gui/RGuiStrings.h"
#include "gui/qt/RQtText.h"
#include "gui/qt/RSetupDialogs.h"
#include "gui/qt/RTrayIcons.h"
#include "gui/qt/RUserInfoWindow.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

constexpr const char* kVersion = "2.5.11.3";

}  // namespace

RMainWindow::RMainWindow(RGuiEngine& engine, const RGuiOptionsStr& options, QWidget* parent)
    : QMainWindow(parent), engine_(engine), options_(options) {
  setObjectName("RVantorWinClass");
  setWindowTitle(Q(S_GUI_TITLE));
  setWindowIcon(TrayIcon(RTrayIcon::Norm));
  pane_ = new RLogPane(this);
  setCentralWidget(pane_);
  BuildActions();
  BuildMenus();
  BuildStatusBar();
  BuildTray();
  resize(760, 460);
}

RMainWindow::~RMainWindow() {
  if (userInfo_) delete userInfo_;
}

QAction* RMainWindow::MakeAction(const char* name, uint32_t text, uint32_t tip, bool checkable) {
  auto* a = new QAction(Q(text), this);
  a->setObjectName(name);
  if (tip != 0) a->setStatusTip(Q(tip));
  a->setCheckable(checkable);
  actions_.push_back(a);
  return a;
}

QAction* RMainWindow::Action(const char* name) const {
  for (QAction* a : actions_) {
    if (a->objectName() == name) return a;
  }
  return nullptr;
}

void RMainWindow::BuildActions() {
  QStyle* st = style();
  QAction* a = MakeAction("online", S_GUI_MENU_ONLINE, S_GUI_TIP_ONLINE, true);
  a->setIcon(TrayIcon(RTrayIcon::Norm));
  connect(a, &QAction::triggered, this, [this] {
    engine_.ToggleOnline();
    // The engine answers with a status record of kind 7; until then keep
    // the check mark on the last reported state.
    Action("online")->setChecked(status_.Online());
  });
  a = MakeAction("filelog", S_GUI_MENU_FILELOG, S_GUI_TIP_FILELOG, true);
  a->setIcon(st->standardIcon(QStyle::SP_DriveHDIcon));
  connect(a, &QAction::triggered, this, [this](bool on) {
    engine_.SetFileLogging(on);
    Action("filelog")->setChecked(engine_.FileLogging());
  });
  a = MakeAction("userinfo", S_GUI_MENU_USERINFO, S_GUI_TIP_USERINFO);
  a->setIcon(TrayIcon(RTrayIcon::User));
  connect(a, &QAction::triggered, this, &RMainWindow::ShowUserInfo);
  a = MakeAction("exit", S_GUI_MENU_EXIT, S_GUI_TIP_EXIT);
  a->setIcon(st->standardIcon(QStyle::SP_DialogCloseButton));
  connect(a, &QAction::triggered, this, &QWidget::close);

  a = MakeAction("toolbar", S_GUI_MENU_TOOLBAR, 0, true);
  a->setChecked(true);
  connect(a, &QAction::toggled, this, [this](bool on) {
    if (toolBar_ != nullptr) toolBar_->setVisible(on);
  });
  a = MakeAction("menuimages", S_GUI_MENU_IMAGES, 0, true);
  a->setChecked(true);
  connect(a, &QAction::toggled, this, [this](bool on) { SetMenuImages(on); });

  a = MakeAction("screenlog", S_GUI_MENU_SCREENLOG, S_GUI_TIP_SCREENLOG, true);
  a->setIcon(st->standardIcon(QStyle::SP_ComputerIcon));
  connect(a, &QAction::triggered, this, [this](bool on) {
    engine_.SetScreenLogging(on);
    Action("screenlog")->setChecked(engine_.ScreenLogging());
  });
  a = MakeAction("copy", S_GUI_MENU_COPY, S_GUI_TIP_COPY);
  a->setIcon(st->standardIcon(QStyle::SP_FileDialogContentsView));
  a->setShortcut(QKeySequence::Copy);
  connect(a, &QAction::triggered, this, [this] {
    QString sel = pane_->textCursor().selectedText();
    sel.replace(QChar(0x2029), '\n');
    QApplication::clipboard()->setText(sel.isEmpty() ? pane_->toPlainText() : sel);
  });
  a = MakeAction("clear", S_GUI_MENU_CLEAR, S_GUI_TIP_CLEAR);
  a->setIcon(st->standardIcon(QStyle::SP_TrashIcon));
  connect(a, &QAction::triggered, this, [this] { pane_->ClearAll(); });

  const struct {
    const char* name;
    uint32_t text;
    RSetupPage page;
    QStyle::StandardPixmap icon;
  } setups[] = {
      {"setupserver", S_GUI_MENU_SERVER, RSetupPage::Server, QStyle::SP_FileDialogDetailedView},
      {"setupipaccess", S_GUI_MENU_IPACCESS, RSetupPage::IPAccess, QStyle::SP_DriveNetIcon},
      {"setuplogging", S_GUI_MENU_LOGGING, RSetupPage::Logging, QStyle::SP_FileIcon},
      {"setupmessages", S_GUI_MENU_MESSAGES, RSetupPage::Messages,
       QStyle::SP_MessageBoxInformation},
      {"setupusers", S_GUI_MENU_USERS, RSetupPage::Users, QStyle::SP_DirHomeIcon},
      {"setupgroups", S_GUI_MENU_GROUPS, RSetupPage::Groups, QStyle::SP_DirIcon},
      {"setupdrives", S_GUI_MENU_DRIVES, RSetupPage::Drives, QStyle::SP_DriveHDIcon},
  };
  for (const auto& s : setups) {
    a = MakeAction(s.name, s.text, S_GUI_TIP_SETUP);
    a->setIcon(st->standardIcon(s.icon));
    const RSetupPage page = s.page;
    connect(a, &QAction::triggered, this, [this, page] {
      const bool saved = runSetup ? runSetup(page) : RunSetupDialog(page);
      if (saved) engine_.ReloadSettings();
    });
  }
  a = MakeAction("about", S_GUI_MENU_ABOUT, 0);
  a->setIcon(st->standardIcon(QStyle::SP_MessageBoxQuestion));
  connect(a, &QAction::triggered, this, [this] {
    QMessageBox::about(this, Q(S_GUI_TITLE), Q(FormatStr(S_GUI_ABOUT_TEXT, kVersion)));
  });
}

void RMainWindow::BuildMenus() {
  QMenu* m = menuBar()->addMenu(Q(S_GUI_MENU_FILE));
  m->addAction(Action("online"));
  m->addAction(Action("filelog"));
  m->addAction(Action("userinfo"));
  m->addSeparator();
  m->addAction(Action("exit"));
  m = menuBar()->addMenu(Q(S_GUI_MENU_VIEW));
  m->addAction(Action("toolbar"));
  m->addAction(Action("menuimages"));
  m = menuBar()->addMenu(Q(S_GUI_MENU_EDIT));
  m->addAction(Action("screenlog"));
  m->addSeparator();
  m->addAction(Action("copy"));
  m->addAction(Action("clear"));
  m = menuBar()->addMenu(Q(S_GUI_MENU_SETUP));
  for (const char* n : {"setupserver", "setupipaccess", "setuplogging", "setupmessages",
                        "setupusers", "setupgroups", "setupdrives"}) {
    m->addAction(Action(n));
  }
  m = menuBar()->addMenu(Q(S_GUI_MENU_HELP));
  m->addAction(Action("about"));

  toolBar_ = addToolBar(Q(S_GUI_MENU_TOOLBAR));
  toolBar_->setObjectName("toolbar");
  toolBar_->setMovable(false);
  const char* const tools[] = {"online",       "userinfo",  nullptr,       "copy",
                               "clear",        nullptr,     "setupserver", "setupipaccess",
                               "setuplogging", "setupusers"};
  for (const char* n : tools) {
    if (n == nullptr) {
      toolBar_->addSeparator();
    } else {
      toolBar_->addAction(Action(n));
    }
  }
  Action("filelog")->setChecked(engine_.FileLogging());
  Action("screenlog")->setChecked(engine_.ScreenLogging());
}

void RMainWindow::BuildStatusBar() {
  statusBar()->showMessage(Q(S_GUI_READY));
  const std::string* texts[] = {&status_.SocketsText(), &status_.UsersText(),
                                &status_.TransfersText(), &status_.ThroughputField()};
  for (int i = 0; i < 4; ++i) {
    fields_[i] = new QLabel(Q(*texts[i]), this);
    fields_[i]->setObjectName(QString("statusfield%1").arg(i));
    fields_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    fields_[i]->setMinimumWidth(fontMetrics().horizontalAdvance("0000 (000) of 0000 Users") *
                                (i == 1 ? 1 : 3) / (i == 1 ? 1 : 4));
    statusBar()->addPermanentWidget(fields_[i]);
  }
}

void RMainWindow::BuildTray() {
  trayMenu_ = new QMenu(this);
  trayShowHide_ = trayMenu_->addAction(Q(S_GUI_TRAY_HIDE));
  connect(trayShowHide_, &QAction::triggered, this, [this] {
    if (isVisible()) {
      hide();
    } else {
      showNormal();
      raise();
      activateWindow();
    }
  });
  connect(trayMenu_, &QMenu::aboutToShow, this,
          [this] { trayShowHide_->setText(Q(isVisible() ? S_GUI_TRAY_HIDE : S_GUI_TRAY_SHOW)); });
  connect(trayMenu_->addAction(Q(S_GUI_TRAY_USERINFO)), &QAction::triggered, this,
          &RMainWindow::ShowUserInfo);
  connect(trayMenu_->addAction(Q(S_GUI_TRAY_ONLINE)), &QAction::triggered, this,
          [this] { engine_.ToggleOnline(); });
  trayMenu_->addSeparator();
  connect(trayMenu_->addAction(Q(S_GUI_TRAY_SHUTDOWN)), &QAction::triggered, this, &QWidget::close);
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  tray_ = new QSystemTrayIcon(this);
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick || r == QSystemTrayIcon::Trigger) {
      showNormal();
      raise();
      activateWindow();
    }
  });
  UpdateTray();
  tray_->show();
}

void RMainWindow::UpdateTray() {
  const RTrayIcon want = status_.Icon();
  // The window icon follows the tray picture, so a desktop without a tray
  // still shows the server's state.
  if (!trayIconSet_ || want != trayShown_) {
    trayShown_ = want;
    trayIconSet_ = true;
    const QIcon icon = TrayIcon(want);
    setWindowIcon(icon);
    if (tray_ != nullptr) tray_->setIcon(icon);
  }
  if (tray_ != nullptr) tray_->setToolTip(Q(status_.ToolTip()));
}

void RMainWindow::SetMenuImages(bool on) {
  for (QAction* a : actions_) a->setIconVisibleInMenu(on);
}

void RMainWindow::ApplySettingsAndShow(const RWindowSettingsStr& s) {
  if (s.placement) {
    const auto& p = *s.placement;
    setGeometry(p[0], p[1], p[2], p[3]);
  }
  pane_->SetLogFont(s.logFont);
  Action("toolbar")->setChecked(s.showToolBar);
  toolBar_->setVisible(s.showToolBar);
  Action("menuimages")->setChecked(s.showBmpMenus);
  SetMenuImages(s.showBmpMenus);
  const bool hidden = options_.hidden || s.invisible;
  if (hidden) return;
  if (options_.iconic || s.startIconic) {
    showMinimized();
  } else if (s.startMaximized) {
    showMaximized();
  } else {
    show();
  }
}

void RMainWindow::OnScreenLine(std::string_view text) {
  pane_->AppendLine(text);
}

void RMainWindow::OnStatusRecord(uint32_t kind, int32_t value, int32_t value2) {
  const unsigned changed = status_.Apply(kind, value, value2);
  const std::string* texts[] = {&status_.SocketsText(), &status_.UsersText(),
                                &status_.TransfersText(), &status_.ThroughputField()};
  for (int i = 0; i < 4; ++i) {
    if ((changed & (1u << i)) != 0) fields_[i]->setText(Q(*texts[i]));
  }
  if (kind == STATUS_ONLINE) Action("online")->setChecked(status_.Online());
  UpdateTray();
}

void RMainWindow::ShowConnection(bool up, std::string_view text) {
  if (connection_ == nullptr) {
    connection_ = new QLabel(this);
    connection_->setObjectName("connection");
    connection_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    statusBar()->insertPermanentWidget(0, connection_, 1);
  }
  connection_->setText(Q(std::string(text)));
  for (QLabel* f : fields_) f->setEnabled(up);
  if (tray_ != nullptr) {
    tray_->setToolTip(Q(up ? status_.ToolTip() : std::string(text)));
  }
}

void RMainWindow::OnNotify(uint32_t code, uint32_t session, std::string_view text) {
  if (userInfo_) userInfo_->OnNotify(code, session, text);
}

void RMainWindow::ShowUserInfo() {
  if (!userInfo_) {
    userInfo_ = new RUserInfoWindow(engine_, nullptr);
    userInfo_->setAttribute(Qt::WA_DeleteOnClose);
    const std::string ini = engine_.IniPath();
    if (!ini.empty()) {
      const auto s = LoadWindowSettings(RIniFile(ini));
      if (s.userInfoPlacement) {
        const auto& p = *s.userInfoPlacement;
        userInfo_->setGeometry(p[0], p[1], p[2], p[3]);
      }
    }
  }
  userInfo_->show();
  userInfo_->raise();
  userInfo_->activateWindow();
}

bool RMainWindow::RunSetupDialog(RSetupPage page) {
  const std::string ini = engine_.IniPath();
  if (ini.empty()) return false;
  return RunSetup(this, page, engine_);
}

int RMainWindow::AskExit(uint32_t users) {
  if (askExit) return askExit(users);
  QMessageBox box(QMessageBox::Question, Q(S_GUI_EXIT_TITLE), Q(FormatStr(S_GUI_EXIT_TEXT, users)),
                  QMessageBox::NoButton, this);
  QPushButton* stop = box.addButton(Q(S_GUI_EXIT_STOP), QMessageBox::DestructiveRole);
  QPushButton* wait = box.addButton(Q(S_GUI_EXIT_WAIT), QMessageBox::AcceptRole);
  QPushButton* cancel = box.addButton(Q(S_GUI_EXIT_CANCEL), QMessageBox::RejectRole);
  box.setDefaultButton(cancel);
  box.exec();
  if (box.clickedButton() == stop) return 0;
  if (box.clickedButton() == wait) return 1;
  return 2;
}

void RMainWindow::closeEvent(QCloseEvent* e) {
  if (!closing_ && !options_.noConfirm && !options_.hidden) {
    const uint32_t users = engine_.ConnectionsNow();
    if (users > 0) {
      const int answer = AskExit(users);
      if (answer != 0) {
        if (answer == 1) engine_.SetExitPending();
        e->ignore();
        return;
      }
    }
  }
  SaveWindowState();
  if (userInfo_) userInfo_->close();
  if (tray_ != nullptr) tray_->hide();
  e->accept();
  emit closed();
}

void RMainWindow::CloseNow() {
  closing_ = true;
  close();
}

void RMainWindow::SaveWindowState() {
  if (settingsSaved_) return;
  settingsSaved_ = true;
  RWindowStateStr w;
  w.visible = isVisible();
  w.minimized = isMinimized();
  // A maximised window keeps its normal placement for the next start.
  const QRect g = (isMaximized() || isFullScreen()) ? normalGeometry() : geometry();
  w.left = g.x();
  w.top = g.y();
  w.width = g.width();
  w.height = g.height();
  w.maximized = isMaximized();
  w.showToolBar = Action("toolbar")->isChecked();
  w.showBmpMenus = Action("menuimages")->isChecked();
  if (saveState) {
    saveState(w);
    return;
  }
  const std::string path = engine_.IniPath();
  if (path.empty()) return;
  RIniFile ini(path);
  if (!RGlobalSettings::SaveExitSettings(ini, w)) {
    pane_->AppendLine(FormatStr(S_GUI_ERR_WRITE, path));
  }
}

}  // namespace vantor
