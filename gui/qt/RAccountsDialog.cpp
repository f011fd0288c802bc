#include "gui/qt/RAccountsDialog.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <random>

#include "accounts/RCrypt.h"
#include "accounts/RPasswordHash.h"
#include "accounts/RSKey.h"
#include "config/RProfile.h"
#include "gui/RGuiStrings.h"
#include "gui/RSetupRules.h"
#include "gui/qt/RQtText.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr std::string_view kLetters = "RWAMELCDP";

struct RKeyStr {
  const char* key;
  uint32_t label;
  int64_t min;  // numbers only
  int64_t max;
};
// Text keys (min > max: free text).
constexpr RKeyStr kTextKeys[] = {
    {"HomeDir", S_GUI_ACC_HOMEDIR, 1, 0},
    {"LoginMesFile", S_GUI_ACC_LOGINMES, 1, 0},
    {"Group", S_GUI_ACC_GROUP, 1, 0},
    {"TimeOut", S_GUI_ACC_TIMEOUT, 0, 86400},
    {"MaxNrUsers", S_GUI_ACC_MAXUSERS, -1, 1000000},
    {"MaxUsersLoginPerIP", S_GUI_ACC_PERIP, 0, 1000000},
    {"SpeedLimit", S_GUI_ACC_SPEED, -1, 1LL << 40},
    {"RatioUp", S_GUI_ACC_RATIOUP, 1, 1000000},
    {"RatioDown", S_GUI_ACC_RATIODOWN, 1, 1000000},
    {"RatiosCredit", S_GUI_ACC_CREDIT, 1, 0},
};
constexpr RKeyStr kSwitchKeys[] = {
    {"Enable", S_GUI_ACC_ENABLE, 0, 0},           {"HideHidden", S_GUI_ACC_HIDEHIDDEN, 0, 0},
    {"RelPaths", S_GUI_ACC_RELPATHS, 0, 0},       {"ChangePassword", S_GUI_ACC_CHANGEPASS, 0, 0},
    {"AlwaysAllowLogin", S_GUI_ACC_ALWAYS, 0, 0}, {"RatiosEnable", S_GUI_ACC_RATIOS, 0, 0},
    {"QuotaEnable", S_GUI_ACC_QUOTA, 0, 0},       {"RequireTLS", S_GUI_ACC_REQUIRETLS, 0, 0},
};
constexpr const char* kRatioWords[] = {"", "FilesPerSession", "BytesPerSession", "FilesOverall",
                                       "BytesOverall"};
constexpr const char* kPasswordTypes[] = {"", "OTP S/KEY MD4", "OTP S/KEY MD5"};

// "%lf" as the ratio code reads it: a plain decimal fraction.
bool IsDecimalFraction(std::string_view v) {
  if (!v.empty() && (v.front() == '-' || v.front() == '+')) v.remove_prefix(1);
  bool digit = false, dot = false;
  for (char c : v) {
    if (c == '.' && !dot) {
      dot = true;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      digit = true;
    } else {
      return false;
    }
  }
  return digit;
}

std::string NewSalt() {
  static constexpr char kSaltChars[] =
      "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::random_device rd;
  std::string s;
  for (int i = 0; i < 2; ++i) s += kSaltChars[rd() % 64];
  return s;
}

std::optional<std::string> Opt(const std::string& v) {
  return v.empty() ? std::nullopt : std::optional<std::string>(v);
}

}  // namespace

RAccountsDialog::RAccountsDialog(const std::string& iniPath, bool groups, QWidget* parent)
    : RSetupDialog(iniPath, groups ? S_GUI_MENU_GROUPS : S_GUI_MENU_USERS, parent),
      groups_(groups),
      prefix_(groups ? "GROUP=" : "USER=") {
  setObjectName(groups ? "setupgroups" : "setupusers");
  auto* cols = new QHBoxLayout;
  auto* left = new QVBoxLayout;
  accounts = new QListWidget(this);
  left->addWidget(accounts);
  auto* newB = new QPushButton(Q(S_GUI_ACC_NEW), this);
  auto* renB = new QPushButton(Q(S_GUI_ACC_RENAME), this);
  auto* delB = new QPushButton(Q(S_GUI_ACC_DELETE), this);
  for (QPushButton* b : {newB, renB, delB}) left->addWidget(b);
  cols->addLayout(left, 1);
  connect(newB, &QPushButton::clicked, this, [this] {
    bool ok = false;
    const QString n = QInputDialog::getText(this, Q(S_GUI_ACC_NEW).remove('&'), Q(S_GUI_ACC_NAME),
                                            QLineEdit::Normal, {}, &ok);
    if (ok && !CreateAccount(S(n))) QMessageBox::warning(this, Q(S_GUI_ERR_TITLE), Q(Error()));
  });
  connect(renB, &QPushButton::clicked, this, [this] {
    if (current_.empty()) return;
    bool ok = false;
    const QString n = QInputDialog::getText(this, Q(S_GUI_ACC_RENAME).remove('&'),
                                            Q(S_GUI_ACC_NAME), QLineEdit::Normal, Q(current_), &ok);
    if (ok && !RenameAccount(S(n))) QMessageBox::warning(this, Q(S_GUI_ERR_TITLE), Q(Error()));
  });
  connect(delB, &QPushButton::clicked, this, [this] {
    if (current_.empty()) return;
    if (QMessageBox::question(this, Q(S_GUI_ACC_DELETE).remove('&'),
                              Q(FormatStr(S_GUI_ACC_DELETEQ, current_))) != QMessageBox::Yes) {
      return;
    }
    (void)DeleteAccount();
  });
  connect(accounts, &QListWidget::currentTextChanged, this, [this](const QString& t) {
    if (loading_ || S(t) == current_) return;
    if (!Select(S(t))) {
      QMessageBox::warning(this, Q(S_GUI_ERR_TITLE), Q(Error()));
      loading_ = true;
      const auto found = accounts->findItems(Q(current_), Qt::MatchExactly);
      if (!found.isEmpty()) accounts->setCurrentItem(found.front());
      loading_ = false;
    }
  });

  auto* tabs = new QTabWidget(this);
  // General.
  auto* general = new QWidget(tabs);
  auto* form = new QFormLayout(general);
  passwordType = new QComboBox(general);
  passwordType->addItems({Q(S_GUI_ACC_PWREGULAR), "OTP S/KEY MD4", "OTP S/KEY MD5"});
  form->addRow(Q(S_GUI_ACC_PWTYPE), passwordType);
  auto* pwRow = new QHBoxLayout;
  setPassword = new QCheckBox(Q(S_GUI_ACC_SETPW), general);
  password = new QLineEdit(general);
  password->setEchoMode(QLineEdit::Password);
  password->setEnabled(false);
  connect(setPassword, &QCheckBox::toggled, password, &QWidget::setEnabled);
  pwRow->addWidget(setPassword);
  pwRow->addWidget(password);
  form->addRow(Q(S_GUI_ACC_PASSWORD), pwRow);
  for (const RKeyStr& k : kTextKeys) {
    if (std::string_view(k.key).starts_with("Ratio")) continue;
    if (groups_ && std::string_view(k.key) == "Group") continue;
    auto* e = new QLineEdit(general);
    e->setObjectName(k.key);
    if (std::string_view(k.key) == "LoginMesFile") {
      form->addRow(Q(k.label), WithEditButton(e, ini_.Path()));
      continue;
    }
    form->addRow(Q(k.label), e);
  }
  for (const RKeyStr& k : kSwitchKeys) {
    if (std::string_view(k.key).ends_with("Enable") && std::string_view(k.key) != "Enable")
      continue;
    auto* c = new QCheckBox(Q(k.label), general);
    c->setObjectName(k.key);
    c->setTristate(true);
    form->addRow(c);
  }
  auto* hint = new QLabel(Q(S_GUI_ACC_INHERIT), general);
  hint->setWordWrap(true);
  form->addRow(hint);
  tabs->addTab(general, Q(S_GUI_ACC_TAB_GENERAL));

  // Access rules.
  auto* accessTab = new QWidget(tabs);
  auto* al = new QVBoxLayout(accessTab);
  access = new QTableWidget(0, 1 + static_cast<int>(kLetters.size()), accessTab);
  QStringList head{Q(S_GUI_ACC_PATH)};
  for (char c : kLetters) head << QString(QChar(c));
  access->setHorizontalHeaderLabels(head);
  access->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  for (int c = 1; c < access->columnCount(); ++c) access->setColumnWidth(c, 28);
  access->verticalHeader()->setVisible(false);
  access->setSelectionBehavior(QAbstractItemView::SelectRows);
  al->addWidget(access);
  auto* legend = new QLabel(Q(S_GUI_ACC_LETTERS), accessTab);
  legend->setWordWrap(true);
  al->addWidget(legend);
  auto* ab = new QHBoxLayout;
  auto* addA = new QPushButton(Q(S_GUI_SET_ADD), accessTab);
  auto* delA = new QPushButton(Q(S_GUI_SET_REMOVE), accessTab);
  connect(addA, &QPushButton::clicked, this, [this] { AddNewAccessRow(); });
  connect(delA, &QPushButton::clicked, this, [this] {
    if (access->currentRow() >= 0) access->removeRow(access->currentRow());
  });
  ab->addWidget(addA);
  ab->addWidget(delA);
  ab->addStretch();
  al->addLayout(ab);
  tabs->addTab(accessTab, Q(S_GUI_ACC_TAB_ACCESS));

  // IP rules.
  auto* ipTab = new QWidget(tabs);
  auto* il = new QVBoxLayout(ipTab);
  ipRules = new QTableWidget(0, 2, ipTab);
  ipRules->setHorizontalHeaderLabels(Q(S_GUI_SET_RULES_HEAD).split('\t'));
  ipRules->horizontalHeader()->setStretchLastSection(true);
  ipRules->verticalHeader()->setVisible(false);
  il->addWidget(ipRules);
  auto* ib = new QHBoxLayout;
  auto* addI = new QPushButton(Q(S_GUI_SET_ADD), ipTab);
  auto* delI = new QPushButton(Q(S_GUI_SET_REMOVE), ipTab);
  connect(addI, &QPushButton::clicked, this, [this] { AddIPRule(true, "*"); });
  connect(delI, &QPushButton::clicked, this, [this] {
    if (ipRules->currentRow() >= 0) ipRules->removeRow(ipRules->currentRow());
  });
  ib->addWidget(addI);
  ib->addWidget(delI);
  ib->addStretch();
  il->addLayout(ib);
  tabs->addTab(ipTab, Q(S_GUI_ACC_TAB_IP));

  // Ratios and quota.
  auto* rq = new QWidget(tabs);
  auto* rf = new QFormLayout(rq);
  for (const char* key : {"RatiosEnable", "QuotaEnable"}) {
    for (const RKeyStr& k : kSwitchKeys) {
      if (std::string_view(k.key) != key) continue;
      auto* c = new QCheckBox(Q(k.label), rq);
      c->setObjectName(k.key);
      c->setTristate(true);
      rf->addRow(c);
    }
  }
  ratios = new QComboBox(rq);
  ratios->addItems(
      {QString(), Q(S_GUI_ACC_R_FPS), Q(S_GUI_ACC_R_BPS), Q(S_GUI_ACC_R_FO), Q(S_GUI_ACC_R_BO)});
  rf->addRow(Q(S_GUI_ACC_RATIOTYPE), ratios);
  for (const RKeyStr& k : kTextKeys) {
    if (!std::string_view(k.key).starts_with("Ratio")) continue;
    auto* e = new QLineEdit(rq);
    e->setObjectName(k.key);
    rf->addRow(Q(k.label), e);
  }
  quotaMax = new QLineEdit(rq);
  quotaUsed = new QLineEdit(rq);
  rf->addRow(Q(S_GUI_ACC_QUOTAMAX), quotaMax);
  rf->addRow(Q(S_GUI_ACC_QUOTAUSED), quotaUsed);
  tabs->addTab(rq, Q(S_GUI_ACC_TAB_RATIOS));

  cols->addWidget(tabs, 3);
  Body()->addLayout(cols);
  resize(760, 540);
  Reload({});
}

QLineEdit* RAccountsDialog::Field(const char* key) const {
  return findChild<QLineEdit*>(key);
}
QCheckBox* RAccountsDialog::Switch(const char* key) const {
  return findChild<QCheckBox*>(key);
}

std::vector<std::string> RAccountsDialog::AccountNames() const {
  std::vector<std::string> names;
  for (const std::string& s : ini_.SectionNames()) {
    if (StartsWithNoCase(s, prefix_)) names.push_back(s.substr(prefix_.size()));
  }
  return names;
}

void RAccountsDialog::Reload(const std::string& select) {
  loading_ = true;
  accounts->clear();
  QListWidgetItem* pick = nullptr;
  for (const std::string& n : AccountNames()) {
    auto* it = new QListWidgetItem(Q(n), accounts);
    if (pick == nullptr || EqualNoCaseAscii(n, select)) pick = it;
  }
  current_.clear();
  if (pick != nullptr) {
    accounts->setCurrentItem(pick);
    current_ = S(pick->text());
  }
  loading_ = false;
  LoadForm();
}

void RAccountsDialog::AddAccessRule(const QString& path, const QString& letters) {
  const int r = access->rowCount();
  access->insertRow(r);
  access->setItem(r, 0, new QTableWidgetItem(path));
  const std::string norm = NormaliseRuleLetters(S(letters));
  for (size_t i = 0; i < kLetters.size(); ++i) {
    auto* it = new QTableWidgetItem;
    it->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    it->setCheckState(norm.find(kLetters[i]) != std::string::npos ? Qt::Checked : Qt::Unchecked);
    access->setItem(r, static_cast<int>(i) + 1, it);
  }
}

void RAccountsDialog::AddNewAccessRow() {
  // No letters: a new row that granted read and list of a whole drive would
  // expose everything below it (without [DRIVES], the whole file system) the
  // moment the dialog is saved.
  QLineEdit* home = Field("HomeDir");
  const QString path = home != nullptr && !home->text().isEmpty() ? home->text() : "C:\\";
  AddAccessRule(path, "");
}

void RAccountsDialog::AddIPRule(bool allow, const QString& pattern) {
  const int r = ipRules->rowCount();
  ipRules->insertRow(r);
  auto* type = new QComboBox(ipRules);
  type->addItems({Q(S_GUI_SET_ALLOW), Q(S_GUI_SET_DENY)});
  type->setCurrentIndex(allow ? 0 : 1);
  ipRules->setCellWidget(r, 0, type);
  ipRules->setItem(r, 1, new QTableWidgetItem(pattern));
}

std::vector<std::string> RAccountsDialog::AccessValues() const {
  std::vector<std::string> v;
  for (int r = 0; r < access->rowCount(); ++r) {
    std::string letters;
    for (size_t i = 0; i < kLetters.size(); ++i) {
      if (access->item(r, static_cast<int>(i) + 1)->checkState() == Qt::Checked) {
        letters += kLetters[i];
      }
    }
    const QTableWidgetItem* p = access->item(r, 0);
    v.push_back((p != nullptr ? S(p->text().trimmed()) : std::string()) + "," + letters);
  }
  return v;
}

std::vector<std::string> RAccountsDialog::IPValues() const {
  std::vector<std::string> v;
  for (int r = 0; r < ipRules->rowCount(); ++r) {
    const auto* type = qobject_cast<QComboBox*>(ipRules->cellWidget(r, 0));
    const QTableWidgetItem* p = ipRules->item(r, 1);
    v.push_back(std::string(type->currentIndex() == 0 ? "A," : "D,") +
                (p != nullptr ? S(p->text().trimmed()) : std::string()));
  }
  return v;
}

// The form as key -> text, in the written forms ("" = not set here).
std::map<std::string, std::string> RAccountsDialog::FormState() const {
  std::map<std::string, std::string> m;
  for (const RKeyStr& k : kTextKeys) {
    if (const QLineEdit* e = Field(k.key)) m[k.key] = S(e->text().trimmed());
  }
  for (const RKeyStr& k : kSwitchKeys) {
    const QCheckBox* c = Switch(k.key);
    if (c == nullptr) continue;
    m[k.key] = c->checkState() == Qt::PartiallyChecked ? ""
               : c->checkState() == Qt::Checked        ? "YES"
                                                       : "NO";
  }
  m["Ratios"] = kRatioWords[std::max(0, ratios->currentIndex())];
  m["PasswordType"] = kPasswordTypes[std::max(0, passwordType->currentIndex())];
  const std::string qm = S(quotaMax->text().trimmed());
  const std::string qu = S(quotaUsed->text().trimmed());
  m["QuotaMaxCurrent"] = qm.empty() && qu.empty() ? "" : qm + "," + (qu.empty() ? "0" : qu);
  return m;
}

void RAccountsDialog::ClearForm() {
  for (QLineEdit* e : findChildren<QLineEdit*>()) e->clear();
  for (const RKeyStr& k : kSwitchKeys) {
    if (QCheckBox* c = Switch(k.key)) c->setCheckState(Qt::PartiallyChecked);
  }
  setPassword->setChecked(false);
  access->setRowCount(0);
  ipRules->setRowCount(0);
  ratios->setCurrentIndex(0);
  passwordType->setCurrentIndex(0);
}

void RAccountsDialog::LoadForm() {
  ClearForm();
  orig_.clear();
  origAccess_.clear();
  origIP_.clear();
  if (current_.empty()) {
    orig_ = FormState();
    return;
  }
  const std::string sec = Section(current_);
  for (const RKeyStr& k : kTextKeys) {
    if (QLineEdit* e = Field(k.key)) e->setText(Q(ini_.GetString(sec, k.key)));
  }
  for (const RKeyStr& k : kSwitchKeys) {
    QCheckBox* c = Switch(k.key);
    const std::string v = ini_.GetString(sec, k.key);
    if (c == nullptr) continue;
    if (v.empty()) {
      c->setCheckState(Qt::PartiallyChecked);
    } else {
      // Account switches are true only for TRUE, YES, 1, ON.
      c->setCheckState(ProfileBoolText(v, false) ? Qt::Checked : Qt::Unchecked);
    }
  }
  const std::string ratio = ini_.GetString(sec, "Ratios");
  for (int i = 1; i < 5; ++i) {
    if (EqualNoCaseAscii(ratio, kRatioWords[i])) ratios->setCurrentIndex(i);
  }
  const std::string type = ini_.GetString(sec, "PasswordType");
  for (int i = 1; i < 3; ++i) {
    if (EqualNoCaseAscii(type, kPasswordTypes[i])) passwordType->setCurrentIndex(i);
  }
  const std::string quota = ini_.GetString(sec, "QuotaMaxCurrent");
  if (!quota.empty()) {
    const size_t comma = quota.find(',');
    quotaMax->setText(Q(quota.substr(0, comma)));
    if (comma != std::string::npos) quotaUsed->setText(Q(quota.substr(comma + 1)));
  }
  for (const std::string& v : ReadNumberedKeys(ini_, sec, "Access", true)) {
    const RAccessRuleStr r = SplitAccessRule(v);
    AddAccessRule(Q(r.path), Q(r.letters));
  }
  for (const std::string& v : ReadNumberedKeys(ini_, sec, "IP", true)) {
    AddIPRule(v.empty() || v[0] != 'D', Q(v.size() > 2 ? v.substr(2) : std::string()));
  }
  orig_ = FormState();
  // What the file holds in a form the form cannot show stays as it is
  // unless the administrator edits that field.
  origAccess_ = AccessValues();
  origIP_ = IPValues();
}

std::string RAccountsDialog::Validate() {
  if (current_.empty()) return {};
  for (const RKeyStr& k : kTextKeys) {
    const QLineEdit* e = Field(k.key);
    if (e == nullptr) continue;
    const std::string v = S(e->text().trimmed());
    if (std::string err = CheckPlainValue(v); !err.empty()) return err;
    if (v.empty()) continue;
    if (std::string_view(k.key) == "RatiosCredit") {
      if (!IsDecimalFraction(v)) return FormatStr(S_GUI_ERR_NUMBER, v, 0, 0);
      continue;
    }
    if (std::string_view(k.key) == "Group") {
      if (std::string err = CheckAccountName(v); !err.empty()) return err;
      continue;
    }
    if (k.min <= k.max) {
      if (std::string err = CheckNumber(v, k.min, k.max); !err.empty()) return err;
    }
  }
  const std::string qm = S(quotaMax->text().trimmed());
  const std::string qu = S(quotaUsed->text().trimmed());
  if (!qm.empty() || !qu.empty()) {
    if (std::string err = CheckNumber(qm, 0, INT64_MAX / 2); !err.empty()) return err;
    if (!qu.empty()) {
      if (std::string err = CheckNumber(qu, 0, INT64_MAX / 2); !err.empty()) return err;
    }
  }
  if (setPassword->isChecked()) {
    if (std::string err = CheckPlainValue(S(password->text())); !err.empty()) return err;
  }
  for (const std::string& v : AccessValues()) {
    const RAccessRuleStr r = SplitAccessRule(v);
    if (std::string err = CheckAccessRule(r.path, r.letters); !err.empty()) return err;
  }
  for (const std::string& v : IPValues()) {
    if (std::string err = CheckIPPattern(v.substr(2)); !err.empty()) return err;
  }
  return {};
}

bool RAccountsDialog::Save() {
  if (current_.empty()) return true;
  const std::string sec = Section(current_);
  std::vector<RIniFile::Change> c;
  for (const auto& [key, value] : FormState()) {
    if (orig_[key] != value) c.push_back({sec, key, Opt(value)});
  }
  if (setPassword->isChecked()) {
    RGlobalSettings g;
    g.Load(ini_);
    const std::string plain = S(password->text());
    const bool skey = passwordType->currentIndex() > 0;
    std::string stored = plain;
    if (g.encryptPasswords && !plain.empty()) {
      if (skey) {
        stored = ScramblePassPhrase(plain);
      } else if (HashMethodFromSetting(ini_.GetString(kGlobalSection, "PasswordHash")) ==
                 RHashMethod::Des) {
        stored = Crypt(plain, NewSalt());
      } else if (auto hash = YescryptHash(plain)) {
        stored = std::move(*hash);
      } else {
        // Never store the plain text where a hash is expected.
        SetError(FormatStr(S_GUI_ERR_WRITE, ini_.Path()));
        return false;
      }
    }
    c.push_back({sec, "Password", stored});
    // A new pass phrase starts a new one-time password sequence.
    c.push_back({sec, "SKEYValues", std::nullopt});
  }
  auto rewrite = [&](const char* prefix, const std::vector<std::string>& now,
                     const std::vector<std::string>& was) {
    if (now == was) return;
    for (size_t i = 0; i < was.size(); ++i) {
      c.push_back({sec, RFormat("%s%u", prefix, i + 1), std::nullopt});
    }
    for (size_t i = 0; i < now.size(); ++i) {
      c.push_back({sec, RFormat("%s%u", prefix, i + 1), now[i]});
    }
  };
  rewrite("Access", AccessValues(), origAccess_);
  rewrite("IP", IPValues(), origIP_);
  if (!Write(c)) return false;
  const std::string keep = current_;
  LoadForm();  // the form now shows what was written
  current_ = keep;
  return true;
}

bool RAccountsDialog::Select(const std::string& name) {
  if (std::string e = Validate(); !e.empty()) {
    SetError(e);
    return false;
  }
  if (!Save()) {
    SetError(FormatStr(S_GUI_ERR_WRITE, ini_.Path()));
    return false;
  }
  current_ = name;
  LoadForm();
  loading_ = true;
  const auto found = accounts->findItems(Q(name), Qt::MatchFixedString);
  if (!found.isEmpty()) accounts->setCurrentItem(found.front());
  loading_ = false;
  return true;
}

bool RAccountsDialog::CreateAccount(const std::string& name) {
  if (std::string e = CheckAccountName(name); !e.empty()) {
    SetError(e);
    return false;
  }
  if (ini_.HasSection(Section(name))) {
    SetError(FormatStr(S_GUI_ERR_EXISTS, name));
    return false;
  }
  if (!Select(current_)) return false;
  // An empty value reads as "not set", so the section exists without
  // changing what the account inherits.
  if (!Write({{Section(name), "HomeDir", std::string()}})) {
    SetError(FormatStr(S_GUI_ERR_WRITE, ini_.Path()));
    return false;
  }
  Reload(name);
  return true;
}

bool RAccountsDialog::RenameAccount(const std::string& to) {
  if (current_.empty()) return false;
  if (std::string e = CheckAccountName(to); !e.empty()) {
    SetError(e);
    return false;
  }
  if (!EqualNoCaseAscii(to, current_) && ini_.HasSection(Section(to))) {
    SetError(FormatStr(S_GUI_ERR_EXISTS, to));
    return false;
  }
  if (!Select(current_)) return false;
  const std::string from = current_;
  std::vector<RIniFile::Change> c;
  const auto entries = ini_.SectionEntries(Section(from));
  c.push_back({Section(from), "", std::nullopt});
  for (const auto& [k, v] : entries) c.push_back({Section(to), k, v});
  if (groups_) {
    // Members follow their group to its new name.
    for (const std::string& s : ini_.SectionNames()) {
      if (StartsWithNoCase(s, "USER=") && EqualNoCaseAscii(ini_.GetString(s, "Group"), from)) {
        c.push_back({s, "Group", to});
      }
    }
  }
  if (!Write(c)) {
    SetError(FormatStr(S_GUI_ERR_WRITE, ini_.Path()));
    return false;
  }
  Reload(to);
  return true;
}

bool RAccountsDialog::DeleteAccount() {
  if (current_.empty()) return false;
  if (!Write({{Section(current_), "", std::nullopt}})) {
    SetError(FormatStr(S_GUI_ERR_WRITE, ini_.Path()));
    return false;
  }
  Reload({});
  return true;
}

}  // namespace vantor
