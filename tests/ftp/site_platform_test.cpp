#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/RSpawn.h"
#include "platform/RTimeZone.h"
#include "temp_dir.h"
#include "time_zone_scope.h"
#include "wait_until.h"

using namespace vantor;

namespace {

// Waits for the reaper threads; bounded, so a lost child fails the test.
bool ChildrenReaped() {
  return test::WaitUntil([] { return RunningSpawnedChildren() == 0; });
}

}  // namespace

// The C library's offset, daylight saving included, west and east of UTC.
TEST(SiteZone, OffsetUnderTZ) {
  const int64_t january = 1767268800;  // 2026-01-01 12:00 UTC
  const int64_t july = 1783080000;     // 2026-07-03 12:00 UTC
  struct Case {
    const char* tz;
    int64_t when;
    int64_t want;
  };
  const Case cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", january, -18000},  // five hours west, standard time
      {"EST5EDT,M3.2.0,M11.1.0", july, -14400},     // daylight saving in force
      {"IST-5:30", january, 19800},                 // east, half hour
      {"CET-1CEST,M3.5.0,M10.5.0/3", july, 7200},
      {"UTC0", july, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    test::TimeZoneScope tz(c.tz);
    int64_t offset = 1;
    ASSERT_TRUE(LocalUtcOffsetSeconds(c.when, offset));
    EXPECT_EQ(offset, c.want);
  }
}

// Arguments reach the program exactly as given (shell characters included),
// the child runs in the given directory, and it is reaped.
TEST(SiteExecSpawn, ArgumentsUnchangedAndReaped) {
  test::TempDir dir;
  const std::string& tmpl = dir.Path();
  const std::string name = "a;b $(id) |c `x` *";
  const RSpawnResultStr r = SpawnDetached("/usr/bin/touch", {"touch", name}, tmpl);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_GT(r.pid, 0);
  ASSERT_TRUE(ChildrenReaped());
  EXPECT_TRUE(std::filesystem::exists(tmpl + "/" + name));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmpl),
                          std::filesystem::directory_iterator()),
            1);
}

// A program that does not exist is a failure with its errno.
TEST(SiteExecSpawn, MissingProgram) {
  const RSpawnResultStr r = SpawnDetached("/nonexistent/prog", {"prog"}, "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, -ENOENT);
  const RSpawnResultStr r2 = SpawnDetached("/bin/true", {"true"}, "/nonexistent-dir");
  EXPECT_FALSE(r2.ok);
  EXPECT_TRUE(ChildrenReaped());
}
