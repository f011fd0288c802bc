// A stand-in engine for the widget tests: counts what the window asks for,
// keeps a real logger on a temporary INI file, and serves sessions from a
// table the test fills.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "gui/RGuiEngine.h"
#include "log/RFTPSLogger.h"
#include "log/RLogger.h"
#include "platform/RClock.h"

namespace vantor::guitest {

class FakeSessions : public RSessionSource {
 public:
  std::vector<uint32_t> SessionNumbers() override {
    std::vector<uint32_t> v;
    for (const auto& [n, s] : lines) v.push_back(n);
    return v;
  }
  std::optional<RSessionLineStr> Summary(uint32_t n) override {
    auto it = lines.find(n);
    if (it == lines.end()) return std::nullopt;
    return it->second;
  }
  std::optional<RSessionTimesStr> Timing(uint32_t n) override {
    if (!lines.count(n)) return std::nullopt;
    return times[n];
  }
  std::optional<RSessionNameStr> Host(uint32_t n) override {
    ++hostQueries;
    if (!lines.count(n)) return std::nullopt;
    return names[n];
  }
  std::optional<RSessionBytesStr> Traffic(uint32_t n) override {
    if (!lines.count(n)) return std::nullopt;
    return bytes[n];
  }
  void SetInfoWindowOpen(bool open) override { windowOpen = open; }
  void Kill(uint32_t n) override { killed.push_back(n); }

  std::map<uint32_t, RSessionLineStr> lines;
  std::map<uint32_t, RSessionTimesStr> times;
  std::map<uint32_t, RSessionNameStr> names;
  std::map<uint32_t, RSessionBytesStr> bytes;
  std::vector<uint32_t> killed;
  bool windowOpen = false;
  int hostQueries = 0;
};

class FakeEngine : public RGuiEngine {
 public:
  explicit FakeEngine(std::string ini) : ini_(std::move(ini)), logger_(pane_, clock_) {
    RIniFile f(ini_);
    logger_.LoadSettings(&f);
  }
  void ToggleOnline() override { ++toggles; }
  bool FileLogging() const override { return fileLogging; }
  void SetFileLogging(bool on) override { fileLogging = on; }
  bool ScreenLogging() const override { return screenLogging; }
  void SetScreenLogging(bool on) override { screenLogging = on; }
  uint32_t ConnectionsNow() const override { return users; }
  void SetExitPending() override { exitPending = true; }
  void ReloadSettings() override { ++reloads; }
  std::string IniPath() const override { return ini_; }
  RLogSettingsStr LogSettings() const override { return logger_.Settings(); }
  bool SaveLogSettings(const RLogSettingsStr& s) override {
    RIniFile f(ini_);
    return logger_.SaveSettings(f, s);
  }
  RSessionSource* Sessions() override { return &sessions; }

  int toggles = 0;
  int reloads = 0;
  bool fileLogging = false;
  bool screenLogging = true;
  bool exitPending = false;
  uint32_t users = 0;
  FakeSessions sessions;

 private:
  std::string ini_;
  RManualClock clock_;
  RLogger pane_;
  RFTPSLogger logger_;
};

}  // namespace vantor::guitest
