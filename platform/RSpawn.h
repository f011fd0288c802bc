// Starting a program without a shell and without waiting for it.
//
// The program gets the arguments exactly as given: nothing is interpreted
// (no globbing, quoting, redirection or variables), so text from a client
// can never turn into a second command. Each child is reaped by a small
// thread of its own that waits for it, so no zombie is left behind and the
// loop thread never blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

struct RSpawnResultStr {
  bool ok = false;
  int32_t pid = 0;  // the child's process id when ok
  int error = 0;    // -errno when not ok
};

// Starts `path` (absolute) with argv = `args` (args[0] is the program name
// as the program sees it) in the directory `workDir` ("" = unchanged).
// The child starts in a session of its own (terminal signals to the server
// do not reach it), with default signal handling and an empty signal mask,
// stdin/stdout/stderr on /dev/null and no other descriptor of the server.
RSpawnResultStr SpawnDetached(const std::string& path, const std::vector<std::string>& args,
                              const std::string& workDir);

// Children started by SpawnDetached that have not been reaped yet.
int RunningSpawnedChildren();

}  // namespace vantor
