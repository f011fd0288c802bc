#include "gui/RStatusText.h"

#include "gui/RGuiStrings.h"
#include "util/RStringTable.h"

namespace vantor {

const char* TrayIconName(RTrayIcon icon) {
  switch (icon) {
    case RTrayIcon::Norm:
      return "TrayNormIcon";
    case RTrayIcon::User:
      return "TrayUserIcon";
    case RTrayIcon::Trans:
      return "TrayTransIcon";
    case RTrayIcon::NormOffline:
      return "TrayNormOfflineIcon";
    case RTrayIcon::UserOffline:
      return "TrayUserOfflineIcon";
    case RTrayIcon::TransOffline:
      return "TrayTransOfflineIcon";
  }
  return "";
}

std::string ThroughputText(double bytesPerSec) {
  std::string t = RFormat("%.3f", bytesPerSec / 1024.0);
  if (t.size() >= 8) {
    t.resize(t.size() - 4);
  } else if (t.size() > 5) {
    t.resize(5);
  }
  return t;
}

RTrayIcon ChooseTrayIcon(int32_t transfers, int32_t users, bool online) {
  if (online) {
    if (transfers != 0) return RTrayIcon::Trans;
    if (users != 0) return RTrayIcon::User;
    return RTrayIcon::Norm;
  }
  if (transfers != 0) return RTrayIcon::TransOffline;
  if (users != 0) return RTrayIcon::UserOffline;
  return RTrayIcon::NormOffline;
}

RStatusDisplay::RStatusDisplay()
    : sockets_(LoadStr(S_GUI_SOCKETS_INITIAL)),
      users_(LoadStr(S_GUI_USERS_INITIAL)),
      transfers_(LoadStr(S_GUI_XFERS_INITIAL)),
      throughput_(LoadStr(S_GUI_KBPS_INITIAL)) {}

unsigned RStatusDisplay::Apply(uint32_t kind, int32_t value, int32_t value2) {
  switch (kind) {
    case STATUS_SOCKETS:
      traySockets_ = value;
      sockets_ = FormatStr(S_GUI_SOCKETS, value, maxSockets_);
      return kSockets;
    case STATUS_MAX_SOCKETS:
      maxSockets_ = value < 0 ? 0 : value;
      sockets_ = FormatStr(S_GUI_SOCKETS, 0, maxSockets_);
      return kSockets;
    case STATUS_USERS:
      trayUsers_ = value;
      users_ = maxUsers_ < 0 ? FormatStr(S_GUI_USERS, value, value2)
                             : FormatStr(S_GUI_USERS_LIMIT, value, value2, maxUsers_);
      return kUsers;
    case STATUS_MAX_USERS:
      maxUsers_ = value;
      return 0;
    case STATUS_TRANSFERS:
      trayTransfers_ = value;
      transfers_ = FormatStr(S_GUI_XFERS, value);
      return kTransfers;
    case STATUS_THROUGHPUT:
      trayKBps_ = value / 1024.0;
      throughput_ = FormatStr(S_GUI_KBPS, ThroughputText(value));
      return kThroughput;
    case STATUS_ONLINE:
      online_ = value != 0;
      return 0;
    default:
      return 0;
  }
}

std::string RStatusDisplay::ToolTip() const {
  return FormatStr(S_GUI_TOOLTIP, ThroughputText(trayKBps_ * 1024.0), traySockets_, trayUsers_,
                   trayTransfers_);
}

}  // namespace vantor
