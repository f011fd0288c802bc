// Window settings of the administration GUI in [GLOBAL] of the INI file, the
// log pane font, and the front end's command line. No widgets here: the main
// window turns these records into geometry and visibility.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "config/RIniFile.h"

namespace vantor {

// "%d,%d,%d,%d" (left, top, width, height); nothing unless all four numbers
// read and the size is at least 1 by 1 (a zero-sized window cannot be seen).
std::optional<std::array<int, 4>> ParseWindowPlacement(std::string_view text);
std::string WindowPlacementText(int left, int top, int width, int height);

struct RLogFontStr {
  int height = -13;  // negative: character height in pixels
  int weight = 500;
  bool italic = false;
  bool underline = false;
  bool strikeOut = false;
  int charSet = 0;
  std::string face = "Arial";
};
// "%d,%d,%d,%d,%d,%d,%s"; a text that does not read completely gives the
// default font.
RLogFontStr ParseLogFont(std::string_view text);
std::string LogFontText(const RLogFontStr& f);

struct RWindowSettingsStr {
  std::optional<std::array<int, 4>> placement;  // `Window`
  bool startIconic = false;                     // `StartIconic`: TRUE, YES, 1 only
  bool startMaximized = false;                  // `StartMaximized`: TRUE, YES, 1 only
  bool invisible = false;                       // `Invisible`: TRUE, YES, 1 only
  bool showToolBar = true;                      // `ShowToolBar`: off only for FALSE, NO, 0, OFF
  bool showBmpMenus = true;                     // `ShowBmpMenus`: as `ShowToolBar`
  std::optional<std::array<int, 4>> userInfoPlacement;  // `UserInfoWin`
  RLogFontStr logFont;                                  // `LogFont`
};
RWindowSettingsStr LoadWindowSettings(const RIniFile& ini);

// What the main window looks like when it closes.
struct RWindowExitStateStr {
  bool visibleNormal = true;  // visible and not minimised
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool maximized = false;
  bool showToolBar = true;
  bool showBmpMenus = true;
};
// Writes `Window` (only for a visible, not minimised window), `StartIconic`,
// `StartMaximized`, `ShowToolBar` and `ShowBmpMenus` in one atomic write.
[[nodiscard]] bool SaveWindowSettings(RIniFile& ini, const RWindowExitStateStr& s);
[[nodiscard]] bool SaveUserInfoPlacement(RIniFile& ini, int left, int top, int width, int height);

// Boolean words, compared without regard to case.
bool IsStrictTrueWord(std::string_view v);  // TRUE YES 1
bool IsFalseWord(std::string_view v);       // FALSE NO 0 OFF

// Command line: "-x" or "/x" with the letters h, i, s, u in either case; the
// first other argument is the INI path. A "/" argument is an option only
// when it is exactly two characters, so "/etc/vantor.ini" stays a path.
struct RGuiOptionsStr {
  bool hidden = false;     // h
  bool iconic = false;     // i
  bool single = false;     // s
  bool noConfirm = false;  // u
  std::string iniPath;
};
RGuiOptionsStr ParseGuiOptions(int argc, const char* const* argv);

}  // namespace vantor
