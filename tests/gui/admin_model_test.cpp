// The administration API's answers as the window sees them: sessions and
// status into the engine's records, the stream framing, the --connect
// target, the configuration image and its PATCH.
#include "gui/RAdminModel.h"

#include <gtest/gtest.h>

#include "gui/RSessionText.h"
#include "gui/RStatusText.h"
#include "platform/RLocalTime.h"
#include "temp_dir.h"

using namespace vantor;

namespace {

constexpr int64_t kNow = 1780000000;

const char* kSession =
    R"({"number": 12, "user": "JOE", "anonymous": false, "client": "127.0.0.1",
        "clientName": "", "host": null, "ipHome": "127.0.0.1", "state": "logged-in",
        "directory": "C:\\pub", "connectedSeconds": 3725, "idleSeconds": 61,
        "transfer": null, "bytesSent": 1500, "bytesReceived": 30, "tls": null,
        "dataProtection": "C"})";

std::string WithField(const std::string& key, const std::string& value, std::string s = kSession) {
  const size_t at = s.find("\"" + key + "\":");
  const size_t from = s.find(':', at) + 2;
  const size_t to = s.find_first_of(",}", from);
  return s.substr(0, from) + value + s.substr(to);
}

}  // namespace

TEST(AdminModel, SessionFieldsMapToTheWindowsRecords) {
  const auto s = ParseSession(kSession, kNow);
  ASSERT_TRUE(s);
  const RLocalTm at = LocalTime(kNow - 3725);
  EXPECT_EQ(s->line.number, 12u);
  EXPECT_EQ((std::tuple(s->line.hour, s->line.minute, s->line.second)),
            (std::tuple(at.hour, at.minute, at.second)));
  EXPECT_EQ(SessionListLine(s->line).substr(0, 3), "12\t");
  EXPECT_EQ(
      (std::tuple(s->times.connectedHours, s->times.connectedMinutes, s->times.connectedSeconds,
                  s->times.idleMinutes, s->times.idleSeconds, s->times.rate)),
      (std::tuple(1, 2, 5, 1, 1, int64_t{-1})));
  EXPECT_EQ((std::tuple(s->bytes.sent, s->bytes.received, s->bytes.text)),
            (std::tuple(uint64_t{1500}, uint64_t{30}, std::string("C:\\pub"))));
  EXPECT_FALSE(s->host.resolved);
  EXPECT_EQ(SessionSecurityText(s->line), "Not protected; data: clear");
}

TEST(AdminModel, TransferTlsAndHostVariants) {
  struct Case {
    const char* key;
    const char* value;
    uint32_t state;
  } cases[] = {
      {"transfer",
       R"({"direction": "download", "waiting": false, "file": "a.bin", "bytes": 4096, "percent": 0, "rate": 800})",
       kXferSending},
      {"transfer",
       R"({"direction": "upload", "waiting": true, "file": "b.bin", "bytes": 0, "percent": 0, "rate": 0})",
       kXferWaitReceive},
      {"transfer",
       R"({"direction": "listing", "waiting": false, "file": "/", "bytes": 10, "percent": 0, "rate": 0})",
       kXferListing},
      {"transfer", "null", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const auto s = ParseSession(WithField(c.key, c.value), kNow);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->line.transferState, c.state);
    if (c.state == kXferSending) {
      EXPECT_EQ((std::tuple(s->line.file, s->line.transferBytes, s->times.rate)),
                (std::tuple(std::string("a.bin"), int64_t{4096}, int64_t{800})));
    }
  }
  const auto tls = ParseSession(
      WithField("tls", R"({"protocol": "TLSv1.3", "cipher": "TLS_AES_128_GCM_SHA256"})",
                WithField("dataProtection", R"("P")")),
      kNow);
  ASSERT_TRUE(tls);
  EXPECT_EQ(SessionSecurityText(tls->line), "TLSv1.3, TLS_AES_128_GCM_SHA256; data: PROT P");
  const auto host = ParseSession(WithField("host", R"("client.example")"), kNow);
  ASSERT_TRUE(host);
  EXPECT_EQ((std::tuple(host->host.resolved, host->host.name)),
            (std::tuple(true, std::string("client.example"))));
}

TEST(AdminModel, BrokenSessionAnswersAreRefusedWhole) {
  const std::pair<const char*, const char*> cases[] = {
      {"number", "0"},
      {"number", "4294967296"},
      {"connectedSeconds", "-1"},
      {"transfer",
       R"({"direction": "sideways", "waiting": false, "file": "", "bytes": 0, "percent": 0, "rate": 0})"},
      {"transfer", R"({"direction": "download"})"},
      {"tls", R"({"protocol": 1})"},
  };
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE(std::string(key) + "=" + value);
    EXPECT_FALSE(ParseSession(WithField(key, value), kNow));
    // One bad entry refuses the list: never a list that silently lacks it.
    EXPECT_FALSE(
        ParseSessions(std::string("[") + kSession + "," + WithField(key, value) + "]", kNow));
  }
  for (const char* body : {"", "{", "{}", "null", "[1]", R"({"number": 1})"}) {
    SCOPED_TRACE(body);
    EXPECT_FALSE(ParseSessions(body, kNow));
  }
  const auto two =
      ParseSessions(std::string("[") + kSession + "," + WithField("number", "13") + "]", kNow);
  ASSERT_TRUE(two);
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ((*two)[1].line.number, 13u);
  EXPECT_TRUE(ParseSessions("[]", kNow)->empty());
}

TEST(AdminModel, StatusBecomesTheEnginesStatusRecords) {
  const std::string base =
      R"({"online": true, "exitPending": false,
          "connections": {"now": 3, "anonymous": 1},
          "transfers": {"uploadsRunning": 1, "downloadsRunning": 2})";
  struct Case {
    std::string extra;
    std::vector<RStatusRecord> records;
  } cases[] = {
      // An older server without the status bar fields: those are left out.
      {"}", {{STATUS_USERS, 3, 1}, {STATUS_TRANSFERS, 3, 0}, {STATUS_ONLINE, 1, 0}}},
      {R"(, "sockets": {"now": 9, "max": 1024}, "maxUsers": -1, "throughput": 2048})",
       {{STATUS_MAX_SOCKETS, 1024, 0},
        {STATUS_SOCKETS, 9, 0},
        {STATUS_MAX_USERS, -1, 0},
        {STATUS_USERS, 3, 1},
        {STATUS_TRANSFERS, 3, 0},
        {STATUS_THROUGHPUT, 2048, 0},
        {STATUS_ONLINE, 1, 0}}},
      {R"(, "maxUsers": 50, "throughput": 99999999999})",
       {{STATUS_MAX_USERS, 50, 0},
        {STATUS_USERS, 3, 1},
        {STATUS_TRANSFERS, 3, 0},
        {STATUS_THROUGHPUT, 2147483647, 0},
        {STATUS_ONLINE, 1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    const auto s = ParseStatus(base + c.extra);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->records, c.records);
    EXPECT_EQ(s->connectionsNow, 3u);
    EXPECT_TRUE(s->online);
  }
  // Fed to the status display, they give the texts the engine's records give.
  RStatusDisplay d;
  const auto full = ParseStatus(base + cases[1].extra);
  ASSERT_TRUE(full);
  for (const RStatusRecord& r : full->records) d.Apply(r.kind, r.value, r.value2);
  EXPECT_EQ(d.UsersText(), "3 (1) Users");
  EXPECT_EQ(d.Icon(), RTrayIcon::Trans);
  for (const char* bad : {"{}", R"({"online": 1, "connections": {}, "transfers": {}})",
                          R"({"online": true, "connections": {"now": 1}, "transfers": {}})", "x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseStatus(bad));
  }
}

TEST(AdminModel, ServerSentEventsInAnyPieces) {
  const std::string stream =
      ": log\n\ndata: (000001) USER joe\n\nevent: lost\ndata: 17\n\n"
      "data: one\r\ndata: two\r\n\r\n: keep-alive\n\nevent: end\ndata: 1\n\n";
  const std::vector<std::pair<std::string, std::string>> want = {
      {"", "(000001) USER joe"}, {"lost", "17"}, {"", "one\ntwo"}, {"end", "1"}};
  for (size_t piece : {stream.size(), size_t{1}, size_t{3}, size_t{7}}) {
    SCOPED_TRACE(piece);
    RSseParser p;
    std::vector<std::pair<std::string, std::string>> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
      for (auto& e : p.Feed(std::string_view(stream).substr(at, piece)))
        got.emplace_back(e.event, e.data);
    }
    EXPECT_EQ(got, want);
  }
  // An endless line is dropped, and the stream goes on after it.
  RSseParser p;
  EXPECT_TRUE(p.Feed("data: " + std::string(RSseParser::kMaxLine + 10, 'x')).empty());
  const auto after = p.Feed("\n\ndata: next\n\n");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].data, "next");
}

TEST(AdminModel, ConnectTargets) {
  struct Case {
    const char* text;
    const char* socket;  // nullptr: refused
    const char* url;
  } cases[] = {
      {"unix:/run/vantor/admin.sock", "/run/vantor/admin.sock", ""},
      {"https://ftp.example.org:8021", "", "https://ftp.example.org:8021"},
      {"https://[2001:db8::1]:8021", "", "https://[2001:db8::1]:8021"},
      {"http://127.0.0.1:8021", "", "http://127.0.0.1:8021"},
      // The token would cross the network in clear.
      {"http://ftp.example.org:8021", nullptr, nullptr},
      {"unix:", nullptr, nullptr},
      {"ftp.example.org:8021", nullptr, nullptr},
      {"https://ftp.example.org", nullptr, nullptr},
      {"https://ftp.example.org:0", nullptr, nullptr},
      {"https://ftp.example.org:8021/v1", nullptr, nullptr},
      {"https://user@ftp.example.org:8021", nullptr, nullptr},
      {"https://[2001:db8::1:8021", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto t = ParseConnectTarget(c.text, &error);
    if (c.socket == nullptr) {
      EXPECT_FALSE(t);
      EXPECT_FALSE(error.empty());
      continue;
    }
    ASSERT_TRUE(t) << error;
    EXPECT_EQ((std::tuple(t->socketPath, t->baseUrl)), (std::tuple(c.socket, c.url)));
  }
}

TEST(AdminModel, ConfigImageAndItsPatch) {
  const char* served =
      R"({"GLOBAL": {"PortNr": "2121", "MaxNrUsers": "10", "Logging": "ON"},
          "USER=joe": {"Password": "********", "HomeDir": "C:\\"},
          "IPHOMES": {"1": "127.0.0.1"}})";
  const auto text = ConfigToIniText(served);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "[GLOBAL]\nPortNr=2121\nMaxNrUsers=10\nLogging=ON\n[USER=joe]\nPassword=********\n"
            "HomeDir=C:\\\n[IPHOMES]\n1=127.0.0.1\n");
  for (const char* bad : {R"({"GLOBAL": {"A": 1}})", R"({"GLOBAL": {"A": "x\ny"}})",
                          R"({"GLOBAL": {"A=B": "1"}})", R"({"G]X": {}})", R"({"G": "x"})", "[]"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ConfigToIniText(bad));
  }

  test::TempDir dir;
  const std::string before = dir.Write("served.ini", *text);
  struct Case {
    std::string after;
    std::string patch;
  } cases[] = {
      {*text, ""},
      // A changed key (case as the file has it), the mask left alone.
      {"[GLOBAL]\nPortNr=2121\nmaxnrusers=20\nLogging=ON\n[USER=joe]\nPassword=********\n"
       "HomeDir=C:\\\n[IPHOMES]\n1=127.0.0.1\n",
       R"({"GLOBAL":{"maxnrusers":"20"}})"},
      // A removed key and a new section.
      {"[GLOBAL]\nPortNr=2121\nMaxNrUsers=10\n[USER=joe]\nPassword=********\nHomeDir=C:\\\n"
       "[IPHOMES]\n1=127.0.0.1\n[USER=ann]\nHomeDir=\n",
       R"({"GLOBAL":{"Logging":null},"USER=ann":{"HomeDir":""}})"},
      // A removed section: each of its keys goes.
      {"[GLOBAL]\nPortNr=2121\nMaxNrUsers=10\nLogging=ON\n[IPHOMES]\n1=127.0.0.1\n",
       R"({"USER=joe":{"Password":null,"HomeDir":null}})"},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    const std::string after = dir.Write("image" + std::to_string(i++) + ".ini", c.after);
    EXPECT_EQ(ConfigPatchBody(RIniFile(before), RIniFile(after)), c.patch);
  }
}
