// The directory cache of one server: finished listings kept for reuse under
// (user, search text, options, IP home, kind), dropped when a directory
// they show changes.
//
// Memory: a listing's lines are stored once, back to back in one buffer,
// and shared (never copied) by the cache and every session sending them.
// The cache holds at most `DirCacheMaxMB` of listings; past it the least
// recently used listings go first.
//
// Threads: the cache table is shared with one worker thread that waits on
// inotify for changes in cached directories and marks their entries stale,
// and with the threads listings are generated on. One mutex guards the
// table; the worker holds it only while marking. The set-up calls belong to
// the loop thread, which never waits on the worker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RFileSys.h"

namespace vantor {

class RClock;
class RMessageLoop;

inline constexpr int64_t kDirCacheDefaultMaxMB = 64;

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

// A listing's claim on a cache entry: its index, the token that proves it is
// still the listing's, and the cache's set-up generation it belongs to.
struct RDirCacheClaimStr {
  bool hit = false;
  int index = -1;
  uint64_t token = 0;
  uint64_t generation = 0;
  RDirLinesPtr lines;  // a hit's lines
};

class RDirCache final : public RFsChangeListener {
 public:
  // Empty, 25 entries of 600 seconds, 64 MiB; the table and the worker are
  // made by the first listing. From construction on, every change made
  // through the platform's file calls (by any thread) reaches NoteChange.
  RDirCache();
  ~RDirCache();
  RDirCache(const RDirCache&) = delete;
  RDirCache& operator=(const RDirCache&) = delete;

  // Set-up: empties the cache, stops the worker, stores the size (clamped
  // to 1..500) and lifetime in seconds (clamped to 1..86400). The table and
  // the worker are created again by the next listing.
  void Setup(int64_t size, int64_t seconds);
  // Set-up from the configuration: disabled gives 1 entry and 5 seconds;
  // otherwise `size` above 150 becomes 150.
  void Configure(bool enable, int64_t size, int64_t seconds);
  // Stops the worker and frees the table (the next listing starts again).
  void Shutdown();
  // Wall clock of the cache (nullptr: the system clock). For tests.
  void SetClock(const RClock* clock);
  // The loop the cache's notices are logged on (the log belongs to the
  // loop thread; the first listing, which starts the cache, runs on a
  // worker). Without one the notices are dropped. Loop thread, once; the
  // loop must outlive the cache, which closes its window there.
  void SetNoticeLoop(RMessageLoop& loop);
  // The byte budget of all cached listings together (`DirCacheMaxMB` in
  // bytes; the settings keep it at 1 MiB or more). Listings beyond it are
  // evicted, least recently used first.
  void SetMaxBytes(int64_t bytes);

  // Tells the cache that the server itself changed `posixPath` (created,
  // removed, renamed, written or touched it). Every cached listing that
  // shows the path's directory, or lies inside a removed or renamed
  // directory, is dropped at once, before the next command, whether or not
  // it could be watched. Any thread.
  void NoteChange(const std::string& posixPath);
  void FsChanged(const std::string& posixPath) override { NoteChange(posixPath); }

  RDirCacheStatsStr Stats() const;

  // For RDirTextList (any thread): finds a listing or claims an entry to
  // generate it into (`watchDir` is watched from now on), watches one more
  // directory of a claimed entry, stores the finished lines.
  RDirCacheClaimStr Lookup(std::string_view user, std::string_view key, uint32_t address,
                           const std::string& options, std::string_view kind,
                           const std::string& watchDir);
  void AddWatch(const RDirCacheClaimStr& claim, const std::string& posixDir);
  void Store(const RDirCacheClaimStr& claim, RDirLinesPtr lines);

 private:
  class Table;
  std::unique_ptr<Table> table_;
  RMessageLoop* noticeLoop_ = nullptr;
  uint32_t noticeWindow_ = 0;
};

}  // namespace vantor
