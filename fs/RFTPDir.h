// The directory reader of listings: link list entries first, then the
// file-system entries, each filtered by `HideHidden` and by the
// list-directory question of the access rules.
//
// One reader per thread; the settings it was made with and `access` must
// outlive it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/RFsAccess.h"
#include "fs/RFsSettings.h"
#include "fs/RLinkFile.h"
#include "platform/RFileSys.h"

namespace vantor {

// Mode bits of listing entries.
inline constexpr uint32_t kModeRegular = 0x8000;
inline constexpr uint32_t kModeDirectory = 0x4000;
inline constexpr uint32_t kModeDevice = 0x2000;
inline constexpr uint32_t kModeLink = 0x1000;

// Time shown for anything older than the clock can be trusted with
// (1 January 1980, 05:00 UTC).
inline constexpr int64_t kFallbackTime = 315550800;

// The status record of one listing entry.
struct RLsStatStr {
  uint32_t dev = 2;
  uint64_t ino = 0;
  uint32_t mode = 0;  // kMode* bits
  uint32_t nlink = 1;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t rdev = 2;
  int64_t size = 0;  // 64-bit: files of 4 GiB and more show their true size
  int64_t atime = kFallbackTime;
  int64_t mtime = kFallbackTime;
  int64_t ctime = kFallbackTime;  // creation (birth) time
};

struct RFTPDirEntryStr {
  std::string name;      // as shown (lower case with `LowerCaseFileDir`)
  std::string diskName;  // as the file system has it: the name to descend into
  RLsStatStr st;
  bool isLink = false;
  std::string linkTarget;  // drive form, resolved (links followed), for link entries
  bool hidden = false;
  // Identity and permission bits of a file-system entry (0 for link list
  // entries and without status); the machine listing shows them.
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t posixMode = 0;
};

class RFTPDir {
 public:
  // access == nullptr: security is off and every entry passes. `home` is the
  // user's home directory (drive form).
  RFTPDir(const RFsSettingsStr& fs, std::string user, RFsAccess* access, uint32_t address,
          std::string home, bool relPaths, bool hideHidden);

  // Without status only names and entry types are read (times and sizes
  // stay at their defaults); listings ask for status only when they show it.
  void SetWantStatus(bool want) { wantStatus_ = want; }

  // Starts reading the search text "dir\pattern" (pattern "*.*" for all).
  // False when the directory cannot be read at all; the reader then yields
  // no file-system entries (link list entries may still come).
  bool Open(std::string_view searchText);
  // The next entry that passes the filters; false at the end.
  bool Next(RFTPDirEntryStr& out);

  const std::string& Directory() const { return dir_; }

 private:
  bool NextRaw(RFTPDirEntryStr& out);
  // Reads the next block of entries and asks their list questions together.
  bool FillBlock();
  static constexpr size_t kBlockEntries = 256;
  // The checks that need no question; false when the entry is out. Sets
  // `e.linkTarget` to the resolved target.
  bool PassesLocally(RFTPDirEntryStr& e) const;

  const RFsSettingsStr& fs_;
  std::string user_;
  RFsAccess* access_;
  uint32_t address_;
  std::string home_;
  bool relPaths_;
  bool hideHidden_;
  bool wantStatus_ = true;

  std::string dir_;        // listed directory (drive form, no trailing backslash unless root)
  std::string pattern_;    // "*.*" or a name pattern
  std::string exactName_;  // for a pattern without wildcards: the one entry it names
  std::string posixDir_;
  RLinkIter links_;
  bool inLinks_ = false;
  RLinkIter::LinkStr pendingLink_;
  RDirReader reader_;
  bool readerOpen_ = false;
  // Entries read ahead with their verdicts; `next_` is the next to hand out.
  std::vector<RFTPDirEntryStr> block_;
  std::vector<char> blockPass_;
  size_t next_ = 0;
};

}  // namespace vantor
