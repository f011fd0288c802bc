// Shared helpers of the hook library tests.
#pragma once

#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "util/RLog.h"

namespace vantor::hooktest {

// Collects log lines as "category|text" while it lives.
class LogCapture {
 public:
  LogCapture() { SetLogSink(&LogCapture::Sink, this); }
  ~LogCapture() { SetLogSink(nullptr, nullptr); }
  std::vector<std::string> lines;

 private:
  static void Sink(void* self, int category, std::string_view text) {
    static_cast<LogCapture*>(self)->lines.push_back(std::to_string(category) + "|" +
                                                    std::string(text));
  }
};

// The path of an example library built with the project.
inline std::string ExampleLib(const char* name) {
  return std::string(VANTOR_BINARY_DIR) + "/examples/hooks/libvantor_" + name + ".so";
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace vantor::hooktest
