// The Drives dialog: the [DRIVES] table of drive letters and the POSIX
// directories they stand for. Rows read from the file keep their spelling
// (a relative root the example uses stays as it is while untouched); a new
// or changed root must be absolute. Only changed letters are written, so the
// section's comments stay.
#pragma once

#include "gui/qt/RSetupDialogs.h"

namespace vantor {

class RDrivesDialog : public RSetupDialog {
  Q_OBJECT
 public:
  RDrivesDialog(const std::string& iniPath, QWidget* parent = nullptr);
  std::string Validate() override;
  bool Save() override;

  // Rows: letter, directory; the values read from the file in UserRole.
  QTableWidget* drives = nullptr;
  void AddDrive(const QString& letter, const QString& root);

 private:
  std::vector<std::pair<std::string, std::string>> orig_;  // key, value as in the file
};

}  // namespace vantor
