#include "gui/RWindowSettings.h"


#include "config/RProfile.h"
#include "util/RFormat.h"

namespace vantor {

namespace {

// A whole field of "%d": blanks around, an optional sign, digits only.
std::optional<int> StrictInt(std::string_view part) {
  while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
  while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
  std::string_view digits = part;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return ScanInt(part);
}

}  // namespace

std::optional<std::array<int, 4>> ParseWindowPlacement(std::string_view text) {
  std::array<int, 4> v{};
  for (int i = 0; i < 4; ++i) {
    const size_t comma = text.find(',');
    if ((i < 3) != (comma != std::string_view::npos)) return std::nullopt;
    const auto n = StrictInt(text.substr(0, comma));
    if (!n) return std::nullopt;
    v[i] = *n;
    if (i < 3) text.remove_prefix(comma + 1);
  }
  if (v[2] < 1 || v[3] < 1) return std::nullopt;
  return v;
}

RWindowSettingsStr LoadWindowSettings(const RIniFile& ini) {
  RGlobalSettings g;
  g.Load(ini);
  RWindowSettingsStr s;
  if (g.window.hasPlacement && g.window.width >= 1 && g.window.height >= 1) {
    s.placement = std::array<int, 4>{g.window.left, g.window.top, g.window.width, g.window.height};
  }
  s.startIconic = g.startIconic;
  s.startMaximized = g.window.maximized;
  s.invisible = g.invisible;
  s.showToolBar = g.window.showToolBar;
  s.showBmpMenus = g.window.showBmpMenus;
  s.userInfoPlacement = ParseWindowPlacement(g.userInfoWin);
  (void)ParseLogFont(ini.GetString(kGlobalSection, "LogFont"), &s.logFont);
  return s;
}

bool SaveUserInfoPlacement(RIniFile& ini, int left, int top, int width, int height) {
  return ini.WriteString(kGlobalSection, "UserInfoWin",
                         RFormat("%d,%d,%d,%d", left, top, width, height));
}

}  // namespace vantor
