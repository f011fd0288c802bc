#include "platform/RRandom.h"

#include <sys/random.h>

#include <cerrno>

namespace vantor {

bool RandomBytes(void* buf, size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    // Blocks only before the pool is first initialised during boot.
    const ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace vantor
