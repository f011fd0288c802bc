#include "fs/RDirTextList.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "fs/RPath.h"
#include "platform/RClock.h"
#include "platform/RDirWatch.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

constexpr int64_t kDefaultSize = 25;
constexpr int64_t kDefaultLifetime = 600;
constexpr int64_t kUnwatchedLifetime = 10;  // when no change notification can be had
constexpr size_t kMaxOptions = 253;
constexpr size_t kMaxWatchesPerEntry = 64;  // recursive listings beyond this just expire
constexpr size_t kMaxWatchesTotal = 4096;
constexpr int kWorkerWaitMs = 10000;
constexpr uint32_t kMsgNoNotifications = 24000;

struct CacheEntryStr {
  std::string user;
  std::string path;
  std::string options;
  std::string kind;  // "" for LIST and NLST, else the other format's key
  uint32_t address = 0;
  int64_t expiry = 0;   // 0: free
  int64_t lastUse = 0;  // 0: free
  uint64_t token = 0;   // which listing object filled it
  std::shared_ptr<const std::vector<std::string>> lines;
  std::vector<int> watches;
};

// The process-wide cache. The loop thread does everything but the marking
// of changed entries, which the worker does; `mu_` guards the table and the
// watch bookkeeping.
class RDirCache {
 public:
  ~RDirCache() { Shutdown(); }

  void Setup(int64_t size, int64_t seconds) {
    Shutdown();
    std::lock_guard<std::mutex> lock(mu_);
    size_ = std::clamp<int64_t>(size, 1, 500);
    lifetime_ = std::clamp<int64_t>(seconds, 1, 86400);
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
    return s;
  }

  struct Claim {
    bool hit = false;
    int index = -1;
    uint64_t token = 0;
    uint64_t generation = 0;
    std::shared_ptr<const std::vector<std::string>> lines;
  };

  Claim Lookup(std::string_view user, std::string_view path, uint32_t address,
               const std::string& options, std::string_view kind, const std::string& watchDir) {
    std::lock_guard<std::mutex> lock(mu_);
    EnsureStartedLocked();
    Claim c;
    c.generation = generation_;
    int64_t now = NowLocked();
    for (size_t i = 0; i < table_.size(); ++i) {
      CacheEntryStr& e = table_[i];
      if (e.expiry > 0 && e.expiry <= now) FreeEntry(e);
      if (e.lastUse == 0 || !e.lines) continue;
      if (EqualsNoCase(e.user, user) && EqualsNoCase(e.path, path) && e.address == address &&
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

  // Stores generated lines; extra directories (recursive listings) are
  // watched too, up to a cap.
  void Store(const Claim& c, std::shared_ptr<const std::vector<std::string>> lines,
             const std::vector<std::string>& extraWatch) {
    std::lock_guard<std::mutex> lock(mu_);
    if (c.generation != generation_ || c.index < 0 ||
        static_cast<size_t>(c.index) >= table_.size()) {
      return;
    }
    CacheEntryStr& e = table_[static_cast<size_t>(c.index)];
    if (e.token != c.token || e.lastUse == 0) return;
    e.lines = std::move(lines);
    for (const auto& dir : extraWatch) {
      if (e.expiry == 1) break;  // already stale
      if (e.watches.size() >= kMaxWatchesPerEntry) break;
      (void)AddWatchLocked(e, dir);
    }
  }

 private:
  int64_t NowLocked() const {
    const RClock& clk = clock_ != nullptr ? *clock_ : RSystemClock::Instance();
    int64_t now = clk.WallSeconds();
    return now < 1 ? 315550800 : now;
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
    WriteLog(LOG_SYSTEM, FormatStr(kMsgNoNotifications, lifetime_));
  }

  bool AddWatchLocked(CacheEntryStr& e, const std::string& posixDir) {
    if (!workerRunning_ || posixDir.empty() || wdRefs_.size() >= kMaxWatchesTotal) return false;
    int wd = watch_->Add(posixDir);
    if (wd < 0) return false;
    if (std::find(e.watches.begin(), e.watches.end(), wd) != e.watches.end()) return true;
    e.watches.push_back(wd);
    ++wdRefs_[wd];
    return true;
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

  void FreeEntry(CacheEntryStr& e) {
    ReleaseWatchesLocked(e);
    e.lines.reset();
    e.user.clear();
    e.path.clear();
    e.options.clear();
    e.kind.clear();
    e.expiry = 0;
    e.lastUse = 0;
    e.token = 0;
  }

  void WorkerLoop(RDirWatch* w) {
    while (!stop_.load()) {
      RDirWatch::Result r = w->Wait(kWorkerWaitMs);
      wakeups_.fetch_add(1);
      if (stop_.load()) break;
      if (r.changed.empty() && !r.overflow) continue;
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& e : table_) {
        if (e.watches.empty()) continue;
        bool hit = r.overflow;
        for (int wd : e.watches) {
          if (std::find(r.changed.begin(), r.changed.end(), wd) != r.changed.end()) hit = true;
        }
        if (!hit) continue;
        // Stale: the next lookup frees it.
        e.expiry = 1;
        e.lastUse = 1;
        ReleaseWatchesLocked(e);
      }
    }
  }

  std::mutex mu_;
  std::vector<CacheEntryStr> table_;
  int64_t size_ = kDefaultSize;
  int64_t lifetime_ = kDefaultLifetime;
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

RDirCache& Cache() {
  static RDirCache cache;
  return cache;
}

// The directory of a search text ("c:\ftp\*.*" -> "c:\ftp", "c:\*.*" -> "c:\").
std::string SearchDir(std::string_view searchText) {
  size_t bs = searchText.find_last_of('\\');
  if (bs == std::string_view::npos) return std::string(searchText);
  return std::string(searchText.substr(0, bs <= 2 ? bs + 1 : bs));
}

}  // namespace

void DirCacheSetup(int64_t size, int64_t seconds) {
  Cache().Setup(size, seconds);
}

void DirCacheConfigure(bool enable, int64_t size, int64_t seconds) {
  if (!enable) {
    DirCacheSetup(1, 5);
    return;
  }
  DirCacheSetup(std::min<int64_t>(size, 150), seconds);
}

void DirCacheShutdown() {
  Cache().Shutdown();
}

void DirCacheSetClock(const RClock* clock) {
  Cache().SetClock(clock);
}

RDirCacheStatsStr DirCacheStats() {
  return Cache().Stats();
}

std::string NormaliseListOptions(std::string_view options) {
  std::string s(options.substr(0, kMaxOptions));
  std::sort(s.begin(), s.end(), [](char a, char b) {
    return static_cast<signed char>(a) < static_cast<signed char>(b);
  });
  size_t i = s.find_first_not_of(" \t-");
  return i == std::string::npos ? std::string() : s.substr(i);
}

RDirTextList::~RDirTextList() {
  Finish();
}

bool RDirTextList::Lookup(std::string_view user, std::string_view searchText, uint32_t address,
                          std::string_view options, std::string_view kind) {
  std::string norm = NormaliseListOptions(options);
  RDirCache::Claim c =
      Cache().Lookup(user, searchText, address, norm, kind, LocalToPosix(SearchDir(searchText)));
  hit_ = c.hit;
  if (hit_) {
    cached_ = std::move(c.lines);
    finished_ = true;
    return true;
  }
  entry_ = c.index;
  token_ = c.token;
  generation_ = c.generation;
  return false;
}

void RDirTextList::AddWatchDir(std::string posixDir) {
  if (!posixDir.empty()) extraWatch_.push_back(std::move(posixDir));
}

void RDirTextList::Append(std::string_view text) {
  if (finished_) return;
  for (;;) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      partial_.append(text);
      return;
    }
    partial_.append(text.substr(0, nl));
    own_.push_back(std::move(partial_));
    partial_.clear();
    text.remove_prefix(nl + 1);
  }
}

void RDirTextList::Finish() {
  if (finished_) return;
  finished_ = true;
  if (!partial_.empty()) {
    own_.push_back(std::move(partial_));
    partial_.clear();
  }
  if (entry_ < 0) return;
  auto lines = std::make_shared<const std::vector<std::string>>(std::move(own_));
  own_.clear();
  cached_ = lines;
  RDirCache::Claim c;
  c.index = entry_;
  c.token = token_;
  c.generation = generation_;
  Cache().Store(c, std::move(lines), extraWatch_);
  entry_ = -1;
}

bool RDirTextList::NextLine(std::string& out) {
  Finish();
  const std::vector<std::string>& src = cached_ ? *cached_ : own_;
  if (cursor_ >= src.size()) return false;
  out = src[cursor_++];
  return true;
}

std::vector<std::string> RDirTextList::TakeLines() {
  Finish();
  std::vector<std::string> out;
  if (cached_) {
    out.assign(cached_->begin() + static_cast<std::ptrdiff_t>(std::min(cursor_, cached_->size())),
               cached_->end());
  } else {
    out.assign(std::make_move_iterator(own_.begin() +
                                       static_cast<std::ptrdiff_t>(std::min(cursor_, own_.size()))),
               std::make_move_iterator(own_.end()));
    own_.clear();
  }
  cursor_ = 0;
  cached_.reset();
  return out;
}

size_t RDirTextList::LineCount() const {
  return cached_ ? cached_->size() : own_.size();
}

}  // namespace vantor
