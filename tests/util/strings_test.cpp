#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "util/RFormat.h"
#include "util/RStringTable.h"
#include "util/RUtilStrings.h"

using namespace vantor;

// The first set variable of LC_ALL, LC_MESSAGES, LANG decides.
TEST(RStringTable, LanguageFromLocale) {
  struct Case {
    const char* all;
    const char* msg;
    const char* lang;
    RLanguage want;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, RLanguage::English},
      {nullptr, nullptr, "zh_TW.UTF-8", RLanguage::TraditionalChinese},
      {nullptr, nullptr, "zh_HK", RLanguage::TraditionalChinese},
      {nullptr, nullptr, "zh_CN.UTF-8", RLanguage::SimplifiedChinese},
      {nullptr, nullptr, "zh_SG", RLanguage::SimplifiedChinese},
      {"", "zh_TW", "en_US", RLanguage::TraditionalChinese},
      {"C", "zh_TW", "zh_CN", RLanguage::English},
      {nullptr, "de_DE", "zh_CN", RLanguage::English},
      {"zh", nullptr, nullptr, RLanguage::SimplifiedChinese},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LanguageFromLocale(c.all, c.msg, c.lang), c.want)
        << std::string(c.all ? c.all : "-") + "/" + (c.msg ? c.msg : "-") + "/" +
               (c.lang ? c.lang : "-");
}

// Lookup by number per language; a missing number gives "".
TEST(RStringTable, LookupAndFallback) {
  EXPECT_STREQ(LoadStr(kTextProgramName, RLanguage::English), "Vantor FTP Server");
  EXPECT_STRNE(LoadStr(kTextProgramName, RLanguage::TraditionalChinese),
               LoadStr(kTextProgramName, RLanguage::English));
  EXPECT_STRNE(LoadStr(kTextProgramName, RLanguage::SimplifiedChinese),
               LoadStr(kTextProgramName, RLanguage::TraditionalChinese));
  EXPECT_STREQ(LoadStr(999999, RLanguage::English), "");
  EXPECT_STREQ(LoadStr(999999, RLanguage::SimplifiedChinese), "");
}

// Numbers are unique, and every translation has exactly the conversions of
// its English text, so one argument list fits all three languages.
TEST(RStringTable, TranslationsMatchEnglishSpecifiers) {
  std::set<uint32_t> ids;
  for (const RStringEntry& e : AllStrings()) {
    SCOPED_TRACE(e.id);
    EXPECT_TRUE(ids.insert(e.id).second) << "duplicate number";
    ASSERT_NE(e.en, nullptr);
    const std::string sig = RFormatSignature(e.en);
    if (e.zhTW != nullptr) {
      EXPECT_EQ(RFormatSignature(e.zhTW), sig) << e.zhTW;
    }
    if (e.zhCN != nullptr) {
      EXPECT_EQ(RFormatSignature(e.zhCN), sig) << e.zhCN;
    }
  }
}

// Each conversion against what printf prints for the same arguments.
TEST(RFormat, MatchesPrintf) {
  EXPECT_EQ(RFormat("(%06u) %s", 42u, "USER joe"), "(000042) USER joe");
  EXPECT_EQ(RFormat("%8lu|%-5d|%5s|%-4s|", uint64_t{5368709120ull}, -3, "ab", "c"),
            "5368709120|-3   |   ab|c   |");
  EXPECT_EQ(RFormat("210 UTC%+ld", 3600L), "210 UTC+3600");
  EXPECT_EQ(RFormat("%x %X %o %c %%", 255u, 255u, 8u, 'A'), "ff FF 10 A %");
  EXPECT_EQ(RFormat("%.2f %5.1f", 1.234, 12.25), "1.23  12.2");
  EXPECT_EQ(RFormat("%.3s", "abcdef"), "abc");
  EXPECT_EQ(RFormat("%*d|%-*s|", 4, 7, 3, "x"), "   7|x  |");
  EXPECT_EQ(RFormat("%I64u", uint64_t{1} << 40), "1099511627776");
  // Plain integers take a path of their own.
  EXPECT_EQ(RFormat("%d %i %ld %u", INT64_MIN, -1, 0, UINT64_MAX),
            "-9223372036854775808 -1 0 18446744073709551615");
  EXPECT_EQ(RFormat("%u %d", -1, UINT64_MAX), "18446744073709551615 -1");
  EXPECT_EQ(RFormat("%d", 2.9), "2");
  EXPECT_EQ(FormatIPv4(0x7F000001u), "127.0.0.1");
  EXPECT_EQ(FormatIPv4(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(FormatIPv4(0x0A00640Au), "10.0.100.10");
}

// Wrong or missing arguments never read beyond the list or crash.
TEST(RFormat, MismatchedArgumentsAreSafe) {
  EXPECT_EQ(RFormat("%d and %s", "text", 12), "text and 12");
  EXPECT_EQ(RFormat("%s %s %d"), "  0");
  EXPECT_EQ(RFormat("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(RFormat("tail %"), "tail %");
  EXPECT_EQ(RFormat("%y %d", 5), "%y 5");
  const std::string big(100000, 'x');
  std::string r = RFormat("[%s][%s]", big, big);
  EXPECT_EQ(r.size(), 200004u);
  EXPECT_EQ(RFormat("%999999999d", 1).size(), 4096u);
}

TEST(RFormat, Signature) {
  EXPECT_EQ(RFormatSignature("(%06u) %-8s %lu%% %*d"), "usudd");
  EXPECT_EQ(RFormatSignature("no conversions %%"), "");
}
