#include "log/RLogger.h"

#include "util/RLog.h"

namespace vantor {
namespace {
// Room kept free besides the line itself.
constexpr size_t kSlack = 10;
constexpr size_t kEol = 2;  // CR LF
}  // namespace

bool RLogger::Append(std::string_view line) {
  // The pane is printed to a terminal or shown in a window: no control
  // characters, whoever appends (the logger has escaped its lines already).
  std::string escaped;
  if (LogTextNeedsEscape(line)) {
    escaped = EscapeLogText(line);
    line = escaped;
  }
  const size_t len = line.size() + kEol;
  if (len + kSlack >= kMaxChars) return false;
  while (!lines_.empty() && length_ + len + kSlack >= kMaxChars) {
    for (size_t i = 0; i < kTrimLines && !lines_.empty(); ++i) {
      length_ -= lines_.front().size() + kEol;
      lines_.pop_front();
    }
  }
  lines_.emplace_back(line);
  length_ += len;
  ++revision_;
  if (observer_) observer_(line);
  return true;
}

void RLogger::Clear() {
  lines_.clear();
  length_ = 0;
  ++revision_;
}

std::string RLogger::Text() const {
  std::string out;
  out.reserve(length_);
  for (const std::string& l : lines_) {
    out += l;
    out += "\r\n";
  }
  return out;
}

}  // namespace vantor
