#include "config/RIniConvert.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"

using namespace vantor;
using vantor::test::ReadText;
using vantor::test::TempDir;
using vantor::test::WriteText;

namespace {

// Runs `f` with a log sink that records "code:text" for every line.
template <typename F>
std::vector<std::string> CaptureLog(F f) {
  vantor::test::LogCapture log(":");
  f();
  return log.lines;
}

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
  const std::string path = dir.Write("VANTOR.INI", kOldFile);
  RIniFile ini(path);
  std::vector<std::string> log = CaptureLog([&] { (void)ConvertIniFile(ini); });
  // The notice and every step's change reach the log file too (system
  // messages), not only the screen.
  EXPECT_EQ(
      log,
      (std::vector<std::string>{
          "2:Converting VANTOR.INI file to new format...",
          "2:Conversion: sign-on and sign-off lines moved to " + dir.File("VTSIGNON.TXT") +
              " and " + dir.File("VTSIGNOF.TXT"),
          "2:Conversion: OneLoginPerIP replaced by MaxUsersLoginPerIP=1 in [USER=bob]",
          "2:Conversion: file rewritten, the previous one kept as " + dir.File("Vantor.bak"),
          "2:Conversion: [user=all] renamed to [USER=** Default **]",
          "2:Conversion: TimeoutUser, TimeoutAnonymous, MaxNrAnonymous moved to the "
          "user sections",
          "2:Conversion: file logging switches copied from the screen switches",
          "2:Conversion: LowerCaseFileDir=YES", "2:Conversion: [IP-ACCESS] rewritten as 2 IP rules",
          "2:Conversion: \"LP\" appended to 1 Access lines",
          "2:Conversion: [USER=Anonymous] HideHidden=YES; AnonRelPaths and "
          "Authorization removed",
          "2:Conversion: Version=2.5.11.3"}));
  WriteText(path, kOldFile);
  RIniFile again(path);
  RConvertResult r = ConvertIniFile(again);
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
  // The backup is the file as the first rewrite found it: sign-on lines and
  // OneLoginPerIP already moved.
  const std::string bak = ReadText(dir.File("Vantor.bak"));
  EXPECT_NE(bak.find("  [user=all]  \r\n"), std::string::npos);
  EXPECT_EQ(bak.find("SignOn1"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("tmpnew.ini")));
}

// A failed rewrite leaves Version alone; the next start finishes the job and
// keeps what the first run already moved.
TEST(ConvertIniFile, FailedStepIsRetried) {
  TempDir dir;
  const std::string path = dir.Write("VANTOR.INI", kOldFile);
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
    const std::string path = dir.Write("v.ini", std::string("[IP-ACCESS]\n") + c.before);
    RIniFile ini(path);
    ASSERT_TRUE(ConvertIpAccessSection(ini));
    std::vector<std::string> got;
    for (int i = 1; ini.HasKey("IP-ACCESS", "IP" + std::to_string(i)); ++i)
      got.push_back(ini.GetString("IP-ACCESS", "IP" + std::to_string(i)));
    EXPECT_EQ(got, c.rules);
  }
}

// A hand-written file in today's format without Version: nothing but the
// key changes. (Taken for the oldest format, it would lose IP1 of the
// server-wide list, get LP added to every Access rule, and have
// LowerCaseFileDir and the anonymous HideHidden forced.)
TEST(ConvertIniFile, CurrentFormatWithoutVersion) {
  TempDir dir;
  const std::string path = dir.File("VANTOR.INI");
  const std::string text =
      "[GLOBAL]\nPortNr=2121\nLogFTPCommands=ON\nSecurity=ON\n"
      "[IP-ACCESS]\nIP1=D,10.*.*.*\nIP2=A,*.*.*.*\n"
      "[USER=** Default **]\nTimeOut=45\nAccess1=C:\\srv\\ftp,RL\n"
      "[USER=Anonymous]\nHomeDir=C:\\srv\\ftp\nAccess1=C:\\srv\\ftp,RL\n"
      "[USER=joe]\nPassword=x\nAccess1=C:\\home\\joe,RWDL\nIP1=A,192.168.*\n";
  WriteText(path, text);
  RIniFile ini(path);
  RConvertResult r;
  std::vector<std::string> log = CaptureLog([&] { r = ConvertIniFile(ini); });
  EXPECT_FALSE(r.converted);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(ReadText(path),
            "[GLOBAL]\nPortNr=2121\nLogFTPCommands=ON\nSecurity=ON\nVersion=2.5.11.3\n" +
                text.substr(text.find("[IP-ACCESS]")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("Vantor.bak")));
  EXPECT_EQ(log, std::vector<std::string>{"2:VANTOR.INI has no Version and no obsolete "
                                          "settings: Version=2.5.11.3 added, nothing converted"});
}

// Without Version the file is dated by the oldest obsolete form it holds:
// only the steps for that age run.
TEST(ConvertIniFile, NoVersionDatedByItsOldForms) {
  struct Case {
    const char* before;
    const char* after;
  } cases[] = {
      // [USER=ALL]: the rewrite and the later steps, not the file switches,
      // the IP rules, LowerCaseFileDir or LP.
      {"[GLOBAL]\nLogGETs=NO\n[IP-ACCESS]\nIP1=A,10.*\n[USER=ALL]\nAccess1=C:\\x,R\n",
       "[GLOBAL]\nLogGETs=NO\nVersion=2.5.11.3\n[IP-ACCESS]\nIP1=A,10.*\n"
       "[USER=** Default **]\nAccess1=C:\\x,R\n"},
      // OneLoginPerIP only.
      {"[USER=bob]\nOneLoginPerIP=yes\nAccess1=C:\\x,R\n",
       "[USER=bob]\nAccess1=C:\\x,R\nMaxUsersLoginPerIP=1\n\n[GLOBAL]\nVersion=2.5.11.3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    TempDir dir;
    const std::string path = dir.Write("VANTOR.INI", c.before);
    RIniFile ini(path);
    RConvertResult r = ConvertIniFile(ini);
    EXPECT_TRUE(r.converted);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(ReadText(path), c.after);
  }
}

// An old file with a Version but no older [IP-ACCESS] keys keeps its rules:
// the rewrite has nothing to convert, so it must not delete IP1.
TEST(ConvertIniFile, IpRulesKeptWithoutOldKeys) {
  TempDir dir;
  const std::string path = dir.Write(
      "VANTOR.INI", "[GLOBAL]\nVersion=2.1.0.0\n[IP-ACCESS]\nIP1=D,10.*\nIP2=A,*.*.*.*\n");
  RIniFile ini(path);
  ASSERT_TRUE(ConvertIniFile(ini).complete);
  EXPECT_EQ(ini.GetString("IP-ACCESS", "IP1"), "D,10.*");
  EXPECT_EQ(ini.GetString("IP-ACCESS", "IP2"), "A,*.*.*.*");
  EXPECT_EQ(ini.GetString("GLOBAL", "LowerCaseFileDir"), "YES");  // the version says so
}

}  // namespace
