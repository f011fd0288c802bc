#include <gtest/gtest.h>

#include "gui/RWindowSettings.h"
#include "temp_dir.h"

using namespace vantor;
using vantor::test::TempDir;

// `Window` counts only with four numbers and a visible size.
TEST(ParseWindowPlacement, Forms) {
  EXPECT_EQ(ParseWindowPlacement("10,20,640,480"), (std::array<int, 4>{10, 20, 640, 480}));
  EXPECT_EQ(ParseWindowPlacement(" -5, 7 ,300,200"), (std::array<int, 4>{-5, 7, 300, 200}));
  EXPECT_EQ(ParseWindowPlacement("+10,20,640,480"), (std::array<int, 4>{10, 20, 640, 480}));
  for (const char* bad :
       {"10,20,640", "10,20,640,480,1", "10,20,0,480", "10,20,640,480x", "a,20,640,480", ""}) {
    EXPECT_FALSE(ParseWindowPlacement(bad).has_value()) << bad;
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
  EXPECT_EQ(s.placement, (std::array<int, 4>{1, 2, 300, 400}));
  EXPECT_EQ(s.logFont.height, -16);
  EXPECT_EQ(s.logFont.weight, 700);
  EXPECT_EQ(s.logFont.italic, 1);
  EXPECT_EQ(s.logFont.face, "DejaVu Sans Mono");

  dir.Write("empty.ini", "");
  const RWindowSettingsStr d = LoadWindowSettings(RIniFile(dir.File("empty.ini")));
  EXPECT_FALSE(d.placement.has_value());
  EXPECT_TRUE(d.showToolBar);
  EXPECT_TRUE(d.showBmpMenus);
  EXPECT_EQ(d.logFont.face, "Arial");
  EXPECT_EQ(d.logFont.weight, 500);
}
