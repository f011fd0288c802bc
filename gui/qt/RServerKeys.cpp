#include "gui/qt/RServerKeys.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QPushButton>

#include "config/RGlobalSettings.h"
#include "config/RProfile.h"
#include "gui/RGuiStrings.h"
#include "gui/RSetupRules.h"
#include "gui/qt/RQtText.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

std::string Trimmed(const QLineEdit* e) {
  return e->text().trimmed().toStdString();
}

struct RKeyRowStr {
  const char* key;
  uint32_t label;
  bool file;  // with a file picker
};
constexpr RKeyRowStr kRunAs[] = {
    {"RunAsUser", S_GUI_SET_RUNUSER, false},
    {"RunAsGroup", S_GUI_SET_RUNGROUP, false},
};
constexpr RKeyRowStr kTls[] = {
    {"TLSCertificateFile", S_GUI_SET_TLSCERT, true},
    {"TLSPrivateKeyFile", S_GUI_SET_TLSKEY, true},
    {"TLSImplicitPortNr", S_GUI_SET_TLSPORT, false},
    {"TLSCipherList", S_GUI_SET_TLSCIPHERS, false},
    {"TLSCipherSuites", S_GUI_SET_TLSSUITES, false},
    {"TLSMaxHandshakes", S_GUI_SET_TLSHANDSHAKES, false},
};
constexpr const char* kProtocols[] = {"TLSv1.2", "TLSv1.3"};

}  // namespace

RServerKeys::RServerKeys(const RIniFile& ini, QFormLayout* form, QWidget* parent) {
  auto addRow = [&](const RKeyRowStr& k, QFormLayout* to, QWidget* owner) {
    const std::string value = ini.GetString(kGlobalSection, k.key);
    orig_[k.key] = value;
    auto* e = new QLineEdit(QString::fromStdString(value), owner);
    e->setObjectName(k.key);
    fields[k.key] = e;
    if (!k.file) {
      to->addRow(Q(k.label), e);
      return;
    }
    auto* row = new QHBoxLayout;
    row->addWidget(e);
    auto* pick = new QPushButton(Q(S_GUI_SET_BROWSE), owner);
    QObject::connect(pick, &QPushButton::clicked, e, [e] {
      const QString f = QFileDialog::getOpenFileName(e->window(), QString(), e->text());
      if (!f.isEmpty()) e->setText(f);
    });
    row->addWidget(pick);
    to->addRow(Q(k.label), row);
  };
  for (const RKeyRowStr& k : kRunAs) addRow(k, form, parent);

  tls_ = new QGroupBox(Q(S_GUI_SET_TLS), parent);
  auto* tf = new QFormLayout(tls_);
  for (const RKeyRowStr& k : kTls) addRow(k, tf, tls_);
  tlsMinProtocol = new QComboBox(tls_);
  tlsMinProtocol->setObjectName("TLSMinProtocol");
  for (const char* p : kProtocols) tlsMinProtocol->addItem(p);
  origMin_ =
      IniNameEquals(ini.GetString(kGlobalSection, "TLSMinProtocol", kProtocols[0]), kProtocols[1])
          ? 1
          : 0;
  tlsMinProtocol->setCurrentIndex(origMin_);
  tf->insertRow(3, Q(S_GUI_SET_TLSMIN), tlsMinProtocol);
  // On by default: a data connection that does not resume the control
  // connection's session could belong to someone else.
  origReuse_ = ProfileBool(ini, kGlobalSection, "TLSDataSessionReuse", true);
  tlsDataSessionReuse = new QCheckBox(Q(S_GUI_SET_TLSREUSE), tls_);
  tlsDataSessionReuse->setObjectName("TLSDataSessionReuse");
  tlsDataSessionReuse->setChecked(origReuse_);
  tf->addRow(tlsDataSessionReuse);
}

std::string RServerKeys::Validate(const std::string& ftpPort) const {
  for (const auto& [key, e] : fields) {
    if (std::string err = CheckPlainValue(Trimmed(e)); !err.empty()) return err;
  }
  if (Trimmed(fields.at("RunAsUser")).empty() && !Trimmed(fields.at("RunAsGroup")).empty()) {
    return LoadStr(S_GUI_ERR_RUNGROUP);
  }
  // Empty: the server's default.
  const std::string handshakes = Trimmed(fields.at("TLSMaxHandshakes"));
  if (!handshakes.empty()) {
    if (std::string e = CheckNumber(handshakes, 1, 100000); !e.empty()) return e;
  }
  const std::string port = Trimmed(fields.at("TLSImplicitPortNr"));
  if (port.empty()) return {};
  if (std::string e = CheckNumber(port, 0, 65535); !e.empty()) return e;
  if (port != "0" && ParseBoundedNumber(port, 0, 65535) == ParseBoundedNumber(ftpPort, 0, 65535)) {
    return LoadStr(S_GUI_ERR_TLSPORT);
  }
  return {};
}

void RServerKeys::Changes(std::vector<RIniFile::Change>& out) const {
  for (const auto& [key, e] : fields) {
    const std::string now = Trimmed(e);
    if (now == orig_.at(key)) continue;
    out.push_back({kGlobalSection, key,
                   now.empty() ? std::optional<std::string>() : std::optional<std::string>(now)});
  }
  if (tlsMinProtocol->currentIndex() != origMin_) {
    out.push_back({kGlobalSection, "TLSMinProtocol",
                   std::string(kProtocols[tlsMinProtocol->currentIndex() == 1 ? 1 : 0])});
  }
  if (tlsDataSessionReuse->isChecked() != origReuse_) {
    out.push_back({kGlobalSection, "TLSDataSessionReuse",
                   std::string(YesNo(tlsDataSessionReuse->isChecked()))});
  }
}

}  // namespace vantor
