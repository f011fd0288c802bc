#include "ftp/RFTPMessages.h"

#include <cstdlib>

#include "accounts/RFTPQuota.h"
#include "accounts/RFTPRatios.h"
#include "config/RIniFile.h"
#include "fs/RFsSettings.h"
#include "fs/RPath.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RIPHomes.h"
#include "platform/RFile.h"
#include "util/RFormat.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

constexpr std::string_view kAllHomes = "<<All IP homes>>";
constexpr std::string_view kSection = "SIGNONOFF";
constexpr size_t kMaxEntry = 511;
constexpr size_t kSignRead = 194;
constexpr size_t kMessageRead = 159;

// A path for a log line: control characters of a name a client chose never
// reach the log raw.
std::string PrintablePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

}  // namespace

// --- the table -----------------------------------------------------------------

void RFTPMessages::Load(const RIniFile& ini, const std::vector<RIPHomeStr>& homes) {
  table_.clear();
  ClearCaches();
  for (int n = 1;; ++n) {
    std::string value = ini.GetString(kSection, RFormat("%s%d", "MessageFiles", n));
    if (value.empty()) break;
    if (value.size() > kMaxEntry) value.resize(kMaxEntry);
    const size_t bar1 = value.find('|');
    if (bar1 == std::string::npos) continue;
    const size_t bar2 = value.find('|', bar1 + 1);
    RMessageFiles e;
    e.signOn =
        value.substr(bar1 + 1, bar2 == std::string::npos ? std::string::npos : bar2 - bar1 - 1);
    if (bar2 != std::string::npos) e.signOff = value.substr(bar2 + 1);
    if (e.signOn.empty() && e.signOff.empty()) continue;
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str()) continue;
    if (number == -1) {
      e.key = std::string(kAllHomes);
    } else {
      for (const RIPHomeStr& h : homes) {
        if (static_cast<long>(h.n) != number) continue;
        e.key = h.addressText;
        e.address = h.address;
      }
      if (e.key.empty()) continue;  // names a home that no longer exists
    }
    table_.push_back(std::move(e));
  }
}

bool RFTPMessages::Lookup(RSignKind kind, uint32_t address, std::string& file) const {
  // By id: an IPv6 home's address text is not the dotted form of its id.
  for (const RMessageFiles& e : table_) {
    if (address == 0 ? e.key != kAllHomes : e.address != address) continue;
    const std::string& name = kind == RSignKind::SignOn ? e.signOn : e.signOff;
    if (name.empty()) return false;
    file = name;
    return true;
  }
  return false;
}

void RFTPMessages::ClearCaches() {
  signOn_.clear();
  signOff_.clear();
}

size_t RFTPMessages::CachedEntries(RSignKind kind) const {
  return kind == RSignKind::SignOn ? signOn_.size() : signOff_.size();
}

const RMesLines* RFTPMessages::Fresh(Cache& cache, uint32_t address, int64_t now) {
  auto it = cache.find(address);
  if (it == cache.end()) return nullptr;
  if (it->second.expiry > now) return &it->second;
  cache.erase(it);
  return nullptr;
}

const std::vector<std::string>& RFTPMessages::GetSignLines(RFTPSComInterp& s, RSignKind kind,
                                                           uint32_t a) {
  Cache& cache = CacheOf(kind);
  const int64_t now = s.Manager().Now();
  if (const RMesLines* e = Fresh(cache, a, now)) {
    if (!e->useAllHomes) return e->lines;
    if (const RMesLines* all = Fresh(cache, 0, now)) return all->lines;
    a = 0;
  }
  const uint32_t code = kind == RSignKind::SignOn ? QC_SIGN_ON_MES : QC_SIGN_OFF_MES;
  auto ask = [&](uint32_t address, std::string& file) {
    AccessQuery q = s.NewQuery(code);
    q.address = address;
    // Prefilled with the table's answer, so that with security off (every
    // query answered "yes" without a text) the messages still show.
    std::string own;
    if (Lookup(kind, address, own)) SetQueryAux(q, own);
    if (!s.Ask(q)) return false;
    file = std::string(QueryAux(q));
    return !file.empty();
  };
  std::string file;
  bool answered = ask(a, file);
  if (!answered && a != 0) {
    RMesLines marker;
    marker.address = a;
    marker.useAllHomes = true;
    marker.expiry = now + kCacheSeconds;
    cache[a] = std::move(marker);
    if (const RMesLines* all = Fresh(cache, 0, now)) return all->lines;
    a = 0;
    answered = ask(0, file);
  }
  RMesLines entry;
  entry.address = a;
  entry.expiry = now + kCacheSeconds;
  if (answered && !file.empty()) {
    (void)ReadMessageLines(MessageFilePosix(file), kSignRead, entry.lines);
  }
  RMesLines& stored = cache[a];
  stored = std::move(entry);
  return stored.lines;
}

// --- reading files --------------------------------------------------------------

bool ReadMessageLines(const std::string& posixPath, size_t maxRead,
                      std::vector<std::string>& lines) {
  lines.clear();
  if (posixPath.empty() || maxRead == 0) return false;
  std::string data;
  const RBoundedRead rc = ReadFileBounded(posixPath, kMaxMessageBytes, &data);
  if (rc != RBoundedRead::Ok) {
    // A missing file is the ordinary case (no message here): no log line.
    if (rc == RBoundedRead::TooLarge) {
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageTooLarge, PrintablePath(posixPath),
                                     static_cast<unsigned>(kMaxMessageBytes)));
    } else if (rc == RBoundedRead::NotRegular) {
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageNotRegular, PrintablePath(posixPath)));
    } else if (rc == RBoundedRead::Failed) {
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageUnreadable, PrintablePath(posixPath)));
    }
    return false;
  }
  // A NUL byte never belongs in a text; such a file would only send noise.
  if (data.find('\0') != std::string::npos) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogMessageNotText, PrintablePath(posixPath)));
    return false;
  }
  // Text mode: CR LF counts as one line feed. Each read takes at most
  // `maxRead` characters and stops after a line feed, so a longer line
  // continues on the next one.
  size_t pos = 0;
  while (pos < data.size()) {
    std::string piece;
    while (piece.size() < maxRead && pos < data.size()) {
      const char c = data[pos++];
      if (c == '\r' && pos < data.size() && data[pos] == '\n') continue;
      piece.push_back(c);
      if (c == '\n') break;
    }
    if (!piece.empty() && piece.back() == '\n') piece.pop_back();
    if (lines.size() == kMaxMessageLines) {
      lines.clear();
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageTooManyLines, PrintablePath(posixPath),
                                     static_cast<unsigned>(kMaxMessageLines)));
      return false;
    }
    lines.push_back(std::move(piece));
  }
  return true;
}

std::string MessageFilePosix(std::string_view name) {
  if (name.empty()) return {};
  if (name.front() == '/') return std::string(name);
  if (name.size() >= 2 && name[1] == ':') return LocalToPosix(name);
  return std::string(name);
}

// --- sending --------------------------------------------------------------------

namespace {

void SendExpanded(RFTPSComInterp& s, std::string line) {
  ExpandVariables(s, line);
  s.Reply(line);
}

}  // namespace

void SendGreeting(RFTPSComInterp& s) {
  const std::vector<std::string> lines =
      s.Manager().Messages().GetSignLines(s, RSignKind::SignOn, s.Connection.localAddress);
  const size_t n = lines.size();
  s.Reply(FormatStr(kReplyGreeting, n > 0 ? '-' : ' ', LoadStr(kTextDefaultGreeting)));
  for (size_t i = 0; i < n; ++i) {
    SendExpanded(s, FormatStr(kReplyGreeting, i + 1 == n ? ' ' : '-', lines[i]));
  }
}

void SendSignOff(RFTPSComInterp& s) {
  const std::vector<std::string> lines =
      s.Manager().Messages().GetSignLines(s, RSignKind::SignOff, s.Connection.localAddress);
  const size_t n = lines.size();
  if (n == 0) {
    s.ReplyStr(kReplyGoodbye);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    SendExpanded(s, FormatStr(kReplySignOff, i + 1 == n ? ' ' : '-', lines[i]));
  }
}

bool SendMessageFile(RFTPSComInterp& s, std::string_view name, std::string_view code) {
  if (name.empty()) return false;
  std::string path = FsSettings().drives.ConfigPathToDrive(name);
  if (path.empty()) return false;
  ResolvePath(path, s.Login.currentDir, s.Login.homeDir, false, true, false);
  std::vector<std::string> lines;
  if (!ReadMessageLines(LocalToPosix(path), kMessageRead, lines)) return false;
  for (const std::string& line : lines)
    SendExpanded(s, FormatStr(kTextFirstLineOfMany, code, line));
  return true;
}

void SendText(RFTPSComInterp& s, std::string_view text) {
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      SendExpanded(s, std::string(text));
      return;
    }
    SendExpanded(s, std::string(text.substr(0, lf)));
    text.remove_prefix(lf + 1);
  }
}

namespace {

// The STAT texts of the ratio and quota lines, not yet expanded.
std::vector<std::string> RawRatioQuotaLines(RFTPSComInterp& s) {
  std::vector<std::string> lines;
  if (s.Ratio && s.Ratio->Enabled()) {
    const int type = s.Ratio->Type();
    lines.emplace_back(LoadStr(kTextRatioFilesPerSession + static_cast<uint32_t>(type & 3)));
    const bool files = type == RATIO_FILES_PER_SESSION || type == RATIO_FILES_OVERALL;
    lines.emplace_back(LoadStr(files ? kTextRatioCreditFiles : kTextRatioCreditKbytes));
  }
  if (s.Quota && s.Quota->Enabled()) {
    lines.emplace_back(LoadStr(kTextQuotaMax));
    lines.emplace_back(LoadStr(kTextQuotaUsed));
  }
  return lines;
}

}  // namespace

std::vector<std::string> RatioQuotaLines(RFTPSComInterp& s) {
  std::vector<std::string> lines = RawRatioQuotaLines(s);
  for (std::string& line : lines) ExpandVariables(s, line);
  return lines;
}

void SendRatioQuotaSummary(RFTPSComInterp& s, std::string_view finalReply) {
  if (s.Connection.verboseReplies) {
    std::vector<std::string> lines = RawRatioQuotaLines(s);
    if (!lines.empty() && finalReply.size() >= 3 && lines.front().compare(0, 4, "    ") == 0) {
      lines.front().replace(0, 4, std::string(finalReply.substr(0, 3)) + "-");
    }
    for (std::string& line : lines) SendExpanded(s, std::move(line));
  }
  s.Reply(finalReply);
}

}  // namespace vantor
