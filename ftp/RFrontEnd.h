// The front end as the engine sees it: "the main window" of the event bus.
//
// Both `vantor` (console) and `vantor-gui` implement RFrontEnd. The engine
// owns the bus window (RFTPSManager::MainWindow()); messages that arrive
// there for the front end are turned into these calls:
//   MSG_LOG_LINE (through util/RLog.h's sink; OnLogLine is for front ends
//   that also want them here), MSG_NOTIFY, MSG_TRACE_LINE,
//   MSG_STATUS_RECORD, MSG_RELOAD_SETTINGS, and the request to close the
//   program when the last session ends while the exit is pending.
// Access queries (ACCESS_QUERY_MESSAGE) are answered by the engine's access
// handler (RFTPSManager::SetAccessHandler); session queries
// (MSG_SESSION_QUERY) to the manager's typed Session... calls; hook releases
// (MSG_HOOK_RELEASE) to the sessions.
//
// Every call comes on the loop thread, synchronously; the front end must not
// destroy the manager from inside one of them (post to itself instead).
#pragma once

#include <cstdint>
#include <string_view>

namespace vantor {

// Status record kinds (MSG_STATUS_RECORD).
enum RStatusKind : uint32_t {
  SK_Sockets = 0,     // live sockets
  SK_MaxSockets = 1,  // maximum sockets of the socket service
  SK_Users = 2,       // ConnectionsNow, value2 = AnonymousNow
  SK_MaxUsers = 3,    // MaxNrUsers (-1 = none)
  SK_Transfers = 4,   // UploadsActive + DownloadsActive
  SK_Throughput = 5,  // bytes per second over the last 8 seconds
  SK_Online = 7,      // 1 on-line, 0 off-line
};

struct RStatusRecordStr {
  uint32_t kind = 0;
  int32_t value = 0;
  int32_t value2 = 0;
};

// Session notification codes (MSG_NOTIFY).
enum RNotifyCode : uint32_t {
  NC_SessionCreated = 3,    // posted, only while the user information window is open
  NC_SessionDestroyed = 4,  // posted, same
  NC_SessionChanged = 5,    // sent, same
  NC_Dialogue = 11,         // text = the "(%06u) ..." line; sent when the
                            // line is logged or the user information window is open
  NC_HostResolved = 13,     // sent, only while the window is open
};

class RFrontEnd {
 public:
  virtual ~RFrontEnd() = default;

  virtual void OnStatusRecord(const RStatusRecordStr& record) { (void)record; }
  // `text` is empty except for NC_Dialogue.
  virtual void OnNotify(uint32_t code, uint32_t session, std::string_view text) {
    (void)code, (void)session, (void)text;
  }
  virtual void OnTraceLine(intptr_t tag, std::string_view text) { (void)tag, (void)text; }
  virtual void OnLogLine(int category, std::string_view text) { (void)category, (void)text; }
  // MSG_RELOAD_SETTINGS: re-read the settings (RFTPServer::Reload does the chain).
  virtual void OnReloadRequest() {}
  // The last session ended while the exit was pending: close the program.
  virtual void OnCloseRequest() {}
  // The listener problems are reported with a beep as well as a log line.
  virtual void Beep() {}
  // A listener that cannot bind yet and is being retried: `text` says which
  // port and why ("Waiting for port 21: Address already in use"); "" once
  // every listener is up. Called on each change only.
  virtual void OnListenWait(std::string_view text) { (void)text; }
};

}  // namespace vantor
