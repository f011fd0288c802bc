#include "app/RRunAs.h"

#include <cstdio>

#include "config/RConfigStrings.h"
#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "platform/RPrivileges.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {

RRunAsOutcome ApplyRunAs(const std::string& iniPath) {
  if (!RunningAsRoot()) return RRunAsOutcome::NotRoot;
  std::string user, group;
  if (!iniPath.empty()) {
    RIniFile ini(iniPath);
    user = ini.GetString(kGlobalSection, "RunAsUser");
    group = ini.GetString(kGlobalSection, "RunAsGroup");
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
  return RRunAsOutcome::Dropped;
}

}  // namespace vantor
