#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/AccessQuery.h"
#include "accounts/RClientLib.h"
#include "config/RIniFile.h"
#include "hooks_support.h"
#include "temp_dir.h"
#include "util/RLog.h"

using namespace vantor;
using namespace vantor::hooktest;
using vantor::test::TempDir;

namespace {

// Fake libraries: each records the events it saw and answers as told.
std::vector<std::string> gCalls;

int32_t FakeDecline(ClientEventRecord* r) {
  gCalls.push_back("decline:" + std::to_string(r->event));
  return 0;
}
int32_t FakeHome(ClientEventRecord* r) {
  gCalls.push_back("home:" + std::to_string(r->event));
  std::strcpy(r->aux, "C:\\srv\\ftp\\lib");
  r->flag = 1;
  return 1;
}
int32_t FakeClearHost(ClientEventRecord* r) {
  r->host[0] = '\0';
  r->flag = 7;
  return 1;
}
int32_t FakeNoTerminator(ClientEventRecord* r) {
  std::memset(r->aux, 'x', sizeof r->aux);
  r->flag = 1;
  return 1;
}
int32_t FakeBool2(ClientEventRecord* r) {
  r->aux[0] = 2;
  r->flag = 1;
  return 1;
}

RClientQuery MakeQuery(uint32_t code, char* aux, const char* user = "joe") {
  RClientQuery q;
  q.code = code;
  q.user = user;
  q.address = 0xC0A80A01;
  q.aux = aux;
  q.session = 42;
  return q;
}

}  // namespace

// The library event and name of every query code of the table; codes
// without an event are not offered to libraries.
TEST(RClientLib, EventTable) {
  const std::map<uint32_t, uint32_t> want = {
      {16, 1},  {17, 2},  {15, 3},  {11, 4},  {7, 5},   {9, 6},   {10, 7},  {20, 8},
      {21, 9},  {12, 10}, {13, 11}, {14, 12}, {24, 13}, {25, 14}, {26, 15}, {27, 16},
      {28, 17}, {29, 18}, {30, 19}, {31, 20}, {32, 21}, {33, 22}, {34, 23}, {35, 24},
      {37, 25}, {38, 26}, {40, 27}, {41, 28}, {42, 29}, {43, 30}, {44, 31}, {45, 32},
      {36, 33}, {39, 34}, {8, 35},  {46, 36}, {47, 37}};
  for (uint32_t code = 0; code < 60; ++code) {
    SCOPED_TRACE(code);
    auto it = want.find(code);
    EXPECT_EQ(ClientEventForQuery(code), it == want.end() ? 0u : it->second);
  }
  EXPECT_STREQ(ClientEventName(2), "VNTR_HomeDir");
  EXPECT_STREQ(ClientEventName(34), "VNTR_VerifyPasswd");
  EXPECT_STREQ(ClientEventName(0), "Unknown");
  EXPECT_STREQ(ClientEventName(38), "Unknown");
}

// Libraries are asked only when the store left the flag at 0, or for codes
// 11 and 37 with the no-rule marker; never for codes without an event.
TEST(RClientLib, ShouldConsultRules) {
  RClientLibList libs;
  char aux[512] = {};
  RClientQuery q = MakeQuery(17, aux);
  EXPECT_FALSE(libs.ShouldConsult(q)) << "no library loaded";
  libs.AddForTest(&FakeDecline, "fake");
  struct Case {
    uint32_t code;
    uint32_t flag;
    bool marker;
    bool want;
  };
  const Case cases[] = {
      {17, 0, false, true},  {17, 1, false, false}, {11, 1, false, false},
      {11, 1, true, true},   {37, 1, true, true},   {9, 1, true, false},
      {18, 0, false, false}, {44, 0, false, true},  {48, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    q.code = c.code;
    q.flag = c.flag;
    q.noRuleMarker = c.marker;
    EXPECT_EQ(libs.ShouldConsult(q), c.want);
  }
}

// A library that empties the host text clears the query's address; a text
// answer without its terminating zero is cut so that it stays a C string.
TEST(RClientLib, HostClearAndUnterminatedAnswer) {
  RClientLibList libs;
  libs.AddForTest(&FakeClearHost, "a");
  char aux[512] = {};
  RClientQuery q = MakeQuery(42, aux);
  ASSERT_TRUE(libs.Consult(q));
  EXPECT_EQ(q.address, 0u);
  EXPECT_EQ(q.flag, 7u);

  RClientLibList bad;
  bad.AddForTest(&FakeNoTerminator, "b");
  char aux2[512] = {};
  RClientQuery q2 = MakeQuery(16, aux2);
  ASSERT_TRUE(bad.Consult(q2));
  EXPECT_EQ(strnlen(aux2, sizeof aux2), 511u);
}

// The trace of category 23, line by line: secrets masked, the second aux
// string for events 3, 4 and 34, and the answer lines by event kind.
TEST(RClientLib, TraceLines) {
  struct Case {
    uint32_t code;
    const char* first;
    const char* second;
    HandleClientEventFn fn;
    const char* event;
    const char* tail;  // the lines after event and host, each after the indent
  };
  const Case cases[] = {
      {15, "secret", "", &FakeDecline, "VNTR_Password",
       "First  Aux[] parameter=\"******\"\nSecond Aux[] parameter=\"\"\nNot handled"},
      {11, "10.1.2.3", "host.example", &FakeDecline, "VNTR_IPAccess",
       "First  Aux[] parameter=\"10.1.2.3\"\nSecond Aux[] parameter=\"host.example\"\n"
       "Not handled"},
      {17, "", "", &FakeHome, "VNTR_HomeDir",
       "DLL HANDLED EVENT, Flag=TRUE\nAux[] return parameter=\"C:\\srv\\ftp\\lib\""},
      {24, "", "", &FakeBool2, "VNTR_HideHidden",
       "DLL HANDLED EVENT, Flag=TRUE\nAux[0] return parameter=??? (illegal return value)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    RClientLibList libs;
    libs.SetTrace(true);
    libs.AddForTest(c.fn, "lib.so");
    AccessQuery aq;
    ClearAccessQuery(aq);
    SetQueryAux2(aq, c.first, c.second);
    RClientQuery q = MakeQuery(c.code, aq.aux);
    LogCapture log;
    (void)libs.Consult(q);
    std::vector<std::string> want = {
        "23|(000042) Access DLL event=" + std::string(c.event) + " DLL=lib.so",
        "Host IP=192.168.10.1 Flag=FALSE User=\"joe\""};
    std::stringstream tail(c.tail);
    for (std::string line; std::getline(tail, line);) want.push_back(line);
    for (size_t i = 1; i < want.size(); ++i) want[i] = "23|               " + want[i];
    EXPECT_EQ(log.lines, want);
  }
  // Without the switch nothing is written.
  RClientLibList quiet;
  quiet.AddForTest(&FakeHome, "lib.so");
  char aux[512] = {};
  RClientQuery q = MakeQuery(17, aux);
  LogCapture log;
  (void)quiet.Consult(q);
  EXPECT_TRUE(log.lines.empty());
}

// Loading: a missing library (2047 and the reason), one without the entry
// point (2048), a good one (2046); the list stops at the first empty key.
TEST(RClientLib, LoadLogsAndSkipsBadLibraries) {
  const std::map<std::string, std::string> keys = {
      {"ClientCheckDLL1", "/nonexistent/libnothing.so"},
      {"ClientCheckDLL2", ExampleLib("uploadguard")},
      {"ClientCheckDLL3", ExampleLib("usersfile")},
      {"ClientCheckDLL5", ExampleLib("usersfile")},
  };
  RClientLibList libs;
  LogCapture log;
  const size_t n = libs.Load([&](std::string_view k) {
    auto it = keys.find(std::string(k));
    return it == keys.end() ? std::string() : it->second;
  });
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(libs.Count(), 1u);
  ASSERT_EQ(log.lines.size(), 4u);
  EXPECT_EQ(log.lines[0],
            "2|PROBLEM: Cannot find/load DLL /nonexistent/libnothing.so (can also happen if "
            "the DLL uses other DLLs which are not available)");
  EXPECT_EQ(log.lines[1].rfind("2|               Reason: ", 0), 0u) << log.lines[1];
  EXPECT_EQ(log.lines[2], "2|PROBLEM: Cannot find entry point in DLL " + ExampleLib("uploadguard") +
                              " - Is it a DLL for use with Vantor?");
  EXPECT_EQ(log.lines[3], "2|Loaded external DLL " + ExampleLib("usersfile"));
}

// The example client-check library end to end: accounts from its own text
// file, read through the store's seam from an INI file's [EXTERNAL] section.
TEST(RClientLib, UsersFileLibraryAnswersFromItsFile) {
  TempDir dir;
  const std::string users = dir.Write("users.txt",
                                      "# name:password:home:rights\n"
                                      "outsider:s3cret:C:\\srv\\ftp\\outsider:RW\n"
                                      "reader:pw:/srv/ftp/reader\n");
  ScopedEnv env("VANTOR_USERS_FILE", users);
  const std::string ini = dir.Write("vantor.ini",
                                    "[GLOBAL]\nLogAccessDLL=ON\n[EXTERNAL]\n"
                                    "ClientCheckDLL1=" +
                                        ExampleLib("usersfile") + "\n");
  RIniFile file(ini);
  RClientCheckLibs check;
  {
    LogCapture log;
    check.Reload(file);
  }
  ASSERT_TRUE(check.HasLibraries());
  EXPECT_TRUE(check.Libraries().Trace());

  struct Case {
    const char* user;
    uint32_t code;
    const char* aux;
    uint32_t wantFlag;
    const char* wantAux;  // nullptr: aux unchanged
  };
  const Case cases[] = {
      {"OUTSIDER", QC_PASSWORD, "s3cret", 1, nullptr},
      {"outsider", QC_PASSWORD, "wrong", 0, nullptr},
      {"outsider@2", QC_VERIFY_PASSWORD, "s3cret", 1, nullptr},
      {"outsider", QC_HOME_DIR, "", 1, "C:\\srv\\ftp\\outsider"},
      {"reader", QC_HOME_DIR, "", 1, "/srv/ftp/reader"},
      {"outsider", QC_READ_FILE, "C:\\srv\\ftp\\outsider\\a.txt", 1, nullptr},
      {"outsider", QC_WRITE_FILE, "c:\\SRV\\ftp\\outsider\\sub\\b", 1, nullptr},
      {"outsider", QC_MODIFY_FILE, "C:\\srv\\ftp\\outsider\\a.txt", 0, nullptr},
      {"outsider", QC_READ_FILE, "C:\\srv\\ftp\\outsiders\\a.txt", 0, nullptr},
      {"reader", QC_READ_FILE, "/srv/ftp/reader/x", 0, nullptr},  // no rights: not handled
      {"nobody", QC_PASSWORD, "s3cret", 0, nullptr},
  };
  auto query = [](uint32_t code, const char* user, const char* aux, uint32_t flag) {
    AccessQuery q;
    ClearAccessQuery(q);
    q.code = code;
    q.flag = flag;
    SetQueryUser(q, user);
    SetQueryAux(q, aux);
    q.session = 7;
    return q;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " " + std::to_string(c.code) + " " + c.aux);
    AccessQuery q = query(c.code, c.user, c.aux, 0);
    LogCapture log;
    check.Consult(q);
    EXPECT_EQ(q.flag, c.wantFlag);
    EXPECT_EQ(std::string(QueryAux(q)), c.wantAux != nullptr ? c.wantAux : c.aux);
    EXPECT_FALSE(log.lines.empty()) << "trace on";
  }
  // A store answer of 1 is final for ordinary codes.
  AccessQuery q = query(QC_PASSWORD, "outsider", "wrong", 1);
  check.Consult(q);
  EXPECT_EQ(q.flag, 1u);

  // Reloading from a file without the section unloads the library.
  RIniFile empty(dir.Write("empty.ini", "[GLOBAL]\n"));
  check.Reload(empty);
  EXPECT_FALSE(check.HasLibraries());
}
