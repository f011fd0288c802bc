// The administration GUI's view of its window settings and its command line.
// The keys themselves are read and written by config/RGlobalSettings
// (`Window`, `StartIconic`, `StartMaximized`, `Invisible`, `ShowToolBar`,
// `ShowBmpMenus`, `UserInfoWin`) and log/RFTPSLogger (`LogFont`); this adds
// what only the window needs.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "log/RFTPSLogger.h"

namespace vantor {

// "%d,%d,%d,%d" (left, top, width, height); nothing unless all four numbers
// read and the size is at least 1 by 1 (a zero-sized window cannot be seen).
std::optional<std::array<int, 4>> ParseWindowPlacement(std::string_view text);

struct RWindowSettingsStr {
  std::optional<std::array<int, 4>> placement;  // `Window`
  bool startIconic = false;
  bool startMaximized = false;
  bool invisible = false;
  bool showToolBar = true;
  bool showBmpMenus = true;
  std::optional<std::array<int, 4>> userInfoPlacement;  // `UserInfoWin`
  RLogFontStr logFont;                                  // `LogFont`
};
RWindowSettingsStr LoadWindowSettings(const RIniFile& ini);

// `UserInfoWin` := "%d,%d,%d,%d".
[[nodiscard]] bool SaveUserInfoPlacement(RIniFile& ini, int left, int top, int width, int height);

// The command-line switches the window honours (-h, -i, -s, -u).
struct RGuiOptionsStr {
  bool hidden = false;
  bool iconic = false;
  bool single = false;
  bool noConfirm = false;
};

}  // namespace vantor
