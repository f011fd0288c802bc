// The formatter of the `ls` emulation: the entries of one directory, read
// and filtered by the walker (fs/RLSDir.cpp), sorted and turned into listing
// text in the long, one-per-line, column or comma form the options ask for.
//
// A Formatter belongs to one listing; any one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fs/RFTPDir.h"
#include "fs/RFsSettings.h"
#include "fs/RLsOptions.h"

namespace vantor::ls {

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

// Sorts the entries by the options' key, names breaking ties; `U` leaves
// them in the order they were read.
void SortEntries(std::vector<LsEntryStr>& v, const OptionsStr& o);

// "%*llu" or "%-*llu" without the cost of printf on every line.
void AppendNumber(std::string& out, uint64_t v, int width, bool left);

class Formatter {
 public:
  // `fs` and `o` must outlive the formatter. The permission text of long
  // lines is the settings' `DirListMask`, `now` the time recent entries are
  // measured against; link targets are shown as client paths of `home`.
  Formatter(const RFsSettingsStr& fs, const OptionsStr& o, int64_t now, std::string home,
            bool relPaths)
      : fs_(fs),
        o_(o),
        mask_(EffectiveDirListMask(fs)),
        now_(now),
        home_(std::move(home)),
        relPaths_(relPaths) {}

  // Widens the block column for an entry of `blocks` blocks; called for every
  // entry before any is printed, so all lines of a listing share one width.
  void NoteBlocks(uint64_t blocks) {
    while (blockWidth_ < 7 && blocks >= kBlockSteps[blockWidth_ - 4]) ++blockWidth_;
  }

  // The lines of `entries` (none: "").
  std::string Text(const std::vector<LsEntryStr>& entries) const;

 private:
  static constexpr uint64_t kBlockSteps[3] = {10000, 100000, 1000000};

  // Inode and block columns, then the quoted name and the indicator.
  std::string ShortName(const LsEntryStr& e, size_t& len) const;
  void LongLine(const LsEntryStr& e, std::string& line) const;
  void Columns(const std::vector<LsEntryStr>& entries, bool across, std::string& text) const;
  void Commas(const std::vector<LsEntryStr>& entries, std::string& text) const;

  const RFsSettingsStr& fs_;
  const OptionsStr& o_;
  std::string mask_;
  int64_t now_ = 0;
  std::string home_;
  bool relPaths_ = false;
  int blockWidth_ = 4;
};

}  // namespace vantor::ls
