// The user information window: one line per session, one tracked session
// with its details and its command/reply dialogue, and a kill button.
// Everything it shows comes from the session queries; it refreshes on the
// engine's notifications and once a second for the moving numbers.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "gui/RGuiEngine.h"
#include "gui/qt/RLogPane.h"

namespace vantor {

class RUserInfoWindow : public QDialog {
  Q_OBJECT
 public:
  RUserInfoWindow(RGuiEngine& engine, QWidget* parent = nullptr);
  ~RUserInfoWindow() override;

  // MSG_NOTIFY (codes 3, 4, 5, 11, 13).
  void OnNotify(uint32_t code, uint32_t session, std::string_view text);

  void RebuildList();
  void RefreshLine(uint32_t session);
  void Track(uint32_t session);
  void RefreshDetails();
  void KillTracked();

  uint32_t Tracked() const { return tracked_; }
  QTreeWidget* List() const { return list_; }
  RLogPane* Dialogue() const { return dialogue_; }
  // Detail field texts: 0 connected, 1 idle, 2 rate, 3 sent, 4 received,
  // 5 path, 6 host, 7 security (TLS of the control and data connections).
  QString Detail(int i) const { return details_[i]->text(); }
  // The list line of a session as shown (columns joined with tabs).
  QString LineText(uint32_t session) const;

 protected:
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;

 private:
  RSessionSource* Source() { return engine_.Sessions(); }
  QTreeWidgetItem* ItemFor(uint32_t session) const;
  void FillItem(QTreeWidgetItem* item, const RSessionLineStr& s);
  void RefreshHost();

  RGuiEngine& engine_;
  QTreeWidget* list_ = nullptr;
  RLogPane* dialogue_ = nullptr;
  QLabel* details_[8] = {};
  QPushButton* kill_ = nullptr;
  QTimer refresh_;
  uint32_t tracked_ = 0;
  int64_t previousRate_ = -1;
  bool hostResolved_ = false;
  bool open_ = false;
};

}  // namespace vantor
