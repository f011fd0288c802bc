// The local time zone as the C library sees it (TZ, else /etc/localtime).
#pragma once

#include <cstdint>

namespace vantor {

// Offset of local time from UTC at `when` (seconds since 1970), east
// positive, daylight saving included. False when the local time cannot be
// computed. Reads the time zone afresh on every call, so a changed TZ or
// /etc/localtime is seen at once.
[[nodiscard]] bool LocalUtcOffsetSeconds(int64_t when, int64_t& offset);

}  // namespace vantor
