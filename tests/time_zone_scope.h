// Uses a TZ value for its lifetime; the value before (or its absence) comes
// back at its end, so a test of local time leaves no other test in its zone.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

namespace vantor::test {

class TimeZoneScope {
 public:
  explicit TimeZoneScope(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZoneScope() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  TimeZoneScope(const TimeZoneScope&) = delete;
  TimeZoneScope& operator=(const TimeZoneScope&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace vantor::test
