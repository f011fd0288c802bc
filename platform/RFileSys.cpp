#include "platform/RFileSys.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "util/RText.h"

namespace vantor {
namespace {

// Once the kernel (or a seccomp filter) refuses openat2, stop asking.
std::atomic<bool> gNoOpenat2{false};

// The listeners are told under the lock, so one that is removed is never
// called afterwards. A listener must not make changes through this layer.
struct ChangeListenersStr {
  std::mutex mu;
  std::vector<RFsChangeListener*> list;
};
ChangeListenersStr& Listeners() {
  static ChangeListenersStr l;
  return l;
}

// Reports a change made through this layer; `rc` is the operation's result.
int Changed(int rc, const std::string& path) {
  if (rc != 0) return rc;
  ChangeListenersStr& l = Listeners();
  std::lock_guard<std::mutex> lock(l.mu);
  for (RFsChangeListener* listener : l.list) listener->FsChanged(path);
  return rc;
}

// Splits an absolute POSIX path into its components; false for a relative
// path or one holding "." or ".." (resolved paths never do, so such a path is
// treated as hostile).
bool SplitAbsolute(const std::string& path, std::vector<std::string_view>& parts) {
  parts.clear();
  if (path.empty() || path[0] != '/') return false;
  std::string_view rest(path);
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == '/') ++i;
    size_t j = rest.find('/', i);
    if (j == std::string_view::npos) j = rest.size();
    if (j > i) {
      std::string_view c = rest.substr(i, j - i);
      if (c == "." || c == "..") return false;
      parts.push_back(c);
    }
    i = j;
  }
  return true;
}

int Openat2(int dirfd, const char* path, int flags, mode_t mode) {
  if (gNoOpenat2.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof(how));
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || errno == EAGAIN) continue;
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
      gNoOpenat2.store(true, std::memory_order_relaxed);
      errno = ENOSYS;
    }
    return -1;
  }
}

int OpenatRetry(int dirfd, const char* name, int flags, mode_t mode) {
  for (;;) {
    int fd = ::openat(dirfd, name, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// Opens `path` with `flags` without following a link anywhere on the way.
int OpenNoFollow(const std::string& path, int flags, mode_t mode) {
  flags |= O_NOFOLLOW | O_CLOEXEC;
  std::vector<std::string_view> parts;
  if (!SplitAbsolute(path, parts)) {
    errno = EINVAL;
    return -1;
  }
  int fd = Openat2(AT_FDCWD, path.c_str(), flags, mode);
  if (fd >= 0 || errno != ENOSYS) return fd;
  // Walk from the root, refusing a link at every step.
  RFd dir(OpenatRetry(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
  if (!dir) return -1;
  if (parts.empty()) return OpenatRetry(AT_FDCWD, "/", flags, mode);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    std::string name(parts[i]);
    RFd next(
        OpenatRetry(dir.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!next) return -1;
    dir = std::move(next);
  }
  std::string last(parts.back());
  return OpenatRetry(dir.Get(), last.c_str(), flags, mode);
}

// The parent directory of `path` (opened without links) and the last name.
RFd OpenParent(const std::string& path, std::string& name) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= path.size()) {
    errno = EINVAL;
    return RFd();
  }
  name = path.substr(slash + 1);
  if (name == "." || name == "..") {
    errno = EINVAL;
    return RFd();
  }
  std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
  return RFd(OpenNoFollow(parent, O_PATH | O_DIRECTORY, 0));
}

RFileType TypeOfMode(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return RFileType::Regular;
    case S_IFDIR:
      return RFileType::Directory;
    case S_IFLNK:
      return RFileType::Link;
    case S_IFCHR:
    case S_IFBLK:
      return RFileType::Device;
    default:
      return RFileType::Other;
  }
}

bool StatAt(int dirfd, const char* name, std::string_view baseName, RFileStatStr& out) {
  struct statx sx {};
  out = RFileStatStr{};
  if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | AT_NO_AUTOMOUNT,
              STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    return false;
  }
  out.type = TypeOfMode(sx.stx_mode);
  out.dev = (static_cast<uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  out.ino = sx.stx_ino;
  out.mode = sx.stx_mode;
  out.nlink = sx.stx_nlink;
  out.uid = sx.stx_uid;
  out.gid = sx.stx_gid;
  out.size = static_cast<int64_t>(sx.stx_size);
  out.atime = sx.stx_atime.tv_sec;
  out.mtime = sx.stx_mtime.tv_sec;
  out.btime = (sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
  out.hidden = !baseName.empty() && baseName[0] == '.';
  out.readOnly = (sx.stx_mode & S_IWUSR) == 0;
  return true;
}

RFileType TypeOfDirent(unsigned char t) {
  switch (t) {
    case DT_REG:
      return RFileType::Regular;
    case DT_DIR:
      return RFileType::Directory;
    case DT_LNK:
      return RFileType::Link;
    case DT_CHR:
    case DT_BLK:
      return RFileType::Device;
    case DT_UNKNOWN:
      return RFileType::Missing;
    default:
      return RFileType::Other;
  }
}

// 0, or -errno of the call that just failed.
int ErrnoOf(int rc) {
  return rc == 0 ? 0 : -(errno != 0 ? errno : EIO);
}

}  // namespace

bool FsStat(const std::string& posixPath, RFileStatStr& out) {
  out = RFileStatStr{};
  if (posixPath == "/") return StatAt(AT_FDCWD, "/", "", out);
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return false;
  return StatAt(parent.Get(), name.c_str(), name, out);
}

bool FsIsDirectory(const std::string& posixPath) {
  // O_DIRECTORY with O_NOFOLLOW refuses a final link with ENOTDIR.
  return RFd(OpenNoFollow(posixPath, O_PATH | O_DIRECTORY, 0)).Valid();
}

bool FsOutOfDescriptors() {
  const int fd = ::open("/", O_PATH | O_CLOEXEC);
  const int err = errno;
  RFd probe(fd);
  return fd < 0 && (err == EMFILE || err == ENFILE);
}

bool FsReadLink(const std::string& posixPath, std::string& target) {
  target.clear();
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return false;
  char buf[4096];
  ssize_t n = ::readlinkat(parent.Get(), name.c_str(), buf, sizeof(buf));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buf)) return false;
  target.assign(buf, static_cast<size_t>(n));
  return true;
}

std::string FsDriveToPosix(const RDriveMap& drives, std::string_view drivePath) {
  std::string out = drives.DriveToPosix(drivePath);
  if (out.empty()) return out;
  std::string root = drives.Root(drivePath[0]);
  std::vector<std::string_view> parts;
  std::string rest = out.substr(root == "/" ? 0 : root.size());
  if (rest.empty()) rest = "/";
  if (!SplitAbsolute(rest, parts)) return {};  // parts point into `rest`
  // The usual case: the path exists as written, and then so does every
  // component of it; one look instead of one per component.
  {
    std::string whole = root == "/" ? "/" : root;
    for (std::string_view comp : parts) {
      if (whole.back() != '/') whole += '/';
      whole += comp;
    }
    struct stat st {};
    if (::lstat(whole.c_str(), &st) == 0) return whole;
  }
  std::string cur = root;
  bool missing = false;  // below a missing component nothing can exist
  for (std::string_view comp : parts) {
    std::string base = cur == "/" ? cur : cur + "/";
    std::string given = base + std::string(comp);
    if (missing) {
      cur = given;
      continue;
    }
    struct stat st {};
    if (::lstat(given.c_str(), &st) == 0) {
      cur = given;
      continue;
    }
    // Not there as written: take the first entry equal to it ignoring case,
    // but only inside a real directory (never search through a link).
    std::string found;
    if (::lstat(cur.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      int fd = OpenNoFollow(cur, O_RDONLY | O_DIRECTORY, 0);
      DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
      if (d == nullptr && fd >= 0) ::close(fd);
      if (d != nullptr) {
        while (dirent* e = ::readdir(d)) {
          if (EqualNoCaseAscii(e->d_name, comp)) {
            found = e->d_name;
            break;
          }
        }
        ::closedir(d);
      }
    }
    if (found.empty()) {
      missing = true;
      cur = given;
    } else {
      cur = base + found;
    }
  }
  return cur;
}

RDirReader::~RDirReader() {
  Close();
}

bool RDirReader::Open(const std::string& posixPath) {
  Close();
  int fd = OpenNoFollow(posixPath, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return false;
  }
  dir_ = d;
  return true;
}

bool RDirReader::Next(RDirEntryStr& out) {
  if (dir_ == nullptr) return false;
  errno = 0;
  dirent* e = ::readdir(static_cast<DIR*>(dir_));
  if (e == nullptr) return false;
  out.name = e->d_name;
  out.type = TypeOfDirent(e->d_type);
  return true;
}

bool RDirReader::StatEntry(const std::string& name, RFileStatStr& out) const {
  if (dir_ == nullptr || name.find('/') != std::string::npos) return false;
  return StatAt(::dirfd(static_cast<DIR*>(dir_)), name.c_str(), name, out);
}

bool RDirReader::ReadLinkEntry(const std::string& name, std::string& target) const {
  target.clear();
  if (dir_ == nullptr || name.find('/') != std::string::npos) return false;
  char buf[4096];
  ssize_t n = ::readlinkat(::dirfd(static_cast<DIR*>(dir_)), name.c_str(), buf, sizeof(buf));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buf)) return false;
  target.assign(buf, static_cast<size_t>(n));
  return true;
}

void RDirReader::Close() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
  dir_ = nullptr;
}

void FsUseOpenat2(bool use) {
  gNoOpenat2.store(!use);
}

RFdResult FsOpenNoFollow(const std::string& posixPath, ROpenMode mode) {
  int flags = O_NONBLOCK;  // a FIFO must not block the open; cleared below
  switch (mode) {
    case ROpenMode::Read:
      flags |= O_RDONLY;
      break;
    case ROpenMode::WriteCreate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case ROpenMode::WriteAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case ROpenMode::WriteExisting:
      flags |= O_WRONLY;
      break;
    case ROpenMode::WriteNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      break;
  }
  RFd fd(OpenNoFollow(posixPath, flags, 0644));
  if (!fd) return {RFd(), ErrnoOf(-1)};
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return {RFd(), ErrnoOf(-1)};
  if (!S_ISREG(st.st_mode)) return {RFd(), S_ISDIR(st.st_mode) ? -EISDIR : -EINVAL};
  int fl = ::fcntl(fd.Get(), F_GETFL);
  if (fl >= 0) (void)::fcntl(fd.Get(), F_SETFL, fl & ~O_NONBLOCK);
  if (mode != ROpenMode::Read) (void)Changed(0, posixPath);
  return {std::move(fd), 0};
}

void FsAddChangeListener(RFsChangeListener* listener) {
  ChangeListenersStr& l = Listeners();
  std::lock_guard<std::mutex> lock(l.mu);
  l.list.push_back(listener);
}

void FsRemoveChangeListener(RFsChangeListener* listener) {
  ChangeListenersStr& l = Listeners();
  std::lock_guard<std::mutex> lock(l.mu);
  std::erase(l.list, listener);
}

int FsMakeDir(const std::string& posixPath) {
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return ErrnoOf(-1);
  return Changed(ErrnoOf(::mkdirat(parent.Get(), name.c_str(), 0755)), posixPath);
}

int FsRemoveDir(const std::string& posixPath) {
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return ErrnoOf(-1);
  return Changed(ErrnoOf(::unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR)), posixPath);
}

int FsRemoveFile(const std::string& posixPath) {
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return ErrnoOf(-1);
  return Changed(ErrnoOf(::unlinkat(parent.Get(), name.c_str(), 0)), posixPath);
}

int FsRemoveFileOf(const std::string& posixPath, int fd) {
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return ErrnoOf(-1);
  struct stat mine;
  struct stat named;
  if (::fstat(fd, &mine) != 0) return ErrnoOf(-1);
  if (::fstatat(parent.Get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return ErrnoOf(-1);
  if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) return -ESTALE;
  return Changed(ErrnoOf(::unlinkat(parent.Get(), name.c_str(), 0)), posixPath);
}

int FsRename(const std::string& from, const std::string& to) {
  std::string a, b;
  RFd pa = OpenParent(from, a);
  if (!pa) return ErrnoOf(-1);
  RFd pb = OpenParent(to, b);
  if (!pb) return ErrnoOf(-1);
  int rc = ErrnoOf(::renameat(pa.Get(), a.c_str(), pb.Get(), b.c_str()));
  return Changed(Changed(rc, from), to);
}

int FsSetModTime(const std::string& posixPath, int64_t seconds) {
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return ErrnoOf(-1);
  timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = static_cast<time_t>(seconds);
  ts[1].tv_nsec = 0;
  return Changed(ErrnoOf(::utimensat(parent.Get(), name.c_str(), ts, AT_SYMLINK_NOFOLLOW)),
                 posixPath);
}

namespace {

// The mode `newMode` makes of the entry's present one, set through its
// folder; a link is refused, never followed.
template <typename F>
int ChangeMode(const std::string& posixPath, F newMode) {
  std::string name;
  RFd parent = OpenParent(posixPath, name);
  if (!parent) return ErrnoOf(-1);
  struct stat st {};
  if (::fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrnoOf(-1);
  if (S_ISLNK(st.st_mode)) return -ELOOP;
  const mode_t m = newMode(static_cast<mode_t>(st.st_mode & 07777));
  return Changed(ErrnoOf(::fchmodat(parent.Get(), name.c_str(), m, 0)), posixPath);
}

}  // namespace

int FsSetReadOnly(const std::string& posixPath, bool readOnly) {
  return ChangeMode(posixPath, [readOnly](mode_t m) {
    return readOnly ? (m & ~static_cast<mode_t>(S_IWUSR)) : (m | S_IWUSR);
  });
}

int FsSetMode(const std::string& posixPath, uint32_t mode) {
  if (mode > 0777) return -EINVAL;
  return ChangeMode(posixPath, [mode](mode_t) { return static_cast<mode_t>(mode); });
}

bool FsReadSmallFile(const std::string& posixPath, std::string& out, size_t maxBytes) {
  out.clear();
  RFd fd = FsOpenNoFollow(posixPath, ROpenMode::Read).fd;
  if (!fd) return false;
  char buf[8192];
  while (out.size() < maxBytes) {
    ssize_t n = ::read(fd.Get(), buf, std::min(sizeof(buf), maxBytes - out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return true;
}

int64_t FsFreeSpace(const std::string& posixPath) {
  struct statvfs sv {};
  if (::statvfs(posixPath.c_str(), &sv) != 0) return -1;
  return static_cast<int64_t>(sv.f_bavail) * static_cast<int64_t>(sv.f_frsize);
}

size_t FsReservedDeviceLength(std::string_view c) {
  static constexpr std::string_view kPlain[] = {"CON",    "AUX",    "CLOCK$", "PRN",
                                                "STDOUT", "STDERR", "STDIN",  "TRUENAME"};
  auto upper = [](char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch; };
  auto startsWith = [&](std::string_view word) {
    if (c.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      if (upper(c[i]) != word[i]) return false;
    }
    return true;
  };
  size_t len = 0;
  if ((startsWith("COM") || startsWith("LPT")) && c.size() > 3 && c[3] >= '0' && c[3] <= '9') {
    len = 4;
  } else {
    for (std::string_view w : kPlain) {
      if (startsWith(w)) {
        len = w.size();
        break;
      }
    }
  }
  if (len == 0) return 0;
  std::string_view rest = c.substr(len);
  if (rest.empty() || rest[0] == '.') return len;
  if (rest[0] == ':' && (rest.size() == 1 || rest[1] == '.')) return len;
  return 0;
}

}  // namespace vantor
