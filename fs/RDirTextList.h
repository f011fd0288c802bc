// Listing text and the server-wide directory cache.
//
// `RDirTextList` collects a listing's text (every "\n" ends a line; lines
// carry no terminator) and is the cache's unit: `Lookup` either finds a
// cached listing for (user, search text, options, address) or claims a cache
// entry that the listing is then generated into; `Finish` (or destruction)
// stores it and starts watching its directory.
//
// Memory: a listing's lines are stored once, back to back in one buffer,
// and shared (never copied) by the cache and every session sending them.
// The cache holds at most `DirCacheMaxMB` of listings; past it the least
// recently used listings go first.
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

// The byte budget of all cached listings together (`DirCacheMaxMB` in
// bytes; the settings keep it at 1 MiB or more). Listings beyond it are
// evicted, least recently used first.
void DirCacheSetMaxBytes(int64_t bytes);
inline constexpr int64_t kDirCacheDefaultMaxMB = 64;

// Tells the cache that the server itself changed `posixPath` (created,
// removed, renamed, written or touched it). Every cached listing that shows
// the path's directory, or lies inside a removed or renamed directory, is
// dropped at once, before the next command, whether or not it could be
// watched. Any thread.
void DirCacheNoteChange(const std::string& posixPath);

// Figures for tests and benchmarks.
struct RDirCacheStatsStr {
  int64_t size = 0;            // entries in the table (0 before first use)
  int64_t lifetime = 0;        // seconds
  int64_t filled = 0;          // entries holding a listing that has not expired
  int64_t watches = 0;         // inotify watches held
  uint64_t workerWakeups = 0;  // times the worker returned from its wait
  bool workerRunning = false;
  int64_t bytes = 0;     // held by cached listings
  int64_t maxBytes = 0;  // the budget
};
RDirCacheStatsStr DirCacheStats();

// Normalised option text: sorted by signed character value, then leading
// blanks, tabs and "-" removed (at most 253 characters considered).
std::string NormaliseListOptions(std::string_view options);

// A listing's lines, stored once: all texts back to back and where each ends.
struct RDirLinesStr {
  std::string text;
  std::vector<size_t> ends;  // end offset in `text` of each line
  bool cut = false;          // generation stopped at the entry limit

  size_t Count() const { return ends.size(); }
  std::string_view Line(size_t i) const {
    size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(text).substr(begin, ends[i] - begin);
  }
  // What the listing costs in memory, for the cache's budget.
  int64_t Bytes() const {
    return static_cast<int64_t>(sizeof(*this) + text.capacity() + ends.capacity() * sizeof(size_t));
  }
};
using RDirLinesPtr = std::shared_ptr<const RDirLinesStr>;

// A session's place in a listing it is sending. It shares the lines with the
// cache (and with other sessions sending the same listing) instead of
// copying them. The member names follow the queue they replace.
class RDirLineQueue {
 public:
  RDirLineQueue() = default;
  explicit RDirLineQueue(RDirLinesPtr lines) : lines_(std::move(lines)) {}
  bool empty() const { return !lines_ || next_ >= lines_->Count(); }
  size_t size() const { return lines_ ? lines_->Count() - next_ : 0; }
  std::string_view front() const { return lines_->Line(next_); }
  void pop_front() { ++next_; }
  void clear() {
    lines_.reset();
    next_ = 0;
  }
  // True when the listing was cut at the entry limit.
  bool Cut() const { return lines_ && lines_->cut; }

 private:
  RDirLinesPtr lines_;
  size_t next_ = 0;
};

// A listing's claim on a cache entry: its index, the token that proves it is
// still the listing's, and the cache's set-up generation it belongs to.
struct RDirCacheClaimStr {
  bool hit = false;
  int index = -1;
  uint64_t token = 0;
  uint64_t generation = 0;
  RDirLinesPtr lines;  // a hit's lines
};

class RDirTextList {
 public:
  RDirTextList() = default;
  RDirTextList(const RDirTextList&) = delete;
  RDirTextList& operator=(const RDirTextList&) = delete;
  ~RDirTextList();

  // Looks the listing up in the cache. True on a hit: the cached lines are
  // this list's lines. False on a miss: this list now generates into a cache
  // entry (call Append, then Finish). `searchText` is "dir\pattern" in drive
  // form; the directory counts as mapped on disk, so two directories that
  // differ only in letter case never share an entry. `optionsKey` identifies
  // the parsed options and is compared as given; `kind` keeps listings of
  // another format apart ("" for LIST and NLST).
  bool Lookup(std::string_view user, std::string_view searchText, uint32_t address,
              std::string_view optionsKey, std::string_view kind = {});

  // A directory (POSIX form) whose content this listing shows, besides the
  // search text's directory: watched from now on, so a change made while the
  // listing is generated still makes it stale. Past a cap of watches the
  // entry lives only as long as an unwatchable one (10 seconds).
  void AddWatchDir(std::string posixDir);

  // Marks the listing as cut at the entry limit (kept with it in the cache).
  void SetCut() { own_.cut = true; }
  bool Cut() const;

  // Appends text; every "\n" completes a line.
  void Append(std::string_view text);
  // Completes the partial line, stores a generated listing in the cache and
  // starts its watch. Called by the destructor when not called before.
  void Finish();

  // Reading: the first call returns the first line, later calls the next
  // ones; false at the end.
  bool NextLine(std::string& out);
  // All lines as separate strings (tests and tools; sessions use Lines).
  std::vector<std::string> TakeLines();
  // The finished lines, shared with the cache.
  RDirLinesPtr Lines();
  size_t LineCount() const;
  bool FromCache() const { return hit_; }

 private:
  RDirLinesStr own_;     // lines being generated here
  RDirLinesPtr shared_;  // the finished lines (a hit's, or ours once finished)
  size_t cursor_ = 0;
  RDirCacheClaimStr claim_;
  bool hit_ = false;
  bool finished_ = false;
};

}  // namespace vantor
