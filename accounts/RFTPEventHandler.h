// Event-hook libraries: loading from [EXTERNAL], calling them for session
// events, and the release call libraries use for held commands.
//
// One RFTPEventHandler lives as long as the program (the main window owns
// it). Sessions reach the libraries through their RFTPEventStub, which hands
// a copy of its record to Dispatch().
//
// Threads: everything here is loop-thread only except VantorPostMessage()
// (declared in include/vantor/hooks.h), which libraries may call from any
// thread once SetReleaseTarget() has been called.
#pragma once

#include <cstdint>
#include <string>

#include "accounts/RClientLib.h"
#include "include/vantor/hooks.h"
#include "platform/RDynLib.h"
#include "platform/RMessageLoop.h"
#include "util/RSimpleList.h"

namespace vantor {

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
  // `loop` and `mainWindow` receive the release messages (1041); the loop
  // must outlive the handler.
  RFTPEventHandler(RMessageLoop& loop, RWindowId mainWindow);
  // Stops accepting releases, then unloads the libraries.
  ~RFTPEventHandler();
  void AttachWindow(RMessageLoop& loop, RWindowId mainWindow);

  // The handler sessions use (set by the program after loading; nullptr:
  // none). Sessions get a hook record only while this handler has libraries.
  static void SetCurrent(RFTPEventHandler* handler);
  static RFTPEventHandler* Current();
  RFTPEventHandler(const RFTPEventHandler&) = delete;
  RFTPEventHandler& operator=(const RFTPEventHandler&) = delete;

  // Loads EventHookDLL1, 2, ... (log lines 2046, 2047, 2048). Returns the count.
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

}  // namespace vantor
