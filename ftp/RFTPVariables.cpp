// ExpandVariables: the "%" variables of message lines.
#include "ftp/RFTPVariables.h"

#include <ctime>

#include "accounts/RFTPQuota.h"
#include "accounts/RFTPRatios.h"
#include "fs/RPath.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPStrings.h"
#include "platform/RFileSys.h"
#include "util/RFormat.h"
#include "util/RText.h"

namespace vantor {
namespace {

enum Var {
  V_time,
  V_date,
  V_unow,
  V_fup,
  V_fdown,
  V_ftot,
  V_bup,
  V_bdown,
  V_btot,
  V_ip,
  V_tconm,
  V_tcons,
  V_dfree,
  V_disk,
  V_dir,
  V_name,
  V_uall,
  V_u24h,
  V_LoggedInAll,
  V_MaxUsers,
  V_MaxAnonymous,
  V_UAnonAll,
  V_UAnonThisIP,
  V_UNonAnonAll,
  V_UNonAnonThisIP,
  V_UThisName,
  V_RatioCredit,
  V_RatioUp,
  V_RatioDown,
  V_QuotaUsed,
  V_QuotaLeft,
  V_QuotaMax,
  V_ServerDays,
  V_ServerHours,
  V_ServerMins,
  V_ServerSecs,
  V_ServerkbUp,
  V_ServerkbDown,
  V_ServerFilesDown,
  V_ServerFilesUp,
  V_ServerAvg,
  V_ServerKBps,
};

// Matching order: the first name that matches over its own length wins.
constexpr std::string_view kNames[] = {
    "time",
    "date",
    "unow",
    "fup",
    "fdown",
    "ftot",
    "bup",
    "bdown",
    "btot",
    "ip",
    "tconm",
    "tcons",
    "dfree",
    "disk",
    "dir",
    "name",
    "uall",
    "u24h",
    "LoggedInAll",
    "MaxUsers",
    "MaxAnonymous",
    "UAnonAll",
    "UAnonThisIP",
    "UNonAnonAll",
    "UNonAnonThisIP",
    "UThisName",
    "RatioCredit",
    "RatioUp",
    "RatioDown",
    "QuotaUsed",
    "QuotaLeft",
    "QuotaMax",
    "ServerDays",
    "ServerHours",
    "ServerMins",
    "ServerSecs",
    "ServerkbUp",
    "ServerkbDown",
    "ServerFilesDown",
    "ServerFilesUp",
    "ServerAvg",
    "ServerKBps",
};
static_assert(std::size(kNames) == 42);

constexpr std::string_view kAnonymous = "Anonymous";

bool MatchesAt(std::string_view text, size_t pos, std::string_view name) {
  return StartsWithNoCase(text.substr(pos), name);
}

std::string LocalTimeText(int64_t now, const char* format, uint32_t unknownId) {
  if (now <= 0) return LoadStr(unknownId);
  const time_t t = static_cast<time_t>(now);
  struct tm tmv {};
  localtime_r(&t, &tmv);
  char buf[128];
  const size_t n = std::strftime(buf, sizeof buf, format, &tmv);
  return std::string(buf, n);
}

int64_t QuotaUsed(RFTPSComInterp& s) {
  return s.Quota && s.Quota->Enabled() ? s.Quota->UsedNow() : 0;
}
int64_t QuotaMax(RFTPSComInterp& s) {
  return s.Quota && s.Quota->Enabled() ? s.Quota->Maximum() : 0;
}

std::string Value(RFTPSComInterp& s, int v) {
  RFTPSManager& m = s.Manager();
  const ServerStats& st = s.Manager().Stats();
  const int64_t now = m.Now();
  const int64_t connected = s.SecondsConnected();
  const int64_t up = now - st.StartTime;
  switch (v) {
    case V_time:
      return LocalTimeText(now, "%H:%M:%S", kTextUnknownTime);
    case V_date:
      return LocalTimeText(now, "%A %d %B, %Y", kTextUnknownDate);
    case V_unow:
      return RFormat("%d", st.ConnectionsNow);
    case V_fup:
      return RFormat("%u", s.Counters.filesUp);
    case V_fdown:
      return RFormat("%u", s.Counters.filesDown);
    case V_ftot:
      return RFormat("%u", s.Counters.filesUp + s.Counters.filesDown);
    case V_bup:
      return RFormat("%lu", s.Counters.bytesUp / 1024);
    case V_bdown:
      return RFormat("%lu", s.Counters.bytesDown / 1024);
    case V_btot:
      return RFormat("%lu", (s.Counters.bytesUp + s.Counters.bytesDown) / 1024);
    case V_ip:
      return s.Connection.nameResolved ? s.Connection.hostName : s.Connection.clientAddress;
    case V_tconm:
      return RFormat("%d", connected / 60);
    case V_tcons:
      return RFormat("%d", connected % 60);
    case V_dfree: {
      const int64_t free = FsFreeSpace(LocalToPosix(s.FsSettings(), s.Login.currentDir));
      return RFormat("%.0lf", free > 0 ? static_cast<double>(free) / 1024.0 : 0.0);
    }
    case V_disk:
      return std::string(1, AsciiUpper(s.Login.currentDir.empty() ? 'C' : s.Login.currentDir[0]));
    case V_dir:
      return s.ClientPathOf(s.Login.currentDir);
    case V_name:
      return s.Login.userName;
    case V_uall:
      return RFormat("%u", st.NextSessionNumber - 1);
    case V_u24h: {
      int64_t sum = 0;
      for (uint32_t c : st.ConnectionsPerHour) sum += c;
      return RFormat("%ld", sum);
    }
    case V_LoggedInAll:
      return RFormat("%lu", st.LoginsTotal);
    case V_MaxUsers:
      return RFormat("%d", m.Settings().maxNrUsers);
    case V_MaxAnonymous: {
      AccessQuery q = s.NewQuery(QC_MAX_USERS);
      SetQueryUser(q, kAnonymous);
      if (!s.Ask(q)) return "-1";
      return RFormat("%d", std::atoi(QueryAux(q).data()));
    }
    case V_UAnonAll:
      return RFormat("%d", st.AnonymousNow);
    case V_UAnonThisIP:
      return RFormat("%d", m.CountSessions(kAnonymous, s.Connection.localAddress));
    case V_UNonAnonAll:
      return RFormat("%d", static_cast<int64_t>(st.ConnectionsNow) - st.AnonymousNow);
    case V_UNonAnonThisIP:
      return RFormat("%d", m.CountSessions("", s.Connection.localAddress) -
                               m.CountSessions(kAnonymous, s.Connection.localAddress));
    case V_UThisName:
      return RFormat("%d", m.CountSessions(s.Login.userName, s.Connection.localAddress));
    case V_RatioCredit: {
      double credit = 0;
      if (s.Ratio && s.Ratio->Enabled()) {
        credit = s.Ratio->Credit();
        const int type = s.Ratio->Type();
        if (type == RATIO_BYTES_PER_SESSION || type == RATIO_BYTES_OVERALL) credit /= 1024;
      }
      std::string text = RFormat("%lf", credit);
      const size_t dot = text.find('.');
      if (dot != std::string::npos) text.resize(dot);
      return text;
    }
    case V_RatioUp:
      return RFormat("%lu", s.Ratio ? s.Ratio->Up() : 0u);
    case V_RatioDown:
      return RFormat("%lu", s.Ratio ? s.Ratio->Down() : 0u);
    case V_QuotaUsed:
      return RFormat("%I64d", QuotaUsed(s) / 1024);
    case V_QuotaLeft:
      return RFormat("%I64d", (QuotaMax(s) - QuotaUsed(s)) / 1024);
    case V_QuotaMax:
      return RFormat("%I64d", QuotaMax(s) / 1024);
    case V_ServerDays:
      return RFormat("%lu", up / 86400);
    case V_ServerHours:
      return RFormat("%lu", up / 3600 % 24);
    case V_ServerMins:
      return RFormat("%lu", up / 60 % 60);
    case V_ServerSecs:
      return RFormat("%lu", up % 60);
    case V_ServerkbUp:
      return RFormat("%.0lf", st.KBytesUploaded);
    case V_ServerkbDown:
      return RFormat("%.0lf", st.KBytesDownloaded);
    case V_ServerFilesDown:
      return RFormat("%ld", st.FilesDownloaded);
    case V_ServerFilesUp:
      return RFormat("%ld", st.FilesUploaded);
    case V_ServerAvg: {
      // In the first ten seconds there is nothing to average yet.
      const int64_t secs = up - 10;
      const double kb = st.KBytesUploaded + st.KBytesDownloaded;
      return RFormat("%.3lf", secs > 0 ? kb / static_cast<double>(secs) : 0.0);
    }
    case V_ServerKBps: {
      const int64_t rate = m.Layer() != nullptr ? m.Layer()->GetServerRate() : 0;
      return RFormat("%.3f", static_cast<double>(rate) / 1024.0);
    }
    default:
      return {};
  }
}

}  // namespace

void ExpandVariables(RFTPSComInterp& s, std::string& text, size_t maxLength) {
  if (text.find('%') == std::string::npos) {
    if (text.size() > maxLength) text.resize(maxLength);
    return;
  }
  std::string out;
  out.reserve(text.size() + 32);
  size_t i = 0;
  while (i < text.size() && out.size() < maxLength) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    bool matched = false;
    for (size_t v = 0; v < std::size(kNames); ++v) {
      if (!MatchesAt(text, i + 1, kNames[v])) continue;
      out += Value(s, static_cast<int>(v));
      i += 1 + kNames[v].size();
      matched = true;
      break;
    }
    if (matched) continue;
    out.push_back('%');
    if (i + 1 < text.size()) out.push_back(text[i + 1]);
    i += 2;
  }
  // Cut to the caller's buffer: whole characters from the front are kept.
  if (out.size() > maxLength) out.resize(maxLength);
  text = std::move(out);
}

}  // namespace vantor
