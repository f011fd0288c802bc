#include "accounts/RFTPSSecurity.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "accounts/RAccountsStrings.h"
#include "accounts/RWildcard.h"
#include "config/RDriveConfig.h"
#include "config/RIPHomeId.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kValueMax = 511;       // the store's value buffer holds 511 characters
constexpr size_t kServerRuleMax = 254;  // [IP-ACCESS] values and LogIPDontLog
constexpr size_t kSKeyPassMax = 249;    // pass phrase read for S/KEY initialisation
constexpr int64_t kChallengeLockSeconds = 120;
constexpr uint32_t kSKeyInitialSequence = 999;

std::atomic<bool> g_reloadFlag{false};

bool IsTrueWord(std::string_view v) {
  return EqualNoCaseAscii(v, "TRUE") || EqualNoCaseAscii(v, "YES") || EqualNoCaseAscii(v, "1") ||
         EqualNoCaseAscii(v, "ON");
}
bool IsFalseWord(std::string_view v) {
  return EqualNoCaseAscii(v, "FALSE") || EqualNoCaseAscii(v, "NO") || EqualNoCaseAscii(v, "0") ||
         EqualNoCaseAscii(v, "OFF");
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

// "%I64d"-style: optional blanks, sign, digits; anything unreadable is 0.
int64_t ReadInt64(std::string_view s) {
  s = TrimBlanks(s);
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  uint64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr == s.data()) return 0;
  if (v > static_cast<uint64_t>(INT64_MAX)) return 0;
  return neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

// "%lf": leading number; unreadable, infinite or NaN is 0.
double ReadDouble(std::string_view s) {
  std::string tmp(TrimBlanks(s));
  if (tmp.empty()) return 0.0;
  char* end = nullptr;
  double v = std::strtod(tmp.c_str(), &end);
  if (end == tmp.c_str() || !std::isfinite(v)) return 0.0;
  return v;
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

void SetFlagText(AccessQuery& q, std::string_view text) {
  SetQueryAux(q, text);
  q.flag = 1;
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

// One query: the effective user name and the snapshots of its three
// sections, taken once per query however many keys it needs.
struct RFTPSSecurity::Ctx {
  explicit Ctx(RFTPSSecurity& s) : store(s) {}

  RFTPSSecurity& store;
  std::string user;
  bool anonymous = false;
  uint32_t address = 0;
  uint32_t session = 0;
  bool suffixed = false;

  std::shared_ptr<const Entries> userE, groupE, defaultE;
  std::string group;
  bool haveGroup = false;

  std::string UserSection() const { return "USER=" + user; }
  const Entries& UserEntries() {
    if (!userE) userE = store.CachedSection(UserSection());
    return *userE;
  }
  // The group named by the user's own section (none for anonymous).
  const Entries& GroupEntries() {
    if (!haveGroup) {
      haveGroup = true;
      if (!anonymous) {
        const std::string* g = FindEntry(UserEntries(), "Group");
        if (g != nullptr && !g->empty()) {
          group = Cut(*g, 99);
          groupE = store.CachedSection("GROUP=" + group);
        }
      }
    }
    static const Entries kNone;
    return groupE ? *groupE : kNone;
  }
  const Entries& DefaultEntries() {
    if (!defaultE && !anonymous) defaultE = store.CachedSection(std::string(DEFAULT_USER_SECTION));
    static const Entries kNone;
    return defaultE ? *defaultE : kNone;
  }
  void Invalidate() {
    userE.reset();
    groupE.reset();
    defaultE.reset();
    haveGroup = false;
  }

  // Inherited lookup: user, then group, then default user; the anonymous
  // account alone. With `emptyCounts` a key present with an empty value is
  // found (the "$DEF_PASS$" variant used for passwords).
  bool Lookup(std::string_view key, std::string& value, bool emptyCounts = false) {
    const Entries* chain[3] = {&UserEntries(), nullptr, nullptr};
    if (!anonymous) {
      chain[1] = &GroupEntries();
      chain[2] = &DefaultEntries();
    }
    for (const Entries* e : chain) {
      if (e == nullptr) continue;
      const std::string* v = FindEntry(*e, key);
      if (v != nullptr && (emptyCounts || !v->empty())) {
        value = Cut(*v, kValueMax);
        return true;
      }
    }
    return false;
  }
};

void RFTPSSecurity::BeginSnapshot() {
  // Any read makes the INI layer compare the file with its cache; a re-parse
  // shows in its parse count and retires every snapshot.
  (void)ini_.HasSection("GLOBAL");
  if (ini_.ParseCount() != sectionsParse_) DropSnapshots();
}

void RFTPSSecurity::DropSnapshots() {
  sections_.clear();
  sectionsParse_ = ini_.ParseCount();
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
  if (ini_.ParseCount() != sectionsParse_) DropSnapshots();
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
  // Installed again after every reload: the store's own reload has just
  // reloaded the libraries, so once is enough.
  if (check == clientCheck_) return;
  clientCheck_ = check;
  if (clientCheck_ != nullptr) clientCheck_->Reload(ini_);
}

void RFTPSSecurity::SetMessageFileLookup(MessageFileLookup fn) {
  messageFiles_ = std::move(fn);
}

void RFTPSSecurity::SetPathProbe(const RPathProbe* probe) {
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
    if (v.compare(0, 2, "A,") == 0 || v.compare(0, 2, "D,") == 0) serverIPRules_.push_back(v);
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

  if (clientCheck_ != nullptr) clientCheck_->Reload(ini_);
}

bool RFTPSSecurity::LookupKey(std::string_view user, std::string_view key, std::string& value) {
  BeginSnapshot();
  Ctx c(*this);
  c.user = std::string(user);
  c.anonymous = EqualNoCaseAscii(user, ANONYMOUS_USER);
  return c.Lookup(key, value);
}

bool RFTPSSecurity::RulesAllow(std::string_view user, uint32_t code, std::string_view localPath) {
  BeginSnapshot();
  Ctx c(*this);
  c.user = std::string(user);
  c.anonymous = EqualNoCaseAscii(user, ANONYMOUS_USER);
  return RulesAllowCtx(c, code, localPath);
}

void RFTPSSecurity::Answer(AccessQuery& q) {
  if (g_reloadFlag.exchange(false)) Reload();
  q.flag = 0;
  BeginSnapshot();

  const std::string original(QueryUser(q));
  Ctx c(*this);
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

  AnswerOwn(q, c);

  // The libraries see the "@N" name while it is in force.
  if (clientCheck_ != nullptr && HasLibraryEvent(q.code) && clientCheck_->HasLibraries() &&
      (q.flag == 0 || ((q.code == QC_IP_ACCESS || q.code == QC_LOG_CLIENT_IP) && QueryNoRule(q))))
    clientCheck_->Consult(q);

  if (c.suffixed) SetQueryUser(q, original);
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
    case QC_PASSWORD:
      AnswerPassword(q, c);
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
      break;  // 44, 45: libraries only; 18, 19, 22, 23 and unknown codes: unanswered
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

// ---------------------------------------------------------------------------
// Directory access rules

bool RFTPSSecurity::RulesAllowCtx(Ctx& c, uint32_t code, std::string_view localPath) {
  if (localPath.size() < 3 || !IsFileAccessCode(code)) return false;
  const Entries* chain[3] = {&c.UserEntries(), nullptr, nullptr};
  if (!c.anonymous) {
    chain[1] = &c.GroupEntries();
    chain[2] = &c.DefaultEntries();
  }
  for (const Entries* e : chain) {
    if (e == nullptr) continue;
    for (std::string_view rule : NumberedValues(*e, "Access")) {
      RRuleVerdict v;
      if (rule[0] == '/') {
        // A rule written in POSIX form: its path goes through the drive table.
        size_t comma = rule.rfind(',');
        if (comma == std::string_view::npos) continue;
        std::string path = drives_.ConfigPathToDrive(rule.substr(0, comma));
        if (path.empty()) continue;
        std::string mapped = path + std::string(rule.substr(comma));
        v = EvaluateAccessRule(mapped, code, localPath, probe_);
      } else {
        v = EvaluateAccessRule(rule, code, localPath, probe_);
      }
      if (v != RRuleVerdict::NotApplicable) return v == RRuleVerdict::Granted;
    }
  }
  return false;
}

namespace {

std::vector<std::string_view> PathComponents(std::string_view p) {
  std::vector<std::string_view> out;
  while (!p.empty() && p.back() == '\\') p.remove_suffix(1);
  size_t start = 0;
  for (;;) {
    size_t bs = p.find('\\', start);
    out.push_back(p.substr(start, bs == std::string_view::npos ? bs : bs - start));
    if (bs == std::string_view::npos) return out;
    start = bs + 1;
  }
}

// True when the rule path `rule` (drive form, "\path" or a bare name, with
// wildcards or without) names `dir` or something below it.
bool RulePathWithin(std::string_view rule, std::string_view dir) {
  if (rule.empty() || dir.size() < 2) return false;
  std::vector<std::string_view> d = PathComponents(dir);
  if (rule.find('\\') == std::string_view::npos) return WildcardMatch(d.back(), rule);
  std::string full(rule);
  if (rule[0] == '\\') full = std::string(dir.substr(0, 2)) + full;  // on dir's drive
  std::vector<std::string_view> r = PathComponents(full);
  if (r.size() < d.size()) return false;
  for (size_t i = 0; i < d.size(); ++i) {
    if (!WildcardMatch(d[i], r[i])) return false;
  }
  return true;
}

}  // namespace

bool RFTPSSecurity::RulesNameInside(std::string_view user, uint32_t address,
                                    std::string_view localDir) {
  BeginSnapshot();
  Ctx c(*this);
  c.user = std::string(user);
  c.anonymous = EqualNoCaseAscii(user, ANONYMOUS_USER);
  // The same account choice as a query: the "@N" account of the IP home.
  if (!user.empty() && address != 0) {
    for (const IPHome& h : homes_) {
      if (h.address != address) continue;
      std::string ext = c.user + "@" + std::to_string(h.n);
      if (ext.size() < ACCESS_USER_SIZE && !CachedSection("USER=" + ext)->empty()) c.user = ext;
      break;
    }
  }
  const Entries* chain[3] = {&c.UserEntries(), nullptr, nullptr};
  if (!c.anonymous) {
    chain[1] = &c.GroupEntries();
    chain[2] = &c.DefaultEntries();
  }
  for (const Entries* e : chain) {
    if (e == nullptr) continue;
    for (std::string_view rule : NumberedValues(*e, "Access")) {
      size_t comma = rule.rfind(',');
      if (comma == std::string_view::npos) continue;
      std::string path(rule.substr(0, comma));
      if (!path.empty() && path[0] == '/') path = drives_.ConfigPathToDrive(path);
      if (RulePathWithin(path, localDir)) return true;
    }
  }
  return false;
}

void RFTPSSecurity::AnswerFileAccess(AccessQuery& q, Ctx& c) {
  q.flag = RulesAllowCtx(c, q.code, QueryAux(q)) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// IP access rules

void RFTPSSecurity::AnswerIPAccess(AccessQuery& q, Ctx& c) {
  const std::string address(QueryAux(q));
  const std::string host(QueryAux2(q));
  if (QueryUser(q).empty()) {
    if (serverIPRules_.empty()) {
      q.flag = 1;
      q.aux[ACCESS_NO_RULE_INDEX] = 1;
      return;
    }
    for (const std::string& r : serverIPRules_) {
      if (IPPatternMatches(std::string_view(r).substr(2), address, host)) {
        q.flag = r[0] == 'A' ? 1 : 0;
        return;
      }
    }
    return;  // no rule matched: refused
  }

  bool seen = false;
  const Entries* chain[3] = {&c.UserEntries(), nullptr, nullptr};
  if (!c.anonymous) {
    chain[1] = &c.GroupEntries();
    chain[2] = &c.DefaultEntries();
  }
  for (const Entries* e : chain) {
    if (e == nullptr) continue;
    for (std::string_view rule : NumberedValues(*e, "IP")) {
      seen = true;
      if (rule.size() > kValueMax) rule = rule.substr(0, kValueMax);
      std::string_view pattern = rule.size() > 2 ? rule.substr(2) : std::string_view{};
      if (IPPatternMatches(pattern, address, host)) {
        q.flag = rule[0] == 'D' ? 0 : 1;
        return;
      }
    }
  }
  if (!seen) {
    q.flag = 1;
    q.aux[ACCESS_NO_RULE_INDEX] = 1;
  }
}

void RFTPSSecurity::AnswerLogClient(AccessQuery& q) {
  q.flag = 1;
  if (noLog_.empty()) {
    q.aux[ACCESS_NO_RULE_INDEX] = 1;
    return;
  }
  const std::string address(QueryAux(q));
  const std::string host(QueryAux2(q));
  for (const std::string& p : noLog_) {
    if (IPPatternMatches(p, address, host)) {
      q.flag = 0;
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Passwords

bool RFTPSSecurity::WriteUserKey(Ctx& c, std::string_view key,
                                 std::optional<std::string_view> value) {
  bool ok = ini_.WriteString(c.UserSection(), key, value);
  DropSnapshots();
  c.Invalidate();
  return ok;
}

void RFTPSSecurity::AnswerPassword(AccessQuery& q, Ctx& c) {
  std::string v;
  if (c.Lookup("Enable", v) && !IsTrueWord(v)) return;
  const std::string given(QueryAux(q));
  if (c.anonymous) {
    if (GlobalBool("CheckAnonPass", false) && !AnonPasswordLooksValid(given)) return;
    q.flag = 1;
    return;
  }
  std::string type;
  if (c.Lookup("PasswordType", type) && SKeyMethodFromType(type) != 0) {
    q.flag = VerifyOtp(q, c) ? 1 : 0;
    return;
  }
  std::string stored;
  if (!c.Lookup("Password", stored, true)) return;
  if (stored.empty()) {
    q.flag = 1;
    return;
  }
  bool ok = GlobalBool("EncryptPasswords", true) ? CheckStoredHash(c, given, stored)
                                                 : SameBytes(given, stored);
  q.flag = ok ? 1 : 0;
}

bool RFTPSSecurity::CheckStoredHash(Ctx& c, std::string_view given, const std::string& stored) {
  const RPasswordCheck r = CheckPasswordHash(given, stored);
  if (r == RPasswordCheck::Unchecked) {
    // Once per account and stored value: a client retrying a refused login
    // must not fill the log. The password itself never reaches the log.
    auto [it, fresh] = uncheckable_.try_emplace(c.user, stored);
    if (fresh || it->second != stored) {
      it->second = stored;
      WriteLog(LOG_SECURITY, FormatStr(kLogUnknownPasswordHash, c.user));
    }
  }
  return r == RPasswordCheck::Match;
}

void RFTPSSecurity::AnswerVerifyPassword(AccessQuery& q, Ctx& c) {
  if (c.anonymous) return;
  std::string stored;
  if (!c.Lookup("Password", stored, true)) return;
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

void RFTPSSecurity::AnswerChangePassword(AccessQuery& q, Ctx& c) {
  const std::string fresh(QueryAux(q));
  if (c.anonymous || fresh.empty()) return;
  std::string v;
  if (!c.Lookup("ChangePassword", v) || !IsTrueWord(v)) return;
  bool encrypt = GlobalBool("EncryptPasswords", true);
  std::string type;
  bool skey = c.Lookup("PasswordType", type) && SKeyMethodFromType(type) != 0;
  std::string stored = fresh;
  std::vector<RIniFile::Change> changes;
  if (skey) {
    if (encrypt) stored = ScramblePassPhrase(fresh);
    // The next challenge starts a new sequence with a new seed.
    changes.push_back({c.UserSection(), "SKEYValues", std::nullopt});
  } else if (encrypt && HashMethodFromSetting(ini_.GetString("GLOBAL", "PasswordHash")) ==
                            RHashMethod::Yescrypt) {
    auto hash = YescryptHash(fresh);
    if (!hash) return;  // no hash, nothing stored: the change is refused
    stored = std::move(*hash);
  } else if (encrypt) {
    // Two random lower-case letters as the salt, from the kernel's
    // generator: a salt taken from the clock can be predicted.
    const std::string salt = NewCryptSalt();
    if (salt.empty()) return;  // nothing stored, nothing reported as done
    stored = Crypt(fresh, salt);
  }
  changes.push_back({c.UserSection(), "Password", stored});
  bool ok = ini_.Apply(changes);
  DropSnapshots();
  c.Invalidate();
  if (!ok) return;  // not stored: the change is not reported as done
  SetFlagText(q, stored);
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

  std::string text;
  std::optional<SKeyValuesStr> rec;
  if (ReadSKeyRecord(c, text)) rec = ParseSKeyValues(text);
  if (!rec || rec->sequence < 2) {
    std::string pass;
    if (c.Lookup("Password", pass, true)) {
      pass = Cut(pass, kSKeyPassMax);
      if (GlobalBool("EncryptPasswords", true)) pass = UnscramblePassPhrase(pass);
    }
    rec = ParseSKeyValues(NewSKeyRecord(method, pass, rec, now));
    if (!rec) return;
  }
  // Another session's challenge is still fresh: that session keeps its turn.
  if (rec->time != 0 && rec->session != c.session &&
      now < static_cast<int64_t>(rec->time) + kChallengeLockSeconds) {
    SetFlagText(q, LoadStr(kReplyAccountLocked));
    return;
  }
  rec->time = static_cast<uint64_t>(now);
  rec->session = c.session;
  if (!StoreSKeyRecord(c, FormatSKeyValues(*rec), false)) return;
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
  if (!rec || rec->session != c.session) return false;

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
  rec->time = 0;
  rec->session = 0;
  // A success that cannot be recorded would let the same response in twice.
  if (!StoreSKeyRecord(c, FormatSKeyValues(*rec), ok)) return false;
  return ok;
}

namespace {
constexpr size_t kMaxPendingSKey = 256;
}  // namespace

bool RFTPSSecurity::ReadSKeyRecord(Ctx& c, std::string& text) {
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

// ---------------------------------------------------------------------------
// Ratios and quotas

void RFTPSSecurity::AnswerRatioType(AccessQuery& q, Ctx& c) {
  std::string v;
  if (!c.Lookup("RatiosEnable", v) || !IsTrueWord(v)) return;
  if (!c.Lookup("Ratios", v)) v = "FilesPerSession";
  SetFlagText(q, v);
}

void RFTPSSecurity::AnswerRatioCredit(AccessQuery& q, Ctx& c) {
  std::string v;
  if (!c.Lookup("RatiosEnable", v) || !IsTrueWord(v)) return;
  double change = ReadDouble(QueryAux(q));
  double credit = c.Lookup("RatiosCredit", v) ? ReadDouble(v) : 0.0;
  credit += change;
  std::string text = RFormat("%lf", credit);
  if (change != 0.0 && !WriteUserKey(c, "RatiosCredit", text)) return;
  SetFlagText(q, text);
}

void RFTPSSecurity::AnswerRatioFree(AccessQuery& q) {
  std::string_view path = QueryAux(q);
  size_t lastBs = path.rfind('\\');
  size_t firstBs = path.find('\\');
  for (const std::string& p : freeFiles_) {
    if (p.empty()) continue;
    std::string_view subject = path;
    if (p.find('\\') == std::string::npos) {
      if (lastBs != std::string_view::npos) subject = path.substr(lastBs + 1);
    } else if (p[0] == '\\' && p.size() >= 3) {
      subject = firstBs != std::string_view::npos ? path.substr(firstBs) : path;
    }
    if (WildcardMatch(subject, p)) {
      q.flag = 1;
      return;
    }
  }
}

namespace {

struct QuotaValues {
  int64_t max = 0;
  int64_t used = 0;
};

QuotaValues ReadQuota(std::string_view v) {
  QuotaValues r;
  size_t comma = v.find(',');
  r.max = ReadInt64(v.substr(0, comma));
  if (comma != std::string_view::npos) r.used = ReadInt64(v.substr(comma + 1));
  // Hand-edited negatives would let the arithmetic below run backwards.
  if (r.max < 0) r.max = 0;
  if (r.used < 0) r.used = 0;
  return r;
}

}  // namespace

void RFTPSSecurity::AnswerQuotaChange(AccessQuery& q, Ctx& c) {
  std::string v;
  if (!c.Lookup("QuotaEnable", v) || !IsTrueWord(v)) return;
  if (!c.Lookup("QuotaMaxCurrent", v)) return;
  QuotaValues qv = ReadQuota(v);
  int64_t change = ReadInt64(QueryAux(q));
  if (change == 0) {
    SetFlagText(q, std::to_string(qv.used));
    return;
  }
  if (change < 0) {
    if (qv.used >= qv.max) return;
    // -change could overflow for INT64_MIN; compare as "room < need".
    uint64_t need = static_cast<uint64_t>(-(change + 1)) + 1;
    if (static_cast<uint64_t>(qv.max - qv.used) < need) return;
  } else if (change > qv.used) {
    change = qv.used;  // never below 0 in use
  }
  qv.used -= change;
  if (!WriteUserKey(c, "QuotaMaxCurrent", RFormat("%I64d,%I64d", qv.max, qv.used))) return;
  SetFlagText(q, std::to_string(qv.used));
}

void RFTPSSecurity::AnswerQuotaMax(AccessQuery& q, Ctx& c) {
  std::string v;
  if (!c.Lookup("QuotaMaxCurrent", v)) return;
  SetFlagText(q, std::to_string(ReadQuota(v).max));
}

}  // namespace vantor
