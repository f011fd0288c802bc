// The service manager's notification protocol (systemd's sd_notify): state
// changes and the watchdog, sent as datagrams to $NOTIFY_SOCKET. Without
// that variable every call does nothing. Loop thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

// "READY=1" and the other assignments, one or more separated by newlines.
void ServiceNotify(std::string_view assignments);

// The watchdog interval the manager asks for ($WATCHDOG_USEC, for this
// process); 0 when there is no watchdog.
int64_t ServiceWatchdogUs();

// Whether standard output is the journal's stream ($JOURNAL_STREAM names
// its device and inode), where "<N>" line prefixes set the priority.
bool StdoutIsJournal();

}  // namespace vantor
