#include "platform/RFileLock.h"

#include <errno.h>
#include <fcntl.h>

#include <cstdint>
#include <limits>

namespace vantor {

int FdLockSlot(int fd, RLockSlot slot, bool exclusive) {
  constexpr off_t kTop = std::numeric_limits<off_t>::max();
  struct flock fl = {};
  fl.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
  fl.l_whence = SEEK_SET;
  fl.l_start = slot == RLockSlot::Writer ? kTop - 2 : kTop - 1;
  fl.l_len = 1;
  fl.l_pid = 0;  // required for open-file-description locks
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return errno == EACCES ? -EAGAIN : -errno;
  }
}

}  // namespace vantor
