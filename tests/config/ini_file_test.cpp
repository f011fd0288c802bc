#include "config/RIniFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "config/RIniImage.h"
#include "log_capture.h"
#include "platform/RFile.h"
#include "platform/RMessageLoop.h"
#include "platform/RWorkPool.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::test::ReadText;
using vantor::test::TempDir;
using vantor::test::WriteText;

namespace {

// Runs `child` in a forked process whose file size limit (a full disk stands
// in) is `limit`, SIGXFSZ ignored so that write() fails with EFBIG instead of
// stopping it; the child's exit code, -1 when it did not exit.
template <typename F>
int InChildWithFileLimit(rlim_t limit, F child) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {limit, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    ::_exit(child());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

const char* kSample =
    "; server settings\n"
    "[GLOBAL]\n"
    "  Port = 2121  \n"
    "Greeting=Hello = world\n"
    "Empty=\n"
    "Neg=-42\n"
    "Bad=12x\n"
    "Big=99999999999999999999\n"
    "Yes=yes\n"
    "Off=OFF\n"
    "Odd=maybe\n"
    "port=999\n"
    "; comment=not a key\n"
    "\n"
    "[User=Bob]\n"
    "Pass=x\n"
    "[global]\n"
    "Later=1\n";

// Lookups ignore case, take the first occurrence and trim blanks.
TEST(RIniFile, ReadsValuesAsWritten) {
  TempDir dir;
  RIniFile ini(dir.Write("a.ini", kSample));
  struct Case {
    const char* section;
    const char* key;
    const char* want;
  } cases[] = {
      {"GLOBAL", "Port", "2121"},
      {"global", "PORT", "2121"},
      {"GLOBAL", "Greeting", "Hello = world"},
      {"GLOBAL", "Empty", ""},
      {"user=bob", "pass", "x"},
      {"GLOBAL", "Later", "<def>"},
      {"GLOBAL", "comment", "<def>"},
      {"Missing", "Port", "<def>"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ini.GetString(c.section, c.key, "<def>"), c.want)
        << std::string(c.section) + "/" + c.key;
  EXPECT_TRUE(ini.HasKey("GLOBAL", "empty"));
  EXPECT_FALSE(ini.HasKey("GLOBAL", "Later"));
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"GLOBAL", "User=Bob"}));
  auto entries = ini.SectionEntries("Global");
  ASSERT_EQ(entries.size(), 9u);  // "port" repeats "Port" and is hidden
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"Port", "2121"}));
}

// Numbers and switches: malformed or out-of-range values give the default.
TEST(RIniFile, TypedReads) {
  TempDir dir;
  RIniFile ini(dir.Write("a.ini", kSample));
  EXPECT_EQ(ini.GetInt("GLOBAL", "Port", 7), 2121);
  EXPECT_EQ(ini.GetInt("GLOBAL", "Neg", 7), -42);
  EXPECT_EQ(ini.GetInt("GLOBAL", "Bad", 7), 7);
  EXPECT_EQ(ini.GetInt("GLOBAL", "Big", 7), 7);
  EXPECT_EQ(ini.GetInt("GLOBAL", "Empty", 7), 7);
  EXPECT_EQ(ini.GetInt("GLOBAL", "Missing", 7), 7);
  EXPECT_TRUE(ini.GetBool("GLOBAL", "Yes", false));
  EXPECT_FALSE(ini.GetBool("GLOBAL", "Off", true));
  EXPECT_TRUE(ini.GetBool("GLOBAL", "Odd", true));
  EXPECT_FALSE(ini.GetBool("GLOBAL", "Odd", false));
  EXPECT_TRUE(ini.GetBool("GLOBAL", "Port", true));  // 2121 is no switch word
}

// Everything a reader can see of a file, for comparing two views of it.
std::string Dump(const RIniFile& ini) {
  std::string out;
  for (const std::string& name : ini.SectionNames()) {
    out += "[" + name + "]";
    for (const auto& [k, v] : ini.SectionEntries(name)) out += " " + k + "=" + v;
    out += "\n";
  }
  return out;
}

// Writes keep comments, order, line endings and the key's spelling, directly
// and deferred; another reader of the file sees the change at once, exactly
// as a fresh read of the written file does.
TEST(RIniFile, WritesKeepTheRestOfTheFile) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  using C = RIniFile::Change;
  struct Case {
    const char* name;
    const char* before;
    std::vector<C> changes;
    const char* after;
  } cases[] = {
      {"replace",
       "; c\n[S]\nKey = 1\nOther=2\n",
       {{"s", "KEY", "5"}},
       "; c\n[S]\nKey=5\nOther=2\n"},
      {"add before blank lines", "[S]\nA=1\n\n[T]\n", {{"S", "B", "2"}}, "[S]\nA=1\nB=2\n\n[T]\n"},
      {"new section", "[S]\nA=1\n", {{"T", "B", "2"}}, "[S]\nA=1\n\n[T]\nB=2\n"},
      {"new section in an empty file", "", {{"S", "A", "1"}}, "[S]\nA=1\n"},
      {"new section after comments alone", "; c\n", {{"S", "A", "1"}}, "; c\n\n[S]\nA=1\n"},
      {"remove every copy of a key",
       "[S]\nA=1\nB=2\na=3\n",
       {{"S", "A", std::nullopt}},
       "[S]\nB=2\n"},
      {"remove key of missing section", "[S]\nA=1\n", {{"T", "A", std::nullopt}}, "[S]\nA=1\n"},
      {"delete every copy of a section",
       "[S]\nA=1\n[T]\nB=2\n[s]\nC=3\n",
       {{"S", "", std::nullopt}},
       "[T]\nB=2\n"},
      {"first copy of a section changed",
       "[S]\nA=1\n[T]\n[s]\nA=2\n",
       {{"S", "A", "3"}},
       "[S]\nA=3\n[T]\n[s]\nA=2\n"},
      {"deleted, added again, added to",
       "[S]\nA=1\n[U]\nC=3\n",
       {{"S", "", std::nullopt}, {"s", "A", "9"}, {"T", "B", "1"}, {"t", "B", std::nullopt}},
       "[U]\nC=3\n\n[s]\nA=9\n\n[T]\n"},
      {"CRLF replace", "[S]\r\nKey=1\r\n", {{"S", "key", "5"}}, "[S]\r\nKey=5\r\n"},
      {"CRLF add", "[S]\r\nA=1\r\n", {{"S", "B", "2"}}, "[S]\r\nA=1\r\nB=2\r\n"},
      {"CRLF new section", "[S]\r\nA=1\r\n", {{"T", "B", "2"}}, "[S]\r\nA=1\r\n\r\n[T]\r\nB=2\r\n"},
      {"CRLF remove key",
       "; c\r\n[S]\r\nA=1\r\nB=2\r\n",
       {{"S", "A", std::nullopt}},
       "; c\r\n[S]\r\nB=2\r\n"},
      {"mixed ends, no final end", "[S]\r\nA=1\nB=2", {{"S", "A", "5"}}, "[S]\r\nA=5\r\nB=2\r\n"},
      {"byte order mark before the first section",
       "\xEF\xBB\xBF[S]\nA=1\n",
       {{"S", "A", "2"}},
       "\xEF\xBB\xBF[S]\nA=2\n"},
      {"line break in value flattened", "[S]\n", {{"S", "A", "1\n[X]\nB=2"}}, "[S]\nA=1 [X] B=2\n"},
  };
  for (const bool deferred : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (deferred ? " (deferred)" : ""));
      WriteText(path, c.before);
      RIniFile ini(path);
      RIniFile reader(path);
      (void)reader.SectionNames();
      ASSERT_TRUE(deferred ? ini.ApplyDeferred(c.changes) : ini.Apply(c.changes));
      EXPECT_EQ(ReadText(path), c.after);
      WriteText(dir.File("fresh.ini"), c.after);
      EXPECT_EQ(Dump(reader), Dump(RIniFile(dir.File("fresh.ini"))));
    }
  }
}

// Names that would change the file's structure are refused, file untouched.
TEST(RIniFile, RefusesStructuralNames) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "[S]\nA=1\n");
  RIniFile ini(path);
  EXPECT_FALSE(ini.WriteString("S]x", "A", "1"));
  EXPECT_FALSE(ini.WriteString("S", "A=B", "1"));
  EXPECT_FALSE(ini.WriteString("S", "A\nB", "1"));
  EXPECT_FALSE(ini.WriteString("S", "[X", "1"));
  EXPECT_FALSE(ini.WriteString("S", "", "1"));
  EXPECT_FALSE(ini.WriteLines({"[S]", "A=1\n[T]"}));
  EXPECT_FALSE(ini.Apply({{"S", "B", "2"}, {"S", "C=D", "3"}}));  // all or nothing
  EXPECT_EQ(ReadText(path), "[S]\nA=1\n");
}

// A file that can no longer be read, or is saved with a line that is no
// header, key, comment or blank, leaves the content read before in force and
// refuses writes (the file stays as it is) until it reads cleanly again.
TEST(RIniFile, KeepsContentWhileFileUnusable) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> spoil;
    const char* why;
  };
  const Case cases[] = {
      {"garbled", [](const std::string& p) { WriteText(p, "[S]\nA=2\n[T\n"); },
       "line 3 is no section header, key=value line or comment"},
      {"NUL byte", [](const std::string& p) { WriteText(p, std::string("[S]\nA=2\0\n", 9)); },
       "line 2 is no section header, key=value line or comment"},
      {"directory",
       [](const std::string& p) {
         std::filesystem::remove(p);
         std::filesystem::create_directory(p);
       },
       "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("a.ini", "[S]\nA=1\n");
    RIniFile ini(path);
    EXPECT_EQ(ini.GetString("S", "A"), "1");
    c.spoil(path);
    EXPECT_EQ(ini.GetString("S", "A"), "1");
    EXPECT_EQ(ini.KeptReason(), c.why);
    EXPECT_FALSE(ini.WriteString("S", "B", "x"));
    std::filesystem::remove_all(path);
    WriteText(path, "[S]\nA=3\n");
    EXPECT_EQ(ini.GetString("S", "A"), "3");
    EXPECT_EQ(ini.KeptReason(), "");
  }
}

// Repeated reads of an unchanged file do not parse it again, and neither
// does a write through any reader of the file: it changes the entry in the
// readers' shared copy.
TEST(RIniFile, CachesTheParse) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "[S]\nA=1\n");
  // An old modification time takes the file out of the just-changed window.
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  RIniFile ini(path);
  RIniFile other(path);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ini.GetInt("S", "A", 0), 1);
  EXPECT_EQ(other.GetInt("S", "A", 0), 1);
  ASSERT_TRUE(ini.WriteString("S", "A", "2"));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ini.GetInt("S", "A", 0), 2);
  EXPECT_EQ(other.GetInt("S", "A", 0), 2);
  ASSERT_TRUE(other.WriteStringDeferred("S", "A", "3"));
  EXPECT_EQ(ini.GetInt("S", "A", 0), 3);
  EXPECT_EQ(ReadText(path), "[S]\nA=3\n");
  EXPECT_EQ(ini.ParseCount(), 1u);
  EXPECT_EQ(other.ParseCount(), 1u);
}

// On the loop thread the file is looked at once per pass; a change by another
// writer still shows from the next pass on, and our own writes at once.
TEST(RIniFile, LooksOncePerLoopPass) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "[S]\nA=1\n");
  RMessageLoop loop;
  RIniFile ini(path);
  RIniFile other(path);
  std::vector<int64_t> seen;
  bool written = true;
  const RWindowId w = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
    const std::string value = std::to_string(m.wParam);
    if (m.message == 1) written = written && other.WriteString("S", "A", value);
    if (m.message == 2) written = written && ini.WriteString("S", "A", value);
    seen.push_back(ini.GetInt("S", "A", 0));
    return 0;
  });
  for (auto [message, value] : {std::pair<uint32_t, uintptr_t>{0, 0}, {1, 2}, {0, 0}, {2, 3}}) {
    loop.PostMessage(w, message, value, 0);  // 1: another writer, 2: our own write
    loop.RunOnce(0);
  }
  ASSERT_TRUE(written);
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 2, 3}));  // a writer in this process: at once
  EXPECT_EQ(ini.GetInt("S", "A", 0), 3);                // outside a pass: looks every time
}

// Across passes a file left alone is not looked at again, yet every change
// by another writer shows in the next pass: an edit in place that keeps the
// size and the old time stamps, a replacement by rename, and an edit of the
// replacement.
TEST(RIniFile, ChangesShowInTheNextPass) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  auto writeOld = [&](const std::string& where, const std::string& text) {
    WriteText(where, text);
    std::filesystem::last_write_time(where, old);
  };
  writeOld(path, "[S]\nA=1\n");
  RMessageLoop loop;
  RIniFile ini(path);
  int64_t value = 0;
  const RWindowId w = loop.CreateWindow([&](const RMsg&) -> intptr_t {
    value = ini.GetInt("S", "A", 0);
    return 0;
  });
  auto next = [&] {
    loop.PostMessage(w, 0, 0, 0);
    loop.RunOnce(0);
    return value;
  };
  EXPECT_EQ(next(), 1);
  EXPECT_EQ(next(), 1);
  writeOld(path, "[S]\nA=2\n");
  EXPECT_EQ(next(), 2);
  writeOld(dir.File("b.new"), "[S]\nA=3\n");
  ASSERT_EQ(::rename(dir.File("b.new").c_str(), path.c_str()), 0);
  EXPECT_EQ(next(), 3);
  writeOld(path, "[S]\nA=4\n");
  EXPECT_EQ(next(), 4);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_EQ(next(), 0);
  writeOld(path, "[S]\nA=5\n");
  EXPECT_EQ(next(), 5);
}

// WriteLines replaces the whole file; Lines gives it back without line ends.
TEST(RIniFile, WholeFileRoundTrip) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "\xEF\xBB\xBF[S]\r\nA=1\r\n");
  RIniFile ini(path);
  EXPECT_EQ(ini.GetString("S", "A"), "1");  // the byte order mark is no part of the name
  auto lines = ini.Lines();
  ASSERT_EQ(lines.size(), 2u);
  lines.push_back("B=2");
  ASSERT_TRUE(ini.WriteLines(lines));
  EXPECT_EQ(ReadText(path), "\xEF\xBB\xBF[S]\r\nA=1\r\nB=2\r\n");
}

// A write that cannot happen leaves the old state and no temporary file.
TEST(RFile, FailedReplaceKeepsOldFile) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  std::filesystem::create_directory(path);  // the rename over it must fail
  RIniFile ini(path);
  EXPECT_FALSE(ini.WriteString("S", "A", "2"));
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(ini.GetString("S", "A", "none"), "none");
  RIniFile nowhere(dir.File("no/such/dir.ini"));
  EXPECT_FALSE(nowhere.WriteString("S", "A", "2"));
}

// Permission bits survive a replace; a symbolic link keeps pointing at the file.
TEST(RFile, ReplaceKeepsModeAndLink) {
  TempDir dir;
  const std::string real = dir.File("real.ini");
  const std::string link = dir.File("link.ini");
  WriteText(real, "old");
  ::chmod(real.c_str(), 0640);
  std::filesystem::create_symlink(real, link);
  RFileIdentity id;
  ASSERT_TRUE(ReplaceFileAtomic(link, "new", &id));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadText(real), "new");
  struct stat st;
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(StatFile(real), id);
  std::string data;
  RFileIdentity readId;
  ASSERT_TRUE(ReadWholeFile(link, &data, &readId));
  EXPECT_EQ(data, "new");
  EXPECT_EQ(readId, id);
  EXPECT_FALSE(ReadWholeFile(dir.Path(), &data));  // a directory is no file
  EXPECT_FALSE(StatFile(dir.File("none")).exists);
}

// Holds the pool's only worker until Open(), so deferred writes queue up.
class HeldWorker {
 public:
  explicit HeldWorker(RWorkPool& pool) : go_(open_.get_future().share()) {
    std::promise<void> started;
    std::future<void> running = started.get_future();
    (void)pool.Submit(
        {}, std::make_shared<RWorkCancel>(),
        [&started, go = go_]() -> RWorkPool::Result {
          started.set_value();
          go.wait();
          return nullptr;
        },
        [](const RWorkPool::Result&) {});
    running.wait();
  }
  ~HeldWorker() { Open(); }
  void Open() {
    if (!opened_) open_.set_value();
    opened_ = true;
  }

 private:
  std::promise<void> open_;
  std::shared_future<void> go_;
  bool opened_ = false;
};

// Deferred writes (the quota counter of an upload): every reader of the
// file sees each new value at once; a burst queued behind a busy worker
// goes to disk as one write of the last value; a direct write meanwhile
// carries the newest content and is never overwritten by the older content
// still queued; what the pool drops unrun at its end DrainWrites writes.
// Only the file handed the pool defers to it.
TEST(RIniFile, DeferredWritesKeepOrder) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "[USER=q]\nQuotaMaxCurrent=100,0\n");
  RMessageLoop loop;
  auto pool = std::make_unique<RWorkPool>(loop, 1, 8);
  RIniFile a(path);
  RIniFile b(path);
  a.SetWritePool([&pool] { return pool.get(); });
  auto quota = [](int used) { return "100," + std::to_string(used); };
  {
    HeldWorker held(*pool);
    for (int i = 1; i <= 100; ++i) {
      ASSERT_TRUE(a.WriteStringDeferred("USER=q", "QuotaMaxCurrent", quota(i)));
      ASSERT_EQ(b.GetString("USER=q", "QuotaMaxCurrent"), quota(i));
    }
    EXPECT_EQ(ReadText(path), "[USER=q]\nQuotaMaxCurrent=100,0\n") << "written on the loop";
    EXPECT_EQ(pool->Stats().queued, 1u) << "the burst was not coalesced";
    ASSERT_TRUE(b.WriteString("USER=q", "Other", "x"));
    EXPECT_EQ(ReadText(path), "[USER=q]\nQuotaMaxCurrent=100,100\nOther=x\n");
    ASSERT_TRUE(a.WriteStringDeferred("USER=q", "QuotaMaxCurrent", quota(101)));
  }
  for (int i = 0; i < 400 && RIniFile::WritesPending(); ++i) loop.RunOnce(5);
  EXPECT_FALSE(RIniFile::WritesPending());
  EXPECT_EQ(ReadText(path), "[USER=q]\nQuotaMaxCurrent=100,101\nOther=x\n");
  EXPECT_EQ(b.GetString("USER=q", "QuotaMaxCurrent"), quota(101));
  // On disk again, the file is the one to watch: another program's change
  // shows at once.
  WriteText(path, "[USER=q]\nQuotaMaxCurrent=100,1000\nOther=x\n");
  EXPECT_EQ(b.GetString("USER=q", "QuotaMaxCurrent"), quota(1000));
  // The pool is a's: b was given none and writes at once.
  ASSERT_TRUE(b.WriteStringDeferred("USER=q", "QuotaMaxCurrent", quota(1001)));
  EXPECT_EQ(ReadText(path), "[USER=q]\nQuotaMaxCurrent=100,1001\nOther=x\n");
  EXPECT_FALSE(RIniFile::WritesPending());
  {
    HeldWorker held(*pool);
    ASSERT_TRUE(a.WriteStringDeferred("USER=q", "QuotaMaxCurrent", quota(102)));
    held.Open();
    pool.reset();
  }
  RIniFile::DrainWrites();
  EXPECT_EQ(ReadText(path), "[USER=q]\nQuotaMaxCurrent=100,102\nOther=x\n");
  EXPECT_FALSE(RIniFile::WritesPending());
}

// A write asked for now while a worker is putting a deferred write of the
// same file on disk does not wait for that worker (the loop never does): it
// follows the running write, and the file ends with both changes. Before,
// the loop blocked on the writer's lock (the guard thread below lets the
// worker go after 5 s, so that shows as a failure, not a hang).
TEST(RIniFile, WriteNowNeverWaitsForTheWriter) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "[S]\nA=0\n");
  RMessageLoop loop;
  auto pool = std::make_unique<RWorkPool>(loop, 1, 8);
  RIniFile a(path);
  RIniFile b(path);
  a.SetWritePool([&pool] { return pool.get(); });
  auto inWrite = std::make_shared<std::promise<void>>();
  std::promise<void> letGo;
  std::shared_future<void> go = letGo.get_future().share();
  inidetail::IniWriteHookForTests([inWrite, go] {
    inWrite->set_value();
    go.wait();
  });
  ASSERT_TRUE(a.WriteStringDeferred("S", "A", "1"));
  inWrite->get_future().wait();
  inidetail::IniWriteHookForTests(nullptr);
  std::promise<void> done;
  std::thread guard([&letGo, finished = done.get_future()]() mutable {
    (void)finished.wait_for(std::chrono::seconds(5));
    letGo.set_value();
  });
  const bool waited = [&] {
    EXPECT_TRUE(b.WriteString("S", "B", "2"));
    return go.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }();
  done.set_value();
  guard.join();
  EXPECT_FALSE(waited) << "the write waited for the worker";
  EXPECT_EQ(b.GetString("S", "B"), "2");
  for (int i = 0; i < 400 && RIniFile::WritesPending(); ++i) loop.RunOnce(5);
  EXPECT_FALSE(RIniFile::WritesPending());
  EXPECT_EQ(ReadText(path), "[S]\nA=1\nB=2\n");
}

// Another program's change, seen by callers that can wait, is read and
// parsed on a worker: they share one read and hear of it once it is taken
// in; readers that do not wait keep the old content until then; a write
// meanwhile is built on the file as it is; a deferred write not yet on disk
// still wins over the file.
TEST(RIniFile, OutsideChangeReadOffTheLoop) {
  TempDir dir;
  const std::string path = dir.Write("a.ini", "[S]\nA=1\n");
  RMessageLoop loop;
  auto pool = std::make_unique<RWorkPool>(loop, 1, 8);
  RIniFile ini(path);
  RIniFile other(path);
  std::vector<std::string> got;
  std::vector<bool> waits;
  auto cancelled = std::make_shared<RWorkCancel>();
  cancelled->Cancel();
  const RWindowId w = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
    auto waiter = [&](const char* who) {
      return [&, who] { got.push_back(who + ini.GetString("S", "A")); };
    };
    if (m.message == 1) {
      waits.push_back(
          !ini.RefreshOffLoop(pool.get(), std::make_shared<RWorkCancel>(), waiter("a")));
      waits.push_back(
          !ini.RefreshOffLoop(pool.get(), std::make_shared<RWorkCancel>(), waiter("b")));
      waits.push_back(!ini.RefreshOffLoop(pool.get(), cancelled, waiter("x")));
    }
    if (m.message == 2) {
      EXPECT_TRUE(other.WriteString("S", "B", "x"));
    }
    got.push_back("read" + other.GetString("S", "A"));
    return 0;
  });
  auto pass = [&](uint32_t message) {
    loop.PostMessage(w, message, 0, 0);
    loop.RunOnce(0);
  };
  auto settle = [&](size_t entries) {
    for (int i = 0; i < 400 && got.size() < entries; ++i) loop.RunOnce(5);
  };
  pass(0);
  const uint64_t parses = ini.ParseCount();
  // Another size: the change shows in the file's identity at once.
  WriteText(path, "[S]\nA=22\n");
  {
    HeldWorker held(*pool);
    pass(1);
    pass(0);
    EXPECT_EQ(ini.ParseCount(), parses) << "parsed on the loop";
  }
  settle(5);
  EXPECT_EQ(got, (std::vector<std::string>{"read1", "read1", "read1", "a22", "b22"}));
  EXPECT_EQ(waits, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(ini.ParseCount(), parses + 1);

  got.clear();
  WriteText(path, "[S]\nA=333\n");
  {
    HeldWorker held(*pool);
    pass(1);
    pass(2);
  }
  settle(4);
  EXPECT_EQ(got, (std::vector<std::string>{"read22", "read333", "a333", "b333"}));
  EXPECT_EQ(ReadText(path), "[S]\nA=333\nB=x\n");

  got.clear();
  other.SetWritePool([&pool] { return pool.get(); });
  {
    HeldWorker held(*pool);
    ASSERT_TRUE(other.WriteStringDeferred("S", "A", "4"));
    WriteText(path, "[S]\nA=5\n");
    EXPECT_TRUE(ini.RefreshOffLoop(pool.get(), std::make_shared<RWorkCancel>(), [] {}));
    EXPECT_EQ(ini.GetString("S", "A"), "4");
  }
  for (int i = 0; i < 400 && RIniFile::WritesPending(); ++i) loop.RunOnce(5);
  EXPECT_EQ(ReadText(path), "[S]\nA=4\nB=x\n");
}

// A deferred write the disk refuses (a full disk; the file size limit
// stands in for it) is logged once, kept in memory for every reader, tried
// again with the next change and written once the disk takes it.
TEST(RIniFile, FailedDeferredWriteIsLoggedAndRetried) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  const std::string tail = std::string(2000, ';') + "\n";
  WriteText(path, "[S]\nA=1\n" + tail);
  const std::string big(8192, 'x');
  const int status = InChildWithFileLimit(4096, [&] {
    SetLanguage(RLanguage::English);
    vantor::test::LogCapture logged(" ");
    RIniFile ini(path);
    int fail = 0;
    if (!ini.WriteStringDeferred("S", "A", big) || !ini.WriteStringDeferred("S", "A", big + "y"))
      fail |= 1;
    if (ini.GetString("S", "A") != big + "y" || !RIniFile::WritesPending()) fail |= 2;
    const std::vector<std::string> want = {
        "2 CANNOT WRITE " + path +
        "! (File too large) - the changes stay in memory and are written with the next one"};
    if (logged.lines != want) {
      fail |= 4;
      for (const std::string& l : logged.lines) std::fprintf(stderr, "logged: %s\n", l.c_str());
    }
    struct rlimit lim = {RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    RIniFile::DrainWrites();
    if (RIniFile::WritesPending() || logged.lines.size() != 1) fail |= 8;
    return fail;
  });
  EXPECT_EQ(status, 0) << "1: refused, 2: not kept, 4: log lines, 8: not drained";
  EXPECT_EQ(ReadText(path), "[S]\nA=" + big + "y\n" + tail);
}

}  // namespace
