#include "platform/RSpawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

extern char** environ;

namespace vantor {
namespace {

std::atomic<int> gRunning{0};

void Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  gRunning.fetch_sub(1, std::memory_order_relaxed);
}

// Frees the spawn attributes whatever path the function takes.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool haveActions = false;
  bool haveAttr = false;
  ~SpawnSetup() {
    if (haveActions) posix_spawn_file_actions_destroy(&actions);
    if (haveAttr) posix_spawnattr_destroy(&attr);
  }
};

}  // namespace

RSpawnResultStr SpawnDetached(const std::string& path, const std::vector<std::string>& args,
                              const std::string& workDir) {
  RSpawnResultStr r;
  SpawnSetup s;
  int rc = posix_spawn_file_actions_init(&s.actions);
  if (rc == 0) s.haveActions = true;
  if (rc == 0) rc = posix_spawnattr_init(&s.attr);
  if (rc == 0) s.haveAttr = true;
  for (int fd = 0; rc == 0 && fd < 3; ++fd) {
    rc = posix_spawn_file_actions_addopen(&s.actions, fd, "/dev/null",
                                          fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  // Sockets and files of the server stay with the server.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&s.actions, 3);
  if (rc == 0 && !workDir.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&s.actions, workDir.c_str());
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&s.attr, &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&s.attr, &all);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        &s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  }
  if (rc != 0) {
    r.error = -rc;
    return r;
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  rc = posix_spawn(&pid, path.c_str(), &s.actions, &s.attr, argv.data(), environ);
  if (rc != 0) {
    r.error = -rc;
    return r;
  }
  gRunning.fetch_add(1, std::memory_order_relaxed);
  std::thread(Reap, pid).detach();
  r.ok = true;
  r.pid = pid;
  return r;
}

int RunningSpawnedChildren() {
  return gRunning.load(std::memory_order_relaxed);
}

}  // namespace vantor
