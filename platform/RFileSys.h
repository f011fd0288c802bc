// The file layer: every file-system call the server makes goes through here.
//
// Paths given to these functions are POSIX paths. The drive form used by the
// rest of the server (`C:\srv\ftp`) is turned into a POSIX path by
// `FsDriveToPosix`, which looks components up without regard to letter case.
//
// Nothing here follows a symbolic link unless a function says so: links are
// the platform's link entries and the caller decides what to do with them.
// Any thread may call these functions; they keep no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RDriveMap.h"
#include "platform/RFd.h"

namespace vantor {

enum class RFileType : uint8_t { Missing, Regular, Directory, Link, Device, Other };

// Status of one file-system object as the server sees it.
struct RFileStatStr {
  RFileType type = RFileType::Missing;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t mode = 0;  // POSIX st_mode
  uint32_t nlink = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  int64_t size = 0;
  int64_t atime = 0;  // seconds since 1970
  int64_t mtime = 0;
  int64_t btime = 0;      // birth time where the file system keeps one, else change time
  bool hidden = false;    // the name begins with "."
  bool readOnly = false;  // owner write bit clear

  bool Exists() const { return type != RFileType::Missing; }
};

// Status of `posixPath` itself (a link is reported as a link). False (and
// type Missing) when it cannot be read.
[[nodiscard]] bool FsStat(const std::string& posixPath, RFileStatStr& out);

// True when `posixPath` is a directory reached without any link on the way
// (the last name included). One open and a close: cheaper than FsStat where
// only the type matters.
[[nodiscard]] bool FsIsDirectory(const std::string& posixPath);

// True when the process (or the system) has no file descriptor left: what
// a failed open means then is "try again later", not "missing".
[[nodiscard]] bool FsOutOfDescriptors();

// The text of a symbolic link; false when `posixPath` is not one.
[[nodiscard]] bool FsReadLink(const std::string& posixPath, std::string& target);

// Drive path to POSIX path through `drives`. Each component is taken as given
// when it exists, else as the first entry of its directory that equals it
// without regard to case; a component that matches nothing is kept as given
// (so new names are created as the client wrote them). "" when the drive does
// not exist or the path is not in drive form. Links are not followed while
// looking: a linked directory's entries are not searched.
std::string FsDriveToPosix(const RDriveMap& drives, std::string_view drivePath);

// One directory entry as read (no status yet).
struct RDirEntryStr {
  std::string name;
  RFileType type = RFileType::Other;  // from the directory itself; Missing when unknown
};

// Reads a directory without following links. Entries come in the order the
// file system gives them, "." and ".." included.
class RDirReader {
 public:
  RDirReader() = default;
  RDirReader(const RDirReader&) = delete;
  RDirReader& operator=(const RDirReader&) = delete;
  ~RDirReader();

  // False when the path is not a directory reached without links or cannot be read.
  [[nodiscard]] bool Open(const std::string& posixPath);
  // False at the end.
  [[nodiscard]] bool Next(RDirEntryStr& out);
  // Status of an entry of the open directory (the entry itself, not a link's target).
  [[nodiscard]] bool StatEntry(const std::string& name, RFileStatStr& out) const;
  [[nodiscard]] bool ReadLinkEntry(const std::string& name, std::string& target) const;
  void Close();

 private:
  void* dir_ = nullptr;  // DIR*
};

enum class ROpenMode : uint8_t {
  Read,           // existing regular file
  WriteCreate,    // create or truncate
  WriteAppend,    // create or append
  WriteExisting,  // existing file, no truncation (restarted uploads)
  WriteNew,       // create, fail when it exists
};

// Opens a regular file without following any link on the way: openat2 with
// RESOLVE_NO_SYMLINKS where the kernel has it, else a walk from "/" with
// O_NOFOLLOW on every component. A link swapped in after the caller checked
// the path makes the open fail. Devices, FIFOs and directories are refused
// (-EISDIR, -EINVAL); a final link gives -ELOOP, a link further up -ELOOP
// through openat2 and -ENOTDIR through the component walk.
[[nodiscard]] RFdResult FsOpenNoFollow(const std::string& posixPath, ROpenMode mode);

// Makes FsOpenNoFollow use the component walk even where openat2 exists, so
// tests cover both paths.
void FsUseOpenat2(bool use);

// Told after every change made through this layer (a file opened for
// writing, a directory made or removed, a removal, both names of a rename,
// a new time or read-only attribute) with the POSIX path changed, on the
// calling thread. Each directory cache listens, so that the server's own
// changes show in its next listing at once.
class RFsChangeListener {
 public:
  virtual void FsChanged(const std::string& posixPath) = 0;

 protected:
  ~RFsChangeListener() = default;
};
// Any thread. Once FsRemoveChangeListener has returned, the listener is
// not called any more (a call under way is finished first), so its owner
// may go.
void FsAddChangeListener(RFsChangeListener* listener);
void FsRemoveChangeListener(RFsChangeListener* listener);

// Directory operations, none following a final link. Return 0 or -errno.
[[nodiscard]] int FsMakeDir(const std::string& posixPath);
[[nodiscard]] int FsRemoveDir(const std::string& posixPath);
[[nodiscard]] int FsRemoveFile(const std::string& posixPath);
// Removes `posixPath` only while it still names the open file `fd` (same
// device and inode, compared in the directory the name is removed from):
// a file another client put under that name meanwhile stays. -ESTALE then.
[[nodiscard]] int FsRemoveFileOf(const std::string& posixPath, int fd);
[[nodiscard]] int FsRename(const std::string& from, const std::string& to);
// Modification time (seconds since 1970) of a file, not following a link.
[[nodiscard]] int FsSetModTime(const std::string& posixPath, int64_t seconds);
// Read-only attribute: clears or adds the owner write bit.
[[nodiscard]] int FsSetReadOnly(const std::string& posixPath, bool readOnly);
// Permission bits (0 to 0777; the set-id and sticky bits are never set),
// not following a final link (-ELOOP for one).
[[nodiscard]] int FsSetMode(const std::string& posixPath, uint32_t mode);

// Reads a small regular file (link lists) without following links; at most
// `maxBytes` are read. False when it cannot be opened.
[[nodiscard]] bool FsReadSmallFile(const std::string& posixPath, std::string& out,
                                   size_t maxBytes = 1 << 20);

// Free bytes available to the server on the file system holding the path;
// -1 when unknown.
int64_t FsFreeSpace(const std::string& posixPath);

// When `component` is a reserved device name (COM and LPT followed by a digit,
// CON, AUX, CLOCK$, PRN, STDOUT, STDERR, STDIN, TRUENAME; any case) followed by
// the end, by "." or by ":" and then the end or ".": the length of the device
// name itself. Else 0. There are no such devices here; the names are only
// recognised so that they are never opened or created.
size_t FsReservedDeviceLength(std::string_view component);

}  // namespace vantor
