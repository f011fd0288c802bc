#include "fs/RMlsxFacts.h"

#include <cstdio>

#include "util/RText.h"

namespace vantor {
namespace {

struct FactNameStr {
  RMlsxFact bit;
  const char* name;
};
// The order in which facts are written and offered.
constexpr FactNameStr kFacts[] = {
    {MF_Type, "type"}, {MF_Size, "size"},     {MF_Modify, "modify"},
    {MF_Perm, "perm"}, {MF_Unique, "unique"}, {MF_UnixMode, "UNIX.mode"},
};

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

int DaysInMonth(int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

int Digits(std::string_view s, size_t at, size_t n) {
  int v = 0;
  for (size_t i = at; i < at + n; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

const char* TypeValue(RMlsxType t) {
  switch (t) {
    case RMlsxType::Dir:
      return "dir";
    case RMlsxType::CDir:
      return "cdir";
    case RMlsxType::PDir:
      return "pdir";
    case RMlsxType::Link:
      return "OS.unix=symlink";
    default:
      return "file";
  }
}

}  // namespace

std::string MlsxFactList(uint32_t facts) {
  std::string out;
  for (const FactNameStr& f : kFacts) {
    if ((facts & f.bit) == 0) continue;
    out += f.name;
    out += ';';
  }
  return out;
}

std::string MlsxFeatFacts(uint32_t facts) {
  std::string out;
  for (const FactNameStr& f : kFacts) {
    out += f.name;
    if ((facts & f.bit) != 0) out += '*';
    out += ';';
  }
  return out;
}

uint32_t ParseMlstFacts(std::string_view text) {
  uint32_t facts = 0;
  while (!text.empty()) {
    const size_t semi = text.find(';');
    const std::string_view name = text.substr(0, semi);
    for (const FactNameStr& f : kFacts) {
      if (EqualNoCaseAscii(name, f.name)) facts |= f.bit;
    }
    if (semi == std::string_view::npos) break;
    text.remove_prefix(semi + 1);
  }
  return facts;
}

std::string MlsxTime(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  if (y < 0) y = 0;
  if (y > 9999) y = 9999;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", static_cast<int>(y), m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  return buf;
}

bool ParseMlsxTime(std::string_view text, int64_t& seconds) {
  if (text.size() < 14) return false;
  for (size_t i = 0; i < 14; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  if (text.size() > 14) {
    // Fractions of a second: "." and at least one digit.
    if (text[14] != '.' || text.size() == 15) return false;
    for (size_t i = 15; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
  }
  const int year = Digits(text, 0, 4);
  const int month = Digits(text, 4, 2);
  const int day = Digits(text, 6, 2);
  const int hour = Digits(text, 8, 2);
  const int minute = Digits(text, 10, 2);
  const int second = Digits(text, 12, 2);
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string FormatMlsxEntry(const RMlsxEntryStr& e, uint32_t facts) {
  std::string out;
  out.reserve(96 + e.name.size());
  char buf[64];
  if ((facts & MF_Type) != 0) {
    out += "type=";
    out += TypeValue(e.type);
    out += ';';
  }
  if ((facts & MF_Size) != 0 && e.known && e.isFile) {
    std::snprintf(buf, sizeof buf, "size=%lld;", static_cast<long long>(e.size < 0 ? 0 : e.size));
    out += buf;
  }
  if ((facts & MF_Modify) != 0 && e.known) {
    out += "modify=";
    out += MlsxTime(e.mtime);
    out += ';';
  }
  if ((facts & MF_Perm) != 0) {
    out += "perm=";
    out += e.perm;
    out += ';';
  }
  if ((facts & MF_Unique) != 0 && e.known) {
    std::snprintf(buf, sizeof buf, "unique=%llxU%llx;", static_cast<unsigned long long>(e.dev),
                  static_cast<unsigned long long>(e.ino));
    out += buf;
  }
  if ((facts & MF_UnixMode) != 0 && e.known) {
    std::snprintf(buf, sizeof buf, "UNIX.mode=0%03o;", static_cast<unsigned>(e.mode & 07777));
    out += buf;
  }
  out += ' ';
  out += e.name;
  return out;
}

bool MlsxNameListable(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace vantor
