#include "platform/RThreadChecker.h"

#if VANTOR_THREAD_CHECKS

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace vantor {

void RThreadChecker::Fail(const char* what, std::thread::id owner, const RCallSite& at) {
  std::ostringstream self;
  self << std::this_thread::get_id();
  std::ostringstream bound;
  bound << owner;
  // One write, so a line from another thread cannot cut into it.
  char line[1024];
  int n = std::snprintf(line, sizeof line,
                        "thread check failed: %s used on thread %s (tid %ld), it belongs to "
                        "thread %s\n  at %s:%u in %s\n",
                        what, self.str().c_str(), static_cast<long>(syscall(SYS_gettid)),
                        bound.str().c_str(), at.file, at.line, at.function);
  if (n > 0) {
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    (void)!write(STDERR_FILENO, line, len);
  }
  std::abort();
}

}  // namespace vantor

#endif
