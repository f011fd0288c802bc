// The `ls` emulation of `LIST` and `NLST`: option parsing, reading, sorting
// and formatting of a directory's entries into an RDirTextList, through the
// directory cache.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/RDirTextList.h"
#include "fs/RFsAccess.h"

namespace vantor {

struct RLSDirArgsStr {
  std::string user;
  std::string dir;              // local directory (drive form)
  std::string options;          // option text in `ls` syntax
  std::string pattern;          // last component of the given path, or ""
  RFsAccess* access = nullptr;  // nullptr: security off, every entry shown
  uint32_t address = 0;         // the session's IP home
  std::string home;             // the user's home directory
  bool relPaths = false;
  bool hideHidden = false;
  int64_t now = 0;  // seconds since 1970; 0: the system clock
  // Most entries one listing holds (0: `MaxListEntries` of the settings).
  // Past it the listing stops and is marked as cut.
  int64_t maxEntries = 0;
};

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

class RLSDir {
 public:
  // Generates the listing (or takes it from the cache).
  explicit RLSDir(const RLSDirArgsStr& args);

  bool NextLine(std::string& out) { return out_.NextLine(out); }
  std::vector<std::string> TakeLines() { return out_.TakeLines(); }
  bool FromCache() const { return out_.FromCache(); }
  // True when the listing stopped at the entry limit.
  bool Cut() const { return out_.Cut(); }
  // The lines, shared with the cache (no copy).
  RDirLinesPtr Lines() { return out_.Lines(); }

 private:
  RDirTextList out_;
};

}  // namespace vantor
