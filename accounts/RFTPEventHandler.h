// Event-hook libraries: loading from [EXTERNAL], calling them for session
// events, and the release call libraries use for held commands.
//
// Handlers are shared: the server's manager holds the current one (handed to
// it by the front end's add-ons), and every session that has a hook record
// holds the one it started with. A settings reload
// makes a new handler current; the old one, and with it its libraries, lives
// on until the last session using it has ended (its close event, code 3,
// included). So a session never calls into a freed handler or an unloaded
// library, and a library that holds a command is still there to release it.
//
// Threads: everything here is loop-thread only except VantorPostMessage()
// (declared in include/vantor/hooks.h), which libraries may call from any
// thread once a handler is attached to a window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "accounts/RClientLib.h"
#include "include/vantor/hooks.h"
#include "platform/RDynLib.h"
#include "platform/RMessageLoop.h"
#include "util/RSimpleList.h"

namespace vantor {

// The main window's message that releases a held command (ftp/RBusMessages.h
// lists the window's other numbers); wParam: session number.
inline constexpr uint32_t MSG_HOOK_RELEASE = 1041;

struct REventLibStr {
  RDynLib library;
  HandleEventHookFn entry = nullptr;
  std::string fileName;
};

class RFTPEventHandler {
 public:
  // Without a window releases are refused until AttachWindow() is called
  // (the libraries load at start-up, before the server creates its window).
  RFTPEventHandler() = default;
  // `loop` and `mainWindow` receive the release messages (MSG_HOOK_RELEASE);
  // the loop must outlive the handler.
  RFTPEventHandler(RMessageLoop& loop, RWindowId mainWindow);
  // The last attached handler to go stops accepting releases; then the
  // libraries are unloaded.
  ~RFTPEventHandler();
  void AttachWindow(RMessageLoop& loop, RWindowId mainWindow);
  RFTPEventHandler(const RFTPEventHandler&) = delete;
  RFTPEventHandler& operator=(const RFTPEventHandler&) = delete;

  // Loads EventHookDLL1, 2, ... (logs kLogLibraryLoaded, kLogLibraryNotLoaded or
  // kLogLibraryNoEntryPoint for each). Returns the count.
  size_t Load(const RExternalKeyReader& reader);
  size_t Count() const { return libs_.Count(); }
  bool Empty() const { return libs_.Empty(); }

  // Sets the release fields (92, 96) and calls the libraries in load order.
  // A result of 2 or 3 ends the calls and is returned; otherwise the last
  // library's result is returned (0 without libraries).
  int32_t Dispatch(EventHookRecord& record);

  RWindowId MainWindow() const { return window_; }

  // For tests: adds an entry point that is not backed by a library.
  void AddForTest(HandleEventHookFn fn, std::string name);

 private:
  RSimpleList<REventLibStr> libs_;
  RWindowId window_ = 0;
  bool attached_ = false;
};

// Where VantorPostMessage() delivers releases. Set by RFTPEventHandler;
// nullptr stops all releases (they are then refused).
void SetReleaseTarget(RMessageLoop* loop, RWindowId window);

// Session numbers of releases that VantorPostMessage() accepted but could
// not queue (the loop's queue was full), oldest first; the list is emptied.
// The main window delivers them on its next tick. Loop thread.
std::vector<uint32_t> TakeLostReleases();

}  // namespace vantor
