#include "ftp/RXferLog.h"

#include "config/RDriveConfig.h"
#include "config/RIniPath.h"
#include "platform/RFile.h"
#include "platform/RLocalTime.h"
#include "util/RFormat.h"

namespace vantor {
namespace {

// A field with no blank or control character in it ("" becomes "_" too).
std::string Field(std::string_view v) {
  std::string out;
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    out += (u <= 0x20 || u == 0x7f) ? '_' : c;
  }
  return out.empty() ? std::string("_") : out;
}

// ctime's form in the C locale: "Mon Dec  7 01:05:41 2026".
std::string CtimeText(int64_t t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const RLocalTm tm = LocalTime(t);
  return RFormat("%s %s %2d %02d:%02d:%02d %d", kDays[tm.weekday % 7],
                 kMonths[(tm.month + 11) % 12], tm.day, tm.hour, tm.minute, tm.second, tm.year);
}

}  // namespace

std::string XferLogLine(const RXferRecordStr& r) {
  return RFormat("%s %ld %s %lu %s %c _ %c %c %s ftp 0 * %c", CtimeText(r.now), r.seconds,
                 Field(r.host), r.bytes, Field(r.path), r.ascii ? 'a' : 'b', r.upload ? 'i' : 'o',
                 r.anonymous ? 'a' : 'r', Field(r.user), r.complete ? 'c' : 'i');
}

void RXferLog::Configure(const RIniFile& ini, const std::string& iniPath) {
  const std::string before = std::move(path_);
  path_.clear();
  const std::string v = ini.GetString("GLOBAL", "XferLog");
  rotation_ = ParseRotation(ini.GetString("GLOBAL", "LogFileRotation", "None"));
  if (v.empty()) return;
  if (IsDriveForm(v)) {
    path_ = DriveMapFromIni(ini).DriveToPosix(v);
  } else {
    path_ = NormalizePath(v, DirectoryOf(iniPath));
  }
  if (gate_ && path_ != before && !gate_(path_)) path_ = before;
}

void RXferLog::Write(const RXferRecordStr& r) const {
  if (path_.empty()) return;
  const std::string name =
      rotation_ == LR_NONE ? path_ : RotatedLogName(path_, rotation_, r.now).name;
  (void)AppendToFile(name, XferLogLine(r) + "\n");
}

}  // namespace vantor
