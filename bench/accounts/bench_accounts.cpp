// Account store benchmark: 5,000 users in 50 groups, 20 Access rules each.
// Prints the median time of one read-permission query on the hot path (file
// unchanged), of the first query after another program changed the file, and
// of a query that writes (quota change, with the server's write pool) with
// the first query after it.
//
//   bench_accounts [work-dir] [--writes-only]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/RFTPSSecurity.h"
#include "platform/RMessageLoop.h"
#include "platform/RWorkPool.h"

using namespace vantor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kUsers = 5000;
constexpr int kGroups = 50;
constexpr int kRules = 20;

std::string MakeIni(int variant) {
  std::string s;
  s.reserve(8 << 20);
  s +=
      "[GLOBAL]\nSecurity=TRUE\nEncryptPasswords=TRUE\n; variant " + std::to_string(variant) + "\n";
  s += "[USER=** Default **]\nHomeDir=C:\\srv\\ftp\\pub\nTimeOut=10\n";
  for (int r = 1; r <= kRules; ++r)
    s += "Access" + std::to_string(r) + "=C:\\srv\\ftp\\pub\\d" + std::to_string(r) + ",RLP\n";
  for (int g = 0; g < kGroups; ++g) {
    s += "[GROUP=group" + std::to_string(g) + "]\nSpeedLimit=0\n";
    for (int r = 1; r <= kRules; ++r)
      s += "Access" + std::to_string(r) + "=C:\\srv\\ftp\\groups\\g" + std::to_string(g) + "\\d" +
           std::to_string(r) + ",RWLP\n";
  }
  for (int u = 0; u < kUsers; ++u) {
    std::string name = "user" + std::to_string(u);
    s += "[USER=" + name + "]\nGroup=group" + std::to_string(u % kGroups) +
         "\nPassword=abJnggxhB/yWI\nHomeDir=C:\\srv\\ftp\\home\\" + name + "\n";
    for (int r = 1; r <= kRules; ++r)
      s += "Access" + std::to_string(r) + "=C:\\srv\\ftp\\home\\" + name + "\\d" +
           std::to_string(r) + ",RWAMDCLP\n";
  }
  return s;
}

void WriteAged(const std::string& path, const std::string& text, int ageSeconds) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  auto t = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(ageSeconds);
  std::filesystem::last_write_time(path, t);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double QueryUs(RFTPSSecurity& s, const char* user, const char* path, uint32_t* flag) {
  AccessQuery q;
  ClearAccessQuery(q);
  q.code = QC_READ_FILE;
  q.session = 1;
  SetQueryUser(q, user);
  SetQueryAux(q, path);
  auto t0 = Clock::now();
  s.Answer(q);
  auto t1 = Clock::now();
  *flag = q.flag;
  return std::chrono::duration<double, std::micro>(t1 - t0).count();
}

struct Case {
  const char* name;
  const char* user;
  const char* path;
};

// Quota changes as a server makes them (the disk write on the pool's
// worker), each followed by a read query of another user: the time of the
// writing query, of the query right after it, and of the first query once
// the write is on disk.
void WritingQueries(const std::string& ini, int rounds) {
  WriteAged(ini, MakeIni(98) + "[USER=quota]\nQuotaEnable=yes\nQuotaMaxCurrent=1000000000,0\n", 60);
  RMessageLoop loop;
  RWorkPool pool(loop, 1, 64);
  RFTPSSecurity store(ini);
  store.Ini().SetWritePool([&pool] { return &pool; });
  RIniFile other(ini);
  (void)other.GetString("GLOBAL", "Security");
  uint32_t flag = 0;
  const char* path = "C:\\srv\\ftp\\home\\user4321\\d20\\file.bin";
  QueryUs(store, "user4321", path, &flag);
  std::vector<double> write;
  std::vector<double> after;
  std::vector<double> landed;
  std::vector<double> reader;
  for (int i = 0; i < rounds; ++i) {
    AccessQuery q;
    ClearAccessQuery(q);
    q.code = QC_QUOTA_CHANGE;
    SetQueryUser(q, "quota");
    SetQueryAux(q, "-1000");  // a charge: the stored use grows
    auto t0 = Clock::now();
    store.Answer(q);
    auto t1 = Clock::now();
    QueryUs(store, "user4321", path, &flag);
    auto t2 = Clock::now();
    (void)other.GetString("GLOBAL", "Security");
    auto t3 = Clock::now();
    write.push_back(Ms(t0, t1));
    after.push_back(Ms(t1, t2));
    reader.push_back(Ms(t2, t3));
    for (int k = 0; k < 2000 && RIniFile::WritesPending(); ++k) loop.RunOnce(5);
    landed.push_back(QueryUs(store, "user4321", path, &flag) / 1000.0);
  }
  std::printf("query that writes (quota change, write pool): median %7.3f ms\n", Median(write));
  std::printf("first query after it:                         median %7.3f ms\n", Median(after));
  std::printf("the file's other reader after it:              median %7.3f ms\n", Median(reader));
  std::printf("first query once the write is on disk:        median %7.3f ms\n", Median(landed));
}

// The same change seen by a caller that can wait (a session before its
// command): the file is read and parsed on a worker. The loop's share is
// the look and hand-over, then the pass that takes the parse in and answers
// the first query; the caller waits for the whole.
void OffLoopRead(RFTPSSecurity& store, const std::string& ini) {
  RMessageLoop loop;
  RWorkPool pool(loop, 1, 64);
  std::vector<double> handOver;
  std::vector<double> takeIn;
  std::vector<double> wait;
  uint32_t flag = 0;
  const char* path = "C:\\srv\\ftp\\home\\user4321\\d20\\file.bin";
  for (int i = 1; i <= 15; ++i) {
    WriteAged(ini, MakeIni(100 + i), 40 - i);
    bool answered = false;
    auto t0 = Clock::now();
    const bool current = store.Ini().RefreshOffLoop(&pool, std::make_shared<RWorkCancel>(), [&] {
      QueryUs(store, "user4321", path, &flag);
      answered = true;
    });
    auto t1 = Clock::now();
    handOver.push_back(Ms(t0, t1));
    if (current) continue;
    double longest = 0;
    // Passes that never sleep, so each is timed for its work alone.
    for (int k = 0; k < 20000 && !answered; ++k) {
      auto a = Clock::now();
      loop.RunOnce(0);
      longest = std::max(longest, Ms(a, Clock::now()));
      if (!answered) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    wait.push_back(Ms(t0, Clock::now()));
    takeIn.push_back(longest);
  }
  // Let the worker free the last old parse before the pool goes.
  for (int k = 0; k < 200 && !pool.Idle(); ++k) loop.RunOnce(5);
  if (wait.empty()) return;
  std::printf("off the loop: look and hand-over:     median %7.3f ms\n", Median(handOver));
  std::printf("off the loop: longest loop pass:      median %7.3f ms\n", Median(takeIn));
  std::printf("off the loop: wait until answered:    median %7.2f ms\n", Median(wait));
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
  std::string ini = dir + "/bench-accounts.ini";
  std::string text = MakeIni(0);
  std::printf("INI: %d users, %d groups, %d Access rules per section, %.1f MB\n", kUsers, kGroups,
              kRules, text.size() / 1e6);
  if (argc > 2 && std::string(argv[2]) == "--writes-only") {
    WritingQueries(ini, 15);
    std::filesystem::remove(ini);
    return 0;
  }
  WriteAged(ini, text, 60);

  RFTPSSecurity store(ini);
  const Case cases[] = {
      {"user rule 1 decides", "user4321", "C:\\srv\\ftp\\home\\user4321\\d1\\file.bin"},
      {"user rule 20 decides", "user4321", "C:\\srv\\ftp\\home\\user4321\\d20\\file.bin"},
      {"group rule 20 decides", "user4321", "C:\\srv\\ftp\\groups\\g21\\d20\\file.bin"},
      {"default rule 20 decides", "user4321", "C:\\srv\\ftp\\pub\\d20\\file.bin"},
      {"no rule (60 evaluated)", "user4321", "C:\\elsewhere\\file.bin"},
  };
  uint32_t flag = 0;
  for (const Case& c : cases) {
    std::vector<double> t;
    for (int i = 0; i < 20000; ++i) t.push_back(QueryUs(store, c.user, c.path, &flag));
    std::printf("hot path, %-26s median %7.2f us  (flag %u)\n", c.name, Median(t), flag);
  }

  // First query after the file changed: the INI layer re-reads and re-parses it.
  std::vector<double> first;
  std::vector<double> racy;
  for (int i = 1; i <= 15; ++i) {
    WriteAged(ini, MakeIni(i), 60 - i);
    first.push_back(QueryUs(store, "user4321", cases[1].path, &flag) / 1000.0);
    // A file written "just now" is re-checked by content on every read for a
    // short while (its time stamp cannot yet prove it unchanged).
    std::ofstream(ini, std::ios::app) << "; touched\n";
    QueryUs(store, "user4321", cases[1].path, &flag);
    std::vector<double> t;
    for (int k = 0; k < 20; ++k) t.push_back(QueryUs(store, "user4321", cases[1].path, &flag));
    racy.push_back(Median(t) / 1000.0);
  }
  std::printf("first query after the file changed:  median %7.2f ms\n", Median(first));
  std::printf("queries within 2 s of a write (racy): median %7.2f ms\n", Median(racy));
  OffLoopRead(store, ini);

  // Where the re-read goes: the INI layer's own parse of the file.
  // (A copy of the file: another object of the same path would share the
  // store's parse.)
  const std::string copy = dir + "/bench-accounts-copy.ini";
  std::filesystem::copy_file(ini, copy, std::filesystem::copy_options::overwrite_existing);
  std::vector<double> parse;
  for (int i = 0; i < 5; ++i) {
    RIniFile fresh(copy);
    auto t0 = Clock::now();
    (void)fresh.HasSection("GLOBAL");
    parse.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::printf("INI layer: read and parse alone:      median %7.2f ms\n", Median(parse));

  // A query that writes (quota charge): the INI layer rewrites the whole file.
  WriteAged(ini, MakeIni(99) + "[USER=quota]\nQuotaEnable=yes\nQuotaMaxCurrent=1000000,0\n", 60);
  std::vector<double> writes;
  for (int i = 0; i < 5; ++i) {
    AccessQuery q;
    ClearAccessQuery(q);
    q.code = QC_QUOTA_CHANGE;
    SetQueryUser(q, "quota");
    SetQueryAux(q, "-1");
    auto t0 = Clock::now();
    store.Answer(q);
    writes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::printf("query that writes (quota change):     median %7.2f ms\n", Median(writes));
  WritingQueries(ini, 15);
  std::filesystem::remove(copy);
  if (!std::getenv("BENCH_KEEP")) std::filesystem::remove(ini);
  return 0;
}
