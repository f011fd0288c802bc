#include "platform/RLocalTime.h"

#include <time.h>

namespace vantor {

RLocalTm LocalTime(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  RLocalTm out;
  if (::localtime_r(&tt, &tm) == nullptr) return out;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.weekday = tm.tm_wday;
  out.gmtOffset = tm.tm_gmtoff;
  return out;
}

int64_t LocalMidnight(int year, int month, int day) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;  // let the C library decide for that date
  return static_cast<int64_t>(::mktime(&tm));
}

}  // namespace vantor
