// Descriptor I/O for file transfers: whole reads and writes with EINTR and
// partial transfers handled inside, positioning, truncation and size.
// Results are byte counts or -errno. Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/RFd.h"

namespace vantor {

// Reads up to `len` bytes at the current position; 0 at end of file.
[[nodiscard]] int64_t FdRead(int fd, void* buf, size_t len);
// Writes all `len` bytes at the current position (loops over short writes).
// A full disk gives -ENOSPC even when part of the block went out.
[[nodiscard]] int64_t FdWriteAll(int fd, const void* buf, size_t len);
// Moves exactly `len` bytes from the pipe `pipeFd` (which holds them) to
// the current position of `fd` with splice(2); where the file system cannot
// take a splice, through a small buffer instead. `len` or -errno, as
// FdWriteAll.
[[nodiscard]] int64_t FdSpliceAll(int pipeFd, int fd, size_t len);
// A non-blocking pipe with room for at least `size` bytes where the system
// allows it; 0, or -errno (nothing open) when no pipe can be made.
[[nodiscard]] int FdPipe(RFd& readEnd, RFd& writeEnd, int size);
// A second descriptor of the same open file (shared position and locks),
// close-on-exec; invalid when none can be had.
[[nodiscard]] RFd FdDup(int fd);
[[nodiscard]] int64_t FdSeek(int fd, int64_t offset, bool fromEnd);
// 0 or -errno.
[[nodiscard]] int FdTruncate(int fd, int64_t length);
// Size of the open file, -errno on failure.
[[nodiscard]] int64_t FdSize(int fd);

// What an open file is: its identity (numbered as RFileStatStr's), how many names it has left (0
// once every name was removed or replaced) and its size.
struct RFdInfoStr {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t nlink = 0;
  int64_t size = 0;
};
// 0 or -errno.
[[nodiscard]] int FdInfo(int fd, RFdInfoStr& out);

}  // namespace vantor
