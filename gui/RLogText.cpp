#include "gui/RLogText.h"

namespace vantor {

size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

RLogText::AppendResult RLogText::Append(std::string_view line) {
  AppendResult r;
  const size_t len = CharCount(line) + 2;  // the CR LF that follows it
  if (len + 10 >= limit_) return r;
  while (!lines_.empty() && length_ + len + 10 >= limit_) {
    for (int i = 0; i < 10 && !lines_.empty(); ++i) {
      length_ -= lengths_.front();
      lines_.pop_front();
      lengths_.pop_front();
      ++r.removedLines;
    }
  }
  lines_.emplace_back(line);
  lengths_.push_back(len);
  length_ += len;
  r.appended = true;
  return r;
}

void RLogText::Clear() {
  lines_.clear();
  lengths_.clear();
  length_ = 0;
}

std::string RLogText::Text() const {
  std::string t;
  for (const std::string& l : lines_) {
    t += l;
    t += "\r\n";
  }
  return t;
}

}  // namespace vantor
