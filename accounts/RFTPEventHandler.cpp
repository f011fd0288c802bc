#include "accounts/RFTPEventHandler.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace vantor {
namespace {

// Read by library threads, written by the loop thread at start and stop.
// The loop outlives the handler, so a library thread that read the pointer
// just before it was cleared still posts into a living loop.
std::atomic<RMessageLoop*> gReleaseLoop{nullptr};
std::atomic<uint32_t> gReleaseWindow{0};

// Loop thread only. Handlers attached to a window: an old handler that goes while a newer one
// is attached must not switch releases off for everybody.
int gAttached = 0;

// Releases that found the queue full. Bounded, so a library that floods us
// with releases cannot grow it without limit; beyond the bound a release is
// refused and the held command ends by its time-out.
constexpr size_t kMaxLostReleases = 4096;
std::mutex gLostMutex;
std::vector<uint32_t> gLostReleases;

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
  if (!attached_) ++gAttached;
  attached_ = true;
  SetReleaseTarget(&loop, mainWindow);
}

RFTPEventHandler::~RFTPEventHandler() {
  if (attached_ && --gAttached == 0) SetReleaseTarget(nullptr, 0);
  // A library may join its own threads while it unloads; with no handler
  // left those threads find releases refused rather than a dangling target.
  libs_.Clear();
}

std::vector<uint32_t> TakeLostReleases() {
  std::lock_guard<std::mutex> lock(gLostMutex);
  return std::exchange(gLostReleases, {});
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
  if (loop->PostMessage(window, message, wParam, lParam)) return 1;
  // The queue is full (or the window is going away at shutdown, when no
  // session is left to find it): keep the release for the main window's
  // next tick rather than leave the command held for good.
  std::lock_guard<std::mutex> lock(gLostMutex);
  if (gLostReleases.size() >= kMaxLostReleases) return 0;
  gLostReleases.push_back(static_cast<uint32_t>(wParam));
  return 1;
}
