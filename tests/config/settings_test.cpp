#include "config/RGlobalSettings.h"

#include <gtest/gtest.h>

#include "config/RProfile.h"
#include "log_capture.h"
#include "platform/RWorkPool.h"
#include "temp_dir.h"

using namespace vantor;
using vantor::test::ReadText;
using vantor::test::TempDir;
using vantor::test::WriteText;

namespace {

RGlobalSettings LoadFrom(const TempDir& dir, const std::string& keys) {
  WriteText(dir.File("v.ini"), "[GLOBAL]\n" + keys);
  RIniFile ini(dir.File("v.ini"));
  RGlobalSettings s;
  s.Load(ini);
  return s;
}

// Numbers: clamping, lower bounds, malformed values keep their default.
TEST(RGlobalSettings, Numbers) {
  TempDir dir;
  RGlobalSettings s = LoadFrom(dir, "DirCacheSize=500\nDirCacheTime=30\n");
  EXPECT_EQ(s.DirCacheEntries(), 150);
  EXPECT_EQ(s.DirCacheSeconds(), 30);
  s = LoadFrom(dir, "DirCacheEnable=0\nDirCacheSize=50\n");
  EXPECT_EQ(s.DirCacheEntries(), 1);
  EXPECT_EQ(s.DirCacheSeconds(), 5);
  EXPECT_EQ(LoadFrom(dir, "SpeedLimit=0\n").speedLimit, 0);
  EXPECT_EQ(LoadFrom(dir, "SpeedLimit=abc\n").speedLimit, -1);
  EXPECT_EQ(LoadFrom(dir, "SpeedLimit=8000000000\n").speedLimit, 8000000000);
  EXPECT_EQ(LoadFrom(dir, "PortNr=2121\n").portNr, 2121);
  EXPECT_EQ(LoadFrom(dir, "PortNr=70000\n").portNr, 21);
  EXPECT_EQ(LoadFrom(dir, "PortNr=x\n").portNr, 21);
  EXPECT_EQ(LoadFrom(dir, "MaxNrUsers=12abc\n").maxNrUsers, 12);  // scanned like "%d"
  EXPECT_EQ(LoadFrom(dir, "AntiHammerWindow=0\nAntiHammerTries=-3\n").antiHammerWindow, 30);
  EXPECT_EQ(LoadFrom(dir, "AntiHammerTries=-3\n").antiHammerTries, 4);
  EXPECT_EQ(LoadFrom(dir, "DirListMask=rw-r--r--\n").dirListMask, "rw-r--r--");
  EXPECT_EQ(LoadFrom(dir, "DirListMask=rw-r--r-\n").dirListMask, "rwxrwxrwx");
  EXPECT_EQ(LoadFrom(dir, "OpenFilesUploadMode=exclusive\n").openFilesUploadMode,
            RUploadMode::Exclusive);
  EXPECT_EQ(LoadFrom(dir, "SocketKeepAlive=yes\nSocketRcvBuffer=65536\n").socketKeepAlive, 1);
  EXPECT_EQ(LoadFrom(dir, "SocketRcvBuffer=65536\n").socketRcvBuffer, 65536);
  s = LoadFrom(dir, "Window=10,20,300,400\n");
  EXPECT_TRUE(s.window.hasPlacement);
  EXPECT_EQ(s.window.height, 400);
  EXPECT_FALSE(LoadFrom(dir, "Window=10,20,300\n").window.hasPlacement);
  // The data lane: 1 to 256, else (and unset) one thread per online CPU.
  const int32_t cpus = RWorkPool::OnlineCpus();
  for (const auto& [keys, want] :
       std::vector<std::pair<std::string, int32_t>>{{"", cpus},
                                                    {"DataThreads=1\n", 1},
                                                    {"DataThreads=256\n", 256},
                                                    {"DataThreads=0\n", cpus},
                                                    {"DataThreads=257\n", cpus},
                                                    {"DataThreads=-4\n", cpus},
                                                    {"DataThreads=four\n", cpus}}) {
    EXPECT_EQ(LoadFrom(dir, keys).dataThreads, want) << keys;
  }
  EXPECT_EQ(LoadFrom(dir, "Version=2.5.11.3\n").VersionNumber(), 2051103);
  EXPECT_EQ(VersionTextToNumber("2.4.2.5"), 2040205);
  EXPECT_EQ(VersionTextToNumber("2.4"), 0);
}

// PassivePortRange takes "low-high" of unprivileged ports only; anything
// else leaves the choice to the system. PassiveAddress takes a dotted IPv4.
TEST(RGlobalSettings, PassiveKeys) {
  TempDir dir;
  struct Case {
    const char* value;
    int32_t low, high;
  } cases[] = {
      {"50000-50999", 50000, 50999}, {"1024-1024", 1024, 1024}, {"65535-65535", 65535, 65535}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    RGlobalSettings s = LoadFrom(dir, std::string("PassivePortRange=") + c.value + "\n");
    EXPECT_EQ(s.passivePortLow, c.low);
    EXPECT_EQ(s.passivePortHigh, c.high);
  }
  for (const char* bad : {"1023-2000", "2000-1999", "50000-65536", "50000", "50000-", "-50999",
                          "50000 - 50999", "5e4-6e4", ""}) {
    RGlobalSettings s = LoadFrom(dir, std::string("PassivePortRange=") + bad + "\n");
    EXPECT_EQ(s.passivePortLow, 0) << bad;
    EXPECT_EQ(s.passivePortHigh, 0) << bad;
  }
  EXPECT_EQ(LoadFrom(dir, "PassiveAddress=203.0.113.9\n").passiveAddress, "203.0.113.9");
  EXPECT_EQ(LoadFrom(dir, "PassiveAddress=ftp.example.com\n").passiveAddress, "");
  EXPECT_EQ(LoadFrom(dir, "PassiveAddress=203.0.113\n").passiveAddress, "");

  // The FTP server dialog writes both keys, and removes them when unset.
  RGlobalSettings s = LoadFrom(dir, "PassivePortRange=50000-50010\nPassiveAddress=203.0.113.9\n");
  RIniFile ini(dir.File("v.ini"));
  s.passivePortLow = 40000;
  s.passivePortHigh = 40100;
  ASSERT_TRUE(s.SaveFtpServerSettings(ini));
  EXPECT_EQ(ini.GetString("GLOBAL", "PassivePortRange"), "40000-40100");
  EXPECT_EQ(ini.GetString("GLOBAL", "PassiveAddress"), "203.0.113.9");
  s.proxyProtocolFrom = "10.0.0.5, 10.0.1.0/24";
  ASSERT_TRUE(s.SaveFtpServerSettings(ini));
  EXPECT_EQ(ini.GetString("GLOBAL", "ProxyProtocolFrom"), "10.0.0.5, 10.0.1.0/24");
  s.Load(ini);
  EXPECT_EQ(s.proxyProtocolFrom, "10.0.0.5, 10.0.1.0/24");
  s.passivePortLow = 0;
  s.passiveAddress.clear();
  s.proxyProtocolFrom.clear();
  ASSERT_TRUE(s.SaveFtpServerSettings(ini));
  EXPECT_EQ(ini.GetString("GLOBAL", "PassivePortRange", "none"), "none");
  EXPECT_EQ(ini.GetString("GLOBAL", "PassiveAddress", "none"), "none");
  EXPECT_EQ(ini.GetString("GLOBAL", "ProxyProtocolFrom", "none"), "none");
}

// "%d" scanning and numbered keys read until the first gap.
TEST(RProfile, ScanAndNumberedKeys) {
  EXPECT_EQ(ScanInt("  -12x"), -12);
  EXPECT_EQ(ScanInt("+7"), 7);
  EXPECT_EQ(ScanInt("2147483647"), 2147483647);
  EXPECT_EQ(ScanInt("2147483648"), std::nullopt);
  EXPECT_EQ(ScanInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(ScanInt("x1"), std::nullopt);
  EXPECT_EQ(ScanInt("-"), std::nullopt);
  TempDir dir;
  RIniFile ini(dir.Write("v.ini", "[S]\nIP1=a\nip2=b\nIP3=\nIP4=d\nIP6=f\n"));
  EXPECT_EQ(ReadNumberedKeys(ini, "s", "IP"), (std::vector<std::string>{"a", "b", "", "d"}));
  EXPECT_EQ(ReadNumberedKeys(ini, "s", "IP", true), (std::vector<std::string>{"a", "b"}));
}

// The server dialog writes each key in its own written form.
TEST(RGlobalSettings, SaveServerSettings) {
  TempDir dir;
  const std::string path = dir.Write(
      "v.ini", "; keep me\n[GLOBAL]\nSpeedLimit=100\nEncryptPasswords=NO\nLowerCaseFileDir=YES\n");
  RIniFile ini(path);
  RGlobalSettings s;
  s.Load(ini);
  s.speedLimit = -1;
  s.security = false;
  s.encryptPasswords = true;
  s.lowerCaseFileDir = false;
  s.deletePartialUploads = true;
  s.dirCacheSize = 40;
  {
    vantor::test::LogCapture screen;
    ASSERT_TRUE(s.SaveServerSettings(ini));
    EXPECT_EQ(screen.lines,
              std::vector<std::string>{"18|SECURITY SWITCHED OFF! - NO ACCESS RESTRICTIONS"});
  }
  EXPECT_EQ(ReadText(path),
            "; keep me\n[GLOBAL]\nSecurity=OFF\nCheckAnonPass=NO\nDeletePartialUploads=YES\n"
            "AutoStart=NO\nDirCacheEnable=YES\nDirCacheSize=40\nDirCacheTime=600\n");
  s.portNr = 21;
  s.maxNrUsers = 5;
  s.openFilesUploadMode = RUploadMode::Shared;
  s.linkFile = "/srv/links.txt";
  ASSERT_TRUE(s.SaveFtpServerSettings(ini));
  EXPECT_FALSE(ini.HasKey("GLOBAL", "PortNr"));
  EXPECT_EQ(ini.GetString("GLOBAL", "MaxNrUsers"), "5");
  EXPECT_EQ(ini.GetString("GLOBAL", "OpenFilesUploadMode"), "Shared");
  EXPECT_EQ(ini.GetString("GLOBAL", "LinkFile"), "/srv/links.txt");
}

// The safer defaults: bounce blocking and the passive peer check are on
// unless switched off; logins have 60 seconds, and one address may have 256
// connections not logged in (three quarters of a user limit at most).
TEST(RGlobalSettings, ConnectionSafetyDefaults) {
  TempDir dir;
  RGlobalSettings s = LoadFrom(dir, "");
  EXPECT_TRUE(s.blockFTPBounceAttack);
  EXPECT_TRUE(s.passivePeerCheck);
  EXPECT_EQ(s.loginTimeLimit, 60);
  EXPECT_EQ(s.maxPreLoginPerIP, 256) << "above what parallel clients open from one address";
  // With a user limit, one address never holds every slot before login.
  for (const auto& [users, want] : {std::pair{100, 75}, {20, 15}, {1, 1}, {0, 1}, {1000, 256}}) {
    SCOPED_TRACE(users);
    EXPECT_EQ(LoadFrom(dir, "MaxNrUsers=" + std::to_string(users) + "\n").maxPreLoginPerIP, want);
  }
  EXPECT_EQ(LoadFrom(dir, "MaxNrUsers=20\nMaxPreLoginPerIP=30\n").maxPreLoginPerIP, 30);
  s = LoadFrom(dir,
               "BlockFTPBounceAttack=NO\nPassivePeerCheck=no\nLoginTimeLimit=0\n"
               "MaxPreLoginPerIP=3\n");
  EXPECT_FALSE(s.blockFTPBounceAttack);
  EXPECT_FALSE(s.passivePeerCheck);
  EXPECT_EQ(s.loginTimeLimit, 0);
  EXPECT_EQ(s.maxPreLoginPerIP, 3);
  const std::string path = dir.Write("save.ini", "[GLOBAL]\nBlockFTPBounceAttack=YES\n");
  RIniFile ini(path);
  s.Load(ini);
  s.blockFTPBounceAttack = false;
  ASSERT_TRUE(s.SaveServerSettings(ini));
  EXPECT_EQ(ini.GetString("GLOBAL", "BlockFTPBounceAttack"), "NO");
  s.blockFTPBounceAttack = true;
  ASSERT_TRUE(s.SaveServerSettings(ini));
  EXPECT_FALSE(ini.HasKey("GLOBAL", "BlockFTPBounceAttack"));
  s.Load(ini);
  EXPECT_TRUE(s.blockFTPBounceAttack);
}

// Exit keys: placement only for a visible, normal window; no file, no write.
TEST(RGlobalSettings, SaveExitSettings) {
  TempDir dir;
  const std::string path = dir.Write("v.ini", "[GLOBAL]\n");
  RIniFile ini(path);
  RWindowStateStr w;
  w.left = 1, w.top = 2, w.width = 3, w.height = 4;
  ASSERT_TRUE(RGlobalSettings::SaveExitSettings(ini, w));
  EXPECT_EQ(ReadText(path),
            "[GLOBAL]\nWindow=1,2,3,4\nStartIconic=No\nStartMaximized=No\nShowToolBar=Yes\n"
            "ShowBmpMenus=Yes\n");
  w.minimized = true;
  w.left = 9;
  ASSERT_TRUE(RGlobalSettings::SaveExitSettings(ini, w));
  EXPECT_EQ(ini.GetString("GLOBAL", "Window"), "1,2,3,4");
  EXPECT_EQ(ini.GetString("GLOBAL", "StartIconic"), "Yes");
  RIniFile gone(dir.File("gone.ini"));
  ASSERT_TRUE(RGlobalSettings::SaveExitSettings(gone, w));
  EXPECT_FALSE(std::filesystem::exists(dir.File("gone.ini")));
}

}  // namespace
