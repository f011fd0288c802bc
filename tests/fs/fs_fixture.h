// A temp tree mapped as drives C: and D:, removed at the end; the test fails
// when the tree cannot be removed or a file outside it was touched. Each
// test has file services of its own (settings and directory cache).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fs/RFsServices.h"
#include "fs/RLSDir.h"
#include "temp_dir.h"
#include "time_zone_scope.h"

namespace vantor::test {

class FsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    Mkdir("c");
    Mkdir("d");
    RFsSettingsStr s;
    s.drives.Clear();
    ASSERT_TRUE(s.drives.Set('C', root_ + "/c"));
    ASSERT_TRUE(s.drives.Set('D', root_ + "/d"));
    fs_.SetSettings(s);
  }

  // The settings in force and the cache, as the server hands them down.
  const RFsSettingsStr& Fs() const { return fs_.Settings(); }
  RDirCache& Cache() { return fs_.Cache(); }

  // Paths relative to the tree root ("c/ftp/joe").
  std::string P(const std::string& rel) const { return root_ + "/" + rel; }
  void Mkdir(const std::string& rel) { std::filesystem::create_directories(P(rel)); }
  void Write(const std::string& rel, const std::string& text = "", int64_t mtime = 0) {
    std::filesystem::create_directories(std::filesystem::path(P(rel)).parent_path());
    std::ofstream(P(rel), std::ios::binary) << text;
    if (mtime != 0) SetTime(rel, mtime);
  }
  void SetTime(const std::string& rel, int64_t t) {
    timespec ts[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, P(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
  }
  void Symlink(const std::string& target, const std::string& rel) {
    ASSERT_EQ(symlink(target.c_str(), P(rel).c_str()), 0);
  }
  void SetLinkFile(const std::string& name, const std::string& name2 = "") {
    RFsSettingsStr s = Fs();
    s.linkFile = name;
    s.linkFile2 = name2;
    fs_.SetSettings(s);
  }
  void SetLowerCase(bool on) {
    RFsSettingsStr s = Fs();
    s.lowerCase = on;
    fs_.SetSettings(s);
  }

  // A listing of `dir` by joe at 2026-05-28 20:26:40 UTC; tests set the rest.
  static RLSDirArgsStr LsArgs(const std::string& dir, const std::string& options,
                              const std::string& pattern = "", const std::string& home = "c:\\") {
    RLSDirArgsStr a;
    a.user = "joe";
    a.dir = dir;
    a.options = options;
    a.pattern = pattern;
    a.home = home;
    a.now = 1780000000;
    return a;
  }
  // Every line of a listing, each ended by "\n".
  static std::string Text(RLSDir& ls) {
    std::string out, line;
    while (ls.NextLine(line)) out += line + "\n";
    return out;
  }

  TimeZoneScope utc_{"UTC"};  // listings show UTC times
  TempDir tmp_;
  const std::string root_ = tmp_.Path();
  RFsServices fs_;
};

}  // namespace vantor::test
