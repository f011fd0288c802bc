// The set-up dialogs. Each reads its keys from the INI file when it opens,
// checks every field before anything is written (and says why it refuses),
// and writes only what the administrator changed, on top of the file as it
// is at that moment, so a hand edit made meanwhile is not overwritten with
// stale values. The caller asks the engine to reload after a save.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "gui/RGuiEngine.h"

namespace vantor {

enum class RSetupPage;
class RServerKeys;

// `field` (a message file name) with an "Edit..." button beside it that
// opens the named file in the message file editor.
QHBoxLayout* WithEditButton(QLineEdit* field, const std::string& iniPath);

// Opens the dialog of `page` modally; true when it saved something.
bool RunSetup(QWidget* parent, RSetupPage page, RGuiEngine& engine);

class RSetupDialog : public QDialog {
  Q_OBJECT
 public:
  RSetupDialog(const std::string& iniPath, uint32_t title, QWidget* parent);

  // "" when every field is good, else the reason.
  virtual std::string Validate() = 0;
  // Writes what changed; false (reason in Error()) when the file could not
  // be written.
  virtual bool Save() = 0;

  // Validate, then Save; closes the dialog on success.
  bool TryAccept();
  const std::string& Error() const { return error_; }
  // Something was written: the engine must reload.
  bool Saved() const { return saved_; }
  // Tests read Error() instead of a message box.
  void SetShowErrors(bool on) { showErrors_ = on; }
  RIniFile& Ini() { return ini_; }

  void accept() override { (void)TryAccept(); }

 protected:
  QVBoxLayout* Body() const { return body_; }
  bool Write(const std::vector<RIniFile::Change>& changes);
  void MarkSaved() { saved_ = true; }
  void SetError(std::string e) { error_ = std::move(e); }

  RIniFile ini_;

 private:
  QVBoxLayout* body_;
  std::string error_;
  bool saved_ = false;
  bool showErrors_ = true;
};

// FTP-Server: port, limits, switches, directory cache, IP homes,
// anti-hammer, upload sharing mode, listing mask, link files, passive
// ports, the account to run as and TLS.
class RServerDialog : public RSetupDialog {
  Q_OBJECT
 public:
  RServerDialog(const std::string& iniPath, QWidget* parent = nullptr);
  ~RServerDialog() override;
  std::string Validate() override;
  bool Save() override;

  QLineEdit* Field(const char* name) const;
  QCheckBox* Switch(const char* name) const;
  QComboBox* uploadMode = nullptr;
  QTableWidget* homes = nullptr;  // address, name, passive; key number in UserRole

 private:
  // `base` with the fields the administrator changed; sets changed_.
  RGlobalSettings Collect(const RGlobalSettings& base);
  RGlobalSettings orig_;
  bool changed_ = false;
  std::vector<std::string> origHomes_;
  std::unique_ptr<RServerKeys> keys_;  // RunAsUser, RunAsGroup and TLS
};

// IP-Access: ordered allow and deny rules of [IP-ACCESS].
class RIPAccessDialog : public RSetupDialog {
  Q_OBJECT
 public:
  RIPAccessDialog(const std::string& iniPath, QWidget* parent = nullptr);
  std::string Validate() override;
  bool Save() override;
  // Rows: type ("A" or "D" in a combo) and pattern.
  QTableWidget* rules = nullptr;
  void AddRule(bool allow, const QString& pattern);

 private:
  std::vector<std::string> Values() const;
  std::vector<std::string> orig_;
};

// Logging: the eighteen switches, file, rotation, transfer log, no-log list,
// IP list, font.
class RLoggingDialog : public RSetupDialog {
  Q_OBJECT
 public:
  RLoggingDialog(RGuiEngine& engine, QWidget* parent = nullptr);
  std::string Validate() override;
  bool Save() override;

  QCheckBox* screen[9] = {};
  QCheckBox* file[9] = {};
  QCheckBox* logging = nullptr;
  QLineEdit* logfile = nullptr;
  QComboBox* rotation = nullptr;
  QLineEdit* dontLog = nullptr;
  QLineEdit* ipLogMinutes = nullptr;
  QLineEdit* ipLogFile = nullptr;
  QLineEdit* xferLog = nullptr;  // XferLog: the transfer log, not a logger setting
  // Shows the log font in itself ("Arial, 10 pt"); a click opens the font
  // dialog. The INI keeps the "-13,500,0,0,0,0,Arial" form.
  QPushButton* font = nullptr;
  const RLogFontStr& LogFont() const { return logFont_; }
  void SetLogFont(const RLogFontStr& f);

 private:
  RLogSettingsStr Collect() const;
  RGuiEngine& engine_;
  RLogSettingsStr orig_;
  RLogFontStr logFont_;
  std::string origXferLog_;
};

// Messages: sign-on and sign-off files per IP home, directory change files.
class RMessagesDialog : public RSetupDialog {
  Q_OBJECT
 public:
  RMessagesDialog(const std::string& iniPath, QWidget* parent = nullptr);
  std::string Validate() override;
  bool Save() override;
  // Rows: home (combo: all homes or one IPn), sign-on file, sign-off file.
  QTableWidget* files = nullptr;
  QLineEdit* dirChange = nullptr;
  QLineEdit* dirChange2 = nullptr;
  void AddRow(int home, const QString& signOn, const QString& signOff);

 private:
  std::vector<std::string> Values() const;
  std::vector<std::string> orig_;
  std::string origDir_, origDir2_;
  std::vector<std::pair<int, QString>> homes_;  // key number, label
};

}  // namespace vantor
