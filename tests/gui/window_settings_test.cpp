#include <gtest/gtest.h>

#include "gui/RWindowSettings.h"
#include "gui_temp_dir.h"

using namespace vantor;
using vantor::guitest::TempDir;

// `Window` counts only with four numbers and a visible size.
TEST(ParseWindowPlacement, Forms) {
  struct Case {
    const char* text;
    bool ok;
    int l, t, w, h;
  };
  const Case cases[] = {
      {"10,20,640,480", true, 10, 20, 640, 480},
      {" -5, 7 ,300,200", true, -5, 7, 300, 200},
      {"10,20,640", false, 0, 0, 0, 0},
      {"10,20,640,480,1", false, 0, 0, 0, 0},
      {"10,20,0,480", false, 0, 0, 0, 0},
      {"a,20,640,480", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto p = ParseWindowPlacement(c.text);
    ASSERT_EQ(p.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*p, (std::array<int, 4>{c.l, c.t, c.w, c.h}));
    }
  }
}

// StartIconic and friends accept only TRUE, YES and 1; ShowToolBar turns
// off only for FALSE, NO, 0 and OFF.
TEST(LoadWindowSettings, BooleanWords) {
  TempDir dir;
  dir.Write("v.ini",
            "[GLOBAL]\nStartIconic=on\nStartMaximized=yes\nInvisible=1\n"
            "ShowToolBar=maybe\nShowBmpMenus=off\nWindow=1,2,300,400\n"
            "LogFont=-16,700,1,0,0,0,DejaVu Sans Mono\n");
  RIniFile ini(dir.File("v.ini"));
  const RWindowSettingsStr s = LoadWindowSettings(ini);
  EXPECT_FALSE(s.startIconic);
  EXPECT_TRUE(s.startMaximized);
  EXPECT_TRUE(s.invisible);
  EXPECT_TRUE(s.showToolBar);
  EXPECT_FALSE(s.showBmpMenus);
  ASSERT_TRUE(s.placement.has_value());
  EXPECT_EQ(*s.placement, (std::array<int, 4>{1, 2, 300, 400}));
  EXPECT_EQ(s.logFont.height, -16);
  EXPECT_EQ(s.logFont.weight, 700);
  EXPECT_TRUE(s.logFont.italic);
  EXPECT_EQ(s.logFont.face, "DejaVu Sans Mono");
  EXPECT_EQ(LogFontText(s.logFont), "-16,700,1,0,0,0,DejaVu Sans Mono");

  dir.Write("empty.ini", "");
  const RWindowSettingsStr d = LoadWindowSettings(RIniFile(dir.File("empty.ini")));
  EXPECT_FALSE(d.placement.has_value());
  EXPECT_TRUE(d.showToolBar);
  EXPECT_TRUE(d.showBmpMenus);
  EXPECT_EQ(d.logFont.face, "Arial");
  EXPECT_EQ(d.logFont.weight, 500);
  EXPECT_EQ(ParseLogFont("1,2,3").face, "Arial");
}

// Saving at exit: placement only for a visible normal window; other keys
// kept.
TEST(SaveWindowSettings, VisibleAndHidden) {
  TempDir dir;
  dir.Write("v.ini", "; mine\n[GLOBAL]\nPortNr=2121\nWindow=1,1,10,10\n");
  RIniFile ini(dir.File("v.ini"));
  RWindowExitStateStr s;
  s.left = 5;
  s.top = 6;
  s.width = 700;
  s.height = 500;
  s.showBmpMenus = false;
  ASSERT_TRUE(SaveWindowSettings(ini, s));
  EXPECT_EQ(dir.Read("v.ini"),
            "; mine\n[GLOBAL]\nPortNr=2121\nWindow=5,6,700,500\nStartIconic=No\n"
            "StartMaximized=No\nShowToolBar=Yes\nShowBmpMenus=No\n");
  s.visibleNormal = false;
  s.left = 99;
  s.maximized = true;
  ASSERT_TRUE(SaveWindowSettings(ini, s));
  EXPECT_EQ(ini.GetString("GLOBAL", "Window"), "5,6,700,500");
  EXPECT_EQ(ini.GetString("GLOBAL", "StartIconic"), "Yes");
  EXPECT_EQ(ini.GetString("GLOBAL", "StartMaximized"), "Yes");
  EXPECT_EQ(ini.GetString("GLOBAL", "PortNr"), "2121");
}

// -h -i -s -u in either case and with "/", the first other argument is the
// INI path; an absolute path is not an option.
TEST(ParseGuiOptions, Letters) {
  const char* a1[] = {"vantor-gui", "-H", "/i", "first.ini", "-x", "-u", "second.ini"};
  RGuiOptionsStr o = ParseGuiOptions(7, a1);
  EXPECT_TRUE(o.hidden);
  EXPECT_TRUE(o.iconic);
  EXPECT_FALSE(o.single);
  EXPECT_TRUE(o.noConfirm);
  EXPECT_EQ(o.iniPath, "first.ini");
  const char* a2[] = {"vantor-gui", "/etc/vantor/VANTOR.INI", "/S"};
  o = ParseGuiOptions(3, a2);
  EXPECT_EQ(o.iniPath, "/etc/vantor/VANTOR.INI");
  EXPECT_TRUE(o.single);
  EXPECT_FALSE(o.hidden);
}
