// Keys of the FTP server page that the GUI edits as the file holds them,
// without a settings struct of their own here: the account the server runs
// as, and the TLS settings. Each key is read when the page opens and
// written only when the administrator changed it (an emptied field removes
// the key, so the server's default applies again).
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <map>
#include <string>
#include <vector>

#include "config/RIniFile.h"

namespace vantor {

class RServerKeys {
 public:
  // Adds `RunAsUser` and `RunAsGroup` to `form` and a TLS group to `parent`'s
  // layout (returned), filled from `ini`.
  RServerKeys(const RIniFile& ini, QFormLayout* form, QWidget* parent);
  QGroupBox* TlsGroup() const { return tls_; }

  // "" when every field is good; `ftpPort` is the page's `PortNr`.
  std::string Validate(const std::string& ftpPort) const;
  // The [GLOBAL] changes against what the page showed at first.
  void Changes(std::vector<RIniFile::Change>& out) const;

  std::map<std::string, QLineEdit*> fields;  // by key name
  QComboBox* tlsMinProtocol = nullptr;       // TLSv1.2, TLSv1.3
  QCheckBox* tlsDataSessionReuse = nullptr;

 private:
  QGroupBox* tls_ = nullptr;
  std::map<std::string, std::string> orig_;
  int origMin_ = 0;
  bool origReuse_ = true;
};

}  // namespace vantor
