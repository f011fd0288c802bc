#include "platform/RTimeZone.h"

#include <time.h>

namespace vantor {

bool LocalUtcOffsetSeconds(int64_t when, int64_t& offset) {
  // localtime_r need not look at TZ again; tzset makes it do so.
  tzset();
  const time_t t = static_cast<time_t>(when);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return false;
  offset = local.tm_gmtoff;
  return true;
}

}  // namespace vantor
