#include "gui/qt/RDrivesDialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "gui/RGuiStrings.h"
#include "gui/RSetupRules.h"
#include "gui/qt/RQtText.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr const char* kDrives = "DRIVES";

std::string Cell(const QTableWidget* t, int r, int c) {
  const QTableWidgetItem* it = t->item(r, c);
  return it != nullptr ? S(it->text().trimmed()) : std::string();
}
std::string Original(const QTableWidget* t, int r, int c) {
  const QTableWidgetItem* it = t->item(r, c);
  return it != nullptr ? S(it->data(Qt::UserRole).toString()) : std::string();
}

}  // namespace

RDrivesDialog::RDrivesDialog(const std::string& iniPath, QWidget* parent)
    : RSetupDialog(iniPath, S_GUI_MENU_DRIVES, parent) {
  setObjectName("setupdrives");
  auto* note = new QLabel(Q(S_GUI_DRV_NOTE), this);
  note->setWordWrap(true);
  Body()->addWidget(note);
  drives = new QTableWidget(0, 2, this);
  drives->setHorizontalHeaderLabels(Q(S_GUI_DRV_HEAD).split('\t'));
  drives->horizontalHeader()->setStretchLastSection(true);
  drives->verticalHeader()->setVisible(false);
  drives->setSelectionBehavior(QAbstractItemView::SelectRows);
  drives->setSelectionMode(QAbstractItemView::SingleSelection);
  orig_ = ini_.SectionEntries(kDrives);
  for (const auto& [key, value] : orig_) {
    AddDrive(Q(key), Q(value));
    for (int c = 0; c < 2; ++c) {
      drives->item(drives->rowCount() - 1, c)->setData(Qt::UserRole, Q(c == 0 ? key : value));
    }
  }
  Body()->addWidget(drives);
  auto* row = new QHBoxLayout;
  auto* add = new QPushButton(Q(S_GUI_SET_ADD), this);
  auto* remove = new QPushButton(Q(S_GUI_SET_REMOVE), this);
  connect(add, &QPushButton::clicked, this, [this] {
    AddDrive({}, {});
    drives->editItem(drives->item(drives->rowCount() - 1, 0));
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    if (drives->currentRow() >= 0) drives->removeRow(drives->currentRow());
  });
  row->addWidget(add);
  row->addWidget(remove);
  row->addStretch();
  Body()->addLayout(row);
  resize(520, 360);
}

void RDrivesDialog::AddDrive(const QString& letter, const QString& root) {
  const int r = drives->rowCount();
  drives->insertRow(r);
  drives->setItem(r, 0, new QTableWidgetItem(letter));
  drives->setItem(r, 1, new QTableWidgetItem(root));
  drives->setCurrentCell(r, 0);
}

std::string RDrivesDialog::Validate() {
  std::vector<std::string> seen;
  for (int r = 0; r < drives->rowCount(); ++r) {
    const std::string letter = Cell(drives, r, 0);
    if (std::string e = CheckDriveLetter(letter); !e.empty()) return e;
    if (std::find(seen.begin(), seen.end(), Upper(letter)) != seen.end()) {
      return FormatStr(S_GUI_ERR_EXISTS, Upper(letter));
    }
    seen.push_back(Upper(letter));
    const std::string root = Cell(drives, r, 1);
    const bool untouched = !Original(drives, r, 0).empty() && root == Original(drives, r, 1);
    if (untouched) continue;
    if (std::string e = CheckDriveRoot(root); !e.empty()) return e;
  }
  return {};
}

bool RDrivesDialog::Save() {
  std::vector<std::pair<std::string, std::string>> now;
  for (int r = 0; r < drives->rowCount(); ++r) {
    now.emplace_back(Upper(Cell(drives, r, 0)), Cell(drives, r, 1));
  }
  std::vector<RIniFile::Change> c;
  for (const auto& [key, value] : orig_) {
    const bool kept =
        std::any_of(now.begin(), now.end(), [&](const auto& n) { return n.first == Upper(key); });
    // Removing the last letter leaves an empty section: no drive at all,
    // rather than the whole file system that a missing section means.
    if (!kept) c.push_back({kDrives, key, std::nullopt});
  }
  for (const auto& [letter, root] : now) {
    const bool same = std::any_of(orig_.begin(), orig_.end(), [&](const auto& o) {
      return Upper(o.first) == letter && o.second == root;
    });
    if (!same) c.push_back({kDrives, letter, root});
  }
  return Write(c);
}

}  // namespace vantor
