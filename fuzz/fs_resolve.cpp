// fuzz-libs: fs accounts config platform util
// Fuzzes ResolvePath on a small temp tree mapped as drives C: and D:, with
// link list entries and symbolic links inside the home directory. Checks
// that a confined user's result always lies inside home, that ToClientPath
// of it is accepted again, and that the free user's result is a drive path
// or a device name.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fs/RFsServices.h"
#include "fs/RPath.h"

namespace {

const std::string kHome = "c:\\ftp\\joe";
std::string gRoot;
// Made once and kept for the process (the fuzzer never returns).
vantor::RFsServices* gFs = nullptr;

void RemoveTree() {
  std::error_code ec;
  std::filesystem::remove_all(gRoot, ec);
}

bool InsideHome(const std::string& p) {
  return vantor::StartsWithNoCase(p, kHome) &&
         (p.size() == kHome.size() || p[kHome.size()] == '\\');
}

void MakeTree() {
  char tmpl[] = "/tmp/vantor-fuzz-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  std::string root = tmpl;
  gRoot = root;
  atexit(RemoveTree);
  for (const char* d :
       {"/c", "/d", "/c/ftp", "/c/ftp/joe", "/c/ftp/joe/sub", "/c/ftp/joey", "/d/x"}) {
    mkdir((root + d).c_str(), 0755);
  }
  std::ofstream(root + "/c/ftp/joe/links.txt") << "ext|c:\\\nd|d:\\x\nin|c:\\ftp\\joe\\sub\n"
                                                  "a|c:\\ftp\\joe\\b\nb|c:\\ftp\\joe\\a\n";
  if (symlink((root + "/c").c_str(), (root + "/c/ftp/joe/root").c_str()) != 0) abort();
  if (symlink("../..", (root + "/c/ftp/joe/sub/up").c_str()) != 0) abort();
  if (symlink("l2", (root + "/c/ftp/joe/l1").c_str()) != 0) abort();
  if (symlink("l1", (root + "/c/ftp/joe/l2").c_str()) != 0) abort();
  vantor::RFsSettingsStr s;
  s.drives.Clear();
  if (!s.drives.Set('C', root + "/c") || !s.drives.Set('D', root + "/d")) abort();
  s.linkFile = "links.txt";
  gFs = new vantor::RFsServices;
  gFs->SetSettings(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (MakeTree(), true);
  (void)ready;
  if (size == 0) return 0;
  uint8_t flags = data[0];
  std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
  const char* curs[] = {"c:\\ftp\\joe", "c:\\ftp\\joe\\sub", "c:\\ftp\\joe\\gone", "c:\\ftp"};
  std::string cur = curs[flags & 3];
  bool device = (flags & 4) != 0;

  const vantor::RFsSettingsStr& fs = gFs->Settings();
  std::string confined = path;
  vantor::ResolvePath(fs, confined, cur == "c:\\ftp" ? kHome : cur, kHome, device, false, true);
  if (!vantor::IsReservedDevice(confined) && !InsideHome(confined)) abort();
  std::string again = vantor::ToClientPath(fs, confined, kHome, true);
  vantor::ResolvePath(fs, again, kHome, kHome, device, false, true);
  if (!vantor::IsReservedDevice(again) && !InsideHome(again)) abort();

  std::string free = path;
  vantor::ResolvePath(fs, free, cur, kHome, device, false, false);
  if (free.size() > vantor::kMaxLocalPath) abort();
  return 0;
}
