#include "config/RIniConvert.h"

#include <string>
#include <vector>

#include "config/RConfigStrings.h"
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

using Change = RIniFile::Change;
const char* const G = kGlobalSection;

// Sign-on and sign-off lines leave [SIGNONOFF] for two text files beside the
// configuration, which MessageFiles1 then names. The section is left alone
// when it holds no such lines, so a retried conversion keeps the
// MessageFiles1 a first run wrote.
bool MoveSignOnLines(RIniFile& ini, const std::string& dir) {
  const std::vector<std::string> on = ReadNumberedKeys(ini, "SIGNONOFF", "SignOn");
  const std::vector<std::string> off = ReadNumberedKeys(ini, "SIGNONOFF", "SignOff");
  if (on.empty() && off.empty()) return true;
  auto writeLines = [](const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += RFormat("%s\n", l);
    return ReplaceFileAtomic(path, text, nullptr, 0644);
  };
  std::string onPath, offPath;
  // The lines are removed from the configuration only once they are safe.
  if (!on.empty()) {
    onPath = dir + "/VTSIGNON.TXT";
    if (!writeLines(onPath, on)) return false;
  }
  if (!off.empty()) {
    offPath = dir + "/VTSIGNOF.TXT";
    if (!writeLines(offPath, off)) return false;
  }
  if (!ini.Apply({Change{"SIGNONOFF", "", std::nullopt},
                  Change{"SIGNONOFF", "MessageFiles1", RFormat("-1|%s|%s", onPath, offPath)}})) {
    return false;
  }
  if (!onPath.empty() && !offPath.empty()) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogConvSignOnOffMoved, onPath, offPath));
  } else {
    WriteLog(LOG_SYSTEM, FormatStr(kLogConvSignOnMoved, onPath.empty() ? offPath : onPath));
  }
  return true;
}

// An account's or group's OneLoginPerIP becomes MaxUsersLoginPerIP=1.
bool OneLoginPerIP(RIniFile& ini) {
  std::vector<Change> c;
  std::string names;
  for (const std::string& name : ini.SectionNames()) {
    if (!StartsWithNoCase(name, "USER=") && !StartsWithNoCase(name, "GROUP=")) continue;
    if (!ProfileBool(ini, name, "OneLoginPerIP", false)) continue;
    c.push_back({name, "MaxUsersLoginPerIP", std::string("1")});
    c.push_back({name, "OneLoginPerIP", std::nullopt});
    names += (names.empty() ? "[" : ", [") + name + "]";
  }
  if (c.empty()) return true;
  if (!ini.Apply(c)) return false;
  WriteLog(LOG_SYSTEM, FormatStr(kLogConvOneLoginPerIp, names));
  return true;
}

// The two conversions that rewrite the file line by line (RewriteUserAll,
// RewriteAccessLP) write it through "tmpnew.ini", the previous
// content kept as "Vantor.bak". The backup is written before the file is
// replaced, so there is no moment without a configuration file. Only the
// first rewrite of one run makes the backup: it holds the file as it was.
struct Rewriter {
  std::string dir;
  bool backedUp = false;
  bool logged = false;

  bool Rewrite(RIniFile& ini, const std::string& text) {
    std::string old;
    if (!ReadWholeFile(ini.Path(), &old)) return false;
    if (!backedUp) {
      if (!ReplaceFileAtomic(dir + "/Vantor.bak", old)) return false;
      backedUp = true;
    }
    if (!ReplaceFileThrough(ini.Path(), dir + "/tmpnew.ini", text)) return false;
    if (!logged) WriteLog(LOG_SYSTEM, FormatStr(kLogConvRewritten, dir + "/Vantor.bak"));
    logged = true;
    return true;
  }
};

// [USER=ALL] becomes the default account's section, and the global time-out
// and anonymous-count keys move into the default and anonymous accounts.
// Lines are kept whole, however long.
bool RewriteUserAll(RIniFile& ini, Rewriter& rw) {
  std::string text;
  std::string renamed;
  for (const std::string& raw : ini.Lines()) {
    std::string_view line = TrimBlanks(raw);
    if (IniNameEquals(line, "[USER=ALL]")) {
      renamed = line;
      text += RFormat("[%s]\n", kDefaultUserSection);
    } else {
      text.append(line);
      text += '\n';
    }
  }
  if (!rw.Rewrite(ini, text)) return false;
  if (!renamed.empty()) WriteLog(LOG_SYSTEM, FormatStr(kLogConvDefaultRenamed, renamed));
  std::vector<Change> c;
  const bool moved = ini.HasKey(G, "TimeoutUser") || ini.HasKey(G, "TimeoutAnonymous") ||
                     ini.HasKey(G, "MaxNrAnonymous");
  const int32_t timeoutUser = ProfileInt(ini, G, "TimeoutUser", 0);
  if (timeoutUser > 0) c.push_back({kDefaultUserSection, "TimeOut", RFormat("%d", timeoutUser)});
  if (ini.HasKey(kAnonymousSection, "HomeDir")) {
    const int32_t timeoutAnon = ProfileInt(ini, G, "TimeoutAnonymous", 0);
    if (timeoutAnon > 0) c.push_back({kAnonymousSection, "TimeOut", RFormat("%d", timeoutAnon)});
    const int32_t maxAnon = ProfileInt(ini, G, "MaxNrAnonymous", -1);
    if (maxAnon >= 0) c.push_back({kAnonymousSection, "MaxNrUsers", RFormat("%d", maxAnon)});
  }
  // The old keys have moved; left behind they would only mislead.
  for (const char* key : {"TimeoutUser", "TimeoutAnonymous", "MaxNrAnonymous"}) {
    c.push_back({G, key, std::nullopt});
  }
  if (!ini.Apply(c)) return false;
  if (moved) WriteLog(LOG_SYSTEM, LoadStr(kLogConvTimeoutsMoved));
  return true;
}

// The log file gets switches of its own, each starting as the screen's.
bool CopyFileLogFlags(RIniFile& ini) {
  struct Pair {
    const char* screen;
    const char* file;
    bool def;
  } pairs[] = {{"LogGETs", "LogFileGETs", true},
               {"LogPUTs", "LogFilePUTs", true},
               {"LogSystemMes", "LogFileSystemMes", true},
               {"LogSecurityMes", "LogFileSecurityMes", true},
               {"LogFTPCommands", "LogFileFTPCommands", false},
               {"LogFTPReplies", "LogFileFTPReplies", false},
               {"LogIPNames", "LogFileIPNames", true},
               {"LogDirtyDetails", "LogFileDirtyDetails", false}};
  std::vector<Change> c;
  for (const Pair& p : pairs) {
    const bool on =
        ini.HasKey(G, p.screen) ? ProfileBoolText(ini.GetString(G, p.screen), false) : p.def;
    c.push_back({G, p.file, std::string(OnOff(on))});
  }
  if (!ini.Apply(c)) return false;
  WriteLog(LOG_SYSTEM, LoadStr(kLogConvFileLogging));
  return true;
}

// Access lines of a file before version 2 gain the letters LP, so listing
// and subdirectories stay granted as those versions granted them without
// letters; the anonymous account takes RelPaths and HideHidden from the
// global keys that go.
bool RewriteAccessLP(RIniFile& ini, Rewriter& rw, int64_t majorVersion) {
  std::string text;
  unsigned appended = 0;
  for (const std::string& line : ini.Lines()) {
    text += line;
    if (majorVersion < 2 && line.rfind("Access", 0) == 0 && !line.empty() && line.back() != ',') {
      text += "LP";
      ++appended;
    }
    text += '\n';
  }
  if (!rw.Rewrite(ini, text)) return false;
  if (appended > 0) WriteLog(LOG_SYSTEM, FormatStr(kLogConvAccessLp, appended));
  std::vector<Change> c;
  std::string anonymous;
  if (ini.HasKey(kAnonymousSection, "HomeDir")) {
    if (ProfileBool(ini, G, "AnonRelPaths", true)) {
      c.push_back({kAnonymousSection, "RelPaths", std::string("YES")});
      anonymous = "RelPaths=YES, ";
    }
    c.push_back({kAnonymousSection, "HideHidden", std::string("YES")});
    anonymous += "HideHidden=YES";
  }
  c.push_back({G, "AnonRelPaths", std::nullopt});
  c.push_back({G, "Authorization", std::nullopt});
  if (!ini.Apply(c)) return false;
  WriteLog(LOG_SYSTEM, anonymous.empty() ? LoadStr(kLogConvAnonKeysRemoved)
                                         : FormatStr(kLogConvAnonymous, anonymous));
  return true;
}

// The older [IP-ACCESS] form: only then is there anything to rewrite (the
// rewrite deletes the key after its last rule, which would be a live IP1).
bool HasOldIpAccessForm(const RIniFile& ini) {
  return ini.HasKey("IP-ACCESS", "DenyRulesFirst") || ini.HasKey("IP-ACCESS", "Bounce1") ||
         ini.HasKey("IP-ACCESS", "Allow1");
}

// File and directory names are shown in lower case (LowerCaseFileDir=YES),
// and an [IP-ACCESS] section in the older form gets its rules as IPn.
bool LowerCaseAndIpRules(RIniFile& ini) {
  if (!ini.WriteString(G, "LowerCaseFileDir", "YES")) return false;
  WriteLog(LOG_SYSTEM, LoadStr(kLogConvLowerCase));
  return !HasOldIpAccessForm(ini) || ConvertIpAccessSection(ini);
}

// A file without `Version` is dated by the oldest obsolete form it holds, so
// that only the steps with something to convert run. A hand-written file in
// today's format holds none and is not converted at all: taking it for the
// oldest format would delete its IP rules, widen its Access rules and force
// lower-case names.
int64_t DateUnversioned(const RIniFile& ini) {
  if (ini.HasKey(G, "AnonRelPaths") || ini.HasKey(G, "Authorization")) return 0;
  if (HasOldIpAccessForm(ini)) return kConvAccessLP;
  if (ini.HasSection("USER=ALL") || ini.HasKey(G, "TimeoutUser") ||
      ini.HasKey(G, "TimeoutAnonymous") || ini.HasKey(G, "MaxNrAnonymous")) {
    return kConvFileLogFlags;
  }
  for (const std::string& name : ini.SectionNames()) {
    if ((StartsWithNoCase(name, "USER=") || StartsWithNoCase(name, "GROUP=")) &&
        ini.HasKey(name, "OneLoginPerIP")) {
      return kConvUserAll;
    }
  }
  if (ini.HasKey("SIGNONOFF", "SignOn1") || ini.HasKey("SIGNONOFF", "SignOff1")) {
    return kConvOneLoginPerIP;
  }
  return kProgramVersionNumber;
}

}  // namespace

bool ConvertIpAccessSection(RIniFile& ini) {
  const char* const S = "IP-ACCESS";
  const bool denyFirst = ini.HasKey(S, "DenyRulesFirst")
                             ? ProfileBoolText(ini.GetString(S, "DenyRulesFirst"), false)
                             : true;
  std::vector<std::string> rules;
  auto add = [&](const char* prefix, const char* type) {
    for (const std::string& p : ReadNumberedKeys(ini, S, prefix)) {
      rules.push_back(std::string(type) + "," + p.substr(0, 79));
    }
  };
  if (denyFirst) {
    add("Bounce", "D");
    add("Allow", "A");
  } else {
    add("Allow", "A");
    add("Bounce", "D");
  }
  // An address that matched no old rule was admitted; keep it so.
  if (!rules.empty() && rules.back()[0] == 'D') rules.push_back("A,*.*.*.*");
  std::vector<Change> c;
  for (size_t i = 0; i < rules.size(); ++i) {
    c.push_back({S, RFormat("IP%u", i + 1), rules[i]});
  }
  c.push_back({S, RFormat("IP%u", rules.size() + 1), std::nullopt});
  if (!ini.Apply(c)) return false;
  WriteLog(LOG_SYSTEM, FormatStr(kLogConvIpAccess, static_cast<unsigned>(rules.size())));
  return true;
}

RConvertResult ConvertIniFile(RIniFile& ini) {
  RConvertResult r;
  const std::string version = ini.GetString(G, "Version");
  r.fromVersion = VersionTextToNumber(version);
  const bool unversioned = !ini.HasKey(G, "Version");
  const int64_t n = unversioned ? DateUnversioned(ini) : r.fromVersion;
  const int64_t major = n / 1000000;
  const std::string dir = DirectoryOf(ini.Path());
  Rewriter rw{dir};
  auto fail = [&r] {
    r.complete = false;
    return r;
  };
  if (n < kConvSignOnFiles) {
    r.converted = true;
    // A system message, so the notice is in the log file as well as on the
    // screen, followed by one line for each change made.
    WriteLog(LOG_SYSTEM, LoadStr(kLogIniConverting));
    if (!MoveSignOnLines(ini, dir)) return fail();
  }
  if (n < kConvOneLoginPerIP && !OneLoginPerIP(ini)) return fail();
  if (n < kConvUserAll && !RewriteUserAll(ini, rw)) return fail();
  if (n < kConvFileLogFlags && !CopyFileLogFlags(ini)) return fail();
  if (n < kConvIpAccess && !LowerCaseAndIpRules(ini)) return fail();
  if (n < kConvAccessLP && !RewriteAccessLP(ini, rw, major)) return fail();
  if (version != kProgramVersion && !ini.WriteString(G, "Version", kProgramVersion)) return fail();
  if (r.converted) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogConvVersion, kProgramVersion));
  } else if (unversioned) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogConvNothing, kProgramVersion));
  }
  return r;
}

}  // namespace vantor
