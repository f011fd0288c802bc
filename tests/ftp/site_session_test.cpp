#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "accounts/AccessQuery.h"
#include "accounts/RFTPEventHandler.h"
#include "fs/RPath.h"
#include "ftp/RBusMessages.h"
#include "ftp_fixture.h"
#include "platform/RSpawn.h"
#include "time_zone_scope.h"
#include "wait_until.h"

using namespace vantor;

namespace {

// A server with one detached, logged-in session; access queries go to
// `answer`, which the test sets.
class SiteSession : public FtpTest {
 protected:
  ~SiteSession() override { manager_.reset(); }

  // Creates the manager and one session, logged in as JOE in the temp dir.
  RFTPSComInterp& Start(bool securityOff = false) {
    FtpTest::Start("[GLOBAL]\n", securityOff);
    manager_->SetEventHandler(hooks_);
    manager_->SetAccessHandler([this](AccessQuery& q) {
      // Admission asks IP access and logging: let the client in, logged.
      if (q.code == QC_IP_ACCESS || q.code == QC_LOG_CLIENT_IP) {
        q.flag = 1;
        return;
      }
      q.flag = answer_ ? (answer_(q) ? 1 : 0) : 0;
    });
    s_ = Detached("10.0.0.9");
    EXPECT_FALSE(s_->RemovalRequested());
    s_->EnterLoggedIn();
    s_->Login.userName = "JOE";
    s_->Login.userArgument = "joe";
    s_->Login.homeDir = PosixToLocal(s_->FsSettings(), dir_);
    s_->Login.currentDir = s_->Login.homeDir;
    return *s_;
  }
  using FtpTest::Send;
  std::vector<std::string> Send(std::string_view line) { return Send(s_, line); }
  void Mkfile(const std::string& rel) {
    std::filesystem::create_directories(std::filesystem::path(dir_ + "/" + rel).parent_path());
    WriteFile(rel, "x");
  }

  std::shared_ptr<RFTPEventHandler> hooks_;  // handed to the manager by Start()
  RFTPSComInterp* s_ = nullptr;
  std::function<bool(const AccessQuery&)> answer_;
};

}  // namespace

// STAT's transfer lines while receiving and sending (the position in the
// file for a resumed download), then the closing line.
TEST_F(SiteSession, StatTransferLines) {
  RFTPSComInterp& s = Start();
  s.Counters.filesUp = 2;
  ASSERT_TRUE(s.Transfer.Wait(RTransferKind::Upload, 0));
  ASSERT_TRUE(s.Transfer.OnConnected());
  s.Transfer.fileName = s.Login.homeDir + "\\up.bin";
  s.Transfer.CountBytes(6000000000);
  std::vector<std::string> r = Send("STAT");
  ASSERT_GE(r.size(), 5u);
  EXPECT_EQ(r[r.size() - 2], "    Receiving file up.bin (6000000000 bytes)");
  EXPECT_EQ(r.back(), "211 End of status.");

  s.Transfer.Finish(RTransferOutcome::Aborted);
  ASSERT_TRUE(s.Transfer.Wait(RTransferKind::Download, 0));
  ASSERT_TRUE(s.Transfer.OnConnected());
  s.Transfer.fileName = s.Login.homeDir + "\\down.iso";
  s.Transfer.fileSize = 5000;
  s.Transfer.startOffset = 1000;
  s.Transfer.CountBytes(500);
  r = Send("STAT anything");
  ASSERT_GE(r.size(), 5u);
  EXPECT_EQ(r[r.size() - 2], "    Sending file down.iso (1500 of 5000 bytes)");
}

// STAT is answered before login too, with the same frame.
TEST_F(SiteSession, StatBeforeLogin) {
  RFTPSComInterp& s = Start();
  s.ResetLogin();
  s.Login.userName.clear();
  const std::vector<std::string> r = Send("stat");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].rfind("211-Status for user ", 0), 0u) << r[0];
  EXPECT_NE(r[0].find("10.0.0.9"), std::string::npos) << r[0];
  EXPECT_EQ(r[1], "    Stored 0 files, 0 Kbytes");
  EXPECT_EQ(r[2], "    Retrieved 0 files, 0 Kbytes");
  EXPECT_EQ(r[3], "211 End of status.");
}

// SITE PSWD: every reply, the queries it asks and the log line.
TEST_F(SiteSession, Pswd) {
  RFTPSComInterp& s = Start();
  std::string current = "old1";
  answer_ = [&](const AccessQuery& q) {
    if (q.code == QC_VERIFY_PASSWORD) return QueryAux(q) == current && QueryAux2(q) == "joe";
    if (q.code == QC_CHANGE_PASSWORD) {
      if (QueryAux(q) == "refuse") return false;
      current = std::string(QueryAux(q));
      return true;
    }
    return false;
  };
  struct Case {
    const char* line;
    const char* reply;
  };
  const Case cases[] = {
      {"SITE PSWD", "502 Syntax error - use SITE PSWD \"<oldpassword>\" \"<newpassword>\"."},
      {"SITE PSWD wrong newpass", "431 Password not changed, no match for old password."},
      {"SITE PSWD \"old1\" \"abc\"",
       "432 Password not changed, insufficient characters in new "
       "password."},
      {"SITE PSWD old1 refuse", "530 Cannot change password."},
      {"SITE PSWD \"old1\" \"new pass\"", "230 Password changed okay."},
      {"site pswd new pass2", "431 Password not changed, no match for old password."},
      {"SITE PSWD \"new pass\" \"next\"", "230 Password changed okay."},
  };
  for (const Case& c : cases) EXPECT_EQ(Send(c.line), Lines{c.reply}) << c.line;
  EXPECT_EQ(current, "next");
  int logged = 0;
  for (const std::string& l : log_.lines)
    logged += l == "3 (" + RFormat("%06u", s.Number()) + ") User JOE changed password";
  EXPECT_EQ(logged, 2);

  s.Login.anonymous = true;
  EXPECT_EQ(Send("SITE PSWD a bcde"), Lines{"530 Cannot change Anonymous password."});
}

// SITE EXEC: syntax, permission (asked by the resolved program path) and a
// start failure. (A started program and its unchanged arguments are asserted
// end to end by e2e_site_commands.py test_exec.)
TEST_F(SiteSession, Exec) {
  RFTPSComInterp& s = Start();
  std::string asked;
  answer_ = [&](const AccessQuery& q) {
    if (q.code != QC_EXEC_PROGRAM) return false;
    asked = std::string(QueryAux(q));
    return asked.find("missing") != std::string::npos;
  };
  EXPECT_EQ(Send("SITE EXEC"), Lines{"501 Syntax error in parameters or arguments."});
  EXPECT_EQ(Send("SITE EXEC /bin/rm -rf x"), Lines{"501 Permission denied."});
  EXPECT_EQ(asked, s.ResolveClientPath("/bin/rm"));
  const std::string missing = s.ClientPathOf(s.Login.homeDir + "\\missing");
  EXPECT_EQ(Send("SITE EXEC " + missing), Lines{"501 Cannot EXEC command line (error=2)."});
}

// With security off everybody is let in without a password; running
// programs is not file access, so SITE EXEC is refused outright then.
TEST_F(SiteSession, ExecNeverWithSecurityOff) {
  RFTPSComInterp& s = Start(true);
  // With security off the main window grants every access query.
  answer_ = [](const AccessQuery&) { return true; };
  const std::string touch = s.ClientPathOf(PosixToLocal(s.FsSettings(), "/usr/bin/touch"));
  EXPECT_EQ(Send("SITE EXEC " + touch + " made"), Lines{"501 Permission denied."});
  EXPECT_EQ(Send("site exec " + touch + " made"), Lines{"501 Permission denied."});
  EXPECT_TRUE(test::WaitUntil([] { return RunningSpawnedChildren() == 0; }));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/made"));
}

// The command log shows SITE PSWD without its two passwords, as it shows
// PASS.
TEST_F(SiteSession, PswdMaskedInCommandLog) {
  RFTPSComInterp& s = Start();
  answer_ = [](const AccessQuery& q) {
    return q.code == QC_VERIFY_PASSWORD || q.code == QC_CHANGE_PASSWORD;
  };
  const std::string n = RFormat("(%06u) ", s.Number());
  struct Case {
    const char* line;
    std::string logged;
  } cases[] = {
      {"SITE PSWD oldSecret newSecret", "4 " + n + "SITE PSWD xxxxx"},
      {"site  pswd \"old Secret\" \"new Secret\"", "4 " + n + "site  pswd xxxxx"},
      {"SITE PSWD", "4 " + n + "SITE PSWD xxxxx"},
      {"SITE ZONE", "4 " + n + "SITE ZONE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    log_.lines.clear();
    (void)Send(c.line);
    ASSERT_FALSE(log_.lines.empty());
    EXPECT_EQ(log_.lines[0], c.logged);
    for (const std::string& l : log_.lines) EXPECT_EQ(l.find("Secret"), std::string::npos) << l;
  }
}

// SITE INDEX: framing, breadth-first order, access filtering, and no reply
// at all for an argument that resolves without a backslash.
TEST_F(SiteSession, Index) {
  RFTPSComInterp& s = Start();
  Mkfile("top.txt");
  Mkfile("sub/inner.TXT");
  Mkfile("sub/other.bin");
  Mkfile("secret/hidden.txt");
  answer_ = [&](const AccessQuery& q) {
    return q.code == QC_LIST_DIR && QueryAux(q).find("secret") == std::string_view::npos;
  };
  const std::string home = s.ClientPathOf(s.Login.homeDir);
  std::vector<std::string> r = Send("SITE INDEX .txt");
  const std::vector<std::string> want = {"200-index .txt", "200-" + home + "/top.txt",
                                         "200-" + home + "/sub/inner.TXT",
                                         "200  (end of 'index .txt')"};
  EXPECT_EQ(r, want);

  r = Send("SITE INDEX");  // top.txt, VANTOR.INI, inner.TXT, other.bin
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r.front(), "200-index *.*");
  EXPECT_EQ(r.back(), "200  (end of 'index *.*')");

  r = Send("SITE INDEX " + home + "/sub/*.bin");
  EXPECT_EQ(r, (Lines{"200-index *.bin", "200-" + home + "/sub/other.bin",
                      "200  (end of 'index *.bin')"}));
}

// SITE INDEX with more matches than the reply queue holds: the found lines
// stop at the bound and the final line still arrives.
TEST_F(SiteSession, IndexKeepsFinalLineBeyondReplyBound) {
  RFTPSComInterp& s = Start();
  std::filesystem::create_directory(dir_ + "/many");
  for (int i = 0; i < 6100; ++i) WriteFile("many/f" + std::to_string(i) + ".dat", "");
  const std::string home = s.ClientPathOf(s.Login.homeDir);
  answer_ = [](const AccessQuery& q) { return q.code == QC_LIST_DIR; };
  const std::vector<std::string> r = Send("SITE INDEX " + home + "/many/*.dat");
  ASSERT_EQ(r.size(), RFTPSComInterp::kMaxQueuedReplies + 1);
  EXPECT_EQ(r.front(), "200-index *.dat");
  EXPECT_EQ(r[r.size() - 2].rfind("200-" + home + "/many/f", 0), 0u) << r[r.size() - 2];
  EXPECT_EQ(r.back(), "200  (end of 'index *.dat')");
}

// SITE ZONE against the C library's offset, west and east of UTC.
TEST_F(SiteSession, Zone) {
  Start();
  struct Case {
    const char* tz;
    const char* reply;
  };
  const Case cases[] = {
      {"EST5", "210 UTC-300"}, {"IST-5:30", "210 UTC+330"}, {"UTC0", "210 UTC+0"}};
  for (const Case& c : cases) {
    test::TimeZoneScope tz(c.tz);
    EXPECT_EQ(Send("SITE ZONE"), Lines{c.reply}) << c.tz;
  }
}

// SITE SET TRANSFERPROGRESS and unknown sub-commands.
TEST_F(SiteSession, SetAndUnknown) {
  RFTPSComInterp& s = Start();
  EXPECT_EQ(Send("SITE SET TRANSFERPROGRESS on"),
            Lines{"200 Transfer progress notification is on."});
  EXPECT_TRUE(s.Transfer.progressOn);
  EXPECT_EQ(Send("SITE SET TRANSFERPROGRESS maybe"), Lines{"501 SITE option not supported."});
  EXPECT_TRUE(s.Transfer.progressOn);
  EXPECT_EQ(Send("SITE set transferprogress OFF"),
            Lines{"200 Transfer progress notification is off."});
  EXPECT_FALSE(s.Transfer.progressOn);
  EXPECT_EQ(Send("SITE UMASK 022"), Lines{"501 SITE option not supported."});
  EXPECT_EQ(Send("SITE"), Lines{"501 SITE option not supported."});
}

namespace {

int32_t gVerdict = 0;
std::string gSeenText;
uint32_t gSeenEvent = 0;

int32_t SiteHook(EventHookRecord* r) {
  if (r->event != VNTR_EV_PreSITE) return 0;
  gSeenEvent = r->event;
  gSeenText = r->text;
  if (gVerdict == 2) std::strcpy(r->text, "550-Not today.\n550 Try SITE ZONE tomorrow.");
  return gVerdict;
}

}  // namespace

// The pre-command hook of SITE: its own reply (verdict 2), and a hold
// (verdict 3) released through MSG_HOOK_RELEASE to the main window, after which
// the command runs. A release for a session that is gone is dropped.
TEST_F(SiteSession, HookReplyAndHold) {
  auto handler = std::make_shared<RFTPEventHandler>();
  handler->AddForTest(&SiteHook, "site-hook");
  hooks_ = handler;
  RFTPSComInterp& s = Start();
  handler->AttachWindow(loop_, manager_->MainWindow());
  ASSERT_NE(s.Hook, nullptr);

  gVerdict = 2;
  EXPECT_EQ(Send("SITE  ZONE "), (Lines{"550-Not today.", "550 Try SITE ZONE tomorrow."}));
  EXPECT_EQ(gSeenEvent, 108u);
  EXPECT_EQ(gSeenText, "ZONE");

  gVerdict = 3;
  EXPECT_TRUE(Send("SITE SET TRANSFERPROGRESS ON").empty());
  EXPECT_EQ(s.CommandState(), CS_AwaitingHook);
  EXPECT_EQ(s.HeldCommand(), DC_Site);
  gVerdict = 0;
  ASSERT_EQ(VantorPostMessage(manager_->MainWindow(), MSG_HOOK_RELEASE, s.Number(), 0), 1);
  loop_.RunPending();
  EXPECT_EQ(s.CommandState(), CS_LoggedIn);
  EXPECT_EQ(s.TakeQueuedReplies(),
            (std::deque<std::string>{"200 Transfer progress notification is on."}));

  // Held again, then the session goes away before the release arrives.
  gVerdict = 3;
  EXPECT_TRUE(Send("SITE ZONE").empty());
  const uint32_t number = s.Number();
  manager_->RemoveSession(number);
  ASSERT_EQ(VantorPostMessage(manager_->MainWindow(), MSG_HOOK_RELEASE, number, 0), 1);
  loop_.RunPending();
  EXPECT_EQ(manager_->FindSession(number), nullptr);
}
