// Descriptor I/O for file transfers: whole reads and writes with EINTR and
// partial transfers handled inside, positioning, truncation and size.
// Results are byte counts or -errno. Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor {

// Reads up to `len` bytes at the current position; 0 at end of file.
[[nodiscard]] int64_t FdRead(int fd, void* buf, size_t len);
// Writes all `len` bytes at the current position (loops over short writes).
// A full disk gives -ENOSPC even when part of the block went out.
[[nodiscard]] int64_t FdWriteAll(int fd, const void* buf, size_t len);
[[nodiscard]] int64_t FdSeek(int fd, int64_t offset, bool fromEnd);
[[nodiscard]] int FdTruncate(int fd, int64_t length);
// Size of the open file, -errno on failure.
[[nodiscard]] int64_t FdSize(int fd);

}  // namespace vantor
