#include "app/RRunAs.h"

#include <errno.h>

#include <cstdio>

#include "config/RConfigStrings.h"
#include "config/RDriveConfig.h"
#include "config/RGlobalSettings.h"
#include "config/RIniPath.h"
#include "config/RProfile.h"
#include "platform/RFile.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

// A message file as the server opens it: drive form through the table, a
// POSIX path as it is; "" for anything else.
std::string MessagePath(const RDriveMap& drives, std::string_view v) {
  if (IsDriveForm(v)) return drives.DriveToPosix(v);
  if (!v.empty() && v[0] == '/') return std::string(v);
  return {};
}

void ReportCannot(RAccessKind need, std::string_view key, const std::string& path,
                  const std::string& user, int error) {
  const uint32_t id = need == RAccessKind::Read ? kLogRunAsCannotRead : kLogRunAsCannotWrite;
  WriteLog(LOG_SYSTEM, FormatStr(id, key, path, user, AccessErrorText(error)));
}

// Said once the switch is made, so the administrator learns at start what
// would otherwise fail at the next reload, login or transfer.
void ReportUnreachable(const std::vector<RRunAsFileStr>& files, const std::vector<ROwnLogStr>& logs,
                       const std::string& user) {
  for (const RRunAsFileStr& f : files) {
    const int error = AccessAs(f.path, f.need, std::nullopt);
    if (error != 0 && error != ENOENT) ReportCannot(f.need, f.key, f.path, user, error);
  }
  for (const ROwnLogStr& l : logs) {
    if (l.path.empty()) continue;
    // A file still to be made, or a rotated log's name of each period, needs
    // the folder; the configured name of a rotated log is never written.
    const std::string target = !l.rotates && PathExists(l.path) ? l.path : DirectoryOf(l.path);
    const int error = AccessAs(target, RAccessKind::Write, std::nullopt);
    if (error != 0 && error != ENOENT) ReportCannot(RAccessKind::Write, l.key, target, user, error);
  }
}

}  // namespace

std::vector<ROwnLogStr> OwnLogs(const RIniFile& ini) {
  std::vector<ROwnLogStr> out;
  const bool rotates =
      !EqualNoCaseAscii(ini.GetString(kGlobalSection, "LogFileRotation", "None"), "None");
  // As the logger reads them.
  const bool logging = !ini.HasKey(kGlobalSection, "Logging") ||
                       ProfileBoolText(ini.GetString(kGlobalSection, "Logging"), false);
  if (logging) out.push_back({"Logfile", ini.GetString(kGlobalSection, "Logfile"), rotates});
  out.push_back({"XferLog", ini.GetString(kGlobalSection, "XferLog"), rotates});
  const std::string ipLog = ini.GetString(kGlobalSection, "IPLog");
  const size_t comma = ipLog.find(',');
  if (comma != std::string::npos && ScanInt(ipLog.substr(0, comma)).value_or(0) >= 1)
    out.push_back({"IPLog", ipLog.substr(comma + 1), false});
  for (ROwnLogStr& l : out) l.path = l.path.empty() ? std::string() : ServerFilePath(ini, l.path);
  return out;
}

bool RunAsPending(const std::string& iniPath) {
  return RunningAsRoot() && !iniPath.empty() && FileExists(iniPath) &&
         !RIniFile(iniPath).GetString(kGlobalSection, "RunAsUser").empty();
}

RRunAsOutcome ApplyRunAs(const std::string& iniPath) {
  if (!RunningAsRoot()) return RRunAsOutcome::NotRoot;
  std::string user, group;
  std::vector<RRunAsFileStr> files;
  std::vector<ROwnLogStr> logs;
  if (!iniPath.empty()) {
    RIniFile ini(iniPath);
    user = ini.GetString(kGlobalSection, "RunAsUser");
    group = ini.GetString(kGlobalSection, "RunAsGroup");
    // Read as root: the account may not be able to read the file any more.
    files = RunAsFiles(ini);
    logs = OwnLogs(ini);
  }
  if (user.empty()) {
    // Loud on purpose: every file a client uploads would belong to root.
    WriteLog(LOG_SYSTEM, LoadStr(kLogRootWithoutRunAs));
    std::fprintf(stderr, "%s\n", LoadStr(kLogRootWithoutRunAs));
    return RRunAsOutcome::StaysRoot;
  }
  std::string why;
  const auto to = LookupRunAs(user, group, &why);
  if (!to || !DropPrivileges(*to, &why)) {
    const std::string line = FormatStr(kLogCannotRunAs, user, why);
    WriteLog(LOG_SYSTEM, line);
    std::fprintf(stderr, "%s\n", line.c_str());
    return RRunAsOutcome::Failed;
  }
  WriteLog(LOG_SYSTEM, FormatStr(kLogPrivilegesDropped, to->user, to->group, to->uid, to->gid));
  ReportUnreachable(files, logs, to->user);
  return RRunAsOutcome::Dropped;
}

std::vector<RRunAsFileStr> RunAsFiles(const RIniFile& ini) {
  std::vector<RRunAsFileStr> out;
  const std::string& path = ini.Path();
  if (path.empty()) return out;
  // Quotas, credits, password changes and the reload request write the
  // file, each through a temporary file beside it.
  out.push_back({"", "INI", path, RAccessKind::Read, true});
  out.push_back({"", "INI", path, RAccessKind::Write, true});
  out.push_back({"", "INI folder", DirectoryOf(path), RAccessKind::Write, true});
  for (const char* key : {"TLSCertificateFile", "TLSPrivateKeyFile"}) {
    const std::string p = ServerFilePath(ini, ini.GetString(kGlobalSection, key));
    if (!p.empty()) out.push_back({kGlobalSection, key, p, RAccessKind::Read, true});
  }
  const RDriveMap drives = DriveMapFromIni(ini);
  for (const std::string& section : ini.SectionNames()) {
    if (!StartsWithNoCase(section, "USER=") && !StartsWithNoCase(section, "GROUP=")) continue;
    const std::string p = MessagePath(drives, ini.GetString(section, "LoginMesFile"));
    if (!p.empty()) out.push_back({section, "LoginMesFile", p, RAccessKind::Read, false});
  }
  for (int n = 1;; ++n) {
    const std::string key = RFormat("MessageFiles%d", n);
    const std::string v = ini.GetString("SIGNONOFF", key);
    if (v.empty()) break;
    // home|sign-on file|sign-off file
    const size_t bar1 = v.find('|');
    if (bar1 == std::string::npos) continue;
    const size_t bar2 = v.find('|', bar1 + 1);
    const std::string on = v.substr(bar1 + 1, bar2 == std::string::npos ? bar2 : bar2 - bar1 - 1);
    const std::string off = bar2 == std::string::npos ? std::string() : v.substr(bar2 + 1);
    for (const std::string& f : {on, off}) {
      const std::string p = MessagePath(drives, f);
      if (!p.empty()) out.push_back({"SIGNONOFF", key, p, RAccessKind::Read, false});
    }
  }
  return out;
}

}  // namespace vantor
