// The account store's ratios and quotas: credits, free files and the
// quota's maximum and use, read and written in the account's section.
#include "accounts/RFTPSSecurity.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "accounts/RFTPSSecurityQuery.h"
#include "accounts/RWildcard.h"
#include "util/RFormat.h"
#include "util/RText.h"

namespace vantor {

using namespace securitydetail;

namespace {

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

}  // namespace

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
  if (change != 0.0 && !WriteUserKey(c, "RatiosCredit", text, true)) return;
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
  if (!WriteUserKey(c, "QuotaMaxCurrent", RFormat("%I64d,%I64d", qv.max, qv.used), true)) return;
  SetFlagText(q, std::to_string(qv.used));
}

void RFTPSSecurity::AnswerQuotaMax(AccessQuery& q, Ctx& c) {
  std::string v;
  if (!c.Lookup("QuotaMaxCurrent", v)) return;
  SetFlagText(q, std::to_string(ReadQuota(v).max));
}

}  // namespace vantor
