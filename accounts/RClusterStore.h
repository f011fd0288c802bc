// The shared store of a cluster: what several machines serving one set of
// accounts must count together, kept in PostgreSQL.
//
// Each machine is a node with a lease in `vantor_nodes`; its logged-in
// sessions are rows of `vantor_sessions`. Counts take only sessions of nodes
// whose lease stands, so a machine that stops renewing (crashed, cut off)
// frees its slots once its lease runs out. The node keeps its own list of
// what it registered and writes it again whole after every reconnect, so a
// registration or a leave whose answer was lost is set right.
//
// Every change is one statement; the limit checks and the registration run
// in one server-side function under advisory locks, so two machines never
// both take the last slot. Times are the database's own (`now()`), so the
// machines' clocks do not matter.
//
// Loop thread only. Callbacks run on the loop thread, never inside the call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/RClusterSettings.h"
#include "net/RPgClient.h"
#include "platform/RMessageLoop.h"

namespace vantor {

// The limits in force for one login; -1: none.
struct RSessionLimitsStr {
  int32_t server = -1;      // `MaxNrUsers` (logged-in sessions of the cluster)
  int32_t account = -1;     // the account's `MaxNrUsers`
  int32_t perAddress = -1;  // the account's logins from one client address
};

enum class RClusterAdmit {
  Admitted,
  ServerFull,
  AccountFull,
  AddressFull,
  Unavailable,  // not answered: the database is down, or the schema unusable
};

class RClusterStore {
 public:
  // The schema this build reads and writes.
  static constexpr int kSchemaVersion = 7;

  enum class RState {
    Down,         // not connected (yet, or again)
    SchemaWrong,  // connected, but the schema is missing or too old
    Ready,
  };

  RClusterStore(RMessageLoop& loop, RClusterSettings settings, std::string password);
  ~RClusterStore();
  RClusterStore(const RClusterStore&) = delete;
  RClusterStore& operator=(const RClusterStore&) = delete;

  // Connects; once up, checks the schema, takes the node's lease and starts
  // renewing it. `onLog` hears each change of state as one line.
  void Start(std::function<void(const std::string& line)> onLog);
  RState State() const { return state_; }
  bool Ready() const { return state_ == RState::Ready; }
  const RClusterSettings& Settings() const { return settings_; }
  RPgClient& Client() { return client_; }

  // Creates the schema or brings it to kSchemaVersion over `client` (up);
  // safe to run again and from several machines at once. `done` gets the
  // outcome as a line.
  static void InitSchema(RPgClient& client,
                         std::function<void(bool ok, const std::string& line)> done);
  void Init(std::function<void(bool ok, const std::string& line)> done) {
    InitSchema(client_, std::move(done));
  }

  // Checks `limits` against the live sessions of every node and, when they
  // allow, registers the session, all in one statement.
  void RegisterSession(uint32_t session, const std::string& account, const std::string& client,
                       const RSessionLimitsStr& limits, std::function<void(RClusterAdmit)> done);
  // Records a session admitted while the store could not answer: it is
  // written with the next full write of the node's sessions.
  void NoteSession(uint32_t session, const std::string& account, const std::string& client);
  void LeaveSession(uint32_t session);
  size_t LocalSessions() const { return sessions_.size(); }

  // Live sessions of the cluster: all of them (`account` empty), or those of
  // an account, or of an account from one client address.
  void CountSessions(const std::string& account, const std::string& client,
                     std::function<void(bool ok, int64_t count)> done);
  // Renews the lease now (the timer does it every third of the lease).
  void RenewLease();

  // --- anti-hammering ---------------------------------------------------------
  // Publishes a block this node made: `address` refused for `seconds` on
  // every node (a longer one already there stands). Made while the store
  // is down, it is sent once it is back, for what is left of it.
  void ShareBlock(const std::string& address, int64_t seconds);
  struct RSharedBlockStr {
    std::string address;
    int64_t secondsLeft = 0;
  };
  // Lifts the block of `address` for every node (an administrator's
  // unblock). Lifted while the store is down, it is sent once it is back.
  void LiftBlock(const std::string& address);
  // The blocks in force, made by any node; `ok` false when not answered.
  void FetchBlocks(std::function<void(bool ok, std::vector<RSharedBlockStr> blocks)> done);

  // --- upload records -----------------------------------------------------------
  // How long a record lets its client resume (the one-machine records' age).
  static constexpr int64_t kUploadRecordSeconds = 43200;
  // Records that `address` uploaded the local `path` and may resume it from
  // any machine. Made while the store is down, it is sent once it is back.
  // `done` (never called before this returns) hears when the record is in
  // the store, or queued for later: from then on every machine finds it.
  void ShareUpload(const std::string& address, const std::string& path,
                   std::function<void()> done = nullptr);
  // Whether any machine recorded such an upload in the last 12 hours; `ok`
  // false when not answered.
  void FindUpload(const std::string& address, const std::string& path,
                  std::function<void(bool ok, bool found)> done);

  // --- quota ------------------------------------------------------------------
  enum class RCharge {
    Done,         // applied (a release: as far as there was usage to give back)
    Refused,      // a use past the maximum: nothing changed
    Unconfirmed,  // no answer in time: taken back (see ChargeQuota)
  };
  struct RChargeAnswerStr {
    RCharge outcome = RCharge::Unconfirmed;
    int64_t used = -1;    // the account's usage after it; -1 unknown
    int64_t applied = 0;  // what it changed the usage by (a take: what it took)
    double credit = 0;    // a ratio charge: the credit after it
  };
  using ChargeDone = std::function<void(const RChargeAnswerStr&)>;
  // Takes `amount` bytes of `account`'s quota (> 0; refused when the usage
  // would pass `maximum`) or gives them back (< 0), in one statement under
  // an id of its own; `seed` is the usage an account starts with (its INI
  // figure). An answer lost with the connection is asked again under the
  // same id once the store is back, so a charge counts once whatever
  // happens. A use still unanswered after `confirmMs` is given up: `done`
  // hears Unconfirmed, and the store undoes it (should it have been
  // applied) when it can. A release is never given up.
  void ChargeQuota(const std::string& account, int64_t amount, int64_t maximum, int64_t seed,
                   int64_t confirmMs, ChargeDone done);
  // Like ChargeQuota for a use, but takes what it can: up to `amount`, no
  // more than an eighth of what the maximum leaves unless that is below
  // `least`, never past the maximum, perhaps nothing (Refused); `applied`
  // says how much.
  void TakeQuota(const std::string& account, int64_t amount, int64_t least, int64_t maximum,
                 int64_t seed, int64_t confirmMs, ChargeDone done);
  // Adds `change` to `account`'s ratio credit in one statement under an id
  // of its own, like ChargeQuota: a debit (< 0) is refused when the credit
  // is short of `need` by more than 0.01, and given up (Unconfirmed, then
  // undone) when unanswered after `confirmMs`; a credit is never given up.
  // `seed`: the credit an account starts with (its INI figure). A change
  // of 0 reads the credit.
  void ChargeRatio(const std::string& account, double change, double need, double seed,
                   int64_t confirmMs, ChargeDone done);
  // Charges and undos sent or waiting to be sent.
  size_t OutstandingCharges() const { return charges_.size(); }

  // --- S/KEY ------------------------------------------------------------------
  // Records are SKEYValues texts ("time session LAST sequence seed"); the
  // store keeps the last three fields and answers with time and session 0.
  // `account`'s record in the store; `local` (this machine's record) is
  // written first when the store has none. `ok` false: not answered, or a
  // record that does not parse.
  void ReadSKey(const std::string& account, const std::string& local,
                std::function<void(bool ok, const std::string& record)> done);
  enum class RSwap {
    Done,         // the record is `next` now
    Stale,        // another machine changed it first: nothing changed
    Unavailable,  // not answered
  };
  // Makes `next` the record only while it is still `expected`, in one
  // statement; `current` is the record as it stands afterwards (Done and
  // Stale).
  void SwapSKey(const std::string& account, const std::string& expected, const std::string& next,
                std::function<void(RSwap, const std::string& current)> done);

  // --- passwords --------------------------------------------------------------
  // `account`'s stored password (its hash, or an S/KEY account's pass
  // phrase as the INI file would hold it) when a change put one in the
  // store; `ok` false when not answered.
  void ReadPassword(const std::string& account,
                    std::function<void(bool ok, std::optional<std::string> stored)> done);
  // Makes `stored` the account's password for every machine, in one
  // statement that also sets the account's S/KEY record to the used-up
  // placeholder when `skey` (a new pass phrase starts a new sequence). `ok` false: not confirmed.
  // Not asked again after a lost answer: the caller refuses the change.
  void WritePassword(const std::string& account, const std::string& stored, bool skey,
                     std::function<void(bool ok)> done);

 private:
  struct SessionStr {
    std::string account;
    std::string client;
  };
  struct ChargeStr {
    std::string account;
    int64_t amount = 0;
    int64_t maximum = 0;
    int64_t seed = 0;
    int64_t deadlineMs = 0;  // a use: when it is given up
    int64_t least = -1;      // a take's (TakeQuota); -1: a charge
    bool undo = false;       // given up: what it applied is taken back
    bool sent = false;       // a statement for it is in flight
    bool ratio = false;      // a ratio charge (ChargeRatio)
    double change = 0;       // a ratio charge's
    double need = 0;
    double seedCredit = 0;
    ChargeDone done;
    // What is given up when unanswered in time: a use of quota, a debit
    // of credit.
    bool IsUse() const { return ratio ? change < 0 : amount > 0; }
  };
  void AddCharge(const std::string& account, int64_t amount, int64_t least, int64_t maximum,
                 int64_t seed, int64_t confirmMs, ChargeDone done);
  void SendCharge(const std::string& id);
  void StartChargeTimer();
  void ChargeAnswered(const std::string& id, const RPgResultStr& r);
  void RetryCharges();
  void OnConnection(bool up, const std::string& why);
  void CheckSchema();
  void SyncNode();
  void SetState(RState s, const std::string& line);

  RMessageLoop& loop_;
  RClusterSettings settings_;
  RPgClient client_;
  RState state_ = RState::Down;
  std::function<void(const std::string&)> onLog_;
  std::map<uint32_t, SessionStr> sessions_;
  std::vector<std::string> pendingLifts_;  // LiftBlock while down
  void SendLifts();
  std::vector<std::pair<std::string, int64_t>> pendingBlocks_;  // address, end (loop ms)
  void SendBlocks();
  std::vector<std::pair<std::string, std::string>> pendingUploads_;  // address, path
  void SendUploads(std::function<void()> done = nullptr);
  void SendQueued();  // lifts first, so a lifted block is not sent again
  std::map<std::string, ChargeStr> charges_;
  std::string chargePrefix_;  // node and a random tag of this run
  uint64_t chargeSeq_ = 0;
  RMessageLoop::TimerId chargeTimer_ = 0;
  RMessageLoop::TimerId leaseTimer_ = 0;
  uint64_t generation_ = 0;  // moves with every connection
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantor
