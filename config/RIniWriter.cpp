// The INI layer's deferred writer: one ordered writer per file on the
// write pool's workers (see RIniFile.h).
#include <functional>
#include <mutex>
#include <unordered_map>

#include "config/RConfigStrings.h"
#include "config/RIniFile.h"
#include "config/RIniImage.h"
#include "platform/RFile.h"
#include "platform/RMessageLoop.h"
#include "platform/RThreadChecker.h"
#include "platform/RWorkPool.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {

using namespace inidetail;

namespace {

// The writer's side of one file, shared with the workers.
struct DiskWrites {
  std::mutex writeMu;  // one write of the file at a time, in order
  std::mutex mu;       // guards the fields below
  BlockListPtr toWrite;
  uint64_t toWriteGen = 0;
  uint64_t writtenGen = 0;
  RFileIdentity writtenId;  // the file the newest write made
  bool failed = false;      // the last write failed: wait for the next change
  std::string why;          // what the system said then
};
using DiskWritesPtr = std::shared_ptr<DiskWrites>;

// The writes of one file on the loop's side: what readers see and what is
// known to be on disk.
struct PathWrites {
  uint64_t gen = 0;        // the newest content's number (never reused)
  uint64_t confirmed = 0;  // the newest number known to be on disk
  bool jobOut = false;     // a job of this file is queued or running
  bool reported = false;   // the failure now running was logged
  // Keeps the newest content alive until it is on disk, even when every
  // RIniFile of the path is gone meanwhile.
  std::shared_ptr<RIniImage> image;
  DiskWritesPtr disk = std::make_shared<DiskWrites>();
  // Newer content that found the worker inside its short hold of
  // `disk->mu`: the loop does not wait for it, the job's completion hands
  // this over.
  BlockListPtr stash;
  uint64_t stashGen = 0;
};
using PathWritesPtr = std::shared_ptr<PathWrites>;

// Loop thread only.
std::unordered_map<std::string, PathWritesPtr>& Pending() {
  static std::unordered_map<std::string, PathWritesPtr> pending;
  [[maybe_unused]] static RThreadChecker thread;
  VANTOR_CHECK_THREAD(thread, "the INI writer queue");
  return pending;
}
// Content numbers of every path, so a number is never reused.
uint64_t g_lastGen = 0;

std::mutex g_hookMu;
std::function<void()> g_writeHook;

void RunWriteHook() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookMu);
    hook = g_writeHook;
  }
  if (hook) hook();
}

// Puts the newest content handed over on disk unless a later write already
// did. Any thread; several at once are put in order by writeMu.
void WriteNewest(const std::string& path, DiskWrites& d) {
  std::lock_guard<std::mutex> order(d.writeMu);
  RunWriteHook();
  BlockListPtr blocks;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.toWriteGen <= d.writtenGen) return;
    blocks = d.toWrite;
    gen = d.toWriteGen;
  }
  RFileIdentity id;
  std::string why;
  const bool ok = ReplaceFileAtomic(path, Render(*blocks), &id, 0600, &why);
  std::lock_guard<std::mutex> lock(d.mu);
  d.failed = !ok;
  if (ok) {
    d.writtenGen = gen;
    d.writtenId = id;
  } else {
    d.why = std::move(why);
  }
}

// Loop thread, after a write attempt: logs the first failure of a run.
// True when the newest content is on disk.
bool Settle(const std::string& path, PathWrites& w) {
  bool failed = false;
  bool done = false;
  RFileIdentity id;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(w.disk->mu);
    w.confirmed = w.disk->writtenGen;
    failed = w.disk->failed;
    done = w.disk->toWriteGen == w.disk->writtenGen;
    id = w.disk->writtenId;
    why = w.disk->why;
  }
  if (failed && !w.reported) WriteLog(LOG_SYSTEM, FormatStr(kLogIniWriteFailed, path, why));
  w.reported = failed;
  // The file on disk is the content now: later looks compare with it
  // instead of reading it back.
  if (done && w.image) w.image->Remember(id);
  return done;
}

void StartWrite(const std::string& path, const PathWritesPtr& w, RWorkPool* pool);

// Loop thread: gives the workers the content numbered `gen`. While a job of
// the file is out the worker may hold `mu` for a moment, and the loop waits
// for no thread: the content then waits in the stash. False then.
bool HandOver(PathWrites& w, BlockListPtr blocks, uint64_t gen) {
  std::unique_lock<std::mutex> lock(w.disk->mu, std::defer_lock);
  if (w.jobOut) {
    if (!lock.try_lock()) {
      w.stash = std::move(blocks);
      w.stashGen = gen;
      return false;
    }
  } else {
    lock.lock();  // no job of the file is out: nobody else holds it
  }
  w.disk->toWrite = std::move(blocks);
  w.disk->toWriteGen = gen;
  w.stash.reset();
  return true;
}

// Loop thread, once the file's job is done (nobody else holds `mu` now).
void TakeStash(PathWrites& w) {
  if (w.stash) (void)HandOver(w, std::move(w.stash), w.stashGen);
}

// Loop thread, after a write: the next one (on `pool`, the one that wrote)
// when more came meanwhile, else the file is settled and readers go back to
// the disk.
void AfterWrite(const std::string& path, const PathWritesPtr& w, RWorkPool* pool) {
  TakeStash(*w);
  if (!Settle(path, *w)) {
    // A failed write waits in memory for the next change.
    std::lock_guard<std::mutex> lock(w->disk->mu);
    if (w->disk->failed) return;
  }
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(w->disk->mu);
    more = w->disk->toWriteGen > w->disk->writtenGen;
  }
  if (more) {
    StartWrite(path, w, pool);
    return;
  }
  auto it = Pending().find(path);
  if (it != Pending().end() && it->second == w) Pending().erase(it);
  if (RMessageLoop* loop = RMessageLoop::Current()) loop->NoteFileWritten(path);
}

void StartWrite(const std::string& path, const PathWritesPtr& w, RWorkPool* pool) {
  if (w->jobOut) return;  // the running job's successor is started by its completion
  if (pool != nullptr) {
    w->jobOut = true;
    // The job holds the writer's side only: the image stays on the loop.
    // A pool calls no completion once it is going, so `pool` is alive
    // whenever this one runs.
    const RWorkSubmit r = pool->Submit(
        {}, std::make_shared<RWorkCancel>(),
        [path, disk = w->disk]() -> RWorkPool::Result {
          WriteNewest(path, *disk);
          return nullptr;
        },
        [path, w, pool](const RWorkPool::Result&) {
          w->jobOut = false;
          AfterWrite(path, w, pool);
        });
    if (r != RWorkSubmit::Full) return;
    w->jobOut = false;
  }
  // No pool, or its queue is full: written here, as it always was.
  WriteNewest(path, *w->disk);
  AfterWrite(path, w, nullptr);
}

}  // namespace

void RIniFile::DrainWrites() {
  std::unordered_map<std::string, PathWritesPtr> pending;
  pending.swap(Pending());
  for (auto& [path, w] : pending) {
    TakeStash(*w);
    WriteNewest(path, *w->disk);
    (void)Settle(path, *w);
    if (RMessageLoop* loop = RMessageLoop::Current()) loop->NoteFileWritten(path);
  }
}

bool RIniFile::WritesPending() {
  return !Pending().empty();
}

namespace inidetail {

std::string Render(const BlockList& blocks) {
  size_t total = 0;
  for (const BlockPtr& b : blocks) total += b->text.size();
  std::string out;
  out.reserve(total);
  for (const BlockPtr& b : blocks) out += b->text;
  return out;
}

bool NewerThanDisk(const std::string& path) {
  if (Pending().empty()) return false;
  auto it = Pending().find(path);
  return it != Pending().end() && it->second->gen != it->second->confirmed;
}

void QueueWrite(const std::string& path, const std::shared_ptr<RIniImage>& image,
                BlockListPtr blocks, RWorkPool* pool) {
  PathWritesPtr& w = Pending()[path];
  if (!w) w = std::make_shared<PathWrites>();
  w->image = image;
  w->gen = ++g_lastGen;
  // With a job out, its completion starts the next write anyway.
  if (HandOver(*w, std::move(blocks), w->gen)) StartWrite(path, PathWritesPtr(w), pool);
}

void IniWriteHookForTests(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(g_hookMu);
  g_writeHook = std::move(hook);
}

RWriteNow WriteFileNow(const std::string& path, const std::string& data, RFileIdentity* id) {
  auto it = Pending().find(path);
  if (it != Pending().end()) {
    // A write of our own while deferred ones wait: our content was built on
    // the newest, so it makes the waiting ones unnecessary. A worker that
    // holds the write order is writing right now, and the loop does not
    // wait for it.
    PathWritesPtr w = it->second;
    std::unique_lock<std::mutex> order(w->disk->writeMu, std::try_to_lock);
    if (!order.owns_lock()) return RWriteNow::WriterBusy;
    if (!ReplaceFileAtomic(path, data, id)) return RWriteNow::Failed;
    {
      // No worker is inside a write of the file (the order is ours), so
      // `mu` is free; a stashed content is made unnecessary as well.
      std::lock_guard<std::mutex> lock(w->disk->mu);
      if (w->stash) {
        w->disk->toWrite = std::move(w->stash);
        w->disk->toWriteGen = w->stashGen;
      }
      w->disk->writtenGen = w->disk->toWriteGen;
      w->disk->writtenId = *id;
      w->disk->failed = false;
    }
    w->confirmed = w->gen;
    w->reported = false;
    if (!w->jobOut) Pending().erase(path);
  } else if (!ReplaceFileAtomic(path, data, id)) {
    return RWriteNow::Failed;
  }
  // Other readers of the file in this process see the write at once, not
  // only when the loop has read the watch's events.
  if (RMessageLoop* loop = RMessageLoop::Current()) loop->NoteFileWritten(path);
  return RWriteNow::Written;
}

}  // namespace inidetail
}  // namespace vantor
