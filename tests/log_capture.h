// Collects the log lines written while it lives, each as
// "<category><separator><text>"; the sink installed before it (none, or a
// logger) comes back at its end. The one way tests look at the log.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/RLog.h"

namespace vantor::test {

class LogCapture {
 public:
  explicit LogCapture(std::string separator = "|") : separator_(std::move(separator)) {}

  std::vector<std::string> lines;

  // How many lines hold `text`.
  int Count(std::string_view text) const {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }

 private:
  static void Sink(void* self, int category, std::string_view text) {
    auto* c = static_cast<LogCapture*>(self);
    c->lines.push_back(std::to_string(category) + c->separator_ + std::string(text));
  }

  std::string separator_;
  RLogSinkScope scope_{&LogCapture::Sink, this};
};

}  // namespace vantor::test
