// Whole-file operations on the server's own files (INI file, logs): read a
// file in one go, tell whether it changed, replace it atomically.
// Any thread; every call is independent. EINTR is retried inside.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

// What identifies one version of a file without reading it.
struct RFileIdentity {
  bool exists = false;
  uint64_t ino = 0;
  uint64_t dev = 0;
  int64_t size = -1;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;

  bool operator==(const RFileIdentity&) const = default;
};

// The identity of `path` (follows symbolic links). A missing or unreachable
// file gives exists == false.
RFileIdentity StatFile(const std::string& path);

// Reads the whole regular file into `out` and reports the identity of the
// version read (taken from the open descriptor, so it matches the bytes).
// False when the file cannot be opened or read, or is no regular file (a
// FIFO is refused, never waited for); `out` is then empty and `why` (when
// given) says what the system refused ("Permission denied").
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string* out,
                                 RFileIdentity* identity = nullptr, std::string* why = nullptr);

// How a bounded read ended.
enum class RBoundedRead {
  Ok,
  Missing,     // no such file (or a path component is not a directory)
  TooLarge,    // more than the bound: nothing is returned
  NotRegular,  // a directory, FIFO, device or socket: never opened for reading
  Failed,      // any other open or read error
};

// Reads a regular file of at most `maxBytes` bytes, block by block, so a
// huge or sparse file costs one status call and no memory. The open never
// blocks (a FIFO is refused, not waited for); links are followed. `out` holds
// the bytes only for Ok.
[[nodiscard]] RBoundedRead ReadFileBounded(const std::string& path, size_t maxBytes,
                                           std::string* out);

// Replaces `path` with `data`: a temporary file in the same directory is
// written, flushed to disk and renamed over the old name, then the directory
// is flushed, so a crash or a full disk leaves either the old or the new file,
// never a mix. An existing file's permission bits are kept, and its owner and
// group as far as this process may set them (root always); a new file gets
// `newMode`. When `path` is a symbolic link its target is replaced. False on
// any failure; the old file is then untouched and no temporary file remains,
// and `why` (when given) says what the system refused ("No space left on
// device").
[[nodiscard]] bool ReplaceFileAtomic(const std::string& path, std::string_view data,
                                     RFileIdentity* identity = nullptr, mode_t newMode = 0600,
                                     std::string* why = nullptr);

// The same through a temporary file of a given name (which must be in the
// same directory as `path`); a file of that name is replaced.
[[nodiscard]] bool ReplaceFileThrough(const std::string& path, const std::string& tmpPath,
                                      std::string_view data, mode_t newMode = 0600);

// Appends `data` to `path` (created with `newMode` when missing) and closes
// it again. False when the file cannot be opened or not all was written.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view data,
                                mode_t newMode = 0640);
// Truncates (or creates) `path` and writes `data`; not atomic, for files that
// readers expect to be rewritten in place.
[[nodiscard]] bool WriteWholeFile(const std::string& path, std::string_view data,
                                  mode_t newMode = 0644);
// True when `path` names an existing file of any kind.
bool FileExists(const std::string& path);
// Removes a file; true when it is gone afterwards.
bool RemoveFile(const std::string& path);
// Renames; false on failure.
[[nodiscard]] bool RenameFile(const std::string& from, const std::string& to);

// Wall-clock nanoseconds since 1970 (as file times are kept).
int64_t FileClockNowNs();

}  // namespace vantor
