// Local time through the C library (time zone and daylight saving of the
// process), for log stamps and log file rotation. Any thread.
#pragma once

#include <cstdint>

namespace vantor {

struct RLocalTm {
  int year = 1970;  // full year
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;        // 0 = Sunday
  int64_t gmtOffset = 0;  // seconds east of UTC
};

// The local calendar time of `t` (seconds since 1970).
RLocalTm LocalTime(int64_t t);
// Seconds since 1970 of local midnight starting the given day. Out-of-range
// days and months are carried over (day 32 of January is 1 February).
int64_t LocalMidnight(int year, int month, int day);

}  // namespace vantor
