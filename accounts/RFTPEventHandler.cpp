#include "accounts/RFTPEventHandler.h"

#include <atomic>
#include <utility>

#include "platform/RMessages.h"

namespace vantor {
namespace {

// Read by library threads, written by the loop thread at start and stop.
// The loop outlives the handler, so a library thread that read the pointer
// just before it was cleared still posts into a living loop.
std::atomic<RMessageLoop*> gReleaseLoop{nullptr};
std::atomic<uint32_t> gReleaseWindow{0};
RFTPEventHandler* gCurrent = nullptr;  // loop thread only

}  // namespace

void SetReleaseTarget(RMessageLoop* loop, RWindowId window) {
  gReleaseWindow.store(window, std::memory_order_relaxed);
  gReleaseLoop.store(loop, std::memory_order_release);
}

RFTPEventHandler::RFTPEventHandler(RMessageLoop& loop, RWindowId mainWindow) {
  AttachWindow(loop, mainWindow);
}

void RFTPEventHandler::AttachWindow(RMessageLoop& loop, RWindowId mainWindow) {
  window_ = mainWindow;
  attached_ = true;
  SetReleaseTarget(&loop, mainWindow);
}

void RFTPEventHandler::SetCurrent(RFTPEventHandler* handler) {
  gCurrent = handler;
}

RFTPEventHandler* RFTPEventHandler::Current() {
  return gCurrent;
}

RFTPEventHandler::~RFTPEventHandler() {
  if (gCurrent == this) gCurrent = nullptr;
  if (attached_) SetReleaseTarget(nullptr, 0);
  // A library may join its own threads while it unloads; those threads find
  // releases refused rather than a dangling target.
  libs_.Clear();
}

size_t RFTPEventHandler::Load(const RExternalKeyReader& reader) {
  return LoadExternalLibraries(reader, "EventHookDLL", VANTOR_HOOK_ENTRY,
                               [this](RDynLib&& lib, void* entry, const std::string& name) {
                                 REventLibStr& s = libs_.Append();
                                 s.library = std::move(lib);
                                 s.entry = reinterpret_cast<HandleEventHookFn>(entry);
                                 s.fileName = name;
                               });
}

void RFTPEventHandler::AddForTest(HandleEventHookFn fn, std::string name) {
  REventLibStr& s = libs_.Append();
  s.entry = fn;
  s.fileName = std::move(name);
}

int32_t RFTPEventHandler::Dispatch(EventHookRecord& record) {
  int32_t result = 0;
  for (const REventLibStr& lib : libs_) {
    // Set before every call: a library may have scribbled over them.
    record.window = window_;
    record.releaseMessage = MSG_HOOK_RELEASE;
    result = lib.entry(&record);
    if (result == VNTR_HOOK_REPLY || result == VNTR_HOOK_HOLD) break;
  }
  return result;
}

}  // namespace vantor

extern "C" int32_t VantorPostMessage(uint32_t window, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam) {
  using namespace vantor;
  RMessageLoop* loop = gReleaseLoop.load(std::memory_order_acquire);
  // Libraries may only release held commands, and only to the main window.
  if (loop == nullptr || message != MSG_HOOK_RELEASE ||
      window != gReleaseWindow.load(std::memory_order_relaxed)) {
    return 0;
  }
  return loop->PostMessage(window, message, wParam, lParam) ? 1 : 0;
}
