// Texts and icon choice of the status displays: the main window's status bar
// fields and the tray icon's tool-tip and picture. Pure state, no widgets, so
// every rule is testable without a display.
//
// The engine reports to the front end with status records (kind, value,
// value2); `RStatusDisplay::Apply` takes them in arrival order.
#pragma once

#include <cstdint>
#include <string>

namespace vantor {

// Kinds of status record.
enum : uint32_t {
  STATUS_SOCKETS = 0,
  STATUS_MAX_SOCKETS = 1,
  STATUS_USERS = 2,
  STATUS_MAX_USERS = 3,
  STATUS_TRANSFERS = 4,
  STATUS_THROUGHPUT = 5,
  STATUS_ONLINE = 7,
};

// The six tray pictures.
enum class RTrayIcon {
  Norm,          // TrayNormIcon
  User,          // TrayUserIcon
  Trans,         // TrayTransIcon
  NormOffline,   // TrayNormOfflineIcon
  UserOffline,   // TrayUserOfflineIcon
  TransOffline,  // TrayTransOfflineIcon
};
const char* TrayIconName(RTrayIcon icon);

// Kilobytes per second as shown: "%.3f" of bytesPerSec / 1024, the point and
// decimals dropped from 8 characters on, otherwise cut to 5 characters.
std::string ThroughputText(double bytesPerSec);

// First rule that holds: transfers and on-line, users and on-line, on-line,
// transfers, users, otherwise the plain off-line picture.
RTrayIcon ChooseTrayIcon(int32_t transfers, int32_t users, bool online);

class RStatusDisplay {
 public:
  enum Field : unsigned { kSockets = 1, kUsers = 2, kTransfers = 4, kThroughput = 8 };

  // Fields start with their creation texts ("0 of 0 sockets", ...).
  RStatusDisplay();

  // Takes one record; returns the status bar fields it changed (Field bits).
  unsigned Apply(uint32_t kind, int32_t value, int32_t value2);

  const std::string& SocketsText() const { return sockets_; }
  const std::string& UsersText() const { return users_; }
  const std::string& TransfersText() const { return transfers_; }
  const std::string& ThroughputField() const { return throughput_; }

  // Tray state: the latest values of kinds 0, 2, 4, 5 and 7.
  std::string ToolTip() const;
  RTrayIcon Icon() const { return ChooseTrayIcon(trayTransfers_, trayUsers_, online_); }
  bool Online() const { return online_; }
  int32_t MaxUsers() const { return maxUsers_; }

 private:
  int32_t maxSockets_ = 0;
  int32_t maxUsers_ = 0;
  int32_t traySockets_ = 0;
  int32_t trayUsers_ = 0;
  int32_t trayTransfers_ = 0;
  double trayKBps_ = 0;
  bool online_ = false;
  std::string sockets_;
  std::string users_;
  std::string transfers_;
  std::string throughput_;
};

}  // namespace vantor
