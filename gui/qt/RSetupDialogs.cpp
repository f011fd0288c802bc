#include "gui/qt/RSetupDialogs.h"

#include <QFontDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

#include "config/RProfile.h"
#include "ftp/RIPHomes.h"
#include "gui/RGuiStrings.h"
#include "gui/RSetupRules.h"
#include "gui/qt/RAccountsDialog.h"
#include "gui/qt/RDrivesDialog.h"
#include "gui/qt/RLogPane.h"
#include "gui/qt/RMainWindow.h"
#include "gui/qt/RMessageFileEditor.h"
#include "gui/qt/RQtText.h"
#include "gui/qt/RServerKeys.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

std::string Trimmed(const QLineEdit* e) {
  return e->text().trimmed().toStdString();
}

constexpr const char* kIPAccess = "IP-ACCESS";
constexpr const char* kSignOnOff = "SIGNONOFF";

// Add, Remove and (optionally) Move up / Move down under a table.
QHBoxLayout* TableButtons(QTableWidget* table, std::function<void()> add, bool upDown) {
  auto* row = new QHBoxLayout;
  auto* addB = new QPushButton(Q(S_GUI_SET_ADD));
  auto* delB = new QPushButton(Q(S_GUI_SET_REMOVE));
  QObject::connect(addB, &QPushButton::clicked, table, std::move(add));
  QObject::connect(delB, &QPushButton::clicked, table, [table] {
    const int r = table->currentRow();
    if (r >= 0) table->removeRow(r);
  });
  row->addWidget(addB);
  row->addWidget(delB);
  if (upDown) {
    auto* up = new QPushButton(Q(S_GUI_SET_UP));
    auto* down = new QPushButton(Q(S_GUI_SET_DOWN));
    auto move = [table](int delta) {
      const int r = table->currentRow();
      const int to = r + delta;
      if (r < 0 || to < 0 || to >= table->rowCount()) return;
      for (int c = 0; c < table->columnCount(); ++c) {
        QWidget* wa = table->cellWidget(r, c);
        QWidget* wb = table->cellWidget(to, c);
        if (auto* ca = qobject_cast<QComboBox*>(wa)) {
          auto* cb = qobject_cast<QComboBox*>(wb);
          const int ia = ca->currentIndex();
          ca->setCurrentIndex(cb->currentIndex());
          cb->setCurrentIndex(ia);
          continue;
        }
        QTableWidgetItem* a = table->takeItem(r, c);
        QTableWidgetItem* b = table->takeItem(to, c);
        table->setItem(r, c, b);
        table->setItem(to, c, a);
      }
      table->setCurrentCell(to, table->currentColumn() < 0 ? 0 : table->currentColumn());
    };
    QObject::connect(up, &QPushButton::clicked, table, [move] { move(-1); });
    QObject::connect(down, &QPushButton::clicked, table, [move] { move(1); });
    row->addWidget(up);
    row->addWidget(down);
  }
  row->addStretch();
  return row;
}

QTableWidget* MakeTable(uint32_t headers, QWidget* parent) {
  auto* t = new QTableWidget(0, 0, parent);
  const QStringList h = Q(headers).split('\t');
  t->setColumnCount(static_cast<int>(h.size()));
  t->setHorizontalHeaderLabels(h);
  t->horizontalHeader()->setStretchLastSection(true);
  t->verticalHeader()->setVisible(false);
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  return t;
}

QString CellText(const QTableWidget* t, int r, int c) {
  const QTableWidgetItem* it = t->item(r, c);
  return it != nullptr ? it->text().trimmed() : QString();
}

}  // namespace

QHBoxLayout* WithEditButton(QLineEdit* field, const std::string& iniPath) {
  auto* row = new QHBoxLayout;
  row->addWidget(field);
  auto* edit = new QPushButton(Q(S_GUI_MSG_EDIT), field->parentWidget());
  edit->setObjectName(field->objectName() + "edit");
  QObject::connect(edit, &QPushButton::clicked, field,
                   [field, iniPath] { EditMessageFile(field->window(), iniPath, Trimmed(field)); });
  row->addWidget(edit);
  return row;
}

// --- base ---------------------------------------------------------------------

RSetupDialog::RSetupDialog(const std::string& iniPath, uint32_t title, QWidget* parent)
    : QDialog(parent), ini_(iniPath) {
  setWindowTitle(Q(title).remove('&').remove("..."));
  auto* top = new QVBoxLayout(this);
  body_ = new QVBoxLayout;
  top->addLayout(body_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &RSetupDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  top->addWidget(buttons);
}

bool RSetupDialog::TryAccept() {
  error_ = Validate();
  if (error_.empty() && !Save() && error_.empty()) error_ = FormatStr(S_GUI_ERR_WRITE, ini_.Path());
  if (!error_.empty()) {
    if (showErrors_) QMessageBox::warning(this, Q(S_GUI_ERR_TITLE), Q(error_));
    return false;
  }
  QDialog::accept();
  return true;
}

bool RSetupDialog::Write(const std::vector<RIniFile::Change>& changes) {
  if (changes.empty()) return true;
  if (!ini_.Apply(changes)) return false;
  saved_ = true;
  return true;
}

// --- FTP-Server ---------------------------------------------------------------------

namespace {
struct RFieldStr {
  const char* name;
  uint32_t label;
};
constexpr RFieldStr kServerFields[] = {
    {"PortNr", S_GUI_SET_PORT},
    {"MaxNrUsers", S_GUI_SET_MAXUSERS},
    {"SpeedLimit", S_GUI_SET_SPEED},
    {"DirCacheSize", S_GUI_SET_CACHESIZE},
    {"DirCacheTime", S_GUI_SET_CACHETIME},
    {"AntiHammerWindow", S_GUI_SET_HAMMERWINDOW},
    {"AntiHammerTries", S_GUI_SET_HAMMERTRIES},
    {"AntiHammerBlock", S_GUI_SET_HAMMERBLOCK},
    {"DirListMask", S_GUI_SET_MASK},
    {"LinkFile", S_GUI_SET_LINKFILE},
    {"LinkFile2", S_GUI_SET_LINKFILE2},
    {"PassivePortRange", S_GUI_SET_PASVRANGE},
    {"PassiveAddress", S_GUI_SET_PASVADDRESS},
    {"ProxyProtocolFrom", S_GUI_SET_PROXYFROM},
};
constexpr RFieldStr kServerSwitches[] = {
    {"Security", S_GUI_SET_SECURITY},
    {"CheckAnonPass", S_GUI_SET_ANONPASS},
    {"DeletePartialUploads", S_GUI_SET_PARTIAL},
    {"BlockFTPBounceAttack", S_GUI_SET_BOUNCE},
    {"EncryptPasswords", S_GUI_SET_ENCRYPT},
    {"BlockAntiTimeOut", S_GUI_SET_ANTITIMEOUT},
    {"LowerCaseFileDir", S_GUI_SET_LOWERCASE},
    {"DirCacheEnable", S_GUI_SET_CACHE},
    {"AutoStart", S_GUI_SET_AUTOSTART},
    {"ListenToIPHomesOnly", S_GUI_SET_HOMESONLY},
    {"AntiHammer", S_GUI_SET_HAMMER},
};

std::string HomeValueText(const QTableWidget* t, int r) {
  return IPHomeValue(S(CellText(t, r, 0)), S(CellText(t, r, 1)), S(CellText(t, r, 2)));
}
}  // namespace

RServerDialog::RServerDialog(const std::string& iniPath, QWidget* parent)
    : RSetupDialog(iniPath, S_GUI_MENU_SERVER, parent) {
  setObjectName("setupserver");
  orig_.Load(ini_);
  const RGlobalSettings& g = orig_;
  auto* cols = new QHBoxLayout;
  auto* form = new QFormLayout;
  const std::string values[] = {
      RFormat("%d", g.portNr),
      g.maxNrUsers < 0 ? std::string() : RFormat("%d", g.maxNrUsers),
      g.speedLimit <= 0 ? std::string() : RFormat("%ld", g.speedLimit),
      RFormat("%d", g.dirCacheSize),
      RFormat("%d", g.dirCacheTime),
      RFormat("%d", g.antiHammerWindow),
      RFormat("%d", g.antiHammerTries),
      RFormat("%d", g.antiHammerBlock),
      g.dirListMask,
      g.linkFile,
      g.linkFile2,
      g.passivePortLow > 0 ? RFormat("%d-%d", g.passivePortLow, g.passivePortHigh) : std::string(),
      g.passiveAddress,
      g.proxyProtocolFrom,
  };
  for (size_t i = 0; i < std::size(kServerFields); ++i) {
    auto* e = new QLineEdit(Q(values[i]), this);
    e->setObjectName(kServerFields[i].name);
    form->addRow(Q(kServerFields[i].label), e);
  }
  uploadMode = new QComboBox(this);
  uploadMode->addItems({Q(S_GUI_SET_ANY), Q(S_GUI_SET_SHARED), Q(S_GUI_SET_EXCLUSIVE)});
  uploadMode->setCurrentIndex(static_cast<int>(g.openFilesUploadMode));
  form->addRow(Q(S_GUI_SET_UPLOADMODE), uploadMode);
  keys_ = std::make_unique<RServerKeys>(ini_, form, this);
  cols->addLayout(form);

  auto* switches = new QVBoxLayout;
  const bool on[] = {g.security,
                     g.checkAnonPass,
                     g.deletePartialUploads,
                     g.blockFTPBounceAttack,
                     g.encryptPasswords,
                     g.blockAntiTimeOut,
                     g.lowerCaseFileDir,
                     g.dirCacheEnable,
                     g.autoStart,
                     g.listenToIPHomesOnly,
                     g.antiHammer};
  for (size_t i = 0; i < std::size(kServerSwitches); ++i) {
    auto* c = new QCheckBox(Q(kServerSwitches[i].label), this);
    c->setObjectName(kServerSwitches[i].name);
    c->setChecked(on[i]);
    switches->addWidget(c);
  }
  switches->addStretch();
  cols->addLayout(switches);
  // Three pages, so the dialog with OK and Cancel fits a 1280x800 screen.
  auto* tabs = new QTabWidget(this);
  tabs->setObjectName("servertabs");
  auto* general = new QWidget(tabs);
  general->setLayout(cols);
  tabs->addTab(general, Q(S_GUI_SET_GENERAL));
  QGroupBox* tls = keys_->TlsGroup();
  tls->setTitle(QString());
  tls->setFlat(true);
  tabs->addTab(tls, Q(S_GUI_SET_TLS));
  auto* box = new QWidget(tabs);
  auto* bl = new QVBoxLayout(box);
  homes = MakeTable(S_GUI_SET_HOMES_HEAD, box);
  for (const RIPHomeStr& h : LoadIPHomes(ini_)) {
    const int r = homes->rowCount();
    homes->insertRow(r);
    auto* a = new QTableWidgetItem(Q(h.addressText));
    a->setData(Qt::UserRole, h.n);
    homes->setItem(r, 0, a);
    homes->setItem(r, 1, new QTableWidgetItem(Q(h.name)));
    homes->setItem(r, 2, new QTableWidgetItem(Q(h.passiveText)));
    origHomes_.push_back(HomeValueText(homes, r));
  }
  bl->addWidget(homes);
  bl->addLayout(TableButtons(
      homes,
      [this] {
        const int r = homes->rowCount();
        homes->insertRow(r);
        homes->setItem(r, 0, new QTableWidgetItem("0.0.0.0"));
        homes->setCurrentCell(r, 0);
        homes->editItem(homes->item(r, 0));
      },
      false));
  tabs->addTab(box, Q(S_GUI_SET_HOMES));
  Body()->addWidget(tabs);
}

RServerDialog::~RServerDialog() = default;

QLineEdit* RServerDialog::Field(const char* name) const {
  return findChild<QLineEdit*>(name);
}
QCheckBox* RServerDialog::Switch(const char* name) const {
  return findChild<QCheckBox*>(name);
}

std::string RServerDialog::Validate() {
  struct Range {
    const char* name;
    int64_t min, max;
    bool emptyOk;
  };
  const Range ranges[] = {
      {"PortNr", 1, 65535, false},          {"MaxNrUsers", 0, 1000000, true},
      {"SpeedLimit", 1, 1LL << 40, true},   {"DirCacheSize", 1, 150, false},
      {"DirCacheTime", 1, 31536000, false}, {"AntiHammerWindow", 1, 86400, false},
      {"AntiHammerTries", 1, 10000, false}, {"AntiHammerBlock", 1, 31536000, false},
  };
  for (const Range& r : ranges) {
    const std::string v = Trimmed(Field(r.name));
    if (v.empty() && r.emptyOk) continue;
    if (std::string e = CheckNumber(v, r.min, r.max); !e.empty()) return e;
  }
  if (std::string e = CheckListMask(Trimmed(Field("DirListMask"))); !e.empty()) return e;
  if (std::string e = CheckPassiveSettings(Trimmed(Field("PassivePortRange")),
                                           Trimmed(Field("PassiveAddress")));
      !e.empty()) {
    return e;
  }
  for (const char* n : {"LinkFile", "LinkFile2"}) {
    if (std::string e = CheckPlainValue(Trimmed(Field(n))); !e.empty()) return e;
  }
  if (std::string e = keys_->Validate(Trimmed(Field("PortNr"))); !e.empty()) return e;
  if (std::string e = CheckProxySources(Trimmed(Field("ProxyProtocolFrom"))); !e.empty()) {
    return e;
  }
  std::vector<std::string> seen;
  for (int r = 0; r < homes->rowCount(); ++r) {
    const std::string a = S(CellText(homes, r, 0));
    if (std::string e = CheckIPHome(a, S(CellText(homes, r, 1)), S(CellText(homes, r, 2)));
        !e.empty()) {
      return e;
    }
    if (std::find(seen.begin(), seen.end(), a) != seen.end()) return FormatStr(S_GUI_ERR_EXISTS, a);
    seen.push_back(a);
  }
  return {};
}

// Fields the administrator changed are taken over into `base`, a fresh read
// of the file, so keys nobody touched keep what the file says now.
RGlobalSettings RServerDialog::Collect(const RGlobalSettings& base) {
  RGlobalSettings g = base;
  auto num = [this](const char* n, int64_t empty) {
    const std::string v = Trimmed(Field(n));
    return v.empty() ? empty : *ParseBoundedNumber(v, INT64_MIN / 2, INT64_MAX / 2);
  };
  auto changedNum = [&](const char* n, int64_t origValue, int64_t empty) {
    const bool c = num(n, empty) != origValue;
    changed_ = changed_ || c;
    return c;
  };
  const RGlobalSettings& o = orig_;
  if (changedNum("PortNr", o.portNr, 21)) g.portNr = static_cast<int32_t>(num("PortNr", 21));
  if (changedNum("MaxNrUsers", o.maxNrUsers, -1)) {
    g.maxNrUsers = static_cast<int32_t>(num("MaxNrUsers", -1));
  }
  if (changedNum("SpeedLimit", o.speedLimit <= 0 ? -1 : o.speedLimit, -1)) {
    g.speedLimit = num("SpeedLimit", -1);
  }
  if (changedNum("DirCacheSize", o.dirCacheSize, 25)) {
    g.dirCacheSize = static_cast<int32_t>(num("DirCacheSize", 25));
  }
  if (changedNum("DirCacheTime", o.dirCacheTime, 600)) {
    g.dirCacheTime = static_cast<int32_t>(num("DirCacheTime", 600));
  }
  if (changedNum("AntiHammerWindow", o.antiHammerWindow, 30)) {
    g.antiHammerWindow = static_cast<int32_t>(num("AntiHammerWindow", 30));
  }
  if (changedNum("AntiHammerTries", o.antiHammerTries, 4)) {
    g.antiHammerTries = static_cast<int32_t>(num("AntiHammerTries", 4));
  }
  if (changedNum("AntiHammerBlock", o.antiHammerBlock, 300)) {
    g.antiHammerBlock = static_cast<int32_t>(num("AntiHammerBlock", 300));
  }
  auto text = [&](const char* n, const std::string& origValue, std::string& out) {
    const std::string v = Trimmed(Field(n));
    if (v == origValue) return;
    out = v;
    changed_ = true;
  };
  text("DirListMask", o.dirListMask, g.dirListMask);
  text("LinkFile", o.linkFile, g.linkFile);
  text("LinkFile2", o.linkFile2, g.linkFile2);
  text("PassiveAddress", o.passiveAddress, g.passiveAddress);
  text("ProxyProtocolFrom", o.proxyProtocolFrom, g.proxyProtocolFrom);
  const std::string range = Trimmed(Field("PassivePortRange"));
  const std::string origRange =
      o.passivePortLow > 0 ? RFormat("%d-%d", o.passivePortLow, o.passivePortHigh) : std::string();
  if (range != origRange) {
    (void)ParsePassiveRange(range, g.passivePortLow, g.passivePortHigh);
    changed_ = true;
  }
  bool* targets[] = {&g.security,
                     &g.checkAnonPass,
                     &g.deletePartialUploads,
                     &g.blockFTPBounceAttack,
                     &g.encryptPasswords,
                     &g.blockAntiTimeOut,
                     &g.lowerCaseFileDir,
                     &g.dirCacheEnable,
                     &g.autoStart,
                     &g.listenToIPHomesOnly,
                     &g.antiHammer};
  const bool origOn[] = {o.security,
                         o.checkAnonPass,
                         o.deletePartialUploads,
                         o.blockFTPBounceAttack,
                         o.encryptPasswords,
                         o.blockAntiTimeOut,
                         o.lowerCaseFileDir,
                         o.dirCacheEnable,
                         o.autoStart,
                         o.listenToIPHomesOnly,
                         o.antiHammer};
  for (size_t i = 0; i < std::size(kServerSwitches); ++i) {
    const bool now = Switch(kServerSwitches[i].name)->isChecked();
    if (now == origOn[i]) continue;
    *targets[i] = now;
    changed_ = true;
  }
  const auto mode = static_cast<RUploadMode>(uploadMode->currentIndex());
  if (mode != o.openFilesUploadMode) {
    g.openFilesUploadMode = mode;
    changed_ = true;
  }
  return g;
}

bool RServerDialog::Save() {
  RGlobalSettings fresh;
  fresh.Load(ini_);
  changed_ = false;
  const RGlobalSettings g = Collect(fresh);
  std::vector<std::string> homeValues;
  for (int r = 0; r < homes->rowCount(); ++r) homeValues.push_back(HomeValueText(homes, r));
  const bool homesChanged = homeValues != origHomes_;
  std::vector<RIniFile::Change> c;
  keys_->Changes(c);
  if (!changed_ && !homesChanged && c.empty()) return true;
  if (changed_ && (!g.SaveServerSettings(ini_) || !g.SaveFtpServerSettings(ini_))) return false;
  auto setNum = [&c](const char* key, int32_t v) {
    c.push_back({kGlobalSection, key, RFormat("%d", v)});
  };
  if (g.dirListMask != fresh.dirListMask)
    c.push_back({kGlobalSection, "DirListMask", g.dirListMask});
  if (g.antiHammer != fresh.antiHammer) {
    c.push_back({kGlobalSection, "AntiHammer", std::string(YesNo(g.antiHammer))});
  }
  if (g.antiHammerWindow != fresh.antiHammerWindow) setNum("AntiHammerWindow", g.antiHammerWindow);
  if (g.antiHammerTries != fresh.antiHammerTries) setNum("AntiHammerTries", g.antiHammerTries);
  if (g.antiHammerBlock != fresh.antiHammerBlock) setNum("AntiHammerBlock", g.antiHammerBlock);
  if (!Write(c)) return false;
  MarkSaved();
  if (homesChanged) {
    std::vector<RIPHomeStr> list;
    uint32_t next = 1;
    for (int r = 0; r < homes->rowCount(); ++r) {
      next = std::max(next, homes->item(r, 0)->data(Qt::UserRole).toUInt() + 1);
    }
    for (int r = 0; r < homes->rowCount(); ++r) {
      // A home keeps its key number: "USER=name@n" sections refer to it.
      uint32_t n = homes->item(r, 0)->data(Qt::UserRole).toUInt();
      if (n == 0) n = next++;
      auto h = ParseIPHome(n, HomeValueText(homes, r));
      if (h) list.push_back(*h);
    }
    if (!SaveIPHomes(ini_, list)) return false;
  }
  return true;
}

// --- IP-Access ---------------------------------------------------------------------------

RIPAccessDialog::RIPAccessDialog(const std::string& iniPath, QWidget* parent)
    : RSetupDialog(iniPath, S_GUI_MENU_IPACCESS, parent) {
  setObjectName("setupipaccess");
  auto* note = new QLabel(Q(S_GUI_SET_RULENOTE), this);
  note->setWordWrap(true);
  Body()->addWidget(note);
  rules = MakeTable(S_GUI_SET_RULES_HEAD, this);
  // Only "A," and "D," rules take part; others are shown nowhere and dropped
  // on save, as the server ignores them.
  for (const std::string& v : ReadNumberedKeys(ini_, kIPAccess, "IP", true)) {
    if (v.size() >= 2 && (v[0] == 'A' || v[0] == 'D') && v[1] == ',') {
      AddRule(v[0] == 'A', Q(v.substr(2)));
    }
  }
  orig_ = Values();
  Body()->addWidget(rules);
  Body()->addLayout(TableButtons(
      rules, [this] { AddRule(true, QString()); }, true));
  resize(520, 420);
}

void RIPAccessDialog::AddRule(bool allow, const QString& pattern) {
  const int r = rules->rowCount();
  rules->insertRow(r);
  auto* type = new QComboBox(rules);
  type->addItems({Q(S_GUI_SET_ALLOW), Q(S_GUI_SET_DENY)});
  type->setCurrentIndex(allow ? 0 : 1);
  rules->setCellWidget(r, 0, type);
  rules->setItem(r, 1, new QTableWidgetItem(pattern));
  rules->setCurrentCell(r, 1);
}

std::vector<std::string> RIPAccessDialog::Values() const {
  std::vector<std::string> v;
  for (int r = 0; r < rules->rowCount(); ++r) {
    const auto* type = qobject_cast<QComboBox*>(rules->cellWidget(r, 0));
    v.push_back(std::string(type->currentIndex() == 0 ? "A," : "D,") + S(CellText(rules, r, 1)));
  }
  return v;
}

std::string RIPAccessDialog::Validate() {
  for (int r = 0; r < rules->rowCount(); ++r) {
    if (std::string e = CheckIPPattern(S(CellText(rules, r, 1))); !e.empty()) return e;
  }
  return {};
}

bool RIPAccessDialog::Save() {
  const std::vector<std::string> v = Values();
  if (v == orig_) return true;
  std::vector<RIniFile::Change> c;
  c.push_back({kIPAccess, "", std::nullopt});
  for (size_t i = 0; i < v.size(); ++i) c.push_back({kIPAccess, RFormat("IP%u", i + 1), v[i]});
  return Write(c);
}

// --- Logging -------------------------------------------------------------------------------

namespace {
constexpr uint32_t kSwitchLabels[LS_COUNT] = {
    S_GUI_LOG_SYSTEM, S_GUI_LOG_SECURITY,  S_GUI_LOG_COMMANDS, S_GUI_LOG_REPLIES,  S_GUI_LOG_GETS,
    S_GUI_LOG_PUTS,   S_GUI_LOG_HOSTNAMES, S_GUI_LOG_DIRTY,    S_GUI_LOG_EXTERNAL,
};
}  // namespace

RLoggingDialog::RLoggingDialog(RGuiEngine& engine, QWidget* parent)
    : RSetupDialog(engine.IniPath(), S_GUI_MENU_LOGGING, parent), engine_(engine) {
  setObjectName("setuplogging");
  orig_ = engine.LogSettings();
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Q(S_GUI_LOG_SCREEN)), 0, 1);
  grid->addWidget(new QLabel(Q(S_GUI_LOG_FILE)), 0, 2);
  for (int i = 0; i < LS_COUNT; ++i) {
    grid->addWidget(new QLabel(Q(kSwitchLabels[i])), i + 1, 0);
    screen[i] = new QCheckBox(this);
    screen[i]->setChecked(orig_.screen[i]);
    file[i] = new QCheckBox(this);
    file[i]->setChecked(orig_.file[i]);
    grid->addWidget(screen[i], i + 1, 1);
    grid->addWidget(file[i], i + 1, 2);
  }
  Body()->addLayout(grid);
  auto* form = new QFormLayout;
  logging = new QCheckBox(Q(S_GUI_LOG_TOFILE), this);
  logging->setChecked(orig_.logging);
  form->addRow(logging);
  logfile = new QLineEdit(Q(orig_.logfile), this);
  form->addRow(Q(S_GUI_LOG_FILENAME), logfile);
  rotation = new QComboBox(this);
  for (uint32_t id = S_GUI_LOG_ROT_NONE; id <= S_GUI_LOG_ROT_YEARLY; ++id) rotation->addItem(Q(id));
  rotation->setCurrentIndex(static_cast<int>(orig_.rotation));
  form->addRow(Q(S_GUI_LOG_ROTATION), rotation);
  // The transfer log follows the log file's rotation, so it sits beside it.
  origXferLog_ = ini_.GetString(kGlobalSection, "XferLog");
  xferLog = new QLineEdit(Q(origXferLog_), this);
  xferLog->setObjectName("XferLog");
  form->addRow(Q(S_GUI_LOG_XFERFILE), xferLog);
  dontLog = new QLineEdit(Q(orig_.ipDontLog), this);
  form->addRow(Q(S_GUI_LOG_DONTLOG), dontLog);
  ipLogMinutes = new QLineEdit(Q(RFormat("%d", orig_.ipLogMinutes)), this);
  form->addRow(Q(S_GUI_LOG_IPMIN), ipLogMinutes);
  ipLogFile = new QLineEdit(Q(orig_.ipLogFile), this);
  form->addRow(Q(S_GUI_LOG_IPFILE), ipLogFile);
  font = new QPushButton(this);
  font->setObjectName("logfont");
  SetLogFont(orig_.font);
  connect(font, &QPushButton::clicked, this, [this] {
    bool ok = false;
    const QFont picked = QFontDialog::getFont(&ok, LogFontToQFont(logFont_), this);
    if (ok) SetLogFont(QFontToLogFont(picked, logFont_));
  });
  form->addRow(Q(S_GUI_LOG_FONT), font);
  Body()->addLayout(form);
}

std::string RLoggingDialog::Validate() {
  for (const QLineEdit* e : {logfile, xferLog, dontLog, ipLogFile}) {
    if (std::string err = CheckPlainValue(S(e->text())); !err.empty()) return err;
  }
  if (std::string e = CheckNumber(Trimmed(ipLogMinutes), 0, 999); !e.empty()) return e;
  for (const QString& p : dontLog->text().split(',', Qt::SkipEmptyParts)) {
    const std::string pattern = S(p.trimmed());
    if (pattern.empty()) continue;
    if (std::string e = CheckIPPattern(pattern); !e.empty()) return e;
  }
  return {};
}

void RLoggingDialog::SetLogFont(const RLogFontStr& f) {
  logFont_ = f;
  const QFont q = LogFontToQFont(f);
  // Pixels back to points at 96 dpi, as the font dialog shows them.
  const int pt = (std::abs(f.height) * 3 + 2) / 4;
  font->setText(Q(FormatStr(S_GUI_LOG_FONTSIZE, f.face, pt)));
  font->setFont(q);
}

RLogSettingsStr RLoggingDialog::Collect() const {
  RLogSettingsStr s = orig_;
  for (int i = 0; i < LS_COUNT; ++i) {
    s.screen[i] = screen[i]->isChecked();
    s.file[i] = file[i]->isChecked();
  }
  s.logging = logging->isChecked();
  s.logfile = Trimmed(logfile);
  s.rotation = static_cast<RLogRotation>(rotation->currentIndex());
  s.ipDontLog = Trimmed(dontLog);
  s.ipLogMinutes = static_cast<int32_t>(*ParseBoundedNumber(Trimmed(ipLogMinutes), 0, 999));
  s.ipLogFile = Trimmed(ipLogFile);
  s.font = logFont_;
  return s;
}

bool RLoggingDialog::Save() {
  const RLogSettingsStr s = Collect();
  const RLogSettingsStr& o = orig_;
  const bool same = s.screen == o.screen && s.file == o.file && s.logging == o.logging &&
                    s.logfile == o.logfile && s.rotation == o.rotation &&
                    s.ipDontLog == o.ipDontLog && s.ipLogMinutes == o.ipLogMinutes &&
                    s.ipLogFile == o.ipLogFile && s.font == o.font;
  if (!same) {
    if (!engine_.SaveLogSettings(s)) return false;
    MarkSaved();
  }
  const std::string x = Trimmed(xferLog);
  if (x == origXferLog_) return true;
  // Emptied: no transfer log, the key's default.
  return Write({{kGlobalSection, "XferLog",
                 x.empty() ? std::optional<std::string>() : std::optional<std::string>(x)}});
}

// --- Messages ------------------------------------------------------------------------------

RMessagesDialog::RMessagesDialog(const std::string& iniPath, QWidget* parent)
    : RSetupDialog(iniPath, S_GUI_MENU_MESSAGES, parent) {
  setObjectName("setupmessages");
  homes_.push_back({-1, Q(S_GUI_MSG_ALLHOMES)});
  for (const RIPHomeStr& h : LoadIPHomes(ini_)) {
    homes_.push_back({static_cast<int>(h.n),
                      Q(h.addressText) + (h.name.empty() ? QString() : " (" + Q(h.name) + ")")});
  }
  files = MakeTable(S_GUI_MSG_HEAD, this);
  for (const std::string& v : ReadNumberedKeys(ini_, kSignOnOff, "MessageFiles", true)) {
    const size_t a = v.find('|');
    const size_t b = a == std::string::npos ? std::string::npos : v.find('|', a + 1);
    if (b == std::string::npos) continue;
    const auto n = ScanInt(v.substr(0, a));
    if (!n) continue;
    AddRow(*n, Q(v.substr(a + 1, b - a - 1)), Q(v.substr(b + 1)));
  }
  orig_ = Values();
  Body()->addWidget(files);
  QHBoxLayout* buttons = TableButtons(
      files, [this] { AddRow(-1, {}, {}); }, false);
  // The file of the selected cell: the sign-off column, else the sign-on one.
  auto* edit = new QPushButton(Q(S_GUI_MSG_EDIT), this);
  edit->setObjectName("editmessage");
  connect(edit, &QPushButton::clicked, this, [this] {
    const int r = files->currentRow();
    if (r < 0) return;
    EditMessageFile(this, ini_.Path(), S(CellText(files, r, files->currentColumn() == 2 ? 2 : 1)));
  });
  buttons->insertWidget(2, edit);
  Body()->addLayout(buttons);
  auto* form = new QFormLayout;
  RGlobalSettings g;
  g.Load(ini_);
  origDir_ = g.dirChangeMesFile;
  origDir2_ = g.dirChangeMesFile2;
  dirChange = new QLineEdit(Q(origDir_), this);
  dirChange->setObjectName("DirChangeMesFile");
  dirChange2 = new QLineEdit(Q(origDir2_), this);
  dirChange2->setObjectName("DirChangeMesFile2");
  form->addRow(Q(S_GUI_MSG_DIRCHANGE), WithEditButton(dirChange, ini_.Path()));
  form->addRow(Q(S_GUI_MSG_DIRCHANGE2), WithEditButton(dirChange2, ini_.Path()));
  Body()->addLayout(form);
  resize(640, 380);
}

void RMessagesDialog::AddRow(int home, const QString& signOn, const QString& signOff) {
  const int r = files->rowCount();
  files->insertRow(r);
  auto* combo = new QComboBox(files);
  int pick = -1;
  for (size_t i = 0; i < homes_.size(); ++i) {
    combo->addItem(homes_[i].second, homes_[i].first);
    if (homes_[i].first == home) pick = static_cast<int>(i);
  }
  if (pick < 0) {
    // An entry for a home that no longer exists is kept visible, so saving
    // does not silently drop it.
    combo->addItem(QString("IP%1 ?").arg(home), home);
    pick = combo->count() - 1;
  }
  combo->setCurrentIndex(pick);
  files->setCellWidget(r, 0, combo);
  files->setItem(r, 1, new QTableWidgetItem(signOn));
  files->setItem(r, 2, new QTableWidgetItem(signOff));
}

std::vector<std::string> RMessagesDialog::Values() const {
  std::vector<std::string> v;
  for (int r = 0; r < files->rowCount(); ++r) {
    const auto* combo = qobject_cast<QComboBox*>(files->cellWidget(r, 0));
    v.push_back(RFormat("%d|%s|%s", combo->currentData().toInt(), S(CellText(files, r, 1)),
                        S(CellText(files, r, 2))));
  }
  return v;
}

std::string RMessagesDialog::Validate() {
  std::vector<int> seen;
  for (int r = 0; r < files->rowCount(); ++r) {
    for (int c = 1; c <= 2; ++c) {
      const std::string f = S(CellText(files, r, c));
      if (f.find('|') != std::string::npos) return LoadStr(S_GUI_ERR_PIPE);
      if (std::string e = CheckPlainValue(f); !e.empty()) return e;
    }
    const int home = qobject_cast<QComboBox*>(files->cellWidget(r, 0))->currentData().toInt();
    if (std::find(seen.begin(), seen.end(), home) != seen.end())
      return LoadStr(S_GUI_ERR_HOMETWICE);
    seen.push_back(home);
  }
  for (const QLineEdit* e : {dirChange, dirChange2}) {
    if (std::string err = CheckPlainValue(S(e->text())); !err.empty()) return err;
  }
  return {};
}

bool RMessagesDialog::Save() {
  std::vector<RIniFile::Change> c;
  const std::vector<std::string> v = Values();
  if (v != orig_) {
    c.push_back({kSignOnOff, "", std::nullopt});
    for (size_t i = 0; i < v.size(); ++i) {
      c.push_back({kSignOnOff, RFormat("MessageFiles%u", i + 1), v[i]});
    }
  }
  auto file = [&c](const char* key, const std::string& now, const std::string& was) {
    if (now == was) return;
    c.push_back({kGlobalSection, key,
                 now.empty() ? std::optional<std::string>() : std::optional<std::string>(now)});
  };
  file("DirChangeMesFile", Trimmed(dirChange), origDir_);
  file("DirChangeMesFile2", Trimmed(dirChange2), origDir2_);
  return Write(c);
}

// --- entry -------------------------------------------------------------------------------------

bool RunSetup(QWidget* parent, RSetupPage page, RGuiEngine& engine) {
  const std::string ini = engine.IniPath();
  if (ini.empty()) return false;
  std::unique_ptr<RSetupDialog> d;
  switch (page) {
    case RSetupPage::Server:
      d = std::make_unique<RServerDialog>(ini, parent);
      break;
    case RSetupPage::IPAccess:
      d = std::make_unique<RIPAccessDialog>(ini, parent);
      break;
    case RSetupPage::Logging:
      d = std::make_unique<RLoggingDialog>(engine, parent);
      break;
    case RSetupPage::Messages:
      d = std::make_unique<RMessagesDialog>(ini, parent);
      break;
    case RSetupPage::Users:
      d = std::make_unique<RAccountsDialog>(ini, false, parent);
      break;
    case RSetupPage::Groups:
      d = std::make_unique<RAccountsDialog>(ini, true, parent);
      break;
    case RSetupPage::Drives:
      d = std::make_unique<RDrivesDialog>(ini, parent);
      break;
  }
  d->exec();
  return d->Saved();
}

}  // namespace vantor
