// RFTPRatios and RFTPQuota talking to the store through the message loop,
// exactly as a session does.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "accounts/RFTPSSecurity.h"
#include "accounts_test_util.h"

namespace vantor {
namespace {

class SessionObjects : public ::testing::Test {
 protected:
  void SetUp() override { ini_ = dir_.Path() + "/VANTOR.INI"; }

  // Creates the store and the main window that answers its queries.
  void Open(const std::string& text) {
    test::WriteText(ini_, text);
    store_ = std::make_unique<RFTPSSecurity>(ini_, &clock_);
    window_ = loop_.CreateWindow([this](const RMsg& m) -> intptr_t {
      if (m.message != ACCESS_QUERY_MESSAGE) return 0;
      AccessQuery& q = *reinterpret_cast<AccessQuery*>(m.lParam);
      // A store whose file cannot be written refuses every change.
      if (refuseChanges_ && q.code == QC_QUOTA_CHANGE && QueryAux(q) != "0") {
        q.flag = 0;
        return 0;
      }
      HandleAccessQueryMessage(store_.get(), true, q);
      // An accepted change rewrites the configuration file.
      if (q.code == QC_QUOTA_CHANGE && q.flag != 0 && QueryAux(q) != "0") ++storeWrites_;
      return 0;
    });
  }
  std::string Value(const std::string& section, const std::string& key) {
    RIniFile f(ini_);
    return f.GetString(section, key);
  }

  test::TempDir dir_;
  std::string ini_;
  RManualClock clock_{1000000, 1780000000};
  RMessageLoop loop_{64, &clock_};
  std::unique_ptr<RFTPSSecurity> store_;
  RWindowId window_ = 0;
  test::FakeProbe probe_;
  int storeWrites_ = 0;
  bool refuseChanges_ = false;
};

TEST_F(SessionObjects, RatioFilesPerSession) {
  Open("[USER=r]\nRatiosEnable=yes\nRatioUp=1\nRatioDown=3\n[RATIOS]\nFree1=*.nfo\n");
  RFTPRatios ratios(loop_, window_, probe_);
  ratios.Start("r", 0, 1);
  ASSERT_TRUE(ratios.Enabled());
  EXPECT_EQ(ratios.Type(), RATIO_FILES_PER_SESSION);
  EXPECT_FALSE(ratios.MayDownload("C:\\f\\a"));
  EXPECT_TRUE(ratios.MayDownload("C:\\f\\free.nfo"));  // free: no credit needed
  ratios.Uploaded(12345);
  EXPECT_DOUBLE_EQ(ratios.Credit(), 3.0);
  EXPECT_TRUE(ratios.MayDownload("C:\\f\\1"));
  EXPECT_TRUE(ratios.MayDownload("C:\\f\\2"));
  ratios.DownloadFailed();  // gives the second one back
  EXPECT_TRUE(ratios.MayDownload("C:\\f\\2"));
  EXPECT_TRUE(ratios.MayDownload("C:\\f\\3"));
  EXPECT_FALSE(ratios.MayDownload("C:\\f\\4"));
  EXPECT_EQ(Value("USER=r", "RatiosCredit"), "");  // per-session credit stays in the session
}

TEST_F(SessionObjects, RatioBytesPerSession) {
  Open(
      "[USER=r]\nRatiosEnable=yes\nRatios=bytespersession\nRatiosCredit=100\nRatioUp=0\n"
      "RatioDown=x\n");
  probe_.sizes = {{"C:\\a", 101}, {"C:\\b", 1}};
  RFTPRatios ratios(loop_, window_, probe_);
  ratios.Start("r", 0, 1);
  EXPECT_EQ(ratios.Type(), RATIO_BYTES_PER_SESSION);
  EXPECT_EQ(ratios.Up(), 1u);  // zero and unreadable parts count as 1
  EXPECT_EQ(ratios.Down(), 1u);
  EXPECT_TRUE(ratios.MayDownload("C:\\a"));  // size - 1 <= credit
  EXPECT_DOUBLE_EQ(ratios.Credit(), -1.0);
  EXPECT_FALSE(ratios.MayDownload("C:\\b"));
  EXPECT_FALSE(ratios.MayDownload("C:\\missing"));  // unreadable size refuses
}

TEST_F(SessionObjects, RatioOverallWritesCredit) {
  Open("[USER=r]\nRatiosEnable=yes\nRatios=BytesOverall\nRatioUp=2\nRatioDown=1\n");
  probe_.sizes = {{"C:\\a", 50}};
  RFTPRatios ratios(loop_, window_, probe_);
  ratios.Start("r", 0, 1);
  EXPECT_FALSE(ratios.MayDownload("C:\\a"));
  EXPECT_EQ(Value("USER=r", "RatiosCredit"), "");  // refused: nothing written
  ratios.Uploaded(100);                            // earns 100 * 1/2
  EXPECT_EQ(Value("USER=r", "RatiosCredit"), "50.000000");
  EXPECT_TRUE(ratios.MayDownload("C:\\a"));
  EXPECT_EQ(Value("USER=r", "RatiosCredit"), "0.000000");
  ratios.DownloadFailed();
  EXPECT_EQ(Value("USER=r", "RatiosCredit"), "50.000000");
  // A second session of the account sees the same credit.
  RFTPRatios other(loop_, window_, probe_);
  other.Start("r", 0, 2);
  EXPECT_DOUBLE_EQ(other.Credit(), 50.0);
}

TEST_F(SessionObjects, RatiosOffAllowEverything) {
  Open("[USER=r]\nRatiosEnable=no\n");
  RFTPRatios ratios(loop_, window_, probe_);
  ratios.Start("r", 0, 1);
  EXPECT_FALSE(ratios.Enabled());
  EXPECT_TRUE(ratios.MayDownload("C:\\x"));
}

TEST_F(SessionObjects, QuotaReservationFlushedByTimer) {
  Open("[USER=q]\nQuotaEnable=yes\nQuotaMaxCurrent=10000000,0\n");
  RFTPQuota quota(loop_, window_, probe_);
  quota.Start("q", 0, 1);
  EXPECT_TRUE(quota.Charge(-100));
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000,250000");  // a whole batch
  EXPECT_EQ(quota.Pending(), 249900);
  EXPECT_EQ(quota.UsedNow(), 100);
  EXPECT_TRUE(quota.Charge(-400));  // served from the reservation: no write
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000,250000");
  EXPECT_TRUE(quota.TimerArmed());
  clock_.Advance(3599);
  loop_.RunPending();
  EXPECT_EQ(quota.Pending(), 249500);
  clock_.Advance(1);
  loop_.RunPending();
  EXPECT_FALSE(quota.TimerArmed());
  EXPECT_EQ(quota.Pending(), 0);
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000,500");
  // Undo and credit-file give space back.
  quota.UndoLast();  // the -400
  probe_.sizes = {{"C:\\old", 60}};
  quota.CreditFile("C:\\old");
  quota.CreditFile("C:\\missing");  // size unreadable: skipped
  quota.Flush();
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000,40");
}

// A hand-back the store refuses is not dropped: it stays pending and the
// timer offers it again until the store takes it.
TEST_F(SessionObjects, QuotaRefusedFlushOfferedAgain) {
  Open("[USER=q]\nQuotaEnable=yes\nQuotaMaxCurrent=10000000,0\n");
  RFTPQuota quota(loop_, window_, probe_);
  quota.Start("q", 0, 1);
  EXPECT_TRUE(quota.Charge(-100));
  refuseChanges_ = true;
  quota.Flush();
  EXPECT_EQ(quota.Pending(), 249900);
  EXPECT_TRUE(quota.TimerArmed());
  EXPECT_EQ(quota.UsedNow(), 100);
  refuseChanges_ = false;
  clock_.Advance(RFTPQuota::kFlushMs);
  loop_.RunPending();
  EXPECT_EQ(quota.Pending(), 0);
  EXPECT_FALSE(quota.TimerArmed());
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000,100");
}

// A running upload (64 KiB blocks, one per millisecond, for 10 s) writes the
// file a few times while its batch grows and then about every 2 s, not for
// every 250000 bytes; the limit still holds to the byte, and the usage is
// exact after Flush.
TEST_F(SessionObjects, QuotaRunningUploadWritesRarely) {
  constexpr int64_t kBlock = 65536;
  constexpr int64_t kMax = 2000000000;
  Open("[USER=q]\nQuotaEnable=yes\nQuotaMaxCurrent=" + std::to_string(kMax) + ",0\n");
  RFTPQuota quota(loop_, window_, probe_);
  quota.Start("q", 0, 1);
  int64_t used = 0;
  std::vector<int64_t> writeTimes;
  for (int i = 0; i < 10000; ++i) {
    clock_.Advance(1);
    loop_.RunPending();
    const int before = storeWrites_;
    ASSERT_TRUE(quota.Charge(-kBlock)) << "block " << i;
    used += kBlock;
    if (storeWrites_ != before) writeTimes.push_back(i);
  }
  EXPECT_LE(writeTimes.size(), 10u) << "about one write per 2 s after the start";
  for (size_t k = 4; k < writeTimes.size(); ++k)
    EXPECT_GE(writeTimes[k] - writeTimes[k - 1], 1000) << "write " << k;
  EXPECT_EQ(quota.UsedNow(), used);
  // Up to the limit, block by block; the first block that does not fit fails.
  while (quota.Charge(-kBlock)) used += kBlock;
  EXPECT_GT(used + kBlock, kMax);
  quota.Flush();
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), std::to_string(kMax) + "," + std::to_string(used));
  EXPECT_LE(quota.BatchSize(), RFTPQuota::kMaxBatch) << "the next upload starts small again";
}

TEST_F(SessionObjects, QuotaLargeChargeAskedWhole) {
  Open("[USER=q]\nQuotaEnable=yes\nQuotaMaxCurrent=10000000000,0\n");
  {
    RFTPQuota quota(loop_, window_, probe_);
    quota.Start("q", 0, 1);
    EXPECT_TRUE(quota.Charge(-5000000000));  // over a batch: asked as it is, 64-bit
    EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000000,5000000000");
    EXPECT_TRUE(quota.Charge(-1));
    EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000000,5000250000");
  }  // destruction flushes
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10000000000,5000000001");
}

TEST_F(SessionObjects, QuotaOffOrNoStore) {
  Open("[USER=q]\nQuotaMaxCurrent=10,0\n");
  RFTPQuota quota(loop_, window_, probe_);
  quota.Start("q", 0, 1);
  EXPECT_FALSE(quota.Enabled());
  EXPECT_TRUE(quota.Charge(-1000));
  EXPECT_EQ(Value("USER=q", "QuotaMaxCurrent"), "10,0");
  RFTPQuota orphan(loop_, 9999, probe_);  // no such window: nothing answers
  orphan.Start("q", 0, 1);
  EXPECT_FALSE(orphan.Enabled());
}

}  // namespace
}  // namespace vantor
