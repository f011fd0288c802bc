// The counters of the metrics text and the text itself.
#include "ftp/RMetrics.h"

#include <string>

#include "ftp_fixture.h"
#include "tls_certificate.h"

namespace vantor {
namespace {

struct Counts {
  uint64_t success = 0, failure = 0, refused = 0;
  uint64_t limits = 0, rules = 0, hammer = 0;
  bool operator==(const Counts&) const = default;
};

Counts Read(const RMetrics& m) {
  return {m.Logins(RLoginResult::Success), m.Logins(RLoginResult::Failure),
          m.Logins(RLoginResult::Refused), m.Refusals(RRefusal::Limits),
          m.Refusals(RRefusal::Rules),     m.Refusals(RRefusal::AntiHammering)};
}

std::ostream& operator<<(std::ostream& o, const Counts& c) {
  return o << "logins " << c.success << "/" << c.failure << "/" << c.refused << " refused "
           << c.limits << "/" << c.rules << "/" << c.hammer;
}

// An account store in miniature: password "secret"; 10.9.9.9 is refused at
// admission, CAROL from every address; DAVE has no home; ERIN may log in
// once per address.
class MetricsTest : public FtpTest {
 protected:
  void SetUp() override {
    Start("[GLOBAL]\nPortNr=0\n", false);
    manager_->SetAccessHandler([this](AccessQuery& q) { Answer(q); });
  }
  // The sessions' end asks the handler, which is this object's: the manager
  // goes while it still exists.
  void TearDown() override { manager_.reset(); }
  void Answer(AccessQuery& q) {
    const std::string user = q.user;
    q.flag = 1;
    switch (q.code) {
      case QC_PASSWORD:
        q.flag = QueryAux(q) == "secret" ? 1 : 0;
        break;
      case QC_IP_ACCESS:
        q.flag = QueryAux(q) == "10.9.9.9" || user == "CAROL" ? 0 : 1;
        break;
      case QC_HOME_DIR:
        q.flag = user == "DAVE" ? 0 : 1;
        SetQueryAux(q, dir_);
        break;
      case QC_MAX_LOGIN_PER_IP:
        q.flag = user == "ERIN" ? 1 : 0;
        SetQueryAux(q, "1");
        break;
      case QC_PASS_CHALLENGE:
      case QC_LOGIN_MES_FILE:
      case QC_ONE_LOGIN_PER_IP:
      case QC_TIME_OUT:
      case QC_SPEED_LIMIT:
      case QC_REQUIRE_TLS:
        q.flag = 0;
        break;
      default:
        break;
    }
  }
  void Login(RFTPSComInterp* s, const std::string& user, const std::string& password) {
    (void)Send(s, "USER " + user);
    (void)Send(s, "PASS " + password);
  }
};

// Each login outcome and refusal is counted once, where it is decided, and
// a wrong password logs the line with the client's address.
TEST_F(MetricsTest, CountersAfterLoginEvents) {
  struct Case {
    const char* what;
    std::string client, user, password;
    Counts want;  // cumulative
  };
  const Case cases[] = {
      {"good password", "10.1.2.3", "joe", "secret", {1, 0, 0, 0, 0, 0}},
      {"wrong password", "10.1.2.4", "joe", "nope", {1, 1, 0, 0, 0, 0}},
      {"address refused at admission", "10.9.9.9", "", "", {1, 1, 0, 0, 1, 0}},
      {"account's address rule", "10.1.2.5", "carol", "secret", {1, 1, 1, 0, 2, 0}},
      {"no home directory", "10.1.2.6", "dave", "secret", {1, 1, 2, 0, 2, 0}},
      {"first of ERIN", "10.1.2.7", "erin", "secret", {2, 1, 2, 0, 2, 0}},
      {"second of ERIN", "10.1.2.7", "erin", "secret", {2, 1, 3, 1, 2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RFTPSComInterp* s = Detached(c.client);
    if (!c.user.empty()) Login(s, c.user, c.password);
    EXPECT_EQ(Read(manager_->Metrics()), c.want);
  }
  EXPECT_EQ(log_.Count("Login failed from 10.1.2.4 for user \"JOE\""), 1);
  EXPECT_EQ(log_.Count("Login failed"), 1);
}

// Three wrong passwords in a row are three failures; the session is then
// closed, which is no refusal of its own.
TEST_F(MetricsTest, WrongPasswordsEachCounted) {
  RFTPSComInterp* s = Detached("10.1.2.3");
  for (int i = 0; i < 3; ++i) Login(s, "joe", "bad" + std::to_string(i));
  EXPECT_EQ(Read(manager_->Metrics()), (Counts{0, 3, 0, 0, 0, 0}));
  EXPECT_EQ(log_.Count("Login failed from 10.1.2.3 for user \"JOE\""), 3);
}

// The pass histogram: each bound is inclusive, a pass past the last one
// counts only in +Inf, and the sum is kept in nanoseconds.
TEST(RMetrics, PassHistogramBuckets) {
  RMetrics m;
  for (int64_t ns : {int64_t{0}, int64_t{50'000}, int64_t{50'001}, int64_t{1'000'000},
                     int64_t{6'000'000'000}, int64_t{-5}}) {
    m.ObservePass(ns);
  }
  const RPassHistogramStr& h = m.Passes();
  EXPECT_EQ(h.count, 6u);
  EXPECT_EQ(h.sumNs, 6'001'100'001u);
  EXPECT_EQ(h.counts[0], 3u);  // 0, 50 us and the negative one
  EXPECT_EQ(h.counts[1], 1u);  // just past 50 us
  EXPECT_EQ(h.counts[4], 1u);  // 1 ms
  uint64_t inBuckets = 0;
  for (uint64_t c : h.counts) inBuckets += c;
  EXPECT_EQ(inBuckets, 5u);
}

// Label values escaped as the format says; bytes that are not UTF-8 would
// make a scraper drop the whole text.
TEST(RMetrics, LabelEscaping) {
  const std::pair<std::string, std::string> cases[] = {
      {"JOE", "JOE"},
      {"a\"b", "a\\\"b"},
      {"back\\slash", "back\\\\slash"},
      {"line\nfeed", "line\\nfeed"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"bad\xFFone", "bad\xEF\xBF\xBDone"},
      {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(EscapeMetricLabel(in), want);
  }
}

// The whole text for a known state: families in order with HELP and TYPE,
// every label value present from the start (a counter appears at 0), and
// per-user series only when asked for.
TEST(RMetrics, RenderedText) {
  RMetrics m;
  m.CountConnection();
  m.CountConnection();
  m.CountLogin(RLoginResult::Success);
  m.CountRefusal(RRefusal::AntiHammering);
  m.CountTransfer(true, false, 1000, "JOE");
  m.CountTransfer(false, true, 20, "JOE");
  m.CountTlsHandshake(true);
  m.ObservePass(300'000);
  RMetricsLiveStr live;
  live.sessions = 3;
  live.loggedIn = 1;
  live.workerQueueJobs = 2;
  live.version = "2.5.11.3";
  std::string text = RenderMetricsText(m, live);
  const std::string want =
      "# HELP vantor_sessions Control connections now, logged in or not.\n"
      "# TYPE vantor_sessions gauge\n"
      "vantor_sessions 3\n"
      "# HELP vantor_sessions_logged_in Sessions logged in now.\n"
      "# TYPE vantor_sessions_logged_in gauge\n"
      "vantor_sessions_logged_in 1\n"
      "# HELP vantor_connections_total Control connections accepted.\n"
      "# TYPE vantor_connections_total counter\n"
      "vantor_connections_total 2\n"
      "# HELP vantor_logins_total Passwords answered, by outcome.\n"
      "# TYPE vantor_logins_total counter\n"
      "vantor_logins_total{result=\"success\"} 1\n"
      "vantor_logins_total{result=\"failure\"} 0\n"
      "vantor_logins_total{result=\"refused\"} 0\n"
      "# HELP vantor_transfers_total File transfers ended, by direction and outcome.\n"
      "# TYPE vantor_transfers_total counter\n"
      "vantor_transfers_total{direction=\"download\",result=\"complete\"} 0\n"
      "vantor_transfers_total{direction=\"download\",result=\"failed\"} 1\n"
      "vantor_transfers_total{direction=\"upload\",result=\"complete\"} 1\n"
      "vantor_transfers_total{direction=\"upload\",result=\"failed\"} 0\n"
      "# HELP vantor_transfer_bytes_total Bytes moved by ended file transfers.\n"
      "# TYPE vantor_transfer_bytes_total counter\n"
      "vantor_transfer_bytes_total{direction=\"download\"} 20\n"
      "vantor_transfer_bytes_total{direction=\"upload\"} 1000\n"
      "# HELP vantor_tls_handshakes_total TLS handshakes ended on control and data "
      "connections, by outcome.\n"
      "# TYPE vantor_tls_handshakes_total counter\n"
      "vantor_tls_handshakes_total{result=\"success\"} 1\n"
      "vantor_tls_handshakes_total{result=\"failure\"} 0\n"
      "# HELP vantor_refused_total Connections and logins turned away, by reason.\n"
      "# TYPE vantor_refused_total counter\n"
      "vantor_refused_total{reason=\"limits\"} 0\n"
      "vantor_refused_total{reason=\"rules\"} 0\n"
      "vantor_refused_total{reason=\"anti_hammering\"} 1\n"
      "# HELP vantor_worker_queue_jobs File jobs waiting for a worker thread.\n"
      "# TYPE vantor_worker_queue_jobs gauge\n"
      "vantor_worker_queue_jobs 2\n"
      "# HELP vantor_loop_pass_seconds Busy time of each pass of the event loop.\n"
      "# TYPE vantor_loop_pass_seconds histogram\n"
      "vantor_loop_pass_seconds_bucket{le=\"5e-05\"} 0\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.0001\"} 0\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.00025\"} 0\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.0005\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.001\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.0025\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.005\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.01\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.025\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.05\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.1\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"0.25\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"1\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"5\"} 1\n"
      "vantor_loop_pass_seconds_bucket{le=\"+Inf\"} 1\n"
      "vantor_loop_pass_seconds_sum 0.0003\n"
      "vantor_loop_pass_seconds_count 1\n"
      "# HELP vantor_build_info The running version; always 1.\n"
      "# TYPE vantor_build_info gauge\n"
      "vantor_build_info{version=\"2.5.11.3\"} 1\n";
  EXPECT_EQ(text, want);
  EXPECT_EQ(m.UserBytes().size(), 0u) << "nothing per user unless asked for";

  m.SetPerUser(true);
  m.CountTransfer(true, false, 5, "JOE");
  m.CountTransfer(false, false, 7, "A\"B");
  live.userSessions = {{"JOE", 1}};
  text = RenderMetricsText(m, live);
  const std::string perUser =
      "# HELP vantor_user_sessions Sessions logged in now, per account.\n"
      "# TYPE vantor_user_sessions gauge\n"
      "vantor_user_sessions{user=\"JOE\"} 1\n"
      "# HELP vantor_user_transfer_bytes_total Bytes moved by ended file transfers, per account.\n"
      "# TYPE vantor_user_transfer_bytes_total counter\n"
      "vantor_user_transfer_bytes_total{user=\"A\\\"B\",direction=\"download\"} 7\n"
      "vantor_user_transfer_bytes_total{user=\"A\\\"B\",direction=\"upload\"} 0\n"
      "vantor_user_transfer_bytes_total{user=\"JOE\",direction=\"download\"} 0\n"
      "vantor_user_transfer_bytes_total{user=\"JOE\",direction=\"upload\"} 5\n";
  ASSERT_GE(text.size(), perUser.size());
  EXPECT_EQ(text.substr(text.size() - perUser.size()), perUser);
  m.SetPerUser(false);
  EXPECT_EQ(m.UserBytes().size(), 0u) << "turned off, the per-user counts are forgotten";
}

// Connections are counted as accepted; an address blocked by
// anti-hammering is closed without a byte and gets no session, and is
// counted as such, once per refused connection.
class MetricsLoopbackTest : public LoopbackTest {};

TEST_F(MetricsLoopbackTest, ConnectionsAndAntiHammering) {
  Serve("AntiHammer=YES\nAntiHammerTries=2\nAntiHammerWindow=60\n");
  for (int i = 0; i < 4; ++i) {
    Peer p = Client();
    if (i < 2) {
      EXPECT_EQ(Line(p), "220 Vantor FTP-Server v2.5k for WinSock ready...");
    } else {
      EXPECT_TRUE(Closed(p));
      EXPECT_EQ(p.buf, "") << "a blocked address is closed without a reply";
    }
  }
  const RMetrics& m = manager_->Metrics();
  EXPECT_EQ(m.Connections(), 4u);
  EXPECT_EQ(m.Refusals(RRefusal::AntiHammering), 2u);
  EXPECT_GT(m.Passes().count, 0u) << "the loop's passes are measured";
  EXPECT_EQ(RenderMetricsText(*manager_).find("vantor_sessions 2\n") != std::string::npos, true);
}

// A handshake cut short by the session's end is a failed one; a handshake
// past MaxPreLoginPerIP on the implicit port is refused as a limit.
TEST_F(MetricsLoopbackTest, HandshakeEndedByKillAndRefusedByLimit) {
  test::MakeCertificate(dir_ + "/cert.pem", dir_ + "/key.pem", 30);
  const int implicit = FreePort();
  Serve("MaxPreLoginPerIP=1\nTLSCertificateFile=" + dir_ + "/cert.pem\nTLSPrivateKeyFile=" + dir_ +
        "/key.pem\nTLSImplicitPortNr=" + std::to_string(implicit) + "\n");
  Peer silent{ConnectTo(implicit, "127.0.0.3"), {}};
  EXPECT_FALSE(Closed(silent, kQuiet));
  Peer second{ConnectTo(implicit, "127.0.0.3"), {}};
  EXPECT_TRUE(Closed(second));
  const RMetrics& m = manager_->Metrics();
  EXPECT_EQ(m.Refusals(RRefusal::Limits), 1u);
  ASSERT_EQ(manager_->SessionCount(), 1u);
  EXPECT_EQ(m.TlsHandshakes(false), 0u) << "still in progress";
  manager_->RemoveSession(manager_->SessionNumbers().at(0));
  EXPECT_EQ(m.TlsHandshakes(false), 1u);
  EXPECT_EQ(m.TlsHandshakes(true), 0u);
  EXPECT_EQ(m.Connections(), 2u);
}

}  // namespace
}  // namespace vantor
