// Shared helpers of the hook library tests.
#pragma once

#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "log_capture.h"

namespace vantor::hooktest {

using test::LogCapture;

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
