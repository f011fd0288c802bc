// The account store's query dispatch, section snapshots and cached lists.
// Directory rules, address rules, passwords, and ratios and quotas are
// answered in RFTPSSecurityRules.cpp, RFTPSSecurityIP.cpp,
// RFTPSSecurityPasswords.cpp and RFTPSSecurityRatios.cpp.
#include "accounts/RFTPSSecurity.h"

#include <atomic>
#include <charconv>
#include <cstring>
#include <utility>

#include "accounts/RAccountsStrings.h"
#include "accounts/RFTPSSecurityQuery.h"
#include "accounts/RIPRules.h"
#include "accounts/RWildcard.h"
#include "config/RDriveConfig.h"
#include "config/RIPHomeId.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {

using namespace securitydetail;

namespace {

constexpr size_t kServerRuleMax = 254;  // [IP-ACCESS] values and LogIPDontLog

std::atomic<bool> g_reloadFlag{false};

bool IsFalseWord(std::string_view v) {
  return EqualNoCaseAscii(v, "FALSE") || EqualNoCaseAscii(v, "NO") || EqualNoCaseAscii(v, "0") ||
         EqualNoCaseAscii(v, "OFF");
}

bool ReadDottedAddress(std::string_view s, uint32_t& out) {
  s = TrimBlanks(s);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = i < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos) return false;
    std::string_view part = s.substr(0, dot);
    unsigned n = 0;
    auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
    if (part.empty() || ec != std::errc() || ptr != part.data() + part.size() || n > 255)
      return false;
    v = (v << 8) | n;
    s = i < 3 ? s.substr(dot + 1) : std::string_view{};
  }
  out = v;
  return true;
}

void SetFlagBool(AccessQuery& q, bool v) {
  std::memset(q.aux, 0, ACCESS_AUX_SIZE);
  q.aux[0] = v ? 1 : 0;
  q.flag = 1;
}

bool HasLibraryEvent(uint32_t code) {
  if (code < QC_FIRST || code > QC_LAST) return false;
  return code != 18 && code != 19 && code != 22 && code != 23;
}

}  // namespace

namespace securitydetail {

bool IsTrueWord(std::string_view v) {
  return EqualNoCaseAscii(v, "TRUE") || EqualNoCaseAscii(v, "YES") || EqualNoCaseAscii(v, "1") ||
         EqualNoCaseAscii(v, "ON");
}

std::string Cut(std::string_view s, size_t max) {
  return std::string(s.size() > max ? s.substr(0, max) : s);
}

const std::string* FindEntry(const Entries& e, std::string_view key) {
  for (const auto& kv : e)
    if (EqualNoCaseAscii(kv.first, key)) return &kv.second;
  return nullptr;
}

// The values of prefix1, prefix2, ... up to the first absent or empty one.
std::vector<std::string_view> NumberedValues(const Entries& e, std::string_view prefix) {
  std::vector<std::string_view> byNumber;
  for (const auto& kv : e) {
    if (!StartsWithNoCase(kv.first, prefix)) continue;
    std::string_view num = std::string_view(kv.first).substr(prefix.size());
    if (num.empty() || num[0] == '0' || num.size() > 6) continue;
    size_t n = 0;
    auto [ptr, ec] = std::from_chars(num.data(), num.data() + num.size(), n);
    if (ec != std::errc() || ptr != num.data() + num.size()) continue;
    // The list ends at the first gap, so a number beyond the count of
    // entries can never be reached (and must not size the table).
    if (n > e.size()) continue;
    if (byNumber.size() < n) byNumber.resize(n);
    if (byNumber[n - 1].data() == nullptr) byNumber[n - 1] = kv.second;  // first one wins
  }
  std::vector<std::string_view> out;
  for (std::string_view v : byNumber) {
    if (v.data() == nullptr || v.empty()) break;
    out.push_back(v);
  }
  return out;
}

void SetFlagText(AccessQuery& q, std::string_view text) {
  SetQueryAux(q, text);
  q.flag = 1;
}

}  // namespace securitydetail

void SetSecurityReloadFlag() {
  g_reloadFlag.store(true);
}
bool SecurityReloadFlag() {
  return g_reloadFlag.load();
}

void HandleAccessQueryMessage(RFTPSSecurity* store, bool securityOn, AccessQuery& q) {
  if (!securityOn) {
    q.flag = 1;
    return;
  }
  if (store == nullptr) {
    q.flag = 0;
    return;
  }
  store->Answer(q);
}

bool AnonPasswordLooksValid(std::string_view pw) {
  size_t at = pw.find('@');
  return at != std::string_view::npos && at != 0 && pw.find('.') != std::string_view::npos &&
         pw.size() >= 8;
}

void RFTPSSecurity::BeginSnapshot() {
  // Any read makes the INI layer compare the file with its cache; a change
  // shows in its change count and retires every snapshot.
  (void)ini_.HasSection("GLOBAL");
  if (ini_.ChangeCount() != sectionsChange_) DropSnapshots();
}

void RFTPSSecurity::DropSnapshots() {
  sections_.clear();
  sectionsChange_ = ini_.ChangeCount();
}

std::shared_ptr<const RFTPSSecurity::Entries> RFTPSSecurity::CachedSection(
    const std::string& name) {
  std::string key = name;
  for (char& ch : key)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  auto it = sections_.find(key);
  if (it != sections_.end()) return it->second;
  // Bounded: a server with many active accounts simply re-reads sections
  // from the INI layer's parse now and then.
  constexpr size_t kMaxSections = 4096;
  if (sections_.size() >= kMaxSections) sections_.clear();
  auto e = std::make_shared<const Entries>(ini_.SectionEntries(name));
  // The read above may itself have noticed a change of the file.
  if (ini_.ChangeCount() != sectionsChange_) DropSnapshots();
  sections_.emplace(std::move(key), e);
  return e;
}

RFTPSSecurity::RFTPSSecurity(std::string iniPath, RClock* clock)
    : ini_(std::move(iniPath)),
      clock_(clock != nullptr ? clock : &RSystemClock::Instance()),
      defaultProbe_(&drives_),
      probe_(&defaultProbe_) {
  Reload();
}

RFTPSSecurity::~RFTPSSecurity() = default;

void RFTPSSecurity::SetClientCheck(RClientCheck* check) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  // Installed again after every reload: the store's own reload has just
  // reloaded the libraries, so once is enough.
  if (check == clientCheck_) return;
  clientCheck_ = check;
  if (clientCheck_ != nullptr) clientCheck_->Reload(ini_);
}

void RFTPSSecurity::SetMessageFileLookup(MessageFileLookup fn) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  messageFiles_ = std::move(fn);
}

void RFTPSSecurity::SetPathProbe(const RPathProbe* probe) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  probe_ = probe != nullptr ? probe : &defaultProbe_;
}

const RPathProbe& RFTPSSecurity::PathProbe() const {
  return *probe_;
}

int64_t RFTPSSecurity::Now() const {
  int64_t t = clock_->WallSeconds();
  return t < 1 ? 315550800 : t;
}

bool RFTPSSecurity::GlobalBool(std::string_view key, bool def) const {
  std::string v = ini_.GetString("GLOBAL", key);
  if (v.empty()) return def;
  if (def) return !IsFalseWord(v);
  return IsTrueWord(v);
}

void RFTPSSecurity::Reload() {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  drives_ = DriveMapFromIni(ini_);

  homes_.clear();
  for (const auto& [key, value] : ini_.SectionEntries("IP-HOMES")) {
    if (!StartsWithNoCase(key, "IP") || key.size() == 2) continue;
    std::string_view num = std::string_view(key).substr(2);
    uint32_t n = 0;
    auto [ptr, ec] = std::from_chars(num.data(), num.data() + num.size(), n);
    if (ec != std::errc() || ptr != num.data() + num.size()) continue;
    std::string_view v = std::string_view(value).substr(0, 250);
    const std::string_view text = v.substr(0, v.find(','));
    uint32_t addr = 0;
    if (!ReadDottedAddress(text, addr)) {
      // An IPv6 home is known by the same stand-in id the server gives its sessions.
      std::optional<RV6HomeStr> v6 = ParseV6Home(n, text);
      if (!v6) continue;
      addr = v6->id;
    }
    homes_.push_back({n, addr});
  }

  // Free files: an empty value still counts as present; only an absent key
  // ends the list.
  freeFiles_.clear();
  for (int n = 1;; ++n) {
    std::string key = "Free" + std::to_string(n);
    if (!ini_.HasKey("RATIOS", key)) break;
    std::string v = Cut(ini_.GetString("RATIOS", key), kValueMax);
    if (!v.empty() && v[0] == '/') v = drives_.ConfigPathToDrive(v);
    freeFiles_.push_back(std::move(v));
  }

  serverIPRules_.clear();
  for (int n = 1;; ++n) {
    std::string v = Cut(ini_.GetString("IP-ACCESS", "IP" + std::to_string(n)), kServerRuleMax);
    if (v.empty()) break;
    if (IPRuleParses(v)) serverIPRules_.push_back(v);
  }

  noLog_.clear();
  std::string list = Cut(ini_.GetString("GLOBAL", "LogIPDontLog"), kServerRuleMax);
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string_view entry = TrimBlanks(std::string_view(list).substr(start, comma - start));
    if (!entry.empty()) noLog_.emplace_back(entry);
    start = comma + 1;
  }

  WarnIgnoredIPRules();
  if (clientCheck_ != nullptr) clientCheck_->Reload(ini_);
}

// A rule that does not parse never matches: a D rule meant to block an
// address lets it in. Said at start and at every reload.
void RFTPSSecurity::WarnIgnoredIPRules() const {
  for (const std::string& section : ini_.SectionNames()) {
    const bool rules = EqualNoCaseAscii(section, "IP-ACCESS") ||
                       StartsWithNoCase(section, "USER=") || StartsWithNoCase(section, "GROUP=");
    if (!rules) continue;
    for (const auto& [key, value] : ini_.SectionEntries(section)) {
      const std::string_view num = std::string_view(key).substr(std::min<size_t>(2, key.size()));
      if (!StartsWithNoCase(key, "IP") || num.empty() ||
          num.find_first_not_of("0123456789") != std::string_view::npos || value.empty())
        continue;
      if (!IPRuleParses(Cut(value, kValueMax)))
        WriteLog(LOG_SECURITY, FormatStr(kLogIgnoredIPRule, section, key, Cut(value, kValueMax)));
    }
  }
}

bool RFTPSSecurity::LookupKey(std::string_view user, std::string_view key, std::string& value) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  BeginSnapshot();
  Ctx c(*this);
  c.user = std::string(user);
  c.anonymous = EqualNoCaseAscii(user, ANONYMOUS_USER);
  return c.Lookup(key, value);
}

bool RFTPSSecurity::RulesAllow(std::string_view user, uint32_t code, std::string_view localPath) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  BeginSnapshot();
  Ctx c(*this);
  c.user = std::string(user);
  c.anonymous = EqualNoCaseAscii(user, ANONYMOUS_USER);
  return RulesAllowCtx(c, code, localPath);
}

void RFTPSSecurity::Answer(AccessQuery& q) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  if (q.code == QC_PASSWORD) {
    if (std::optional<RPasswordWorkStr> w = BeginPassword(q))
      FinishPassword(q, *w, CheckPasswordHash(w->given, w->stored));
    return;
  }
  Ctx c(*this);
  const std::string original = BeginQuery(q, c);
  AnswerOwn(q, c);
  FinishAnswer(q, c.suffixed, original);
}

void RFTPSSecurity::FinishAnswer(AccessQuery& q, bool suffixed, const std::string& asked) {
  // The libraries see the "@N" name while it is in force.
  if (clientCheck_ != nullptr && HasLibraryEvent(q.code) && clientCheck_->HasLibraries() &&
      (q.flag == 0 || ((q.code == QC_IP_ACCESS || q.code == QC_LOG_CLIENT_IP) && QueryNoRule(q))))
    clientCheck_->Consult(q);

  if (suffixed) SetQueryUser(q, asked);
}

std::string RFTPSSecurity::BeginQuery(AccessQuery& q, Ctx& c) {
  if (g_reloadFlag.exchange(false)) Reload();
  q.flag = 0;
  BeginSnapshot();

  std::string original(QueryUser(q));
  c.user = original;
  c.anonymous = EqualNoCaseAscii(original, ANONYMOUS_USER);
  c.address = q.address;
  c.session = q.session;

  // An account of the same name made for the IP home the client reached.
  // A name too long to carry the suffix keeps the plain account.
  if (!original.empty() && q.address != 0) {
    for (const IPHome& h : homes_) {
      if (h.address != q.address) continue;
      std::string ext = original + "@" + std::to_string(h.n);
      if (ext.size() < ACCESS_USER_SIZE && !CachedSection("USER=" + ext)->empty()) {
        c.user = ext;
        c.suffixed = true;
        SetQueryUser(q, ext);
      }
      break;
    }
  }
  return original;
}

void RFTPSSecurity::AnswerOwn(AccessQuery& q, Ctx& c) {
  if (IsFileAccessCode(q.code)) {
    AnswerFileAccess(q, c);
    return;
  }
  switch (q.code) {
    case QC_IP_ACCESS:
      AnswerIPAccess(q, c);
      break;
    case QC_LOG_CLIENT_IP:
      AnswerLogClient(q);
      break;
    case QC_CLOSE:
      // A copy: the query's layout is packed, its fields may be misaligned.
      challenges_.erase(uint32_t{q.session});
      skeyUses_.erase(uint32_t{q.session});
      break;
    case QC_VERIFY_PASSWORD:
      AnswerVerifyPassword(q, c);
      break;
    case QC_CHANGE_PASSWORD:
      AnswerChangePassword(q, c);
      break;
    case QC_PASS_CHALLENGE:
      AnswerChallenge(q, c);
      break;
    case QC_LOGIN_MES_FILE:
      AnswerPathText(q, c, "LoginMesFile");
      break;
    case QC_HOME_DIR: {
      std::string v;
      if (c.anonymous && c.Lookup("Enable", v) && !IsTrueWord(v)) break;
      AnswerPathText(q, c, "HomeDir");
      break;
    }
    case QC_SPEED_LIMIT:
      AnswerText(q, c, "SpeedLimit");
      break;
    case QC_MAX_LOGIN_PER_IP:
      AnswerText(q, c, "MaxUsersLoginPerIP");
      break;
    case QC_TIME_OUT:
      AnswerText(q, c, "TimeOut");
      break;
    case QC_MAX_USERS:
      AnswerText(q, c, "MaxNrUsers");
      // Without an IP-home account the limit counts logins on every home.
      if (!c.suffixed) q.address = 0;
      break;
    case QC_HIDE_HIDDEN:
      AnswerBool(q, c, "HideHidden");
      break;
    case QC_REL_PATHS:
      AnswerBool(q, c, "RelPaths");
      break;
    case QC_ACCOUNT_ENABLED: {
      std::string v;
      q.flag = c.Lookup("Enable", v) && !IsTrueWord(v) ? 0 : 1;
      break;
    }
    case QC_REQUIRE_TLS:
      AnswerBool(q, c, "RequireTLS");
      break;
    case QC_QUOTA_ENABLED:
      AnswerBool(q, c, "QuotaEnable");
      break;
    case QC_ALWAYS_LOGIN:
      AnswerBool(q, c, "AlwaysAllowLogin");
      break;
    case QC_ONE_LOGIN_PER_IP:
      AnswerBool(q, c, "OneLoginPerIP");
      break;
    case QC_RATIO_TYPE:
      AnswerRatioType(q, c);
      break;
    case QC_RATIO_DOWN:
      AnswerText(q, c, "RatioDown");
      break;
    case QC_RATIO_UP:
      AnswerText(q, c, "RatioUp");
      break;
    case QC_RATIO_CREDIT:
      AnswerRatioCredit(q, c);
      break;
    case QC_RATIO_FREE:
      AnswerRatioFree(q);
      break;
    case QC_QUOTA_CHANGE:
      AnswerQuotaChange(q, c);
      break;
    case QC_QUOTA_MAXIMUM:
      AnswerQuotaMax(q, c);
      break;
    case QC_SIGN_ON_MES:
    case QC_SIGN_OFF_MES: {
      std::string file;
      if (messageFiles_ && messageFiles_(q.code == QC_SIGN_ON_MES, q.address, file))
        SetFlagText(q, file);
      break;
    }
    default:
      break;  // 15: BeginPassword; 44: libraries only; 18, 19, 22, 23 and unknown codes: unanswered
  }
}

void RFTPSSecurity::AnswerText(AccessQuery& q, Ctx& c, std::string_view key) {
  std::string v;
  if (c.Lookup(key, v)) SetFlagText(q, v);
}

// Configured paths may be written in POSIX form; sessions work in drive form.
void RFTPSSecurity::AnswerPathText(AccessQuery& q, Ctx& c, std::string_view key) {
  std::string v;
  if (!c.Lookup(key, v)) return;
  if (v[0] == '/') {
    v = drives_.ConfigPathToDrive(v);
    if (v.empty()) return;  // outside every drive: no usable answer
  }
  SetFlagText(q, v);
}

void RFTPSSecurity::AnswerBool(AccessQuery& q, Ctx& c, std::string_view key) {
  std::string v;
  if (c.Lookup(key, v)) SetFlagBool(q, IsTrueWord(v));
}

}  // namespace vantor
