// The transfer log's line format and where its file lies.
#include <gtest/gtest.h>

#include <time.h>

#include "config/RIniFile.h"
#include "ftp/RXferLog.h"
#include "platform/RFile.h"
#include "temp_dir.h"

namespace vantor {
namespace {

std::string CtimeOf(int64_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  localtime_r(&tt, &tm);
  char buf[64];
  strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm);
  return buf;
}

// Every field as the common analysers read it; blanks and control
// characters never split a field.
TEST(RXferLog, LineFormat) {
  RXferRecordStr r;
  r.now = 1796428471;
  r.seconds = 3;
  r.host = "127.0.0.1";
  r.bytes = 5368709120ull;
  r.path = "/srv/ftp/my file.bin";
  r.upload = true;
  r.user = "joe";
  r.complete = true;
  EXPECT_EQ(XferLogLine(r),
            CtimeOf(r.now) + " 3 127.0.0.1 5368709120 /srv/ftp/my_file.bin b _ i r joe ftp 0 * c");
  r.ascii = true;
  r.upload = false;
  r.anonymous = true;
  r.user = "anonymous";
  r.complete = false;
  r.path = "/srv/a\tb\nc";
  r.bytes = 0;
  EXPECT_EQ(XferLogLine(r),
            CtimeOf(r.now) + " 3 127.0.0.1 0 /srv/a_b_c a _ o a anonymous ftp 0 * i");
  r.user = "";  // an empty user is "_"
  EXPECT_EQ(XferLogLine(r), CtimeOf(r.now) + " 3 127.0.0.1 0 /srv/a_b_c a _ o a _ ftp 0 * i");
}

// A relative name lies in the INI file's folder, a drive-form one on its
// drive; no key, no log.
TEST(RXferLog, FileNames) {
  test::TempDir dir;
  const std::string ini = dir.Path() + "/VANTOR.INI";
  struct Case {
    const char* value;
    std::string want;
  } cases[] = {
      {"", ""},
      {"xfer.log", dir.Path() + "/xfer.log"},
      {"logs/../x.log", dir.Path() + "/x.log"},
      {"/var/log/vantor/xferlog", "/var/log/vantor/xferlog"},
      {"D:\\logs\\xferlog", "/srv/d/logs/xferlog"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    dir.Write("VANTOR.INI", std::string("[GLOBAL]\nXferLog=") + c.value + "\n[DRIVES]\nD=/srv/d\n");
    RIniFile f(ini);
    RXferLog log;
    log.Configure(f, ini);
    EXPECT_EQ(log.Path(), c.want);
    EXPECT_EQ(log.On(), !c.want.empty());
  }
}

// Lines are appended; the rotation of the main log names the file.
TEST(RXferLog, AppendsAndRotates) {
  test::TempDir dir;
  const std::string ini = dir.Path() + "/VANTOR.INI";
  dir.Write("VANTOR.INI", "[GLOBAL]\nXferLog=xfer.log\nLogFileRotation=Dayly\n");
  RIniFile f(ini);
  RXferLog log;
  log.Configure(f, ini);
  RXferRecordStr r;
  r.now = 1796428471;
  r.host = "10.0.0.1";
  r.path = "/x";
  r.user = "joe";
  log.Write(r);
  log.Write(r);
  const std::string name = RotatedLogName(dir.Path() + "/xfer.log", LR_DAILY, r.now).name;
  ASSERT_NE(name, dir.Path() + "/xfer.log");
  std::string text;
  ASSERT_TRUE(ReadWholeFile(name, &text));
  EXPECT_EQ(text, XferLogLine(r) + "\n" + XferLogLine(r) + "\n");
  ASSERT_TRUE(RemoveFile(name));
}

}  // namespace
}  // namespace vantor
