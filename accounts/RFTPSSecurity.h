// The account store: answers every access query from the user, group and
// default-user sections of the configuration file.
//
// One instance exists while security is switched on; the main window owns
// it. Every account value is read from the file at the time of the query
// (the INI layer re-reads the file when it changed), so an administrator's
// edit takes effect at the next query. The store caches five lists (IP
// homes, client-check libraries, free files, server IP rules, no-log list)
// and reloads them when the process-wide reload flag is set.
//
// Loop thread only (asserted in debug and sanitizer builds); queries are
// answered one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "accounts/AccessQuery.h"
#include "accounts/RAccessRules.h"
#include "accounts/RClientCheck.h"
#include "accounts/RCrypt.h"
#include "accounts/RDigest.h"
#include "accounts/RFTPQuota.h"
#include "accounts/RFTPRatios.h"
#include "accounts/RIPRules.h"
#include "accounts/RListRules.h"
#include "accounts/RPasswordHash.h"
#include "accounts/RPathProbe.h"
#include "accounts/RSKey.h"
#include "accounts/RWildcard.h"
#include "config/RIniFile.h"
#include "platform/RClock.h"
#include "platform/RDriveMap.h"
#include "platform/RThreadChecker.h"

namespace vantor {

// Section names.
inline constexpr std::string_view DEFAULT_USER_SECTION = "USER=** Default **";
inline constexpr std::string_view ANONYMOUS_USER = "anonymous";

// The process-wide reload flag: set by the administration side after it
// saved IP homes, libraries, free files, IP access rules or the no-log list.
// It stays a process-wide atomic so that code without a reference to the
// store (another thread, a signal handler) may set it; the next query of a
// store clears it. Nothing in this program sets it today: the front ends'
// reload goes through RFTPServer::Reload, which reloads the store itself.
void SetSecurityReloadFlag();
bool SecurityReloadFlag();

// The main window's handler of ACCESS_QUERY_MESSAGE: with security off every
// query is answered flag 1 and nothing else changes; with no store flag 0;
// otherwise the store answers.
class RFTPSSecurity;
void HandleAccessQueryMessage(RFTPSSecurity* store, bool securityOn, AccessQuery& q);

// True when `password` looks like an e-mail address as CheckAnonPass wants:
// "@" present but not first, "." present, at least 8 characters.
bool AnonPasswordLooksValid(std::string_view password);

class RFTPSSecurity {
 public:
  // `iniPath`: the configuration file. `clock` (not owned; nullptr = the
  // system clock) gives the wall time for S/KEY challenges and salts.
  explicit RFTPSSecurity(std::string iniPath, RClock* clock = nullptr);
  ~RFTPSSecurity();
  RFTPSSecurity(const RFTPSSecurity&) = delete;
  RFTPSSecurity& operator=(const RFTPSSecurity&) = delete;

  // Answers one query in place (ACCESS_QUERY_MESSAGE with security on).
  // A password query computes its hash here, on the caller's thread.
  void Answer(AccessQuery& q);
  // The password query (QC_PASSWORD) in two steps, so that the hash runs
  // on a worker: answers `q` like Answer() and returns nullopt when no hash
  // is needed; otherwise returns the hash to compute, and FinishPassword
  // completes `q` (the same record) with its result. Names that have no
  // password to check, and disabled accounts, get a dummy hash of the
  // configured kind, so that the time of the answer does not tell which
  // names exist. An empty password is never checked against a hash (only
  // an empty stored value lets an account in without one).
  std::optional<RPasswordWorkStr> BeginPassword(AccessQuery& q);
  void FinishPassword(AccessQuery& q, const RPasswordWorkStr& work, RPasswordCheck result);
  // The file-access rules `user` has on the IP home `address` now, for a
  // worker to ask instead of this store (see RListRules).
  std::shared_ptr<const RListRules> ListRules(std::string_view user, uint32_t address);

  // --- seams ---------------------------------------------------------------
  // Client-check libraries (not owned; nullptr = none). Installed at run time
  // by the hook library code; asked to reload when installed (not when the
  // same one is installed again) and on the reload flag.
  void SetClientCheck(RClientCheck* check);
  // Codes 46 and 47: the message-file lookup of the sign-on/sign-off table.
  // Returns true and sets `file` when a file is configured for the address.
  using MessageFileLookup = std::function<bool(bool signOn, uint32_t address, std::string& file)>;
  void SetMessageFileLookup(MessageFileLookup fn);
  // File system questions (not owned; nullptr = the default drive-table probe).
  void SetPathProbe(const RPathProbe* probe);
  const RPathProbe& PathProbe() const;

  // --- direct helpers (same answers as the queries, no libraries) ----------
  // Rule evaluation for user, code (7..21) and local path: true = permitted.
  [[nodiscard]] bool RulesAllow(std::string_view user, uint32_t code, std::string_view localPath);
  // True when one of the access rules that apply to `user` (on the IP home
  // `address`, 0 for none) names the directory `localDir` itself or a path
  // inside it, so that renaming or removing the directory would change what
  // the rule covers. A rule without a drive is taken on localDir's drive; a
  // bare name counts when it matches localDir's own name.
  [[nodiscard]] bool RulesNameInside(std::string_view user, uint32_t address,
                                     std::string_view localDir);
  // Inherited lookup (user, group, default user; the anonymous account alone).
  // False when no section holds a non-empty value.
  [[nodiscard]] bool LookupKey(std::string_view user, std::string_view key, std::string& value);

  // --- cached lists (after the last reload) -------------------------------
  const std::vector<std::string>& FreeFiles() const { return freeFiles_; }
  const std::vector<std::string>& ServerIPRules() const { return serverIPRules_; }
  const std::vector<std::string>& NoLogList() const { return noLog_; }
  // IP homes: key number n of IPn and the address (first octet high).
  struct IPHome {
    uint32_t n;
    uint32_t address;
  };
  const std::vector<IPHome>& IPHomes() const { return homes_; }
  const RDriveMap& Drives() const { return drives_; }
  // Whether a rule naming a host has been matched: from then on the
  // connection code looks client host names up before admission.
  bool IPNameMatchingOn() const { return ipMatcher_.NameMatchingOn(); }
  // Reloads the five lists now (the reload flag does this before a query).
  void Reload();

  RIniFile& Ini() { return ini_; }
  const std::string& IniPath() const { return ini_.Path(); }

  // --- S/KEY records kept by a shared store ---------------------------------
  // The S/KEY account the user and session of `q` name, with its record as
  // this store holds it now (empty when it has none yet); nullopt for any
  // other account.
  std::optional<RSKeyRecordStr> SKeyRecordFor(AccessQuery& q);
  // Makes `record` the account's S/KEY record, over the INI file's, until
  // replaced; an empty one drops it (the INI file's counts again).
  void SetSharedSKey(const std::string& account, const std::string& record);
  // The change the last one-time password accepted for `session` made;
  // taken once.
  std::optional<RSKeyUseStr> TakeSKeyUse(uint32_t session);

  // --- passwords kept by a shared store -------------------------------------
  // The account whose password a login with `q` checks (lower case, "@N"
  // included); nullopt for anonymous and empty names.
  std::optional<std::string> PasswordAccountFor(AccessQuery& q);
  // Makes `stored` the account's password over the INI file's; nullopt
  // drops it (the INI file's counts again).
  void SetSharedPassword(const std::string& account, const std::optional<std::string>& stored);
  // SITE PSWD in two steps: the change `q` (QC_CHANGE_PASSWORD) asks for,
  // checked and hashed but not stored; nullopt when it is refused. Then,
  // once the shared store holds it, written to the INI file (false when
  // that fails) and made the account's shared password.
  std::optional<RPasswordChangeStr> PreparePasswordChange(AccessQuery& q);
  bool CommitPasswordChange(const RPasswordChangeStr& change);

 private:
  // One security warning for each IPn value of [IP-ACCESS], USER= and
  // GROUP= sections that is no rule the matcher reads.
  void WarnIgnoredIPRules() const;
  struct Ctx;  // one query's state and its snapshots of the account sections
  using Entries = std::vector<std::pair<std::string, std::string>>;

  // Section snapshots, valid while the content the INI layer holds has not
  // changed (a parse, or a write by any reader of the file).
  // BeginSnapshot() makes the INI layer check the file once per query.
  void BeginSnapshot();
  std::shared_ptr<const Entries> CachedSection(const std::string& name);
  void DropSnapshots();

  // What every query does first: a pending reload, the section snapshots,
  // the "@N" account of the IP home. Returns the name as asked.
  std::string BeginQuery(AccessQuery& q, Ctx& c);
  void AnswerOwn(AccessQuery& q, Ctx& c);
  void AnswerText(AccessQuery& q, Ctx& c, std::string_view key);
  void AnswerPathText(AccessQuery& q, Ctx& c, std::string_view key);
  void AnswerBool(AccessQuery& q, Ctx& c, std::string_view key);
  void AnswerFileAccess(AccessQuery& q, Ctx& c);
  void AnswerIPAccess(AccessQuery& q, Ctx& c);
  void AnswerLogClient(AccessQuery& q);
  // Answers `q`, or fills `work` and returns true when a hash decides.
  bool AnswerPassword(AccessQuery& q, Ctx& c, RPasswordWorkStr& work);
  // A hash against the dummy value of the configured kind (true), when a
  // real account's password would have been hashed.
  bool DummyPassword(const AccessQuery& q, RPasswordWorkStr& work) const;
  // The client-check libraries' turn at an answer, and the name as asked
  // put back.
  void FinishAnswer(AccessQuery& q, bool suffixed, const std::string& asked);
  void AnswerVerifyPassword(AccessQuery& q, Ctx& c);
  void AnswerChangePassword(AccessQuery& q, Ctx& c);
  std::optional<RPasswordChangeStr> PasswordChange(AccessQuery& q, Ctx& c);
  // The account's stored password: the shared store's, else the INI file's.
  bool LookupPassword(Ctx& c, std::string& stored);
  void AnswerChallenge(AccessQuery& q, Ctx& c);
  bool VerifyOtp(AccessQuery& q, Ctx& c);
  // The stored hash check of PASS and of password verification; logs a
  // stored value that is no hash it can check.
  bool CheckStoredHash(Ctx& c, std::string_view given, const std::string& stored);
  void NoteUncheckable(const std::string& account, const std::string& stored);
  bool ReadSKeyRecord(Ctx& c, std::string& text);
  bool StoreSKeyRecord(Ctx& c, const std::string& text, bool loggedIn);
  void AnswerRatioType(AccessQuery& q, Ctx& c);
  void AnswerRatioCredit(AccessQuery& q, Ctx& c);
  void AnswerRatioFree(AccessQuery& q);
  void AnswerQuotaChange(AccessQuery& q, Ctx& c);
  void AnswerQuotaMax(AccessQuery& q, Ctx& c);

  bool RulesAllowCtx(Ctx& c, uint32_t code, std::string_view localPath);
  // `deferred`: the counters written on every transfer (quota use, ratio
  // credit) change in memory at once and reach the disk through the INI
  // file's ordered writer, off the loop.
  bool WriteUserKey(Ctx& c, std::string_view key, std::optional<std::string_view> value,
                    bool deferred = false);
  bool GlobalBool(std::string_view key, bool def) const;
  int64_t Now() const;

  RIniFile ini_;
  RClock* clock_;
  RDriveMap drives_;
  RDrivePathProbe defaultProbe_;
  const RPathProbe* probe_;
  RClientCheck* clientCheck_ = nullptr;
  MessageFileLookup messageFiles_;
  std::vector<IPHome> homes_;
  std::vector<std::string> freeFiles_;
  std::vector<std::string> serverIPRules_;
  std::vector<std::string> noLog_;
  // Matches the patterns of all three address lists; its name-matching
  // switch is this store's.
  RIPMatcher ipMatcher_;
  std::unordered_map<std::string, std::shared_ptr<const Entries>> sections_;
  uint64_t sectionsChange_ = ~uint64_t{0};
  // Accounts whose stored password could not be checked, with that value:
  // each is logged once until the value changes.
  std::unordered_map<std::string, std::string> uncheckable_;
  // S/KEY state of names without a section of their own (they log in
  // through the default user), keyed by the lower-case name. Kept in memory
  // until a login succeeds, so made-up names never grow the file; bounded.
  std::unordered_map<std::string, std::string> pendingSKey_;
  // The S/KEY challenge each session was given: the lower-case account and
  // the sequence. Only that session may answer it; any other session asks
  // for one of its own, so nobody can lock an account by asking. Dropped
  // at the session's close notice; bounded.
  struct Challenge {
    std::string account;
    uint32_t sequence = 0;
  };
  std::unordered_map<uint32_t, Challenge> challenges_;
  // Records a shared store holds, by lower-case account: read before the
  // INI file's and kept up to date with every change made here. Bounded.
  std::unordered_map<std::string, std::string> sharedSKey_;
  // Passwords a shared store holds, by lower-case account, as last read at
  // USER or changed here: read before the INI file's. Bounded.
  std::unordered_map<std::string, std::string> sharedPasswords_;
  // The change each session's accepted one-time password made, until its
  // login is confirmed with the shared store. Dropped at the close notice.
  std::unordered_map<uint32_t, RSKeyUseStr> skeyUses_;
  // Every public query and change asserts on it: workers ask through the
  // loop, never here.
  [[no_unique_address]] RThreadChecker thread_;
};

}  // namespace vantor
