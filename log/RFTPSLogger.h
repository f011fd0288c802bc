// The logger: categories, their screen and file switches, the line format,
// log files with rotation, and the list of the machine's addresses.
//
// Every subsystem logs through WriteLog() of util/RLog.h; the logger is that
// function's sink once InstallAsSink() was called. A line is
// "[%d] %s - %s" (category number, local time as "%a %d%b%y %X" in the
// classic locale, text). The log file is opened and closed for every line so
// other programs may move or delete it at any time.
//
// Time comes from the injected RClock (wall seconds); local time and the
// file system are reached through platform/. The one-second duty
// (OnSecondTick) is driven by whoever owns the loop.
//
// Loop thread only (checked in debug and sanitizer builds: a line written
// from a worker aborts there instead of racing the loop).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/RIniFile.h"
#include "log/RLogger.h"
#include "platform/RClock.h"
#include "platform/RThreadChecker.h"
#include "util/RLog.h"

namespace vantor {

// The nine switch pairs, in the order of the logger's state.
enum RLogSwitch : int {
  LS_SYSTEM = 0,
  LS_SECURITY,
  LS_COMMANDS,
  LS_REPLIES,
  LS_DOWNLOADS,
  LS_UPLOADS,
  LS_HOSTNAMES,
  LS_DIRTY,
  LS_EXTERNAL,
  LS_COUNT
};

// One category: the code callers pass, its switch, the number printed in
// the line, the INI keys of its switches and their default.
struct RLogCategoryStr {
  int code;
  RLogSwitch sw;
  int number;
  const char* screenKey;
  const char* fileKey;
  bool def;
};
// nullptr for codes that are not logged (18 is handled before the table).
const RLogCategoryStr* FindLogCategory(int code);
// The nine categories in the order the switches are written.
const std::array<RLogCategoryStr, LS_COUNT>& LogCategoriesWriteOrder();

enum RLogRotation : int {
  LR_NONE = 0,
  LR_DAILY = 1,
  LR_WEEKLY = 2,
  LR_MONTHLY = 3,
  LR_YEARLY = 4,
};
// "Dayly" (or "Daily"), "Weekly", "Monthly", "Yearly" (any case); anything
// else is none.
RLogRotation ParseRotation(std::string_view text);
// The word written for a mode ("" for none: the key is removed).
const char* RotationWord(RLogRotation r);

// `LogFont`: "%d,%d,%d,%d,%d,%d,%s".
struct RLogFontStr {
  int32_t height = -13;
  int32_t weight = 500;
  int32_t italic = 0;
  int32_t underline = 0;
  int32_t strikeOut = 0;
  int32_t charSet = 0;
  std::string face = "Arial";
  bool operator==(const RLogFontStr&) const = default;
};
// False (and `out` untouched) unless six numbers and a face name are there.
bool ParseLogFont(std::string_view text, RLogFontStr* out);
std::string FormatLogFont(const RLogFontStr& f);

// Everything the logging dialog edits.
struct RLogSettingsStr {
  std::array<bool, LS_COUNT> screen{};  // indexed by RLogSwitch
  std::array<bool, LS_COUNT> file{};
  bool logging = true;  // `Logging`
  std::string logfile;  // `Logfile` as configured (POSIX, relative or drive form)
  RLogRotation rotation = LR_NONE;
  std::string ipDontLog;     // `LogIPDontLog`
  int32_t ipLogMinutes = 0;  // `IPLog` interval; 0: off
  std::string ipLogFile;     // `IPLog` file name
  RLogFontStr font;
  // Every switch at its default.
  static RLogSettingsStr Defaults();
};

// The log file name for `configured` at local time `now` (seconds; below 1
// counts as 315550800), and the time of the next rotation. Rotation none
// gives the configured name and next = 0.
struct RRotatedName {
  std::string name;
  int64_t next = 0;
};
RRotatedName RotatedLogName(std::string_view configured, RLogRotation rotation, int64_t now);
// "%a %d%b%y %X" in the classic locale ("Fri 04Dec26 23:54:31"), or
// "??? ??????? ??:??:??" for a time below 1.
std::string LogTimeStamp(int64_t now);

class RFTPSLogger {
 public:
  // The seams to the rest of the program, all optional.
  struct Hooks {
    // Commands (4) and replies (5) go to the user information view whatever
    // the switches (the front end turns this into MSG_NOTIFY, code 11).
    std::function<void(int code, std::string_view text)> userInfo;
    // The machine's addresses for the IP list duty (at most 150 are used).
    std::function<std::vector<std::string>()> localAddresses;
    // Called after every settings load or save, so the owner can apply the
    // derived flags (socket trace, host-name look-up, external calls).
    std::function<void(const RFTPSLogger&)> settingsApplied;
  };

  // `pane` and `clock` are not owned and must outlive the logger.
  RFTPSLogger(RLogger& pane, const RClock& clock, Hooks hooks = {});
  ~RFTPSLogger();
  RFTPSLogger(const RFTPSLogger&) = delete;
  RFTPSLogger& operator=(const RFTPSLogger&) = delete;

  // Makes this logger the sink of util/RLog.h until it is destroyed; the
  // sink installed before comes back then.
  void InstallAsSink();

  // The one entry for log output.
  void WriteLog(int code, std::string_view text);
  // Also gets every line the log shows or stores, as written (the
  // administration endpoint's log stream); nullptr for none.
  void SetLineTap(std::function<void(std::string_view line)> tap) { tap_ = std::move(tap); }
  // Whether WriteLog would show or store a line of `code`.
  bool Wants(int code) const;

  // Reads the logging keys of [GLOBAL]; nullptr (no configuration file)
  // resets everything to the defaults with file logging off.
  void LoadSettings(const RIniFile* ini);
  // Asked on every later LoadSettings() about a `Logfile` or IP-list file
  // that differs from the one in use (the configured text): false keeps the
  // one in use (none, when there was none).
  void SetPathGate(std::function<bool(std::string_view key, const std::string& configured)> gate) {
    pathGate_ = std::move(gate);
  }
  // The logging dialog's save: stores and writes every logging key, shows
  // the logging state when the file logging switch or the file name changed,
  // raises SettingsChanged(). False when the file could not be written (the
  // new settings are in force anyway).
  [[nodiscard]] bool SaveSettings(RIniFile& ini, const RLogSettingsStr& s);
  const RLogSettingsStr& Settings() const { return s_; }

  // The logging state as a plain screen line.
  void ShowLoggingState();
  std::string LoggingStateText() const;

  // Menu switches. File logging on has no effect without a file name.
  void SetScreenLogging(bool on) {
    VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
    screenOn_ = on;
  }
  bool ScreenLogging() const { return screenOn_; }
  void SetFileLogging(bool on) {
    VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
    fileOn_ = on && !s_.logfile.empty();
  }
  bool FileLogging() const { return fileOn_; }

  // The file lines go to now (the rotated name when rotation is on).
  const std::string& CurrentFileName() const { return current_; }

  // While held, the lines for the file wait in memory. Started as root with
  // an account to become, the file must be created by that account after
  // the switch: a file root made would refuse every later line, and the
  // path comes from a file that account may edit.
  void HoldFileLines() {
    VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
    fileHold_ = RFileHold::Holding;
  }
  // Ends the hold: the waiting lines are written now.
  void ReleaseFileLines();
  // The switch failed: what waits is dropped (it was shown on the screen),
  // and nothing more reaches the file, which only the account may make.
  void DiscardFileLines();
  int64_t NextRotation() const { return nextRotation_; }

  // Derived flags.
  bool SocketTraceOn() const { return s_.screen[LS_DIRTY] || s_.file[LS_DIRTY]; }
  bool HostNameLookupOn() const { return s_.screen[LS_HOSTNAMES] || s_.file[LS_HOSTNAMES]; }
  bool ExternalCallLoggingOn() const { return s_.screen[LS_EXTERNAL] || s_.file[LS_EXTERNAL]; }
  // Raised by SaveSettings; the account store re-reads `LogIPDontLog` and
  // clears it.
  bool SettingsChanged() const { return changed_; }
  void ClearSettingsChanged() { changed_ = false; }

  // The one-second duty: rotation check and the IP list.
  void OnSecondTick();
  bool IpListOn() const { return s_.ipLogMinutes >= 1 && !s_.ipLogFile.empty(); }
  int32_t IpListCountdown() const { return ipCountdown_; }

 private:
  int64_t Now() const;
  void ComputeName();
  void ApplyDerived();
  void ToFile(const std::string& line);
  void ResolvePaths(const RIniFile& ini);

  RLogger& pane_;
  const RClock& clock_;
  Hooks hooks_;
  std::function<bool(std::string_view, const std::string&)> pathGate_;
  std::optional<RLogSinkScope> sink_;
  RLogSettingsStr s_;
  bool screenOn_ = true;
  bool fileOn_ = false;
  bool rotating_ = false;
  std::string current_;
  // `Logfile` and the IPLog file as POSIX paths (drive form mapped, relative
  // names from the INI file's folder); "" when unusable.
  std::string logPath_;
  std::string ipLogPath_;
  int64_t nextRotation_ = 0;
  int64_t lastCheck_ = 0;
  int32_t ipCountdown_ = 0;
  bool changed_ = false;
  enum class RFileHold { Writing, Holding, Discarding };
  RFileHold fileHold_ = RFileHold::Writing;
  std::string held_;
  std::function<void(std::string_view)> tap_;
  // Bound to the loop's thread: a line from a worker must be posted there.
  [[no_unique_address]] RThreadChecker thread_;
};

}  // namespace vantor
