// Message numbers of the process's event bus. The main window (the front
// end: `vantor` or `vantor-gui`) receives all of these except the socket
// layer's own readiness messages.
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  WM_USER_BASE = 1024,
  MSG_SESSION_SOCKET = 1024,     // session socket events (owner events)
  MSG_REMOVE_SESSION = 1025,     // wParam: session number
  MSG_DNS_ANSWER = 1026,         // host look-up answer (socket layer's window)
  MSG_LOG_LINE = 1027,           // wParam: category
  ACCESS_QUERY_MESSAGE = 1028,   // lParam: AccessQuery*, sent synchronously
  MSG_SOCKET_EVENT = 1030,       // readiness from the loop to the socket layer
  MSG_SESSION_QUERY = 1032,      // GUI session information queries
  MSG_NOTIFY = 1035,             // session notifications to the front end
  MSG_TRACE_LINE = 1037,         // socket trace lines
  MSG_STATUS_RECORD = 1038,      // status records to the front end
  MSG_RELOAD_SETTINGS = 1039,    // re-read the configuration
  MSG_HOOK_RELEASE = 1041,       // a held command released by a hook library
  MSG_LISTENER_SOCKET = 1043,    // listener socket events
  MSG_SIGNAL = 0x7F00,           // wParam: signal number (platform signals)
};

}  // namespace vantor
