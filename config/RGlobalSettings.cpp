#include "config/RGlobalSettings.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "config/RConfigStrings.h"
#include "config/RProfile.h"
#include "platform/RFile.h"
#include "platform/RIpAddress.h"
#include "platform/RWorkPool.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// Without `MaxPreLoginPerIP`: more connections than any client or office
// behind one address opens at once (a parallel download opens 50), yet
// never every slot of a server with a user limit.
int32_t DefaultPreLoginPerIP(int32_t maxNrUsers) {
  constexpr int32_t kUnlimitedServer = 256;
  if (maxNrUsers < 0) return kUnlimitedServer;
  return static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{maxNrUsers} * 3 / 4, 1, kUnlimitedServer));
}

constexpr int32_t kDirCacheMax = 150;

const char* const G = kGlobalSection;

// Socket options: -1 when the key is absent or empty.
int32_t OptionalSwitch(const RIniFile& ini, const char* key) {
  if (ini.GetString(G, key).empty()) return -1;
  return ProfileBool(ini, G, key, false) ? 1 : 0;
}
int32_t OptionalNumber(const RIniFile& ini, const char* key) {
  return ScanInt(ini.GetString(G, key)).value_or(-1);
}
int32_t AtLeastOne(const RIniFile& ini, const char* key, int32_t def) {
  int32_t v = ProfileInt(ini, G, key, def);
  return v < 1 ? def : v;
}

// Four numbers "%d,%d,%d,%d"; false unless all four are there.
bool ParsePlacement(std::string_view text, RWindowStateStr* w) {
  int32_t v[4];
  for (int i = 0; i < 4; ++i) {
    auto n = ScanInt(text);
    if (!n) return false;
    v[i] = *n;
    size_t comma = text.find(',');
    if (i < 3) {
      if (comma == std::string_view::npos) return false;
      text.remove_prefix(comma + 1);
    }
  }
  w->hasPlacement = true;
  w->left = v[0];
  w->top = v[1];
  w->width = v[2];
  w->height = v[3];
  return true;
}

using Change = RIniFile::Change;
Change Set(const char* key, std::string value) {
  return Change{G, key, std::move(value)};
}
Change Remove(const char* key) {
  return Change{G, key, std::nullopt};
}
Change SetOrRemove(const char* key, bool set, std::string value) {
  return set ? Set(key, std::move(value)) : Remove(key);
}

}  // namespace

bool ValidListMask(std::string_view m) {
  return m.size() == 9 && m.find_first_not_of("rwx-") == std::string_view::npos;
}

bool ParsePassiveRange(std::string_view text, int32_t& low, int32_t& high) {
  low = 0;
  high = 0;
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  int32_t v[2] = {0, 0};
  const std::string_view part[2] = {text.substr(0, dash), text.substr(dash + 1)};
  for (int i = 0; i < 2; ++i) {
    if (part[i].empty() || part[i].size() > 5) return false;
    for (char ch : part[i]) {
      if (ch < '0' || ch > '9') return false;
      v[i] = v[i] * 10 + (ch - '0');
    }
  }
  // Privileged ports are no passive ports; a reversed range is a typo.
  if (v[0] < 1024 || v[1] > 65535 || v[0] > v[1]) return false;
  low = v[0];
  high = v[1];
  return true;
}

int64_t VersionTextToNumber(std::string_view text) {
  int64_t parts[4];
  for (int i = 0; i < 4; ++i) {
    auto n = ScanInt(text);
    if (!n) return 0;
    parts[i] = *n;
    size_t dot = text.find('.');
    if (i < 3) {
      if (dot == std::string_view::npos) return 0;
      text.remove_prefix(dot + 1);
    }
  }
  return parts[0] * 1000000 + parts[1] * 10000 + parts[2] * 100 + parts[3];
}

void RGlobalSettings::Load(const RIniFile& ini) {
  *this = RGlobalSettings();
  version = ini.GetString(G, "Version", "0.0.0.0");
  security = ProfileBool(ini, G, "Security", true);
  checkAnonPass = ProfileBool(ini, G, "CheckAnonPass", false);
  encryptPasswords = ProfileBool(ini, G, "EncryptPasswords", true);
  lowerCaseFileDir = ProfileBool(ini, G, "LowerCaseFileDir", false);
  speedLimit = ProfileLong(ini, G, "SpeedLimit", -1);
  deletePartialUploads = ProfileBool(ini, G, "DeletePartialUploads", false);
  blockFTPBounceAttack = ProfileBool(ini, G, "BlockFTPBounceAttack", true);
  blockAntiTimeOut = ProfileBool(ini, G, "BlockAntiTimeOut", false);
  dirCacheEnable = ProfileBool(ini, G, "DirCacheEnable", true);
  dirCacheSize = ProfileInt(ini, G, "DirCacheSize", 25);
  dirCacheTime = ProfileInt(ini, G, "DirCacheTime", 600);
  dirCacheMaxMB = ProfileInt(ini, G, "DirCacheMaxMB", 64);
  if (dirCacheMaxMB < 1) dirCacheMaxMB = 1;
  maxListEntries = ProfileInt(ini, G, "MaxListEntries", 200000);
  if (maxListEntries < 1) maxListEntries = 200000;
  autoStart = ProfileBool(ini, G, "AutoStart", false);
  // A port outside the 16-bit range would be cut to some other port.
  const int32_t port = ProfileInt(ini, G, "PortNr", 21);
  portNr = (port >= 1 && port <= 65535) ? port : 21;
  maxNrUsers = ProfileInt(ini, G, "MaxNrUsers", -1);
  listenToIPHomesOnly = ProfileBool(ini, G, "ListenToIPHomesOnly", false);
  ParsePassiveRange(ini.GetString(G, "PassivePortRange"), passivePortLow, passivePortHigh);
  RIpAddrStr announced;
  const std::string passive = ini.GetString(G, "PassiveAddress");
  if (ParseIPv4Text(passive, announced)) passiveAddress = passive;
  proxyProtocolFrom = ini.GetString(G, "ProxyProtocolFrom");
  const std::string mode = ini.GetString(G, "OpenFilesUploadMode", "Any");
  openFilesUploadMode = IniNameEquals(mode, "Shared")      ? RUploadMode::Shared
                        : IniNameEquals(mode, "Exclusive") ? RUploadMode::Exclusive
                                                           : RUploadMode::Any;
  const std::string mask = ini.GetString(G, "DirListMask", "rwxrwxrwx");
  if (ValidListMask(mask)) dirListMask = mask;
  dirChangeMesFile = ini.GetString(G, "DirChangeMesFile");
  dirChangeMesFile2 = ini.GetString(G, "DirChangeMesFile2");
  linkFile = ini.GetString(G, "LinkFile");
  linkFile2 = ini.GetString(G, "LinkFile2");
  antiHammer = ProfileBool(ini, G, "AntiHammer", false);
  antiHammerWindow = AtLeastOne(ini, "AntiHammerWindow", 30);
  antiHammerTries = AtLeastOne(ini, "AntiHammerTries", 4);
  antiHammerBlock = AtLeastOne(ini, "AntiHammerBlock", 300);
  socketInlineOOB = OptionalSwitch(ini, "SocketInlineOOB");
  socketKeepAlive = OptionalSwitch(ini, "SocketKeepAlive");
  socketNoNagle = OptionalSwitch(ini, "SocketNoNagle");
  socketRcvBuffer = OptionalNumber(ini, "SocketRcvBuffer");
  socketSndBuffer = OptionalNumber(ini, "SocketSndBuffer");
  packetTimeOut = OptionalNumber(ini, "PacketTimeOut");
  passivePeerCheck = ProfileBool(ini, G, "PassivePeerCheck", true);
  loginTimeLimit = ProfileInt(ini, G, "LoginTimeLimit", 60);
  maxPreLoginPerIP = ProfileInt(ini, G, "MaxPreLoginPerIP", DefaultPreLoginPerIP(maxNrUsers));
  tlsCertificateFile = ini.GetString(G, "TLSCertificateFile");
  tlsPrivateKeyFile = ini.GetString(G, "TLSPrivateKeyFile");
  const int32_t implicitPort = ProfileInt(ini, G, "TLSImplicitPortNr", 0);
  tlsImplicitPortNr = (implicitPort >= 1 && implicitPort <= 65535) ? implicitPort : 0;
  tlsMin13 = IniNameEquals(ini.GetString(G, "TLSMinProtocol", "TLSv1.2"), "TLSv1.3");
  tlsCipherList = ini.GetString(G, "TLSCipherList");
  tlsCipherSuites = ini.GetString(G, "TLSCipherSuites");
  tlsDataSessionReuse = ProfileBool(ini, G, "TLSDataSessionReuse", true);
  tlsMaxHandshakes = ProfileInt(ini, G, "TLSMaxHandshakes", 100);
  if (tlsMaxHandshakes < 1 || tlsMaxHandshakes > 100000) tlsMaxHandshakes = 100;
  workerThreads = ProfileInt(ini, G, "WorkerThreads", 2);
  if (workerThreads < 1 || workerThreads > 16) workerThreads = 2;
  workerQueue = ProfileInt(ini, G, "WorkerQueue", 64);
  if (workerQueue < 1 || workerQueue > 10000) workerQueue = 64;
  // Protected transfers encrypt on the data lane: one thread per core
  // unless the operator keeps cores for something else.
  dataThreads = ProfileInt(ini, G, "DataThreads", 0);
  if (dataThreads < 1 || dataThreads > RWorkPool::kMaxDataThreads) {
    dataThreads = RWorkPool::OnlineCpus();
  }
  metricsPerUser = ProfileBool(ini, G, "MetricsPerUser", false);
  (void)ParsePlacement(ini.GetString(G, "Window"), &window);
  startIconic = ProfileBoolStrict(ini, G, "StartIconic");
  window.maximized = ProfileBoolStrict(ini, G, "StartMaximized");
  invisible = ProfileBoolStrict(ini, G, "Invisible");
  window.showToolBar = ProfileBool(ini, G, "ShowToolBar", true);
  window.showBmpMenus = ProfileBool(ini, G, "ShowBmpMenus", true);
  userInfoWin = ini.GetString(G, "UserInfoWin");
}

int32_t RGlobalSettings::DirCacheEntries() const {
  if (!dirCacheEnable) return 1;
  return dirCacheSize > kDirCacheMax ? kDirCacheMax : dirCacheSize;
}

int32_t RGlobalSettings::DirCacheSeconds() const {
  return dirCacheEnable ? dirCacheTime : 5;
}

int64_t RGlobalSettings::VersionNumber() const {
  return VersionTextToNumber(version);
}

bool RGlobalSettings::SaveServerSettings(RIniFile& ini) const {
  std::vector<Change> c;
  c.push_back(SetOrRemove("SpeedLimit", speedLimit > 0, RFormat("%ld", speedLimit)));
  c.push_back(Set("Security", OnOff(security)));
  c.push_back(Set("CheckAnonPass", YesNo(checkAnonPass)));
  c.push_back(SetOrRemove("DeletePartialUploads", deletePartialUploads, "YES"));
  // On by default: only the switch turned off is written.
  c.push_back(SetOrRemove("BlockFTPBounceAttack", !blockFTPBounceAttack, "NO"));
  c.push_back(SetOrRemove("EncryptPasswords", !encryptPasswords, "NO"));
  c.push_back(SetOrRemove("BlockAntiTimeOut", blockAntiTimeOut, "YES"));
  c.push_back(Set("AutoStart", YesNo(autoStart)));
  c.push_back(SetOrRemove("LowerCaseFileDir", lowerCaseFileDir, "YES"));
  c.push_back(Set("DirCacheEnable", YesNo(dirCacheEnable)));
  c.push_back(Set("DirCacheSize", RFormat("%ld", dirCacheSize)));
  c.push_back(Set("DirCacheTime", RFormat("%ld", dirCacheTime)));
  if (!security) WriteLog(LOG_SCREEN, LoadStr(kLogSecurityOff));
  return ini.Apply(c);
}

bool RGlobalSettings::SaveFtpServerSettings(RIniFile& ini) const {
  std::vector<Change> c;
  c.push_back(SetOrRemove("PortNr", portNr != 21, RFormat("%d", portNr)));
  c.push_back(SetOrRemove("MaxNrUsers", maxNrUsers != -1, RFormat("%d", maxNrUsers)));
  c.push_back(SetOrRemove("ListenToIPHomesOnly", listenToIPHomesOnly, "YES"));
  c.push_back(SetOrRemove("PassivePortRange", passivePortLow > 0,
                          RFormat("%d-%d", passivePortLow, passivePortHigh)));
  c.push_back(SetOrRemove("PassiveAddress", !passiveAddress.empty(), passiveAddress));
  c.push_back(SetOrRemove("ProxyProtocolFrom", !proxyProtocolFrom.empty(), proxyProtocolFrom));
  c.push_back(SetOrRemove("OpenFilesUploadMode", openFilesUploadMode != RUploadMode::Any,
                          openFilesUploadMode == RUploadMode::Shared ? "Shared" : "Exclusive"));
  c.push_back(SetOrRemove("DirChangeMesFile", !dirChangeMesFile.empty(), dirChangeMesFile));
  c.push_back(SetOrRemove("DirChangeMesFile2", !dirChangeMesFile2.empty(), dirChangeMesFile2));
  c.push_back(SetOrRemove("LinkFile", !linkFile.empty(), linkFile));
  c.push_back(SetOrRemove("LinkFile2", !linkFile2.empty(), linkFile2));
  return ini.Apply(c);
}

bool RGlobalSettings::SaveExitSettings(RIniFile& ini, const RWindowStateStr& w) {
  // Nothing is written into a file that is gone: it would come back with
  // nothing but window keys in it.
  if (!FileExists(ini.Path())) return true;
  std::vector<Change> c;
  if (w.visible && !w.minimized) {
    c.push_back(Set("Window", RFormat("%d,%d,%d,%d", w.left, w.top, w.width, w.height)));
    c.push_back(Set("StartIconic", "No"));
  } else {
    c.push_back(Set("StartIconic", "Yes"));
  }
  c.push_back(Set("StartMaximized", YesNoMixed(w.maximized)));
  c.push_back(Set("ShowToolBar", YesNoMixed(w.showToolBar)));
  c.push_back(Set("ShowBmpMenus", YesNoMixed(w.showBmpMenus)));
  return ini.Apply(c);
}

}  // namespace vantor
