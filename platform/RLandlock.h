// The file-system and TCP-bind confinement the kernel enforces (Landlock,
// Linux 5.13 and later), applied once to the whole process and inherited by
// every thread and program it starts later.
//
// The newest ABI the kernel offers is used, down to 1; rights an older ABI
// does not know are simply not enforced (renames between folders need ABI 2,
// truncation is governed from 3, TCP bind from 4, signal and abstract-socket
// scoping from 6). Nothing can be loosened afterwards.
//
// The kernel restricts only the thread that asks (up to ABI 7), so
// ApplyLandlock also restricts every other thread that runs at the time: it
// signals each with a real-time signal (LandlockThreadSignal()) whose handler
// restricts that thread, and waits for all of them. A thread that blocks
// that signal makes the whole call fail before anything is restricted.
// Loop thread, once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

// What a path grants, beneath it for a directory.
enum RLandlockRight : uint32_t {
  kLandlockRead = 1u << 0,        // read files, list folders
  kLandlockWrite = 1u << 1,       // write, create, remove, rename, truncate
  kLandlockExecute = 1u << 2,     // run programs
  kLandlockMakeSocket = 1u << 3,  // create UNIX sockets (bind a path)
  kLandlockDevice = 1u << 4,      // ioctl on device files (ABI 5)
  // With write: rename and link into and out of other folders (ABI 2).
  // Without it a move between folders fails with EXDEV; one inside a folder
  // needs only write.
  kLandlockMove = 1u << 5,
};

struct RLandlockPathStr {
  std::string path;
  uint32_t rights = 0;  // RLandlockRight bits
};

struct RLandlockPlanStr {
  std::vector<RLandlockPathStr> paths;
  // With ABI 4 and later, TCP bind only to these ports (0 = a port the
  // kernel picks). Connect is never limited.
  bool limitBind = true;
  std::vector<uint16_t> bindPorts;
  // Abstract UNIX sockets outside the process stay reachable (the service
  // manager's notify socket may be one).
  bool allowAbstractSockets = false;
};

struct RLandlockResultStr {
  bool applied = false;
  int abi = 0;                       // the ABI applied (or offered, when not applied)
  int error = 0;                     // errno of the step that failed
  std::string why;                   // when not applied
  std::vector<std::string> missing;  // planned paths that did not exist (skipped)
  bool bindLimited = false;
  int threads = 0;  // other threads restricted with the caller
};

// The real-time signal ApplyLandlock sends to the other threads.
int LandlockThreadSignal();

// The newest ABI the kernel offers (0 = none; `error` gets the errno:
// ENOSYS not built in, EOPNOTSUPP switched off at boot).
int LandlockAbi(int* error);

// Sets no_new_privs and restricts every thread of the process to `plan`.
// A plan path that does not exist is skipped and listed in `missing`; one
// that cannot be opened for another reason fails the call. Not applied:
// `why` says which step failed and nothing was restricted (the one
// exception: a failure while the threads are being restricted, reported as
// such, leaves the threads done so far restricted).
RLandlockResultStr ApplyLandlock(const RLandlockPlanStr& plan);

// `path` with every link and dot resolved (the kernel's view, which is what
// a rule binds to); "" when it does not exist or cannot be reached.
std::string ResolvedPath(const std::string& path);

}  // namespace vantor
