#include "fs/RDirCache.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "fs/RFsStrings.h"
#include "platform/RClock.h"
#include "platform/RDirWatch.h"
#include "platform/RMessageLoop.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr int64_t kDefaultSize = 25;
constexpr int64_t kDefaultLifetime = 600;
constexpr int64_t kUnwatchedLifetime = 10;   // when no change notification can be had
constexpr size_t kMaxWatchesPerEntry = 256;  // listings beyond this live kUnwatchedLifetime
constexpr size_t kMaxWatchesTotal = 4096;
constexpr int kWorkerWaitMs = 10000;
constexpr int64_t kMiB = 1024 * 1024;
// The notice window's message: no change notifications (wParam: lifetime).
constexpr uint32_t kNoticeNoWatch = 1;

struct CacheEntryStr {
  std::string user;
  std::string path;  // the search text with its directory as mapped on disk
  std::string options;
  std::string kind;  // "" for LIST and NLST, else the other format's key
  uint32_t address = 0;
  int64_t expiry = 0;   // 0: free
  int64_t lastUse = 0;  // 0: free
  uint64_t token = 0;   // which listing object filled it
  RDirLinesPtr lines;
  int64_t bytes = 0;  // counted against the budget while `lines` is held
  std::vector<int> watches;
  std::vector<std::string> dirs;  // POSIX directories the listing shows
  bool partlyWatched = false;     // some of `dirs` could not be watched
};

bool IsAtOrBelow(std::string_view path, std::string_view dir) {
  if (path.size() < dir.size() || path.substr(0, dir.size()) != dir) return false;
  return path.size() == dir.size() || path[dir.size()] == '/' || dir == "/";
}

std::string_view PosixParent(std::string_view p) {
  size_t slash = p.find_last_of('/');
  if (slash == std::string_view::npos) return {};
  return slash == 0 ? p.substr(0, 1) : p.substr(0, slash);
}

}  // namespace

// The cache's state. The loop thread sets it up; listings look up and
// store from any thread, and the worker marks changed entries; `mu_`
// guards the table, the watch bookkeeping and the reading of change events.
class RDirCache::Table {
 public:
  Table() = default;
  ~Table() { Shutdown(); }

  void Setup(int64_t size, int64_t seconds) {
    Shutdown();
    std::lock_guard<std::mutex> lock(mu_);
    size_ = std::clamp<int64_t>(size, 1, 500);
    lifetime_ = std::clamp<int64_t>(seconds, 1, 86400);
  }

  void SetMaxBytes(int64_t bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    maxBytes_ = std::max<int64_t>(bytes, 1);
    EvictLocked(-1);
  }

  void Shutdown() {
    std::unique_ptr<RDirWatch> watch;
    std::thread worker;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& e : table_) FreeEntry(e);
      table_.clear();
      wdRefs_.clear();
      ++generation_;
      stop_.store(true);
      if (watch_) watch_->Wake();
      watch = std::move(watch_);
      worker = std::move(worker_);
      workerRunning_ = false;
    }
    // Joined outside the lock: the worker may be waiting for it to mark.
    if (worker.joinable()) worker.join();
  }

  void SetClock(const RClock* clock) {
    std::lock_guard<std::mutex> lock(mu_);
    clock_ = clock;
  }

  RDirCacheStatsStr Stats() {
    std::lock_guard<std::mutex> lock(mu_);
    RDirCacheStatsStr s;
    s.size = static_cast<int64_t>(table_.size());
    s.lifetime = lifetime_;
    int64_t now = NowLocked();
    for (const auto& e : table_) {
      if (e.expiry > now && e.lines) ++s.filled;
    }
    s.watches = static_cast<int64_t>(wdRefs_.size());
    s.workerWakeups = wakeups_.load();
    s.workerRunning = workerRunning_;
    s.bytes = bytes_;
    s.maxBytes = maxBytes_;
    return s;
  }

  using Claim = RDirCacheClaimStr;

  Claim Lookup(std::string_view user, std::string_view path, uint32_t address,
               const std::string& options, std::string_view kind, const std::string& watchDir) {
    std::lock_guard<std::mutex> lock(mu_);
    EnsureStartedLocked();
    // Events already queued count before the answer: a change made just
    // before this listing (by the server or anyone else) is never served
    // from a listing read before it.
    if (workerRunning_) MarkLocked(watch_->Drain());
    Claim c;
    c.generation = generation_;
    int64_t now = NowLocked();
    for (size_t i = 0; i < table_.size(); ++i) {
      CacheEntryStr& e = table_[i];
      if (e.expiry > 0 && e.expiry <= now) FreeEntry(e);
      if (e.lastUse == 0 || !e.lines) continue;
      if (EqualNoCaseAscii(e.user, user) && e.path == path && e.address == address &&
          e.options == options && e.kind == kind) {
        e.lastUse = now;
        c.hit = true;
        c.index = static_cast<int>(i);
        c.lines = e.lines;
        return c;
      }
    }
    size_t victim = 0;
    for (size_t i = 1; i < table_.size(); ++i) {
      if (table_[i].lastUse < table_[victim].lastUse) victim = i;
    }
    CacheEntryStr& e = table_[victim];
    FreeEntry(e);
    e.user = std::string(user);
    e.path = std::string(path);
    e.options = options;
    e.kind = std::string(kind);
    e.address = address;
    e.lastUse = now;
    e.expiry = now + lifetime_;
    e.token = ++nextToken_;
    // The watch starts before the directory is read, so a change made while
    // the listing is generated still makes it stale.
    if (!AddWatchLocked(e, watchDir)) e.expiry = e.lastUse + kUnwatchedLifetime;
    c.index = static_cast<int>(victim);
    c.token = e.token;
    return c;
  }

  // One more directory the claimed entry shows.
  void AddWatch(const Claim& c, const std::string& posixDir) {
    std::lock_guard<std::mutex> lock(mu_);
    CacheEntryStr* e = ClaimedLocked(c);
    if (e == nullptr || e->expiry == 1) return;
    if (!AddWatchLocked(*e, posixDir))
      e->expiry = std::min(e->expiry, e->lastUse + kUnwatchedLifetime);
  }

  // Stores generated lines within the byte budget.
  void Store(const Claim& c, RDirLinesPtr lines) {
    std::lock_guard<std::mutex> lock(mu_);
    CacheEntryStr* e = ClaimedLocked(c);
    if (e == nullptr) return;
    e->bytes = lines->Bytes();
    e->lines = std::move(lines);
    bytes_ += e->bytes;
    EvictLocked(c.index);
    // A listing larger than the whole budget is sent but not kept.
    if (bytes_ > maxBytes_) FreeEntry(*e);
  }

  void NoteChange(const std::string& posixPath) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string_view parent = PosixParent(posixPath);
    for (auto& e : table_) {
      if (e.lastUse == 0) continue;
      bool hit = false;
      for (const auto& d : e.dirs) {
        // Its directory changed, or it shows something inside a directory
        // that was removed or renamed.
        if (d == parent || IsAtOrBelow(d, posixPath)) hit = true;
        // Directories past the watch cap are not in `dirs`; a recursive
        // listing that lost some still shows everything below its first.
        if (e.partlyWatched && !e.dirs.empty() && IsAtOrBelow(posixPath, e.dirs.front()))
          hit = true;
        if (hit) break;
      }
      if (hit) MarkStale(e);
    }
  }

 private:
  int64_t NowLocked() const {
    const RClock& clk = clock_ != nullptr ? *clock_ : RSystemClock::Instance();
    int64_t now = clk.WallSeconds();
    return now < 1 ? 315550800 : now;
  }

  CacheEntryStr* ClaimedLocked(const Claim& c) {
    if (c.generation != generation_ || c.index < 0 ||
        static_cast<size_t>(c.index) >= table_.size()) {
      return nullptr;
    }
    CacheEntryStr& e = table_[static_cast<size_t>(c.index)];
    if (e.token != c.token || e.lastUse == 0) return nullptr;
    return &e;
  }

  void EnsureStartedLocked() {
    if (!table_.empty()) return;
    table_.resize(static_cast<size_t>(size_));
    stop_.store(false);
    watch_ = std::make_unique<RDirWatch>();
    if (watch_->Valid()) {
      try {
        worker_ = std::thread([this, w = watch_.get()] { WorkerLoop(w); });
        workerRunning_ = true;
        return;
      } catch (const std::system_error&) {
      }
    }
    // Without notifications a listing could stay wrong for its whole
    // lifetime; keep it short instead.
    lifetime_ = kUnwatchedLifetime;
    // Usually a worker's listing gets here: the line is the loop's to write.
    if (noticeLoop_ != nullptr) {
      (void)noticeLoop_->PostMessage(noticeWindow_, kNoticeNoWatch,
                                     static_cast<uintptr_t>(lifetime_));
    }
  }

 public:
  void SetNotices(RMessageLoop* loop, RWindowId window) {
    std::lock_guard<std::mutex> lock(mu_);
    noticeLoop_ = loop;
    noticeWindow_ = window;
  }

 private:
  RMessageLoop* noticeLoop_ = nullptr;
  RWindowId noticeWindow_ = 0;

  bool AddWatchLocked(CacheEntryStr& e, const std::string& posixDir) {
    if (posixDir.empty()) return false;
    if (std::find(e.dirs.begin(), e.dirs.end(), posixDir) == e.dirs.end()) {
      e.dirs.push_back(posixDir);
    }
    bool ok = false;
    if (workerRunning_ && e.watches.size() < kMaxWatchesPerEntry &&
        wdRefs_.size() < kMaxWatchesTotal) {
      int wd = watch_->Add(posixDir);
      if (wd >= 0) {
        ok = true;
        if (std::find(e.watches.begin(), e.watches.end(), wd) == e.watches.end()) {
          e.watches.push_back(wd);
          ++wdRefs_[wd];
        }
      }
    }
    if (!ok) e.partlyWatched = true;
    return ok;
  }

  void ReleaseWatchesLocked(CacheEntryStr& e) {
    for (int wd : e.watches) {
      auto it = wdRefs_.find(wd);
      if (it == wdRefs_.end()) continue;
      if (--it->second == 0) {
        if (watch_) watch_->Remove(wd);
        wdRefs_.erase(it);
      }
    }
    e.watches.clear();
  }

  void DropLines(CacheEntryStr& e) {
    bytes_ -= e.bytes;
    e.bytes = 0;
    e.lines.reset();
  }

  void FreeEntry(CacheEntryStr& e) {
    ReleaseWatchesLocked(e);
    DropLines(e);
    e.user.clear();
    e.path.clear();
    e.options.clear();
    e.kind.clear();
    e.dirs.clear();
    e.partlyWatched = false;
    e.expiry = 0;
    e.lastUse = 0;
    e.token = 0;
  }

  // Stale: the next lookup frees it. Its lines go now; a session sending
  // them keeps its own reference.
  void MarkStale(CacheEntryStr& e) {
    e.expiry = 1;
    e.lastUse = 1;
    ReleaseWatchesLocked(e);
    DropLines(e);
  }

  // Least recently used listings leave until the rest fits the budget;
  // `keep` (an index, or -1) is the one just stored.
  void EvictLocked(int keep) {
    while (bytes_ > maxBytes_) {
      int victim = -1;
      for (size_t i = 0; i < table_.size(); ++i) {
        const CacheEntryStr& e = table_[i];
        if (static_cast<int>(i) == keep || !e.lines) continue;
        if (victim < 0 || e.lastUse < table_[static_cast<size_t>(victim)].lastUse) {
          victim = static_cast<int>(i);
        }
      }
      if (victim < 0) return;
      FreeEntry(table_[static_cast<size_t>(victim)]);
    }
  }

  void MarkLocked(const RDirWatch::Result& r) {
    if (r.changed.empty() && !r.overflow) return;
    for (auto& e : table_) {
      if (e.watches.empty()) continue;
      bool hit = r.overflow;
      for (int wd : e.watches) {
        if (std::find(r.changed.begin(), r.changed.end(), wd) != r.changed.end()) hit = true;
      }
      if (hit) MarkStale(e);
    }
  }

  void WorkerLoop(RDirWatch* w) {
    while (!stop_.load()) {
      bool ready = w->WaitReadable(kWorkerWaitMs);
      wakeups_.fetch_add(1);
      if (stop_.load()) break;
      if (!ready) continue;
      // Events are read under the lock, so a lookup never sees a change
      // that one thread has read but not yet marked.
      std::lock_guard<std::mutex> lock(mu_);
      MarkLocked(w->Drain());
    }
  }

  std::mutex mu_;
  std::vector<CacheEntryStr> table_;
  int64_t size_ = kDefaultSize;
  int64_t lifetime_ = kDefaultLifetime;
  int64_t bytes_ = 0;
  int64_t maxBytes_ = kDirCacheDefaultMaxMB * kMiB;
  uint64_t generation_ = 0;
  uint64_t nextToken_ = 0;
  std::map<int, int> wdRefs_;  // watch id -> entries using it
  std::unique_ptr<RDirWatch> watch_;
  std::thread worker_;
  bool workerRunning_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> wakeups_{0};
  const RClock* clock_ = nullptr;
};

RDirCache::RDirCache() : table_(std::make_unique<Table>()) {
  FsAddChangeListener(this);
}

RDirCache::~RDirCache() {
  // No change report may reach the table while it goes.
  FsRemoveChangeListener(this);
  table_->SetNotices(nullptr, 0);
  if (noticeLoop_ != nullptr) noticeLoop_->DestroyWindow(noticeWindow_);
}

void RDirCache::SetNoticeLoop(RMessageLoop& loop) {
  if (noticeLoop_ != nullptr) return;
  noticeLoop_ = &loop;
  noticeWindow_ = loop.CreateWindow([](const RMsg& m) -> intptr_t {
    if (m.message == kNoticeNoWatch) {
      WriteLog(LOG_SYSTEM, FormatStr(kLogNoChangeNotifications, static_cast<int64_t>(m.wParam)));
    }
    return 0;
  });
  table_->SetNotices(noticeLoop_, noticeWindow_);
}

void RDirCache::Setup(int64_t size, int64_t seconds) {
  table_->Setup(size, seconds);
}

void RDirCache::Configure(bool enable, int64_t size, int64_t seconds) {
  if (!enable) {
    Setup(1, 5);
    return;
  }
  Setup(std::min<int64_t>(size, 150), seconds);
}

void RDirCache::Shutdown() {
  table_->Shutdown();
}

void RDirCache::SetClock(const RClock* clock) {
  table_->SetClock(clock);
}

void RDirCache::SetMaxBytes(int64_t bytes) {
  table_->SetMaxBytes(bytes);
}

void RDirCache::NoteChange(const std::string& posixPath) {
  if (!posixPath.empty()) table_->NoteChange(posixPath);
}

RDirCacheStatsStr RDirCache::Stats() const {
  return table_->Stats();
}

RDirCacheClaimStr RDirCache::Lookup(std::string_view user, std::string_view key, uint32_t address,
                                    const std::string& options, std::string_view kind,
                                    const std::string& watchDir) {
  return table_->Lookup(user, key, address, options, kind, watchDir);
}

void RDirCache::AddWatch(const RDirCacheClaimStr& claim, const std::string& posixDir) {
  table_->AddWatch(claim, posixDir);
}

void RDirCache::Store(const RDirCacheClaimStr& claim, RDirLinesPtr lines) {
  table_->Store(claim, std::move(lines));
}

}  // namespace vantor
