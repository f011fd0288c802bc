// The kernel's confinement built from a configuration: which paths the plan
// grants, and (in a forked child, since nothing lifts it) what the kernel
// then refuses.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "app/RConfinement.h"
#include "log_capture.h"
#include "platform/RLandlock.h"
#include "platform/RSyscallDenyList.h"
#include "platform/RSyscallFilter.h"
#include "temp_dir.h"

namespace vantor {
namespace {

using test::TempDir;
using test::WriteText;

uint32_t RightsOf(const RConfinementNeedsStr& n, const std::string& path) {
  uint32_t r = 0;
  for (const RConfinementPathStr& p : n.paths) {
    if (p.grant.path == path) r |= p.grant.rights;
  }
  return r;
}

// Runs `body` in a child process; the child's lines on the pipe are the
// failures. Returns them ("" = all passed).
std::string InChild(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string out = body();
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "child died\n";
  return text;
}

int OpenErrno(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

class ConfinementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.Path();
    for (const char* d : {"/etc", "/rw", "/rw/sub", "/ro", "/unused", "/outside", "/logs"})
      std::filesystem::create_directories(root_ + d);
    for (const char* f : {"/rw/a.txt", "/ro/b.txt", "/outside/secret.txt", "/unused/c.txt"})
      WriteText(root_ + f, "x");
  }
  std::string Ini(const std::string& users, const std::string& extra = "",
                  const std::string& drives = "") {
    const std::string path = root_ + "/etc/VANTOR.INI";
    WriteText(path, "[GLOBAL]\nPortNr=2121\nXferLog=" + root_ + "/logs/xfer.log\n" + extra +
                        "[DRIVES]\nC=" + root_ + "/rw\nD=" + root_ + "/ro\nE=" + root_ +
                        "/unused\n" + drives + users);
    return path;
  }
  TempDir dir_;
  std::string root_;
};

TEST_F(ConfinementTest, PlanFollowsTheRules) {
  constexpr uint32_t kRWM = kLandlockRead | kLandlockWrite | kLandlockMove;
  struct Case {
    const char* name;
    std::string users;
    std::string global;
    uint32_t c, d, e;
  } cases[] = {
      {"write letters on C, read on D",
       "[USER=joe]\nHomeDir=C:\\\nAccess1=C:\\,RWLP\nAccess2=D:\\,RL\n", "",
       kLandlockRead | kLandlockWrite | kLandlockMove, kLandlockRead, 0},
      {"a home alone reaches its drive read-only", "[USER=joe]\nHomeDir=D:\\\n", "", 0,
       kLandlockRead, 0},
      {"E grants execute", "[GROUP=g]\nAccess1=C:\\bin,RE\n", "", kLandlockRead | kLandlockExecute,
       0, 0},
      {"a rule without a drive reaches every drive", "[USER=joe]\nAccess1=\\pub,RC\n", "", kRWM,
       kRWM, kRWM},
      {"Security off: every drive writable", "", "Security=OFF\n", kRWM, kRWM, kRWM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RConfinementNeedsStr n = ConfinementNeeds(RIniFile(Ini(c.users, c.global)), {});
    EXPECT_EQ(RightsOf(n, root_ + "/rw"), c.c);
    EXPECT_EQ(RightsOf(n, root_ + "/ro"), c.d);
    EXPECT_EQ(RightsOf(n, root_ + "/unused"), c.e);
    EXPECT_EQ(RightsOf(n, root_ + "/etc"), kLandlockRead | kLandlockWrite);
    EXPECT_EQ(RightsOf(n, root_ + "/logs"), kLandlockRead | kLandlockWrite);
    EXPECT_EQ(RightsOf(n, root_ + "/outside"), 0u);
    // Control port, the active-mode port below it and ports the kernel picks.
    for (uint16_t port : {2121, 2120, 0})
      EXPECT_NE(std::find(n.ports.begin(), n.ports.end(), port), n.ports.end()) << port;
  }
}

TEST_F(ConfinementTest, KernelRefusesWhatThePlanLeavesOut) {
  if (LandlockAbi(nullptr) < 2) GTEST_SKIP() << "no Landlock ABI 2 in this kernel";
  const std::string ini = Ini("[USER=joe]\nHomeDir=C:\\\nAccess1=C:\\,RWAMDCLP\nAccess2=D:\\,RL\n");
  const std::string failures = InChild([&]() -> std::string {
    std::string out;
    auto check = [&out](const char* what, int got, int want) {
      if (got != want)
        out += std::string(what) + ": errno " + std::to_string(got) + ", want " +
               std::to_string(want) + "\n";
    };
    // A thread that runs before the rules must be bound by them too.
    std::atomic<int> phase{0};
    std::atomic<int> threadErrno{-1};
    std::thread early([&] {
      while (phase.load() == 0) std::this_thread::yield();
      threadErrno = OpenErrno(root_ + "/outside/secret.txt", O_RDONLY);
      phase = 2;
    });
    RConfinement c;
    test::LogCapture log;
    c.Apply(ini);
    phase = 1;
    while (phase.load() != 2) std::this_thread::yield();
    early.join();
    std::string lines;
    for (const std::string& l : log.lines) lines += l + "\n";
    if (!c.LandlockOn()) return "Landlock not applied\n" + lines;
    if (log.Count("Confinement: Landlock ABI") != 1) out += "no ABI line: " + lines;
    check("read inside a writable root", OpenErrno(root_ + "/rw/a.txt", O_RDONLY), 0);
    check("create inside a writable root", OpenErrno(root_ + "/rw/new.txt", O_WRONLY | O_CREAT), 0);
    check("read inside a read-only root", OpenErrno(root_ + "/ro/b.txt", O_RDONLY), 0);
    check("write below a read-only root", OpenErrno(root_ + "/ro/b.txt", O_WRONLY), EACCES);
    check("create below a read-only root", OpenErrno(root_ + "/ro/n.txt", O_WRONLY | O_CREAT),
          EACCES);
    check("read outside every root", OpenErrno(root_ + "/outside/secret.txt", O_RDONLY), EACCES);
    check("read a drive no rule reaches", OpenErrno(root_ + "/unused/c.txt", O_RDONLY), EACCES);
    check("read outside, thread started before", threadErrno.load(), EACCES);
    check("/etc/hostname", OpenErrno("/etc/hostname", O_RDONLY), EACCES);
    check("a file in /tmp", OpenErrno("/tmp/vantor-confinement-probe", O_WRONLY | O_CREAT), EACCES);
    check("system library", OpenErrno("/etc/ld.so.cache", O_RDONLY), 0);
    const std::string temporary = root_ + "/etc/VANTOR.INI.new";
    check("INI folder temporary", OpenErrno(temporary, O_WRONLY | O_CREAT), 0);
    WriteText(temporary, test::ReadText(ini));
    check("INI replaced", ::rename(temporary.c_str(), ini.c_str()) == 0 ? 0 : errno, 0);
    const std::string inside = root_ + "/rw/a.txt";
    // Into a writable folder that is no drive (the logs), and out of all.
    check("rename out of a root",
          ::rename(inside.c_str(), (root_ + "/logs/a.txt").c_str()) == 0 ? 0 : errno, EXDEV);
    check("rename outside every root",
          ::rename(inside.c_str(), (root_ + "/outside/a.txt").c_str()) == 0 ? 0 : errno, EACCES);
    check("rename between folders of one root",
          ::rename(inside.c_str(), (root_ + "/rw/sub/a.txt").c_str()) == 0 ? 0 : errno, 0);
    // Seccomp: the calls of the deny list fail with EPERM, for good.
    if (!c.FilterOn()) out += "filter not applied\n";
    check("setuid", ::setuid(::getuid()) == 0 ? 0 : errno, EPERM);
    if (!kLeakCheckerTraces) {
      check("ptrace", ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : errno, EPERM);
    }
    check("no_new_privs", ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0), 1);
    // A reload naming a new drive root is outside the set.
    if (c.ReportReload(RIniFile(ini)) != 0) {
      out += "unchanged INI reported\n";
      for (const std::string& l : log.lines) out += l + "\n";
    }
    (void)Ini("[USER=joe]\nHomeDir=C:\\\nAccess1=C:\\,RWAMDCLP\nAccess2=D:\\,RL\nAccess3=F:\\,RL\n",
              "", "F=" + root_ + "/outside\n");
    if (c.ReportReload(RIniFile(ini)) != 1) out += "new drive root not reported\n";
    if (c.Covers(root_ + "/outside", kLandlockRead)) out += "outside covered\n";
    // A new passive range is one line, with the ports as a range.
    (void)Ini("[USER=joe]\nAccess1=C:\\,RL\n", "PassivePortRange=40000-40099\n");
    log.lines.clear();
    if (c.ReportReload(RIniFile(ini)) != 1 || log.Count("TCP port 40000-40099 is outside") != 1) {
      out += "passive range:\n";
      for (const std::string& l : log.lines) out += l + "\n";
    }
    if (!c.Covers(root_ + "/rw/sub/x", kLandlockRead | kLandlockWrite)) out += "rw not covered\n";
    return out;
  });
  EXPECT_EQ(failures, "");
}

}  // namespace
}  // namespace vantor
