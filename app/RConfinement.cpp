#include "app/RConfinement.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

#include "app/RRunAs.h"
#include "config/RConfigStrings.h"
#include "config/RDriveConfig.h"
#include "config/RGlobalSettings.h"
#include "config/RIniPath.h"
#include "platform/RProcess.h"
#include "platform/RSyscallFilter.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr uint32_t kR = kLandlockRead;
constexpr uint32_t kRW = kLandlockRead | kLandlockWrite;
constexpr uint32_t kRX = kLandlockRead | kLandlockExecute;

void Add(RConfinementNeedsStr& n, std::string path, uint32_t rights, std::string key) {
  RConfinementPathStr p;
  p.grant.path = std::move(path);
  p.grant.rights = rights;
  p.key = std::move(key);
  n.paths.push_back(std::move(p));
}

// What the server and the C library read after start whatever the
// configuration: the libraries and programs (NSS modules, OpenSSL's
// providers, hook libraries by bare name, and what SITE EXEC programs run),
// time zones, the account and host databases, the system's certificates.
// Single files are granted as files, so nothing else of /etc is readable.
void AddSystem(RConfinementNeedsStr& n) {
  for (const char* p : {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/lib32", "/libx32"})
    Add(n, p, kRX, "system");
  for (const char* p : {"/etc/ssl", "/etc/localtime", "/etc/timezone", "/etc/passwd", "/etc/group",
                        "/etc/nsswitch.conf", "/etc/resolv.conf", "/etc/hosts", "/etc/host.conf",
                        "/etc/gai.conf", "/etc/services", "/etc/protocols", "/etc/ld.so.cache",
                        "/etc/ld.so.conf", "/etc/ld.so.conf.d", "/etc/ld.so.preload",
                        "/dev/urandom", "/dev/random", "/sys/devices/system/cpu"})
    Add(n, p, kR, "system");
  // Spawned programs get their standard streams there.
  Add(n, "/dev/null", kRW, "system");
  // This process's own entries (threads, descriptors, limits); /proc/self
  // is a link, and a rule binds to what it names now: this process only.
  Add(n, "/proc/self", kR, "system");
  // Set by OpenSSL's users to point at another configuration.
  for (const char* env : {"OPENSSL_CONF", "SSL_CERT_FILE", "SSL_CERT_DIR"}) {
    if (const auto v = EnvVar(env); v && !v->empty() && (*v)[0] == '/') Add(n, *v, kR, env);
  }
#ifdef VANTOR_COVERAGE_BUILD
  // A coverage build writes its counters at exit, under GCOV_PREFIX when
  // that is set (the per-case measure): without the grant a confined
  // server's counts are lost.
  if (const auto v = EnvVar("GCOV_PREFIX"); v && !v->empty() && (*v)[0] == '/')
    Add(n, *v, kRW, "GCOV_PREFIX");
#endif
}

// A file named in the configuration whose folder is granted: editors and
// certificate renewals replace a file by a new one beside it, and a rule on
// the old file would not follow. A link is followed to its own folder too.
void AddFolderOf(RConfinementNeedsStr& n, const std::string& file, uint32_t rights,
                 std::string key) {
  if (file.empty() || file[0] != '/') return;
  Add(n, DirectoryOf(file), rights, key);
  const std::string real = ResolvedPath(file);
  if (!real.empty() && DirectoryOf(real) != DirectoryOf(file))
    Add(n, DirectoryOf(real), rights, std::move(key));
}

bool IsUserOrGroup(const std::string& section) {
  return StartsWithNoCase(section, "USER=") || StartsWithNoCase(section, "GROUP=");
}

// The letters of one rule value "path,letters": which drives it reaches
// (all for a path without a drive letter) and what it grants.
struct RRuleReachStr {
  char drive = 0;  // 0 = every drive
  uint32_t rights = 0;
};

RRuleReachStr RuleReach(const RDriveMap& drives, std::string_view rule) {
  RRuleReachStr r;
  const size_t comma = rule.rfind(',');
  if (comma == std::string_view::npos) return r;
  std::string path(rule.substr(0, comma));
  const std::string_view letters = rule.substr(comma + 1);
  if (!path.empty() && path[0] == '/') path = drives.ConfigPathToDrive(path);
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
    r.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  r.rights = kR;
  for (char c : letters) {
    switch (std::toupper(static_cast<unsigned char>(c))) {
      case 'W':
      case 'A':
      case 'M':
      case 'C':
      case 'D':
        // Clients move files between the folders of the drives.
        r.rights |= kLandlockWrite | kLandlockMove;
        break;
      case 'E':
        r.rights |= kLandlockExecute;
        break;
      default:
        break;
    }
  }
  return r;
}

// Each drive an account's home or rules reach, with the rights of every
// rule that reaches it; with Security off, every drive, writable.
void AddDrives(RConfinementNeedsStr& n, const RIniFile& ini) {
  const RDriveMap drives = DriveMapFromIni(ini);
  std::array<uint32_t, 26> rights{};
  auto grant = [&rights](char drive, uint32_t r) {
    if (drive == 0) {
      for (uint32_t& x : rights) x |= r;
    } else {
      rights[drive - 'A'] |= r;
    }
  };
  RGlobalSettings settings;
  settings.Load(ini);
  if (!settings.security) grant(0, kRW | kLandlockMove);
  for (const std::string& section : ini.SectionNames()) {
    if (!IsUserOrGroup(section)) continue;
    const std::string home = drives.ConfigPathToDrive(ini.GetString(section, "HomeDir"));
    if (IsDriveForm(home)) grant(static_cast<char>(std::toupper(home[0])), kR);
    for (int k = 1;; ++k) {
      const std::string rule = ini.GetString(section, RFormat("Access%d", k));
      if (rule.empty()) break;
      const RRuleReachStr reach = RuleReach(drives, rule);
      if (reach.rights != 0) grant(reach.drive, reach.rights);
    }
  }
  for (char d = 'A'; d <= 'Z'; ++d) {
    const uint32_t r = rights[d - 'A'];
    if (r == 0 || !drives.HasDrive(d)) continue;
    Add(n, drives.Root(d), r, RFormat("[DRIVES] %c", d));
  }
  // Link lists named by a path rather than a name looked up in each folder.
  for (const std::string& link : {settings.linkFile, settings.linkFile2}) {
    const std::string drive = drives.ConfigPathToDrive(link);
    if (IsDriveForm(drive)) AddFolderOf(n, drives.DriveToPosix(drive), kR, "LinkFile");
  }
}

void AddLibraries(RConfinementNeedsStr& n, const RIniFile& ini) {
  for (const char* prefix : {"EventHookDLL", "ClientCheckDLL"}) {
    for (int k = 1;; ++k) {
      const std::string key = RFormat("%s%d", prefix, k);
      const std::string name = ini.GetString("EXTERNAL", key);
      if (name.empty()) break;
      // A bare name is found along the loader's path, which is the system's.
      if (name.find('/') == std::string::npos) continue;
      AddFolderOf(n, NormalizePath(name, DirectoryOf(ini.Path())), kR, key);
    }
  }
  if (const auto v = EnvVar("LD_LIBRARY_PATH"); v) {
    size_t start = 0;
    while (start <= v->size()) {
      size_t end = v->find(':', start);
      if (end == std::string::npos) end = v->size();
      const std::string dir = v->substr(start, end - start);
      if (!dir.empty() && dir[0] == '/') Add(n, dir, kR, "LD_LIBRARY_PATH");
      start = end + 1;
    }
  }
}

void AddPort(std::vector<uint16_t>& ports, int32_t port) {
  if (port >= 0 && port <= 65535) ports.push_back(static_cast<uint16_t>(port));
}

bool Beneath(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// The kernel's name of a path that may not exist yet: its deepest existing
// ancestor resolved, the rest as written.
std::string KernelPath(const std::string& path) {
  std::string head = path;
  std::string tail;
  while (!head.empty()) {
    const std::string real = ResolvedPath(head);
    if (!real.empty()) return tail.empty() ? real : (real == "/" ? "" : real) + tail;
    const size_t slash = head.rfind('/');
    if (slash == std::string::npos) break;
    tail = head.substr(slash) + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
    if (head == "/" && ResolvedPath("/").empty()) break;
  }
  return path;
}

}  // namespace

RConfinementMode ConfinementModeOf(const RIniFile& ini, bool* known) {
  const std::string v = ini.GetString(kGlobalSection, "Confinement", "kernel");
  if (known != nullptr) *known = EqualNoCaseAscii(v, "kernel") || EqualNoCaseAscii(v, "off");
  return EqualNoCaseAscii(v, "off") ? RConfinementMode::Off : RConfinementMode::Kernel;
}

RConfinementNeedsStr ConfinementNeeds(const RIniFile& ini, const RConfinementExtrasStr& extras) {
  RConfinementNeedsStr n;
  AddSystem(n);
  AddDrives(n, ini);
  if (!ini.Path().empty()) {
    // The INI itself and the temporaries of its atomic writes.
    Add(n, DirectoryOf(ini.Path()), kRW, "INI folder");
  }
  for (const ROwnLogStr& l : OwnLogs(ini)) {
    if (l.path.empty()) continue;
    // Rotation makes a new name in the folder each period.
    const std::string folder =
        l.path.back() == '/' ? l.path.substr(0, l.path.size() - 1) : DirectoryOf(l.path);
    Add(n, folder.empty() ? "/" : folder, kRW, l.key);
  }
  for (const RRunAsFileStr& f : RunAsFiles(ini)) {
    if (f.key == "INI" || f.key == "INI folder") continue;
    AddFolderOf(n, f.path, kR, f.key);
  }
  AddLibraries(n, ini);
  for (const RLandlockPathStr& p : extras.paths) Add(n, p.path, p.rights, "extra");

  RGlobalSettings s;
  s.Load(ini);
  // Active connections leave from the port below the control port where
  // they may, else from one the kernel picks (port 0).
  for (int32_t port : {s.portNr, s.portNr - 1, 0}) AddPort(n.ports, port);
  if (s.tlsImplicitPortNr > 0) {
    AddPort(n.ports, s.tlsImplicitPortNr);
    AddPort(n.ports, s.tlsImplicitPortNr - 1);
  }
  if (s.passivePortLow > 0 && s.passivePortHigh >= s.passivePortLow) {
    for (int32_t p = s.passivePortLow; p <= s.passivePortHigh; ++p) AddPort(n.ports, p);
  }
  for (uint16_t p : extras.ports) n.ports.push_back(p);
  return n;
}

void RConfinement::Apply(const std::string& iniPath) {
  const RIniFile ini(iniPath);
  bool known = true;
  const RConfinementMode mode = ConfinementModeOf(ini, &known);
  if (!known)
    WriteLog(LOG_SYSTEM,
             FormatStr(kLogConfinementUnknown, ini.GetString(kGlobalSection, "Confinement")));
  if (mode == RConfinementMode::Off) {
    WriteLog(LOG_SYSTEM, LoadStr(kLogConfinementOff));
    return;
  }
  const RConfinementNeedsStr needs = ConfinementNeeds(ini, extras_);
  RLandlockPlanStr plan;
  for (const RConfinementPathStr& p : needs.paths) plan.paths.push_back(p.grant);
  plan.bindPorts = needs.ports;
  // The service manager's socket may be abstract ("@..."): it must stay
  // reachable for the status and watchdog messages.
  const auto notify = EnvVar("NOTIFY_SOCKET");
  plan.allowAbstractSockets = notify && !notify->empty() && (*notify)[0] == '@';
  const RLandlockResultStr r = ApplyLandlock(plan);
  abi_ = r.abi;
  if (r.applied) {
    landlock_ = true;
    bindLimited_ = r.bindLimited;
    for (const RLandlockPathStr& p : plan.paths) {
      const std::string real = ResolvedPath(p.path);
      if (!real.empty()) applied_.push_back({real, p.rights});
    }
    ports_ = plan.bindPorts;
    const uint32_t granted = static_cast<uint32_t>(plan.paths.size() - r.missing.size());
    if (r.bindLimited) {
      std::vector<uint16_t> unique = ports_;
      std::sort(unique.begin(), unique.end());
      unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
      WriteLog(LOG_SYSTEM, FormatStr(kLogLandlockApplied, r.abi, granted,
                                     static_cast<uint32_t>(unique.size())));
    } else {
      WriteLog(LOG_SYSTEM, FormatStr(kLogLandlockAppliedNoBind, r.abi, granted));
    }
    if (r.abi < 2) WriteLog(LOG_SYSTEM, LoadStr(kLogLandlockNoRefer));
  } else if (r.abi <= 0) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogLandlockNone, r.why));
  } else {
    WriteLog(LOG_SYSTEM, FormatStr(kLogLandlockFailed, r.abi, r.why));
  }
  const RSyscallFilterResultStr f = ApplySyscallFilter();
  filter_ = f.applied;
  if (f.applied) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogSyscallFilterApplied, f.denied));
  } else {
    WriteLog(LOG_SYSTEM, FormatStr(kLogSyscallFilterFailed, f.why));
  }
}

bool RConfinement::Covers(const std::string& path, uint32_t rights) const {
  if (!landlock_) return true;
  const std::string real = KernelPath(path);
  uint32_t have = 0;
  for (const RLandlockPathStr& a : applied_) {
    if (Beneath(real, a.path)) have |= a.rights;
  }
  return (have & rights) == rights;
}

bool RConfinement::CoversPort(uint16_t port) const {
  return !bindLimited_ || std::find(ports_.begin(), ports_.end(), port) != ports_.end();
}

bool RConfinement::CoversLog(const std::string& posixPath) const {
  if (posixPath.empty()) return true;
  const std::string folder =
      posixPath.back() == '/' ? posixPath.substr(0, posixPath.size() - 1) : DirectoryOf(posixPath);
  return Covers(folder.empty() ? "/" : folder, kRW);
}

void RConfinement::Attach(RFTPServer& server, RFTPSLogger* logger, const std::string& iniPath) {
  if (!landlock_) return;
  server.SetDriveGate(
      [this](char, const std::string& root) { return Covers(root, kLandlockRead); });
  server.Manager().SetXferLogGate([this](const std::string& path) { return CoversLog(path); });
  if (logger != nullptr) {
    logger->SetPathGate([this, iniPath](std::string_view, const std::string& configured) {
      return CoversLog(ServerFilePath(RIniFile(iniPath), configured));
    });
  }
}

int RConfinement::ReportReload(const RIniFile& ini) const {
  if (!landlock_) return 0;
  int refused = 0;
  const RConfinementNeedsStr needs = ConfinementNeeds(ini, extras_);
  for (const RConfinementPathStr& p : needs.paths) {
    if (p.key == "system") continue;
    if (Covers(p.grant.path, p.grant.rights)) continue;
    const bool readable = Covers(p.grant.path, kR);
    WriteLog(LOG_SYSTEM, FormatStr(readable ? kLogReloadNeedsWrite : kLogReloadOutsidePaths,
                                   p.grant.path, p.key));
    ++refused;
  }
  // One line per run of ports (a new passive range is one line).
  std::vector<uint16_t> missing;
  for (uint16_t port : needs.ports) {
    if (!CoversPort(port)) missing.push_back(port);
  }
  std::sort(missing.begin(), missing.end());
  missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
  for (size_t i = 0; i < missing.size();) {
    size_t j = i;
    while (j + 1 < missing.size() && missing[j + 1] == missing[j] + 1) ++j;
    const std::string ports = i == j ? RFormat("%u", static_cast<uint32_t>(missing[i]))
                                     : RFormat("%u-%u", static_cast<uint32_t>(missing[i]),
                                               static_cast<uint32_t>(missing[j]));
    WriteLog(LOG_SYSTEM, FormatStr(kLogReloadOutsidePorts, ports));
    ++refused;
    i = j + 1;
  }
  return refused;
}

}  // namespace vantor
