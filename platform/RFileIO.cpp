#include "platform/RFileIO.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

int64_t FdSpliceAll(int pipeFd, int fd, size_t len) {
  size_t left = len;
  while (left > 0) {
    const ssize_t n = ::splice(pipeFd, nullptr, fd, nullptr, left, SPLICE_F_MOVE);
    if (n > 0) {
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL) break;  // no splice into this file system
    // The pipe holds the bytes, so 0 or EAGAIN mean they went missing.
    return n == 0 || errno == EAGAIN ? -EIO : -errno;
  }
  char buf[16384];
  while (left > 0) {
    const int64_t n = FdRead(pipeFd, buf, left < sizeof(buf) ? left : sizeof(buf));
    if (n <= 0) return n < 0 && n != -EAGAIN ? n : -EIO;
    const int64_t w = FdWriteAll(fd, buf, static_cast<size_t>(n));
    if (w < 0) return w;
    left -= static_cast<size_t>(n);
  }
  return static_cast<int64_t>(len);
}

int FdPipe(RFd& readEnd, RFd& writeEnd, int size) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -errno;
  readEnd = RFd(fds[0]);
  writeEnd = RFd(fds[1]);
  // The default size stays when the system refuses a larger one.
  (void)::fcntl(fds[1], F_SETPIPE_SZ, size);
  return 0;
}

RFd FdDup(int fd) {
  return RFd(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

int64_t FdSeek(int fd, int64_t offset, bool fromEnd) {
  const off_t r = ::lseek(fd, static_cast<off_t>(offset), fromEnd ? SEEK_END : SEEK_SET);
  return r < 0 ? -errno : static_cast<int64_t>(r);
}

int FdTruncate(int fd, int64_t length) {
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return 0;
    if (errno != EINTR) return -errno;
  }
}

int64_t FdSize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -errno;
  return static_cast<int64_t>(st.st_size);
}

int FdInfo(int fd, RFdInfoStr& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -errno;
  // The same numbering as FsStat's, so the two compare.
  out.dev = (static_cast<uint64_t>(major(st.st_dev)) << 32) | minor(st.st_dev);
  out.ino = static_cast<uint64_t>(st.st_ino);
  out.nlink = static_cast<uint32_t>(st.st_nlink);
  out.size = static_cast<int64_t>(st.st_size);
  return 0;
}

}  // namespace vantor
