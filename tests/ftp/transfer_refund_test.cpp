// Downloads that a pre-command hook answers or holds: the ratio credit and
// the download count come back whenever the download does not happen.
#include <memory>
#include <string>
#include <vector>

#include "accounts/RFTPRatios.h"
#include "accounts/RFTPSSecurity.h"
#include "config/RIniFile.h"
#include "ftp_fixture.h"

using namespace vantor;

namespace {

// Answers the RETR event (100) with a fixed verdict, and the release with
// another.
class FakeHook final : public RFTPSessionHook {
 public:
  int verdict = HV_CarryOn;
  int recall = HV_CarryOn;
  int Raise(const RHookEventStr& e) override { return e.code == 100 ? verdict : HV_CarryOn; }
  int Recall() override { return recall; }
  std::string VerdictText() const override { return "550 Not from here."; }
  std::string EventText() const override { return {}; }
  void SetUser(std::string_view) override {}
  void SetPassword(std::string_view) override {}
};

class RefundTest : public FtpTest {
 protected:
  // The sessions ask the store to the last (their quota flushes).
  ~RefundTest() override { manager_.reset(); }

  // User R with one file of credit over all sessions, logged in through the
  // account store.
  RFTPSComInterp* LogIn() {
    WriteFile("f.txt", "hello\n");
    Start("[GLOBAL]\nEncryptPasswords=no\n[USER=r]\nPassword=r\nHomeDir=" + dir_ +
              "\nAccess1=" + dir_ +
              ",RWAMDCLP\nRatiosEnable=YES\nRatios=FilesOverall\n"
              "RatiosCredit=1\n",
          false);
    store_ = std::make_unique<RFTPSSecurity>(ini_);
    manager_->SetAccessHandler(
        [this](AccessQuery& q) { HandleAccessQueryMessage(store_.get(), true, q); });
    RFTPSComInterp* s = Detached();
    s->Dispatch("USER r");
    EXPECT_EQ(Send(s, "PASS r").back(), "230 User logged in, proceed.");
    auto hook = std::make_unique<FakeHook>();
    hook_ = hook.get();
    s->Hook = std::move(hook);
    return s;
  }
  std::string Credit() { return RIniFile(ini_).GetString("USER=r", "RatiosCredit"); }

  std::unique_ptr<RFTPSSecurity> store_;
  FakeHook* hook_ = nullptr;
};

}  // namespace

// Verdict 2: the library's reply, and the credit and count are given back.
TEST_F(RefundTest, HookReplyRefundsTheDownload) {
  RFTPSComInterp* s = LogIn();
  hook_->verdict = HV_Reply;
  EXPECT_EQ(Send(s, "RETR f.txt"), Lines{"550 Not from here."});
  EXPECT_EQ(Credit(), "1.000000");
  EXPECT_EQ(s->Counters.filesDown, 0u);
}

// A held download costs nothing while it waits; released with verdict 2 it
// stays free; a session that ends while it waits keeps nothing either.
TEST_F(RefundTest, HeldDownloadChargedOnlyWhenItRuns) {
  RFTPSComInterp* s = LogIn();
  hook_->verdict = HV_Hold;
  EXPECT_TRUE(Send(s, "RETR f.txt").empty());
  EXPECT_EQ(s->CommandState(), CS_AwaitingHook);
  EXPECT_EQ(Credit(), "1.000000");
  EXPECT_EQ(s->Counters.filesDown, 0u);
  hook_->recall = HV_Reply;
  s->ResumeDeferred(s->Number());
  EXPECT_EQ(Replies(s), Lines{"550 Not from here."});
  EXPECT_EQ(Credit(), "1.000000");

  // Spent elsewhere while held: the release finds no credit and says so.
  s->Dispatch("RETR f.txt");
  ASSERT_EQ(s->CommandState(), CS_AwaitingHook);
  ASSERT_TRUE(RIniFile(ini_).WriteString("USER=r", "RatiosCredit", "0"));
  hook_->recall = HV_CarryOn;
  s->ResumeDeferred(s->Number());
  EXPECT_EQ(Replies(s), Lines{"550 Sorry, insufficient credit for download - upload first."});
  EXPECT_EQ(s->Counters.filesDown, 0u);

  ASSERT_TRUE(RIniFile(ini_).WriteString("USER=r", "RatiosCredit", "1"));
  s->Dispatch("RETR f.txt");
  ASSERT_EQ(s->CommandState(), CS_AwaitingHook);
  manager_->RemoveSession(s->Number());
  EXPECT_EQ(Credit(), "1.000000");
}
