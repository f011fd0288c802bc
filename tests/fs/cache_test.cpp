// The directory cache: keys, LRU reuse, lifetime, change notifications.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs/RDirTextList.h"
#include "fs/RLSDir.h"
#include "fs_fixture.h"
#include "log/RFTPSLogger.h"
#include "log_capture.h"
#include "platform/RClock.h"
#include "platform/RDirWatch.h"
#include "platform/RFileSys.h"
#include "platform/RMessageLoop.h"
#include "platform/RWorkPool.h"
#include "wait_until.h"

namespace vantor::test {
namespace {

// The loop a test hands the cache for its notices: a base before the
// tree's, so it goes after the cache that holds a window in it.
struct NoticeLoop {
  RMessageLoop loop{16};
};

class CacheTest : public NoticeLoop, public FsTree {
 protected:
  void SetUp() override {
    FsTree::SetUp();
    Write("c/a/one.txt", "1");
    Write("c/b/two.txt", "2");
  }
  void Touch(const std::string& rel) {
    int fd = ::open(P(rel).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }

  // Lists `dir` and reports whether the listing came from the cache.
  bool Cached(const std::string& dir, const std::string& options = "-l",
              const std::string& user = "joe", uint32_t address = 1, std::string* text = nullptr,
              const std::string& pattern = "") {
    RLSDirArgsStr a = LsArgs(dir, options, pattern);
    a.user = user;
    a.address = address;
    RLSDir ls(Fs(), Cache(), a);
    if (text != nullptr) *text = Text(ls);
    return ls.FromCache();
  }
  // Lists `dir` until a listing is read afresh, as the watch worker drops
  // its entry after a change; false when that does not happen within 5 s.
  bool ListedAfresh(const std::string& dir, std::string* text = nullptr,
                    const std::string& options = "-l") {
    return test::WaitUntil([&] { return !Cached(dir, options, "joe", 1, text); },
                           std::chrono::seconds(5));
  }
};

// A file created in a cached directory makes the next listing read it again.
TEST_F(CacheTest, ChangeInvalidates) {
  EXPECT_FALSE(Cached("c:\\a"));
  EXPECT_TRUE(Cached("c:\\a"));
  Write("c/a/new.txt", "n");
  std::string text;
  ASSERT_TRUE(ListedAfresh("c:\\a", &text));
  EXPECT_NE(text.find("new.txt"), std::string::npos);
  // Another directory's entry is untouched: once the worker has dropped the
  // changed directory's entry, the other one must still be there.
  EXPECT_FALSE(Cached("c:\\b"));
  ASSERT_TRUE(Cached("c:\\a"));
  Write("c/a/more.txt");
  ASSERT_TRUE(ListedAfresh("c:\\a"));
  EXPECT_TRUE(Cached("c:\\b"));
}

// Without change notifications the cache says so once, on the loop: the
// listing that starts it runs on a worker, and the log is the loop's.
TEST_F(CacheTest, NoNotificationsNoticeComesOnTheLoop) {
  test::LogCapture log;
  Cache().SetNoticeLoop(loop);
  DirWatchRefuseForTests(true);
  std::thread worker([this] { EXPECT_FALSE(Cached("c:\\a")); });
  worker.join();
  DirWatchRefuseForTests(false);
  EXPECT_EQ(log.lines, std::vector<std::string>{}) << "written on the worker";
  loop.RunPending();
  EXPECT_EQ(log.Count("change notifications"), 1);
  EXPECT_EQ(Cache().Stats().lifetime, 10);
  Cache().Shutdown();
}

// The same start on a pool worker with the server's log sink installed and
// bound to the loop thread: the notice reaches the sink on the loop, so the
// sink's thread check (on in debug and sanitizer builds) does not abort.
TEST_F(CacheTest, NoNotificationsNoticeFromAPoolWorkerPassesTheSinkThreadCheck) {
  RManualClock clock{1000000, 1796428471};
  RLogger pane;
  RFTPSLogger logger{pane, clock};
  logger.InstallAsSink();
  WriteLog(LOG_SCREEN, "bound");  // the sink now belongs to this thread
  Cache().SetNoticeLoop(loop);
  DirWatchRefuseForTests(true);
  bool listed = false;
  {
    RWorkPool pool{loop, 1, 4};
    pool.Submit(
        {}, std::make_shared<RWorkCancel>(),
        [this]() -> RWorkPool::Result {
          (void)Cached("c:\\a");
          return nullptr;
        },
        [&](const RWorkPool::Result&) { listed = true; });
    ASSERT_TRUE(test::RunLoopUntil(loop, [&] {
      return listed && pane.Text().find("change notifications unavailable") != std::string::npos;
    })) << pane.Text();
  }
  DirWatchRefuseForTests(false);
  // The stamp between "[1] " and " - " is the local time of the clock.
  std::string text = pane.Text();
  std::string tail =
      " - Directory cache: change notifications unavailable, cached listings live 10 seconds\r\n";
  EXPECT_EQ(text.rfind("bound\r\n[1] ", 0), 0u) << text;
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  Cache().Shutdown();
}

// Set-up clamps size and lifetime; the configuration caps the size at 150.
TEST_F(CacheTest, SetupClamps) {
  struct Row {
    bool enable;
    int64_t size, time, wantSize, wantTime;
  } rows[] = {{true, 0, 0, 1, 1},
              {true, 1000, 100000, 150, 86400},
              {true, 25, 600, 25, 600},
              {false, 25, 600, 1, 5},
              {true, 150, 1, 150, 1}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    Cache().Configure(r.enable, r.size, r.time);
    EXPECT_FALSE(Cached("c:\\a"));
    RDirCacheStatsStr s = Cache().Stats();
    EXPECT_EQ(s.size, r.wantSize);
    EXPECT_EQ(s.lifetime, r.wantTime);
  }
  Cache().Setup(1000, 10);
  EXPECT_FALSE(Cached("c:\\a"));
  EXPECT_EQ(Cache().Stats().size, 500);
}

// 200 watched directories: one watch each, and an idle worker stays asleep.
TEST_F(CacheTest, ManyWatchedDirectoriesDoNotSpin) {
  Cache().Setup(250, 600);
  for (int i = 0; i < 200; ++i) Mkdir("c/many/d" + std::to_string(i));
  for (int i = 0; i < 200; ++i) EXPECT_FALSE(Cached("c:\\many\\d" + std::to_string(i)));
  RDirCacheStatsStr s = Cache().Stats();
  EXPECT_TRUE(s.workerRunning);
  EXPECT_EQ(s.watches, 200);
  EXPECT_EQ(s.filled, 200);
  // One change wakes the worker once or twice; a spinning worker would
  // wake thousands of times while the change is on its way.
  uint64_t before = s.workerWakeups;
  Write("c/many/d0/new.txt");
  ASSERT_TRUE(ListedAfresh("c:\\many\\d0"));
  EXPECT_LE(Cache().Stats().workerWakeups - before, 2u);
  for (int i = 1; i < 200; ++i) EXPECT_TRUE(Cached("c:\\many\\d" + std::to_string(i)));
  // Shutting down releases every watch and stops the worker.
  Cache().Shutdown();
  s = Cache().Stats();
  EXPECT_EQ(s.watches, 0);
  EXPECT_FALSE(s.workerRunning);
}

// A recursive listing is invalidated by a change in a subdirectory.
TEST_F(CacheTest, RecursiveWatchesSubdirectories) {
  Write("c/r/s1/s2/f.txt");
  EXPECT_FALSE(Cached("c:\\r", "-R"));
  EXPECT_TRUE(Cached("c:\\r", "-R"));
  Write("c/r/s1/s2/g.txt");
  EXPECT_TRUE(ListedAfresh("c:\\r", nullptr, "-R"));
}

// "LIST sub" shows the content of sub: a change in sub, by another program
// or by the server, makes the next listing read it again at once, in every
// option spelling, recursive or not.
TEST_F(CacheTest, NamedDirectoryIsWatched) {
  for (const char* options : {"-l", "-la", "-1", "-R", "-lR"}) {
    SCOPED_TRACE(options);
    std::string text;
    EXPECT_FALSE(Cached("c:\\", options, "joe", 1, nullptr, "a"));
    EXPECT_TRUE(Cached("c:\\", options, "joe", 1, nullptr, "a"));
    // Another program: the kernel has queued the event when the write
    // returns, and the lookup reads queued events first.
    Write(std::string("c/a/other-") + options + ".txt");
    EXPECT_FALSE(Cached("c:\\", options, "joe", 1, &text, "a"));
    EXPECT_NE(text.find(std::string("other-") + options), std::string::npos) << text;
    EXPECT_TRUE(Cached("c:\\", options, "joe", 1, nullptr, "a"));
    // The server itself, through the file layer.
    RFd fd = FsOpenNoFollow(P(std::string("c/a/server") + options), ROpenMode::WriteCreate).fd;
    ASSERT_TRUE(fd.Valid());
    EXPECT_FALSE(Cached("c:\\", options, "joe", 1, &text, "a"));
    EXPECT_NE(text.find(std::string("server") + options), std::string::npos) << text;
  }
}

// The server's own changes drop a listing at once even where no watch could
// be had: a removed directory, a renamed one, a listing past the watch cap.
TEST_F(CacheTest, ServerChangesDropListingsAtOnce) {
  Cache().NoteChange(P("c/a/one.txt"));  // nothing cached yet: harmless
  EXPECT_FALSE(Cached("c:\\a"));
  EXPECT_TRUE(Cached("c:\\a"));
  Cache().NoteChange(P("c/a/one.txt"));
  EXPECT_FALSE(Cached("c:\\a"));
  EXPECT_FALSE(Cached("c:\\b"));
  EXPECT_TRUE(Cached("c:\\b"));
  Cache().NoteChange(P("c/b"));  // the listed directory itself renamed or removed
  EXPECT_FALSE(Cached("c:\\b"));
  EXPECT_TRUE(Cached("c:\\a"));
  Cache().NoteChange(P("c/b/two.txt"));  // another directory: untouched
  EXPECT_TRUE(Cached("c:\\a"));
  ASSERT_EQ(FsMakeDir(P("c/a/made")), 0);
  EXPECT_FALSE(Cached("c:\\a"));
}

// Every cache in the process hears the server's own changes (here to
// directories no watch could be had for), and one that goes stops hearing
// them without the others losing theirs.
TEST_F(CacheTest, EveryCacheHearsServerChanges) {
  auto other = std::make_unique<RFsServices>();
  other->SetSettings(Fs());
  RLSDirArgsStr a = LsArgs("c:\\gone", "-l");
  a.address = 1;
  auto otherCached = [&] { return RLSDir(other->Settings(), other->Cache(), a).FromCache(); };
  EXPECT_FALSE(otherCached());
  EXPECT_TRUE(otherCached());
  EXPECT_FALSE(Cached("c:\\gone"));
  EXPECT_TRUE(Cached("c:\\gone"));
  ASSERT_EQ(FsMakeDir(P("c/gone")), 0);
  EXPECT_FALSE(otherCached());
  EXPECT_FALSE(Cached("c:\\gone"));
  other.reset();
  EXPECT_FALSE(Cached("c:\\later"));
  EXPECT_TRUE(Cached("c:\\later"));
  ASSERT_EQ(FsMakeDir(P("c/later")), 0);
  EXPECT_FALSE(Cached("c:\\later"));
}

// The cache key is the parsed option set: "-l1" ends in one-per-line, "-1l"
// in long format; "-I:a*" and "-I:*a" hide different names. Spellings with
// the same meaning still share.
TEST_F(CacheTest, KeyIsParsedOptions) {
  Write("c/k/ab");
  Write("c/k/ba");
  std::string first, second;
  EXPECT_FALSE(Cached("c:\\k", "-l1", "joe", 1, &first));
  EXPECT_FALSE(Cached("c:\\k", "-1l", "joe", 1, &second));
  EXPECT_EQ(first, "ab\nba\n");
  EXPECT_NE(second, first);
  EXPECT_FALSE(Cached("c:\\k", "-1 -I:a*", "joe", 1, &first));
  EXPECT_FALSE(Cached("c:\\k", "-1 -I:*a", "joe", 1, &second));
  EXPECT_EQ(first, "ba\n");
  EXPECT_EQ(second, "ab\n");
  EXPECT_TRUE(Cached("c:\\k", "-l -1 -l", "joe", 1));  // same as -1l
  EXPECT_TRUE(Cached("c:\\k", "-1 -1 -I:*a"));         // same as -1 -I:*a
  EXPECT_FALSE(Cached("c:\\k", "-1 -I:*a -w:40"));     // width is part of the meaning
}

// Two directories that differ only in letter case are two entries.
TEST_F(CacheTest, CaseVariantsAreDifferentDirectories) {
  Write("c/A/upper.txt");
  std::string text;
  EXPECT_FALSE(Cached("c:\\a", "-l", "joe", 1, &text));
  EXPECT_NE(text.find("one.txt"), std::string::npos);
  EXPECT_FALSE(Cached("c:\\A", "-l", "joe", 1, &text));
  EXPECT_NE(text.find("upper.txt"), std::string::npos);
  EXPECT_EQ(text.find("one.txt"), std::string::npos);
}

// Listings stay within the byte budget, least recently used out first; a
// hit shares the cached lines instead of copying them.
TEST_F(CacheTest, ByteBudgetAndSharing) {
  RManualClock clock;
  Cache().SetClock(&clock);
  Cache().SetMaxBytes(100000);
  // About 38 KB of long-format lines per spelling.
  const std::string pad(40, 'n');
  Mkdir("c/big");
  for (int i = 0; i < 350; ++i) Touch("c/big/" + pad + std::to_string(10000 + i));
  const char* spellings[] = {"-l", "-lt", "-lS"};
  for (const char* o : spellings) {
    EXPECT_FALSE(Cached("c:\\big", o));
    clock.Advance(1000);
    RDirCacheStatsStr s = Cache().Stats();
    EXPECT_LE(s.bytes, s.maxBytes);
    EXPECT_GT(s.bytes, 0);
  }
  EXPECT_FALSE(Cached("c:\\big", "-l"));  // the oldest went first
  clock.Advance(1000);
  EXPECT_TRUE(Cached("c:\\big", "-lS"));
  RLSDirArgsStr a = LsArgs("c:\\big", "-lS");
  a.address = 1;
  RLSDir one(Fs(), Cache(), a), two(Fs(), Cache(), a);
  ASSERT_TRUE(one.FromCache() && two.FromCache());
  EXPECT_EQ(one.Lines().get(), two.Lines().get());
  EXPECT_EQ(one.Lines()->Count(), 350u);
  // A listing larger than the whole budget is served but not kept.
  Cache().Setup(25, 600);
  Cache().SetMaxBytes(30000);
  EXPECT_FALSE(Cached("c:\\big", "-l"));
  EXPECT_FALSE(Cached("c:\\big", "-l"));
  EXPECT_EQ(Cache().Stats().bytes, 0);
}

// Text split into lines at "\n"; the partial line is kept until Finish.
TEST(DirTextList, SplitsLines) {
  RFsServices fs;
  RDirTextList t(fs.Settings(), fs.Cache());
  t.Append("ab");
  t.Append("c\nde\n\nf");
  t.Finish();
  std::string line;
  std::vector<std::string> got;
  while (t.NextLine(line)) got.push_back(line);
  EXPECT_EQ(got, (std::vector<std::string>{"abc", "de", "", "f"}));
  EXPECT_FALSE(t.FromCache());
}

}  // namespace
}  // namespace vantor::test
