#include "fs/RLsOptions.h"

#include <algorithm>
#include <cstddef>

#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxArgument = 511;
constexpr size_t kMaxOptionText = 253;
constexpr size_t kMaxOptionArg = 99;

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

namespace ls {

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

}  // namespace ls
}  // namespace vantor
