#include <gtest/gtest.h>

#include "platform/RDriveMap.h"

using namespace vantor;

// Drive form and POSIX form convert both ways through the longest root.
TEST(RDriveMap, ConvertsBothWays) {
  RDriveMap m = RDriveMap::FromEntries({{"C", "/srv/ftp/"}, {"d", "/srv/ftp/data"}, {"E", "/"}});
  struct Case {
    const char* drive;
    const char* posix;
  };
  const Case toPosix[] = {
      {"C:\\", "/srv/ftp"}, {"c:\\pub\\a.txt", "/srv/ftp/pub/a.txt"}, {"D:", "/srv/ftp/data"},
      {"E:\\etc", "/etc"},  {"C:\\pub\\\\x\\", "/srv/ftp/pub/x"},     {"F:\\x", ""},
      {"pub\\x", ""},
  };
  for (const Case& c : toPosix) EXPECT_EQ(m.DriveToPosix(c.drive), c.posix) << c.drive;
  const Case toDrive[] = {
      {"D:\\x", "/srv/ftp/data/x"},  // longest root wins over C:
      {"C:\\pub", "/srv/ftp/pub"},        {"C:\\", "/srv/ftp"},
      {"C:\\datax", "/srv/ftp/datax"},  // component boundary, not prefix
      {"E:\\etc\\passwd", "/etc/passwd"},
  };
  for (const Case& c : toDrive) EXPECT_EQ(m.PosixToDrive(c.posix), c.drive) << c.posix;
  EXPECT_EQ(m.ConfigPathToDrive("/srv/ftp/pub"), "C:\\pub");
  EXPECT_EQ(m.ConfigPathToDrive("c:\\x"), "c:\\x");
}

// Without a table C: is "/"; a table of only invalid entries exposes nothing.
TEST(RDriveMap, DefaultsAndInvalidTables) {
  RDriveMap def = RDriveMap::FromEntries({});
  EXPECT_EQ(def.DriveToPosix("C:\\srv\\ftp"), "/srv/ftp");
  EXPECT_EQ(def.PosixToDrive("/srv"), "C:\\srv");
  EXPECT_EQ(def.PosixToDrive("/"), "C:\\");

  RDriveMap bad = RDriveMap::FromEntries({{"C", "relative/dir"}, {"CC", "/srv"}, {"1", "/srv"}});
  for (char l = 'A'; l <= 'Z'; ++l) EXPECT_FALSE(bad.HasDrive(l)) << l;
  EXPECT_EQ(bad.DriveToPosix("C:\\etc"), "");
  EXPECT_EQ(bad.PosixToDrive("/etc"), "");
}
