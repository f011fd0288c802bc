#include "platform/RFileIO.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor {

int64_t FdRead(int fd, void* buf, size_t len) {
  for (;;) {
    const ssize_t n = ::read(fd, buf, len);
    if (n >= 0) return n;
    if (errno != EINTR) return -errno;
  }
}

int64_t FdWriteAll(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  size_t left = len;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) return -ENOSPC;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<int64_t>(len);
}

int64_t FdSeek(int fd, int64_t offset, bool fromEnd) {
  const off_t r = ::lseek(fd, static_cast<off_t>(offset), fromEnd ? SEEK_END : SEEK_SET);
  return r < 0 ? -errno : static_cast<int64_t>(r);
}

int FdTruncate(int fd, int64_t length) {
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int64_t FdSize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -errno;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace vantor
