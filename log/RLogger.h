// The screen log pane as a model: the text the log window shows, bounded to
// 15000 characters. The GUI shows Text(); the `vantor` program prints each
// appended line as it comes (SetLineObserver).
//
// Control characters in an appended line are escaped (EscapeLogText of
// util/RLog.h). Every line is kept followed by CR LF. A line is appended only when its
// length plus 10 is below the bound; before that, while the text plus the
// line plus 10 would reach the bound, the ten oldest lines are removed.
//
// Loop thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace vantor {

class RLogger {
 public:
  static constexpr size_t kMaxChars = 15000;
  static constexpr size_t kTrimLines = 10;

  using LineObserver = std::function<void(std::string_view line)>;

  // Appends `line` (without its CR LF) under the bound. False when the line
  // itself is too long to be shown.
  bool Append(std::string_view line);
  void Clear();

  // The pane's text: every line followed by "\r\n".
  std::string Text() const;
  size_t Length() const { return length_; }
  size_t LineCount() const { return lines_.size(); }
  const std::deque<std::string>& Lines() const { return lines_; }
  // Counts appends and clears, so a view can tell it must redraw.
  uint64_t Revision() const { return revision_; }

  // Called with each appended line (after the bound was applied).
  void SetLineObserver(LineObserver fn) { observer_ = std::move(fn); }

 private:
  std::deque<std::string> lines_;
  size_t length_ = 0;  // characters of Text()
  uint64_t revision_ = 0;
  LineObserver observer_;
};

}  // namespace vantor
