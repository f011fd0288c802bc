// The text of the log pane: at most `limit` characters (15000), each line
// followed by CR LF. A line is taken only when its length plus 10 is below
// the limit; while the text plus the line plus 10 would reach the limit, the
// oldest ten lines go, so appending stays cheap. Lengths count characters
// (UTF-8 code points), not bytes, so translated lines get the same room.
// The widget mirrors the removals this model reports.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace vantor {

class RLogText {
 public:
  explicit RLogText(size_t limit = 15000) : limit_(limit) {}

  struct AppendResult {
    bool appended = false;
    size_t removedLines = 0;  // lines dropped from the start before appending
  };
  AppendResult Append(std::string_view line);
  void Clear();

  size_t Length() const { return length_; }  // characters, CR LF included
  size_t LineCount() const { return lines_.size(); }
  const std::deque<std::string>& Lines() const { return lines_; }
  std::string Text() const;  // lines joined with CR LF

 private:
  size_t limit_;
  size_t length_ = 0;
  std::deque<std::string> lines_;
  std::deque<size_t> lengths_;
};

// Number of UTF-8 code points in `s`.
size_t CharCount(std::string_view s);

}  // namespace vantor
