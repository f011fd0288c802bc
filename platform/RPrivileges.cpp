#include "platform/RPrivileges.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace vantor {
namespace {

std::string ErrnoText(const char* step) {
  return std::string(step) + ": " + std::strerror(errno);
}

}  // namespace

bool RunningAsRoot() {
  return ::geteuid() == 0;
}

std::optional<RRunAsStr> LookupRunAs(const std::string& user, const std::string& group,
                                     std::string* error) {
  RRunAsStr out;
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* pwr = nullptr;
  if (::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &pwr) != 0 || pwr == nullptr) {
    if (error) *error = "no such user: " + user;
    return std::nullopt;
  }
  out.uid = pw.pw_uid;
  out.gid = pw.pw_gid;
  out.user = user;
  if (group.empty()) {
    struct group g {};
    struct group* gr = nullptr;
    if (::getgrgid_r(out.gid, &g, buf.data(), buf.size(), &gr) == 0 && gr != nullptr)
      out.group = gr->gr_name;
    else
      out.group = std::to_string(out.gid);
    return out;
  }
  {
    struct group g {};
    struct group* gr = nullptr;
    if (::getgrnam_r(group.c_str(), &g, buf.data(), buf.size(), &gr) != 0 || gr == nullptr) {
      if (error) *error = "no such group: " + group;
      return std::nullopt;
    }
    out.gid = gr->gr_gid;
    out.group = group;
  }
  return out;
}

bool DropPrivileges(const RRunAsStr& to, std::string* error) {
  auto fail = [error](const char* step) {
    if (error) *error = ErrnoText(step);
    return false;
  };
  // The order matters: the supplementary groups and the group can only be
  // changed while we are still root, so they go first; the user goes last.
  // Leaving the supplementary list as it is would keep root's groups (disk,
  // adm, ...) under the new user.
  if (::setgroups(0, nullptr) != 0) return fail("setgroups");
  // setresgid/setresuid set real, effective and saved IDs at once: with a
  // saved ID of 0 left behind, seteuid(0) would give root back.
  if (::setresgid(to.gid, to.gid, to.gid) != 0) return fail("setresgid");
  if (::setresuid(to.uid, to.uid, to.uid) != 0) return fail("setresuid");
  // Verify instead of trusting: every ID is the target's, and asking for
  // root back is refused (unless the target is root itself).
  uid_t ru, eu, su;
  gid_t rg, eg, sg;
  if (::getresuid(&ru, &eu, &su) != 0 || ru != to.uid || eu != to.uid || su != to.uid)
    return fail("getresuid");
  if (::getresgid(&rg, &eg, &sg) != 0 || rg != to.gid || eg != to.gid || sg != to.gid)
    return fail("getresgid");
  if (::getgroups(0, nullptr) != 0) return fail("getgroups");
  if (to.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) {
    errno = EPERM;
    return fail("root could be regained");
  }
  return true;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectoryPath(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// What the kernel says for this process's effective IDs.
int AccessNow(const std::string& path, int mode) {
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

// The kernel's answer for `who`, from a child that becomes it. The child
// only makes system calls (no allocation, no stdio), then _exits with the
// errno as its status, so the parent's threads and buffers do not matter.
int AccessInChild(const std::string& path, int mode, const RRunAsStr& who) {
  const pid_t pid = ::fork();
  if (pid < 0) return errno;
  if (pid == 0) {
    if (!DropPrivileges(who, nullptr)) ::_exit(EPERM);
    ::_exit(AccessNow(path, mode) & 0xff);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return errno;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : EPERM;
}

// The permission bits alone, for an account this process cannot become.
int AccessByBits(const std::string& path, int mode, const RRunAsStr& who) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (who.uid == 0) return 0;
  const mode_t want = static_cast<mode_t>(mode);  // R_OK 4, W_OK 2, X_OK 1
  // The group bits count for the account's group; its supplementary groups
  // are dropped with the privileges, so they give nothing.
  const mode_t have = st.st_uid == who.uid   ? (st.st_mode >> 6) & 7
                      : st.st_gid == who.gid ? (st.st_mode >> 3) & 7
                                             : st.st_mode & 7;
  return (have & want) == want ? 0 : EACCES;
}

}  // namespace

int AccessAs(const std::string& path, RAccessKind what, const std::optional<RRunAsStr>& who) {
  int mode = what == RAccessKind::Read ? R_OK : W_OK;
  if (what == RAccessKind::Write && IsDirectoryPath(path)) mode |= X_OK;
  const bool self = !who || (who->uid == ::geteuid() && who->gid == ::getegid());
  if (self) return AccessNow(path, mode);
  if (RunningAsRoot()) return AccessInChild(path, mode, *who);
  return AccessByBits(path, mode, *who);
}

std::string AccessErrorText(int error) {
  return std::strerror(error);
}

bool PathWritableBy(const std::string& path, const std::optional<RRunAsStr>& who) {
  return AccessAs(path, RAccessKind::Write, who) == 0;
}

}  // namespace vantor
