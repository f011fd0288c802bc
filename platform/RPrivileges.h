// Who the process runs as, and the one-way change to a less privileged
// account. Every call that changes what the process may reach lives here,
// in one file to audit. Loop thread. The kernel keeps credentials per
// thread; the C library's setgroups/setgid/setuid apply each change to every
// thread of the process, so helper threads (resolver, directory watcher)
// that already run are dropped with the loop thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantor {

struct RRunAsStr {
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string user;   // account name, for messages
  std::string group;  // group name, for messages
};

// True when the effective user is root.
bool RunningAsRoot();

// The account `user` with group `group` ("" = the account's own primary
// group). nullopt and a reason in `error` when either does not exist.
std::optional<RRunAsStr> LookupRunAs(const std::string& user, const std::string& group,
                                     std::string* error);

// Drops every privilege for good: supplementary groups to none, then the
// group, then the user (real, effective and saved IDs), then checks that
// root cannot be regained. False with the reason in `error` when any step
// fails; the caller must then stop, never serve on.
[[nodiscard]] bool DropPrivileges(const RRunAsStr& to, std::string* error);

// Whether the file or directory `path` exists.
bool PathExists(const std::string& path);
// Whether `path` is a directory.
bool IsDirectoryPath(const std::string& path);
enum class RAccessKind { Read, Write };

// 0 when `who` (nullopt: this process's effective IDs) may read or write
// `path` (a directory: also search it, which creating a file inside needs);
// otherwise the errno the system gives (EACCES, EROFS, ENOENT, ...). Asked as
// root about another account, a short-lived child process becomes that
// account and asks the kernel, so the folders on the way, ACLs and read-only
// mounts all count; as an ordinary user about another account only the
// permission bits of `path` itself can be judged. It forks: call it before
// the process starts threads of its own, or once it is that account.
int AccessAs(const std::string& path, RAccessKind what, const std::optional<RRunAsStr>& who);

// The system's text for an answer of AccessAs ("Permission denied").
std::string AccessErrorText(int error);

// AccessAs(path, Write, who) == 0.
bool PathWritableBy(const std::string& path, const std::optional<RRunAsStr>& who);

}  // namespace vantor
