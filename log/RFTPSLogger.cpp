#include "log/RFTPSLogger.h"

#include "config/RDriveConfig.h"
#include "config/RProfile.h"
#include "log/RLogStrings.h"
#include "platform/RFile.h"
#include "platform/RLocalAddrs.h"
#include "platform/RLocalTime.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr int64_t kClockFloor = 315550800;  // 1 January 1980, 05:00 UTC
constexpr int32_t kIpLogMaxMinutes = 999;
constexpr size_t kIpLogMaxAddresses = 150;
constexpr size_t kMaxHeldBytes = 1 << 20;  // lines waiting for the switch of account
const char* const G = "GLOBAL";

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// In the order the switches are written to the file.
const std::array<RLogCategoryStr, LS_COUNT> kCategories = {{
    {9, LS_DOWNLOADS, 3, "LogGETs", "LogFileGETs", true},
    {7, LS_UPLOADS, 4, "LogPUTs", "LogFilePUTs", true},
    {2, LS_SYSTEM, 1, "LogSystemMes", "LogFileSystemMes", true},
    {3, LS_SECURITY, 5, "LogSecurityMes", "LogFileSecurityMes", true},
    {4, LS_COMMANDS, 2, "LogFTPCommands", "LogFileFTPCommands", false},
    {5, LS_REPLIES, 6, "LogFTPReplies", "LogFileFTPReplies", false},
    {6, LS_HOSTNAMES, 5, "LogIPNames", "LogFileIPNames", true},
    {22, LS_DIRTY, 7, "LogDirtyDetails", "LogFileDirtyDetails", false},
    {23, LS_EXTERNAL, 8, "LogAccessDLL", "LogFileAccessDLL", false},
}};

// Logging switches count as true only for the true words, whatever their
// default; a missing key gives the default.
bool LogSwitch(const RIniFile& ini, const char* key, bool def) {
  if (!ini.HasKey(G, key)) return def;
  return ProfileBoolText(ini.GetString(G, key), false);
}

std::string DayName(const RLocalTm& t) {
  return RFormat("%02d%s%04d", t.day, kMonths[(t.month - 1) % 12], t.year);
}

void SplitLogName(std::string_view name, std::string_view* dir, std::string_view* base,
                  std::string_view* ext) {
  size_t slash = name.rfind('/');
  *dir = slash == std::string_view::npos ? std::string_view() : name.substr(0, slash + 1);
  std::string_view file = name.substr(dir->size());
  size_t dot = file.rfind('.');
  *base = dot == std::string_view::npos ? file : file.substr(0, dot);
  *ext = dot == std::string_view::npos ? std::string_view() : file.substr(dot);
}

}  // namespace

const RLogCategoryStr* FindLogCategory(int code) {
  for (const RLogCategoryStr& c : kCategories) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

const std::array<RLogCategoryStr, LS_COUNT>& LogCategoriesWriteOrder() {
  return kCategories;
}

RLogRotation ParseRotation(std::string_view text) {
  // "Dayly" is the word the file format has always used; the correct
  // spelling is what an administrator writes by hand.
  if (IniNameEquals(text, "Dayly") || IniNameEquals(text, "Daily")) return LR_DAILY;
  if (IniNameEquals(text, "Weekly")) return LR_WEEKLY;
  if (IniNameEquals(text, "Monthly")) return LR_MONTHLY;
  if (IniNameEquals(text, "Yearly")) return LR_YEARLY;
  return LR_NONE;
}

const char* RotationWord(RLogRotation r) {
  switch (r) {
    case LR_DAILY:
      return "Dayly";
    case LR_WEEKLY:
      return "Weekly";
    case LR_MONTHLY:
      return "Monthly";
    case LR_YEARLY:
      return "Yearly";
    default:
      return "";
  }
}

bool ParseLogFont(std::string_view text, RLogFontStr* out) {
  int32_t v[6];
  for (int32_t& n : v) {
    auto s = ScanInt(text);
    size_t comma = text.find(',');
    if (!s || comma == std::string_view::npos) return false;
    n = *s;
    text.remove_prefix(comma + 1);
  }
  if (text.empty()) return false;
  *out = RLogFontStr{v[0], v[1], v[2], v[3], v[4], v[5], std::string(text)};
  return true;
}

std::string FormatLogFont(const RLogFontStr& f) {
  return RFormat("%d,%d,%d,%d,%d,%d,%s", f.height, f.weight, f.italic, f.underline, f.strikeOut,
                 f.charSet, f.face);
}

RLogSettingsStr RLogSettingsStr::Defaults() {
  RLogSettingsStr s;
  for (const RLogCategoryStr& c : kCategories) s.screen[c.sw] = s.file[c.sw] = c.def;
  return s;
}

RRotatedName RotatedLogName(std::string_view configured, RLogRotation rotation, int64_t now) {
  RRotatedName out;
  if (rotation == LR_NONE) {
    out.name = configured;
    return out;
  }
  if (now < 1) now = kClockFloor;
  const RLocalTm t = LocalTime(now);
  std::string suffix;
  switch (rotation) {
    case LR_DAILY:
      suffix = DayName(t);
      out.next = LocalMidnight(t.year, t.month, t.day + 1);
      break;
    case LR_WEEKLY: {
      // Through local midnight, so month and year boundaries carry over.
      const RLocalTm sunday = LocalTime(LocalMidnight(t.year, t.month, t.day - t.weekday));
      suffix = DayName(sunday);
      out.next = LocalMidnight(sunday.year, sunday.month, sunday.day + 7);
      break;
    }
    case LR_MONTHLY:
      suffix = RFormat("%s%04d", kMonths[(t.month - 1) % 12], t.year);
      out.next = LocalMidnight(t.year, t.month + 1, 1);
      break;
    default:
      suffix = RFormat("%04d", t.year);
      out.next = LocalMidnight(t.year + 1, 1, 1);
      break;
  }
  std::string_view dir, base, ext;
  SplitLogName(configured, &dir, &base, &ext);
  out.name.append(dir).append(base);
  if (!base.empty()) out.name += '-';
  out.name.append(suffix).append(ext);
  return out;
}

std::string LogTimeStamp(int64_t now) {
  if (now < 1) return "??? ??????? ??:??:??";
  const RLocalTm t = LocalTime(now);
  return RFormat("%s %02d%s%02d %02d:%02d:%02d", kDays[t.weekday % 7], t.day,
                 kMonths[(t.month - 1) % 12], t.year % 100, t.hour, t.minute, t.second);
}

RFTPSLogger::RFTPSLogger(RLogger& pane, const RClock& clock, Hooks hooks)
    : pane_(pane), clock_(clock), hooks_(std::move(hooks)), s_(RLogSettingsStr::Defaults()) {}

RFTPSLogger::~RFTPSLogger() {
  // No line may reach a logger whose members are going.
  sink_.reset();
}

void RFTPSLogger::InstallAsSink() {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  sink_.reset();  // a second call replaces, it does not nest
  sink_.emplace([](void* ctx, int code,
                   std::string_view text) { static_cast<RFTPSLogger*>(ctx)->WriteLog(code, text); },
                this,
                [](void* ctx, int code) { return static_cast<RFTPSLogger*>(ctx)->Wants(code); });
}

bool RFTPSLogger::Wants(int code) const {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  if (code == LOG_SCREEN) return screenOn_;
  if ((code == LOG_COMMANDS || code == LOG_REPLIES) && hooks_.userInfo) return true;
  const RLogCategoryStr* c = FindLogCategory(code);
  if (c == nullptr) return false;
  return (s_.screen[c->sw] && screenOn_) || (s_.file[c->sw] && fileOn_);
}

int64_t RFTPSLogger::Now() const {
  return clock_.WallSeconds();
}

void RFTPSLogger::WriteLog(int code, std::string_view text) {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  // Every sink below (pane, file, user information view) shows client text;
  // it is made harmless once, here, before any of them sees it.
  std::string escaped;
  if (LogTextNeedsEscape(text)) {
    escaped = EscapeLogText(text);
    text = escaped;
  }
  if (code == LOG_SCREEN) {
    if (screenOn_) pane_.Append(text);
    return;
  }
  if ((code == LOG_COMMANDS || code == LOG_REPLIES) && hooks_.userInfo) hooks_.userInfo(code, text);
  const RLogCategoryStr* c = FindLogCategory(code);
  if (c == nullptr) return;
  const bool screen = s_.screen[c->sw] && screenOn_;
  const bool file = s_.file[c->sw] && fileOn_;
  if (!screen && !file) return;
  const std::string line = RFormat("[%d] %s - %s", c->number, LogTimeStamp(Now()), text);
  if (tap_) tap_(line);
  if (screen) pane_.Append(line);
  if (file) ToFile(line);
}

void RFTPSLogger::ToFile(const std::string& line) {
  std::string data = line;
  data += '\n';
  if (fileHold_ == RFileHold::Discarding) return;
  if (fileHold_ == RFileHold::Holding) {
    // A bound, in case the hold is never ended: the start-up says a few
    // dozen lines.
    if (held_.size() < kMaxHeldBytes) held_ += data;
    return;
  }
  // A name that could not be mapped (a drive the table lacks) is never
  // opened: it would land in the working directory under a strange name.
  if (logPath_.empty() || !AppendToFile(current_, data))
    pane_.Append(FormatStr(kLogCannotWriteLogfile, current_));
}

void RFTPSLogger::ReleaseFileLines() {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  if (fileHold_ != RFileHold::Holding) return;
  fileHold_ = RFileHold::Writing;
  std::string data = std::move(held_);
  held_.clear();
  if (data.empty()) return;
  if (logPath_.empty() || !AppendToFile(current_, data))
    pane_.Append(FormatStr(kLogCannotWriteLogfile, current_));
}

void RFTPSLogger::DiscardFileLines() {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  fileHold_ = RFileHold::Discarding;
  held_.clear();
}

void RFTPSLogger::ResolvePaths(const RIniFile& ini) {
  logPath_ = ServerFilePath(ini, s_.logfile);
  ipLogPath_ = ServerFilePath(ini, s_.ipLogFile);
}

void RFTPSLogger::ComputeName() {
  if (s_.rotation == LR_NONE || logPath_.empty()) {
    current_ = logPath_.empty() ? s_.logfile : logPath_;
    rotating_ = false;
    nextRotation_ = 0;
    return;
  }
  int64_t now = Now();
  if (now < 1) now = kClockFloor;
  RRotatedName r = RotatedLogName(logPath_, s_.rotation, now);
  current_ = std::move(r.name);
  nextRotation_ = r.next;
  lastCheck_ = now;
  rotating_ = true;
}

void RFTPSLogger::ApplyDerived() {
  if (hooks_.settingsApplied) hooks_.settingsApplied(*this);
}

void RFTPSLogger::LoadSettings(const RIniFile* ini) {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  screenOn_ = true;
  fileOn_ = false;
  const std::string logfileBefore = s_.logfile;
  const std::string ipLogBefore = s_.ipLogFile;
  // A file the process may no longer reach keeps the one in use.
  auto gated = [this](std::string_view key, std::string& now, const std::string& before) {
    if (pathGate_ && now != before && !now.empty() && !pathGate_(key, now)) now = before;
  };
  s_ = RLogSettingsStr();
  logPath_.clear();
  ipLogPath_.clear();
  if (ini == nullptr) {
    // Without a configuration file the screen still shows what the
    // categories show by default; there is no file to write.
    s_ = RLogSettingsStr::Defaults();
    s_.logging = false;
    ComputeName();
    ApplyDerived();
    return;
  }
  s_.logging = LogSwitch(*ini, "Logging", true);
  s_.logfile = ini->GetString(G, "Logfile");
  gated("Logfile", s_.logfile, logfileBefore);
  s_.rotation = ParseRotation(ini->GetString(G, "LogFileRotation", "None"));
  fileOn_ = s_.logging && !s_.logfile.empty();
  (void)ParseLogFont(ini->GetString(G, "LogFont"), &s_.font);
  for (const RLogCategoryStr& c : kCategories) {
    s_.screen[c.sw] = LogSwitch(*ini, c.screenKey, c.def);
    s_.file[c.sw] = LogSwitch(*ini, c.fileKey, c.def);
  }
  const std::string ipLog = ini->GetString(G, "IPLog");
  const size_t comma = ipLog.find(',');
  int32_t minutes = ScanInt(std::string_view(ipLog).substr(0, comma)).value_or(0);
  s_.ipLogMinutes = minutes > kIpLogMaxMinutes ? kIpLogMaxMinutes : (minutes < 0 ? 0 : minutes);
  s_.ipLogFile = comma == std::string::npos ? std::string() : ipLog.substr(comma + 1);
  gated("IPLog", s_.ipLogFile, ipLogBefore);
  s_.ipDontLog = ini->GetString(G, "LogIPDontLog");
  ResolvePaths(*ini);
  ComputeName();
  ApplyDerived();
}

bool RFTPSLogger::SaveSettings(RIniFile& ini, const RLogSettingsStr& in) {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  const bool oldLogging = s_.logging;
  const std::string oldName = s_.logfile;
  std::vector<RIniFile::Change> c;
  auto set = [&](const char* key, std::string v) { c.push_back({G, key, std::move(v)}); };
  auto setOrRemove = [&](const char* key, std::string v) {
    c.push_back({G, key, v.empty() ? std::nullopt : std::optional<std::string>(std::move(v))});
  };
  s_.screen = in.screen;
  s_.file = in.file;
  for (const RLogCategoryStr& k : kCategories) set(k.screenKey, OnOff(s_.screen[k.sw]));
  for (const RLogCategoryStr& k : kCategories) set(k.fileKey, OnOff(s_.file[k.sw]));
  s_.logging = in.logging;
  s_.logfile = std::string(TrimBlanks(in.logfile));
  s_.ipDontLog = std::string(TrimBlanks(in.ipDontLog));
  s_.rotation = in.rotation;
  current_.clear();
  fileOn_ = s_.logging && !s_.logfile.empty();
  setOrRemove("Logfile", s_.logfile);
  set("Logging", OnOff(s_.logging));
  setOrRemove("LogIPDontLog", s_.ipDontLog);
  setOrRemove("LogFileRotation", RotationWord(s_.rotation));
  s_.ipLogFile = in.ipLogFile;
  ResolvePaths(ini);
  ComputeName();
  changed_ = true;
  s_.ipLogMinutes = in.ipLogMinutes < 0 ? 0 : std::min(in.ipLogMinutes, kIpLogMaxMinutes);
  s_.ipLogFile = in.ipLogFile;
  set("IPLog",
      s_.ipLogMinutes == 0 ? std::string("0") : RFormat("%d,%s", s_.ipLogMinutes, s_.ipLogFile));
  s_.font = in.font;
  set("LogFont", FormatLogFont(s_.font));
  ApplyDerived();
  const bool ok = ini.Apply(c);
  if (oldLogging != s_.logging || oldName != s_.logfile) ShowLoggingState();
  return ok;
}

std::string RFTPSLogger::LoggingStateText() const {
  if (!s_.logging) return LoadStr(kLogScreenOnly);
  if (s_.logfile.empty()) return LoadStr(kLogNoLogfile);
  return FormatStr(kLogToFile, current_);
}

void RFTPSLogger::ShowLoggingState() {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  WriteLog(LOG_SCREEN, LoggingStateText());
}

void RFTPSLogger::OnSecondTick() {
  VANTOR_CHECK_THREAD(thread_, "the log sink (RFTPSLogger)");
  if (rotating_) {
    int64_t now = Now();
    if (now < 1) now = kClockFloor;
    if (now < lastCheck_ || now >= nextRotation_) ComputeName();
    lastCheck_ = now;
  }
  if (!IpListOn()) return;
  if (ipCountdown_ > 0) {
    --ipCountdown_;
    return;
  }
  std::vector<std::string> addrs =
      hooks_.localAddresses ? hooks_.localAddresses() : LocalAddresses(kIpLogMaxAddresses, true);
  if (addrs.size() > kIpLogMaxAddresses) addrs.resize(kIpLogMaxAddresses);
  if (!addrs.empty()) {
    std::string text;
    for (const std::string& a : addrs) text += EscapeLogText(a) + "\n";
    // A file that cannot be written is simply tried again next interval.
    if (!ipLogPath_.empty()) (void)WriteWholeFile(ipLogPath_, text);
  }
  ipCountdown_ = s_.ipLogMinutes * 60;
}

}  // namespace vantor
