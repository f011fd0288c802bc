// The account store's address rules: the server-wide [IP-ACCESS] list, an
// account's IPn entries and the list of clients not to log.
#include "accounts/RFTPSSecurity.h"

#include <string>
#include <string_view>

#include "accounts/RFTPSSecurityQuery.h"
#include "accounts/RIPRules.h"

namespace vantor {

using namespace securitydetail;

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
      if (ipMatcher_.Matches(std::string_view(r).substr(2), address, host)) {
        q.flag = r[0] == 'A' || r[0] == 'a' ? 1 : 0;
        return;
      }
    }
    return;  // no rule matched: refused
  }

  bool seen = false;
  for (const Entries* e : c.Chain()) {
    if (e == nullptr) continue;
    for (std::string_view rule : NumberedValues(*e, "IP")) {
      seen = true;
      if (rule.size() > kValueMax) rule = rule.substr(0, kValueMax);
      // A rule that does not parse is skipped (and logged at load): a "d,"
      // or "X," must neither let an address in nor match anything.
      if (!IPRuleParses(rule)) continue;
      if (ipMatcher_.Matches(rule.substr(2), address, host)) {
        q.flag = rule[0] == 'D' || rule[0] == 'd' ? 0 : 1;
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
    if (ipMatcher_.Matches(p, address, host)) {
      q.flag = 0;
      return;
    }
  }
}

}  // namespace vantor
