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
#include "ftp/RFTPVariables.h"
#include "ftp/RIPHomes.h"
#include "platform/RFile.h"
#include "platform/RWorkPool.h"
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
  ++generation_;
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

RFTPMessages::SignLookup RFTPMessages::FindSignLines(RFTPSComInterp& s, RSignKind kind,
                                                     uint32_t a) {
  SignLookup found;
  found.generation = generation_;
  Cache& cache = CacheOf(kind);
  const int64_t now = s.Manager().Now();
  if (const RMesLines* e = Fresh(cache, a, now)) {
    if (!e->useAllHomes) {
      found.lines = &e->lines;
      return found;
    }
    if (const RMesLines* all = Fresh(cache, 0, now)) {
      found.lines = &all->lines;
      return found;
    }
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
    if (const RMesLines* all = Fresh(cache, 0, now)) {
      found.lines = &all->lines;
      return found;
    }
    a = 0;
    answered = ask(0, file);
  }
  found.address = a;
  if (answered && !file.empty()) {
    found.file = std::move(file);
    return found;
  }
  RMesLines& stored = cache[a];
  stored = RMesLines{a, false, now + kCacheSeconds, {}};
  found.lines = &stored.lines;
  return found;
}

const std::vector<std::string>& RFTPMessages::StoreSignLines(RSignKind kind,
                                                             const SignLookup& lookup, int64_t now,
                                                             std::vector<std::string> lines) {
  // Read for a table a reload has replaced since: shown once, never cached.
  if (lookup.generation != generation_) {
    stale_ = std::move(lines);
    return stale_;
  }
  RMesLines& stored = CacheOf(kind)[lookup.address];
  stored = RMesLines{lookup.address, false, now + kCacheSeconds, std::move(lines)};
  return stored.lines;
}

const std::vector<std::string>& RFTPMessages::GetSignLines(RFTPSComInterp& s, RSignKind kind,
                                                           uint32_t a) {
  const SignLookup found = FindSignLines(s, kind, a);
  if (found.lines != nullptr) return *found.lines;
  std::vector<std::string> lines;
  (void)ReadMessageLines(MessageFilePosix(s.FsSettings(), found.file), kSignRead, lines);
  return StoreSignLines(kind, found, s.Manager().Now(), std::move(lines));
}

// --- reading files --------------------------------------------------------------

RMessageReadStr ReadMessageFile(const std::string& posixPath, size_t maxRead) {
  RMessageReadStr r;
  r.path = posixPath;
  if (posixPath.empty() || maxRead == 0) return r;
  std::string data;
  switch (ReadFileBounded(posixPath, kMaxMessageBytes, &data)) {
    case RBoundedRead::Ok:
      break;
    case RBoundedRead::TooLarge:
      r.problem = RMessageReadStr::TooLarge;
      return r;
    case RBoundedRead::NotRegular:
      r.problem = RMessageReadStr::NotRegular;
      return r;
    case RBoundedRead::Failed:
      r.problem = RMessageReadStr::Unreadable;
      return r;
    case RBoundedRead::Missing:
      return r;
  }
  // A NUL byte never belongs in a text; such a file would only send noise.
  if (data.find('\0') != std::string::npos) {
    r.problem = RMessageReadStr::NotText;
    return r;
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
    if (r.lines.size() == kMaxMessageLines) {
      r.lines.clear();
      r.problem = RMessageReadStr::TooManyLines;
      return r;
    }
    r.lines.push_back(std::move(piece));
  }
  r.problem = RMessageReadStr::None;
  return r;
}

void LogMessageRead(const RMessageReadStr& r) {
  // A missing file is the ordinary case (no message here): no log line.
  const std::string path = PrintablePath(r.path);
  switch (r.problem) {
    case RMessageReadStr::TooLarge:
      WriteLog(LOG_SYSTEM,
               FormatStr(kLogMessageTooLarge, path, static_cast<unsigned>(kMaxMessageBytes)));
      break;
    case RMessageReadStr::NotRegular:
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageNotRegular, path));
      break;
    case RMessageReadStr::Unreadable:
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageUnreadable, path));
      break;
    case RMessageReadStr::NotText:
      WriteLog(LOG_SYSTEM, FormatStr(kLogMessageNotText, path));
      break;
    case RMessageReadStr::TooManyLines:
      WriteLog(LOG_SYSTEM,
               FormatStr(kLogMessageTooManyLines, path, static_cast<unsigned>(kMaxMessageLines)));
      break;
    case RMessageReadStr::None:
    case RMessageReadStr::Missing:
      break;
  }
}

bool ReadMessageLines(const std::string& posixPath, size_t maxRead,
                      std::vector<std::string>& lines) {
  RMessageReadStr r = ReadMessageFile(posixPath, maxRead);
  LogMessageRead(r);
  lines = std::move(r.lines);
  return r.problem == RMessageReadStr::None;
}

std::string MessageFilePosix(const RFsSettingsStr& fs, std::string_view name) {
  if (name.empty()) return {};
  if (name.front() == '/') return std::string(name);
  if (name.size() >= 2 && name[1] == ':') return LocalToPosix(fs, name);
  return std::string(name);
}

// --- sending --------------------------------------------------------------------

namespace {

void SendExpanded(RFTPSComInterp& s, std::string line) {
  ExpandVariables(s, line);
  s.Reply(line);
}

}  // namespace

namespace {

// The files of a message in order: the first that can be read is sent.
// `local`: drive-form paths already resolved; else names as configured.
void ReadMessageFilesAs(RFTPSComInterp& s, std::vector<std::string> files, bool local,
                        size_t maxRead, RMessageThen then) {
  if (files.empty()) {
    then(s, nullptr);
    return;
  }
  using Reads = std::vector<RMessageReadStr>;
  std::string key = "message\n" + std::to_string(maxRead) + (local ? "\nL" : "\nC");
  for (const std::string& f : files) key += "\n" + f;
  RWorkPool::Work work = [files, local, maxRead, fs = s.Manager().Fs().Snapshot()]() {
    auto reads = std::make_shared<Reads>();
    for (const std::string& f : files) {
      reads->push_back(
          ReadMessageFile(local ? LocalToPosix(*fs, f) : MessageFilePosix(*fs, f), maxRead));
      if (reads->back().problem == RMessageReadStr::None) break;
    }
    return RWorkPool::Result(std::move(reads));
  };
  auto finish = [then = std::move(then)](RFTPSComInterp& s, const RWorkPool::Result& r) {
    const auto& reads = *std::static_pointer_cast<const Reads>(r);
    const std::vector<std::string>* lines = nullptr;
    for (const RMessageReadStr& m : reads) {
      LogMessageRead(m);
      if (m.problem == RMessageReadStr::None) lines = &m.lines;
    }
    then(s, lines);
  };
  if (s.RunOffLoop(key, work, [&s, finish](const RWorkPool::Result& r) { finish(s, r); })) return;
  finish(s, work());
}

// The sign-on or sign-off lines, from the cache or read on a worker.
void WithSignLines(RFTPSComInterp& s, RSignKind kind,
                   std::function<void(RFTPSComInterp&, const std::vector<std::string>&)> fn) {
  const RFTPMessages::SignLookup found =
      s.Manager().Messages().FindSignLines(s, kind, s.Connection.localAddress);
  if (found.lines != nullptr) {
    // A copy: expanding a variable may ask questions that touch the cache.
    const std::vector<std::string> lines = *found.lines;
    fn(s, lines);
    return;
  }
  ReadMessageFilesAs(s, {found.file}, false, kSignRead,
                     [kind, found, fn](RFTPSComInterp& s, const std::vector<std::string>* read) {
                       const std::vector<std::string> lines = s.Manager().Messages().StoreSignLines(
                           kind, found, s.Manager().Now(),
                           read != nullptr ? *read : std::vector<std::string>{});
                       fn(s, lines);
                     });
}

}  // namespace

void ReadMessageFiles(RFTPSComInterp& s, std::vector<std::string> files, size_t maxRead,
                      RMessageThen then) {
  ReadMessageFilesAs(s, std::move(files), false, maxRead, std::move(then));
}

void SendGreeting(RFTPSComInterp& s) {
  WithSignLines(s, RSignKind::SignOn, [](RFTPSComInterp& s, const std::vector<std::string>& lines) {
    const size_t n = lines.size();
    s.Reply(FormatStr(kReplyGreeting, n > 0 ? '-' : ' ', LoadStr(kTextDefaultGreeting)));
    for (size_t i = 0; i < n; ++i) {
      SendExpanded(s, FormatStr(kReplyGreeting, i + 1 == n ? ' ' : '-', lines[i]));
    }
  });
}

void SendSignOff(RFTPSComInterp& s, std::function<void(RFTPSComInterp&)> then) {
  WithSignLines(s, RSignKind::SignOff,
                [then](RFTPSComInterp& s, const std::vector<std::string>& lines) {
                  const size_t n = lines.size();
                  if (n == 0) s.ReplyStr(kReplyGoodbye);
                  for (size_t i = 0; i < n; ++i) {
                    SendExpanded(s, FormatStr(kReplySignOff, i + 1 == n ? ' ' : '-', lines[i]));
                  }
                  if (then) then(s);
                });
}

void SendMessageFile(RFTPSComInterp& s, std::vector<std::string> names, std::string_view code,
                     std::function<void(RFTPSComInterp&)> then) {
  std::vector<std::string> files;
  for (const std::string& name : names) {
    if (name.empty()) continue;
    std::string path = s.FsSettings().drives.ConfigPathToDrive(name);
    if (path.empty()) continue;
    ResolvePath(s.FsSettings(), path, s.Login.currentDir, s.Login.homeDir, false, true, false);
    files.push_back(std::move(path));
  }
  ReadMessageFilesAs(
      s, std::move(files), true, kMessageRead,
      [code = std::string(code), then](RFTPSComInterp& s, const std::vector<std::string>* lines) {
        if (lines != nullptr) {
          for (const std::string& line : *lines)
            SendExpanded(s, FormatStr(kTextFirstLineOfMany, code, line));
        }
        then(s);
      });
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
