#include "platform/RServiceNotify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace vantor {

void ServiceNotify(std::string_view assignments) {
  const std::string text(assignments);
  // A failure to notify must never stop the service: the manager then
  // simply sees no news.
  (void)sd_notify(0, text.c_str());
}

int64_t ServiceWatchdogUs() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
  return static_cast<int64_t>(usec);
}

bool StdoutIsJournal() {
  const char* e = std::getenv("JOURNAL_STREAM");
  if (e == nullptr) return false;
  uintmax_t dev = 0, ino = 0;
  if (std::sscanf(e, "%" SCNuMAX ":%" SCNuMAX, &dev, &ino) != 2) return false;
  struct stat st;
  if (::fstat(1, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == dev && static_cast<uintmax_t>(st.st_ino) == ino;
}

}  // namespace vantor
