#include "fs/RLsFormat.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <utility>

#include "fs/RPath.h"
#include "util/RText.h"

namespace vantor::ls {
namespace {

constexpr int64_t kRecentWindow = 15552000;  // 180 days
constexpr int64_t kFutureSlack = 3600;
constexpr int64_t kOldestShown = 78887701;

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

}  // namespace

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

std::string Formatter::Text(const std::vector<LsEntryStr>& entries) const {
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
  return text;
}

// Inode and block columns, then the quoted name and the indicator.
std::string Formatter::ShortName(const LsEntryStr& e, size_t& len) const {
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

void Formatter::LongLine(const LsEntryStr& e, std::string& line) const {
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
    line += QuoteName(ToClientPath(fs_, e.linkTarget, home_, relPaths_), o_.quoting);
    if (o_.indicator != Indicator::None && e.linkValid) line += IndicatorOf(e.targetMode);
  } else if (o_.indicator != Indicator::None) {
    line += IndicatorOf(e.st.mode);
  }
  line += '\n';
}

void Formatter::Columns(const std::vector<LsEntryStr>& entries, bool across,
                        std::string& text) const {
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

void Formatter::Commas(const std::vector<LsEntryStr>& entries, std::string& text) const {
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

}  // namespace vantor::ls
