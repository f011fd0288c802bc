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
// Whether `who` (nullopt: this process's effective IDs) could write to
// `path` by its permission bits (root may write anything). A missing path
// is not writable.
bool PathWritableBy(const std::string& path, const std::optional<RRunAsStr>& who);

}  // namespace vantor
