// The options of the `ls` emulation: the LIST/NLST argument taken apart,
// the option letters parsed into one record, and the cache key of that
// record. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// A LIST/NLST argument taken apart: the text after the verb (at most 511
// characters) is trimmed, "/" becomes "\" and "%20" a blank; leading tokens
// starting with "-" are the options (at most 253 characters), the rest is the
// path. `LIST` adds "a" when no options were given, and always "l"; `NLST`
// adds "e" when no options were given.
struct RListArgStr {
  std::string options;
  std::string path;
};
RListArgStr ParseListArgument(std::string_view argument, bool isList);

namespace ls {

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

// Option text in `ls` syntax. Unknown characters are ignored.
OptionsStr ParseOptions(std::string_view text);

// The cache key of a parsed option set: every field that shapes the output,
// so spellings that mean the same share an entry and different meanings
// never do.
std::string OptionsKey(const OptionsStr& o);

// Whether the options need each entry's status (times, sizes, types).
bool NeedsStatus(const OptionsStr& o);

}  // namespace ls
}  // namespace vantor
