// The PostgreSQL client and the cluster store's statements, against a real
// PostgreSQL server started for this suite.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/RClusterStore.h"
#include "accounts/RFTPQuota.h"
#include "accounts/RFTPSSecurity.h"
#include "accounts/RSKey.h"
#include "accounts_test_util.h"
#include "net/RPgClient.h"
#include "pg_server.h"
#include "platform/RMessageLoop.h"

namespace vantor {
namespace {

using Status = RPgResultStr::Status;

class ClusterStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new test::PgServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->Available()) GTEST_SKIP() << "PostgreSQL is not installed (package postgresql)";
    ASSERT_TRUE(server_->Started()) << "PostgreSQL did not start in " << server_->SocketDir();
    db_ = server_->NewDatabase();
  }

  // Runs the loop until `done` says so, for at most `seconds`.
  bool RunUntil(const std::function<bool()>& done, int seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop_.RunOnce(20);
    }
    return true;
  }
  RPgClient::Options Options(int64_t timeoutMs = 5000) const {
    RPgClient::Options o;
    o.connInfo = server_->ConnInfo(db_);
    o.statementTimeoutMs = timeoutMs;
    o.minBackoffMs = 20;
    o.maxBackoffMs = 200;
    return o;
  }
  RClusterSettings Settings(const std::string& node) const {
    RClusterSettings s;
    s.enabled = true;
    s.connInfo = server_->ConnInfo(db_);
    s.node = node;
    return s;
  }
  // Calls `call` with a callback that keeps its one answer, and waits for
  // it (`none` if it never comes).
  template <typename T, typename Call>
  T Await(Call&& call, T none = T{}) {
    std::optional<T> got;
    call([&](T v) { got = std::move(v); });
    EXPECT_TRUE(RunUntil([&] { return got.has_value(); }));
    return got.value_or(std::move(none));
  }
  std::unique_ptr<RPgClient> Connected(int64_t timeoutMs = 5000) {
    auto c = std::make_unique<RPgClient>(loop_, Options(timeoutMs));
    c->Start();
    EXPECT_TRUE(RunUntil([&] { return c->Up(); }));
    return c;
  }
  RPgResultStr Sql(RPgClient& c, const std::string& sql, RPgParams params = {}) {
    return Await<RPgResultStr>([&](auto keep) { c.Query(sql, std::move(params), keep); });
  }
  // The answers of `sqls` as "first/second" cells, or the error.
  std::vector<std::string> Pairs(const std::vector<std::pair<std::string, RPgParams>>& sqls) {
    auto c = Connected();
    std::vector<std::string> got;
    for (const auto& [sql, params] : sqls) {
      c->Query(sql, params, [&](const RPgResultStr& r) {
        got.push_back(r.Ok() ? r.Text(0, 0) + "/" + r.Text(0, 1) : r.error);
      });
    }
    EXPECT_TRUE(RunUntil([&] { return got.size() == sqls.size(); }));
    return got;
  }
  std::pair<bool, std::string> ReadSKey(RClusterStore& s, const std::string& account,
                                        const std::string& local) {
    return Await<std::pair<bool, std::string>>(
        [&](auto keep) {
          s.ReadSKey(account, local, [=](bool ok, const std::string& r) { keep({ok, r}); });
        },
        {false, "unanswered"});
  }
  void TerminateAll() {
    ASSERT_EQ(server_->Psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                            "WHERE pid <> pg_backend_pid() AND datname = current_database();",
                            db_),
              0);
  }
  std::unique_ptr<RClusterStore> ReadyStore(const std::string& node) {
    auto store = std::make_unique<RClusterStore>(loop_, Settings(node), "");
    store->Start([this](const std::string& line) { log_.push_back(line); });
    EXPECT_TRUE(RunUntil([&] { return store->Ready(); })) << node << " never became ready";
    return store;
  }
  void InitSchema() {
    RClusterStore store(loop_, Settings("init"), "");
    store.Start(nullptr);
    ASSERT_TRUE(RunUntil([&] { return store.Client().Up(); }));
    ASSERT_TRUE(Await<bool>(
        [&](auto keep) { store.Init([=](bool good, const std::string&) { keep(good); }); }));
  }
  RClusterAdmit Register(RClusterStore& s, uint32_t n, const std::string& account,
                         const std::string& client, RSessionLimitsStr limits) {
    return Await<RClusterAdmit>(
        [&](auto keep) { s.RegisterSession(n, account, client, limits, keep); },
        RClusterAdmit::Unavailable);
  }
  using Answer = RClusterStore::RChargeAnswerStr;
  Answer Charge(RClusterStore& s, const std::string& account, int64_t amount, int64_t maximum,
                int64_t seed = 0) {
    return Await<Answer>(
        [&](auto keep) { s.ChargeQuota(account, amount, maximum, seed, 5000, keep); });
  }
  // The account's usage as the database holds it (-1: no row).
  int64_t Used(const std::string& account) {
    const RPgResultStr r =
        Sql(*Connected(), "SELECT coalesce((SELECT used FROM vantor_quota WHERE account = $1), -1)",
            {account});
    return r.Ok() ? r.Int(0, 0) : -2;
  }
  int64_t Count(RClusterStore& s, const std::string& account, const std::string& client = "") {
    return Await<int64_t>(
        [&](auto keep) {
          s.CountSessions(account, client, [=](bool ok, int64_t n) { keep(ok ? n : -1); });
        },
        -1);
  }
  // The first cell of `sql`'s answer on `s`'s connection ("?": failed).
  std::string Cell(RClusterStore& s, const std::string& sql) {
    const RPgResultStr r = Sql(s.Client(), sql);
    return r.Ok() ? r.Text(0, 0) : "?";
  }

  static test::PgServer* server_;
  RMessageLoop loop_;
  std::string db_;
  std::vector<std::string> log_;
};
test::PgServer* ClusterStoreTest::server_ = nullptr;

// Statements sent in one pass are answered in order, with their values and
// NULLs, and a failing one leaves its neighbours unharmed.
TEST_F(ClusterStoreTest, ClientAnswersPipelinedStatementsInOrder) {
  auto client = Connected();
  RPgClient& c = *client;
  std::vector<RPgResultStr> got;
  auto keep = [&](const RPgResultStr& r) { got.push_back(r); };
  c.Query("SELECT $1::int + 1, $2::text", {"41", std::nullopt}, keep);
  c.Query("SELECT 1/0", {}, keep);
  c.Query("CREATE TABLE t (v text)", {}, keep);
  c.Query("INSERT INTO t VALUES ($1), ($2)", {"a'b", "c\"d"}, keep);
  c.Query("SELECT v FROM t ORDER BY v", {}, keep);
  EXPECT_EQ(c.InFlight(), 5u);
  ASSERT_TRUE(RunUntil([&] { return got.size() == 5; }));
  EXPECT_EQ(got[0].status, Status::Ok);
  EXPECT_EQ(got[0].Int(0, 0), 42);
  EXPECT_FALSE(got[0].rows[0][1].has_value());
  EXPECT_EQ(got[1].status, Status::Failed);
  EXPECT_EQ(got[1].sqlState, "22012");
  EXPECT_EQ(got[2].status, Status::Ok);
  EXPECT_EQ(got[3].affected, 2);
  ASSERT_EQ(got[4].rows.size(), 2u);
  EXPECT_EQ(got[4].Text(0, 0), "a'b");
  EXPECT_EQ(got[4].Text(1, 0), "c\"d");
}

// A database that cannot be reached answers at once with Unavailable, says
// so once, and keeps trying.
TEST_F(ClusterStoreTest, ClientUnreachableAnswersUnavailable) {
  RPgClient::Options o = Options();
  o.connInfo = "host=" + server_->SocketDir() + "/none port=5432 user=vantor dbname=x";
  RPgClient c(loop_, o);
  int downs = 0;
  c.OnStateChange([&](bool up, const std::string&) { downs += up ? 0 : 1; });
  c.Start();
  ASSERT_TRUE(RunUntil([&] { return downs > 0; }));
  std::optional<RPgResultStr> got;
  c.Query("SELECT 1", {}, [&](const RPgResultStr& r) { got = r; });
  EXPECT_FALSE(got.has_value()) << "answered inside the call";
  ASSERT_TRUE(RunUntil([&] { return got.has_value(); }));
  EXPECT_EQ(got->status, Status::Unavailable);
  EXPECT_FALSE(c.LastError().empty());
  // Several failed attempts later, still one report.
  const uint64_t before = c.Connects();
  loop_.AddTimer(300, false, [] {});
  bool waited = false;
  loop_.AddTimer(300, false, [&] { waited = true; });
  ASSERT_TRUE(RunUntil([&] { return waited; }));
  EXPECT_EQ(downs, 1);
  EXPECT_EQ(c.Connects(), before);
}

// A statement left unanswered past the time-out is answered TimedOut and the
// connection is made again; one lost with the server is answered Lost.
TEST_F(ClusterStoreTest, ClientTimeoutAndLossThenReconnect) {
  auto client = Connected(300);
  RPgClient& c = *client;
  std::optional<RPgResultStr> slow, next;
  c.Query("SELECT pg_sleep(3)", {}, [&](const RPgResultStr& r) { slow = r; });
  c.Query("SELECT 2", {}, [&](const RPgResultStr& r) { next = r; });
  ASSERT_TRUE(RunUntil([&] { return slow.has_value() && next.has_value(); }));
  EXPECT_EQ(slow->status, Status::TimedOut);
  EXPECT_EQ(next->status, Status::TimedOut);
  ASSERT_TRUE(RunUntil([&] { return c.Up() && c.Connects() == 2; }));

  std::optional<RPgResultStr> lost;
  c.Query("SELECT pg_sleep(0.2)", {}, [&](const RPgResultStr& r) { lost = r; });
  server_->Stop();
  ASSERT_TRUE(RunUntil([&] { return lost.has_value(); }));
  // Cut off, or ended by the shutdown itself (and so rolled back).
  EXPECT_TRUE(lost->status == Status::Lost ||
              (lost->status == Status::Failed && lost->sqlState == "57P01"))
      << "status " << static_cast<int>(lost->status) << " " << lost->sqlState;
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(RunUntil([&] { return c.Up() && c.Connects() == 3; }, 30));
  EXPECT_EQ(Sql(c, "SELECT 3").Int(0, 0), 3);
}

// Without a schema the store says so and admits nobody through the
// database; init creates it, again and from two machines at once.
TEST_F(ClusterStoreTest, SchemaMissingThenInitIdempotent) {
  RClusterStore bare(loop_, Settings("a"), "");
  bare.Start([this](const std::string& line) { log_.push_back(line); });
  ASSERT_TRUE(RunUntil([&] { return bare.State() == RClusterStore::RState::SchemaWrong; }));
  ASSERT_FALSE(log_.empty());
  EXPECT_EQ(log_.back(), "Cluster store: the database has no schema; run vantor --cluster-init");
  EXPECT_EQ(Register(bare, 1, "U", "1.2.3.4", {}), RClusterAdmit::Unavailable);

  RClusterStore a(loop_, Settings("a"), ""), b(loop_, Settings("b"), "");
  a.Start(nullptr);
  b.Start(nullptr);
  ASSERT_TRUE(RunUntil([&] { return a.Client().Up() && b.Client().Up(); }));
  std::vector<std::string> lines;
  a.Init([&](bool ok, const std::string& l) { lines.push_back((ok ? "+" : "-") + l); });
  b.Init([&](bool ok, const std::string& l) { lines.push_back((ok ? "+" : "-") + l); });
  ASSERT_TRUE(RunUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines[0], "+Cluster store: the schema is at version 7");
  EXPECT_EQ(lines[1], "+Cluster store: the schema is at version 7");
  ASSERT_EQ(server_->Psql("UPDATE vantor_schema SET version = 0;", db_), 0);
  RClusterStore old(loop_, Settings("c"), "");
  log_.clear();
  old.Start([this](const std::string& line) { log_.push_back(line); });
  ASSERT_TRUE(RunUntil([&] { return old.State() == RClusterStore::RState::SchemaWrong; }));
  EXPECT_EQ(
      log_.back(),
      "Cluster store: the schema is version 0, this server needs 7; run vantor --cluster-init");

  // A schema of the previous version gains what this one added, and keeps
  // what it held.
  ASSERT_EQ(
      server_->Psql("DROP TABLE vantor_skey, vantor_ratio, vantor_ratio_charges, vantor_uploads, "
                    "vantor_passwords; "
                    "DROP FUNCTION vantor_skey_read; DROP FUNCTION vantor_skey_swap; "
                    "DROP FUNCTION vantor_ratio_charge; DROP FUNCTION vantor_ratio_undo; "
                    "UPDATE vantor_schema SET version = 3; "
                    "INSERT INTO vantor_quota VALUES ('KEPT', 42);",
                    db_),
      0);
  lines.clear();
  a.Init([&](bool ok, const std::string& l) { lines.push_back((ok ? "+" : "-") + l); });
  ASSERT_TRUE(RunUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "+Cluster store: the schema is at version 7");
  EXPECT_EQ(Used("KEPT"), 42);
  ASSERT_TRUE(RunUntil([&] { return old.Ready(); }, 30));
}

// The limits hold across nodes: an account's, a client address's and the
// server's, and a leave frees the slot.
TEST_F(ClusterStoreTest, LimitsHoldAcrossNodes) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  struct Case {
    RClusterStore* node;
    uint32_t session;
    const char* account;
    const char* client;
    RSessionLimitsStr limits;
    RClusterAdmit want;
  };
  const Case cases[] = {
      {a.get(), 1, "ALICE", "10.0.0.1", {-1, 2, -1}, RClusterAdmit::Admitted},
      {b.get(), 1, "ALICE", "10.0.0.2", {-1, 2, -1}, RClusterAdmit::Admitted},
      {b.get(), 2, "ALICE", "10.0.0.3", {-1, 2, -1}, RClusterAdmit::AccountFull},
      {a.get(), 2, "BOB", "10.0.0.1", {-1, -1, 1}, RClusterAdmit::Admitted},
      {b.get(), 3, "BOB", "10.0.0.1", {-1, -1, 1}, RClusterAdmit::AddressFull},
      {b.get(), 4, "BOB", "10.0.0.9", {-1, -1, 1}, RClusterAdmit::Admitted},
      {a.get(), 3, "CAROL", "10.0.0.5", {4, -1, -1}, RClusterAdmit::ServerFull},
      {a.get(), 4, "CAROL", "10.0.0.5", {5, -1, -1}, RClusterAdmit::Admitted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.account) + " " + std::to_string(c.session));
    EXPECT_EQ(Register(*c.node, c.session, c.account, c.client, c.limits), c.want);
  }
  EXPECT_EQ(Count(*a, ""), 5);
  EXPECT_EQ(Count(*b, "ALICE"), 2);
  EXPECT_EQ(Count(*b, "BOB", "10.0.0.1"), 1);
  a->LeaveSession(1);
  EXPECT_EQ(Count(*a, "ALICE"), 1);  // on a's connection: after its leave
  EXPECT_EQ(Register(*b, 2, "ALICE", "10.0.0.3", {-1, 2, -1}), RClusterAdmit::Admitted);
}

// Logins racing on two nodes for the last slot: exactly the limit gets in.
TEST_F(ClusterStoreTest, RacingLoginsNeverOvershoot) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  int admitted = 0, refused = 0;
  for (uint32_t n = 1; n <= 20; ++n) {
    RClusterStore& s = n % 2 == 0 ? *a : *b;
    s.RegisterSession(n, "DAVE", "10.0.0.1", {-1, 3, -1}, [&](RClusterAdmit r) {
      (r == RClusterAdmit::Admitted ? admitted : refused)++;
    });
  }
  ASSERT_TRUE(RunUntil([&] { return admitted + refused == 20; }));
  EXPECT_EQ(admitted, 3);
  EXPECT_EQ(Count(*a, "DAVE"), 3);
}

// A node whose lease ran out no longer holds slots; when it comes back its
// sessions count again, and after a reconnect it writes its list again.
TEST_F(ClusterStoreTest, ExpiredLeaseFreesSlotsAndReconnectRewrites) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  ASSERT_EQ(Register(*a, 1, "ERIN", "10.0.0.1", {-1, 1, -1}), RClusterAdmit::Admitted);
  EXPECT_EQ(Register(*b, 1, "ERIN", "10.0.0.2", {-1, 1, -1}), RClusterAdmit::AccountFull);
  ASSERT_EQ(server_->Psql("UPDATE vantor_nodes SET lease_until = now() - interval '1 second' "
                          "WHERE node = 'a';",
                          db_),
            0);
  EXPECT_EQ(Count(*b, "ERIN"), 0);
  EXPECT_EQ(Register(*b, 1, "ERIN", "10.0.0.2", {-1, 2, -1}), RClusterAdmit::Admitted);
  a->RenewLease();
  EXPECT_EQ(Count(*a, "ERIN"), 2);

  // Lost rows come back with the full write after the reconnect.
  ASSERT_EQ(server_->Psql("DELETE FROM vantor_sessions WHERE node = 'a';", db_), 0);
  EXPECT_EQ(Count(*b, "ERIN"), 1);
  server_->Stop();
  ASSERT_TRUE(RunUntil([&] { return !a->Ready() && !b->Ready(); }));
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(RunUntil([&] { return a->Ready() && b->Ready(); }, 30));
  EXPECT_EQ(Count(*b, "ERIN"), 2);
  a->LeaveSession(1);
  EXPECT_EQ(Count(*a, "ERIN"), 1);
}

using RCharge = RClusterStore::RCharge;

// One statement per charge: a use past the maximum is refused and changes
// nothing, a release never goes below 0, the first charge starts at the seed.
TEST_F(ClusterStoreTest, QuotaChargesRefusedPastMaximum) {
  InitSchema();
  auto a = ReadyStore("a");
  struct Case {
    int64_t amount, maximum, seed;
    RCharge want;
    int64_t used;
  } const cases[] = {
      {400, 1000, 300, RCharge::Done, 700},   // starts at the INI's 300
      {301, 1000, 0, RCharge::Refused, 700},  // one byte too many
      {300, 1000, 0, RCharge::Done, 1000},    // exactly to the maximum
      {-250, 1000, 0, RCharge::Done, 750},    // a refund
      {-5000, 1000, 0, RCharge::Done, 0},     // never below 0
      {1, 0, 0, RCharge::Refused, 0},         // a maximum of 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.amount));
    const auto got = Charge(*a, "QUOTA", c.amount, c.maximum, c.seed);
    EXPECT_EQ(got.outcome, c.want);
    EXPECT_EQ(got.used, c.used);
  }
  EXPECT_EQ(Used("QUOTA"), 0);
}

// Uses racing from two nodes never pass the maximum together.
TEST_F(ClusterStoreTest, QuotaRacingChargesNeverOvershoot) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  int done = 0, refused = 0;
  for (int i = 0; i < 40; ++i) {
    RClusterStore& s = i % 2 == 0 ? *a : *b;
    s.ChargeQuota("RACE", 100, 1000, 0, 5000,
                  [&](const Answer& r) { (r.outcome == RCharge::Done ? done : refused)++; });
  }
  ASSERT_TRUE(RunUntil([&] { return done + refused == 40; }));
  EXPECT_EQ(done, 10);
  EXPECT_EQ(Used("RACE"), 1000);
}

// A charge id counts once: repeated, it answers as the first time; undone,
// it is taken back once; undone before it came, it never applies.
TEST_F(ClusterStoreTest, QuotaChargeIdsCountOnce) {
  InitSchema();
  const std::string charge = "SELECT ok, used FROM vantor_charge($1, 'ID', $2::bigint, 1000, 0)";
  auto undo = [](const char* id) {
    return std::pair<std::string, RPgParams>{std::string("SELECT vantor_charge_undo('") + id + "')",
                                             {}};
  };
  EXPECT_EQ(Pairs({{charge, {"x", "100"}},
                   {charge, {"x", "100"}},
                   undo("x"),
                   undo("x"),
                   undo("y"),
                   {charge, {"y", "100"}},
                   {charge, {"z", "50"}}}),
            (std::vector<std::string>{"t/100", "t/100", "0/", "0/", "-1/", "f/0", "t/50"}));
  EXPECT_EQ(Used("ID"), 50);
}

// The database stopped with charges in flight: once it is back every
// charge has counted exactly once; a use not confirmed in time is given up
// and taken back.
TEST_F(ClusterStoreTest, QuotaChargesSurviveLostConnection) {
  InitSchema();
  auto a = ReadyStore("a");
  int answered = 0;
  for (int i = 0; i < 5; ++i) {
    a->ChargeQuota("LOST", 10, 1000000, 0, 60000, [&](const Answer&) { ++answered; });
  }
  server_->Stop();
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(RunUntil([&] { return answered == 5 && a->OutstandingCharges() == 0; }, 30));
  EXPECT_EQ(Used("LOST"), 50);

  server_->Stop();
  EXPECT_EQ(
      Await<Answer>([&](auto keep) { a->ChargeQuota("LOST", 10, 1000000, 0, 200, keep); }).outcome,
      RCharge::Unconfirmed);
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(RunUntil([&] { return a->Ready() && a->OutstandingCharges() == 0; }, 30));
  EXPECT_EQ(Used("LOST"), 50);
}

// A take is an eighth of what the maximum leaves, at least what it asks as
// the least, never past the maximum, and says how much it took; a repeat
// under its id takes nothing more.
TEST_F(ClusterStoreTest, QuotaTakeStopsAtTheMaximum) {
  InitSchema();
  auto a = ReadyStore("a");
  struct Case {
    int64_t amount, least;
    RCharge outcome;
    int64_t applied, used;
  };
  const Case cases[] = {
      {600, 50, RCharge::Done, 112, 212},    // seeded at 100: 900 left, an eighth
      {600, 600, RCharge::Done, 600, 812},   // the least asked for
      {600, 600, RCharge::Done, 188, 1000},  // what is left
      {1, 1, RCharge::Refused, 0, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.applied);
    const Answer got = Await<Answer>(
        [&](auto keep) { a->TakeQuota("TAKE", c.amount, c.least, 1000, 100, 5000, keep); });
    EXPECT_EQ(got.outcome, c.outcome);
    EXPECT_EQ(got.applied, c.applied);
    EXPECT_EQ(got.used, c.used);
  }
  const std::string take = "SELECT taken, used FROM vantor_take($1, 'T2', 70, 70, 100, 0)";
  EXPECT_EQ(
      Pairs({{take, {"p"}}, {take, {"p"}}, {take, {"q"}}, {"SELECT vantor_charge_undo('p')", {}}}),
      (std::vector<std::string>{"70/70", "70/70", "30/100", "30/"}));
}

// Sessions on two nodes spending one quota block by block through their
// reservations: together they never pass the maximum, they stop close to
// it, and once they are done the usage is exactly what they wrote. A
// session that goes while its take is out gives the take back.
TEST_F(ClusterStoreTest, SessionQuotaSharedAcrossNodes) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  test::TempDir dir;
  const std::string ini = dir.Path() + "/VANTOR.INI";
  constexpr int64_t kBlock = int64_t{1} << 20;
  constexpr int64_t kMax = 50 * kBlock + 777;
  constexpr int64_t kSeed = 5000;
  test::WriteText(ini, "[USER=q]\nQuotaEnable=yes\nQuotaMaxCurrent=" + std::to_string(kMax) + "," +
                           std::to_string(kSeed) + "\n");
  RFTPSSecurity accounts(ini, nullptr);
  const RWindowId window = loop_.CreateWindow([&](const RMsg& m) -> intptr_t {
    if (m.message == ACCESS_QUERY_MESSAGE) {
      HandleAccessQueryMessage(&accounts, true, *reinterpret_cast<AccessQuery*>(m.lParam));
    }
    return 0;
  });
  test::FakeProbe probe;
  std::vector<std::unique_ptr<RFTPQuota>> sessions;
  for (int i = 0; i < 4; ++i) {
    sessions.push_back(std::make_unique<RFTPQuota>(loop_, window, probe));
    sessions.back()->Start("q", 0, static_cast<uint32_t>(i + 1), i % 2 == 0 ? a.get() : b.get());
    ASSERT_TRUE(sessions.back()->Shared());
  }
  int64_t written = 0;
  std::vector<bool> stopped(sessions.size(), false);
  size_t running = sessions.size();
  while (running > 0) {
    for (size_t i = 0; i < sessions.size(); ++i) {
      if (stopped[i]) continue;
      RFTPQuota& q = *sessions[i];
      if (q.MustReserve(kBlock)) {
        bool resumed = false;
        q.Reserve(kBlock, [&] { resumed = true; });
        ASSERT_TRUE(RunUntil([&] { return resumed; }));
      }
      if (!q.Charge(-kBlock)) {
        stopped[i] = true;
        --running;
        continue;
      }
      written += kBlock;
      ASSERT_LE(Used("Q"), kMax);
    }
  }
  EXPECT_LE(kSeed + written, kMax);
  // The last blocks were refused only because the quota was spent: what
  // is left unwritten is less than a block per session.
  EXPECT_GT(kSeed + written + static_cast<int64_t>(sessions.size()) * kBlock, kMax);
  for (auto& q : sessions) q->Flush();
  ASSERT_TRUE(RunUntil([&] { return a->OutstandingCharges() + b->OutstandingCharges() == 0; }));
  EXPECT_EQ(Used("Q"), kSeed + written);

  // A take still out when its session ends goes back.
  for (int i = 0; i < 3; ++i) (void)sessions[0]->Charge(kBlock);
  sessions[0]->Flush();
  ASSERT_TRUE(RunUntil([&] { return a->OutstandingCharges() == 0; }));
  EXPECT_EQ(Used("Q"), kSeed + written - 3 * kBlock);
  sessions[0]->Reserve(kBlock, [] { ADD_FAILURE() << "resumed after its end"; });
  EXPECT_EQ(a->OutstandingCharges(), 1u);
  sessions[0].reset();
  ASSERT_TRUE(RunUntil([&] { return a->OutstandingCharges() == 0; }));
  EXPECT_EQ(Used("Q"), kSeed + written - 3 * kBlock);
  loop_.DestroyWindow(window);
}

// A block made by one node is read by the other with the time it has left;
// a shorter one for the same address leaves the longer standing, and an
// ended one is gone.
TEST_F(ClusterStoreTest, BlocksSharedAcrossNodes) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  a->ShareBlock("192.0.2.1", 60);
  b->ShareBlock("192.0.2.1", 5);
  a->ShareBlock("192.0.2.2", 30);
  // Ordered after the inserts on each connection: the reads below see them.
  using Blocks = std::vector<RClusterStore::RSharedBlockStr>;
  auto fetch = [&](RClusterStore& s) {
    return Await<std::optional<Blocks>>([&](auto keep) {
      s.FetchBlocks(
          [=](bool ok, Blocks blocks) { keep(ok ? std::optional(blocks) : std::nullopt); });
    });
  };
  (void)fetch(*a);
  (void)fetch(*b);
  ASSERT_EQ(server_->Psql("UPDATE vantor_blocks SET until = now() - interval '1 second' "
                          "WHERE address = '192.0.2.2';",
                          db_),
            0);
  const std::optional<Blocks> got = fetch(*b);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].address, "192.0.2.1");
  EXPECT_GE((*got)[0].secondsLeft, 55);
  EXPECT_LE((*got)[0].secondsLeft, 60);
}

// An upload record made on one node is found from the other, for exactly
// its address and path and for 12 hours; older ones go with a renewal.
// Records and blocks made before the store is up are sent once it is, a
// pair given twice as one row, a block lifted meanwhile not at all.
TEST_F(ClusterStoreTest, UploadRecordsAndBlocksSharedAcrossNodes) {
  InitSchema();
  auto a = std::make_unique<RClusterStore>(loop_, Settings("a"), "");
  for (const char* path : {"C:\\up\\x", "C:\\up\\x", "C:\\up\\q\"u"})
    a->ShareUpload("192.0.2.1", path);
  a->ShareBlock("192.0.2.7", 60);
  a->ShareBlock("192.0.2.8", 60);
  a->LiftBlock("192.0.2.8");
  a->Start(nullptr);
  ASSERT_TRUE(RunUntil([&] { return a->Ready(); }));
  auto b = ReadyStore("b");
  auto find = [&](const std::string& address, const std::string& path) {
    return Await<bool>(
        [&](auto keep) { b->FindUpload(address, path, [=](bool ok, bool f) { keep(ok && f); }); });
  };
  ASSERT_TRUE(RunUntil([&] { return find("192.0.2.1", "C:\\up\\x"); }));
  const struct {
    const char* address;
    const char* path;
    bool found;
  } cases[] = {
      {"192.0.2.1", "C:\\up\\q\"u", true},
      {"192.0.2.2", "C:\\up\\x", false},  // another client
      {"192.0.2.1", "C:\\UP\\X", false},  // exact text
      {"192.0.2.1", "C:\\up", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " " + c.path);
    EXPECT_EQ(find(c.address, c.path), c.found);
  }
  EXPECT_EQ(Cell(*b, "SELECT count(*) FROM vantor_uploads"), "2");
  EXPECT_EQ(Cell(*b, "SELECT string_agg(address, ',') FROM vantor_blocks"), "192.0.2.7");
  ASSERT_EQ(server_->Psql("UPDATE vantor_uploads SET at = now() - interval '43100 seconds' "
                          "WHERE path = 'C:\\up\\x'; UPDATE vantor_uploads SET at = now() - "
                          "interval '43200 seconds' WHERE path <> 'C:\\up\\x';",
                          db_),
            0);
  EXPECT_TRUE(find("192.0.2.1", "C:\\up\\x"));
  EXPECT_FALSE(find("192.0.2.1", "C:\\up\\q\"u"));
  b->RenewLease();
  EXPECT_EQ(Cell(*b, "SELECT count(*) FROM vantor_uploads"), "1");
}

// Records and blocks whose statement the server ends (an administrator's
// termination or a shutdown mid-statement answers 57P01 and rolls it back)
// go again after the reconnect; a block lifted behind them stays lifted.
TEST_F(ClusterStoreTest, QueuedWritesEndedByTheServerGoAgain) {
  InitSchema();
  auto a = ReadyStore("a");
  auto holder = Connected();
  auto run = [&](const std::string& sql) { return Sql(*holder, sql); };
  ASSERT_TRUE(run("BEGIN").Ok());
  ASSERT_TRUE(run("LOCK TABLE vantor_uploads, vantor_blocks IN ACCESS EXCLUSIVE MODE").Ok());
  a->ShareUpload("192.0.2.1", "C:\\up\\x");
  a->ShareBlock("192.0.2.7", 60);
  a->ShareBlock("192.0.2.9", 60);
  a->LiftBlock("192.0.2.9");
  const std::string waiting =
      "FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND datname = current_database()";
  ASSERT_TRUE(RunUntil([&] { return run("SELECT count(*) " + waiting).Text(0, 0) == "1"; }));
  ASSERT_EQ(run("SELECT count(pg_terminate_backend(pid)) " + waiting).Text(0, 0), "1");
  ASSERT_TRUE(run("ROLLBACK").Ok());
  auto cell = [&](const std::string& sql) { return run(sql).Text(0, 0); };
  EXPECT_TRUE(RunUntil([&] {
    return cell(
               "SELECT count(*) FROM vantor_uploads WHERE address = '192.0.2.1' AND "
               "path = 'C:\\up\\x' AND node = 'a'") == "1";
  }));
  EXPECT_TRUE(RunUntil(
      [&] { return cell("SELECT string_agg(address, ',') FROM vantor_blocks") == "192.0.2.7"; }));
  // Everything queued went: a renewal sends nothing more.
  a->RenewLease();
  EXPECT_EQ(Cell(*a, "SELECT string_agg(address, ',') FROM vantor_blocks"), "192.0.2.7");
}

// An S/KEY record starts from the first machine's, and then only a swap
// from the record as it stands changes it: of two machines accepting the
// same one-time password, one succeeds and the other hears the record the
// first left. Records that do not parse go nowhere.
TEST_F(ClusterStoreTest, SKeyRecordSwapsOnlyFromTheCurrentRecord) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  auto read = [&](RClusterStore& s, const std::string& local) { return ReadSKey(s, "joe", local); };
  using RSwap = RClusterStore::RSwap;
  auto swap = [&](RClusterStore& s, const std::string& was, const std::string& next) {
    return Await<std::pair<RSwap, std::string>>(
        [&](auto keep) {
          s.SwapSKey("joe", was, next, [=](RSwap r, const std::string& c) { keep({r, c}); });
        },
        {RSwap::Unavailable, "unanswered"});
  };
  const std::string r999 = "0 0 A1B2C3D4E5F60718 999 ke1234";
  const std::string r998 = "0 0 0011223344556677 998 ke1234";
  const std::string r998b = "0 0 8899AABBCCDDEEFF 998 ke1234";
  // The time and session of a machine's record are not kept.
  EXPECT_EQ(read(*a, "1733600000 7 A1B2C3D4E5F60718 999 ke1234"), std::make_pair(true, r999));
  EXPECT_EQ(read(*b, "0 0 FFFFFFFFFFFFFFFF 500 other"), std::make_pair(true, r999));

  struct Case {
    RClusterStore* node;
    std::string was, next;
    RSwap outcome;
    std::string current;
  };
  const Case cases[] = {
      {a.get(), r999, r998, RSwap::Done, r998},
      // The same password on the other machine: checked against 999.
      {b.get(), r999, r998b, RSwap::Stale, r998},
      // Same sequence and seed, another last response: stale too.
      {b.get(), r998b, "0 0 0000000000000001 997 ke1234", RSwap::Stale, r998},
      {b.get(), r998, "0 0 0000000000000001 997 ke1234", RSwap::Done,
       "0 0 0000000000000001 997 ke1234"},
      {a.get(), "not a record", r998, RSwap::Unavailable, ""},
      {a.get(), r998, "0 0 nothex 12", RSwap::Unavailable, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.was + " -> " + c.next);
    EXPECT_EQ(swap(*c.node, c.was, c.next), std::make_pair(c.outcome, c.current));
  }
  EXPECT_EQ(read(*a, r999), std::make_pair(true, std::string("0 0 0000000000000001 997 ke1234")));
  // A swap whose answer is lost is never repeated (a repeat would find its
  // own change and call it stale); it is Unavailable, and so is one sent
  // while the store is down.
  TerminateAll();
  ASSERT_TRUE(RunUntil([&] { return !a->Ready(); }));
  EXPECT_EQ(swap(*a, "0 0 0000000000000001 997 ke1234", r998).first, RSwap::Unavailable);
  EXPECT_FALSE(read(*a, r999).first);
  ASSERT_TRUE(RunUntil([&] { return a->Ready(); }));
  EXPECT_EQ(read(*a, r999), std::make_pair(true, std::string("0 0 0000000000000001 997 ke1234")));
}

// Ratio credit as the INI path decides it: a debit goes while the credit
// covers what it needs (to within 0.01), else it is refused and changes
// nothing; credits always apply, an account starts from its INI figure,
// and two machines spending the last credit at once never both get it.
TEST_F(ClusterStoreTest, RatioDebitsRefusedPastTheCredit) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  auto charge = [&](RClusterStore& s, double change, double need, double seed = 0) {
    return Await<Answer>([&](auto keep) { s.ChargeRatio("R", change, need, seed, 5000, keep); });
  };
  struct Case {
    RClusterStore* node;
    double change, need, seed;
    RCharge outcome;
    double credit;
  };
  const Case cases[] = {
      {a.get(), 0, 0, 2.5, RCharge::Done, 2.5},  // a read; starts at the INI figure
      {b.get(), 0, 0, 99, RCharge::Done, 2.5},   // the seed counts only once
      {a.get(), -2, 2, 0, RCharge::Done, 0.5},
      {b.get(), -1, 1, 0, RCharge::Refused, 0.5},
      {a.get(), 0.5 / 3, 0, 0, RCharge::Done, 0.5 + 0.5 / 3},          // a factor's fraction
      {b.get(), -0.67, 0.67, 0, RCharge::Done, 0.5 + 0.5 / 3 - 0.67},  // within 0.01
      {a.get(), 3, 0, 0, RCharge::Done, 3 + 0.5 + 0.5 / 3 - 0.67},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    const Answer got = charge(*c.node, c.change, c.need, c.seed);
    EXPECT_EQ(got.outcome, c.outcome);
    EXPECT_NEAR(got.credit, c.credit, 1e-9);
  }
  // Ten debits of 1 from both machines at once against a credit of about 3.
  int done = 0, refused = 0;
  for (int i = 0; i < 10; ++i) {
    (i % 2 ? *a : *b).ChargeRatio("R", -1, 1, 0, 5000, [&](const Answer& r) {
      (r.outcome == RCharge::Done ? done : refused) += 1;
    });
  }
  ASSERT_TRUE(RunUntil([&] { return done + refused == 10; }));
  EXPECT_EQ(done, 3);
  EXPECT_NEAR(charge(*a, 0, 0).credit, 0.5 + 0.5 / 3 - 0.67, 1e-9);
}

// Ratio charges sent while the database restarts apply once each; a debit
// given up is taken back should it have applied, credits never are.
TEST_F(ClusterStoreTest, RatioChargesSurviveDatabaseRestart) {
  InitSchema();
  auto a = ReadyStore("a");
  int answered = 0;
  for (int i = 0; i < 4; ++i) {
    a->ChargeRatio("RR", i % 2 ? -1.0 : 2.0, i % 2 ? 1.0 : 0.0, 0, 60000, [&](const Answer& r) {
      EXPECT_EQ(r.outcome, RCharge::Done);
      ++answered;
    });
  }
  server_->Stop();
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(RunUntil([&] { return answered == 4 && a->OutstandingCharges() == 0; }, 30));
  auto credit = [&] {
    return Await<Answer>([&](auto keep) { a->ChargeRatio("RR", 0, 0, 0, 5000, keep); }).credit;
  };
  EXPECT_DOUBLE_EQ(credit(), 2.0);

  server_->Stop();
  std::optional<RCharge> debit;
  a->ChargeRatio("RR", -1, 1, 0, 200, [&](const Answer& r) { debit = r.outcome; });
  bool creditAnswered = false;
  a->ChargeRatio("RR", 5, 0, 0, 200, [&](const Answer&) { creditAnswered = true; });
  ASSERT_TRUE(RunUntil([&] { return debit.has_value(); }));
  EXPECT_EQ(*debit, RCharge::Unconfirmed);
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(RunUntil([&] { return a->Ready() && a->OutstandingCharges() == 0; }, 30));
  EXPECT_TRUE(creditAnswered);
  EXPECT_DOUBLE_EQ(credit(), 7.0);
}

// A password written on one machine is what the other reads; a pass
// phrase's write makes the S/KEY record the used-up one in the same
// statement, a plain one leaves it; an administrator's DELETE gives the INI file's back;
// nothing is written or read while the store is down.
TEST_F(ClusterStoreTest, PasswordsSharedAcrossNodes) {
  InitSchema();
  auto a = ReadyStore("a");
  auto b = ReadyStore("b");
  using Stored = std::optional<std::string>;
  auto read = [&](RClusterStore& s, const std::string& account) {
    return Await<std::pair<bool, Stored>>(
        [&](auto keep) { s.ReadPassword(account, [=](bool ok, Stored st) {
                           keep({ok, st});
                         }); },
        {false, "unanswered"});
  };
  auto write = [&](RClusterStore& s, const std::string& account, const std::string& stored,
                   bool skey) {
    return Await<bool>([&](auto keep) { s.WritePassword(account, stored, skey, keep); });
  };
  // Whether the account's S/KEY row is still the one it was given.
  auto skeyRows = [&](const std::string& account) {
    return server_->Psql("DO $$BEGIN IF NOT EXISTS (SELECT 1 FROM vantor_skey WHERE account = '" +
                             account +
                             "' AND sequence = 999) THEN RAISE EXCEPTION 'none'; "
                             "END IF; END$$;",
                         db_) == 0;
  };
  for (const char* account : {"joe", "ann"}) {
    ASSERT_TRUE(ReadSKey(*a, account, "0 0 A1B2C3D4E5F60718 999 ke1234").first);
    ASSERT_TRUE(skeyRows(account));
  }

  EXPECT_EQ(read(*b, "joe"), std::make_pair(true, Stored()));
  struct Case {
    RClusterStore* writer;
    RClusterStore* reader;
    std::string account, stored;
    bool skey;
    bool skeyRowAfter;
  };
  const Case cases[] = {
      {a.get(), b.get(), "joe", "$y$j9T$salt$hashone", false, true},
      // A second change overwrites the first, from the other machine.
      {b.get(), a.get(), "joe", "$y$j9T$salt$hashtwo", false, true},
      {a.get(), b.get(), "ann", "scrambled phrase", true, false},
      // Quotes and backslashes are values, not SQL.
      {b.get(), a.get(), "o'neil\\", "it's \"odd\"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account + " <- " + c.stored);
    EXPECT_TRUE(write(*c.writer, c.account, c.stored, c.skey));
    EXPECT_EQ(read(*c.reader, c.account), std::make_pair(true, Stored(c.stored)));
    EXPECT_EQ(skeyRows(c.account), c.skeyRowAfter);
  }
  // Cleared by the administrator: no row, the INI file's counts again.
  ASSERT_EQ(server_->Psql("DELETE FROM vantor_passwords WHERE account = 'joe';", db_), 0);
  EXPECT_EQ(read(*a, "joe"), std::make_pair(true, Stored()));
  // The pass phrase's account reads as used up on every machine, whatever
  // record of the old phrase a machine offers.
  EXPECT_EQ(ReadSKey(*b, "ann", "0 0 A1B2C3D4E5F60718 998 ke1234"),
            std::make_pair(true, std::string(SKEY_PLACEHOLDER)));

  TerminateAll();
  ASSERT_TRUE(RunUntil([&] { return !a->Ready(); }));
  EXPECT_FALSE(write(*a, "joe", "never", false));
  EXPECT_FALSE(read(*a, "ann").first);
  ASSERT_TRUE(RunUntil([&] { return a->Ready(); }));
  EXPECT_EQ(read(*a, "joe"), std::make_pair(true, Stored()));
}

}  // namespace
}  // namespace vantor
