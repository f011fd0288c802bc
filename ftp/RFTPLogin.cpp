// Login and session commands: USER, PASS, REIN, QUIT, HELP and the fixed
// replies (NOOP, SYST, OPEN, ACCT, SMNT).
#include "ftp/RFTPLogin.h"

#include <algorithm>
#include <cstdlib>

#include "accounts/RAccountsStrings.h"
#include "accounts/RClusterStore.h"
#include "accounts/RFTPQuota.h"
#include "accounts/RFTPRatios.h"
#include "fs/RFsSettings.h"
#include "fs/RPath.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSFeat.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPStrings.h"
#include "platform/RFileSys.h"
#include "util/RLog.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kUserArgumentMax = 150;
constexpr size_t kUserNameMax = 39;
constexpr size_t kPasswordMax = 352;
constexpr std::string_view kAnonymousName = "ANONYMOUS";

// A number as the account store's text answers hold it; -1 when it is none.
int64_t NumberOr(std::string_view text, int64_t otherwise) {
  std::string t(TrimBlanks(text));
  if (t.empty()) return otherwise;
  char* end = nullptr;
  const long long v = std::strtoll(t.c_str(), &end, 10);
  if (end == t.c_str()) return otherwise;
  return v;
}

void ClearUser(RFTPSComInterp& s) {
  s.Login.userName.clear();
  s.Recount();
  if (s.Hook) s.Hook->SetUser("");
}

void DropAnonymous(RFTPSComInterp& s) {
  if (s.Login.anonymous && s.Manager().Stats().AnonymousNow > 0) --s.Manager().Stats().AnonymousNow;
  s.Login.anonymous = false;
}

void Pass(RFTPSComInterp& s, std::string password);
void RefusePassword(RFTPSComInterp& s);
std::string UserReply(RFTPSComInterp& s);
// An S/KEY record read from the cluster store ahead of its turn; `ok`
// false: not answered.
struct SKeyReadStr {
  bool ok = false;
  std::string account;
  std::string record;
};
bool ReadSharedSKey(RFTPSComInterp& s, const std::optional<SKeyReadStr>& read);
bool ReadSharedPassword(RFTPSComInterp& s);
void UserAnswered(RFTPSComInterp& s, const std::optional<SKeyReadStr>& skey);
using StoreResume = RFTPSComInterp::StoreResume;

// --- USER -------------------------------------------------------------------------

// True when the login must be refused as too many users; `named` tells
// whether the account's own limit (rather than the server's) refused it.
bool TooManyUsers(RFTPSComInterp& s, bool& named) {
  named = false;
  const ServerStats& st = s.Manager().Stats();
  const int32_t maxUsers = s.Manager().Settings().maxNrUsers;
  if (maxUsers >= 0 && st.ConnectionsNow > static_cast<uint32_t>(maxUsers)) {
    AccessQuery q = s.NewQuery(QC_ALWAYS_LOGIN);
    if (!(s.Ask(q) && QueryBool(q))) return true;
    // `AlwaysAllowLogin` lifts only the server's limit: the account's own
    // limit below still holds.
  }
  AccessQuery q = s.NewQuery(QC_MAX_USERS);
  const int64_t limit = s.Ask(q) ? NumberOr(QueryAux(q), -1) : -1;
  named = true;
  if (limit == 0) return true;
  return limit > 0 && s.Manager().CountSessions(s.Login.userName, q.address) > limit;
}

}  // namespace

void HandleUser(RFTPSComInterp& s, std::string_view line) {
  DropAnonymous(s);
  s.Login.userArgument = ArgumentOf(line, 4, kUserArgumentMax);
  std::string name = Upper(s.Login.userArgument.substr(0, kUserNameMax));
  name = name.substr(0, name.find('@'));
  s.Counters.filesUp = 0;
  s.Counters.filesDown = 0;
  if (name == "FTP") {
    name = std::string(kAnonymousName);
    s.Login.userArgument = std::string(kAnonymousName);
  }
  s.Login.userName = name;
  s.Recount();
  if (name == kAnonymousName) {
    s.Login.anonymous = true;
    ++s.Manager().Stats().AnonymousNow;
  }
  if (s.Hook) s.Hook->SetUser(s.Login.userName);

  if (s.Manager().SecurityOff()) {
    s.EnterLoggedIn();
    ++s.Manager().Stats().LoginsTotal;
    s.Manager().Metrics().CountLogin(RLoginResult::Success);
    s.ReplyStr(kReplyUserLoggedIn, s.Login.userName);
    return;
  }
  if (s.Login.anonymous && !s.AskFlag(QC_HOME_DIR, "C:\\")) {
    ClearUser(s);
    s.ResetLogin();
    s.ReplyStr(kReplyNoAnonymousAccess);
    return;
  }
  if (s.Login.userName.empty()) {
    s.ResetLogin();
    s.ReplyStr(kReplyNotLoggedIn);
    return;
  }
  AccessQuery tlsQuery = s.NewQuery(QC_REQUIRE_TLS);
  s.Tls.required = s.Ask(tlsQuery) && tlsQuery.aux[0] != 0;
  if (s.Tls.required && !s.Tls.control) {
    // The password must not follow in clear text.
    DropAnonymous(s);
    ClearUser(s);
    s.ResetLogin();
    s.ReplyStr(kReplyTlsRequired);
    return;
  }
  bool named = false;
  if (TooManyUsers(s, named)) {
    s.LogStr(LOG_SYSTEM, kLogTooManyUsers, named ? s.Login.userName : std::string());
    s.Manager().Metrics().CountRefusal(RRefusal::Limits);
    s.RaiseHook(HE_TooManyUsers);
    ClearUser(s);
    s.ReplyStr(kReplyTooManyUsers);
    s.CloseAfterReplies();
    return;
  }
  if (!s.Login.anonymous && ReadSharedPassword(s)) return;  // goes on with the store's answer
  UserAnswered(s, std::nullopt);
}

namespace {

// The rest of USER, with the account's password as the cluster store has it.
void UserAnswered(RFTPSComInterp& s, const std::optional<SKeyReadStr>& skey) {
  if (!s.Login.anonymous) {
    AccessQuery q = s.NewQuery(QC_PASSWORD);
    SetQueryAux2(q, "", s.Login.userArgument);
    if (s.Ask(q)) {
      // An account without a password: logged in by USER alone.
      s.EnterUserGiven();
      Pass(s, std::string());
      return;
    }
  }
  s.EnterUserGiven();
  if (!s.Login.anonymous && ReadSharedSKey(s, skey)) return;  // answered with the store's record
  s.Reply(UserReply(s));
}

// With the cluster store, a password changed on any machine is the store's
// row: read at every USER, so the next login anywhere checks the new one.
// Not answered (the store away), the last one read here serves, else the
// INI file's. True when USER goes on later.
bool ReadSharedPassword(RFTPSComInterp& s) {
  RFTPSManager& m = s.Manager();
  RClusterStore* store = m.Cluster();
  const RFTPSManager::RPasswordShareStr& share = m.PasswordShare();
  if (store == nullptr || !share.account || !share.install || !store->Ready()) return false;
  AccessQuery q = s.NewQuery(QC_PASSWORD);
  const std::optional<std::string> account = share.account(q);
  if (!account) return false;
  // An S/KEY account's record is read in the same round trip: both
  // statements go out before either answer is back.
  std::optional<RSKeyRecordStr> mine;
  if (m.SKeyShare().record) {
    AccessQuery k = s.NewQuery(QC_PASS_CHALLENGE);
    mine = m.SKeyShare().record(k);
  }
  struct ReadsStr {
    StoreResume resume;
    std::string account;
    int waiting = 1;
    bool passwordOk = false;
    std::optional<std::string> stored;
    std::optional<SKeyReadStr> skey;
    void Answered() {
      if (--waiting > 0) return;
      resume([account = account, ok = passwordOk, stored = stored, skey = skey](RFTPSComInterp& s) {
        if (ok) s.Manager().PasswordShare().install(account, stored);
        UserAnswered(s, skey);
      });
    }
  };
  auto reads = std::make_shared<ReadsStr>();
  reads->resume = s.WaitForStore();
  reads->account = *account;
  if (mine) {
    reads->waiting = 2;
    reads->skey = SKeyReadStr{false, mine->account, std::string()};
    store->ReadSKey(mine->account,
                    mine->record.empty() ? std::string(SKEY_PLACEHOLDER) : mine->record,
                    [reads](bool ok, const std::string& record) {
                      reads->skey->ok = ok;
                      reads->skey->record = record;
                      reads->Answered();
                    });
  }
  store->ReadPassword(*account, [reads](bool ok, const std::optional<std::string>& stored) {
    reads->passwordOk = ok;
    reads->stored = stored;
    reads->Answered();
  });
  return true;
}

// The reply to USER: the account's challenge, or the request for a password.
std::string UserReply(RFTPSComInterp& s) {
  std::string reply = LoadStr(s.Login.anonymous ? kReplySendEmailAsPassword : kReplyNeedPassword);
  if (!s.Login.anonymous) {
    std::string challenge;
    if (s.AskText(QC_PASS_CHALLENGE, &challenge)) {
      reply = challenge;
      if (!reply.empty() && (reply[0] == '4' || reply[0] == '5')) {
        ClearUser(s);
        s.ResetLogin();
      }
    }
  }
  return reply;
}

// --- S/KEY records in the cluster store -------------------------------------------

// The store cannot answer for an S/KEY account: with `refuse` the login
// ends (true, the reply sent); with `local` this machine's record serves.
bool SKeyUnavailable(RFTPSComInterp& s, const std::string& account) {
  RFTPSManager& m = s.Manager();
  if (m.Cluster()->Settings().unavailable == RClusterUnavailable::Refuse) {
    s.ResetLogin();
    ClearUser(s);
    s.ReplyStr(kReplyClusterUnavailable);
    s.CloseAfterReplies();
    return true;
  }
  m.SKeyShare().install(account, std::string());
  return false;
}

// With the store's record in place, gives the challenge. A challenge that
// begins a new sequence (the old one used up) changes the record: it is
// stored only if no other machine began one first, else that one is taken.
void ChallengeWithRecord(RFTPSComInterp& s, const std::string& account, const std::string& record,
                         int tries) {
  RFTPSManager& m = s.Manager();
  m.SKeyShare().install(account, record);
  std::string reply = UserReply(s);
  AccessQuery q = s.NewQuery(QC_PASS_CHALLENGE);
  const std::optional<RSKeyRecordStr> now = m.SKeyShare().record(q);
  if (!now || now->record == record || tries <= 0) {
    s.Reply(reply);
    return;
  }
  StoreResume resume = s.WaitForStore();
  m.Cluster()->SwapSKey(account, record, now->record,
                        [resume, account, reply = std::move(reply), tries](
                            RClusterStore::RSwap r, const std::string& current) {
                          resume([=](RFTPSComInterp& s) {
                            if (r == RClusterStore::RSwap::Done) {
                              s.Reply(reply);
                            } else if (r == RClusterStore::RSwap::Stale) {
                              ChallengeWithRecord(s, account, current, tries - 1);
                            } else if (!SKeyUnavailable(s, account)) {
                              s.Reply(UserReply(s));
                            }
                          });
                        });
}

// With the cluster store, an S/KEY account's record is the store's, read
// before every challenge so that all machines ask for the same sequence.
// True when the reply comes later.
bool ReadSharedSKey(RFTPSComInterp& s, const std::optional<SKeyReadStr>& read) {
  RFTPSManager& m = s.Manager();
  RClusterStore* store = m.Cluster();
  if (store == nullptr || !m.SKeyShare().record) return false;
  AccessQuery q = s.NewQuery(QC_PASS_CHALLENGE);
  const std::optional<RSKeyRecordStr> mine = m.SKeyShare().record(q);
  if (!mine) return false;
  if (read && read->account == mine->account) {
    // Read with the password, before the session waited.
    if (read->ok) {
      ChallengeWithRecord(s, read->account, read->record, 3);
    } else if (!SKeyUnavailable(s, read->account)) {
      s.Reply(UserReply(s));
    }
    return true;
  }
  StoreResume resume = s.WaitForStore();
  // An account the store has never seen starts from this machine's record;
  // none at all reads as used up, so the challenge begins a sequence.
  store->ReadSKey(mine->account,
                  mine->record.empty() ? std::string(SKEY_PLACEHOLDER) : mine->record,
                  [resume, account = mine->account](bool ok, const std::string& record) {
                    resume([=](RFTPSComInterp& s) {
                      if (ok) {
                        ChallengeWithRecord(s, account, record, 3);
                      } else if (!SKeyUnavailable(s, account)) {
                        s.Reply(UserReply(s));
                      }
                    });
                  });
  return true;
}

// A one-time password accepted here counts once the store takes its use:
// of two machines accepting the same password, one login goes in. True
// when the login goes on later (`then`).
bool ConfirmSharedSKey(RFTPSComInterp& s, std::function<void(RFTPSComInterp&)> then) {
  RFTPSManager& m = s.Manager();
  RClusterStore* store = m.Cluster();
  if (store == nullptr || !m.SKeyShare().takeUse) return false;
  std::optional<RSKeyUseStr> use = m.SKeyShare().takeUse(s.Number());
  if (!use) return false;
  StoreResume resume = s.WaitForStore();
  store->SwapSKey(use->account, use->before, use->after,
                  [resume, account = use->account, then = std::move(then)](
                      RClusterStore::RSwap r, const std::string& current) {
                    resume([=](RFTPSComInterp& s) {
                      if (r == RClusterStore::RSwap::Done) {
                        then(s);
                      } else if (r == RClusterStore::RSwap::Stale) {
                        // Used on another machine meanwhile.
                        s.Manager().SKeyShare().install(account, current);
                        RefusePassword(s);
                      } else if (!SKeyUnavailable(s, account)) {
                        // `local`: this machine's record decided.
                        then(s);
                      } else {
                        s.Manager().Metrics().CountLogin(RLoginResult::Refused);
                      }
                    });
                  });
  return true;
}

}  // namespace

namespace {

// --- PASS -------------------------------------------------------------------------

void RefusePassword(RFTPSComInterp& s) {
  s.Manager().Metrics().CountLogin(RLoginResult::Failure);
  // Every failure, with the address: what fail2ban counts.
  s.LogStr(LOG_SECURITY, kLogLoginFailed, s.Connection.clientAddress, s.Login.userName);
  s.ResetLogin();
  s.ReplyStr(s.Login.anonymous ? kReplyUseRealEmail : kReplyNotLoggedIn);
  const int32_t c = ++s.Login.wrongPasswords;
  if ((c > 100 && c % 100 >= 10) || (c >= 3 && c < 100)) {
    s.ReplyStr(kReplyTooManyWrongPasswords);
    s.LogStr(LOG_SECURITY, kLogTooManyWrongPasswords, s.Login.userName);
    s.CloseAfterReplies();
    s.RaiseHook(HE_WrongPasswords);
  }
  ClearUser(s);
}

// Logins from one client address: the account's MaxUsersLoginPerIP, else 1
// with OneLoginPerIP; 0 when there is no limit.
int64_t AddressLimit(RFTPSComInterp& s) {
  std::string answer;
  if (s.AskText(QC_MAX_LOGIN_PER_IP, &answer)) return std::max<int64_t>(NumberOr(answer, 0), 0);
  AccessQuery q = s.NewQuery(QC_ONE_LOGIN_PER_IP);
  return s.Ask(q) && QueryBool(q) ? 1 : 0;
}

void RefuseFromAddress(RFTPSComInterp& s, int64_t limit) {
  s.Manager().Metrics().CountRefusal(RRefusal::Limits);
  if (limit == 1) {
    s.ReplyStr(kReplyLoggedInOnceOnly);
  } else {
    s.ReplyStr(kReplyLoggedInTimesOnly, static_cast<int>(limit));
  }
  s.CloseAfterReplies();
  ClearUser(s);
}

bool TooManyFromAddress(RFTPSComInterp& s) {
  const int64_t limit = AddressLimit(s);
  if (limit <= 0) return false;
  if (s.Manager().CountLoginsFrom(s.Connection.clientAddress, s.Login.userName) <= limit)
    return false;
  RefuseFromAddress(s, limit);
  return true;
}

// --- the cluster's counts ----------------------------------------------------------

// The limits of this login as the store checks them across machines: the
// same ones this machine's own counts were checked against.
RSessionLimitsStr ClusterLimits(RFTPSComInterp& s) {
  RSessionLimitsStr l;
  const int32_t maxUsers = s.Manager().Settings().maxNrUsers;
  if (maxUsers >= 0) {
    AccessQuery q = s.NewQuery(QC_ALWAYS_LOGIN);
    if (!(s.Ask(q) && QueryBool(q))) l.server = maxUsers;
  }
  AccessQuery q = s.NewQuery(QC_MAX_USERS);
  const int64_t limit = s.Ask(q) ? NumberOr(QueryAux(q), -1) : -1;
  if (limit > 0) l.account = static_cast<int32_t>(std::min<int64_t>(limit, INT32_MAX));
  const int64_t perAddress = AddressLimit(s);
  if (perAddress > 0) l.perAddress = static_cast<int32_t>(std::min<int64_t>(perAddress, INT32_MAX));
  return l;
}

// Accounts whose counters live in the store: with the store away they are
// refused unless `ClusterUnavailable=local`.
bool KeepsSharedCounters(RFTPSComInterp& s) {
  AccessQuery q = s.NewQuery(QC_QUOTA_ENABLED);
  return (s.Ask(q) && QueryBool(q)) || s.AskFlag(QC_RATIO_TYPE);
}

// True when the store's answer refuses the login (the reply sent).
bool ClusterRefused(RFTPSComInterp& s, RClusterAdmit admit, const RSessionLimitsStr& limits) {
  RClusterStore& store = *s.Manager().Cluster();
  switch (admit) {
    case RClusterAdmit::Admitted:
      return false;
    case RClusterAdmit::ServerFull:
    case RClusterAdmit::AccountFull:
      s.Manager().Metrics().CountRefusal(RRefusal::Limits);
      s.LogStr(LOG_SYSTEM, kLogTooManyUsers,
               admit == RClusterAdmit::AccountFull ? s.Login.userName : std::string());
      s.RaiseHook(HE_TooManyUsers);
      ClearUser(s);
      s.ReplyStr(kReplyTooManyUsers);
      s.CloseAfterReplies();
      return true;
    case RClusterAdmit::AddressFull:
      RefuseFromAddress(s, limits.perAddress);
      return true;
    case RClusterAdmit::Unavailable:
      break;
  }
  if (store.Settings().unavailable == RClusterUnavailable::Refuse && KeepsSharedCounters(s)) {
    s.ResetLogin();
    ClearUser(s);
    s.ReplyStr(kReplyClusterUnavailable);
    s.CloseAfterReplies();
    return true;
  }
  // Served on this machine's counts; the store hears of the session with
  // the node's next full write.
  store.NoteSession(s.Number(), s.Login.userName, s.Connection.clientAddress);
  return false;
}

// The home directory; false (with the reply sent) when it is missing.
bool EnterHome(RFTPSComInterp& s) {
  std::string home;
  if (!s.AskText(QC_HOME_DIR, &home, "C:\\")) {
    s.ResetLogin();
    ClearUser(s);
    s.ReplyStr(kReplyCannotFindHome);
    return false;
  }
  // Configured homes may be written as POSIX paths.
  std::string local = s.FsSettings().drives.ConfigPathToDrive(home);
  if (local.empty() || !IsDirectory(s.FsSettings(), local)) {
    if (FsOutOfDescriptors()) {
      // Nothing is wrong with the account: the client may come back.
      s.LogStr(LOG_SYSTEM, kLogLoginOutOfDescriptors, s.Login.userName);
      s.ResetLogin();
      ClearUser(s);
      s.ReplyStr(kReplyServerUnavailable);
      s.CloseAfterReplies();
      return false;
    }
    s.LogStr(LOG_SECURITY, kLogHomeMissing, s.Login.userName, home);
    s.ResetLogin();
    ClearUser(s);
    s.ReplyStr(kReplyHomeDoesNotExist);
    return false;
  }
  if (s.Manager().Settings().lowerCaseFileDir) local = Lower(local);
  s.Login.homeDir = local;
  s.Login.currentDir = local;
  return true;
}

void StartAccounting(RFTPSComInterp& s) {
  RFTPSManager& m = s.Manager();
  AccessQuery q = s.NewQuery(QC_HIDE_HIDDEN);
  s.Login.hideHidden = s.Ask(q) && q.aux[0] != 0;
  q = s.NewQuery(QC_REL_PATHS);
  s.Login.relativePaths = s.Ask(q) && q.aux[0] != 0;
  std::string speed;
  s.Login.speedLimit = s.AskText(QC_SPEED_LIMIT, &speed) ? NumberOr(speed, 0) : 0;
  if (s.Control() != nullptr) s.Control()->SetLocalSpeedLimit(s.Login.speedLimit);
  const RPathProbe& probe = m.ProbeOrDefault();
  s.Ratio = std::make_unique<RFTPRatios>(m.Loop(), m.MainWindow(), probe);
  // With the cluster store away and `ClusterUnavailable=local`, the login
  // was let in on this machine's counts: its quota and ratio credit stay in
  // the INI file.
  RClusterStore* shared = m.Cluster();
  if (shared != nullptr && !shared->Ready() &&
      shared->Settings().unavailable == RClusterUnavailable::Local) {
    shared = nullptr;
  }
  s.Ratio->Start(s.Login.userName, s.Connection.localAddress, s.Number(), shared);
  s.Quota = std::make_unique<RFTPQuota>(m.Loop(), m.MainWindow(), probe);
  s.Quota->Start(s.Login.userName, s.Connection.localAddress, s.Number(), shared);
}

void PassChecked(RFTPSComInterp& s, const std::string& password, bool accepted);
void PassAccepted(RFTPSComInterp& s, const std::string& password);
void EnterSession(RFTPSComInterp& s, const std::string& password);

void Pass(RFTPSComInterp& s, std::string password) {
  bool dashRemoved = false;
  if (!password.empty() && password[0] == '-') {
    s.Connection.verboseReplies = false;
    password.erase(0, 1);
    dashRemoved = true;
  }
  s.CheckPassword(password, [password, dashRemoved](RFTPSComInterp& s, bool accepted) {
    if (accepted || !dashRemoved) {
      PassChecked(s, password, accepted);
      return;
    }
    // The account's real password may itself begin with "-".
    s.CheckPassword("-" + password, [password](RFTPSComInterp& s, bool accepted) {
      if (accepted) s.Connection.verboseReplies = true;
      PassChecked(s, accepted ? "-" + password : password, accepted);
    });
  });
}

void PassChecked(RFTPSComInterp& s, const std::string& password, bool accepted) {
  if (!accepted) {
    RefusePassword(s);
    return;
  }
  if (ConfirmSharedSKey(s, [password](RFTPSComInterp& s) { PassAccepted(s, password); })) return;
  PassAccepted(s, password);
}

void PassAccepted(RFTPSComInterp& s, const std::string& password) {
  AccessQuery ip = s.NewQuery(QC_IP_ACCESS);
  SetQueryAux2(ip, s.Connection.clientAddress,
               s.Connection.nameResolved ? s.Connection.hostName : std::string());
  if (!s.Ask(ip)) {
    s.Manager().Metrics().CountLogin(RLoginResult::Refused);
    s.Manager().Metrics().CountRefusal(RRefusal::Rules);
    if (s.Connection.logged)
      WriteLog(LOG_SECURITY,
               FormatStr(kLogUserAddressDenied, s.Login.userName, s.Connection.clientAddress));
    s.ReplyStr(kReplyUnauthorizedAddress);
    s.CloseAfterReplies();
    ClearUser(s);
    s.RaiseHook(HE_IPRefused, s.Connection.nameResolved ? s.Connection.hostName : std::string());
    return;
  }
  if (TooManyFromAddress(s) || !EnterHome(s)) {
    s.Manager().Metrics().CountLogin(RLoginResult::Refused);
    return;
  }
  if (s.Manager().Cluster() != nullptr) {
    const RSessionLimitsStr limits = ClusterLimits(s);
    s.RegisterInCluster(limits, [password, limits](RFTPSComInterp& s, RClusterAdmit admit) {
      if (ClusterRefused(s, admit, limits)) {
        s.Manager().Metrics().CountLogin(RLoginResult::Refused);
        return;
      }
      EnterSession(s, password);
    });
    return;
  }
  EnterSession(s, password);
}

void EnterSession(RFTPSComInterp& s, const std::string& password) {
  s.EnterLoggedIn();
  ++s.Manager().Stats().LoginsTotal;
  s.Manager().Metrics().CountLogin(RLoginResult::Success);
  s.Login.wrongPasswords = std::max(s.Login.wrongPasswords, 100);
  std::string minutes;
  const int64_t idle = s.AskText(QC_TIME_OUT, &minutes) ? NumberOr(minutes, 0) : 0;
  s.SetLoginTimeOuts(idle > 0 ? static_cast<int32_t>(std::min<int64_t>(idle * 60, INT32_MAX)) : -1);
  if (s.Login.anonymous) {
    s.LogStr(LOG_SECURITY, kLogAnonymousLoggedIn, Upper(password));
  } else {
    s.LogStr(LOG_SECURITY, kLogUserLoggedIn, s.Login.userName);
  }
  StartAccounting(s);
  if (s.Hook) {
    s.Hook->SetUser(s.Login.userName);
    if (s.Login.anonymous) s.Hook->SetPassword(password);
  }
  auto loggedIn = [hookText = s.Login.anonymous ? std::string(password)
                                                : std::string()](RFTPSComInterp& s) {
    s.ReplyStr(kReplyLoggedInProceed);
    s.RaiseHook(HE_LoggedIn, hookText);
  };
  std::string loginFile;
  if (s.AskText(QC_LOGIN_MES_FILE, &loginFile) && !loginFile.empty() &&
      s.Connection.verboseReplies) {
    SendMessageFile(s, {loginFile}, "230", loggedIn);
    return;
  }
  loggedIn(s);
}

}  // namespace

void HandlePass(RFTPSComInterp& s, std::string_view line) {
  if (s.CommandState() != CS_UserGiven) {
    s.ResetLogin();
    ClearUser(s);
    s.ReplyStr(kReplyPassBadSequence);
    return;
  }
  Pass(s, ArgumentOf(line, 4, kPasswordMax));
}

// --- the rest -----------------------------------------------------------------------

void HandleRein(RFTPSComInterp& s, std::string_view) {
  DropAnonymous(s);
  s.Login.currentDir = "C:\\";
  s.Login.homeDir = "C:\\";
  s.Login.userName.clear();
  s.Recount();
  s.Login.userArgument.clear();
  s.Transfer.ascii = true;
  s.Transfer.passive = false;
  s.Transfer.passiveSocket.reset();
  s.Transfer.address = s.Connection.clientAddress;
  s.Transfer.port = s.Control() != nullptr ? s.Control()->GetLocalPort() : 0;
  OnReinitialize(s);
  s.ResetLogin();
  s.Login.hideHidden = false;
  s.Login.relativePaths = false;
  // The control connection stays protected (there is no way back to clear
  // text without CCC); the data protection starts again from PBSZ.
  s.Tls.pbsz = s.Tls.implicit;
  s.Tls.protP = s.Tls.implicit;
  s.Tls.required = false;
  ResetClientChoices(s);
  if (s.Hook) s.Hook->SetUser("");
  s.ReplyStr(kReplyReadyForNewUser);
}

void HandleQuit(RFTPSComInterp& s, std::string_view) {
  // RFC 959: a transfer under way finishes and gets its reply before the
  // sign-off; cutting it would lose an upload the client already sent.
  if (s.RunAfterTransfer([](RFTPSComInterp& s) { HandleQuit(s, {}); })) return;
  SendSignOff(s, [](RFTPSComInterp& s) { s.CloseAfterReplies(); });
}

void HandleHelp(RFTPSComInterp& s, std::string_view) {
  for (uint32_t id = kReplyHelpFirst; id <= kReplyHelpLast; ++id) s.ReplyStr(id);
}

void HandleNoop(RFTPSComInterp& s, std::string_view) {
  s.ReplyStr(kReplyCommandOkay);
}
void HandleSyst(RFTPSComInterp& s, std::string_view) {
  s.ReplyStr(kReplySystemType);
}
void HandleOpen(RFTPSComInterp& s, std::string_view) {
  s.ReplyStr(kReplyOpenedNotReally);
}
void HandleSuperfluous(RFTPSComInterp& s, std::string_view) {
  s.ReplyStr(kReplySuperfluous);
}

}  // namespace vantor
