#include "config/RStartup.h"

#include "config/RProfile.h"
#include "platform/RFile.h"
#include "platform/RLocalTime.h"
#include "platform/RProcess.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

constexpr int kEarliestYear = 1980;

template <typename F, typename... A>
void Call(const F& f, A&&... args) {
  if (f) f(std::forward<A>(args)...);
}

}  // namespace

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
    WriteLog(LOG_SCREEN, LoadStr(21000));
    RIniFile fresh(iniPath_);
    created_ = fresh.Apply({{kGlobalSection, "Version", std::string(kProgramVersion)},
                            {kDefaultUserSection, "TimeOut", std::string("45")}});
  }
  if (!FileExists(iniPath_)) {
    // Every later read gives the defaults.
    iniPath_.clear();
    WriteLog(LOG_SCREEN, LoadStr(21001));
  }
  SetIniPath(iniPath_);
  if (!iniPath_.empty()) ini_ = std::make_unique<RIniFile>(iniPath_);
}

RServerStartup::RStartResult RServerStartup::Run(const RCommandLine& cmd,
                                                 const RIniPathInputs& where,
                                                 std::function<bool(const std::string&)> exists) {
  if (!ClockPlausible()) {
    WriteLog(LOG_SCREEN, LoadStr(21002));
    return RStartResult::ClockRefused;
  }
  if (!exists) exists = [](const std::string& p) { return FileExists(p); };
  OpenConfiguration(cmd, where, exists);
  Call(seams_.loadLoggerSettings, ini_.get());
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
    WriteLog(LOG_SCREEN, FormatStr(21004, description, maxSockets));
  }
  Call(seams_.showLoggingState);
  WriteLog(LOG_SYSTEM, FormatStr(21005, LoadStr(21006)));
  Call(seams_.startServer, iniPath_);
  Call(seams_.configureDirCache, settings_.DirCacheEntries(), settings_.DirCacheSeconds());
  if (settings_.autoStart) Call(seams_.autoStart, true);
  Call(seams_.applyWindowSwitches, settings_);
  return RStartResult::Started;
}

void RServerStartup::Reload() {
  if (ini_) settings_.Load(*ini_);
  Call(seams_.reloadServer);
  Call(seams_.loadLoggerSettings, ini_.get());
  Call(seams_.reloadEventHandler);
  Call(seams_.flushDirCache);
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
  WriteLog(LOG_SYSTEM, LoadStr(21008));
}

}  // namespace vantor
