#include "platform/RLandlock.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/RFd.h"

// The installed header may predate the newer ABIs; these are the kernel's
// own values, which never change once released.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace vantor {
namespace {

constexpr int kRuleNetPort = 2;  // LANDLOCK_RULE_NET_PORT (ABI 4)

// struct landlock_ruleset_attr as ABI 6 lays it out; older kernels are
// given only the fields they know (a longer size with non-zero tail bytes
// is refused).
struct RulesetAttr {
  uint64_t handledFs = 0;
  uint64_t handledNet = 0;
  uint64_t scoped = 0;
};

struct NetPortAttr {
  uint64_t allowed = 0;
  uint64_t port = 0;
};

constexpr uint64_t kFsAbi1 =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM;
// The rights the kernel accepts on a rule for a file (not a folder).
constexpr uint64_t kFsFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                   LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                   LANDLOCK_ACCESS_FS_IOCTL_DEV;

uint64_t HandledFs(int abi) {
  uint64_t fs = kFsAbi1;
  if (abi >= 2) fs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
  if (abi >= 5) fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  return fs;
}

uint64_t FsRights(uint32_t rights) {
  uint64_t fs = 0;
  if (rights & kLandlockRead) fs |= LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
  // Symbolic links, device nodes and FIFOs are nothing a client can make.
  if (rights & kLandlockWrite) {
    fs |= LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
          LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
          LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_TRUNCATE;
  }
  if (rights & kLandlockMove) fs |= LANDLOCK_ACCESS_FS_REFER;
  if (rights & kLandlockExecute) fs |= LANDLOCK_ACCESS_FS_EXECUTE;
  if (rights & kLandlockMakeSocket) fs |= LANDLOCK_ACCESS_FS_MAKE_SOCK;
  if (rights & kLandlockDevice) fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  return fs;
}

long CreateRuleset(const void* attr, size_t size, uint32_t flags) {
  return ::syscall(SYS_landlock_create_ruleset, attr, size, flags);
}
long AddRule(int fd, int type, const void* attr) {
  return ::syscall(SYS_landlock_add_rule, fd, type, attr, 0u);
}
long RestrictSelf(int fd) {
  return ::syscall(SYS_landlock_restrict_self, fd, 0u);
}

// The other threads' share, written by the signal handler.
constexpr int kMaxThreads = 4096;
std::atomic<int> gRulesetFd{-1};
std::atomic<pid_t> gDone[kMaxThreads];
std::atomic<int> gDoneCount{0};
std::atomic<int> gFailures{0};
std::atomic<int> gFailErrno{0};

void OnThreadSignal(int) {
  const int saved = errno;
  long rc = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (rc == 0) rc = RestrictSelf(gRulesetFd.load());
  if (rc != 0) {
    gFailErrno.store(errno);
    gFailures.fetch_add(1);
  }
  const int slot = gDoneCount.fetch_add(1);
  if (slot < kMaxThreads) gDone[slot].store(static_cast<pid_t>(::syscall(SYS_gettid)));
  errno = saved;
}

bool Acked(pid_t tid) {
  const int n = std::min(gDoneCount.load(), kMaxThreads);
  for (int i = 0; i < n; ++i) {
    if (gDone[i].load() == tid) return true;
  }
  return false;
}

bool TaskAlive(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d", static_cast<int>(tid));
  struct stat st {};
  return ::stat(path, &st) == 0;
}

// The threads of this process; false when the list cannot be read.
bool ListThreads(std::set<pid_t>& out) {
  DIR* d = ::opendir("/proc/self/task");
  if (d == nullptr) return false;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9') out.insert(std::atoi(e->d_name));
  }
  ::closedir(d);
  return true;
}

// Whether thread `tid` blocks `sig` (its status line SigBlk).
bool BlocksSignal(pid_t tid, int sig) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return false;  // gone
  char line[256];
  unsigned long long mask = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "SigBlk: %llx", &mask) == 1) break;
  }
  std::fclose(f);
  return (mask >> (sig - 1)) & 1u;
}

void SleepMs(long ms) {
  timespec ts{0, ms * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

struct RThreadsOutcome {
  bool ok = true;
  bool partial = false;
  int error = 0;
  std::string why;
  int count = 0;
};

// Restricts every thread but the caller to the ruleset `fd`. Threads started
// meanwhile by one not yet restricted are found by the next round.
RThreadsOutcome RestrictOtherThreads(int fd) {
  RThreadsOutcome out;
  const int sig = LandlockThreadSignal();
  const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  gRulesetFd.store(fd);
  gDoneCount.store(0);
  gFailures.store(0);
  struct sigaction act {};
  struct sigaction old {};
  act.sa_handler = OnThreadSignal;
  act.sa_flags = SA_RESTART;
  sigfillset(&act.sa_mask);
  std::set<pid_t> signalled;
  auto fail = [&](int error, std::string why) {
    out.ok = false;
    out.partial = !signalled.empty();
    out.error = error;
    out.why = std::move(why);
  };
  if (::sigaction(sig, &act, &old) != 0) {
    fail(errno, "sigaction");
    return out;
  }
  for (int round = 0; round < 64 && out.ok; ++round) {
    std::set<pid_t> tids;
    if (!ListThreads(tids)) {
      fail(errno, "/proc/self/task");
      break;
    }
    std::vector<pid_t> fresh;
    for (pid_t t : tids) {
      if (t != self && !signalled.contains(t)) fresh.push_back(t);
    }
    if (fresh.empty()) break;
    // A thread being created blocks every signal until it runs its own
    // code; one that still blocks it after a while always will.
    for (pid_t t : fresh) {
      for (int waited = 0; BlocksSignal(t, sig); ++waited) {
        if (waited >= 1000) {
          fail(EDEADLK, "thread " + std::to_string(t) + " blocks signal " + std::to_string(sig));
          break;
        }
        SleepMs(1);
      }
      if (!out.ok) break;
    }
    if (!out.ok) break;
    for (pid_t t : fresh) {
      if (::syscall(SYS_tgkill, ::getpid(), t, sig) == 0) signalled.insert(t);
    }
    // Each handler runs as soon as its thread is scheduled; a thread that
    // ends first never answers.
    for (int waited = 0;; ++waited) {
      bool all = true;
      for (pid_t t : signalled) {
        if (!Acked(t) && TaskAlive(t)) all = false;
      }
      if (all) break;
      if (waited >= 5000) {
        fail(ETIMEDOUT, "a thread did not answer");
        break;
      }
      SleepMs(1);
    }
  }
  ::sigaction(sig, &old, nullptr);
  if (out.ok && gFailures.load() > 0) {
    out.ok = false;
    out.partial = true;
    out.error = gFailErrno.load();
    out.why = "landlock_restrict_self in a thread";
  }
  out.count = std::min(gDoneCount.load(), kMaxThreads);
  return out;
}

}  // namespace

int LandlockThreadSignal() {
  // Well clear of the two the C library keeps below SIGRTMIN.
  return SIGRTMIN + 6;
}

int LandlockAbi(int* error) {
  const long abi = CreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) {
    if (error != nullptr) *error = errno;
    return 0;
  }
  if (error != nullptr) *error = 0;
  return static_cast<int>(abi);
}

RLandlockResultStr ApplyLandlock(const RLandlockPlanStr& plan) {
  RLandlockResultStr r;
  r.abi = LandlockAbi(&r.error);
  if (r.abi <= 0) {
    r.why = r.error == EOPNOTSUPP ? "switched off in the kernel" : "not in this kernel";
    return r;
  }
  auto fail = [&r](const std::string& step) {
    r.error = errno;
    r.why = step + ": " + std::strerror(r.error);
    return r;
  };
  RulesetAttr attr;
  attr.handledFs = HandledFs(r.abi);
  size_t size = sizeof(uint64_t);
  if (r.abi >= 4 && plan.limitBind) {
    attr.handledNet = LANDLOCK_ACCESS_NET_BIND_TCP;
    size = 2 * sizeof(uint64_t);
    r.bindLimited = true;
  }
  if (r.abi >= 6) {
    attr.scoped = LANDLOCK_SCOPE_SIGNAL;
    if (!plan.allowAbstractSockets) attr.scoped |= LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
    size = sizeof attr;
  }
  const long made = CreateRuleset(&attr, size, 0);
  if (made < 0) return fail("landlock_create_ruleset");
  RFd ruleset(static_cast<int>(made));
  for (const RLandlockPathStr& p : plan.paths) {
    const int fd = ::open(p.path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) {
        r.missing.push_back(p.path);
        continue;
      }
      return fail("open " + p.path);
    }
    RFd parent(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail("fstat " + p.path);
    uint64_t allowed = FsRights(p.rights) & attr.handledFs;
    if (!S_ISDIR(st.st_mode)) allowed &= kFsFileRights;
    if (allowed == 0) continue;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = allowed;
    rule.parent_fd = fd;
    if (AddRule(ruleset.Get(), LANDLOCK_RULE_PATH_BENEATH, &rule) != 0)
      return fail("landlock_add_rule " + p.path);
  }
  if (r.bindLimited) {
    std::set<uint16_t> ports(plan.bindPorts.begin(), plan.bindPorts.end());
    for (uint16_t port : ports) {
      NetPortAttr rule;
      rule.allowed = LANDLOCK_ACCESS_NET_BIND_TCP;
      rule.port = port;
      if (AddRule(ruleset.Get(), kRuleNetPort, &rule) != 0)
        return fail("landlock_add_rule port " + std::to_string(port));
    }
  }
  // Without it an unprivileged process may not restrict itself, and a
  // program it starts could not gain privileges past the rules anyway.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return fail("PR_SET_NO_NEW_PRIVS");
  const RThreadsOutcome threads = RestrictOtherThreads(ruleset.Get());
  r.threads = threads.count;
  if (!threads.ok) {
    r.error = threads.error;
    r.why = threads.why + ": " + std::strerror(threads.error);
    if (!threads.partial) return r;
    // Some threads are restricted already: the caller must be too, or it
    // would be the way around them.
    if (RestrictSelf(ruleset.Get()) != 0) ::_exit(70);
    return r;
  }
  if (RestrictSelf(ruleset.Get()) != 0) return fail("landlock_restrict_self");
  r.applied = true;
  return r;
}

std::string ResolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace vantor
