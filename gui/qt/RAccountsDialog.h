// The Users and Groups dialogs: accounts listed from the "USER=" or
// "GROUP=" sections; create, rename, delete; one form per account whose
// empty fields mean "not set here" (the value is inherited from the group or
// the default user) and whose switches have a third, inherited state.
#pragma once

#include <QListWidget>
#include <QTabWidget>
#include <map>

#include "gui/qt/RSetupDialogs.h"

namespace vantor {

class RAccountsDialog : public RSetupDialog {
  Q_OBJECT
 public:
  RAccountsDialog(const std::string& iniPath, bool groups, QWidget* parent = nullptr);

  // The form of the selected account.
  std::string Validate() override;
  bool Save() override;

  // Account list commands; false with the reason in Error().
  bool CreateAccount(const std::string& name);
  bool RenameAccount(const std::string& to);
  bool DeleteAccount();
  // Saves the form (when valid) and shows `name`; false when the form was
  // refused (the selection stays).
  bool Select(const std::string& name);
  const std::string& Current() const { return current_; }
  std::vector<std::string> AccountNames() const;

  QListWidget* accounts = nullptr;
  QLineEdit* Field(const char* key) const;
  QCheckBox* Switch(const char* key) const;
  QComboBox* passwordType = nullptr;
  QComboBox* ratios = nullptr;
  QCheckBox* setPassword = nullptr;
  QLineEdit* password = nullptr;
  QLineEdit* quotaMax = nullptr;
  QLineEdit* quotaUsed = nullptr;
  // Path, then one check column per letter of RWAMELCDP.
  QTableWidget* access = nullptr;
  // Rule type (combo) and pattern.
  QTableWidget* ipRules = nullptr;
  void AddAccessRule(const QString& path, const QString& letters);
  // The "Add" button: a row on the account's home directory (C:\ without
  // one) that grants nothing until letters are ticked.
  void AddNewAccessRow();
  void AddIPRule(bool allow, const QString& pattern);

 private:
  std::string Section(const std::string& name) const { return prefix_ + name; }
  void Reload(const std::string& select);
  void LoadForm();
  void ClearForm();
  std::vector<std::string> AccessValues() const;
  std::vector<std::string> IPValues() const;
  std::map<std::string, std::string> FormState() const;

  bool groups_;
  std::string prefix_;
  std::string current_;
  std::map<std::string, std::string> orig_;
  std::vector<std::string> origAccess_;
  std::vector<std::string> origIP_;
  bool loading_ = false;
};

}  // namespace vantor
