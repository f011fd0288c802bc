#include "config/RStartup.h"

#include "config/RDriveConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>

#include "log_capture.h"
#include "temp_dir.h"

using namespace vantor;
using vantor::test::ReadText;
using vantor::test::TempDir;
using vantor::test::WriteText;

namespace {

// Collects what the program shows, as "code:text" entries.
struct Screen : vantor::test::LogCapture {
  Screen() : LogCapture(":") {}
};

// Seams that record every call as a step ("server <path>", "cache 25/600").
RServerStartup::Seams Recording(std::vector<std::string>* steps) {
  RServerStartup::Seams s;
  auto step = [steps](const std::string& name) { steps->push_back(name); };
  s.loadLoggerSettings = [=](const RIniFile* ini) { step(ini ? "logger" : "logger-none"); };
  s.createEventHandler = [=] { step("events"); };
  s.applyWindow = [=](const RGlobalSettings&, const RCommandLine&) { step("window"); };
  s.loadMessageFiles = [=] { step("messages"); };
  s.startSocketLayer = [=](std::string* d, uint32_t* m) {
    step("sockets");
    *d = "Test sockets";
    *m = 42;
    return true;
  };
  s.showLoggingState = [=] { step("state"); };
  s.startServer = [=](const std::string& p) { step("server " + p); };
  s.configureDirCache = [=](int32_t e, int32_t t) {
    step("cache " + std::to_string(e) + "/" + std::to_string(t));
  };
  s.applyWindowSwitches = [=](const RGlobalSettings&) { step("switches"); };
  s.reloadServer = [=] { step("reload server"); };
  s.reloadEventHandler = [=] { step("reload events"); };
  return s;
}

// Options in either case, "-" only, the first other argument is the path.
TEST(ParseCommandLine, OptionsAndPath) {
  RCommandLine c = ParseCommandLine({"-H", "-i", "/etc/v.ini", "-S", "other.ini", "-x", "-u"});
  EXPECT_TRUE(c.hidden);
  EXPECT_TRUE(c.iconic);
  EXPECT_TRUE(c.single);
  EXPECT_TRUE(c.noConfirm);
  EXPECT_FALSE(c.help);
  EXPECT_EQ(c.iniArgument, "/etc/v.ini");
  c = ParseCommandLine({"--help", "--version", "-"});
  EXPECT_TRUE(c.help);
  EXPECT_TRUE(c.version);
  EXPECT_FALSE(c.iniArgument);
  EXPECT_FALSE(c.hidden);  // "--help" is no -h
  EXPECT_FALSE(c.clusterInit);
  EXPECT_TRUE(ParseCommandLine({"--cluster-init", "/etc/v.ini"}).clusterInit);
}

// The path choice, with a table of which files exist.
TEST(ChooseIniPath, Order) {
  struct Case {
    const char* name;
    std::optional<std::string> arg;
    std::optional<std::string> env;
    std::set<std::string> existing;
    const char* want;
  } cases[] = {
      {"absolute argument", "/etc/x.ini", std::nullopt, {}, "/etc/x.ini"},
      // From the current directory, as the shell that typed it means it.
      {"relative argument", "../conf/./x.ini", std::nullopt, {}, "/home/conf/x.ini"},
      {"program dir", std::nullopt, "/env", {"/opt/bin/VANTOR.INI"}, "/opt/bin/VANTOR.INI"},
      {"environment", std::nullopt, "/env/", {}, "/env/VANTOR.INI"},
      {"current dir", std::nullopt, std::nullopt, {"/home/me/VANTOR.INI"}, "/home/me/VANTOR.INI"},
      {"system dir",
       std::nullopt,
       std::nullopt,
       {"/etc/vantor/VANTOR.INI"},
       "/etc/vantor/VANTOR.INI"},
      {"nothing found", std::nullopt, std::nullopt, {}, "/opt/bin/VANTOR.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RIniPathInputs in{c.arg, "/opt/bin", c.env, "/home/me"};
    EXPECT_EQ(ChooseIniPath(in, [&](const std::string& p) { return c.existing.count(p) > 0; }),
              c.want);
  }
  EXPECT_EQ(NormalizePath("a//b/../../../c", "/x"), "/c");
  EXPECT_EQ(DirectoryOf("/a/b.ini"), "/a");
  EXPECT_EQ(DirectoryOf("/b.ini"), "/");
}

// A file that cannot be created: the path is cleared and reads give defaults.
TEST(RServerStartup, CannotCreate) {
  TempDir dir;
  Screen screen;
  RManualClock clock(1000, 1796428471);
  std::string serverPath = "unset";
  bool loggerNone = false;
  RServerStartup::Seams s;
  s.startServer = [&](const std::string& p) { serverPath = p; };
  s.loadLoggerSettings = [&](const RIniFile* ini) { loggerNone = ini == nullptr; };
  RServerStartup st(clock, s);
  ASSERT_EQ(st.Run(ParseCommandLine({dir.File("no/dir/v.ini")}), RIniPathInputs{}),
            RServerStartup::RStartResult::Started);
  EXPECT_EQ(st.IniPath(), "");
  EXPECT_EQ(st.Ini(), nullptr);
  EXPECT_EQ(serverPath, "");
  EXPECT_TRUE(loggerNone);
  ASSERT_GE(screen.lines.size(), 2u);
  EXPECT_EQ(screen.lines[1], "18:CANNOT ACCESS/CREATE VANTOR.INI FILE! - NO FTP ACCESS");
  EXPECT_FALSE(st.PollReloadSettings());
}

// The clock check keeps the lower bound only.
TEST(RServerStartup, ClockCheck) {
  struct Case {
    int64_t wall;
    bool starts;
  } cases[] = {{0, false},
               {-100, false},
               {315532799 - 86400, false},
               {315619200, true},
               {2208988800, true}};  // 2040: later years are fine
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wall);
    TempDir dir;
    Screen screen;
    RManualClock clock(1000, c.wall);
    bool server = false;
    RServerStartup::Seams s;
    s.startServer = [&](const std::string&) { server = true; };
    RServerStartup st(clock, s);
    auto r = st.Run(ParseCommandLine({dir.File("v.ini")}), RIniPathInputs{});
    EXPECT_EQ(r == RServerStartup::RStartResult::Started, c.starts);
    EXPECT_EQ(server, c.starts);
    if (!c.starts) {
      EXPECT_EQ(screen.lines, (std::vector<std::string>{
                                  "18:CHECK THE SYSTEM'S CLOCK!! DATE NEEDS TO BE SET CORRECTLY "
                                  "FOR SERVER TO WORK"}));
      EXPECT_FALSE(std::filesystem::exists(dir.File("v.ini")));
    }
  }
}

// ReloadSettings: only the strict true words ask; the key is removed; the
// reload runs its steps in order and sets the cache up with the sizes the
// file says now, not those of the start.
TEST(RServerStartup, ReloadPollAndOrder) {
  TempDir dir;
  Screen screen;
  RManualClock clock(1000, 1796428471);
  std::vector<std::string> steps;
  const std::string path = dir.Write("v.ini", "[GLOBAL]\nVersion=2.5.11.3\nDirCacheSize=7\n");
  RServerStartup st(clock, Recording(&steps));
  ASSERT_EQ(st.Run(ParseCommandLine({path}), RIniPathInputs{}),
            RServerStartup::RStartResult::Started);
  struct Case {
    const char* value;
    bool reload;
  } cases[] = {{"TRUE", true}, {"yes", true}, {"1", true}, {"ON", false}, {"no", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    WriteText(path, std::string("[GLOBAL]\nVersion=2.5.11.3\nReloadSettings=") + c.value + "\n");
    EXPECT_EQ(st.PollReloadSettings(), c.reload);
    EXPECT_EQ(st.Ini()->HasKey("GLOBAL", "ReloadSettings"), !c.reload);
    EXPECT_FALSE(st.PollReloadSettings() && c.reload);  // one request, one reload
  }
  steps.clear();
  WriteText(path, "[GLOBAL]\nVersion=2.5.11.3\nDirCacheSize=9\nDirCacheTime=30\n");
  st.Reload();
  EXPECT_EQ(steps,
            (std::vector<std::string>{"reload server", "logger", "reload events", "cache 9/30"}));
  EXPECT_EQ(st.Settings().dirCacheSize, 9);
}

RServerStartup::RStartResult RunOn(const std::string& path, std::vector<std::string>* steps) {
  static RManualClock clock(1000, 1796428471);
  RServerStartup::Seams s;
  s.startServer = [steps](const std::string&) { steps->push_back("server"); };
  RServerStartup st(clock, s);
  return st.Run(ParseCommandLine({path}), RIniPathInputs{});
}

// Every start says which directory each drive is, warns when a drive is the
// whole file system, when a section name is a slip for a known one, and
// when security is off; all before the server starts.
TEST(RServerStartup, DrivesSectionsAndSecurityLogged) {
  TempDir dir;
  const std::string path = dir.File("v.ini");
  struct Case {
    std::string text;
    std::vector<std::string> lines;  // after "Starting FTP Server..."
  } cases[] = {
      {"[GLOBAL]\nVersion=2.5.11.3\nSecurity=OFF\n[DRIVE]\nC=/srv\n[USERS=joe]\n[Global]\n",
       {"2:Drive C: is /", "3:WARNING: drive C: is / - clients can reach the whole file system",
        "3:WARNING: section [DRIVE] is not read by the server - did you mean [DRIVES]?",
        "3:WARNING: section [USERS=joe] is not read by the server - did you mean [USER=joe]?",
        "3:WARNING: Security=OFF - every client is let in without a password and may read "
        "and write every file the drives reach; SITE EXEC is refused"}},
      {"[GLOBAL]\nVersion=2.5.11.3\n[DRIVES]\nD=rel\nC=/srv/ftp\n[IP-ACCES]\n[SIGNONOFF]\n"
       "[Ratios]\n[MyNotes]\n",
       {"2:Drive C: is /srv/ftp", "2:Drive D: is " + dir.Path() + "/rel",
        "3:WARNING: section [IP-ACCES] is not read by the server - did you mean [IP-ACCESS]?"}},
      {"[GLOBAL]\nVersion=2.5.11.3\n[DRIVES]\nCC=/x\n",
       {"3:WARNING: [DRIVES] names no usable drive - clients can reach no file"}},
      {"[GLOBAL]\nVersion=2.5.11.3\n[DRIVES]\nE=/\n",
       {"2:Drive E: is /", "3:WARNING: drive E: is / - clients can reach the whole file system"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteText(path, c.text);
    Screen screen;
    std::vector<std::string> steps;
    screen.lines.clear();
    ASSERT_EQ(RunOn(path, &steps), RServerStartup::RStartResult::Started);
    auto it = std::find(screen.lines.begin(), screen.lines.end(),
                        "2:Starting FTP Server...  (Version 2.5k (32-bit))");
    ASSERT_NE(it, screen.lines.end());
    EXPECT_EQ(std::vector<std::string>(it + 1, screen.lines.end()), c.lines);
    EXPECT_EQ(steps, std::vector<std::string>{"server"});
  }
}

// A port number that cannot be one is said once at start, not silently
// replaced by 21.
TEST(RServerStartup, InvalidPortLogged) {
  TempDir dir;
  const std::string path = dir.File("v.ini");
  const char* values[] = {"-1", "99999", "abc", "0", "2121", ""};
  for (const char* v : values) {
    SCOPED_TRACE(v);
    WriteText(path,
              std::string("[GLOBAL]\nVersion=2.5.11.3\nPortNr=") + v + "\n[DRIVES]\nC=/srv\n");
    Screen screen;
    std::vector<std::string> steps;
    ASSERT_EQ(RunOn(path, &steps), RServerStartup::RStartResult::Started);
    const std::string want =
        std::string("3:WARNING: PortNr=") + v + " is no port number (1 to 65535) - port 21 is used";
    const bool bad = std::string(v) != "2121" && std::string(v) != "";
    EXPECT_EQ(std::count(screen.lines.begin(), screen.lines.end(), want), bad ? 1 : 0);
  }
}

// Temporary copies of the INI file left by a killed write (each a full copy
// with the password hashes) are removed at start; a fresh one, which may be
// another process's write in progress, and other files' are left alone.
TEST(RServerStartup, StaleTemporaryFilesRemoved) {
  TempDir dir;
  const std::string path = dir.Write("v.ini", "[GLOBAL]\nVersion=2.5.11.3\n[DRIVES]\nC=/srv\n");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
  for (const char* n : {"v.ini.tmpAbC123", "v.ini.tmpzz9ZZ9", "tmpnew.ini", "w.ini.tmpAbC123",
                        "v.ini.tmpAbC1234", "v.ini.tmpFresh1"}) {
    WriteText(dir.File(n), "[USER=joe]\nPassword=hash\n");
    if (std::string(n) != "v.ini.tmpFresh1") std::filesystem::last_write_time(dir.File(n), old);
  }
  Screen screen;
  std::vector<std::string> steps;
  ASSERT_EQ(RunOn(path, &steps), RServerStartup::RStartResult::Started);
  for (const char* n : {"v.ini.tmpAbC123", "v.ini.tmpzz9ZZ9", "tmpnew.ini"})
    EXPECT_FALSE(std::filesystem::exists(dir.File(n))) << n;
  // Another file's, not our pattern, and one that may be in progress.
  for (const char* n : {"w.ini.tmpAbC123", "v.ini.tmpAbC1234", "v.ini.tmpFresh1"})
    EXPECT_TRUE(std::filesystem::remove(dir.File(n))) << n;
  EXPECT_EQ(std::count(screen.lines.begin(), screen.lines.end(),
                       "2:Removed stale temporary file " + dir.File("v.ini.tmpAbC123")),
            1);
}

}  // namespace
