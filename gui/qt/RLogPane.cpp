#include "gui/qt/RLogPane.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace vantor {
namespace {
QString FromUtf8(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
}  // namespace

QFont LogFontToQFont(const RLogFontStr& f) {
  QFont font(QString::fromStdString(f.face));
  // Negative heights are character heights in pixels, positive ones cell
  // heights; both read well as a pixel size here.
  const int px = f.height < 0 ? -f.height : f.height;
  if (px > 0) font.setPixelSize(px);
  const int w = f.weight < 1 ? 400 : (f.weight > 1000 ? 1000 : f.weight);
  font.setWeight(static_cast<QFont::Weight>(w));
  font.setItalic(f.italic != 0);
  font.setUnderline(f.underline != 0);
  font.setStrikeOut(f.strikeOut != 0);
  return font;
}

RLogFontStr QFontToLogFont(const QFont& font, const RLogFontStr& base) {
  RLogFontStr f = base;
  f.face = font.family().toStdString();
  // A font from the font dialog comes in points; 4/3 pixels per point at
  // the 96 dpi the stored heights were always meant for.
  const int px =
      font.pixelSize() > 0 ? font.pixelSize() : static_cast<int>(font.pointSizeF() * 4 / 3 + 0.5);
  if (px > 0) f.height = -px;
  f.weight = font.weight();
  f.italic = font.italic() ? 1 : 0;
  f.underline = font.underline() ? 1 : 0;
  f.strikeOut = font.strikeOut() ? 1 : 0;
  return f;
}

RLogPane::RLogPane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setUndoRedoEnabled(false);
  Attach(nullptr);
}

RLogPane::~RLogPane() {
  if (model_ != &own_) model_->SetLineObserver(nullptr);
}

void RLogPane::Attach(RLogger* model) {
  if (model_ != &own_) model_->SetLineObserver(nullptr);
  model_ = model != nullptr ? model : &own_;
  model_->SetLineObserver([this](std::string_view line) { Mirror(line); });
  ShowAll();
}

void RLogPane::ShowAll() {
  QStringList lines;
  for (const std::string& l : model_->Lines()) lines << QString::fromStdString(l);
  setPlainText(lines.join('\n'));
  shown_ = model_->LineCount();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void RLogPane::Mirror(std::string_view line) {
  // The model appended one line after dropping the oldest ones.
  const size_t now = model_->LineCount();
  const size_t removed = shown_ + 1 > now ? shown_ + 1 - now : 0;
  QScrollBar* bar = verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  if (removed >= shown_) {
    setPlainText(FromUtf8(line));
  } else {
    if (removed > 0) {
      QTextCursor c(document());
      c.movePosition(QTextCursor::Start);
      c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, static_cast<int>(removed));
      c.removeSelectedText();
    }
    appendPlainText(FromUtf8(line));
  }
  shown_ = now;
  if (atEnd) bar->setValue(bar->maximum());
}

void RLogPane::AppendLine(std::string_view line) {
  (void)model_->Append(line);
}

void RLogPane::ClearAll() {
  model_->Clear();
  clear();
  shown_ = 0;
}

void RLogPane::SetLogFont(const RLogFontStr& f) {
  setFont(LogFontToQFont(f));
}

}  // namespace vantor
