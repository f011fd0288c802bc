#include "log/RFTPSLogger.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>

#include "log_capture.h"
#include "temp_dir.h"
#include "time_zone_scope.h"
#include "util/RLog.h"

using namespace vantor;

namespace {

// Friday 4 December 2026, 23:54:31 UTC.
constexpr int64_t kFri = 1796428471;

using LogDir = test::TempDir;

using test::ReadText;

struct Fixture {
  test::TimeZoneScope zone{"UTC0"};  // stamps and file names are local time
  LogDir dir;
  RManualClock clock{1000000, kFri};
  RLogger pane;
  std::vector<std::pair<int, std::string>> userInfo;
  RFTPSLogger logger{pane, clock,
                     RFTPSLogger::Hooks{[this](int c, std::string_view t) {
                                          userInfo.emplace_back(c, std::string(t));
                                        },
                                        [] {
                                          return std::vector<std::string>{"10.0.0.1", "127.0.0.1"};
                                        },
                                        nullptr}};
  void Load(const std::string& globalKeys) { LoadText("[GLOBAL]\n" + globalKeys); }
  void LoadText(const std::string& text) {
    dir.Write("v.ini", text);
    RIniFile ini(dir.File("v.ini"));
    logger.LoadSettings(&ini);
  }
  // A second logger on the same file whose machine has the addresses `ips`;
  // it writes its IP list at its first tick.
  void TickIpList(std::vector<std::string> ips) {
    RLogger otherPane;
    RFTPSLogger other{otherPane, clock, RFTPSLogger::Hooks{nullptr, [&] { return ips; }, nullptr}};
    RIniFile ini(dir.File("v.ini"));
    other.LoadSettings(&ini);
    other.OnSecondTick();
  }
};

// The time stamp uses the classic locale's names whatever the environment.
TEST(RFTPSLogger, TimeStamp) {
  test::TimeZoneScope zone{"UTC0"};  // stamps and file names are local time
  EXPECT_EQ(LogTimeStamp(kFri), "Fri 04Dec26 23:54:31");
  EXPECT_EQ(LogTimeStamp(0), "??? ??????? ??:??:??");
  EXPECT_EQ(LogTimeStamp(-5), "??? ??????? ??:??:??");
}

// Lines carry the category number; 18 is plain, unknown codes vanish.
TEST(RFTPSLogger, LineFormatAndCategories) {
  Fixture f;
  f.Load("LogFTPCommands=ON\nLogIPNames=OFF\n");
  struct Case {
    int code;
    const char* want;  // nullptr: not on the screen
  } cases[] = {
      {2, "[1] Fri 04Dec26 23:54:31 - x"},
      {3, "[5] Fri 04Dec26 23:54:31 - x"},
      {4, "[2] Fri 04Dec26 23:54:31 - x"},
      {5, nullptr},
      {6, nullptr},
      {7, "[4] Fri 04Dec26 23:54:31 - x"},
      {9, "[3] Fri 04Dec26 23:54:31 - x"},
      {22, nullptr},
      {23, nullptr},
      {18, "x"},
      {1, nullptr},
      {8, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    f.pane.Clear();
    // Wants() answers what WriteLog does (commands and replies also go to
    // the user information view).
    EXPECT_EQ(f.logger.Wants(c.code), c.want != nullptr || c.code == 4 || c.code == 5);
    f.logger.WriteLog(c.code, "x");
    if (c.want == nullptr) {
      EXPECT_EQ(f.pane.LineCount(), 0u);
    } else {
      ASSERT_EQ(f.pane.LineCount(), 1u);
      EXPECT_EQ(f.pane.Lines()[0], c.want);
    }
  }
  // Commands and replies reach the user information view whatever the switches.
  EXPECT_EQ(f.userInfo, (std::vector<std::pair<int, std::string>>{{4, "x"}, {5, "x"}}));
  f.logger.SetScreenLogging(false);
  f.pane.Clear();
  f.logger.WriteLog(18, "y");
  f.logger.WriteLog(2, "y");
  EXPECT_EQ(f.pane.LineCount(), 0u);
}

// The file gets category lines with "\n", never category 18; an unwritable
// file is reported on the screen for every failed line.
TEST(RFTPSLogger, FileOutput) {
  Fixture f;
  const std::string log = f.dir.File("ftp.log");
  f.Load("Logfile=" + log + "\nLogSystemMes=OFF\nLogFileSecurityMes=NO\n");
  EXPECT_TRUE(f.logger.FileLogging());
  f.logger.WriteLog(2, "to file only");
  f.logger.WriteLog(3, "to screen only");
  f.logger.WriteLog(18, "plain");
  EXPECT_EQ(ReadText(log), "[1] Fri 04Dec26 23:54:31 - to file only\n");
  EXPECT_EQ(f.pane.Text(), "[5] Fri 04Dec26 23:54:31 - to screen only\r\nplain\r\n");
  f.logger.SetFileLogging(false);
  f.logger.WriteLog(2, "suspended");
  EXPECT_EQ(ReadText(log), "[1] Fri 04Dec26 23:54:31 - to file only\n");

  const std::string bad = f.dir.File("no/such/dir.log");
  f.Load("Logfile=" + bad + "\nLogSystemMes=OFF\n");
  f.pane.Clear();
  f.logger.WriteLog(2, "lost");
  f.logger.WriteLog(2, "lost");
  EXPECT_EQ(f.pane.Text(),
            "CANNOT WRITE TO LOGFILE " + bad + "!\r\nCANNOT WRITE TO LOGFILE " + bad + "!\r\n");
}

// Rotated names: daily, weekly from Sunday, monthly, yearly; no extension;
// a directory-only name.
TEST(RFTPSLogger, RotationNames) {
  test::TimeZoneScope zone{"UTC0"};  // stamps and file names are local time
  struct Case {
    const char* configured;
    RLogRotation rotation;
    int64_t now;
    const char* name;
    int64_t next;
  } cases[] = {
      {"/logs/ftp.log", LR_DAILY, kFri, "/logs/ftp-04Dec2026.log", 1796428800},
      {"/logs/ftp.log", LR_WEEKLY, 1796212800, "/logs/ftp-29Nov2026.log", 1795910400 + 7 * 86400},
      {"/logs/ftp.log", LR_MONTHLY, kFri, "/logs/ftp-Dec2026.log", 1798761600},
      {"/logs/ftp.log", LR_YEARLY, kFri, "/logs/ftp-2026.log", 1798761600},
      {"/logs/ftp", LR_DAILY, kFri, "/logs/ftp-04Dec2026", 1796428800},
      {"/logs/", LR_DAILY, kFri, "/logs/04Dec2026", 1796428800},
      {"/logs/ftp.log", LR_NONE, kFri, "/logs/ftp.log", 0},
      {"/a.b/ftp", LR_YEARLY, kFri, "/a.b/ftp-2026", 1798761600},
      // Week that began in the previous year.
      {"w.log", LR_WEEKLY, 1798761600 + 86400, "w-27Dec2026.log", 1798761600 + 2 * 86400},
      // A clock below 1 counts as 1 January 1980, 05:00 UTC.
      {"f.log", LR_DAILY, 0, "f-01Jan1980.log", 315619200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RRotatedName r = RotatedLogName(c.configured, c.rotation, c.now);
    EXPECT_EQ(r.name, c.name);
    EXPECT_EQ(r.next, c.next);
  }
}

// The one-second duty switches files at midnight and back when the clock
// is set back.
TEST(RFTPSLogger, RotationFollowsTheClock) {
  Fixture f;
  f.Load("Logfile=" + f.dir.File("ftp.log") + "\nLogFileRotation=Dayly\n");
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("ftp-04Dec2026.log"));
  f.clock.Advance(28 * 1000);  // 23:54:59
  f.logger.OnSecondTick();
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("ftp-04Dec2026.log"));
  f.clock.Advance(330 * 1000);  // past midnight
  f.logger.OnSecondTick();
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("ftp-05Dec2026.log"));
  f.logger.WriteLog(2, "next day");
  EXPECT_EQ(ReadText(f.dir.File("ftp-05Dec2026.log")), "[1] Sat 05Dec26 00:00:29 - next day\n");
  f.clock.SetWall(kFri - 86400);  // a day back
  f.logger.OnSecondTick();
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("ftp-03Dec2026.log"));
}

// IPLog: 0 is off, 2000 is 999 minutes, a missing file name is off; the
// first list is written at the first tick.
TEST(RFTPSLogger, IpListDuty) {
  struct Case {
    const char* value;
    bool on;
    int minutes;
  } cases[] = {{"0", false, 0},    {"2000,IPFILE", true, 999},
               {"10,", false, 10}, {"abc,IPFILE", false, 0},
               {"", false, 0},     {"5,IPFILE", true, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Fixture f;
    std::string v = c.value;
    const std::string file = f.dir.File("ips.txt");
    if (auto p = v.find("IPFILE"); p != std::string::npos) v.replace(p, 6, file);
    f.Load("IPLog=" + v + "\n");
    EXPECT_EQ(f.logger.IpListOn(), c.on);
    EXPECT_EQ(f.logger.Settings().ipLogMinutes, c.minutes);
    f.logger.OnSecondTick();
    EXPECT_EQ(std::filesystem::exists(file), c.on);
    if (!c.on) continue;
    EXPECT_EQ(ReadText(file), "10.0.0.1\n127.0.0.1\n");
    EXPECT_EQ(f.logger.IpListCountdown(), c.minutes * 60);
    std::filesystem::remove(file);
    f.logger.OnSecondTick();
    EXPECT_FALSE(std::filesystem::exists(file));
  }
}

// Logging state lines, and the settings round trip through the file.
TEST(RFTPSLogger, StateAndSave) {
  Fixture f;
  f.Load("Logging=NO\n");
  EXPECT_EQ(f.logger.LoggingStateText(), "Logging messages to screen only");
  f.Load("");
  EXPECT_EQ(f.logger.LoggingStateText(), "No logfile specified, logging messages to screen only");
  EXPECT_FALSE(f.logger.FileLogging());
  f.Load("Logging=maybe\nLogfile=/x/y.log\n");  // only the true words switch on
  EXPECT_EQ(f.logger.LoggingStateText(), "Logging messages to screen only");

  f.Load("Logfile=/x/y.log\n");
  EXPECT_EQ(f.logger.LoggingStateText(), "Logging messages to file /x/y.log");
  RLogSettingsStr s = f.logger.Settings();
  s.logfile = "  /x/z.log  ";
  s.rotation = LR_MONTHLY;
  s.ipLogMinutes = 5000;
  s.ipLogFile = "/x/ips";
  s.screen[LS_DIRTY] = true;
  s.font.face = "Mono";
  f.pane.Clear();
  RIniFile ini(f.dir.File("v.ini"));
  ASSERT_TRUE(f.logger.SaveSettings(ini, s));
  EXPECT_EQ(f.pane.Text(), "Logging messages to file /x/z-Dec2026.log\r\n");
  EXPECT_TRUE(f.logger.SocketTraceOn());
  EXPECT_TRUE(f.logger.SettingsChanged());
  EXPECT_EQ(ini.GetString("GLOBAL", "Logfile"), "/x/z.log");
  EXPECT_EQ(ini.GetString("GLOBAL", "LogFileRotation"), "Monthly");
  EXPECT_EQ(ini.GetString("GLOBAL", "IPLog"), "999,/x/ips");
  EXPECT_EQ(ini.GetString("GLOBAL", "LogDirtyDetails"), "ON");
  EXPECT_EQ(ini.GetString("GLOBAL", "LogFileDirtyDetails"), "OFF");
  EXPECT_EQ(ini.GetString("GLOBAL", "LogFont"), "-13,500,0,0,0,0,Mono");
  EXPECT_FALSE(ini.HasKey("GLOBAL", "LogIPDontLog"));
  // The switches are written in their fixed order.
  auto e = ini.SectionEntries("GLOBAL");
  ASSERT_GE(e.size(), 19u);
  EXPECT_EQ(e[1].first, "LogGETs");
  EXPECT_EQ(e[9].first, "LogAccessDLL");
  EXPECT_EQ(e[10].first, "LogFileGETs");
  // Saving the same file name again shows nothing.
  f.pane.Clear();
  ASSERT_TRUE(f.logger.SaveSettings(ini, f.logger.Settings()));
  EXPECT_EQ(f.pane.LineCount(), 0u);
  RFTPSLogger again(f.pane, f.clock);
  again.LoadSettings(&ini);
  EXPECT_EQ(again.Settings().font.face, "Mono");
  EXPECT_EQ(again.Settings().ipLogMinutes, 999);
  EXPECT_TRUE(again.Settings().screen[LS_DIRTY]);
}

// The logger is the sink of the process-wide WriteLog while installed; the
// sink installed before it (here a test's capture) comes back after it.
TEST(RFTPSLogger, InstalledAsSink) {
  Fixture f;
  vantor::test::LogCapture outer;
  {
    RFTPSLogger sink(f.pane, f.clock);
    sink.InstallAsSink();
    sink.InstallAsSink();  // again: still one scope, the capture still under it
    vantor::WriteLog(LOG_SCREEN, "through the sink");
    EXPECT_TRUE(LogWanted(LOG_SCREEN));
    EXPECT_FALSE(LogWanted(LOG_REPLIES));  // off by default, no user information view
    sink.SetScreenLogging(false);
    EXPECT_FALSE(LogWanted(LOG_SCREEN));
  }
  EXPECT_TRUE(LogWanted(LOG_REPLIES));
  vantor::WriteLog(LOG_SCREEN, "after removal");
  EXPECT_EQ(f.pane.Text(), "through the sink\r\n");
  EXPECT_EQ(outer.lines, std::vector<std::string>{"18|after removal"});
}

// Client text with terminal escapes, bells, line breaks or DEL must reach no
// sink raw: each control character shows as \xHH, everything else is kept.
TEST(RFTPSLogger, ControlCharactersEscapedInEverySink) {
  EXPECT_EQ(EscapeLogText("plain C:\\srv\\x.txt"), "plain C:\\srv\\x.txt");
  EXPECT_EQ(EscapeLogText(std::string("a\x1b]2;OWNED\x07"
                                      "b\r\n\t\x7f\x01",
                                      17)),
            "a\\x1B]2;OWNED\\x07b\\x0D\\x0A\\x09\\x7F\\x01");
  EXPECT_EQ(EscapeLogText(std::string("nul\0z", 5)), "nul\\x00z");
  EXPECT_EQ(EscapeLogText("caf\xc3\xa9"), "caf\xc3\xa9");  // UTF-8 is not touched

  Fixture f;
  const std::string log = f.dir.File("ftp.log");
  f.Load("Logfile=" + log + "\nLogFTPCommands=ON\nLogFileFTPCommands=ON\nIPLog=1," +
         f.dir.File("ips") + "\n");
  const std::string evil = "STOR evil\x1b[31mRED\x1b[0m.txt";
  const std::string shown = "STOR evil\\x1B[31mRED\\x1B[0m.txt";
  const std::string stamp = "Fri 04Dec26 23:54:31 - ";
  f.logger.WriteLog(LOG_COMMANDS, evil);                      // screen, file, user view
  f.logger.WriteLog(LOG_HOSTNAMES, "host\x1b[2J.example");    // a client's host name
  f.logger.WriteLog(LOG_SCREEN, "USER joe\x1b]2;OWNED\x07");  // plain screen line
  EXPECT_EQ(f.pane.Text(), "[2] " + stamp + shown + "\r\n[5] " + stamp +
                               "host\\x1B[2J.example\r\nUSER joe\\x1B]2;OWNED\\x07\r\n");
  EXPECT_EQ(ReadText(log), "[2] " + stamp + shown + "\n[5] " + stamp + "host\\x1B[2J.example\n");
  ASSERT_EQ(f.userInfo.size(), 1u);
  EXPECT_EQ(f.userInfo[0].second, shown);

  // The pane model behind the GUI's log window escapes what is appended to
  // it directly as well.
  RLogger pane;
  std::vector<std::string> printed;
  pane.SetLineObserver([&](std::string_view l) { printed.emplace_back(l); });
  ASSERT_TRUE(pane.Append("x\x1b[1my\x7f"));
  EXPECT_EQ(pane.Text(), "x\\x1B[1my\\x7F\r\n");
  EXPECT_EQ(printed, std::vector<std::string>{"x\\x1B[1my\\x7F"});

  // The IP list file.
  f.TickIpList({"10.0.0.1\x1b[0m", "127.0.0.1"});
  EXPECT_EQ(ReadText(f.dir.File("ips")), "10.0.0.1\\x1B[0m\n127.0.0.1\n");
}

// Logfile and IPLog are the server's own files: a drive-form name maps
// through [DRIVES] like every other path (never a file named
// "C:\logs\ftp.log" in the working directory), a relative one is taken from
// the configuration file's folder, and "Daily" means daily rotation.
TEST(RFTPSLogger, LogPathsFollowDrivesAndTheIniFolder) {
  Fixture f;
  std::filesystem::create_directories(f.dir.File("root/logs"));
  std::filesystem::create_directories(f.dir.File("rel"));
  const std::string drives = "[DRIVES]\nC=" + f.dir.File("root") + "\n[GLOBAL]\n";
  auto load = [&](const std::string& text) { f.LoadText(text); };
  load(drives + "Logfile=C:\\logs\\ftp.log\nIPLog=1,C:\\logs\\ips.txt\n");
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("root/logs/ftp.log"));
  EXPECT_EQ(f.logger.LoggingStateText(),
            "Logging messages to file " + f.dir.File("root/logs/ftp.log"));
  f.logger.WriteLog(LOG_SYSTEM, "mapped");
  EXPECT_EQ(ReadText(f.dir.File("root/logs/ftp.log")), "[1] Fri 04Dec26 23:54:31 - mapped\n");
  f.logger.OnSecondTick();
  EXPECT_EQ(ReadText(f.dir.File("root/logs/ips.txt")), "10.0.0.1\n127.0.0.1\n");
  // The configured text itself is kept for the dialog and the file.
  EXPECT_EQ(f.logger.Settings().logfile, "C:\\logs\\ftp.log");
  EXPECT_EQ(f.logger.Settings().ipLogFile, "C:\\logs\\ips.txt");

  // Drive form with rotation: the suffix goes into the mapped name.
  load(drives + "Logfile=C:\\logs\\ftp.log\nLogFileRotation=Daily\n");
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("root/logs/ftp-04Dec2026.log"));
  load(drives + "Logfile=C:\\logs\\\nLogFileRotation=dayly\n");
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("root/logs/04Dec2026"));

  // Relative names from the configuration file's folder, not the working
  // directory.
  load("[GLOBAL]\nLogfile=rel/ftp.log\nIPLog=1,rel/ips\n");
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("rel/ftp.log"));
  f.logger.WriteLog(LOG_SYSTEM, "relative");
  EXPECT_EQ(ReadText(f.dir.File("rel/ftp.log")), "[1] Fri 04Dec26 23:54:31 - relative\n");
  f.TickIpList({"1.2.3.4"});
  EXPECT_EQ(ReadText(f.dir.File("rel/ips")), "1.2.3.4\n");

  // A drive the table does not have: nothing is created anywhere, and every
  // line says so on the screen.
  load("[DRIVES]\nD=" + f.dir.File("root") + "\n[GLOBAL]\nLogfile=C:\\logs\\x.log\n");
  f.pane.Clear();
  f.logger.WriteLog(LOG_SYSTEM, "lost");
  EXPECT_EQ(f.pane.Text(),
            "[1] Fri 04Dec26 23:54:31 - lost\r\n"
            "CANNOT WRITE TO LOGFILE C:\\logs\\x.log!\r\n");
  EXPECT_FALSE(std::filesystem::exists("C:\\logs\\x.log"));

  // The dialog's save resolves the same way.
  RIniFile ini(f.dir.File("v.ini"));
  RLogSettingsStr st = f.logger.Settings();
  st.logfile = "saved.log";
  ASSERT_TRUE(f.logger.SaveSettings(ini, st));
  EXPECT_EQ(f.logger.CurrentFileName(), f.dir.File("saved.log"));
  EXPECT_EQ(ini.GetString("GLOBAL", "Logfile"), "saved.log");
}

// The file format's "Dayly" and the "Daily" people write by hand, in any case.
TEST(RFTPSLogger, RotationWords) {
  for (const char* daily : {"Dayly", "dayly", "DAILY", "daily", "Daily"}) {
    EXPECT_EQ(ParseRotation(daily), LR_DAILY) << daily;
  }
  EXPECT_EQ(ParseRotation("Weekly"), LR_WEEKLY);
  EXPECT_EQ(ParseRotation("YEARLY"), LR_YEARLY);
  EXPECT_EQ(ParseRotation("Dail"), LR_NONE);
  EXPECT_STREQ(RotationWord(LR_DAILY), "Dayly");  // written as the file format has it
}

// The pane keeps below 15000 characters, trimming ten lines per pass.
TEST(RLogger, BoundAndTrim) {
  RLogger pane;
  std::vector<std::string> seen;
  pane.SetLineObserver([&](std::string_view l) { seen.emplace_back(l); });
  const std::string line98(98, 'a');  // 100 with CR LF
  for (int i = 0; i < 149; ++i) ASSERT_TRUE(pane.Append(line98));
  EXPECT_EQ(pane.Length(), 14900u);
  ASSERT_TRUE(pane.Append("b"));  // 14900 + 3 + 10 stays below the bound
  EXPECT_EQ(pane.LineCount(), 150u);
  EXPECT_EQ(pane.Length(), 14903u);
  ASSERT_TRUE(pane.Append(line98));  // 14903 + 100 + 10 reaches it: ten lines go
  EXPECT_EQ(pane.LineCount(), 141u);
  EXPECT_EQ(pane.Length(), 14003u);
  EXPECT_EQ(pane.Lines().front(), line98);
  EXPECT_EQ(pane.Lines()[139], "b");
  EXPECT_FALSE(pane.Append(std::string(14988, 'c')));  // 14990 + 10 is not below
  EXPECT_TRUE(pane.Append(std::string(14987, 'c')));   // everything else goes
  EXPECT_EQ(pane.LineCount(), 1u);
  EXPECT_EQ(seen.size(), 152u);
  EXPECT_EQ(pane.Text().size(), pane.Length());
}

}  // namespace
