#include "gui/qt/RUserInfoWindow.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSplitter>
#include <QVBoxLayout>

#include "gui/RGuiStrings.h"
#include "gui/RWindowSettings.h"
#include "gui/qt/RQtText.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

enum : uint32_t {
  kNotifyCreated = 3,
  kNotifyDestroyed = 4,
  kNotifyCommand = 5,
  kNotifyDialogue = 11,
  kNotifyHost = 13,
};

}  // namespace

RUserInfoWindow::RUserInfoWindow(RGuiEngine& engine, QWidget* parent)
    : QDialog(parent), engine_(engine) {
  setObjectName("userinfo");
  setWindowTitle(Q(S_GUI_UI_TITLE));
  resize(720, 480);

  list_ = new QTreeWidget(this);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setHeaderLabels(Q(S_GUI_UI_SESSIONS).split('\t'));
  list_->header()->setStretchLastSection(true);
  connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* cur) {
    if (cur != nullptr) Track(cur->data(0, Qt::UserRole).toUInt());
  });

  auto* detailBox = new QWidget(this);
  auto* form = new QFormLayout(detailBox);
  const uint32_t labels[] = {S_GUI_UI_CONNECTED, S_GUI_UI_IDLE,     S_GUI_UI_RATE_LABEL,
                             S_GUI_UI_SENT,      S_GUI_UI_RECEIVED, S_GUI_UI_TEXT,
                             S_GUI_UI_HOST,      S_GUI_UI_SECURITY};
  for (int i = 0; i < 8; ++i) {
    details_[i] = new QLabel(detailBox);
    details_[i]->setObjectName(QString("detail%1").arg(i));
    details_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(Q(labels[i]), details_[i]);
  }

  dialogue_ = new RLogPane(this);
  dialogue_->setToolTip(Q(S_GUI_UI_DIALOGUE));

  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(list_);
  split->addWidget(detailBox);
  split->addWidget(dialogue_);
  split->setStretchFactor(0, 2);
  split->setStretchFactor(2, 3);

  kill_ = new QPushButton(Q(S_GUI_UI_KILL), this);
  kill_->setObjectName("kill");
  connect(kill_, &QPushButton::clicked, this, &RUserInfoWindow::KillTracked);
  auto* close = new QPushButton(Q(S_GUI_UI_CLOSE), this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(kill_);
  buttons->addWidget(close);

  auto* top = new QVBoxLayout(this);
  top->addWidget(split);
  top->addLayout(buttons);

  refresh_.setInterval(1000);
  connect(&refresh_, &QTimer::timeout, this, [this] {
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
      RefreshLine(list_->topLevelItem(i)->data(0, Qt::UserRole).toUInt());
    }
    RefreshDetails();
  });
}

RUserInfoWindow::~RUserInfoWindow() {
  if (open_ && Source() != nullptr) Source()->SetInfoWindowOpen(false);
}

void RUserInfoWindow::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (!open_) {
    open_ = true;
    if (Source() != nullptr) Source()->SetInfoWindowOpen(true);
    RebuildList();
    refresh_.start();
  }
}

void RUserInfoWindow::closeEvent(QCloseEvent* e) {
  refresh_.stop();
  if (open_ && Source() != nullptr) Source()->SetInfoWindowOpen(false);
  open_ = false;
  const std::string ini = engine_.IniPath();
  if (!ini.empty()) {
    RIniFile file(ini);
    const QRect g = geometry();
    if (!SaveUserInfoPlacement(file, g.x(), g.y(), g.width(), g.height())) {
      // The placement is a convenience; a read-only file costs only that.
    }
  }
  QDialog::closeEvent(e);
}

QTreeWidgetItem* RUserInfoWindow::ItemFor(uint32_t session) const {
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* it = list_->topLevelItem(i);
    if (it->data(0, Qt::UserRole).toUInt() == session) return it;
  }
  return nullptr;
}

void RUserInfoWindow::FillItem(QTreeWidgetItem* item, const RSessionLineStr& s) {
  const QStringList cols = Q(SessionListLine(s)).split('\t');
  for (int c = 0; c < cols.size(); ++c) item->setText(c, cols[c]);
  for (int c = static_cast<int>(cols.size()); c < item->columnCount(); ++c) item->setText(c, {});
  item->setData(0, Qt::UserRole, s.number);
}

QString RUserInfoWindow::LineText(uint32_t session) const {
  QTreeWidgetItem* it = ItemFor(session);
  if (it == nullptr) return {};
  QStringList cols;
  for (int c = 0; c < it->columnCount(); ++c) {
    if (!it->text(c).isEmpty() || c < 5) cols << it->text(c);
  }
  return cols.join('\t');
}

void RUserInfoWindow::RebuildList() {
  RSessionSource* src = Source();
  const uint32_t keep = tracked_;
  const QSignalBlocker block(list_);
  list_->clear();
  if (src == nullptr) return;
  QTreeWidgetItem* select = nullptr;
  for (uint32_t n : src->SessionNumbers()) {
    const auto s = src->Summary(n);
    if (!s) continue;
    auto* it = new QTreeWidgetItem(list_);
    FillItem(it, *s);
    if (n == keep) select = it;
  }
  if (select != nullptr) list_->setCurrentItem(select);
}

void RUserInfoWindow::RefreshLine(uint32_t session) {
  RSessionSource* src = Source();
  QTreeWidgetItem* it = ItemFor(session);
  if (src == nullptr || it == nullptr) return;
  const auto s = src->Summary(session);
  if (s) FillItem(it, *s);
}

void RUserInfoWindow::Track(uint32_t session) {
  if (session == tracked_) return;
  tracked_ = session;
  previousRate_ = -1;
  hostResolved_ = false;
  if (Source() != nullptr) Source()->Follow(session);
  dialogue_->AppendLine(NowTrackingLine(session));
  RefreshHost();
  RefreshDetails();
}

void RUserInfoWindow::RefreshHost() {
  RSessionSource* src = Source();
  if (src == nullptr || tracked_ == 0) return;
  const auto h = src->Host(tracked_);
  hostResolved_ = h && h->resolved;
  details_[6]->setText(hostResolved_ ? Q(h->name) : QString());
}

void RUserInfoWindow::RefreshDetails() {
  RSessionSource* src = Source();
  if (src == nullptr || tracked_ == 0) return;
  const auto t = src->Timing(tracked_);
  const auto x = src->Traffic(tracked_);
  const auto line = src->Summary(tracked_);
  if (!t || !x || !line) {
    for (QLabel* l : details_) l->clear();
    return;
  }
  details_[0]->setText(
      Q(DurationText(t->connectedHours, t->connectedMinutes, t->connectedSeconds)));
  details_[1]->setText(Q(DurationText(t->idleHours, t->idleMinutes, t->idleSeconds)));
  details_[2]->setText(Q(RateText(t->rate, previousRate_)));
  previousRate_ = t->rate;
  details_[3]->setText(Q(FormatStr(S_GUI_UI_BYTES, x->sent)));
  details_[4]->setText(Q(FormatStr(S_GUI_UI_BYTES, x->received)));
  details_[5]->setText(Q(x->text));
  details_[7]->setText(Q(SessionSecurityText(*line)));
}

void RUserInfoWindow::KillTracked() {
  RSessionSource* src = Source();
  if (src == nullptr || tracked_ == 0) return;
  src->Kill(tracked_);
}

void RUserInfoWindow::OnNotify(uint32_t code, uint32_t session, std::string_view text) {
  switch (code) {
    case kNotifyCreated:
    case kNotifyDestroyed:
      RebuildList();
      break;
    case kNotifyCommand:
      RefreshLine(session);
      break;
    case kNotifyDialogue:
      if (tracked_ != 0) {
        if (auto line = TrackedDialogueText(text, tracked_)) dialogue_->AppendLine(*line);
      }
      break;
    case kNotifyHost:
      if (session == tracked_) RefreshHost();
      break;
    default:
      break;
  }
}

}  // namespace vantor
