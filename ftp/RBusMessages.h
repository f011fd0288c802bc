// Message numbers of the server's main window on the process's event bus.
// The main window belongs to the front end (`vantor` or `vantor-gui`) and
// the engine (RFTPSManager); both take their numbers from here.
//
// Two numbers are defined below ftp/ because accounts/ sends them:
// ACCESS_QUERY_MESSAGE (1028, accounts/AccessQuery.h) and MSG_HOOK_RELEASE
// (1041, accounts/RFTPEventHandler.h). The socket layer's hidden window has
// numbers of its own (net/RSocketLayer.h); they may equal these because
// they go to another window.
#pragma once

#include <cstdint>

#include "accounts/AccessQuery.h"
#include "accounts/RFTPEventHandler.h"

namespace vantor {

enum : uint32_t {
  MSG_SESSION_SOCKET = 1024,    // session socket events (owner events)
  MSG_REMOVE_SESSION = 1025,    // wParam: session number
  MSG_LOG_LINE = 1027,          // wParam: category
  MSG_SESSION_QUERY = 1032,     // GUI session information queries
  MSG_NOTIFY = 1035,            // session notifications to the front end
  MSG_TRACE_LINE = 1037,        // socket trace lines
  MSG_STATUS_RECORD = 1038,     // status records to the front end
  MSG_RELOAD_SETTINGS = 1039,   // re-read the configuration
  MSG_LISTENER_SOCKET = 1043,   // listener socket events
  MSG_WORKER_QUESTIONS = 1044,  // workers wait for access answers
  MSG_SIGNAL = 0x7F00,          // wParam: signal number (RMessageLoop::WatchSignal)
};

static_assert(ACCESS_QUERY_MESSAGE == 1028 && MSG_HOOK_RELEASE == 1041,
              "the main window's numbers are unique");

}  // namespace vantor
