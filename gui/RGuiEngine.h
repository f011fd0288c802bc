// What the administration GUI asks of the engine, and what it learns about
// sessions. The window never touches engine objects directly: a host object
// (RGuiHost) implements these on top of the engine's messages, and the tests
// implement them with fakes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gui/RSessionText.h"
#include "log/RFTPSLogger.h"

namespace vantor {

// Answers of session queries 12, 13 and 14.
struct RSessionTimesStr {
  int connectedHours = 0;
  int connectedMinutes = 0;
  int connectedSeconds = 0;
  int idleHours = 0;
  int idleMinutes = 0;
  int idleSeconds = 0;
  int64_t rate = -1;  // bytes in the previous second; -1 outside a transfer
};
struct RSessionNameStr {
  bool resolved = false;
  std::string name;
};
struct RSessionBytesStr {
  uint64_t sent = 0;
  uint64_t received = 0;
  std::string text;
};

class RSessionSource {
 public:
  virtual ~RSessionSource() = default;
  // Session numbers in the order of the server's session list (query 1).
  virtual std::vector<uint32_t> SessionNumbers() = 0;
  // Queries 2, 12, 13, 14; nothing when the session no longer exists.
  virtual std::optional<RSessionLineStr> Summary(uint32_t session) = 0;
  virtual std::optional<RSessionTimesStr> Timing(uint32_t session) = 0;
  virtual std::optional<RSessionNameStr> Host(uint32_t session) = 0;
  virtual std::optional<RSessionBytesStr> Traffic(uint32_t session) = 0;
  // Query 6: the user information window is open (gates notifications).
  virtual void SetInfoWindowOpen(bool open) = 0;
  // Posts the removal of a session.
  virtual void Kill(uint32_t session) = 0;
  // The user information window now tracks `session`: a source that must
  // ask for its dialogue lines (a remote server) starts doing so.
  virtual void Follow(uint32_t session) { (void)session; }
};

class RGuiEngine {
 public:
  virtual ~RGuiEngine() = default;
  virtual void ToggleOnline() = 0;
  virtual bool FileLogging() const = 0;
  virtual void SetFileLogging(bool on) = 0;
  virtual bool ScreenLogging() const = 0;
  virtual void SetScreenLogging(bool on) = 0;
  // Sessions that exist now (for the exit confirmation).
  virtual uint32_t ConnectionsNow() const = 0;
  // New clients are turned away and the program closes after the last one.
  virtual void SetExitPending() = 0;
  // Re-read the configuration (MSG_RELOAD_SETTINGS).
  virtual void ReloadSettings() = 0;
  // The INI path; empty when the server runs without a configuration.
  virtual std::string IniPath() const = 0;
  // The logger's settings, and its save (which also applies them).
  virtual RLogSettingsStr LogSettings() const = 0;
  [[nodiscard]] virtual bool SaveLogSettings(const RLogSettingsStr& s) = 0;
  // Nothing while there is no server object (queries go unanswered).
  virtual RSessionSource* Sessions() = 0;
};

}  // namespace vantor
