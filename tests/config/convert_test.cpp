#include "config/RIniConvert.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "temp_dir.h"
#include "util/RLog.h"

using namespace vantor;
using vantor::test::ReadText;
using vantor::test::TempDir;
using vantor::test::WriteText;

namespace {

const char* kOldFile =
    "[GLOBAL]\r\n"
    "TimeoutUser=30\r\n"
    "TimeoutAnonymous=20\r\n"
    "MaxNrAnonymous=0\r\n"
    "AnonRelPaths=NO\r\n"
    "Authorization=1\r\n"
    "LogGETs=NO\r\n"
    "LogFTPCommands=yes\r\n"
    "[SIGNONOFF]\r\n"
    "SignOn1=Welcome\r\n"
    "SignOn2=  to the server\r\n"
    "SignOff1=Bye\r\n"
    "[IP-ACCESS]\r\n"
    "DenyRulesFirst=YES\r\n"
    "Bounce1=10.*.*.*\r\n"
    "Allow1=192.168.*.*\r\n"
    "IP3=stale\r\n"
    "  [user=all]  \r\n"
    "Access1=C:\\ftp,RW\r\n"
    "Access2=C:\\pub,\r\n"
    "[USER=Anonymous]\r\n"
    "HomeDir=C:\\ftp\r\n"
    "[USER=bob]\r\n"
    "OneLoginPerIP=TRUE\r\n";

// A file without Version runs every step.
TEST(ConvertIniFile, EveryStepFromNoVersion) {
  TempDir dir;
  const std::string path = dir.File("VANTOR.INI");
  WriteText(path, kOldFile);
  RIniFile ini(path);
  std::string screen;
  SetLogSink(
      [](void* c, int code, std::string_view t) {
        if (code == LOG_SCREEN) *static_cast<std::string*>(c) += std::string(t) + "|";
      },
      &screen);
  RConvertResult r = ConvertIniFile(ini);
  SetLogSink(nullptr, nullptr);
  EXPECT_EQ(screen, "Converting VANTOR.INI file to new format...|");
  EXPECT_TRUE(r.converted);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.fromVersion, 0);
  EXPECT_EQ(ReadText(dir.File("VTSIGNON.TXT")), "Welcome\nto the server\n");
  EXPECT_EQ(ReadText(dir.File("VTSIGNOF.TXT")), "Bye\n");
  EXPECT_EQ(ReadText(path),
            "[GLOBAL]\n"
            "LogGETs=NO\n"
            "LogFTPCommands=yes\n"
            "LogFileGETs=OFF\n"
            "LogFilePUTs=ON\n"
            "LogFileSystemMes=ON\n"
            "LogFileSecurityMes=ON\n"
            "LogFileFTPCommands=ON\n"
            "LogFileFTPReplies=OFF\n"
            "LogFileIPNames=ON\n"
            "LogFileDirtyDetails=OFF\n"
            "LowerCaseFileDir=YES\n"
            "Version=2.5.11.3\n"
            "[IP-ACCESS]\n"
            "DenyRulesFirst=YES\n"
            "Bounce1=10.*.*.*\n"
            "Allow1=192.168.*.*\n"
            "IP1=D,10.*.*.*\n"
            "IP2=A,192.168.*.*\n"
            "[USER=** Default **]\n"
            "Access1=C:\\ftp,RWLP\n"
            "Access2=C:\\pub,\n"
            "TimeOut=30\n"
            "[USER=Anonymous]\n"
            "HomeDir=C:\\ftp\n"
            "TimeOut=20\n"
            "MaxNrUsers=0\n"
            "HideHidden=YES\n"
            "[USER=bob]\n"
            "MaxUsersLoginPerIP=1\n"
            "\n"
            "[SIGNONOFF]\n"
            "MessageFiles1=-1|" +
                dir.File("VTSIGNON.TXT") + "|" + dir.File("VTSIGNOF.TXT") + "\n");
  // The backup is the file as the first rewrite found it (after steps 1 and 2).
  const std::string bak = ReadText(dir.File("Vantor.bak"));
  EXPECT_NE(bak.find("  [user=all]  \r\n"), std::string::npos);
  EXPECT_EQ(bak.find("SignOn1"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("tmpnew.ini")));
}

// Which steps run for which stored version.
TEST(ConvertIniFile, Thresholds) {
  struct Case {
    const char* version;
    bool converted;
    const char* after;
  } cases[] = {
      {"2.5.11.3", false, "[GLOBAL]\nVersion=2.5.11.3\n[USER=ALL]\nAccess1=C:\\x,R\n"},
      {"2.4.3.0", false, "[GLOBAL]\nVersion=2.5.11.3\n[USER=ALL]\nAccess1=C:\\x,R\n"},
      {"2.4.2.4", true, "[GLOBAL]\nVersion=2.5.11.3\n[USER=ALL]\nAccess1=C:\\x,R\n"},
      {"2.3.2.6", true, "[GLOBAL]\nVersion=2.5.11.3\n[USER=** Default **]\nAccess1=C:\\x,R\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    TempDir dir;
    const std::string path = dir.File("VANTOR.INI");
    WriteText(path,
              std::string("[GLOBAL]\nVersion=") + c.version + "\n[USER=ALL]\nAccess1=C:\\x,R\n");
    RIniFile ini(path);
    RConvertResult r = ConvertIniFile(ini);
    EXPECT_EQ(r.converted, c.converted);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(ReadText(path), c.after);
    EXPECT_EQ(std::filesystem::exists(dir.File("Vantor.bak")), std::string(c.version) == "2.3.2.6");
  }
}

// Major version 1: Access lines get "LP" unless they end with ",".
TEST(ConvertIniFile, AccessLinesOfVersionOne) {
  TempDir dir;
  const std::string path = dir.File("VANTOR.INI");
  WriteText(path,
            "[GLOBAL]\nVersion=1.9.0.0\n[USER=x]\nAccess1=C:\\a,R\nAccess2=C:\\b,\nAccessible="
            "1\nHomeDir=C:\\a\n");
  RIniFile ini(path);
  ASSERT_TRUE(ConvertIniFile(ini).complete);
  EXPECT_EQ(ini.GetString("USER=x", "Access1"), "C:\\a,RLP");
  EXPECT_EQ(ini.GetString("USER=x", "Access2"), "C:\\b,");
  EXPECT_EQ(ini.GetString("USER=x", "Accessible"), "1LP");  // any line that begins "Access"
  EXPECT_EQ(ini.GetString("USER=x", "HomeDir"), "C:\\a");
}

// A failed rewrite leaves Version alone; the next start finishes the job and
// keeps what the first run already moved.
TEST(ConvertIniFile, FailedStepIsRetried) {
  TempDir dir;
  const std::string path = dir.File("VANTOR.INI");
  WriteText(path, kOldFile);
  std::filesystem::create_directory(dir.File("tmpnew.ini"));  // cannot be opened for writing
  {
    RIniFile ini(path);
    RConvertResult r = ConvertIniFile(ini);
    EXPECT_FALSE(r.complete);
    EXPECT_FALSE(ini.HasKey("GLOBAL", "Version"));
    EXPECT_TRUE(ini.HasSection("user=all"));
  }
  std::filesystem::remove(dir.File("tmpnew.ini"));
  RIniFile ini(path);
  RConvertResult r = ConvertIniFile(ini);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(ini.GetString("GLOBAL", "Version"), "2.5.11.3");
  EXPECT_EQ(ini.GetString("SIGNONOFF", "MessageFiles1"),
            "-1|" + dir.File("VTSIGNON.TXT") + "|" + dir.File("VTSIGNOF.TXT"));
  EXPECT_EQ(ini.GetString("USER=** Default **", "TimeOut"), "30");
  EXPECT_EQ(ReadText(dir.File("VTSIGNON.TXT")), "Welcome\nto the server\n");
}

// The older [IP-ACCESS] form in both orders; a trailing deny rule gets an
// allow-all after it; the key after the last rule is removed.
TEST(ConvertIniFile, IpAccessSection) {
  struct Case {
    const char* before;
    std::vector<std::string> rules;
  } cases[] = {
      {"DenyRulesFirst=NO\nBounce1=10.*\nAllow1=192.*\nAllow2=172.*\n",
       {"A,192.*", "A,172.*", "D,10.*", "A,*.*.*.*"}},
      {"Bounce1=10.*\nAllow1=192.*\n", {"D,10.*", "A,192.*"}},
      {"DenyRulesFirst=maybe\nBounce1=10.*\nBounce3=11.*\n", {"D,10.*", "A,*.*.*.*"}},
      {"Allow1=1.2.3.4\nIP2=old\nIP3=old\n", {"A,1.2.3.4"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    TempDir dir;
    const std::string path = dir.File("v.ini");
    WriteText(path, std::string("[IP-ACCESS]\n") + c.before);
    RIniFile ini(path);
    ASSERT_TRUE(ConvertIpAccessSection(ini));
    std::vector<std::string> got;
    for (int i = 1; ini.HasKey("IP-ACCESS", "IP" + std::to_string(i)); ++i) {
      got.push_back(ini.GetString("IP-ACCESS", "IP" + std::to_string(i)));
    }
    EXPECT_EQ(got, c.rules);
  }
}

}  // namespace
