#include "platform/RFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/RFd.h"

namespace vantor {
namespace {

RFileIdentity FromStat(const struct stat& st) {
  RFileIdentity id;
  id.exists = true;
  id.ino = st.st_ino;
  id.dev = st.st_dev;
  id.size = st.st_size;
  id.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  id.ctimeNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool SyncRetry(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

// The file a write must replace: the target of a symbolic link, else the
// name itself.
std::string WriteTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return path;
  return buf;
}

}  // namespace

RFileIdentity StatFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  return FromStat(st);
}

bool ReadWholeFile(const std::string& path, std::string* out, RFileIdentity* identity,
                   std::string* why) {
  out->clear();
  if (identity) *identity = {};
  auto fail = [&](int err) {
    out->clear();
    if (why != nullptr) *why = err == 0 ? "not a regular file" : std::strerror(err);
    return false;
  };
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  RFd fd(OpenRetry(path.c_str(), O_RDONLY | O_NONBLOCK));
  if (!fd) return fail(errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return fail(errno);
  if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : 0);
  if (st.st_size > 0) out->reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  if (identity) *identity = FromStat(st);
  return true;
}

RBoundedRead ReadFileBounded(const std::string& path, size_t maxBytes, std::string* out) {
  out->clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  RFd fd(OpenRetry(path.c_str(), O_RDONLY | O_NONBLOCK));
  if (!fd)
    return errno == ENOENT || errno == ENOTDIR ? RBoundedRead::Missing : RBoundedRead::Failed;
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return RBoundedRead::Failed;
  if (!S_ISREG(st.st_mode)) return RBoundedRead::NotRegular;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes) return RBoundedRead::TooLarge;
  // The file may grow while it is read: one byte past the bound tells.
  std::string data;
  data.resize(maxBytes + 1);
  size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd.Get(), data.data() + got, data.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return RBoundedRead::Failed;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > maxBytes) return RBoundedRead::TooLarge;
  data.resize(got);
  *out = std::move(data);
  return RBoundedRead::Ok;
}

namespace {

// Gives the temporary file `fd` the owner and group of the file it replaces,
// as far as this process may: root writing the file of the server's account
// must not take it from that account, whose next write would then fail. An
// ordinary user can still keep a group it belongs to. Before the mode is set,
// since a change of owner clears the set-ID bits.
void KeepOwner(int fd, const struct stat& old) {
  if (old.st_uid == ::geteuid() && old.st_gid == ::getegid()) return;
  if (::fchown(fd, old.st_uid, old.st_gid) == 0) return;
  (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
}

// Writes `data` into the open temporary `fd` named `tmp`, flushes it and
// renames it over `target`, then flushes the directory.
bool FinishReplace(RFd fd, const std::string& tmp, const std::string& target, std::string_view data,
                   RFileIdentity* identity, mode_t newMode, std::string* why = nullptr) {
  const size_t slash = target.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  struct stat old;
  const bool existed = ::stat(target.c_str(), &old) == 0;
  const mode_t mode = existed ? (old.st_mode & 07777) : newMode;
  if (existed) KeepOwner(fd.Get(), old);
  bool ok = ::fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), data) && SyncRetry(fd.Get()) &&
            ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    if (why != nullptr) *why = std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  // Taken after the rename, which may touch the status change time.
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) st = {};
  fd.Reset();
  // The rename itself must reach the disk too, or a crash may bring back the
  // old name.
  RFd dfd(OpenRetry(dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (dfd) (void)SyncRetry(dfd.Get());
  if (identity) *identity = st.st_ino != 0 ? FromStat(st) : RFileIdentity{};
  return true;
}

}  // namespace

bool ReplaceFileAtomic(const std::string& path, std::string_view data, RFileIdentity* identity,
                       mode_t newMode, std::string* why) {
  const std::string target = WriteTarget(path);
  std::string tmp = target + ".tmpXXXXXX";
  RFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) {
    if (why != nullptr) *why = std::strerror(errno);
    return false;
  }
  return FinishReplace(std::move(fd), tmp, target, data, identity, newMode, why);
}

bool ReplaceFileThrough(const std::string& path, const std::string& tmpPath, std::string_view data,
                        mode_t newMode) {
  const std::string target = WriteTarget(path);
  RFd fd(OpenRetry(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600));
  if (!fd) return false;
  return FinishReplace(std::move(fd), tmpPath, target, data, nullptr, newMode);
}

bool AppendToFile(const std::string& path, std::string_view data, mode_t newMode) {
  RFd fd(OpenRetry(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, newMode));
  return fd && WriteAll(fd.Get(), data);
}

bool WriteWholeFile(const std::string& path, std::string_view data, mode_t newMode) {
  RFd fd(OpenRetry(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT, newMode));
  return fd && WriteAll(fd.Get(), data);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

int64_t FileClockNowNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

}  // namespace vantor
