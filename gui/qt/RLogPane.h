// The log pane: a read-only text view that mirrors a bounded pane model
// (log/RLogger: at most 15000 characters, trimmed ten lines at a time), in
// the log font. The model decides what is kept; the view only repeats its
// removals and appends, so it never re-renders the whole text.
#pragma once

#include <QPlainTextEdit>

#include "log/RFTPSLogger.h"
#include "log/RLogger.h"

namespace vantor {

class RLogPane : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit RLogPane(QWidget* parent = nullptr);
  ~RLogPane() override;

  // Shows `model` (not owned; it must outlive the pane or be detached with
  // nullptr, which goes back to the pane's own model).
  void Attach(RLogger* model);
  RLogger& Model() const { return *model_; }

  void AppendLine(std::string_view line);
  void ClearAll();
  void SetLogFont(const RLogFontStr& f);

 private:
  void Mirror(std::string_view line);
  void ShowAll();

  RLogger own_;
  RLogger* model_ = &own_;
  size_t shown_ = 0;  // lines the view holds
};

QFont LogFontToQFont(const RLogFontStr& f);
// The other way, for a font the administrator picked: a negative (character)
// height in pixels, so LogFontToQFont gives the same font back; the
// character set of `base` is kept, as Qt has no such field.
RLogFontStr QFontToLogFont(const QFont& font, const RLogFontStr& base);

}  // namespace vantor
