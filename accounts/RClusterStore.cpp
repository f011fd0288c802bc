#include "accounts/RClusterStore.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "accounts/RAccountsStrings.h"
#include "accounts/RSKey.h"
#include "platform/RRandom.h"
#include "util/RFormat.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

// Schema steps, applied in order to bring version i-1 to version i. A new
// version appends a step; a step never changes once released.
const char* const kSchemaSteps[] = {
    // 1: nodes with leases, their sessions, and the login check.
    R"sql(
  CREATE TABLE vantor_nodes (
    node text PRIMARY KEY,
    lease_until timestamptz NOT NULL);
  CREATE TABLE vantor_sessions (
    node text NOT NULL REFERENCES vantor_nodes ON DELETE CASCADE,
    session bigint NOT NULL,
    account text NOT NULL,
    client text NOT NULL,
    since timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (node, session));
  CREATE INDEX vantor_sessions_account ON vantor_sessions (account, client);
  -- The checks and the insert run under advisory locks (one class each for
  -- the server, an account, an account from an address, always taken in
  -- that order), so two logins never both see the last free slot. Each
  -- statement of a volatile function sees what committed before it, the
  -- holder of the lock before us included.
  CREATE FUNCTION vantor_register(p_node text, p_session bigint, p_account text,
                                  p_client text, p_server int, p_account_max int,
                                  p_address_max int) RETURNS int
  LANGUAGE plpgsql AS $f$
  DECLARE n bigint;
  BEGIN
    IF p_server >= 0 THEN PERFORM pg_advisory_xact_lock(29301, 0); END IF;
    IF p_account_max >= 0 THEN
      PERFORM pg_advisory_xact_lock(29302, hashtext(p_account));
    END IF;
    IF p_address_max >= 0 THEN
      PERFORM pg_advisory_xact_lock(29303, hashtext(p_account || ' ' || p_client));
    END IF;
    IF p_server >= 0 THEN
      SELECT count(*) INTO n FROM vantor_sessions s JOIN vantor_nodes d ON d.node = s.node
       WHERE d.lease_until > now() AND NOT (s.node = p_node AND s.session = p_session);
      IF n >= p_server THEN RETURN 1; END IF;
    END IF;
    IF p_account_max >= 0 THEN
      SELECT count(*) INTO n FROM vantor_sessions s JOIN vantor_nodes d ON d.node = s.node
       WHERE d.lease_until > now() AND s.account = p_account
         AND NOT (s.node = p_node AND s.session = p_session);
      IF n >= p_account_max THEN RETURN 2; END IF;
    END IF;
    IF p_address_max >= 0 THEN
      SELECT count(*) INTO n FROM vantor_sessions s JOIN vantor_nodes d ON d.node = s.node
       WHERE d.lease_until > now() AND s.account = p_account AND s.client = p_client
         AND NOT (s.node = p_node AND s.session = p_session);
      IF n >= p_address_max THEN RETURN 3; END IF;
    END IF;
    INSERT INTO vantor_sessions (node, session, account, client)
      VALUES (p_node, p_session, p_account, p_client)
      ON CONFLICT (node, session) DO UPDATE
        SET account = EXCLUDED.account, client = EXCLUDED.client, since = now();
    RETURN 0;
  END $f$;
  -- A node's lease and its whole list of sessions, written in one go.
  CREATE FUNCTION vantor_node_sync(p_node text, p_lease int, p_sessions bigint[],
                                   p_accounts text[], p_clients text[]) RETURNS void
  LANGUAGE plpgsql AS $f$
  BEGIN
    INSERT INTO vantor_nodes (node, lease_until)
      VALUES (p_node, now() + make_interval(secs => p_lease))
      ON CONFLICT (node) DO UPDATE SET lease_until = EXCLUDED.lease_until;
    DELETE FROM vantor_sessions WHERE node = p_node;
    INSERT INTO vantor_sessions (node, session, account, client)
      SELECT p_node, u.s, u.a, u.c FROM unnest(p_sessions, p_accounts, p_clients) AS u(s, a, c);
    -- Machines gone for a day are forgotten, sessions and all.
    DELETE FROM vantor_nodes WHERE lease_until < now() - interval '1 day';
  END $f$;
)sql",
    // 2: quota usage and the charges that changed it.
    R"sql(
  CREATE TABLE vantor_quota (
    account text PRIMARY KEY,
    used bigint NOT NULL CHECK (used >= 0));
  -- Every charge by its id, as applied: a repeat answers as the first time
  -- did and changes nothing. Kept for a day.
  CREATE TABLE vantor_charges (
    id text PRIMARY KEY,
    account text NOT NULL,
    amount bigint NOT NULL,
    ok boolean NOT NULL,
    used bigint NOT NULL,
    undone boolean NOT NULL DEFAULT false,
    at timestamptz NOT NULL DEFAULT now());
  CREATE INDEX vantor_charges_at ON vantor_charges (at);
  -- `p_amount` bytes taken (> 0; refused when the usage would pass `p_max`)
  -- or given back (< 0; never below 0). An account's first charge starts it
  -- at `p_seed`, the figure its INI file held. Concurrent charges of one
  -- account queue on its row, and the check is made again on the row they
  -- find, so no two machines together pass the maximum.
  CREATE FUNCTION vantor_charge(p_id text, p_account text, p_amount bigint, p_max bigint,
                                p_seed bigint, OUT ok boolean, OUT used bigint)
  LANGUAGE plpgsql AS $f$
  DECLARE applied bigint;
  BEGIN
    -- A repeat that overtakes its original (sent again after a lost
    -- connection while the first still ran) waits for it.
    -- A confirmed charge must outlive a crash of the database.
    PERFORM set_config('synchronous_commit', 'on', true);
    PERFORM pg_advisory_xact_lock(29304, hashtext(p_id));
    SELECT c.ok, c.used INTO ok, used FROM vantor_charges c WHERE c.id = p_id;
    IF FOUND THEN RETURN; END IF;
    INSERT INTO vantor_quota (account, used) VALUES (p_account, greatest(p_seed, 0))
      ON CONFLICT (account) DO NOTHING;
    IF p_amount > 0 THEN
      UPDATE vantor_quota q SET used = q.used + p_amount
       WHERE q.account = p_account AND q.used + p_amount <= p_max RETURNING q.used INTO used;
      ok := FOUND;
      applied := CASE WHEN ok THEN p_amount ELSE 0 END;
      IF NOT ok THEN SELECT q.used INTO used FROM vantor_quota q WHERE q.account = p_account; END IF;
    ELSE
      SELECT q.used INTO used FROM vantor_quota q WHERE q.account = p_account FOR UPDATE;
      applied := -least(used, -p_amount);
      UPDATE vantor_quota q SET used = q.used + applied
       WHERE q.account = p_account RETURNING q.used INTO used;
      ok := true;
    END IF;
    INSERT INTO vantor_charges (id, account, amount, ok, used)
      VALUES (p_id, p_account, applied, ok, used);
  END $f$;
  -- Takes back what charge `p_id` applied, once. A charge never seen is
  -- recorded as undone, so that it changes nothing should it still arrive.
  CREATE FUNCTION vantor_charge_undo(p_id text, OUT used bigint)
  LANGUAGE plpgsql AS $f$
  DECLARE c vantor_charges%ROWTYPE;
  BEGIN
    PERFORM set_config('synchronous_commit', 'on', true);
    PERFORM pg_advisory_xact_lock(29304, hashtext(p_id));
    SELECT * INTO c FROM vantor_charges WHERE id = p_id;
    IF NOT FOUND THEN
      INSERT INTO vantor_charges (id, account, amount, ok, used, undone)
        VALUES (p_id, '', 0, false, 0, true);
      used := -1;
      RETURN;
    END IF;
    IF c.undone THEN
      SELECT q.used INTO used FROM vantor_quota q WHERE q.account = c.account;
      RETURN;
    END IF;
    UPDATE vantor_quota q SET used = greatest(q.used - c.amount, 0)
     WHERE q.account = c.account RETURNING q.used INTO used;
    UPDATE vantor_charges SET undone = true WHERE id = p_id;
  END $f$;
)sql",
    // 3: quota taken as far as it goes (a session's reservation).
    R"sql(
  -- Takes up to `p_amount`, but no more than an eighth of what the maximum
  -- leaves (at least `p_least`, as far as it goes), so that sessions
  -- sharing the last of a quota each hold a small part of it. Recorded
  -- under its id like vantor_charge: a repeat takes nothing more and
  -- vantor_charge_undo gives back exactly what it took.
  CREATE FUNCTION vantor_take(p_id text, p_account text, p_amount bigint, p_least bigint,
                              p_max bigint, p_seed bigint, OUT taken bigint, OUT used bigint)
  LANGUAGE plpgsql AS $f$
  BEGIN
    PERFORM set_config('synchronous_commit', 'on', true);
    PERFORM pg_advisory_xact_lock(29304, hashtext(p_id));
    SELECT c.amount, c.used INTO taken, used FROM vantor_charges c WHERE c.id = p_id;
    IF FOUND THEN RETURN; END IF;
    INSERT INTO vantor_quota (account, used) VALUES (p_account, greatest(p_seed, 0))
      ON CONFLICT (account) DO NOTHING;
    SELECT q.used INTO used FROM vantor_quota q WHERE q.account = p_account FOR UPDATE;
    taken := greatest(least(p_amount, greatest((p_max - used) / 8, p_least), p_max - used), 0);
    UPDATE vantor_quota q SET used = q.used + taken
     WHERE q.account = p_account RETURNING q.used INTO used;
    INSERT INTO vantor_charges (id, account, amount, ok, used)
      VALUES (p_id, p_account, taken, taken > 0, used);
  END $f$;
  -- Anti-hammering blocks any node made, honoured by all until they end.
  CREATE TABLE vantor_blocks (
    address text PRIMARY KEY,
    until timestamptz NOT NULL,
    node text NOT NULL);
)sql",
    // 4: S/KEY records, so a one-time password counts once in the cluster.
    R"sql(
  -- An account's S/KEY state, as in its SKEYValues record: the sequence to
  -- be answered next, the last accepted response (hex) and the seed.
  CREATE TABLE vantor_skey (
    account text PRIMARY KEY,
    sequence int NOT NULL,
    last text NOT NULL,
    seed text NOT NULL);
  -- The account's record; an account the store has never seen starts from
  -- the record of the machine that asks (its INI file's).
  CREATE FUNCTION vantor_skey_read(p_account text, p_sequence int, p_last text, p_seed text,
                                   OUT sequence int, OUT last text, OUT seed text)
  LANGUAGE plpgsql AS $f$
  BEGIN
    INSERT INTO vantor_skey VALUES (p_account, p_sequence, p_last, p_seed)
      ON CONFLICT (account) DO NOTHING;
    SELECT k.sequence, k.last, k.seed INTO sequence, last, seed
      FROM vantor_skey k WHERE k.account = p_account;
  END $f$;
  -- Compare-and-set: the record becomes the new one only while it is still
  -- the one the response was checked against, so of two machines accepting
  -- the same one-time password only one succeeds. Answers with the record
  -- as it stands afterwards.
  CREATE FUNCTION vantor_skey_swap(p_account text, p_old_sequence int, p_old_last text,
                                   p_old_seed text, p_sequence int, p_last text, p_seed text,
                                   OUT swapped boolean, OUT sequence int, OUT last text,
                                   OUT seed text)
  LANGUAGE plpgsql AS $f$
  BEGIN
    -- An accepted password must outlive a crash of the database.
    PERFORM set_config('synchronous_commit', 'on', true);
    UPDATE vantor_skey k SET sequence = p_sequence, last = p_last, seed = p_seed
     WHERE k.account = p_account AND k.sequence = p_old_sequence AND k.last = p_old_last
       AND k.seed = p_old_seed;
    swapped := FOUND;
    SELECT k.sequence, k.last, k.seed INTO sequence, last, seed
      FROM vantor_skey k WHERE k.account = p_account;
  END $f$;
)sql",
    // 5: ratio credits.
    R"sql(
  CREATE TABLE vantor_ratio (
    account text PRIMARY KEY,
    credit double precision NOT NULL);
  -- Every ratio charge by its id, as applied, like vantor_charges.
  CREATE TABLE vantor_ratio_charges (
    id text PRIMARY KEY,
    account text NOT NULL,
    change double precision NOT NULL,
    ok boolean NOT NULL,
    credit double precision NOT NULL,
    undone boolean NOT NULL DEFAULT false,
    at timestamptz NOT NULL DEFAULT now());
  CREATE INDEX vantor_ratio_charges_at ON vantor_ratio_charges (at);
  -- `p_change` added to the account's credit. A debit (< 0) is refused,
  -- changing nothing, when the credit is short of `p_need` by more than
  -- 0.01; the check is made again on the row a concurrent charge left, so
  -- no two machines spend the same credit. An account's first charge
  -- starts it at `p_seed`, the credit its INI file held. A change of 0
  -- reads the credit and records nothing.
  CREATE FUNCTION vantor_ratio_charge(p_id text, p_account text, p_change double precision,
                                      p_need double precision, p_seed double precision,
                                      OUT ok boolean, OUT credit double precision)
  LANGUAGE plpgsql AS $f$
  BEGIN
    PERFORM set_config('synchronous_commit', 'on', true);
    PERFORM pg_advisory_xact_lock(29305, hashtext(p_id));
    SELECT c.ok, c.credit INTO ok, credit FROM vantor_ratio_charges c WHERE c.id = p_id;
    IF FOUND THEN RETURN; END IF;
    INSERT INTO vantor_ratio (account, credit) VALUES (p_account, p_seed)
      ON CONFLICT (account) DO NOTHING;
    UPDATE vantor_ratio r SET credit = r.credit + p_change
     WHERE r.account = p_account AND (p_change >= 0 OR p_need <= r.credit + 0.01)
     RETURNING r.credit INTO credit;
    ok := FOUND;
    IF NOT ok THEN
      SELECT r.credit INTO credit FROM vantor_ratio r WHERE r.account = p_account;
    END IF;
    IF p_change <> 0 THEN
      INSERT INTO vantor_ratio_charges (id, account, change, ok, credit)
        VALUES (p_id, p_account, CASE WHEN ok THEN p_change ELSE 0 END, ok, credit);
    END IF;
  END $f$;
  -- Takes back what ratio charge `p_id` applied, once; like
  -- vantor_charge_undo.
  CREATE FUNCTION vantor_ratio_undo(p_id text, OUT credit double precision)
  LANGUAGE plpgsql AS $f$
  DECLARE c vantor_ratio_charges%ROWTYPE;
  BEGIN
    PERFORM set_config('synchronous_commit', 'on', true);
    PERFORM pg_advisory_xact_lock(29305, hashtext(p_id));
    SELECT * INTO c FROM vantor_ratio_charges WHERE id = p_id;
    IF NOT FOUND THEN
      INSERT INTO vantor_ratio_charges (id, account, change, ok, credit, undone)
        VALUES (p_id, '', 0, false, 0, true);
      credit := 0;
      RETURN;
    END IF;
    IF c.undone THEN
      SELECT r.credit INTO credit FROM vantor_ratio r WHERE r.account = c.account;
      RETURN;
    END IF;
    UPDATE vantor_ratio r SET credit = r.credit - c.change
     WHERE r.account = c.account RETURNING r.credit INTO credit;
    UPDATE vantor_ratio_charges SET undone = true WHERE id = p_id;
  END $f$;
)sql",
    // 6: passwords changed by SITE PSWD, over the INI file's; a row
    // deleted by the administrator gives the INI file's back.
    R"sql(
  CREATE TABLE vantor_passwords (
    account text PRIMARY KEY,
    stored text NOT NULL);
)sql",
    // 7: the uploads a client may resume on any machine.
    R"sql(
  -- A client address and the local path of a file it uploaded without the
  -- right to append to it or modify it: the record lets that client resume
  -- the upload from any machine for 12 hours (the renewals purge older ones).
  CREATE TABLE vantor_uploads (
    address text NOT NULL,
    path text NOT NULL,
    at timestamptz NOT NULL DEFAULT now(),
    node text NOT NULL,
    PRIMARY KEY (address, path));
  CREATE INDEX vantor_uploads_at ON vantor_uploads (at);
)sql",
};
constexpr int kStepCount = static_cast<int>(sizeof kSchemaSteps / sizeof kSchemaSteps[0]);
static_assert(kStepCount == RClusterStore::kSchemaVersion);

// One DO block: the advisory lock makes machines that run it at once take
// turns, and each step runs only on a schema below its version.
std::string InitStatement() {
  std::string sql =
      "DO $vantor$\nDECLARE v int;\nBEGIN\n"
      "  PERFORM pg_advisory_xact_lock(29300, 0);\n"
      "  CREATE TABLE IF NOT EXISTS vantor_schema (\n"
      "    id int PRIMARY KEY CHECK (id = 1), version int NOT NULL);\n"
      "  INSERT INTO vantor_schema VALUES (1, 0) ON CONFLICT (id) DO NOTHING;\n"
      "  SELECT version INTO v FROM vantor_schema WHERE id = 1;\n";
  for (int i = 0; i < kStepCount; ++i) {
    sql += "  IF v < " + std::to_string(i + 1) + " THEN\n";
    sql += kSchemaSteps[i];
    sql += "  UPDATE vantor_schema SET version = " + std::to_string(i + 1) + ";\n  END IF;\n";
  }
  sql += "END\n$vantor$";
  return sql;
}

// A PostgreSQL array literal of text elements, each quoted.
std::string TextArray(const std::vector<std::string>& items) {
  std::string out = "{";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    out += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  out += '}';
  return out;
}

// SQLSTATE classes of failures that say nothing about the statement:
// connection exceptions, rollbacks (deadlock, serialization), resources,
// operator intervention (shutdown).
bool RetryableSqlState(const std::string& state) {
  if (state.size() != 5) return false;
  const std::string cls = state.substr(0, 2);
  return cls == "08" || cls == "40" || cls == "53" || cls == "57";
}

// A queued write (block, lift, upload record) is safe to repeat: it goes
// again after the reconnect unless it ran or failed on its own account. One
// ended by the server (a shutdown mid-statement answers 57P01) was rolled
// back, and dropping it would lose a record the other machines rely on.
bool SendAgain(const RPgResultStr& r) {
  return !r.Ok() && (r.status != RPgResultStr::Status::Failed || RetryableSqlState(r.sqlState));
}

constexpr const char* kLiveCount =
    "SELECT count(*) FROM vantor_sessions s JOIN vantor_nodes d ON d.node = s.node "
    "WHERE d.lease_until > now() AND ($1 = '' OR s.account = $1) "
    "AND ($2 = '' OR s.client = $2)";

}  // namespace

RClusterStore::RClusterStore(RMessageLoop& loop, RClusterSettings settings, std::string password)
    : loop_(loop),
      settings_(std::move(settings)),
      client_(loop, RPgClient::Options{settings_.connInfo, std::move(password), 5000,
                                       settings_.statementTimeoutMs, 200, 10000}) {
  client_.OnStateChange([this](bool up, const std::string& why) { OnConnection(up, why); });
  // Charge ids must never repeat across runs of a node: a repeat is taken
  // for a retry and answered without being applied.
  unsigned char tag[8] = {};
  if (!RandomBytes(tag, sizeof tag)) {
    const int64_t ms = loop_.Clock().NowMs();
    std::memcpy(tag, &ms, sizeof tag);
  }
  chargePrefix_ = settings_.node + ":";
  for (unsigned char b : tag) chargePrefix_ += RFormat("%02x", b);
  chargePrefix_ += ":";
}

RClusterStore::~RClusterStore() {
  // A clean stop frees this node's slots at once rather than after its
  // lease. The store goes with the process, after the loop: its last
  // statements (the sessions' leaves too) are waited for, briefly, since
  // the server rolls back what it cannot answer.
  if (state_ == RState::Ready && client_.Up()) {
    client_.Query("DELETE FROM vantor_sessions WHERE node = $1", {settings_.node}, nullptr);
    client_.FinishInFlight(2000);
  }
  *alive_ = false;
  if (leaseTimer_ != 0) loop_.CancelTimer(leaseTimer_);
  if (chargeTimer_ != 0) loop_.CancelTimer(chargeTimer_);
}

void RClusterStore::Start(std::function<void(const std::string&)> onLog) {
  onLog_ = std::move(onLog);
  client_.Start();
  std::weak_ptr<bool> alive = alive_;
  const int64_t period = int64_t{settings_.leaseSeconds} * 1000 / 3;
  leaseTimer_ = loop_.AddTimer(period, true, [this, alive] {
    if (auto a = alive.lock(); !a || !*a) return;
    if (state_ == RState::Ready) RenewLease();
    // An administrator may run --cluster-init while the servers run.
    if (state_ == RState::SchemaWrong) CheckSchema();
  });
}

void RClusterStore::SetState(RState s, const std::string& line) {
  const bool changed = s != state_;
  state_ = s;
  if (changed && onLog_ && !line.empty()) onLog_(line);
}

void RClusterStore::OnConnection(bool up, const std::string& why) {
  ++generation_;
  if (up) {
    // Each statement is a transaction of its own, and waiting for the
    // disk at every commit would cap logins at the disk's flush rate. What
    // a database crash can lose of these is the node's own sessions and
    // lease, which every node writes again whole when it reconnects;
    // quota charges ask for the wait themselves (vantor_charge).
    client_.Query("SET synchronous_commit TO off", {}, nullptr);
    CheckSchema();
    return;
  }
  const char* meanwhile =
      LoadStr(settings_.unavailable == RClusterUnavailable::Local ? kTextClusterLocalMeanwhile
                                                                  : kTextClusterRefuseMeanwhile);
  // The client says it once per outage: the reconnects that fail after it
  // stay quiet.
  state_ = RState::Down;
  if (onLog_) onLog_(FormatStr(kLogClusterUnreachable, why, meanwhile));
}

void RClusterStore::CheckSchema() {
  const uint64_t gen = generation_;
  std::weak_ptr<bool> alive = alive_;
  client_.Query("SELECT version FROM vantor_schema WHERE id = 1", {},
                [this, alive, gen](const RPgResultStr& r) {
                  if (alive.expired() || !*alive.lock() || gen != generation_) return;
                  if (r.status == RPgResultStr::Status::Failed && r.sqlState == "42P01") {
                    SetState(RState::SchemaWrong, LoadStr(kLogClusterNoSchema));
                    return;
                  }
                  if (!r.Ok()) return;  // the connection went: its change says so
                  const int v = static_cast<int>(r.Int(0, 0, 0));
                  if (v < kSchemaVersion) {
                    SetState(RState::SchemaWrong,
                             FormatStr(kLogClusterSchemaOld, v, kSchemaVersion));
                    return;
                  }
                  SyncNode();
                });
}

void RClusterStore::SyncNode() {
  std::vector<std::string> numbers, accounts, clients;
  for (const auto& [n, s] : sessions_) {
    numbers.push_back(std::to_string(n));
    accounts.push_back(s.account);
    clients.push_back(s.client);
  }
  const uint64_t gen = generation_;
  std::weak_ptr<bool> alive = alive_;
  client_.Query("SELECT vantor_node_sync($1, $2::int, $3::bigint[], $4::text[], $5::text[])",
                {settings_.node, std::to_string(settings_.leaseSeconds), TextArray(numbers),
                 TextArray(accounts), TextArray(clients)},
                [this, alive, gen](const RPgResultStr& r) {
                  if (alive.expired() || !*alive.lock() || gen != generation_) return;
                  if (r.Ok()) {
                    SetState(RState::Ready, FormatStr(kLogClusterConnected, settings_.node));
                    SendQueued();
                  } else if (r.status == RPgResultStr::Status::Failed && onLog_) {
                    onLog_(FormatStr(kLogClusterProblem, r.error));
                  }
                });
}

void RClusterStore::RenewLease() {
  const uint64_t gen = generation_;
  std::weak_ptr<bool> alive = alive_;
  // The day-old charge records go with the renewal: no repeat can come
  // that late.
  client_.Query(
      "WITH purge AS (DELETE FROM vantor_charges WHERE at < now() - interval '1 day'), "
      "purge_ratio AS (DELETE FROM vantor_ratio_charges WHERE at < now() - interval '1 day'), "
      "purge_uploads AS (DELETE FROM vantor_uploads WHERE at <= now() - $3::int * interval "
      "'1 second') "
      "UPDATE vantor_nodes SET lease_until = now() + make_interval(secs => $2::int) "
      "WHERE node = $1",
      {settings_.node, std::to_string(settings_.leaseSeconds),
       std::to_string(kUploadRecordSeconds)},
      [this, alive, gen](const RPgResultStr& r) {
        if (alive.expired() || !*alive.lock() || gen != generation_) return;
        // The row is gone (a day-long absence, an administrator's clean-up):
        // the node and its sessions are written again.
        if (r.Ok() && r.affected == 0) SyncNode();
      });
  // Writes refused for want of resources without the connection going
  // wait for the next renewal.
  if (state_ == RState::Ready) SendQueued();
}

void RClusterStore::SendQueued() {
  SendLifts();
  SendBlocks();
  SendUploads();
}

void RClusterStore::InitSchema(RPgClient& client,
                               std::function<void(bool, const std::string&)> done) {
  // Both statements go in one round trip; the first failure is the answer.
  struct InitStr {
    std::function<void(bool, const std::string&)> done;
    bool answered = false;
    void Answer(bool ok, const std::string& line) {
      if (answered) return;
      answered = true;
      done(ok, line);
    }
  };
  auto init = std::make_shared<InitStr>();
  init->done = std::move(done);
  client.Query(InitStatement(), {}, [init](const RPgResultStr& r) {
    if (!r.Ok()) init->Answer(false, FormatStr(kLogClusterProblem, r.error));
  });
  client.Query("SELECT version FROM vantor_schema WHERE id = 1", {}, [init](const RPgResultStr& r) {
    if (!r.Ok()) {
      init->Answer(false, FormatStr(kLogClusterProblem, r.error));
      return;
    }
    init->Answer(true, FormatStr(kLogClusterSchemaAt, static_cast<int>(r.Int(0, 0))));
  });
}

void RClusterStore::RegisterSession(uint32_t session, const std::string& account,
                                    const std::string& client, const RSessionLimitsStr& limits,
                                    std::function<void(RClusterAdmit)> done) {
  if (state_ != RState::Ready) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(RClusterAdmit::Unavailable); });
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  client_.Query(
      "SELECT vantor_register($1, $2::bigint, $3, $4, $5::int, $6::int, $7::int)",
      {settings_.node, std::to_string(session), account, client, std::to_string(limits.server),
       std::to_string(limits.account), std::to_string(limits.perAddress)},
      [this, alive, session, account, client, done = std::move(done)](const RPgResultStr& r) {
        if (alive.expired() || !*alive.lock()) return;
        if (!r.Ok()) {
          // Perhaps registered, perhaps not: the node's next full write
          // after the reconnect settles it either way.
          done(RClusterAdmit::Unavailable);
          return;
        }
        switch (r.Int(0, 0, -1)) {
          case 0:
            sessions_[session] = SessionStr{account, client};
            done(RClusterAdmit::Admitted);
            return;
          case 1:
            done(RClusterAdmit::ServerFull);
            return;
          case 2:
            done(RClusterAdmit::AccountFull);
            return;
          case 3:
            done(RClusterAdmit::AddressFull);
            return;
          default:
            done(RClusterAdmit::Unavailable);
        }
      });
}

void RClusterStore::NoteSession(uint32_t session, const std::string& account,
                                const std::string& client) {
  sessions_[session] = SessionStr{account, client};
}

void RClusterStore::LeaveSession(uint32_t session) {
  if (sessions_.erase(session) == 0) return;
  if (state_ != RState::Ready) return;  // the next full write leaves it out
  client_.Query("DELETE FROM vantor_sessions WHERE node = $1 AND session = $2::bigint",
                {settings_.node, std::to_string(session)}, nullptr);
}

void RClusterStore::CountSessions(const std::string& account, const std::string& client,
                                  std::function<void(bool, int64_t)> done) {
  client_.Query(kLiveCount, {account, client},
                [done = std::move(done)](const RPgResultStr& r) { done(r.Ok(), r.Int(0, 0, 0)); });
}

// --- anti-hammering ------------------------------------------------------------

void RClusterStore::ShareBlock(const std::string& address, int64_t seconds) {
  if (seconds <= 0) return;
  // The later of a lift and a block of one address is the one that counts.
  std::erase(pendingLifts_, address);
  if (pendingBlocks_.size() >= 4096) pendingBlocks_.erase(pendingBlocks_.begin());
  pendingBlocks_.emplace_back(address, loop_.Clock().NowMs() + seconds * 1000);
  if (state_ == RState::Ready) SendBlocks();
}

void RClusterStore::SendBlocks() {
  const int64_t now = loop_.Clock().NowMs();
  std::vector<std::pair<std::string, int64_t>> blocks = std::move(pendingBlocks_);
  pendingBlocks_.clear();
  std::weak_ptr<bool> alive = alive_;
  for (const auto& block : blocks) {
    // Named copies: the answer handler below outlives this step.
    const std::string address = block.first;
    const int64_t untilMs = block.second;
    // Made while the database was away: it ends when it would have.
    const int64_t seconds = (untilMs - now + 999) / 1000;
    if (seconds <= 0) continue;
    // A longer block already there stands.
    client_.Query(
        "INSERT INTO vantor_blocks (address, until, node) "
        "VALUES ($1, now() + make_interval(secs => $2::int), $3) "
        "ON CONFLICT (address) DO UPDATE SET until = greatest(vantor_blocks.until, "
        "EXCLUDED.until), node = EXCLUDED.node",
        {address, std::to_string(std::min<int64_t>(seconds, INT32_MAX)), settings_.node},
        [this, alive, address, untilMs](const RPgResultStr& r) {
          if (alive.expired() || !*alive.lock()) return;
          if (SendAgain(r)) {
            pendingBlocks_.emplace_back(address, untilMs);
          } else if (!r.Ok() && onLog_) {
            onLog_(FormatStr(kLogClusterProblem, r.error));
          }
        });
  }
}

void RClusterStore::LiftBlock(const std::string& address) {
  std::erase_if(pendingBlocks_, [&](const auto& b) { return b.first == address; });
  // Bounded: a flood of lifts while the database is away keeps the latest.
  if (pendingLifts_.size() >= 4096) pendingLifts_.erase(pendingLifts_.begin());
  pendingLifts_.push_back(address);
  if (state_ == RState::Ready) SendLifts();
}

void RClusterStore::SendLifts() {
  if (pendingLifts_.empty()) return;
  std::vector<std::string> lifts = std::move(pendingLifts_);
  pendingLifts_.clear();
  std::weak_ptr<bool> alive = alive_;
  client_.Query("DELETE FROM vantor_blocks WHERE address = ANY($1::text[])", {TextArray(lifts)},
                [this, alive, lifts](const RPgResultStr& r) {
                  if (alive.expired() || !*alive.lock()) return;
                  // A block sent before the lift is answered before it, and may have
                  // been queued again since: the lift still wins.
                  for (const std::string& a : lifts)
                    std::erase_if(pendingBlocks_, [&](const auto& b) { return b.first == a; });
                  if (SendAgain(r))
                    pendingLifts_.insert(pendingLifts_.begin(), lifts.begin(), lifts.end());
                });
}

void RClusterStore::FetchBlocks(
    std::function<void(bool ok, std::vector<RSharedBlockStr> blocks)> done) {
  if (state_ != RState::Ready) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(false, {}); });
    return;
  }
  // Ended blocks go with the read.
  client_.Query(
      "WITH gone AS (DELETE FROM vantor_blocks WHERE until <= now()) "
      "SELECT address, ceil(extract(epoch FROM until - now()))::bigint FROM vantor_blocks "
      "WHERE until > now()",
      {}, [done = std::move(done)](const RPgResultStr& r) {
        std::vector<RSharedBlockStr> blocks;
        if (r.Ok()) {
          for (size_t i = 0; i < r.rows.size(); ++i) {
            blocks.push_back({r.Text(i, 0), r.Int(i, 1, 0)});
          }
        }
        done(r.Ok(), std::move(blocks));
      });
}

// --- quota ---------------------------------------------------------------------

void RClusterStore::ChargeQuota(const std::string& account, int64_t amount, int64_t maximum,
                                int64_t seed, int64_t confirmMs, ChargeDone done) {
  AddCharge(account, amount, -1, maximum, seed, confirmMs, std::move(done));
}

void RClusterStore::TakeQuota(const std::string& account, int64_t amount, int64_t least,
                              int64_t maximum, int64_t seed, int64_t confirmMs, ChargeDone done) {
  AddCharge(account, amount, amount > 0 ? std::max<int64_t>(least, 0) : -1, maximum, seed,
            confirmMs, std::move(done));
}

void RClusterStore::AddCharge(const std::string& account, int64_t amount, int64_t least,
                              int64_t maximum, int64_t seed, int64_t confirmMs, ChargeDone done) {
  const std::string id = chargePrefix_ + std::to_string(++chargeSeq_);
  ChargeStr c;
  c.account = account;
  c.amount = amount;
  c.maximum = maximum;
  c.seed = seed;
  c.least = least;
  c.deadlineMs = loop_.Clock().NowMs() + confirmMs;
  c.done = std::move(done);
  charges_.emplace(id, std::move(c));
  SendCharge(id);
  StartChargeTimer();
}

void RClusterStore::ChargeRatio(const std::string& account, double change, double need, double seed,
                                int64_t confirmMs, ChargeDone done) {
  const std::string id = chargePrefix_ + std::to_string(++chargeSeq_);
  ChargeStr c;
  c.account = account;
  c.ratio = true;
  c.change = std::isfinite(change) ? change : 0.0;
  c.need = std::isfinite(need) ? need : 0.0;
  c.seedCredit = std::isfinite(seed) ? seed : 0.0;
  c.deadlineMs = loop_.Clock().NowMs() + confirmMs;
  c.done = std::move(done);
  charges_.emplace(id, std::move(c));
  SendCharge(id);
  StartChargeTimer();
}

void RClusterStore::StartChargeTimer() {
  if (chargeTimer_ != 0) return;
  std::weak_ptr<bool> alive = alive_;
  chargeTimer_ = loop_.AddTimer(100, true, [this, alive] {
    if (auto a = alive.lock(); a && *a) RetryCharges();
  });
}

void RClusterStore::SendCharge(const std::string& id) {
  auto it = charges_.find(id);
  if (it == charges_.end() || it->second.sent || state_ != RState::Ready) return;
  ChargeStr& c = it->second;
  c.sent = true;
  std::weak_ptr<bool> alive = alive_;
  auto answered = [this, alive, id](const RPgResultStr& r) {
    if (auto a = alive.lock(); a && *a) ChargeAnswered(id, r);
  };
  if (c.ratio) {
    if (c.undo) {
      client_.Query("SELECT vantor_ratio_undo($1)", {id}, std::move(answered));
      return;
    }
    client_.Query(
        "SELECT ok, 0, 0, credit FROM vantor_ratio_charge($1, $2, $3::float8, $4::float8, "
        "$5::float8)",
        {id, c.account, RFormat("%.17g", c.change), RFormat("%.17g", c.need),
         RFormat("%.17g", c.seedCredit)},
        std::move(answered));
    return;
  }
  if (c.undo) {
    client_.Query("SELECT vantor_charge_undo($1)", {id}, std::move(answered));
    return;
  }
  if (c.least >= 0) {
    client_.Query(
        "SELECT taken > 0, used, taken FROM vantor_take($1, $2, $3::bigint, $4::bigint, "
        "$5::bigint, $6::bigint)",
        {id, c.account, std::to_string(c.amount), std::to_string(c.least),
         std::to_string(c.maximum), std::to_string(c.seed)},
        std::move(answered));
    return;
  }
  client_.Query(
      "SELECT ok, used, CASE WHEN ok THEN $3::bigint ELSE 0 END FROM "
      "vantor_charge($1, $2, $3::bigint, $4::bigint, $5::bigint)",
      {id, c.account, std::to_string(c.amount), std::to_string(c.maximum), std::to_string(c.seed)},
      std::move(answered));
}

void RClusterStore::ChargeAnswered(const std::string& id, const RPgResultStr& r) {
  auto it = charges_.find(id);
  if (it == charges_.end()) return;
  ChargeStr& c = it->second;
  c.sent = false;
  // A statement the server ended (shutdown, lost connection, deadlock, out
  // of resources) was rolled back and is asked again; any other failure is
  // the statement's own and would fail again.
  const bool transient = RetryableSqlState(r.sqlState);
  const bool failed = r.status == RPgResultStr::Status::Failed && !transient;
  if (failed && onLog_) onLog_(FormatStr(kLogClusterProblem, r.error));
  if (r.Ok() || (failed && c.IsUse() && !c.undo)) {
    ChargeDone done = std::move(c.done);
    const bool undo = c.undo;
    charges_.erase(it);
    if (undo || !done) return;
    RChargeAnswerStr a;
    a.outcome = r.Ok() && r.Text(0, 0) == "t" ? RCharge::Done : RCharge::Refused;
    a.used = r.Ok() ? r.Int(0, 1, -1) : -1;
    a.applied = r.Ok() ? r.Int(0, 2, 0) : 0;
    if (r.Ok() && r.rows[0].size() > 3) a.credit = std::strtod(r.Text(0, 3).c_str(), nullptr);
    done(a);
    return;
  }
  // Lost or timed out: perhaps applied, perhaps not. The same id goes again.
  RetryCharges();
}

void RClusterStore::RetryCharges() {
  const int64_t now = loop_.Clock().NowMs();
  std::vector<std::string> ids;
  for (auto& [id, c] : charges_) {
    if (c.sent) continue;
    if (!c.undo && c.IsUse() && now >= c.deadlineMs) {
      // Given up: the caller goes on as refused, and whatever the charge
      // may have applied is taken back.
      c.undo = true;
      if (ChargeDone done = std::move(c.done)) {
        c.done = nullptr;
        done(RChargeAnswerStr{RCharge::Unconfirmed, -1});
      }
    }
    ids.push_back(id);
  }
  for (const std::string& id : ids) SendCharge(id);
  if (charges_.empty() && chargeTimer_ != 0) {
    loop_.CancelTimer(chargeTimer_);
    chargeTimer_ = 0;
  }
}

// --- S/KEY -------------------------------------------------------------------

namespace {

// The record a row of vantor_skey stands for; nullopt when it is no record.
std::optional<std::string> SKeyRowRecord(const RPgResultStr& r, size_t first) {
  if (!r.Ok() || r.rows.empty()) return std::nullopt;
  SKeyValuesStr v;
  const int64_t sequence = r.Int(0, first, -1);
  if (sequence < 0 || sequence > UINT32_MAX) return std::nullopt;
  v.sequence = static_cast<uint32_t>(sequence);
  v.last = r.Text(0, first + 1);
  v.seed = r.Text(0, first + 2);
  std::string text = FormatSKeyValues(v);
  if (!ParseSKeyValues(text)) return std::nullopt;
  return text;
}

}  // namespace

void RClusterStore::ReadSKey(const std::string& account, const std::string& local,
                             std::function<void(bool, const std::string&)> done) {
  const std::optional<SKeyValuesStr> mine = ParseSKeyValues(local);
  if (state_ != RState::Ready || !mine) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(false, std::string()); });
    return;
  }
  client_.Query("SELECT sequence, last, seed FROM vantor_skey_read($1, $2::int, $3, $4)",
                {account, std::to_string(mine->sequence), mine->last, mine->seed},
                [done = std::move(done)](const RPgResultStr& r) {
                  const std::optional<std::string> record = SKeyRowRecord(r, 0);
                  done(record.has_value(), record.value_or(std::string()));
                });
}

void RClusterStore::SwapSKey(const std::string& account, const std::string& expected,
                             const std::string& next,
                             std::function<void(RSwap, const std::string&)> done) {
  const std::optional<SKeyValuesStr> was = ParseSKeyValues(expected);
  const std::optional<SKeyValuesStr> now = ParseSKeyValues(next);
  if (state_ != RState::Ready || !was || !now) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(RSwap::Unavailable, std::string()); });
    return;
  }
  // Not asked again after a lost answer: a retry of an applied swap would
  // find the record changed and call its own success stale. The caller
  // treats Unavailable as a refusal (or, with `local`, decides alone).
  client_.Query(
      "SELECT swapped, sequence, last, seed FROM vantor_skey_swap($1, $2::int, $3, $4, $5::int, "
      "$6, $7)",
      {account, std::to_string(was->sequence), was->last, was->seed, std::to_string(now->sequence),
       now->last, now->seed},
      [done = std::move(done)](const RPgResultStr& r) {
        const std::optional<std::string> record = SKeyRowRecord(r, 1);
        if (!record) {
          done(RSwap::Unavailable, std::string());
          return;
        }
        done(r.Text(0, 0) == "t" ? RSwap::Done : RSwap::Stale, *record);
      });
}

// --- passwords -----------------------------------------------------------------

void RClusterStore::ReadPassword(const std::string& account,
                                 std::function<void(bool, std::optional<std::string>)> done) {
  if (state_ != RState::Ready) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(false, std::nullopt); });
    return;
  }
  client_.Query("SELECT stored FROM vantor_passwords WHERE account = $1", {account},
                [done = std::move(done)](const RPgResultStr& r) {
                  if (!r.Ok()) {
                    done(false, std::nullopt);
                  } else if (r.rows.empty()) {
                    done(true, std::nullopt);
                  } else {
                    done(true, r.Text(0, 0));
                  }
                });
}

void RClusterStore::WritePassword(const std::string& account, const std::string& stored, bool skey,
                                  std::function<void(bool ok)> done) {
  if (state_ != RState::Ready) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(false); });
    return;
  }
  // One statement: a new pass phrase and the S/KEY record of the old one
  // never stand side by side. The record becomes the used-up placeholder
  // rather than going: without a row, the next machine to ask would start
  // it again from its own record of the old phrase. Committed
  // synchronously, as a change the client is told of must survive a crash
  // of the primary.
  const std::optional<SKeyValuesStr> usedUp = ParseSKeyValues(SKEY_PLACEHOLDER);
  client_.Query(
      "WITH sync AS (SELECT set_config('synchronous_commit', 'on', true)), "
      "reset AS (INSERT INTO vantor_skey SELECT $1, $4::int, $5, $6 WHERE $3::boolean "
      "ON CONFLICT (account) DO UPDATE SET sequence = EXCLUDED.sequence, last = EXCLUDED.last, "
      "seed = EXCLUDED.seed) "
      "INSERT INTO vantor_passwords (account, stored) SELECT $1, $2 FROM sync "
      "ON CONFLICT (account) DO UPDATE SET stored = EXCLUDED.stored",
      {account, stored, skey ? "true" : "false", std::to_string(usedUp->sequence), usedUp->last,
       usedUp->seed},
      [done = std::move(done)](const RPgResultStr& r) { done(r.Ok() && r.affected == 1); });
}

// --- upload records ------------------------------------------------------------

void RClusterStore::ShareUpload(const std::string& address, const std::string& path,
                                std::function<void()> done) {
  // Bounded like the lifts: a long outage keeps the latest records.
  if (pendingUploads_.size() >= 4096) pendingUploads_.erase(pendingUploads_.begin());
  pendingUploads_.emplace_back(address, path);
  if (state_ == RState::Ready) {
    SendUploads(std::move(done));
  } else if (done) {
    loop_.AddTimer(0, false, std::move(done));
  }
}

void RClusterStore::SendUploads(std::function<void()> done) {
  if (pendingUploads_.empty()) return;
  std::vector<std::pair<std::string, std::string>> ups = std::move(pendingUploads_);
  pendingUploads_.clear();
  std::vector<std::string> addresses, paths;
  for (const auto& [a, p] : ups) {
    addresses.push_back(a);
    paths.push_back(p);
  }
  std::weak_ptr<bool> alive = alive_;
  // One statement for all; a pair given twice is one row (DISTINCT ON), as
  // ON CONFLICT may not meet the same key twice in one insert.
  client_.Query(
      "INSERT INTO vantor_uploads (address, path, at, node) "
      "SELECT DISTINCT ON (u.a, u.p) u.a, u.p, now(), $3 FROM unnest($1::text[], $2::text[]) "
      "AS u(a, p) ON CONFLICT (address, path) DO UPDATE SET at = EXCLUDED.at, node = EXCLUDED.node",
      {TextArray(addresses), TextArray(paths), settings_.node},
      [this, alive, ups = std::move(ups), done = std::move(done)](const RPgResultStr& r) {
        if (alive.expired() || !*alive.lock()) return;
        if (SendAgain(r)) {
          pendingUploads_.insert(pendingUploads_.begin(), ups.begin(), ups.end());
        } else if (!r.Ok() && onLog_) {
          onLog_(FormatStr(kLogClusterProblem, r.error));
        }
        if (done) done();
      });
}

void RClusterStore::FindUpload(const std::string& address, const std::string& path,
                               std::function<void(bool ok, bool found)> done) {
  if (state_ != RState::Ready) {
    loop_.AddTimer(0, false, [done = std::move(done)] { done(false, false); });
    return;
  }
  client_.Query(
      "SELECT count(*) FROM vantor_uploads WHERE address = $1 AND path = $2 "
      "AND at > now() - $3::int * interval '1 second'",
      {address, path, std::to_string(kUploadRecordSeconds)},
      [done = std::move(done)](const RPgResultStr& r) { done(r.Ok(), r.Int(0, 0, 0) > 0); });
}

}  // namespace vantor
