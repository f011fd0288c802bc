// INI layer figures: parse of a file with 5,000 user sections, cached
// lookups (each one stats the file), and an atomic write.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/RIniFile.h"

using namespace vantor;
using Clock = std::chrono::steady_clock;

namespace {
double Us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}
}  // namespace

int main() {
  std::string dir = (std::filesystem::temp_directory_path() / "vantor-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  const std::string path = dir + "/VANTOR.INI";
  {
    std::ofstream out(path);
    out << "[GLOBAL]\n";
    for (int k = 0; k < 100; ++k) out << "Key" << k << "=" << k << "\n";
    for (int u = 0; u < 5000; ++u) {
      out << "[USER=user" << u << "]\nPassword=vtNaMesyMmB2A\nHomeDir=C:\\home\\user" << u
          << "\nAccess1=C:\\home\\user" << u << ",RWAMLCDP\nAccess2=C:\\pub,RLP\nTimeOut=45\n\n";
    }
  }
  const auto size = std::filesystem::file_size(path);
  // A configuration in place for a while; a file changed within the last two
  // seconds is compared byte for byte on every read (see RIniFile.cpp).
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  RIniFile ini(path);
  auto t0 = Clock::now();
  volatile size_t sink = ini.GetString("USER=user0", "HomeDir").size();
  const double parseUs = Us(Clock::now() - t0);

  constexpr int kLookups = 200000;
  t0 = Clock::now();
  for (int i = 0; i < kLookups; ++i) {
    sink = sink + ini.GetString("USER=USER" + std::to_string(i % 5000), "homedir").size();
  }
  const double lookupUs = Us(Clock::now() - t0) / kLookups;
  t0 = Clock::now();
  for (int i = 0; i < kLookups; ++i)
    sink = sink + static_cast<size_t>(ini.GetInt("global", "KEY99", 0));
  const double globalUs = Us(Clock::now() - t0) / kLookups;

  constexpr int kWrites = 50;
  t0 = Clock::now();
  for (int i = 0; i < kWrites; ++i) {
    if (!ini.WriteString("USER=user2500", "TimeOut", std::to_string(i))) return 1;
  }
  const double writeUs = Us(Clock::now() - t0) / kWrites;
  // A read right after a write, and after another writer's change (which
  // then falls in the just-changed window).
  t0 = Clock::now();
  sink = sink + ini.GetString("USER=user2500", "TimeOut").size();
  const double afterOwnWriteUs = Us(Clock::now() - t0);
  RIniFile other(path);
  if (!other.WriteString("USER=user1", "TimeOut", "9")) return 1;
  t0 = Clock::now();
  sink = sink + ini.GetString("USER=user1", "TimeOut").size();
  const double afterOtherWriteUs = Us(Clock::now() - t0);

  std::printf("file: 5000 user sections, %ju bytes\n", static_cast<uintmax_t>(size));
  std::printf("first read (read + parse):          %10.1f us\n", parseUs);
  std::printf("user-section lookup (stat + hash):  %10.2f us\n", lookupUs);
  std::printf("[GLOBAL] GetInt, 100 keys:          %10.2f us\n", globalUs);
  std::printf("atomic write (fsync, rename):       %10.1f us\n", writeUs);
  std::printf("read after own write:               %10.1f us\n", afterOwnWriteUs);
  std::printf("read after another writer (reparse):%10.1f us\n", afterOtherWriteUs);
  t0 = Clock::now();
  for (int i = 0; i < 100; ++i) sink = sink + ini.GetString("USER=user1", "TimeOut").size();
  std::printf("lookup within 2 s of a change:      %10.1f us\n", Us(Clock::now() - t0) / 100);
  std::printf("parses: %ju\n", static_cast<uintmax_t>(ini.ParseCount()));
  std::filesystem::remove_all(dir);
  return sink == 0 ? 1 : 0;
}
