// The bounded recursive listing: `LIST -R` of a tree of 200,000 entries
// (200 directories of 999 files) with the default MaxListEntries, timed in
// paired rounds against the bare walk (readdir + statx of every entry, which
// any long listing has to pay), and the resident memory after 20 different
// option spellings of it against the cache budget.
//
// Usage: bench_bound DIR [ROUNDS]   (DIR is created and filled if empty)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fs/RDirTextList.h"
#include "fs/RFsServices.h"
#include "fs/RLSDir.h"
#include "platform/RFileSys.h"

using namespace vantor;

namespace {

constexpr int kDirs = 200;
constexpr int kFilesPerDir = 999;  // with its directory: 1000 entries each

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

void Fill(const std::string& root) {
  ::mkdir(root.c_str(), 0755);
  for (int d = 0; d < kDirs; ++d) {
    char dir[512];
    std::snprintf(dir, sizeof(dir), "%s/dir%03d", root.c_str(), d);
    if (::mkdir(dir, 0755) != 0) continue;  // already there
    for (int f = 0; f < kFilesPerDir; ++f) {
      char name[600];
      std::snprintf(name, sizeof(name), "%s/file%04d.dat", dir, f);
      int fd = ::open(name, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
}

// VmRSS of this process in KiB.
long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return -1;
}

struct ListStr {
  size_t lines = 0;
  bool cut = false;
  bool cached = false;
};

ListStr List(RFsServices& fs, const std::string& options) {
  RLSDirArgsStr a;
  a.user = "bench";
  a.dir = "c:\\";
  a.options = options;
  a.home = "c:\\";
  RLSDir ls(fs.Settings(), fs.Cache(), a);
  ListStr r;
  r.lines = ls.Lines()->Count();
  r.cut = ls.Cut();
  r.cached = ls.FromCache();
  return r;
}

double Walk(const std::string& root) {
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::string> dirs = {root};
  while (!dirs.empty()) {
    std::string d = dirs.back();
    dirs.pop_back();
    RDirReader r;
    if (!r.Open(d)) continue;
    RDirEntryStr e;
    RFileStatStr st;
    while (r.Next(e)) {
      if (e.name == "." || e.name == "..") continue;
      if (r.StatEntry(e.name, st) && st.type == RFileType::Directory)
        dirs.push_back(d + "/" + e.name);
    }
  }
  return Ms(t0, std::chrono::steady_clock::now());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  Fill(root);
  RFsSettingsStr s;
  s.drives.Clear();
  if (!s.drives.Set('C', root)) return 2;
  RFsServices fs;
  fs.SetSettings(s);  // MaxListEntries 200000, DirCacheMaxMB 64
  const long rssStart = RssKiB();

  // Paired rounds: the walk and the listing back to back, the ratio per round.
  std::vector<double> list, walk, ratio;
  ListStr first;
  for (int i = 0; i < rounds; ++i) {
    fs.Cache().Setup(25, 600);  // empty cache: the listing reads the disk
    double w = Walk(root);
    auto t0 = std::chrono::steady_clock::now();
    first = List(fs, "-Rl");  // what LIST -R sends
    double l = Ms(t0, std::chrono::steady_clock::now());
    if (first.cached) return 1;
    list.push_back(l);
    walk.push_back(w);
    ratio.push_back(l / w);
  }
  std::sort(list.begin(), list.end());
  std::sort(walk.begin(), walk.end());
  std::sort(ratio.begin(), ratio.end());
  std::printf("LIST -R of %d entries: %zu lines, cut %s\n", kDirs * (kFilesPerDir + 1), first.lines,
              first.cut ? "yes" : "no");
  std::printf("  listing (ms)      median %.0f  min %.0f  max %.0f\n", list[list.size() / 2],
              list.front(), list.back());
  std::printf("  bare walk (ms)    median %.0f\n", walk[walk.size() / 2]);
  std::printf("  listing / walk    median %.2f  spread %.2f..%.2f  (%d paired rounds)\n",
              ratio[ratio.size() / 2], ratio.front(), ratio.back(), rounds);

  // 20 spellings that mean different things: each is a cache entry of its
  // own until the byte budget evicts the oldest.
  const char* spellings[] = {"-Rl",  "-Ril", "-Rsl", "-Rnl", "-RGl", "-RTl",      "-Rtl",
                             "-RSl", "-Rrl", "-RXl", "-RUl", "-Rcl", "-Rul",      "-Rkl",
                             "-RFl", "-Rpl", "-Rql", "-Rbl", "-RQl", "-Rl -w:100"};
  fs.Cache().Setup(150, 600);
  for (const char* o : spellings) (void)List(fs, o);
  RDirCacheStatsStr st = fs.Cache().Stats();
  const long rssEnd = RssKiB();
  std::printf("after 20 spellings: cache %lld of %lld KiB, %lld listings kept\n",
              static_cast<long long>(st.bytes / 1024), static_cast<long long>(st.maxBytes / 1024),
              static_cast<long long>(st.filled));
  std::printf("  resident memory   %ld KiB at start, %ld KiB after (+%ld KiB)\n", rssStart, rssEnd,
              rssEnd - rssStart);
  return 0;
}
