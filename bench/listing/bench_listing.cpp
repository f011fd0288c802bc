// Long-format listing of a directory of 10,000 files: generated from disk
// (cache miss) and served from the directory cache (hit). Prints the median
// and the best of several runs in milliseconds.
//
// Usage: bench_listing DIR [FILES]   (DIR is created and filled if empty)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/RDirTextList.h"
#include "fs/RFsServices.h"
#include "fs/RLSDir.h"
#include "platform/RFileSys.h"

using namespace vantor;

namespace {

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

void Fill(const std::string& dir, int files) {
  for (int i = 0; i < files; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "%s/file%05d.dat", dir.c_str(), i);
    int fd = ::open(name, O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0) continue;
    std::string data(static_cast<size_t>(i % 4096), 'x');
    if (::write(fd, data.data(), data.size()) < 0) std::perror("write");
    ::close(fd);
  }
}

size_t ListOnce(RFsServices& fs, bool* fromCache) {
  RLSDirArgsStr a;
  a.user = "bench";
  a.dir = "c:\\";
  a.options = "al";  // what LIST sends without options
  a.home = "c:\\";
  RLSDir ls(fs.Settings(), fs.Cache(), a);
  *fromCache = ls.FromCache();
  std::vector<std::string> lines = ls.TakeLines();
  return lines.size();
}

struct Figures {
  double median;
  double best;
};

Figures Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [FILES]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  int files = argc > 2 ? std::atoi(argv[2]) : 10000;
  ::mkdir(dir.c_str(), 0755);
  Fill(dir, files);

  RFsSettingsStr s;
  s.drives.Clear();
  if (!s.drives.Set('C', dir)) return 2;
  RFsServices fs;
  fs.SetSettings(s);

  const int runs = 15;
  std::vector<double> gen, hit, floor;
  // The floor: reading the directory and one status call per entry, which
  // any long listing (ls -l too) has to pay.
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    RDirReader r;
    if (!r.Open(dir)) return 1;
    RDirEntryStr e;
    RFileStatStr st;
    while (r.Next(e)) (void)r.StatEntry(e.name, st);
    floor.push_back(Ms(t0, std::chrono::steady_clock::now()));
  }
  size_t lines = 0;
  for (int i = 0; i < runs; ++i) {
    fs.Cache().Setup(25, 600);  // empty cache: the next listing reads the disk
    bool cached = true;
    auto t0 = std::chrono::steady_clock::now();
    lines = ListOnce(fs, &cached);
    auto t1 = std::chrono::steady_clock::now();
    if (cached) return 1;
    gen.push_back(Ms(t0, t1));
    t0 = std::chrono::steady_clock::now();
    size_t again = ListOnce(fs, &cached);
    t1 = std::chrono::steady_clock::now();
    if (!cached || again != lines) return 1;
    hit.push_back(Ms(t0, t1));
  }
  Figures g = Summarise(gen), h = Summarise(hit), f = Summarise(floor);
  std::printf("lines per listing          %zu\n", lines);
  std::printf("readdir + statx only (ms)  median %.2f  best %.2f\n", f.median, f.best);
  std::printf("generated from disk (ms)   median %.2f  best %.2f  (target <= 50)\n", g.median,
              g.best);
  std::printf("served from cache (ms)     median %.2f  best %.2f  (target <= 5)\n", h.median,
              h.best);
  return 0;
}
