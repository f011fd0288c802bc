// Client paths to local paths and back, and the existence predicates.
//
// A local path is in drive form: drive letter, colon, backslash, components
// separated by backslashes (`c:\ftp\joe\docs`), at most 412 characters. A
// client path uses "/" separators; with relative paths the home directory is
// "/", otherwise a local path is shown as "/c:/ftp/joe".
//
// Every function that maps paths reads the file settings it is handed
// (`fs`: the drive table, `LowerCaseFileDir`, the link list files); any
// thread may call them with settings that stay alive for the call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fs/RFsSettings.h"
#include "platform/RFd.h"
#include "platform/RFileSys.h"
#include "util/RText.h"

namespace vantor {

inline constexpr size_t kMaxLocalPath = 412;
inline constexpr int kMaxLinkResolutions = 15;

// Turns the client path `path` into an absolute local path, in place.
//   curDir, homeDir: the session's current and home directories (drive form).
//   device:   map a reserved device name in the last component to "NAME:"
//             (RETR, uploads, SIZE, link targets in listings).
//   raw:      no links, no confinement, no relative-path handling (the
//             server's own configured files only).
//   relPaths: the user is confined to homeDir, which the client sees as "/".
// Never fails: unusual input ends as some local path that the commands then
// find missing or refused. With relPaths (and not raw) the result always lies
// inside homeDir.
void ResolvePath(const RFsSettingsStr& fs, std::string& path, std::string_view curDir,
                 std::string_view homeDir, bool device, bool raw, bool relPaths);

// Home as it is spelled on disk: each existing component in the letter case
// the file system has, the exact spelling first when several entries differ
// only in case (drive letter in lower case). Missing components stay as given.
std::string HomeOnDisk(const RFsSettingsStr& fs, std::string_view homeDir);

// Confinement on a case-sensitive disk. When `localPath` is `homeDir` or lies
// below it (comparing without regard to case), its home part is replaced by
// HomeOnDisk and true is returned; so the path can only be mapped to home or
// to something inside it, never to a sibling that differs in case. False
// (path unchanged) when it lies outside home.
bool ConfineToHome(const RFsSettingsStr& fs, std::string& localPath, std::string_view homeDir);

// The form of a local path shown to the client.
std::string ToClientPath(const RFsSettingsStr& fs, std::string_view localPath,
                         std::string_view homeDir, bool relPaths);

// Predicates on local paths. None of them follows a link: a symbolic link is a
// link entry, neither a directory nor a regular file.
bool IsDirectory(const RFsSettingsStr& fs, std::string_view localPath);
bool IsRegularFile(const RFsSettingsStr& fs, std::string_view localPath);
// True for a path whose last component is a reserved device name, and for the
// resolved device form ("PRN:").
bool IsReservedDevice(std::string_view localPath);
// Size of an existing regular file, else -1.
int64_t FileSize(const RFsSettingsStr& fs, std::string_view localPath);
// Status of a local path (not following a link); false when missing.
[[nodiscard]] bool LocalStat(const RFsSettingsStr& fs, std::string_view localPath,
                             RFileStatStr& out);

// The POSIX path of a local path through the drive table, components matched
// without regard to case. "" for a drive that does not exist, a device name,
// or a path holding "*" or "?".
std::string LocalToPosix(const RFsSettingsStr& fs, std::string_view localPath);
// A POSIX path in drive form through the drive table, drive letter in lower
// case ("" when no drive holds it).
std::string PosixToLocal(const RFsSettingsStr& fs, std::string_view posixPath);
// The local path with each existing component in the letter case the file
// system reports and the drive letter in lower case (all lower case with
// `LowerCaseFileDir`). Missing components stay as given.
std::string LocalTrueCase(const RFsSettingsStr& fs, std::string_view localPath);

// Opens a regular file for a transfer without following links (see
// FsOpenNoFollow). Unmapped drives give -ENOENT.
[[nodiscard]] RFdResult OpenLocalFile(const RFsSettingsStr& fs, std::string_view localPath,
                                      ROpenMode mode);

// Helpers shared by the file services (HasWildcard lives in accounts/RWildcard.h).
bool IsDriveRoot(std::string_view localPath);  // "c:\" or "c:"

}  // namespace vantor
