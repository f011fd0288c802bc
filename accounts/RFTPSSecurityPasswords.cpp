// The account store's passwords: plain and hashed checks, changes, and
// S/KEY one-time passwords with their challenges and records.
#include "accounts/RFTPSSecurity.h"

#include <optional>
#include <string>
#include <string_view>

#include "accounts/RAccountsStrings.h"
#include "accounts/RFTPSSecurityQuery.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {

using namespace securitydetail;

namespace {

constexpr size_t kSKeyPassMax = 249;     // pass phrase read for S/KEY initialisation
constexpr size_t kMaxChallenges = 4096;  // sessions with a challenge out
constexpr uint32_t kSKeyInitialSequence = 999;

}  // namespace

bool RFTPSSecurity::WriteUserKey(Ctx& c, std::string_view key,
                                 std::optional<std::string_view> value, bool deferred) {
  const bool ok = deferred ? ini_.WriteStringDeferred(c.UserSection(), key, value)
                           : ini_.WriteString(c.UserSection(), key, value);
  DropSnapshots();
  c.Invalidate();
  return ok;
}

std::optional<RPasswordWorkStr> RFTPSSecurity::BeginPassword(AccessQuery& q) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  Ctx c(*this);
  const std::string asked = BeginQuery(q, c);
  RPasswordWorkStr work;
  if (AnswerPassword(q, c, work)) {
    work.account = c.user;
    work.asked = c.suffixed ? asked : std::string();
    return work;
  }
  FinishAnswer(q, c.suffixed, asked);
  return std::nullopt;
}

void RFTPSSecurity::FinishPassword(AccessQuery& q, const RPasswordWorkStr& work,
                                   RPasswordCheck result) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  if (result == RPasswordCheck::Unchecked && !work.dummy)
    NoteUncheckable(work.account, work.stored);
  q.flag = !work.dummy && result == RPasswordCheck::Match ? 1 : 0;
  FinishAnswer(q, !work.asked.empty(), work.asked);
}

bool RFTPSSecurity::DummyPassword(const AccessQuery& q, RPasswordWorkStr& work) const {
  if (QueryAux(q).empty() || !GlobalBool("EncryptPasswords", true)) return false;
  work.given = std::string(QueryAux(q));
  work.stored = std::string(
      DummyPasswordHash(HashMethodFromSetting(ini_.GetString("GLOBAL", "PasswordHash"))));
  work.dummy = true;
  return true;
}

bool RFTPSSecurity::AnswerPassword(AccessQuery& q, Ctx& c, RPasswordWorkStr& work) {
  std::string v;
  if (c.Lookup("Enable", v) && !IsTrueWord(v)) return !c.anonymous && DummyPassword(q, work);
  const std::string given(QueryAux(q));
  if (c.anonymous) {
    if (GlobalBool("CheckAnonPass", false) && !AnonPasswordLooksValid(given)) return false;
    q.flag = 1;
    return false;
  }
  std::string type;
  if (c.Lookup("PasswordType", type) && SKeyMethodFromType(type) != 0) {
    q.flag = VerifyOtp(q, c) ? 1 : 0;
    return false;
  }
  std::string stored;
  if (!LookupPassword(c, stored)) return DummyPassword(q, work);
  if (stored.empty()) {
    q.flag = 1;
    return false;
  }
  if (!GlobalBool("EncryptPasswords", true)) {
    q.flag = SameBytes(given, stored) ? 1 : 0;
    return false;
  }
  // USER asks with an empty password whether the account needs one; that
  // question must cost no hash, or every USER would.
  if (given.empty()) return false;
  work.given = given;
  work.stored = std::move(stored);
  return true;
}

bool RFTPSSecurity::CheckStoredHash(Ctx& c, std::string_view given, const std::string& stored) {
  const RPasswordCheck r = CheckPasswordHash(given, stored);
  if (r == RPasswordCheck::Unchecked) NoteUncheckable(c.user, stored);
  return r == RPasswordCheck::Match;
}

void RFTPSSecurity::NoteUncheckable(const std::string& account, const std::string& stored) {
  // Once per account and stored value: a client retrying a refused login
  // must not fill the log. The password itself never reaches the log.
  auto [it, fresh] = uncheckable_.try_emplace(account, stored);
  if (!fresh && it->second == stored) return;
  it->second = stored;
  WriteLog(LOG_SECURITY, FormatStr(kLogUnknownPasswordHash, account));
}

void RFTPSSecurity::AnswerVerifyPassword(AccessQuery& q, Ctx& c) {
  if (c.anonymous) return;
  std::string stored;
  if (!LookupPassword(c, stored)) return;
  const std::string given(QueryAux(q));
  if (stored.empty() || given.empty()) {
    q.flag = stored.empty() && given.empty() ? 1 : 0;
    return;
  }
  bool encrypt = GlobalBool("EncryptPasswords", true);
  std::string type;
  if (c.Lookup("PasswordType", type) && SKeyMethodFromType(type) != 0) {
    q.flag = SameBytes(encrypt ? UnscramblePassPhrase(stored) : stored, given) ? 1 : 0;
    return;
  }
  bool ok = encrypt ? CheckStoredHash(c, given, stored) : SameBytes(given, stored);
  q.flag = ok ? 1 : 0;
}

bool RFTPSSecurity::LookupPassword(Ctx& c, std::string& stored) {
  if (auto shared = sharedPasswords_.find(Lower(c.user)); shared != sharedPasswords_.end()) {
    stored = shared->second;
    return true;
  }
  return c.Lookup("Password", stored, true);
}

std::optional<RPasswordChangeStr> RFTPSSecurity::PasswordChange(AccessQuery& q, Ctx& c) {
  const std::string fresh(QueryAux(q));
  if (c.anonymous || fresh.empty()) return std::nullopt;
  std::string v;
  if (!c.Lookup("ChangePassword", v) || !IsTrueWord(v)) return std::nullopt;
  bool encrypt = GlobalBool("EncryptPasswords", true);
  std::string type;
  RPasswordChangeStr change;
  change.account = Lower(c.user);
  change.section = c.UserSection();
  change.skey = c.Lookup("PasswordType", type) && SKeyMethodFromType(type) != 0;
  change.stored = fresh;
  if (change.skey) {
    if (encrypt) change.stored = ScramblePassPhrase(fresh);
  } else if (encrypt && HashMethodFromSetting(ini_.GetString("GLOBAL", "PasswordHash")) ==
                            RHashMethod::Yescrypt) {
    auto hash = YescryptHash(fresh);
    if (!hash) return std::nullopt;  // no hash, nothing stored: the change is refused
    change.stored = std::move(*hash);
  } else if (encrypt) {
    // Two random lower-case letters as the salt, from the kernel's
    // generator: a salt taken from the clock can be predicted.
    const std::string salt = NewCryptSalt();
    if (salt.empty()) return std::nullopt;  // nothing stored, nothing reported as done
    change.stored = Crypt(fresh, salt);
  }
  return change;
}

bool RFTPSSecurity::CommitPasswordChange(const RPasswordChangeStr& change) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  std::vector<RIniFile::Change> changes;
  // The next challenge starts a new sequence with a new seed.
  if (change.skey) changes.push_back({change.section, "SKEYValues", std::nullopt});
  changes.push_back({change.section, "Password", change.stored});
  const bool ok = ini_.Apply(changes);
  DropSnapshots();
  if (change.skey) {
    sharedSKey_.erase(change.account);
    pendingSKey_.erase(change.account);
  }
  if (sharedPasswords_.count(change.account) != 0) sharedPasswords_[change.account] = change.stored;
  return ok;
}

void RFTPSSecurity::AnswerChangePassword(AccessQuery& q, Ctx& c) {
  std::optional<RPasswordChangeStr> change = PasswordChange(q, c);
  if (!change) return;
  const bool ok = CommitPasswordChange(*change);
  c.Invalidate();
  if (!ok) return;  // not stored: the change is not reported as done
  SetFlagText(q, change->stored);
}

std::optional<RPasswordChangeStr> RFTPSSecurity::PreparePasswordChange(AccessQuery& q) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  Ctx c(*this);
  const std::string asked = BeginQuery(q, c);
  std::optional<RPasswordChangeStr> change = PasswordChange(q, c);
  if (c.suffixed) SetQueryUser(q, asked);
  return change;
}

std::optional<std::string> RFTPSSecurity::PasswordAccountFor(AccessQuery& q) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  Ctx c(*this);
  const std::string asked = BeginQuery(q, c);
  if (c.suffixed) SetQueryUser(q, asked);
  q.flag = 0;
  if (c.anonymous || c.user.empty()) return std::nullopt;
  return Lower(c.user);
}

void RFTPSSecurity::SetSharedPassword(const std::string& account,
                                      const std::optional<std::string>& stored) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  const std::string key = Lower(account);
  if (!stored) {
    sharedPasswords_.erase(key);
    return;
  }
  // Made-up names cost memory only up to the bound; a password dropped
  // here is read from the store again at the next USER.
  if (sharedPasswords_.size() >= kMaxChallenges && sharedPasswords_.count(key) == 0)
    sharedPasswords_.clear();
  sharedPasswords_[key] = *stored;
}

// Builds a fresh S/KEY record: sequence 999 under a new seed, or the
// placeholder when the account has no pass phrase.
static std::string NewSKeyRecord(int method, const std::string& passPhrase,
                                 const std::optional<SKeyValuesStr>& old, int64_t now) {
  if (passPhrase.empty()) return std::string(SKEY_PLACEHOLDER);
  std::string avoid = old && old->sequence == 1 ? old->seed : std::string();
  std::string seed = SKeyNewSeed(now, avoid);
  auto otp = SKeyCompute(method, seed, passPhrase, kSKeyInitialSequence + 1);
  if (!otp) return std::string(SKEY_PLACEHOLDER);
  return RFormat("0 0 %s %u %s", SKeyToHex(*otp), kSKeyInitialSequence, seed);
}

void RFTPSSecurity::AnswerChallenge(AccessQuery& q, Ctx& c) {
  std::string type;
  if (!c.Lookup("PasswordType", type)) return;
  int method = SKeyMethodFromType(type);
  if (method == 0) return;
  const int64_t now = Now();
  challenges_.erase(c.session);

  std::string text;
  std::optional<SKeyValuesStr> rec;
  if (ReadSKeyRecord(c, text)) rec = ParseSKeyValues(text);
  const bool fresh = !rec || rec->sequence < 2;
  if (fresh) {
    std::string pass;
    if (LookupPassword(c, pass)) {
      pass = Cut(pass, kSKeyPassMax);
      if (GlobalBool("EncryptPasswords", true)) pass = UnscramblePassPhrase(pass);
    }
    rec = ParseSKeyValues(NewSKeyRecord(method, pass, rec, now));
    if (!rec) return;
  }
  // Every session gets the challenge it asks for, and only it may answer
  // it: a stranger's USER neither locks the account nor voids the owner's
  // challenge. Whoever answers the sequence first uses it up.
  if (challenges_.size() >= kMaxChallenges && challenges_.count(c.session) == 0)
    challenges_.clear();
  challenges_[c.session] = {Lower(c.user), rec->sequence};
  if (fresh && !StoreSKeyRecord(c, FormatSKeyValues(*rec), false)) return;
  SetFlagText(q, FormatStr(kReplyOtpChallenge, method, rec->sequence, rec->seed));
}

bool RFTPSSecurity::VerifyOtp(AccessQuery& q, Ctx& c) {
  const std::string response(QueryAux(q));
  if (response.empty()) return false;
  std::string type;
  c.Lookup("PasswordType", type);
  int method = SKeyMethodFromType(type);
  std::string text;
  if (!ReadSKeyRecord(c, text)) return false;
  auto rec = ParseSKeyValues(text);
  auto held = challenges_.find(c.session);
  if (held == challenges_.end()) return false;
  const Challenge challenge = held->second;
  challenges_.erase(held);
  // A response to a sequence another session has used up meanwhile is
  // refused, and so is one for another account.
  if (!rec || challenge.account != Lower(c.user) || challenge.sequence != rec->sequence)
    return false;

  bool ok = false;
  // Sequence 0 is the placeholder of an account without a pass phrase:
  // nothing may be accepted against it.
  if (rec->sequence > 0) {
    if (auto bytes = SKeyDecodeResponse(response)) {
      if (SameBytes(SKeyToHex(SKeyStep(method, *bytes)), rec->last)) {
        rec->last = SKeyToHex(*bytes);
        rec->sequence -= 1;
        ok = true;
      }
    }
  }
  if (!ok) return false;  // a wrong response changes nothing
  rec->time = 0;
  rec->session = 0;
  // A success that cannot be recorded would let the same response in twice.
  const std::string after = FormatSKeyValues(*rec);
  if (!StoreSKeyRecord(c, after, true)) return false;
  if (skeyUses_.size() >= kMaxChallenges && skeyUses_.count(c.session) == 0) skeyUses_.clear();
  skeyUses_[c.session] = RSKeyUseStr{Lower(c.user), text, after};
  return true;
}

namespace {
constexpr size_t kMaxPendingSKey = 256;
}  // namespace

bool RFTPSSecurity::ReadSKeyRecord(Ctx& c, std::string& text) {
  if (auto shared = sharedSKey_.find(Lower(c.user)); shared != sharedSKey_.end()) {
    text = shared->second;
    return true;
  }
  if (!ini_.HasSection(c.UserSection())) {
    auto it = pendingSKey_.find(Lower(c.user));
    if (it != pendingSKey_.end()) {
      text = it->second;
      return true;
    }
  }
  return c.Lookup("SKEYValues", text);
}

bool RFTPSSecurity::StoreSKeyRecord(Ctx& c, const std::string& text, bool loggedIn) {
  const std::string key = Lower(c.user);
  if (auto shared = sharedSKey_.find(key); shared != sharedSKey_.end()) shared->second = text;
  if (loggedIn || ini_.HasSection(c.UserSection())) {
    pendingSKey_.erase(key);
    return WriteUserKey(c, "SKEYValues", text);
  }
  // A flood of names only costs memory up to the bound; a challenge dropped
  // here is simply answered with a refusal.
  if (pendingSKey_.size() >= kMaxPendingSKey && pendingSKey_.count(key) == 0) pendingSKey_.clear();
  pendingSKey_[key] = text;
  return true;
}

std::optional<RSKeyRecordStr> RFTPSSecurity::SKeyRecordFor(AccessQuery& q) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  Ctx c(*this);
  const std::string asked = BeginQuery(q, c);
  if (c.suffixed) SetQueryUser(q, asked);
  q.flag = 0;
  std::string type, v;
  if (c.anonymous || c.user.empty() || !c.Lookup("PasswordType", type) ||
      SKeyMethodFromType(type) == 0)
    return std::nullopt;
  if (c.Lookup("Enable", v) && !IsTrueWord(v)) return std::nullopt;
  RSKeyRecordStr r;
  r.account = Lower(c.user);
  if (!ReadSKeyRecord(c, r.record)) r.record.clear();
  return r;
}

void RFTPSSecurity::SetSharedSKey(const std::string& account, const std::string& record) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  const std::string key = Lower(account);
  if (record.empty()) {
    sharedSKey_.erase(key);
    return;
  }
  // Made-up names of the default user cost memory only up to the bound; a
  // record dropped here is read from the store again at the next USER.
  if (sharedSKey_.size() >= kMaxChallenges && sharedSKey_.count(key) == 0) sharedSKey_.clear();
  sharedSKey_[key] = record;
}

std::optional<RSKeyUseStr> RFTPSSecurity::TakeSKeyUse(uint32_t session) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  auto it = skeyUses_.find(session);
  if (it == skeyUses_.end()) return std::nullopt;
  RSKeyUseStr use = std::move(it->second);
  skeyUses_.erase(it);
  return use;
}

}  // namespace vantor
