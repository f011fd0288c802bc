#include "fs/RLSDir.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

#include "accounts/RWildcard.h"
#include "fs/RFTPDir.h"
#include "fs/RFsSettings.h"
#include "fs/RPath.h"
#include "platform/RClock.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxArgument = 511;
constexpr size_t kMaxOptionText = 253;
constexpr size_t kMaxOptionArg = 99;
constexpr size_t kMaxPattern = 96;
constexpr int64_t kRecentWindow = 15552000;  // 180 days
constexpr int64_t kFutureSlack = 3600;
constexpr int64_t kOldestShown = 78887701;
constexpr size_t kInitialEntries = 100;

enum class Format { Long, OnePerLine, ColumnsDown, ColumnsAcross, Commas };
enum class SortKey { None, Name, Extension, Time, Size };
enum class TimeField { Modification, Creation, Access };
enum class ShowAll { None, AllButDots, All };
enum class Indicator { None, Classify, Slash };
enum class Quoting { None, Escape, QuestionMarks, DoubleQuotes };

struct OptionsStr {
  Format format = Format::OnePerLine;
  SortKey sort = SortKey::Name;
  TimeField timeField = TimeField::Modification;
  bool reverse = false;
  ShowAll show = ShowAll::None;
  bool regularOnly = false;
  std::vector<std::string> ignore;
  int width = 80;
  int tabSize = 8;
  bool numeric = false;
  bool noGroup = false;
  bool fullTime = false;
  bool inode = false;
  bool blocks = false;
  bool kilobytes = false;
  Indicator indicator = Indicator::None;
  Quoting quoting = Quoting::None;
  bool follow = false;
  bool recursive = false;
  bool dirsThemselves = false;
};

enum class EntryType { Link, Directory, ArgDirectory, Other };

struct LsEntryStr {
  std::string name;
  std::string diskName;  // the name on disk, to descend into
  RLsStatStr st;
  std::string linkTarget;  // resolved local path, "" when none
  uint32_t targetMode = 0;
  bool linkValid = false;
  EntryType type = EntryType::Other;
  uint64_t blocks = 0;
};

struct PendingStr {
  std::string dir;       // local directory to list
  std::string linkName;  // local path of the link it came through, or ""
};

// Option text in `ls` syntax. Unknown characters are ignored.
OptionsStr ParseOptions(std::string_view text) {
  OptionsStr o;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i++];
    if (c == ' ' || c == '\t' || c == '-') continue;
    std::string arg;
    if (i < text.size() && text[i] == ':') {
      ++i;
      if (i < text.size() && text[i] == '"') {
        size_t end = text.find('"', i + 1);
        if (end == std::string_view::npos) end = text.size();
        arg = std::string(text.substr(i + 1, end - i - 1));
        i = end < text.size() ? end + 1 : end;
      } else {
        size_t end = text.find_first_of(" \t", i);
        if (end == std::string_view::npos) end = text.size();
        arg = std::string(text.substr(i, end - i));
        i = end;
      }
      if (arg.size() > kMaxOptionArg) arg.resize(kMaxOptionArg);
    }
    switch (c) {
      case '1':
        o.format = Format::OnePerLine;
        break;
      case 'A':
        o.show = ShowAll::AllButDots;
        break;
      case 'B':
        o.ignore.emplace_back("*~");
        o.ignore.emplace_back(".*~");
        break;
      case 'C':
        o.format = Format::ColumnsDown;
        break;
      case 'F':
        o.indicator = Indicator::Classify;
        break;
      case 'G':
        o.noGroup = true;
        break;
      case 'I':
        if (!arg.empty()) o.ignore.push_back(arg);
        break;
      case 'L':
        o.follow = true;
        break;
      case 'N':
        o.quoting = Quoting::None;
        break;
      case 'Q':
        o.quoting = Quoting::DoubleQuotes;
        break;
      case 'R':
        o.recursive = true;
        break;
      case 'S':
        o.sort = SortKey::Size;
        break;
      case 'T':
        o.fullTime = true;
        break;
      case 'U':
        o.sort = SortKey::None;
        break;
      case 'X':
        o.sort = SortKey::Extension;
        break;
      case 'a':
        o.show = ShowAll::All;
        break;
      case 'b':
        o.quoting = Quoting::Escape;
        break;
      case 'c':
        o.timeField = TimeField::Creation;
        o.sort = SortKey::Time;
        break;
      case 'd':
        o.dirsThemselves = true;
        break;
      case 'e':
        o.regularOnly = true;
        break;
      case 'f':
        o.show = ShowAll::All;
        o.sort = SortKey::None;
        if (o.format == Format::Long) o.format = Format::OnePerLine;
        o.blocks = false;
        break;
      case 'i':
        o.inode = true;
        break;
      case 'k':
        o.kilobytes = true;
        break;
      case 'l':
        o.format = Format::Long;
        break;
      case 'm':
        o.format = Format::Commas;
        break;
      case 'n':
        o.numeric = true;
        break;
      case 'o':
        o.format = Format::Long;
        o.noGroup = true;
        break;
      case 'p':
        o.indicator = Indicator::Slash;
        break;
      case 'q':
        o.quoting = Quoting::QuestionMarks;
        break;
      case 'r':
        o.reverse = true;
        break;
      case 's':
        o.blocks = true;
        break;
      case 't':
        o.sort = SortKey::Time;
        break;
      case 'u':
        o.timeField = TimeField::Access;
        break;
      case 'w': {
        long w = 0;
        bool digits = !arg.empty();
        for (char d : arg) {
          if (d < '0' || d > '9') {
            digits = false;
            break;
          }
          w = std::min<long>(w * 10 + (d - '0'), 100000);
        }
        o.width = digits && w > 0 ? static_cast<int>(w) : 80;
        break;
      }
      case 'x':
        o.format = Format::ColumnsAcross;
        break;
      default:
        break;
    }
  }
  return o;
}

// The cache key of a parsed option set: every field that shapes the output,
// so spellings that mean the same share an entry ("-l1" and "-1l" do not:
// the last format letter wins) and different meanings never do ("-I:a*"
// and "-I:*a" share letters but not patterns).
std::string OptionsKey(const OptionsStr& o) {
  std::string k;
  auto num = [&k](long v) {
    k += std::to_string(v);
    k += ',';
  };
  num(static_cast<long>(o.format));
  num(static_cast<long>(o.sort));
  num(static_cast<long>(o.timeField));
  num(static_cast<long>(o.show));
  num(static_cast<long>(o.indicator));
  num(static_cast<long>(o.quoting));
  num(o.width);
  num(o.tabSize);
  for (bool b : {o.reverse, o.regularOnly, o.numeric, o.noGroup, o.fullTime, o.inode, o.blocks,
                 o.kilobytes, o.follow, o.recursive, o.dirsThemselves}) {
    k += b ? '1' : '0';
  }
  // The order of ignore patterns does not matter; each is length-prefixed so
  // no pattern can imitate two.
  std::vector<std::string> ignore = o.ignore;
  std::sort(ignore.begin(), ignore.end());
  ignore.erase(std::unique(ignore.begin(), ignore.end()), ignore.end());
  for (const auto& pat : ignore) {
    k += ';';
    num(static_cast<long>(pat.size()));
    k += pat;
  }
  return k;
}

bool NeedsStatus(const OptionsStr& o) {
  return o.sort == SortKey::Time || o.sort == SortKey::Size || o.format == Format::Long ||
         o.follow || o.recursive || o.indicator != Indicator::None || o.blocks || o.inode;
}

// Name order: letters compare without regard to case first; of two names
// that differ only in case, the one with the lower-case letter comes first.
int CompareNames(std::string_view a, std::string_view b) {
  if (const int c = CompareNoCase(a, b); c != 0) return c;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return (a[i] >= 'a' && a[i] <= 'z') ? -1 : 1;
  }
  return 0;
}

int64_t EntryTime(const LsEntryStr& e, TimeField f) {
  switch (f) {
    case TimeField::Creation:
      return e.st.ctime;
    case TimeField::Access:
      return e.st.atime;
    default:
      return e.st.mtime;
  }
}

void SortEntries(std::vector<LsEntryStr>& v, const OptionsStr& o) {
  if (o.sort == SortKey::None) return;
  auto less = [&](const LsEntryStr& a, const LsEntryStr& b) {
    int c = 0;
    switch (o.sort) {
      case SortKey::Extension: {
        size_t da = a.name.find_last_of('.');
        size_t db = b.name.find_last_of('.');
        if ((da == std::string::npos) != (db == std::string::npos)) {
          c = da == std::string::npos ? -1 : 1;
        } else if (da != std::string::npos) {
          c = CompareNames(std::string_view(a.name).substr(da),
                           std::string_view(b.name).substr(db));
        }
        if (c == 0) c = CompareNames(a.name, b.name);
        break;
      }
      case SortKey::Time: {
        int64_t ta = EntryTime(a, o.timeField), tb = EntryTime(b, o.timeField);
        c = ta == tb ? CompareNames(a.name, b.name) : (ta > tb ? -1 : 1);
        break;
      }
      case SortKey::Size:
        c = a.st.size == b.st.size ? 0 : (a.st.size > b.st.size ? -1 : 1);
        if (c == 0) c = CompareNames(a.name, b.name);  // same input, same listing
        break;
      default:
        c = CompareNames(a.name, b.name);
        break;
    }
    return o.reverse ? c > 0 : c < 0;
  };
  // Entries are large; sort their positions, then move each entry once.
  std::vector<size_t> order(v.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return less(v[a], v[b]); });
  std::vector<LsEntryStr> sorted;
  sorted.reserve(v.size());
  for (size_t i : order) sorted.push_back(std::move(v[i]));
  v = std::move(sorted);
}

std::string QuoteName(std::string_view name, Quoting q) {
  if (q == Quoting::None) return std::string(name);
  std::string out;
  out.reserve(name.size() + 2);
  if (q == Quoting::DoubleQuotes) out += '"';
  for (char ch : name) {
    unsigned char u = static_cast<unsigned char>(ch);
    bool printable = std::isprint(u) != 0;
    if (q == Quoting::QuestionMarks) {
      out += printable ? ch : '?';
      continue;
    }
    switch (ch) {
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\f':
        out += "\\f";
        continue;
      case ' ':
        out += "\\ ";
        continue;
      case '"':
        out += "\\\"";
        continue;
      default:
        break;
    }
    if (printable) {
      out += ch;
    } else {
      char buf[5];
      std::snprintf(buf, sizeof(buf), "\\%03o", static_cast<unsigned>(u));
      out += buf;
    }
  }
  if (q == Quoting::DoubleQuotes) out += '"';
  return out;
}

const char* IndicatorOf(uint32_t mode) {
  if ((mode & kModeLink) != 0) return "@";
  if ((mode & kModeDirectory) != 0) return "/";
  if ((mode & kModeDevice) != 0) return "|";
  return "";
}

std::string ModeText(uint32_t mode, const std::string& mask) {
  if ((mode & kModeLink) != 0) return "l" + mask;
  if ((mode & kModeDirectory) != 0) return "d" + mask;
  if ((mode & kModeDevice) != 0) return "b" + mask;
  if ((mode & kModeRegular) != 0) return "-" + mask;
  return "?---------";
}

// "%b %d %H:%M", "%b %d  %Y" or (full) "%b %d %H:%M:%S %Y" in local time,
// with a blank for a leading zero of the day. Month names are fixed English
// abbreviations whatever the locale, as clients parse them.
std::string FormatTime(int64_t t, int64_t now, bool full) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (t < kOldestShown) t = kFallbackTime;
  time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  if (localtime_r(&tt, &tm) == nullptr) {
    tt = static_cast<time_t>(kFallbackTime);
    localtime_r(&tt, &tm);
  }
  const char* mon = kMonths[(tm.tm_mon % 12 + 12) % 12];
  char buf[64];
  if (full) {
    std::snprintf(buf, sizeof(buf), "%s %02d %02d:%02d:%02d %d", mon, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
  } else if (now - t <= kRecentWindow && t - now <= kFutureSlack) {
    std::snprintf(buf, sizeof(buf), "%s %02d %02d:%02d", mon, tm.tm_mday, tm.tm_hour, tm.tm_min);
  } else {
    std::snprintf(buf, sizeof(buf), "%s %02d  %d", mon, tm.tm_mday, tm.tm_year + 1900);
  }
  if (buf[4] == '0') buf[4] = ' ';
  return buf;
}

// "%*llu" or "%-*llu" without the cost of printf on every line.
void AppendNumber(std::string& out, uint64_t v, int width, bool left) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  size_t pad = width > 0 && static_cast<size_t>(width) > n ? static_cast<size_t>(width) - n : 0;
  if (!left) out.append(pad, ' ');
  while (n > 0) out += digits[--n];
  if (left) out.append(pad, ' ');
}

class Generator {
 public:
  Generator(const RLSDirArgsStr& a, RDirTextList& out)
      : a_(a), out_(out), o_(ParseOptions(a.options)), mask_(EffectiveDirListMask()) {
    maxEntries_ = a.maxEntries > 0 ? a.maxEntries : FsSettings().maxListEntries;
    if (maxEntries_ <= 0) maxEntries_ = kDefaultMaxListEntries;
    now_ = a.now;
    if (now_ == 0) now_ = RSystemClock::Instance().WallSeconds();
    if (now_ <= 0) now_ = kFallbackTime;
  }

  void Run() {
    std::string search = a_.dir;
    bool specific = false;
    if (!a_.pattern.empty()) {
      std::string pat = a_.pattern.substr(0, kMaxPattern);
      if (pat == "*") pat = "*.*";
      specific = !HasWildcard(pat);
      if (search.empty() || search.back() != '\\') search += '\\';
      search += pat;
    } else {
      if (search.empty() || search.back() != '\\') search += '\\';
      search += "*.*";
    }
    if (out_.Lookup(a_.user, search, a_.address, OptionsKey(o_))) return;

    std::vector<LsEntryStr> entries;
    entries.reserve(kInitialEntries);
    uint64_t total = 0;
    ReadInto(search, specific, entries, total);
    std::vector<PendingStr> pending;
    if (!entries.empty()) {
      SortEntries(entries, o_);
      if ((specific && !o_.dirsThemselves) || o_.recursive) {
        PushDirectories(entries, DirOf(search), pending);
      }
    }
    bool suppressHeader = entries.empty() && pending.size() == 1;
    if (!suppressHeader) {
      Print(entries);
      if (!pending.empty() && !entries.empty()) out_.Append("\n");
    }
    bool first = true;
    while (!pending.empty() && !cut_) {
      PendingStr p = std::move(pending.back());
      pending.pop_back();
      ListPending(p, pending, !(first && suppressHeader));
      first = false;
      if (!pending.empty()) out_.Append("\n");
    }
    if (cut_) out_.SetCut();
    out_.Finish();
  }

 private:
  static std::string DirOf(std::string_view search) {
    size_t bs = search.find_last_of('\\');
    if (bs == std::string_view::npos) return std::string(search);
    return std::string(search.substr(0, bs <= 2 ? bs + 1 : bs));
  }

  static std::string Child(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '\\' ? dir + name : dir + "\\" + name;
  }

  bool Interesting(const RFTPDirEntryStr& e) const {
    if (o_.regularOnly && (e.st.mode & kModeRegular) == 0) return false;
    for (const auto& pat : o_.ignore) {
      if (WildcardMatch(e.name, pat)) return false;
    }
    if (!e.name.empty() && e.name[0] == '.') {
      if (o_.show == ShowAll::All) return true;
      return o_.show == ShowAll::AllButDots && e.name != "." && e.name != "..";
    }
    return true;
  }

  void ReadInto(const std::string& search, bool argument, std::vector<LsEntryStr>& entries,
                uint64_t& total) {
    RFTPDir reader(a_.user, a_.access, a_.address, a_.home, a_.relPaths, a_.hideHidden);
    reader.SetWantStatus(NeedsStatus(o_) || argument);
    (void)reader.Open(search);  // an unreadable directory simply yields nothing
    RFTPDirEntryStr e;
    while (reader.Next(e)) {
      if (!Interesting(e)) continue;
      // One entry more than the listing may hold: it is cut here, and
      // nothing more is read.
      if (count_ >= maxEntries_) {
        cut_ = true;
        return;
      }
      entries.push_back(MakeEntry(std::move(e), argument));
      total += entries.back().blocks;
      ++count_;
    }
  }

  LsEntryStr MakeEntry(RFTPDirEntryStr&& e, bool argument) {
    LsEntryStr x;
    x.name = std::move(e.name);
    x.diskName = std::move(e.diskName);
    x.st = e.st;
    bool isLink = e.isLink;
    RFileStatStr target;
    bool targetKnown = false;
    if (isLink && !e.linkTarget.empty()) targetKnown = LocalStat(e.linkTarget, target);
    if (o_.follow && isLink && targetKnown && target.type != RFileType::Link) {
      x.st = FromFileStat(target);
      x.linkTarget = e.linkTarget;  // a followed directory is listed at its target
      isLink = false;
    }
    bool isLong = o_.format == Format::Long;
    if (isLink && (argument || isLong)) {
      x.linkTarget = e.linkTarget;
      if (!x.linkTarget.empty() && ((argument && !isLong) || o_.indicator != Indicator::None) &&
          targetKnown) {
        x.linkValid = true;
        x.targetMode = FromFileStat(target).mode;
      }
    }
    if (isLink) {
      x.type = EntryType::Link;
      if (argument && !isLong && x.linkValid && (x.targetMode & kModeDirectory) != 0 &&
          !o_.dirsThemselves) {
        x.type = EntryType::ArgDirectory;
      }
    } else if ((x.st.mode & kModeDirectory) != 0) {
      x.type = argument && !o_.dirsThemselves ? EntryType::ArgDirectory : EntryType::Directory;
    }
    uint64_t size = x.st.size < 0 ? 0 : static_cast<uint64_t>(x.st.size);
    x.blocks = o_.kilobytes ? (size + 1023) / 1024 : (size + 511) / 512;
    while (blockWidth_ < 7 && x.blocks >= kBlockSteps[blockWidth_ - 4]) ++blockWidth_;
    return x;
  }

  static RLsStatStr FromFileStat(const RFileStatStr& f) {
    RLsStatStr s;
    switch (f.type) {
      case RFileType::Directory:
        s.mode = kModeDirectory;
        break;
      case RFileType::Regular:
        s.mode = kModeRegular;
        break;
      case RFileType::Device:
        s.mode = kModeDevice;
        break;
      case RFileType::Link:
        s.mode = kModeLink;
        break;
      default:
        s.mode = 0;
        break;
    }
    s.size = f.type == RFileType::Regular ? f.size : 0;
    s.atime = f.atime;
    s.mtime = f.mtime;
    s.ctime = f.btime;
    return s;
  }

  // Moves argument directories out of the entries and, with R, queues every
  // subdirectory; pushed in reverse so they come off the stack in order.
  void PushDirectories(std::vector<LsEntryStr>& entries, const std::string& dir,
                       std::vector<PendingStr>& pending) {
    std::vector<PendingStr> found;
    std::vector<LsEntryStr> keep;
    keep.reserve(entries.size());
    for (auto& e : entries) {
      if (e.type == EntryType::ArgDirectory) {
        --count_;  // listed by its content, not as a line of its own
        if (!e.linkTarget.empty()) {
          found.push_back({e.linkTarget, Child(dir, e.name)});
        } else {
          found.push_back({Child(dir, e.diskName), {}});
        }
        continue;
      }
      // Recursion never descends through a link (even a followed one), so a
      // link to an ancestor cannot make the listing endless.
      if (o_.recursive && e.type == EntryType::Directory && e.linkTarget.empty() && e.name != "." &&
          e.name != "..") {
        found.push_back({Child(dir, e.diskName), {}});
      }
      keep.push_back(std::move(e));
    }
    entries = std::move(keep);
    for (auto it = found.rbegin(); it != found.rend(); ++it) pending.push_back(std::move(*it));
  }

  void ListPending(const PendingStr& p, std::vector<PendingStr>& pending, bool header) {
    std::vector<LsEntryStr> entries;
    entries.reserve(kInitialEntries);
    uint64_t total = 0;
    std::string search = Child(p.dir, "*.*");
    // Every directory whose content is shown is watched, before it is read.
    out_.AddWatchDir(LocalToPosix(p.dir));
    ReadInto(search, false, entries, total);
    SortEntries(entries, o_);
    if (o_.recursive) PushDirectories(entries, p.dir, pending);
    if (header) {
      out_.Append(ToClientPath(p.linkName.empty() ? p.dir : p.linkName, a_.home, a_.relPaths));
      out_.Append(":\n");
    }
    if (o_.format == Format::Long || o_.blocks) {
      std::string t = "total ";
      AppendNumber(t, total, 0, false);
      t += '\n';
      out_.Append(t);
    }
    Print(entries);
  }

  // Inode and block columns, then the quoted name and the indicator.
  std::string ShortName(const LsEntryStr& e, size_t& len) const {
    std::string s;
    if (o_.inode) AppendNumber(s, e.st.ino, 7, false), s += ' ';
    if (o_.blocks) AppendNumber(s, e.blocks, blockWidth_, false), s += ' ';
    s += QuoteName(e.name, o_.quoting);
    if (o_.indicator != Indicator::None) {
      s += e.type == EntryType::Link ? "@" : IndicatorOf(e.st.mode);
    }
    len = s.size();
    return s;
  }

  void LongLine(const LsEntryStr& e, std::string& line) const {
    line.clear();
    if (o_.inode) AppendNumber(line, e.st.ino, 7, false), line += ' ';
    if (o_.blocks) AppendNumber(line, e.blocks, blockWidth_, false), line += ' ';
    line += ModeText(e.st.mode, mask_);
    line += ' ';
    AppendNumber(line, e.st.nlink, 3, false);
    line += ' ';
    if (o_.numeric) {
      AppendNumber(line, e.st.uid, 8, true);
    } else {
      line += "user    ";
    }
    line += ' ';
    if (!o_.noGroup) {
      if (o_.numeric) {
        AppendNumber(line, e.st.gid, 8, true);
      } else {
        line += "group   ";
      }
      line += ' ';
    }
    AppendNumber(line, e.st.size < 0 ? 0 : static_cast<uint64_t>(e.st.size), 8, false);
    line += ' ';
    line += FormatTime(EntryTime(e, o_.timeField), now_, o_.fullTime);
    line += ' ';
    line += QuoteName(e.name, o_.quoting);
    if (e.type == EntryType::Link && !e.linkTarget.empty()) {
      line += " -> ";
      line += QuoteName(ToClientPath(e.linkTarget, a_.home, a_.relPaths), o_.quoting);
      if (o_.indicator != Indicator::None && e.linkValid) line += IndicatorOf(e.targetMode);
    } else if (o_.indicator != Indicator::None) {
      line += IndicatorOf(e.st.mode);
    }
    line += '\n';
  }

  void Print(const std::vector<LsEntryStr>& entries) {
    if (entries.empty()) return;
    std::string text;
    switch (o_.format) {
      case Format::Long: {
        std::string line;
        for (const auto& e : entries) {
          LongLine(e, line);
          text += line;
        }
        break;
      }
      case Format::OnePerLine:
        for (const auto& e : entries) {
          size_t len = 0;
          text += ShortName(e, len);
          text += '\n';
        }
        break;
      case Format::ColumnsDown:
      case Format::ColumnsAcross:
        Columns(entries, o_.format == Format::ColumnsAcross, text);
        break;
      case Format::Commas:
        Commas(entries, text);
        break;
    }
    out_.Append(text);
  }

  void Columns(const std::vector<LsEntryStr>& entries, bool across, std::string& text) const {
    std::vector<std::string> names;
    std::vector<size_t> lens;
    size_t longest = 0;
    for (const auto& e : entries) {
      size_t len = 0;
      names.push_back(ShortName(e, len));
      lens.push_back(len);
      longest = std::max(longest, len);
    }
    size_t colWidth = longest + 2;
    size_t cols = std::max<size_t>(1, static_cast<size_t>(o_.width) / colWidth);
    size_t n = names.size();
    size_t rows = (n + cols - 1) / cols;
    auto pad = [&](size_t& pos, size_t target) {
      size_t tab = static_cast<size_t>(o_.tabSize);
      while ((pos / tab + 1) * tab <= target) {
        text += '\t';
        pos = (pos / tab + 1) * tab;
      }
      while (pos < target) {
        text += ' ';
        ++pos;
      }
    };
    for (size_t r = 0; r < rows; ++r) {
      size_t pos = 0;
      for (size_t c = 0; c < cols; ++c) {
        size_t idx = across ? r * cols + c : r + c * rows;
        if (idx >= n) break;
        size_t nextIdx = across ? idx + 1 : idx + rows;
        bool more = c + 1 < cols && nextIdx < n && (!across || nextIdx < (r + 1) * cols);
        text += names[idx];
        pos += lens[idx];
        if (more) pad(pos, (c + 1) * colWidth);
      }
      text += '\n';
    }
  }

  void Commas(const std::vector<LsEntryStr>& entries, std::string& text) const {
    size_t lineLen = 0;
    size_t width = static_cast<size_t>(o_.width);
    for (size_t i = 0; i < entries.size(); ++i) {
      size_t len = 0;
      std::string s = ShortName(entries[i], len);
      bool more = i + 1 < entries.size();
      size_t add = len + (more ? 2 : 0);
      if (lineLen > 0 && lineLen + add >= width) {
        text += '\n';
        lineLen = 0;
      }
      text += s;
      lineLen += len;
      if (more) {
        text += ", ";
        lineLen += 2;
      }
    }
    if (lineLen > 0) text += '\n';
  }

  static constexpr uint64_t kBlockSteps[3] = {10000, 100000, 1000000};

  const RLSDirArgsStr& a_;
  RDirTextList& out_;
  OptionsStr o_;
  std::string mask_;
  int64_t now_ = 0;
  int blockWidth_ = 4;
  int64_t maxEntries_ = kDefaultMaxListEntries;
  int64_t count_ = 0;  // entries in the listing so far
  bool cut_ = false;
};

}  // namespace

RListArgStr ParseListArgument(std::string_view argument, bool isList) {
  std::string s(TrimBlanks(argument.substr(0, kMaxArgument)));
  for (auto& c : s) c = c == '/' ? '\\' : c;
  for (size_t pos = s.find("%20"); pos != std::string::npos; pos = s.find("%20", pos + 1)) {
    s.replace(pos, 3, " ");
  }
  RListArgStr r;
  size_t i = 0;
  for (;;) {
    size_t t = s.find_first_not_of(" \t", i);
    if (t == std::string::npos || s[t] != '-') break;
    size_t end = s.find_first_of(" \t", t);
    if (end == std::string::npos) end = s.size();
    i = end;
  }
  r.options = s.substr(0, std::min(i, kMaxOptionText));
  size_t p = s.find_first_not_of(" \t", i);
  r.path = p == std::string::npos ? std::string() : s.substr(p);
  bool given = r.options.find('-') != std::string::npos;
  if (isList) {
    if (!given) r.options += "a";
    r.options += "l";
  } else if (!given) {
    r.options += "e";
  }
  return r;
}

RLSDir::RLSDir(const RLSDirArgsStr& args) {
  Generator g(args, out_);
  g.Run();
}

}  // namespace vantor
