#include "fs/RPath.h"

#include <cerrno>
#include <vector>

#include "accounts/RWildcard.h"
#include "fs/RFsSettings.h"
#include "fs/RLinkFile.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kLongPath = 511;
constexpr size_t kMaxLinkTarget = 200;
constexpr int kMaxHomeRestarts = 16;

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
    s.replace(pos, from.size(), to);
  }
}

std::vector<std::string> Split(std::string_view s) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    size_t j = s.find('\\', i);
    if (j == std::string_view::npos) {
      out.emplace_back(s.substr(i));
      return out;
    }
    out.emplace_back(s.substr(i, j - i));
    i = j + 1;
  }
}

bool OnlyDots(std::string_view c) {
  return !c.empty() && c.find_first_not_of('.') == c.npos;
}

bool OnlyBlanksAndDots(std::string_view c) {
  return c.find_first_not_of(". \t") == c.npos;
}

// A component as a Windows file system stores it: no trailing dots or
// blanks, no leading blanks. Clients of such servers rely on "a." and "a "
// naming the file "a".
std::string CleanComponent(std::string c) {
  for (;;) {
    size_t n = c.size();
    while (!c.empty() && (c.back() == '.' || IsBlank(c.back()))) c.pop_back();
    while (!c.empty() && IsBlank(c.front())) c.erase(0, 1);
    if (c.size() == n) return c;
  }
}

// Home without its trailing backslash ("c:\" becomes "c:").
std::string_view HomeBase(std::string_view home) {
  while (!home.empty() && home.back() == '\\') home.remove_suffix(1);
  return home;
}

// True when `path` is `home` or lies below it (at a component boundary).
bool InsideHome(std::string_view path, std::string_view home) {
  std::string_view base = HomeBase(home);
  if (base.empty() || !StartsWithNoCase(path, base)) return false;
  return path.size() == base.size() || path[base.size()] == '\\';
}

std::string Join(const std::vector<std::string>& comps, size_t count) {
  std::string out = comps.empty() ? std::string() : comps[0];
  if (count <= 1) return out + "\\";
  for (size_t i = 1; i < count; ++i) {
    out += '\\';
    out += comps[i];
  }
  return out;
}

// The client's text in the local form, made absolute: slashes become
// backslashes, "%20" a blank; a leading backslash is home for a confined
// user and the drive root for anyone else. `p` is trimmed and not empty.
std::string AbsoluteForm(std::string p, std::string_view cur, std::string_view home, bool raw,
                         bool relPaths) {
  ReplaceAll(p, "/", "\\");
  ReplaceAll(p, "%20", " ");
  if (p.size() < kLongPath && p.back() != '\\') p += '\\';

  // A current directory that was removed under the session stays as it is:
  // dropping its last component would send writes meant for it to its parent.
  auto belowCurrent = [&](const std::string& rel) { return std::string(cur) + "\\" + rel; };

  if (relPaths && !raw) return p[0] == '\\' ? std::string(HomeBase(home)) + p : belowCurrent(p);
  // "\d\data" and "\d:\data" both name d:\data. Only letters are drives:
  // "\.\pub" is the current drive's \pub, not a drive called ".".
  if (p.size() >= 2 && p[0] == '\\' && IsLetter(p[1]) && (p.size() == 2 || p[2] == '\\')) {
    p = std::string(1, p[1]) + ":" + p.substr(2);
  } else if (p.size() >= 3 && p[0] == '\\' && IsLetter(p[1]) && p[2] == ':') {
    p.erase(0, 1);
  }
  if (p.size() >= 3 && IsLetter(p[0]) && p[1] == ':' && p[2] == '\\') return p;
  if (p[0] == '\\') return std::string(cur.substr(0, 2)) + p;
  if (p.size() >= 2 && IsLetter(p[0]) && p[1] == ':') return p.substr(0, 2) + "\\";
  return belowCurrent(p);
}

// The components of `full`, each without the blanks next to its separators.
std::vector<std::string> TrimmedComponents(std::string_view full) {
  std::vector<std::string> comps = Split(full);
  for (auto& c : comps) c = std::string(TrimBlanks(c));
  return comps;
}

// "..." and longer lead to the drive root: the last such component drops
// everything between the drive and itself.
void DotsToDriveRoot(std::vector<std::string>& comps) {
  for (size_t i = comps.size(); i-- > 1;) {
    if (comps[i].size() >= 3 && OnlyDots(comps[i])) {
      comps.erase(comps.begin() + 1, comps.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return;
    }
  }
}

// "." stays, ".." steps back (never above the drive), "~" starts again from
// home. The number of restarts is bounded, so a home that itself contains
// "~" cannot loop.
std::vector<std::string> ApplyDotsAndHome(std::vector<std::string> comps, std::string_view home) {
  std::vector<std::string> out;
  for (int restarts = 0;; ++restarts) {
    out.clear();
    if (comps.empty()) return out;
    out.push_back(comps[0]);
    bool again = false;
    for (size_t i = 1; i < comps.size(); ++i) {
      const std::string& c = comps[i];
      if (c.empty() || c == ".") continue;
      if (c == "..") {
        if (out.size() > 1) out.pop_back();
        continue;
      }
      if (c == "~" && restarts < kMaxHomeRestarts) {
        std::vector<std::string> next = TrimmedComponents(HomeBase(home));
        next.insert(next.end(), comps.begin() + static_cast<std::ptrdiff_t>(i) + 1, comps.end());
        comps = std::move(next);
        again = true;
        break;
      }
      out.push_back(c);
    }
    if (!again) return out;
  }
}

// Components as they are stored: trailing dots and blanks gone, and
// components of only blanks and dots (or left empty) dropped. The drive
// stays as it is.
std::vector<std::string> StoredComponents(const std::vector<std::string>& comps) {
  std::vector<std::string> clean;
  for (size_t i = 0; i < comps.size(); ++i) {
    if (i == 0) {
      clean.push_back(comps[0]);
      continue;
    }
    if (OnlyBlanksAndDots(comps[i])) continue;
    std::string c = CleanComponent(comps[i]);
    if (!c.empty()) clean.push_back(std::move(c));
  }
  return clean;
}

// The joined path, cut to the longest local path (the cut component cleaned
// again), with a trailing separator only on a drive root.
std::string JoinWithinLimit(const std::vector<std::string>& comps) {
  std::string r = Join(comps, comps.size());
  if (r.size() > kMaxLocalPath) {
    r.resize(kMaxLocalPath);
    std::vector<std::string> cut = Split(r);
    if (cut.size() > 1) {
      std::string last = CleanComponent(cut.back());
      cut.pop_back();
      if (!last.empty() && !OnlyBlanksAndDots(last)) cut.push_back(last);
    }
    r = Join(cut, cut.size());
  }
  if (r.size() > 3 && r.back() == '\\') r.pop_back();
  return r;
}

// A path whose last component is a device name ("prn", "com1.txt") becomes
// the device form "PRN:", which nothing opens.
void DeviceForm(std::string& r) {
  size_t bs = r.find_last_of('\\');
  std::string_view last =
      bs == std::string::npos ? std::string_view(r) : std::string_view(r).substr(bs + 1);
  size_t len = FsReservedDeviceLength(last);
  if (len == 0) return;
  r = Upper(last.substr(0, len)) + ":";
}

// The text part of resolution: the client's path against the current
// directory and home, with no look at the disk.
std::string ResolveText(std::string_view input, std::string_view cur, std::string_view home,
                        bool device, bool raw, bool relPaths) {
  std::string p(TrimBlanks(input));
  if (p.empty()) return std::string(cur);
  std::vector<std::string> comps =
      TrimmedComponents(AbsoluteForm(std::move(p), cur, home, raw, relPaths));
  DotsToDriveRoot(comps);
  std::string r = JoinWithinLimit(StoredComponents(ApplyDotsAndHome(std::move(comps), home)));
  if (device) DeviceForm(r);
  return r;
}

// "PRN:" as produced by the device step; nothing else counts.
bool IsDeviceForm(std::string_view p) {
  return p.size() > 1 && p.back() == ':' && p.find('\\') == std::string_view::npos &&
         FsReservedDeviceLength(p) + 1 == p.size();
}

// The local path with every existing component spelled as on disk and the
// drive letter in lower case; "" when it cannot be mapped.
std::string TrueCase(const RFsSettingsStr& fs, std::string_view localPath) {
  std::string posix = LocalToPosix(fs, localPath);
  if (posix.empty()) return {};
  const std::string& root = fs.drives.Root(localPath[0]);
  std::string rest = root == "/" ? posix : posix.substr(root.size());
  std::string out(1, AsciiLower(localPath[0]));
  out += ':';
  for (char c : rest) out += c == '/' ? '\\' : c;
  if (out.size() == 2) out += '\\';
  return out;
}

// Inside home as text, ignoring case, which on this disk may also be a
// sibling spelled differently ("PUB" beside "pub"). Whatever the client
// wrote, the home part becomes home as it exists on disk (`disk`), so the
// mapping below it can only look inside home. False when outside.
bool ReplaceHome(std::string& localPath, std::string_view homeDir, std::string_view disk) {
  if (!InsideHome(localPath, homeDir)) return false;
  std::string_view rest = std::string_view(localPath).substr(HomeBase(homeDir).size());
  std::string out(HomeBase(disk));
  out += rest;
  if (out.size() == 2) out += '\\';
  localPath = std::move(out);
  return true;
}

}  // namespace

bool IsDriveRoot(std::string_view p) {
  return (p.size() == 2 || (p.size() == 3 && p[2] == '\\')) && IsLetter(p[0]) && p[1] == ':';
}

void ResolvePath(const RFsSettingsStr& fs, std::string& path, std::string_view curDir,
                 std::string_view homeDir, bool device, bool raw, bool relPaths) {
  // A NUL would cut the path short at the system call; nothing after it counts.
  if (size_t nul = path.find('\0'); nul != std::string::npos) path.resize(nul);
  std::string r = ResolveText(path, curDir, homeDir, device, raw, relPaths);

  if (!raw) {
    // Home as spelled on disk, put in early too: the link step then looks at
    // the names that exist instead of searching directories for them.
    const std::string disk = relPaths ? HomeOnDisk(fs, homeDir) : std::string();
    if (relPaths) (void)ReplaceHome(r, homeDir, disk);
    // Link step: a component that is not a directory may be a link entry of
    // the directory before it.
    int resolutions = 0;
    bool restart = true;
    while (restart && resolutions < kMaxLinkResolutions && !IsDeviceForm(r) && IsDriveForm(r)) {
      restart = false;
      std::vector<std::string> comps = Split(r);
      if (!comps.empty() && comps.back().empty()) comps.pop_back();
      for (size_t i = 1; i < comps.size(); ++i) {
        if (IsDirectory(fs, Join(comps, i + 1))) continue;
        std::optional<std::string> target = FindLink(fs, Join(comps, i), comps[i]);
        if (!target) break;
        std::string t = target->substr(0, kMaxLinkTarget);
        while (!t.empty() && (t.back() == '\\' || t.back() == '/')) t.pop_back();
        for (size_t k = i + 1; k < comps.size(); ++k) t += "\\" + comps[k];
        std::string client = ToClientPath(fs, t, homeDir, relPaths);
        r = ResolveText(client, curDir, homeDir, device, raw, relPaths);
        if (relPaths) (void)ReplaceHome(r, homeDir, disk);
        ++resolutions;
        restart = true;
        break;
      }
    }
    if (relPaths && !IsDeviceForm(r)) {
      // The part below home may be lower-cased; home itself keeps the
      // spelling it has on disk, or a lower-cased "PUB" could be mapped to a
      // sibling "pub" of a home called "Pub".
      if (!ReplaceHome(r, homeDir, disk)) r = disk;
      if (fs.lowerCase) {
        size_t keep = HomeBase(disk).size();
        r = r.substr(0, keep) + Lower(std::string_view(r).substr(keep));
      }
      path = std::move(r);
      return;
    }
  }
  if (fs.lowerCase) r = Lower(r);
  path = std::move(r);
}

std::string HomeOnDisk(const RFsSettingsStr& fs, std::string_view homeDir) {
  std::string_view base = HomeBase(homeDir);
  std::string home = base.size() == 2 ? std::string(base) + "\\" : std::string(base);
  std::string disk = TrueCase(fs, home);
  return disk.empty() ? home : disk;
}

bool ConfineToHome(const RFsSettingsStr& fs, std::string& localPath, std::string_view homeDir) {
  return ReplaceHome(localPath, homeDir, HomeOnDisk(fs, homeDir));
}

std::string ToClientPath(const RFsSettingsStr& fs, std::string_view localPath,
                         std::string_view homeDir, bool relPaths) {
  std::string r(localPath);
  if (relPaths && InsideHome(localPath, homeDir)) {
    r = std::string(localPath.substr(HomeBase(homeDir).size()));
    if (r.empty()) r = "/";
  }
  for (auto& c : r) c = c == '\\' ? '/' : c;
  if (r.size() >= 3 && IsLetter(r[0]) && r[1] == ':' && r[2] == '/') r.insert(0, "/");
  if (fs.lowerCase) r = Lower(r);
  return r;
}

bool IsReservedDevice(std::string_view p) {
  size_t bs = p.find_last_of('\\');
  std::string_view last = bs == std::string_view::npos ? p : p.substr(bs + 1);
  return FsReservedDeviceLength(last) > 0;
}

std::string LocalToPosix(const RFsSettingsStr& fs, std::string_view localPath) {
  if (localPath.find('\0') != std::string_view::npos) return {};
  // "*" and "?" are patterns to every other part of the server; a file of
  // such a name could be created but never reached again.
  if (HasWildcard(localPath)) return {};
  if (!IsDriveForm(localPath) || IsReservedDevice(localPath)) return {};
  return FsDriveToPosix(fs.drives, localPath);
}

std::string PosixToLocal(const RFsSettingsStr& fs, std::string_view posixPath) {
  std::string r = fs.drives.PosixToDrive(posixPath);
  if (!r.empty()) r[0] = AsciiLower(r[0]);  // drive letters are kept in lower case, as sessions do
  return r;
}

namespace {

// Runs `look` on the POSIX form of `localPath`. Most paths exist as written,
// and the link-refusing look at them settles it; only a miss needs the
// resolution that ignores case.
template <typename Look>
bool LookLocal(const RFsSettingsStr& fs, std::string_view localPath, Look look) {
  if (localPath.find('\0') != std::string_view::npos) return false;
  if (!IsDriveForm(localPath) || IsReservedDevice(localPath)) return false;
  const RDriveMap& drives = fs.drives;
  const std::string direct = drives.DriveToPosix(localPath);
  if (direct.empty()) return false;
  if (look(direct)) return true;
  const std::string posix = FsDriveToPosix(drives, localPath);
  if (posix.empty() || posix == direct) return false;
  return look(posix);
}

}  // namespace

bool LocalStat(const RFsSettingsStr& fs, std::string_view localPath, RFileStatStr& out) {
  out = RFileStatStr{};
  return LookLocal(fs, localPath, [&out](const std::string& posix) { return FsStat(posix, out); });
}

bool IsDirectory(const RFsSettingsStr& fs, std::string_view p) {
  if (HasWildcard(p) || IsReservedDevice(p)) return false;
  if (IsDriveRoot(p)) return fs.drives.HasDrive(p[0]);
  return LookLocal(fs, p, [](const std::string& posix) { return FsIsDirectory(posix); });
}

bool IsRegularFile(const RFsSettingsStr& fs, std::string_view p) {
  if (HasWildcard(p) || IsReservedDevice(p) || IsDriveRoot(p)) return false;
  RFileStatStr st;
  return LocalStat(fs, p, st) && st.type == RFileType::Regular;
}

int64_t FileSize(const RFsSettingsStr& fs, std::string_view p) {
  if (HasWildcard(p) || IsReservedDevice(p) || IsDriveRoot(p)) return -1;
  RFileStatStr st;
  if (!LocalStat(fs, p, st) || st.type != RFileType::Regular) return -1;
  return st.size;
}

std::string LocalTrueCase(const RFsSettingsStr& fs, std::string_view localPath) {
  std::string out = TrueCase(fs, localPath);
  if (out.empty()) return std::string(localPath);
  if (fs.lowerCase) out = Lower(out);
  return out;
}

RFdResult OpenLocalFile(const RFsSettingsStr& fs, std::string_view localPath, ROpenMode mode) {
  std::string posix = LocalToPosix(fs, localPath);
  if (posix.empty()) return {RFd(), -ENOENT};
  return FsOpenNoFollow(posix, mode);
}

}  // namespace vantor
