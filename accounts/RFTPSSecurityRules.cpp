// The account store's directory access rules: the Access entries of an
// account, its group and the default user, asked per path.
#include "accounts/RFTPSSecurity.h"

#include <string>
#include <string_view>
#include <vector>

#include "accounts/RAccessRules.h"
#include "accounts/RFTPSSecurityQuery.h"
#include "accounts/RListRules.h"
#include "accounts/RWildcard.h"
#include "util/RText.h"

namespace vantor {

using namespace securitydetail;

namespace {

// The first rule along the chain that decides the query decides it.
template <typename ChainT>
bool RulesAllowChain(const ChainT& chain, const RDriveMap& drives, const RPathProbe* probe,
                     uint32_t code, std::string_view localPath) {
  if (localPath.size() < 3 || !IsFileAccessCode(code)) return false;
  for (const auto& e : chain) {
    if (e == nullptr) continue;
    for (std::string_view rule : NumberedValues(*e, "Access")) {
      RRuleVerdict v;
      if (rule[0] == '/') {
        // A rule written in POSIX form: its path goes through the drive table.
        size_t comma = rule.rfind(',');
        if (comma == std::string_view::npos) continue;
        std::string path = drives.ConfigPathToDrive(rule.substr(0, comma));
        if (path.empty()) continue;
        std::string mapped = path + std::string(rule.substr(comma));
        v = EvaluateAccessRule(mapped, code, localPath, probe);
      } else {
        v = EvaluateAccessRule(rule, code, localPath, probe);
      }
      if (v != RRuleVerdict::NotApplicable) return v == RRuleVerdict::Granted;
    }
  }
  return false;
}

}  // namespace

bool RFTPSSecurity::RulesAllowCtx(Ctx& c, uint32_t code, std::string_view localPath) {
  return RulesAllowChain(c.Chain(), drives_, probe_, code, localPath);
}

RListRules::RListRules(Chain chain, RDriveMap drives, const RPathProbe* probe, bool librariesDecide)
    : chain_(std::move(chain)),
      drives_(std::move(drives)),
      driveProbe_(&drives_),
      probe_(probe != nullptr ? probe : &driveProbe_),
      librariesDecide_(librariesDecide) {}

bool RListRules::Allows(uint32_t code, std::string_view localPath) const {
  return RulesAllowChain(chain_, drives_, probe_, code, localPath);
}

std::shared_ptr<const RListRules> RFTPSSecurity::ListRules(std::string_view user,
                                                           uint32_t address) {
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
  AccessQuery q = MakeAccessQuery(QC_LIST_DIR, user, address, 0, {});
  Ctx c(*this);
  BeginQuery(q, c);
  (void)c.Chain();
  const bool libraries = clientCheck_ != nullptr && clientCheck_->HasLibraries();
  return std::make_shared<const RListRules>(RListRules::Chain{c.userE, c.groupE, c.defaultE},
                                            drives_, probe_ == &defaultProbe_ ? nullptr : probe_,
                                            libraries);
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
  VANTOR_CHECK_THREAD(thread_, "the account store (RFTPSSecurity)");
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
  for (const Entries* e : c.Chain()) {
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

}  // namespace vantor
