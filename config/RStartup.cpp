#include "config/RStartup.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "config/RConfigStrings.h"
#include "config/RDriveConfig.h"
#include "config/RProfile.h"
#include "platform/RFile.h"
#include "platform/RFileSys.h"
#include "platform/RLocalTime.h"
#include "platform/RProcess.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr int kEarliestYear = 1980;

template <typename F, typename... A>
void Call(const F& f, A&&... args) {
  if (f) f(std::forward<A>(args)...);
}

// Sections the server reads; "USER=" and "GROUP=" are prefixes.
constexpr const char* kKnownSections[] = {"GLOBAL",    "SIGNONOFF", "RATIOS", "IP-HOMES",
                                          "IP-ACCESS", "EXTERNAL",  "DRIVES"};
constexpr size_t kMaxSectionSlip = 2;  // edits that still count as a slip
// A temporary copy younger than this may be another process's write.
constexpr int64_t kStaleTempSeconds = 60;

// The known section a misspelt name most likely means; "" when the name is
// known or not close to any.
std::string NearestSection(std::string_view name) {
  const std::string up = Upper(name);
  const size_t eq = up.find('=');
  if (eq != std::string::npos) {
    const std::string head = up.substr(0, eq);
    if (head == "USER" || head == "GROUP") return {};
    for (const char* prefix : {"USER", "GROUP"}) {
      if (EditDistanceNoCase(head, prefix) <= 1)
        return std::string(prefix) + std::string(name.substr(eq));
    }
    return {};
  }
  std::string best;
  size_t bestDistance = kMaxSectionSlip + 1;
  for (const char* known : kKnownSections) {
    const size_t d = EditDistanceNoCase(up, known);
    if (d == 0) return {};
    if (d < bestDistance) {
      bestDistance = d;
      best = known;
    }
  }
  return best;
}

bool IsTempSuffix(std::string_view s) {
  if (s.size() != 6) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

}  // namespace

void LogDriveTable(const RIniFile& ini) {
  const RDriveMap drives = DriveMapFromIni(ini);
  bool any = false;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string& root = drives.Root(letter);
    if (root.empty()) continue;
    any = true;
    const std::string name(1, letter);
    WriteLog(LOG_SYSTEM, FormatStr(kLogDrive, name, root));
    if (root == "/") WriteLog(LOG_SECURITY, FormatStr(kLogDriveIsRoot, name));
  }
  if (!any) WriteLog(LOG_SECURITY, LoadStr(kLogNoUsableDrive));
}

void WarnMisspeltSections(const RIniFile& ini) {
  for (const std::string& name : ini.SectionNames()) {
    const std::string near = NearestSection(name);
    if (!near.empty()) WriteLog(LOG_SECURITY, FormatStr(kLogMisspeltSection, name, near));
  }
}

void WarnInvalidPort(const RIniFile& ini) {
  const std::string text = ini.GetString(kGlobalSection, "PortNr");
  if (text.empty()) return;
  const std::optional<int32_t> port = ScanInt(text);
  if (port && *port >= 1 && *port <= 65535) return;
  WriteLog(LOG_SECURITY, FormatStr(kLogBadPortNr, text));
}

void RemoveStaleIniTemporaries(const std::string& iniPath) {
  const std::string dir = DirectoryOf(iniPath);
  const std::string base = iniPath.substr(iniPath.rfind('/') + 1);
  const std::string prefix = base + ".tmp";
  const int64_t now = FileClockNowNs() / 1000000000;
  RDirReader reader;
  if (!reader.Open(dir)) return;
  std::vector<std::string> stale;
  RDirEntryStr e;
  while (reader.Next(e)) {
    const bool ours =
        (e.name.size() == prefix.size() + 6 && e.name.compare(0, prefix.size(), prefix) == 0 &&
         IsTempSuffix(std::string_view(e.name).substr(prefix.size()))) ||
        e.name == "tmpnew.ini";
    if (!ours) continue;
    RFileStatStr st;
    if (!reader.StatEntry(e.name, st) || st.type != RFileType::Regular) continue;
    if (now - st.mtime < kStaleTempSeconds) continue;
    stale.push_back(e.name);
  }
  reader.Close();
  for (const std::string& name : stale) {
    const std::string path = (dir == "/" ? std::string() : dir) + "/" + name;
    if (RemoveFile(path)) WriteLog(LOG_SYSTEM, FormatStr(kLogStaleTempRemoved, path));
  }
}

RIniPathInputs IniPathInputs(const RCommandLine& cmd) {
  RIniPathInputs in;
  in.argument = cmd.iniArgument;
  in.programDir = ProgramDirectory();
  in.envVantor = EnvVar("VANTOR");
  in.currentDir = CurrentDirectory();
  return in;
}

RCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  RCommandLine cmd;
  for (const std::string& a : args) {
    if (a == "--help") {
      cmd.help = true;
    } else if (a == "--version") {
      cmd.version = true;
    } else if (a == "--hash-password") {
      cmd.hashPassword = true;
    } else if (a == "--check-config") {
      cmd.checkConfig = true;
    } else if (a == "--cluster-init") {
      cmd.clusterInit = true;
    } else if (a.size() >= 2 && a[0] == '-') {
      // "/" does not start an option here: it starts an absolute path.
      switch (a[1] | 0x20) {
        case 'h':
          cmd.hidden = true;
          break;
        case 'i':
          cmd.iconic = true;
          break;
        case 's':
          cmd.single = true;
          break;
        case 'u':
          cmd.noConfirm = true;
          break;
        default:
          break;  // other options are ignored
      }
    } else if (!cmd.iniArgument && a != "-") {
      cmd.iniArgument = a;
    }
  }
  return cmd;
}

RServerStartup::RServerStartup(const RClock& clock, Seams seams)
    : clock_(clock), seams_(std::move(seams)) {}

bool RServerStartup::ClockPlausible() const {
  // The upper bound of old would stop every server in 2036: only the lower
  // one is kept.
  const int64_t now = clock_.WallSeconds();
  return now >= 1 && LocalTime(now).year >= kEarliestYear;
}

void RServerStartup::OpenConfiguration(const RCommandLine& cmd, const RIniPathInputs& where,
                                       const std::function<bool(const std::string&)>& exists) {
  RIniPathInputs in = where;
  in.argument = cmd.iniArgument;
  iniPath_ = ChooseIniPath(in, exists);
  if (!FileExists(iniPath_)) {
    WriteLog(LOG_SCREEN, LoadStr(kLogIniCreating));
    RIniFile fresh(iniPath_);
    created_ = fresh.Apply({{kGlobalSection, "Version", std::string(kProgramVersion)},
                            {kDefaultUserSection, "TimeOut", std::string("45")}});
  }
  if (!FileExists(iniPath_)) {
    // Every later read gives the defaults.
    iniPath_.clear();
    WriteLog(LOG_SCREEN, LoadStr(kLogIniInaccessible));
  }
  if (!iniPath_.empty()) ini_ = std::make_unique<RIniFile>(iniPath_);
}

RServerStartup::RStartResult RServerStartup::Run(const RCommandLine& cmd,
                                                 const RIniPathInputs& where,
                                                 std::function<bool(const std::string&)> exists) {
  if (!ClockPlausible()) {
    WriteLog(LOG_SCREEN, LoadStr(kLogCheckClock));
    return RStartResult::ClockRefused;
  }
  if (!exists) exists = [](const std::string& p) { return FileExists(p); };
  OpenConfiguration(cmd, where, exists);
  Call(seams_.loadLoggerSettings, ini_.get());
  // Left by a write that was killed half-way: full copies of the file,
  // password hashes included. After the logger is set up, so the removal is
  // on record.
  if (ini_) RemoveStaleIniTemporaries(iniPath_);
  Call(seams_.createEventHandler);
  if (ini_) settings_.Load(*ini_);
  Call(seams_.applyWindow, settings_, cmd);
  if (ini_) {
    conversion_ = ConvertIniFile(*ini_);
    settings_.Load(*ini_);
  }
  Call(seams_.loadMessageFiles);
  std::string description;
  uint32_t maxSockets = 0;
  if (seams_.startSocketLayer && seams_.startSocketLayer(&description, &maxSockets)) {
    WriteLog(LOG_SCREEN, FormatStr(kLogUsingSockets, description, maxSockets));
  }
  Call(seams_.showLoggingState);
  WriteLog(LOG_SYSTEM, FormatStr(kLogStarting, LoadStr(kTextVersion)));
  if (ini_) {
    // What clients can reach, said at every start: a missing or misspelt
    // [DRIVES] silently serves the whole machine otherwise.
    LogDriveTable(*ini_);
    WarnMisspeltSections(*ini_);
    if (!settings_.security) WriteLog(LOG_SECURITY, LoadStr(kLogSecurityOffWarning));
    WarnInvalidPort(*ini_);
  }
  Call(seams_.startServer, iniPath_);
  Call(seams_.configureDirCache, settings_.DirCacheEntries(), settings_.DirCacheSeconds());
  if (settings_.autoStart) Call(seams_.autoStart, true);
  Call(seams_.applyWindowSwitches, settings_);
  return RStartResult::Started;
}

std::string RServerStartup::ReloadRefusal() const {
  if (!ini_) return {};
  const std::string why = ini_->KeptReason();
  return why.empty() ? why : iniPath_ + ": " + why;
}

bool RServerStartup::Reload() {
  // Defaults in place of an unreadable file would refuse every login or
  // move the listener: everything stays as it is, and the log says why.
  if (const std::string why = ReloadRefusal(); !why.empty()) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogReloadRefused, why));
    return false;
  }
  if (ini_) {
    settings_.Load(*ini_);
    WarnInvalidPort(*ini_);
  }
  Call(seams_.reloadServer);
  Call(seams_.loadLoggerSettings, ini_.get());
  Call(seams_.reloadEventHandler);
  // Setting the cache up empties it; the sizes are those of the file now.
  Call(seams_.configureDirCache, settings_.DirCacheEntries(), settings_.DirCacheSeconds());
  return true;
}

bool RServerStartup::PollReloadSettings() {
  if (!ini_ || !ProfileBoolStrict(*ini_, kGlobalSection, "ReloadSettings")) return false;
  // Removed first, so one request gives one reload. If it cannot be removed
  // the next poll asks again, which is the best that can be done.
  (void)ini_->WriteString(kGlobalSection, "ReloadSettings", std::nullopt);
  return true;
}

void RServerStartup::SaveAtExit(const RWindowStateStr* window) {
  if (ini_ && window) (void)RGlobalSettings::SaveExitSettings(*ini_, *window);
  WriteLog(LOG_SYSTEM, LoadStr(kLogGoingDown));
}

}  // namespace vantor
