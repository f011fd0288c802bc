// The `ls` emulation of `LIST` and `NLST`: a directory's entries read,
// sorted and formatted into an RDirTextList, through the directory cache.
// The options are parsed in fs/RLsOptions, the lines made in fs/RLsFormat;
// this file walks the directories.
//
// One listing at a time per object, on any thread (the ftp layer runs
// listings on its workers), with the settings the job was handed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/RDirTextList.h"
#include "fs/RFsAccess.h"
#include "fs/RLsOptions.h"  // ParseListArgument

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
  // Most entries one listing holds (0: the settings' `MaxListEntries`).
  // Past it the listing stops and is marked as cut.
  int64_t maxEntries = 0;
};

class RLSDir {
 public:
  // Generates the listing (or takes it from `cache`). `fs` and `cache`
  // must outlive the object.
  RLSDir(const RFsSettingsStr& fs, RDirCache& cache, const RLSDirArgsStr& args);

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
