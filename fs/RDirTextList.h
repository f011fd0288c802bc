// Listing text and the server-wide directory cache.
//
// `RDirTextList` collects a listing's text (every "\n" ends a line; lines
// carry no terminator) and is the cache's unit: `Lookup` either finds a
// cached listing for (user, search text, options, address) or claims a cache
// entry that the listing is then generated into; `Finish` (or destruction)
// stores it and starts watching its directory.
//
// Threads: the cache table is shared with one worker thread that waits on
// inotify for changes in cached directories and marks their entries stale.
// One mutex guards the table; the worker holds it only while marking. Every
// other call belongs to the loop thread, which never waits on the worker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class RClock;

// Cache set-up: empties the cache, stops the worker, stores the size (clamped
// to 1..500) and lifetime in seconds (clamped to 1..86400). The table and the
// worker are created again by the next listing.
void DirCacheSetup(int64_t size, int64_t seconds);
// Set-up from the configuration: disabled gives 1 entry and 5 seconds;
// otherwise `size` above 150 becomes 150.
void DirCacheConfigure(bool enable, int64_t size, int64_t seconds);
// Stops the worker and frees the table (program end, tests).
void DirCacheShutdown();
// Wall clock of the cache (nullptr: the system clock). For tests.
void DirCacheSetClock(const RClock* clock);

// Figures for tests and benchmarks.
struct RDirCacheStatsStr {
  int64_t size = 0;            // entries in the table (0 before first use)
  int64_t lifetime = 0;        // seconds
  int64_t filled = 0;          // entries holding a listing that has not expired
  int64_t watches = 0;         // inotify watches held
  uint64_t workerWakeups = 0;  // times the worker returned from its wait
  bool workerRunning = false;
};
RDirCacheStatsStr DirCacheStats();

// Normalised option text: sorted by signed character value, then leading
// blanks, tabs and "-" removed (at most 253 characters considered).
std::string NormaliseListOptions(std::string_view options);

class RDirTextList {
 public:
  RDirTextList() = default;
  RDirTextList(const RDirTextList&) = delete;
  RDirTextList& operator=(const RDirTextList&) = delete;
  ~RDirTextList();

  // Looks the listing up in the cache. True on a hit: the cached lines are
  // this list's lines. False on a miss: this list now generates into a cache
  // entry (call Append, then Finish). `searchText` is "dir\pattern" in drive
  // form; `options` the raw option text (normalised here); `kind` keeps
  // listings of another format apart ("" for LIST and NLST).
  bool Lookup(std::string_view user, std::string_view searchText, uint32_t address,
              std::string_view options, std::string_view kind = {});

  // Directories (POSIX form) to watch for this listing in addition to the
  // search text's directory (subdirectories of a recursive listing). Past a
  // cap the entry simply lives until it expires.
  void AddWatchDir(std::string posixDir);

  // Appends text; every "\n" completes a line.
  void Append(std::string_view text);
  // Completes the partial line, stores a generated listing in the cache and
  // starts its watch. Called by the destructor when not called before.
  void Finish();

  // Reading: the first call returns the first line, later calls the next
  // ones; false at the end.
  bool NextLine(std::string& out);
  // All lines (moved out of a generated list, copied from a cached one).
  std::vector<std::string> TakeLines();
  size_t LineCount() const;
  bool FromCache() const { return hit_; }

 private:
  std::vector<std::string> own_;                            // lines generated here
  std::shared_ptr<const std::vector<std::string>> cached_;  // lines of a hit
  std::string partial_;
  size_t cursor_ = 0;
  int entry_ = -1;           // cache entry being generated into
  uint64_t token_ = 0;       // proves the entry is still ours when storing
  uint64_t generation_ = 0;  // the cache's set-up generation the entry belongs to
  bool hit_ = false;
  bool finished_ = false;
  std::vector<std::string> extraWatch_;
};

}  // namespace vantor
