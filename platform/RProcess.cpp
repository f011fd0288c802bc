#include "platform/RProcess.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace vantor {

std::string HostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

std::string ProgramDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

std::optional<std::string> EnvVar(const char* name) {
  const char* v = ::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

bool IsTerminal(int fd) {
  return ::isatty(fd) == 1;
}

bool SetTerminalEcho(int fd, bool on) {
  termios t;
  if (::tcgetattr(fd, &t) != 0) return false;
  if (on)
    t.c_lflag |= ECHO;
  else
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  return ::tcsetattr(fd, TCSAFLUSH, &t) == 0;
}

void IgnoreFileSizeSignal() {
  struct sigaction old {};
  if (::sigaction(SIGXFSZ, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  ::sigemptyset(&ign.sa_mask);
  (void)::sigaction(SIGXFSZ, &ign, nullptr);
}

}  // namespace vantor
