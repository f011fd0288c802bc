// Listing text: what a listing generates into (`RDirTextList`) and a
// session's place in a listing it sends (`RDirLineQueue`).
//
// `RDirTextList` collects a listing's text (every "\n" ends a line; lines
// carry no terminator) and is the directory cache's unit: `Lookup` either
// finds a cached listing for (user, search text, options, address) or claims
// a cache entry that the listing is then generated into; `Finish` (or
// destruction) stores it and starts watching its directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fs/RDirCache.h"
#include "fs/RFsSettings.h"

namespace vantor {

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

class RDirTextList {
 public:
  // `fs` (the settings the listing runs under) and `cache` must outlive it.
  RDirTextList(const RFsSettingsStr& fs, RDirCache& cache) : fs_(fs), cache_(cache) {}
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
  const RFsSettingsStr& fs_;
  RDirCache& cache_;
  RDirLinesStr own_;     // lines being generated here
  RDirLinesPtr shared_;  // the finished lines (a hit's, or ours once finished)
  size_t cursor_ = 0;
  RDirCacheClaimStr claim_;
  bool hit_ = false;
  bool finished_ = false;
};

}  // namespace vantor
