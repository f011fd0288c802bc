#include "app/RAdminCommands.h"

#include <errno.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string_view>

#include "accounts/RAccountsStrings.h"
#include "accounts/RClusterStore.h"
#include "accounts/RCrypt.h"
#include "accounts/RIPRules.h"
#include "accounts/RPasswordHash.h"
#include "app/RRunAs.h"
#include "config/RClusterSettings.h"
#include "config/RConfigStrings.h"
#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "config/RIniPath.h"
#include "net/RProxyHeader.h"
#include "platform/RDriveMap.h"
#include "platform/RFile.h"
#include "platform/RFileSys.h"
#include "platform/RLibCrypt.h"
#include "platform/RMessageLoop.h"
#include "platform/RPrivileges.h"
#include "platform/RProcess.h"
#include "util/RFormat.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {

// ---------------------------------------------------------------------------
// --hash-password

int HashPasswordCommand(std::FILE* in, std::FILE* out, std::FILE* err, bool desForm) {
  const int fd = fileno(in);
  const bool terminal = IsTerminal(fd);
  bool echoOff = false;
  if (terminal) {
    std::fputs(LoadStr(kTextPasswordPrompt), err);
    std::fflush(err);
    echoOff = SetTerminalEcho(fd, false);
  }
  std::string line;
  bool any = false;
  for (int c; (c = std::fgetc(in)) != EOF;) {
    any = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (echoOff) {
    (void)SetTerminalEcho(fd, true);
    std::fputc('\n', err);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!any || line.empty()) {
    std::fprintf(err, "%s\n", LoadStr(kTextNoPasswordGiven));
    return 1;
  }
  std::optional<std::string> hash;
  if (desForm) {
    // The library's traditional-DES salt: two characters from the kernel's
    // random source; the hash itself is our own DES code, as the server's.
    if (auto salt = LibCryptGenSalt("")) hash = Crypt(line, *salt);
  } else {
    hash = YescryptHash(line);
  }
  std::fill(line.begin(), line.end(), '\0');
  if (!hash || hash->empty()) {
    std::fprintf(err, "%s\n", LoadStr(kTextNoHash));
    return 1;
  }
  std::fprintf(out, "%s\n", hash->c_str());
  return 0;
}

// ---------------------------------------------------------------------------
// --check-config

namespace {

enum class RKind {
  Text,
  Bool,
  Int,
  Enum,
  Version,
  HomeDir,    // drive or POSIX directory that must exist
  MesFile,    // drive or POSIX file that should exist
  OwnFile,    // the server's own file (log): its directory must be writable
  IPLog,      // "minutes,file"
  Access,     // "path,LETTERS"
  IPRule,     // "A,pattern" / "D,pattern"
  User,       // an account of this system
  Group,      // a group of this system
  Library,    // a shared library file
  Security,   // a switch whose OFF opens everything
  TlsFile,    // certificate or key: a regular file; the pair goes together
  PortRange,  // "low-high" passive ports
  ProxyList,  // addresses and prefixes allowed to send a PROXY header
  ListMask,   // nine letters of "rwx-"
  Quota,      // "max,current" bytes
};

struct RKeyStr {
  const char* name;  // a trailing '#' stands for a number from 1 up
  RKind kind;
  int64_t min = 0;
  int64_t max = 0;
  const char* choices = nullptr;  // Enum: words separated by '|'
};

constexpr int64_t kNoMax = INT64_MAX;

// The switch words the INI layer reads (config/RProfile).
bool IsSwitchWord(std::string_view v) {
  for (const char* w : {"TRUE", "YES", "ON", "1", "FALSE", "NO", "OFF", "0"}) {
    if (EqualNoCaseAscii(v, w)) return true;
  }
  return false;
}

bool SwitchOn(std::string_view v) {
  for (const char* w : {"TRUE", "YES", "ON", "1"}) {
    if (EqualNoCaseAscii(v, w)) return true;
  }
  return false;
}

// [GLOBAL]: the server's, the logger's and the window's keys.
const RKeyStr kGlobalKeys[] = {
    {"Version", RKind::Version},
    {"Security", RKind::Security},
    {"CheckAnonPass", RKind::Bool},
    {"EncryptPasswords", RKind::Bool},
    {"PasswordHash", RKind::Enum, 0, 0, "des|yescrypt"},
    {"LowerCaseFileDir", RKind::Bool},
    {"SpeedLimit", RKind::Int, -1, kNoMax},
    {"DeletePartialUploads", RKind::Bool},
    {"BlockFTPBounceAttack", RKind::Bool},
    {"PassivePeerCheck", RKind::Bool},
    {"LoginTimeLimit", RKind::Int, 0, kNoMax},
    {"MaxPreLoginPerIP", RKind::Int, 0, kNoMax},
    {"TLSCertificateFile", RKind::TlsFile},
    {"TLSPrivateKeyFile", RKind::TlsFile},
    {"TLSImplicitPortNr", RKind::Int, 0, 65535},
    {"TLSMinProtocol", RKind::Enum, 0, 0, "TLSv1.2|TLSv1.3"},
    {"TLSCipherList", RKind::Text},
    {"TLSCipherSuites", RKind::Text},
    {"TLSDataSessionReuse", RKind::Bool},
    {"TLSMaxHandshakes", RKind::Int, 1, 100000},
    {"WorkerThreads", RKind::Int, 1, 16},
    {"WorkerQueue", RKind::Int, 1, 10000},
    {"DataThreads", RKind::Int, 1, 256},
    {"MetricsPerUser", RKind::Bool},
    {"PassivePortRange", RKind::PortRange},
    {"PassiveAddress", RKind::Text},
    {"ProxyProtocolFrom", RKind::ProxyList},
    {"BlockAntiTimeOut", RKind::Bool},
    {"DirCacheEnable", RKind::Bool},
    {"DirCacheSize", RKind::Int, 1, 150},
    {"DirCacheTime", RKind::Int, 0, kNoMax},
    {"DirCacheMaxMB", RKind::Int, 1, 1048576},
    {"MaxListEntries", RKind::Int, 1, kNoMax},
    {"AutoStart", RKind::Bool},
    {"PortNr", RKind::Int, 1, 65535},
    {"MaxNrUsers", RKind::Int, -1, kNoMax},
    {"ListenToIPHomesOnly", RKind::Bool},
    {"OpenFilesUploadMode", RKind::Enum, 0, 0, "Any|Shared|Exclusive"},
    {"DirListMask", RKind::ListMask},
    {"DirChangeMesFile", RKind::Text},
    {"DirChangeMesFile2", RKind::Text},
    {"LinkFile", RKind::Text},
    {"LinkFile2", RKind::Text},
    {"AntiHammer", RKind::Bool},
    {"AntiHammerWindow", RKind::Int, 1, kNoMax},
    {"AntiHammerTries", RKind::Int, 1, kNoMax},
    {"AntiHammerBlock", RKind::Int, 1, kNoMax},
    {"SocketInlineOOB", RKind::Bool},
    {"SocketKeepAlive", RKind::Bool},
    {"SocketNoNagle", RKind::Bool},
    {"SocketRcvBuffer", RKind::Int, 0, kNoMax},
    {"SocketSndBuffer", RKind::Int, 0, kNoMax},
    {"PacketTimeOut", RKind::Int, 0, kNoMax},
    {"Window", RKind::Text},
    {"StartIconic", RKind::Bool},
    {"StartMaximized", RKind::Bool},
    {"Invisible", RKind::Bool},
    {"ShowToolBar", RKind::Bool},
    {"ShowBmpMenus", RKind::Bool},
    {"UserInfoWin", RKind::Text},
    {"ReloadSettings", RKind::Bool},
    {"Logging", RKind::Bool},
    {"Logfile", RKind::OwnFile},
    {"LogFileRotation", RKind::Enum, 0, 0, "None|Dayly|Daily|Weekly|Monthly|Yearly"},
    {"LogIPDontLog", RKind::Text},
    {"IPLog", RKind::IPLog},
    {"LogFont", RKind::Text},
    {"LogSystemMes", RKind::Bool},
    {"LogFileSystemMes", RKind::Bool},
    {"LogSecurityMes", RKind::Bool},
    {"LogFileSecurityMes", RKind::Bool},
    {"LogFTPCommands", RKind::Bool},
    {"LogFileFTPCommands", RKind::Bool},
    {"LogFTPReplies", RKind::Bool},
    {"LogFileFTPReplies", RKind::Bool},
    {"LogGETs", RKind::Bool},
    {"LogFileGETs", RKind::Bool},
    {"LogPUTs", RKind::Bool},
    {"LogFilePUTs", RKind::Bool},
    {"LogIPNames", RKind::Bool},
    {"LogFileIPNames", RKind::Bool},
    {"LogDirtyDetails", RKind::Bool},
    {"LogFileDirtyDetails", RKind::Bool},
    {"LogAccessDLL", RKind::Bool},
    {"LogFileAccessDLL", RKind::Bool},
    {"RunAsUser", RKind::User},
    {"Confinement", RKind::Enum, 0, 0, "kernel|off"},
    {"RunAsGroup", RKind::Group},
    // The administration endpoint (app/RAdminServer.h), read at start-up.
    {"AdminSocket", RKind::Text},
    {"AdminGroup", RKind::Text},
    {"AdminListen", RKind::Text},
    {"AdminTokenHash", RKind::Text},
    {"MetricsListen", RKind::Text},
    {"XferLog", RKind::OwnFile},
    // Keys of older files that the conversion at start-up moves.
    {"TimeoutUser", RKind::Int, 0, kNoMax},
    {"TimeoutAnonymous", RKind::Int, 0, kNoMax},
    {"MaxNrAnonymous", RKind::Int, -1, kNoMax},
    {"AnonRelPaths", RKind::Bool},
    {"Authorization", RKind::Text},
    {"DenyRulesFirst", RKind::Bool},
};

// USER=..., GROUP=... and the default user.
const RKeyStr kAccountKeys[] = {
    {"Group", RKind::Text},
    {"Enable", RKind::Bool},
    {"HomeDir", RKind::HomeDir},
    {"LoginMesFile", RKind::MesFile},
    {"HideHidden", RKind::Bool},
    {"RelPaths", RKind::Bool},
    {"RequireTLS", RKind::Bool},
    {"AlwaysAllowLogin", RKind::Bool},
    {"OneLoginPerIP", RKind::Bool},
    {"MaxUsersLoginPerIP", RKind::Int, -1, kNoMax},
    {"SpeedLimit", RKind::Int, -1, kNoMax},
    {"TimeOut", RKind::Int, 0, kNoMax},
    {"MaxNrUsers", RKind::Int, -1, kNoMax},
    {"Access#", RKind::Access},
    {"IP#", RKind::IPRule},
    {"Password", RKind::Text},
    {"PasswordType", RKind::Enum, 0, 0, "OTP S/KEY MD4|OTP S/KEY MD5|Regular"},
    {"ChangePassword", RKind::Bool},
    {"SKEYValues", RKind::Text},
    {"RatiosEnable", RKind::Bool},
    {"Ratios", RKind::Text},
    {"RatioUp", RKind::Int, 0, kNoMax},
    {"RatioDown", RKind::Int, 0, kNoMax},
    {"RatiosCredit", RKind::Text},
    {"QuotaEnable", RKind::Bool},
    {"QuotaMaxCurrent", RKind::Quota},
};

// Allow/Bounce lines of older files are moved by the conversion at start.
const RKeyStr kIPAccessKeys[] = {
    {"IP#", RKind::IPRule}, {"Allow#", RKind::Text}, {"Bounce#", RKind::Text}};
const RKeyStr kIPHomesKeys[] = {{"IP#", RKind::Text}};
const RKeyStr kRatiosKeys[] = {{"Free#", RKind::Text}};
// SignOn/SignOff lines of older files are moved by the conversion at start.
const RKeyStr kSignOnOffKeys[] = {
    {"MessageFiles#", RKind::Text}, {"SignOn#", RKind::Text}, {"SignOff#", RKind::Text}};
const RKeyStr kExternalKeys[] = {{"ClientCheckDLL#", RKind::Library},
                                 {"EventHookDLL#", RKind::Library}};
const RKeyStr kClusterKeys[] = {
    {"Store", RKind::Enum, 0, 0, "postgresql"},
    {"ConnInfo", RKind::Text},
    {"ConnInfoPasswordFile", RKind::Text},
    {"Node", RKind::Text},
    {"ClusterUnavailable", RKind::Enum, 0, 0, "refuse|local"},
    {"LeaseSeconds", RKind::Int, 5, 3600},
    {"StatementTimeoutMs", RKind::Int, 100, 600000},
};

struct RSectionKeys {
  const RKeyStr* keys = nullptr;
  size_t count = 0;
};

template <size_t N>
RSectionKeys Keys(const RKeyStr (&k)[N]) {
  return {k, N};
}

// Which keys a section takes; `known` false for a section the server never reads.
RSectionKeys SectionKeys(std::string_view section, bool* known) {
  *known = true;
  if (EqualNoCaseAscii(section, "GLOBAL")) return Keys(kGlobalKeys);
  if (StartsWithNoCase(section, "USER=") || StartsWithNoCase(section, "GROUP="))
    return Keys(kAccountKeys);
  if (EqualNoCaseAscii(section, "IP-ACCESS")) return Keys(kIPAccessKeys);
  if (EqualNoCaseAscii(section, "IP-HOMES")) return Keys(kIPHomesKeys);
  if (EqualNoCaseAscii(section, "RATIOS")) return Keys(kRatiosKeys);
  if (EqualNoCaseAscii(section, "SIGNONOFF")) return Keys(kSignOnOffKeys);
  if (EqualNoCaseAscii(section, "EXTERNAL")) return Keys(kExternalKeys);
  if (EqualNoCaseAscii(section, "CLUSTER")) return Keys(kClusterKeys);
  *known = false;
  return {};
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

const RKeyStr* FindKey(const RSectionKeys& keys, std::string_view key) {
  for (size_t i = 0; i < keys.count; ++i) {
    std::string_view name = keys.keys[i].name;
    if (!name.empty() && name.back() == '#') {
      name.remove_suffix(1);
      if (StartsWithNoCase(key, name) && AllDigits(key.substr(name.size()))) return &keys.keys[i];
    } else if (EqualNoCaseAscii(key, name)) {
      return &keys.keys[i];
    }
  }
  return nullptr;
}

std::string Nearest(const RSectionKeys& keys, std::string_view key) {
  std::string best;
  size_t bestD = SIZE_MAX;
  for (size_t i = 0; i < keys.count; ++i) {
    std::string name = keys.keys[i].name;
    if (name.back() == '#') name.back() = '1';
    const size_t d = EditDistanceNoCase(key, name);
    if (d < bestD) {
      bestD = d;
      best = name;
    }
  }
  // Only a plausible slip is worth naming.
  return bestD <= std::max<size_t>(2, key.size() / 2) ? best : std::string();
}

std::optional<int64_t> ParseInt(std::string_view v) {
  bool neg = false;
  if (!v.empty() && (v[0] == '-' || v[0] == '+')) {
    neg = v[0] == '-';
    v.remove_prefix(1);
  }
  if (!AllDigits(v) || v.size() > 18) return std::nullopt;
  int64_t n = 0;
  for (char c : v) n = n * 10 + (c - '0');
  return neg ? -n : n;
}

struct RLineStr {
  int line;
  std::string section;
  std::string key;
  std::string value;
};

struct RChecker {
  std::string iniPath;
  std::string iniDir;
  RDriveMap drives;
  std::optional<RRunAsStr> runAs;
  bool rotating = false;  // LogFileRotation other than None
  std::vector<RConfigProblemStr> problems;

  void Add(int line, bool error, std::string text) {
    problems.push_back({line, error, std::move(text)});
  }

  // A configured path as a POSIX path: drive form through the table, a
  // POSIX one as it is, a relative one (own files only) from the INI folder.
  std::string Posix(std::string_view v, bool relativeFromIni) const {
    if (IsDriveForm(v)) return drives.DriveToPosix(v);
    if (!v.empty() && v[0] == '/') return std::string(v);
    return relativeFromIni ? NormalizePath(v, iniDir) : std::string();
  }

  std::string Who() const { return runAs ? runAs->user : std::string(LoadStr(kCheckThisUser)); }

  void CheckValue(int line, std::string_view key, const RKeyStr& k, std::string_view v) {
    switch (k.kind) {
      case RKind::Text:
      case RKind::Version:
        break;
      case RKind::Bool:
        if (!IsSwitchWord(v)) Add(line, true, FormatStr(kCheckNotSwitch, key, v));
        break;
      case RKind::Int: {
        auto n = ParseInt(v);
        if (!n) {
          Add(line, true, FormatStr(kCheckNotNumber, key, v));
        } else if (*n < k.min || *n > k.max) {
          Add(line, true,
              k.max == kNoMax ? FormatStr(kCheckBelowMinimum, key, *n, k.min)
                              : FormatStr(kCheckOutOfRange, key, *n, k.min, k.max));
        }
        break;
      }
      case RKind::Enum: {
        bool ok = false;
        std::string_view rest = k.choices;
        while (!rest.empty()) {
          const size_t bar = rest.find('|');
          if (EqualNoCaseAscii(rest.substr(0, bar), v)) ok = true;
          rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
        }
        if (!ok) Add(line, true, FormatStr(kCheckNoneOf, key, v, k.choices));
        break;
      }
      case RKind::HomeDir: {
        const std::string p = Posix(v, false);
        if (p.empty()) {
          Add(line, true, FormatStr(kCheckNotPath, key, v));
        } else if (!IsDirectoryPath(p)) {
          Add(line, true, FormatStr(kCheckMissing, key, p));
        }
        break;
      }
      case RKind::MesFile: {
        const std::string p = Posix(v, false);
        if (p.empty()) {
          Add(line, false, FormatStr(kCheckNotPath, key, v));
        } else if (!PathExists(p)) {
          Add(line, false, FormatStr(kCheckMessageMissing, key, p));
        }
        break;
      }
      case RKind::OwnFile:
        CheckOwnFile(line, key, v);
        break;
      case RKind::IPLog: {
        const size_t comma = v.find(',');
        auto minutes = ParseInt(TrimLine(v.substr(0, comma)));
        if (!minutes || *minutes < 0) Add(line, true, FormatStr(kCheckNotNumber, key, v));
        if (comma != std::string_view::npos) CheckOwnFile(line, key, TrimLine(v.substr(comma + 1)));
        break;
      }
      case RKind::Access: {
        const size_t comma = v.rfind(',');
        bool ok = comma != std::string_view::npos && comma > 0;
        if (ok) {
          for (char c : v.substr(comma + 1)) {
            const char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            if (std::string_view("RWAMELCDP").find(u) == std::string_view::npos) ok = false;
          }
        }
        if (!ok) {
          Add(line, true, FormatStr(kCheckNotAccessRule, key, v));
        } else {
          CheckUploadFolder(line, key, TrimLine(v.substr(0, comma)), v.substr(comma + 1));
        }
        break;
      }
      case RKind::IPRule: {
        // The server's own reading: a rule it skips is reported.
        if (!IPRuleParses(v)) Add(line, true, FormatStr(kCheckNotIpRule, key, v));
        break;
      }
      case RKind::User:
      case RKind::Group:
        break;  // checked together below
      case RKind::Library:
        if (!PathExists(std::string(v))) Add(line, true, FormatStr(kCheckMissing, key, v));
        break;
      case RKind::Security:
        if (!IsSwitchWord(v)) {
          Add(line, true, FormatStr(kCheckNotSwitch, key, v));
        } else if (!SwitchOn(v)) {
          Add(line, false, FormatStr(kCheckSecurityOff, key, v));
        }
        break;
      case RKind::TlsFile:
        CheckTlsFile(line, key, v);
        break;
      case RKind::PortRange: {
        int32_t low = 0, high = 0;
        if (!ParsePassiveRange(v, low, high))
          Add(line, true, FormatStr(kCheckNotPortRange, key, v));
        break;
      }
      case RKind::ProxyList: {
        std::vector<std::string> rejected;
        for (const RProxySourceStr& src : ParseProxySources(v, &rejected)) {
          // A prefix of no bits lets every client claim any address.
          if (src.bits == 0) Add(line, false, FormatStr(kCheckProxyFromAll, key));
        }
        for (const std::string& r : rejected)
          Add(line, true, FormatStr(kCheckNotProxySource, key, r));
        break;
      }
      case RKind::ListMask:
        if (!ValidListMask(v)) Add(line, true, FormatStr(kCheckNotListMask, key, v));
        break;
      case RKind::Quota: {
        const size_t comma = v.find(',');
        const bool ok =
            ParseInt(v.substr(0, comma)).value_or(-1) >= 0 &&
            (comma == std::string_view::npos || ParseInt(v.substr(comma + 1)).value_or(-1) >= 0);
        if (!ok) Add(line, true, FormatStr(kCheckNotQuota, key, v));
        break;
      }
    }
  }

  // The server loads the pair only together, from the paths as they are
  // resolved here; a file it cannot load leaves it running without TLS.
  void CheckTlsFile(int line, std::string_view key, std::string_view v) {
    const std::string p = Posix(v, true);
    RFileStatStr st;
    if (p.empty()) {
      Add(line, true, FormatStr(kCheckNotPath, key, v));
    } else if (!PathExists(p)) {
      Add(line, true, FormatStr(kCheckTlsMissing, key, p));
    } else if (IsDirectoryPath(p) ||
               (FsStat(p, st) && st.type != RFileType::Regular && st.type != RFileType::Link)) {
      Add(line, true, FormatStr(kCheckTlsNotFile, key, p));
    }
  }

  void CheckOwnFile(int line, std::string_view key, std::string_view v) {
    const std::string p = Posix(v, true);
    if (p.empty()) {
      Add(line, true, FormatStr(kCheckNotPath, key, v));
      return;
    }
    const std::string dir = DirectoryOf(p);
    if (!IsDirectoryPath(dir)) {
      Add(line, true, FormatStr(kCheckMissing, key, dir));
      return;
    }
    // The folder matters for a file still to be made, and for every new
    // name of a rotated log (not for the IP list, always one name).
    const bool exists = PathExists(p);
    if (exists && !PathWritableBy(p, runAs)) {
      Add(line, true, FormatStr(kCheckNotWritable, key, p, Who()));
    } else if ((!exists || (rotating && !EqualNoCaseAscii(key, "IPLog"))) &&
               !PathWritableBy(dir, runAs)) {
      Add(line, true, FormatStr(kCheckNotWritable, key, dir, Who()));
    }
  }

  // A folder that an access rule lets clients write into. A rule with
  // wildcards, or one that names its path from the drive root only, names
  // no one folder and is left alone. Only a warning: a rule over a whole tree
  // may cover a top the administrator keeps read-only on purpose.
  void CheckUploadFolder(int line, std::string_view key, std::string_view path,
                         std::string_view letters) {
    if (letters.find_first_of("WAMCwamc") == std::string_view::npos) return;
    if (path.find_first_of("*?") != std::string_view::npos) return;
    std::string p = Posix(path, false);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty() || !IsDirectoryPath(p) || PathWritableBy(p, runAs)) return;
    Add(line, false, FormatStr(kCheckNotWritable, key, p, Who()));
  }

  // What the account reads or writes again after the switch, asked as it.
  // `text` is the content checked, read here privately: the check may run
  // on a worker, where the loop's readers of the file must not be touched.
  void CheckRunAsFiles(const std::vector<RLineStr>& entries, const std::string& text);
};

void RChecker::CheckRunAsFiles(const std::vector<RLineStr>& entries, const std::string& text) {
  for (const RRunAsFileStr& f : RunAsFiles(RIniFile::FromText(iniPath, text))) {
    const int error = AccessAs(f.path, f.need, runAs);
    if (error == 0 || error == ENOENT) continue;
    int line = 0;
    for (const RLineStr& e : entries) {
      if (!f.section.empty() && EqualNoCaseAscii(e.section, f.section) &&
          EqualNoCaseAscii(e.key, f.key)) {
        line = e.line;
        break;
      }
    }
    const uint32_t id = f.need == RAccessKind::Read ? kCheckNotReadable : kCheckNotWritable;
    Add(line, f.essential, FormatStr(id, f.key, f.path, Who()));
  }
}

constexpr size_t kMaxIniBytes = 64 << 20;
constexpr size_t kMaxLineBytes = 16384;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// One of the two TLS files alone: the server cannot load the pair.
void CheckTlsPair(RChecker& c, const std::vector<RLineStr>& entries) {
  const RLineStr* set[2] = {nullptr, nullptr};
  const char* names[2] = {"TLSCertificateFile", "TLSPrivateKeyFile"};
  for (const RLineStr& e : entries) {
    if (!EqualNoCaseAscii(e.section, "GLOBAL") || e.value.empty()) continue;
    for (int i = 0; i < 2; ++i) {
      if (set[i] == nullptr && EqualNoCaseAscii(e.key, names[i])) set[i] = &e;
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (set[i] != nullptr && set[1 - i] == nullptr)
      c.Add(set[i]->line, true, FormatStr(kCheckTlsUnpaired, names[i], names[1 - i]));
  }
}

}  // namespace

std::vector<RConfigProblemStr> CheckConfigFile(const std::string& iniPath) {
  RChecker c;
  c.iniPath = iniPath;
  c.iniDir = DirectoryOf(iniPath);
  std::string text;
  // Bounded, and never waiting on a FIFO: the check runs before the service.
  if (ReadFileBounded(iniPath, kMaxIniBytes, &text) != RBoundedRead::Ok) {
    c.Add(0, true, FormatStr(kCheckCannotRead, iniPath));
    return c.problems;
  }
  return CheckConfigText(iniPath, std::move(text));
}

std::vector<RConfigProblemStr> CheckConfigText(const std::string& iniPath, std::string text) {
  RChecker c;
  c.iniPath = iniPath;
  c.iniDir = DirectoryOf(iniPath);
  // The server reads a file saved with a byte order mark; so does the check.
  if (text.starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());

  // Pass 1: the lines, so the drive table and the run-as account are known
  // before any path is looked at.
  std::vector<RLineStr> entries;
  bool haveDrives = false, haveVersion = false;
  std::string section, runUser, runGroup;
  int runLine = 0;
  int number = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    const std::string_view raw = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    ++number;
    const std::string_view l = TrimLine(raw);
    if (l.empty() || l[0] == ';' || l[0] == '#') continue;
    // Nothing the server reads is this long; the line is not looked at any
    // further (a key of megabytes would take minutes to match).
    if (l.size() > kMaxLineBytes) {
      c.Add(number, true, FormatStr(kCheckLineTooLong, l.size(), kMaxLineBytes));
      continue;
    }
    if (l[0] == '[') {
      const size_t close = l.find(']');
      if (close == std::string_view::npos) {
        c.Add(number, true, LoadStr(kCheckUnclosedSection));
        section.clear();
        continue;
      }
      section = std::string(TrimLine(l.substr(1, close - 1)));
      bool known = false;
      (void)SectionKeys(section, &known);
      if (EqualNoCaseAscii(section, "DRIVES")) {
        haveDrives = true;
      } else if (!known) {
        c.Add(number, false, FormatStr(kCheckUnknownSection, section));
      }
      continue;
    }
    const size_t eq = l.find('=');
    if (eq == std::string_view::npos) {
      c.Add(number, true, LoadStr(kCheckBadLine));
      continue;
    }
    RLineStr e{number, section, std::string(TrimLine(l.substr(0, eq))),
               std::string(TrimLine(l.substr(eq + 1)))};
    if (EqualNoCaseAscii(section, "GLOBAL")) {
      if (EqualNoCaseAscii(e.key, "Version") && !e.value.empty()) haveVersion = true;
      if (EqualNoCaseAscii(e.key, "RunAsUser")) runUser = e.value, runLine = number;
      if (EqualNoCaseAscii(e.key, "RunAsGroup")) runGroup = e.value, runLine = number;
      if (EqualNoCaseAscii(e.key, "LogFileRotation"))
        c.rotating = !e.value.empty() && !EqualNoCaseAscii(e.value, "None");
    }
    entries.push_back(std::move(e));
  }
  if (!haveVersion) c.Add(0, false, LoadStr(kCheckNoVersion));
  CheckTlsPair(c, entries);

  // The drive table exactly as the server builds it, and each root checked.
  if (!haveDrives) {
    c.drives.Set('C', "/");
    c.Add(0, false, LoadStr(kCheckNoDrives));
  } else {
    for (const auto& e : entries) {
      if (!EqualNoCaseAscii(e.section, "DRIVES")) continue;
      const char letter = e.key.size() == 1 ? AsciiLower(e.key[0]) : 0;
      if (letter < 'a' || letter > 'z') {
        c.Add(e.line, true, FormatStr(kCheckBadDriveKey, e.key));
        continue;
      }
      const std::string root =
          e.value.empty() || e.value[0] == '/' ? e.value : NormalizePath(e.value, c.iniDir);
      if (!IsDirectoryPath(root)) {
        c.Add(e.line, true, FormatStr(kCheckMissing, e.key, root));
        continue;
      }
      if (NormalizePath(root, "/") == "/")
        c.Add(e.line, false, FormatStr(kCheckDriveIsRoot, e.key));
      (void)c.drives.Set(static_cast<char>(letter - 'a' + 'A'), NormalizePath(root, "/"));
    }
  }

  if (!runUser.empty()) {
    std::string why;
    c.runAs = LookupRunAs(runUser, runGroup, &why);
    if (!c.runAs) c.Add(runLine, true, why);
  } else if (!runGroup.empty()) {
    c.Add(runLine, true, LoadStr(kCheckRunAsGroupAlone));
  }

  c.CheckRunAsFiles(entries, text);

  for (const auto& e : entries) {
    if (EqualNoCaseAscii(e.section, "DRIVES")) continue;
    bool known = false;
    const RSectionKeys keys = SectionKeys(e.section, &known);
    if (!known) continue;
    const RKeyStr* k = FindKey(keys, e.key);
    if (k == nullptr) {
      const std::string near = Nearest(keys, e.key);
      c.Add(e.line, true,
            near.empty() ? FormatStr(kCheckUnknownKey, e.key, e.section)
                         : FormatStr(kCheckUnknownKeyHint, e.key, e.section, near));
      continue;
    }
    if (e.value.empty()) continue;  // an empty value means the default
    c.CheckValue(e.line, e.key, *k, e.value);
  }
  std::stable_sort(
      c.problems.begin(), c.problems.end(),
      [](const RConfigProblemStr& a, const RConfigProblemStr& b) { return a.line < b.line; });
  return c.problems;
}

int CheckConfigCommand(const std::string& iniPath, std::FILE* out) {
  const auto problems = CheckConfigFile(iniPath);
  int errors = 0, warnings = 0;
  for (const auto& p : problems) {
    (p.error ? errors : warnings)++;
    std::fprintf(out, "%s:%d: %s: %s\n", iniPath.c_str(), p.line,
                 p.error ? LoadStr(kCheckError) : LoadStr(kCheckWarning), p.text.c_str());
  }
  std::fprintf(out, "%s\n", FormatStr(kCheckSummary, iniPath, errors, warnings).c_str());
  return errors > 0 ? 1 : 0;
}

int ClusterInitCommand(RMessageLoop& loop, const std::string& iniPath, std::FILE* out,
                       std::FILE* err) {
  RIniFile ini(iniPath);
  const RClusterSettings settings = RClusterSettings::Load(ini, HostName());
  for (const std::string& p : settings.problems) std::fprintf(err, "%s\n", p.c_str());
  if (!settings.enabled) {
    if (settings.problems.empty())
      std::fprintf(err, "%s\n", FormatStr(kTextNoClusterStore, iniPath).c_str());
    return 1;
  }
  RPgClient::Options o;
  o.connInfo = settings.connInfo;
  o.statementTimeoutMs = 60000;  // a migration may take its time
  if (!settings.passwordFile.empty()) {
    std::string why;
    if (!ReadClusterPassword(settings.passwordFile, &o.password, &why)) {
      std::fprintf(err, "%s\n",
                   FormatStr(kLogClusterPasswordFile, settings.passwordFile, why).c_str());
      return 1;
    }
  }
  RPgClient client(loop, o);
  int code = 1;
  client.OnStateChange([&](bool up, const std::string& why) {
    if (!up) {
      std::fprintf(err, "%s\n", FormatStr(kLogClusterProblem, why).c_str());
      loop.Quit(1);
      return;
    }
    RClusterStore::InitSchema(client, [&](bool ok, const std::string& line) {
      std::fprintf(ok ? out : err, "%s\n", line.c_str());
      code = ok ? 0 : 1;
      loop.Quit(code);
    });
  });
  client.Start();
  (void)loop.Run();
  return code;
}

}  // namespace vantor
