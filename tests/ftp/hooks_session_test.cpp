// Hook libraries seen from live sessions: settings reloads and shutdown with
// sessions on, held commands that must end, and the texts of the rename
// events. The server and the add-ons are wired the way the programs wire
// them, with the spy library of the tests loaded from [EXTERNAL].
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "accounts/RFTPEventHandler.h"
#include "fs/RPath.h"
#include "ftp/RBusMessages.h"
#include "ftp/RFTPServer.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RServerAddOns.h"
#include "ftp_fixture.h"

using namespace vantor;

namespace {

std::string SpyLib() {
  return std::string(VANTOR_BINARY_DIR) + "/tests/libvantor_spy.so";
}

// A server wired as the programs wire it. Seconds() fires the timer tick
// once per step, so a session's 3-second tick comes every 9 steps here.
class HookSession : public FtpTest {
 protected:
  HookSession() {
    setenv("VANTOR_SPY_LOG", tmp_.File("spy.log").c_str(), 1);
    unsetenv("VANTOR_SPY_HOLD");
    unsetenv("VANTOR_SPY_REPLY");
    mkdir(Home().c_str(), 0755);
  }
  ~HookSession() override {
    if (server_) addOns_.Shutdown(server_);
    unsetenv("VANTOR_SPY_LOG");
    unsetenv("VANTOR_SPY_HOLD");
    unsetenv("VANTOR_SPY_REPLY");
  }

  std::string Home() const { return tmp_.File("home"); }

  // VANTOR.INI with user joe and the given [EXTERNAL] lines.
  void WriteIni(const std::string& external) {
    ini_ = tmp_.Write("VANTOR.INI", "[GLOBAL]\nPortNr=" + std::to_string(port_) +
                                        "\nEncryptPasswords=NO\n[EXTERNAL]\n" + external +
                                        "[USER=joe]\nPassword=secret\nHomeDir=" + Home() +
                                        "\nAccess1=" + Home() + ",RWAMDCLP\n");
  }
  // The start-up of the programs: libraries first, then the server.
  void Start(const std::string& external) {
    WriteIni(external);
    addOns_.LoadHooks(ini_);
    server_ = std::make_unique<RFTPServer>(loop_, layer_, frontEnd_, ini_);
    server_->Start();
    addOns_.Attach(*server_);
  }
  // The settings reload of the programs: the server's part, then the
  // event libraries.
  void Reload() {
    server_->Reload();
    addOns_.Attach(*server_);
    addOns_.LoadHooks(ini_);
    addOns_.Attach(*server_);
  }

  RFTPSComInterp* Login() {
    RFTPSComInterp* s = server_->Manager().CreateDetachedSession("127.0.0.1", 0x7F000001);
    s->TakeQueuedReplies();
    s->Dispatch("USER joe");
    const Lines r = Send(s, "PASS secret");
    EXPECT_TRUE(!r.empty() && r.back().substr(0, 4) == "230 ") << (r.empty() ? "" : r.back());
    return s;
  }
  // A logged-in session of the spy library whose "CWD sub" the library holds.
  RFTPSComInterp* HeldCwd() {
    Start("EventHookDLL1=" + SpyLib() + "\n");
    mkdir((Home() + "/sub").c_str(), 0755);
    RFTPSComInterp* s = Login();
    setenv("VANTOR_SPY_HOLD", "109", 1);
    EXPECT_EQ(Send(s, "CWD sub"), Lines{});
    unsetenv("VANTOR_SPY_HOLD");
    return s;
  }
  // The library's release of the session's held command, as it posts it.
  int PostRelease(RFTPSComInterp* s) {
    return VantorPostMessage(server_->Manager().MainWindow(), MSG_HOOK_RELEASE, s->Number(), 0);
  }
  std::string CwdReply(RFTPSComInterp* s, const std::string& sub) {
    return "250 Directory changed to " +
           s->ClientPathOf(PosixToLocal(s->FsSettings(), Home() + "/" + sub));
  }
  // The spy's lines: "load", "unload", and one per call.
  Lines Spy() const {
    Lines out;
    std::string text = tmp_.Read("spy.log");
    size_t start = 0;
    while (start < text.size()) {
      size_t lf = text.find('\n', start);
      if (lf == std::string::npos) lf = text.size();
      out.push_back(text.substr(start, lf - start));
      start = lf + 1;
    }
    return out;
  }
  // Index of the first spy line from `from` on that has every part; -1 if none.
  static int Find(const Lines& lines, std::initializer_list<std::string> parts, int from = 0) {
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
      bool all = true;
      for (const std::string& p : parts) all = all && lines[i].find(p) != std::string::npos;
      if (all) return static_cast<int>(i);
    }
    return -1;
  }
  static std::string Session(const RFTPSComInterp* s) {
    return " session=" + std::to_string(s->Number()) + " ";
  }
  int LogCount(const std::string& text) const { return log_.Count(text); }

  int port_ = FreePort();
  RServerAddOns addOns_;  // outlives the server, as in the programs
  std::unique_ptr<RFTPServer> server_;
};

}  // namespace

// A reload that drops the event library from the configuration leaves it
// loaded for the session that started with it: that session's commands
// still reach it, new sessions get none, and the library is unloaded only
// after the last of its sessions has told it of its close.
TEST_F(HookSession, ReloadKeepsTheLibraryOfLiveSessions) {
  Start("EventHookDLL1=" + SpyLib() + "\n");
  mkdir((Home() + "/sub").c_str(), 0755);
  RFTPSComInterp* old = Login();
  WriteIni("");
  Reload();
  const int reloadAt = static_cast<int>(Spy().size());

  EXPECT_EQ(Send(old, "CWD sub"), Lines{CwdReply(old, "sub")});
  RFTPSComInterp* fresh = Login();
  EXPECT_EQ(fresh->Hook, nullptr) << "no library configured for new sessions";
  const std::string oldSession = Session(old);
  server_->Manager().RemoveSession(old->Number());

  const Lines spy = Spy();
  EXPECT_EQ(Find(spy, {"unload"}), static_cast<int>(spy.size()) - 1) << "unloaded once, at the end";
  EXPECT_EQ(std::count(spy.begin(), spy.end(), "load"), 1);
  const int cwd = Find(spy, {"event=109", oldSession}, reloadAt);
  ASSERT_GE(cwd, 0) << "the live session's CWD reached its library after the reload";
  const int changed = Find(spy, {"event=18", oldSession}, cwd);
  const int closed = Find(spy, {"event=3 ", oldSession}, cwd);
  EXPECT_GT(changed, cwd);
  EXPECT_GT(closed, changed);
  EXPECT_LT(closed, static_cast<int>(spy.size()) - 1) << "close delivered before the unload";
}

// A session from before a reload is still answered by its library: the
// library's refusal of a DELE stands, and the file stays.
TEST_F(HookSession, ReloadedLibraryStillGuardsOldSessions) {
  Start("EventHookDLL1=" + SpyLib() + "\n");
  test::WriteText(Home() + "/keep.txt", "x");
  RFTPSComInterp* old = Login();
  Reload();
  setenv("VANTOR_SPY_REPLY", "105:550 Kept by the hook.", 1);
  EXPECT_EQ(Send(old, "DELE keep.txt"), Lines{"550 Kept by the hook."});
  EXPECT_EQ(test::ReadText(Home() + "/keep.txt"), "x");
  RFTPSComInterp* fresh = Login();
  EXPECT_EQ(Send(fresh, "DELE keep.txt"), Lines{"550 Kept by the hook."});
}

// Shutdown with sessions on: each library hears every session close (event
// 3 and client event 32) before it is unloaded.
TEST_F(HookSession, ShutdownDeliversClosesBeforeUnload) {
  Start("ClientCheckDLL1=" + SpyLib() + "\nEventHookDLL1=" + SpyLib() + "\n");
  const std::string a = Session(Login());
  const std::string b = Session(Login());
  addOns_.Shutdown(server_);
  EXPECT_EQ(server_, nullptr);

  const Lines spy = Spy();
  ASSERT_FALSE(spy.empty());
  EXPECT_EQ(spy.back(), "unload");
  EXPECT_EQ(std::count(spy.begin(), spy.end(), "unload"), 1);
  for (const std::string& s : {a, b}) {
    SCOPED_TRACE(s);
    EXPECT_GE(Find(spy, {"event=3 ", s}), 0);
    EXPECT_GE(Find(spy, {"client event=32", s}), 0);
  }
}

// One reload loads the client-check libraries once.
TEST_F(HookSession, ClientCheckLoadedOncePerReload) {
  Start("ClientCheckDLL1=" + SpyLib() + "\n");
  const std::string loaded = "Loaded external DLL " + SpyLib();
  EXPECT_EQ(LogCount(loaded), 1);
  log_.lines.clear();
  Reload();
  EXPECT_EQ(LogCount(loaded), 1);
}

// A command held across a reload is released by the library that holds it
// and then carried out.
TEST_F(HookSession, HeldCommandSurvivesReload) {
  RFTPSComInterp* s = HeldCwd();
  EXPECT_EQ(s->CommandState(), CS_AwaitingHook);
  Reload();
  ASSERT_EQ(PostRelease(s), 1);
  loop_.RunPending();
  EXPECT_EQ(Replies(s), Lines{CwdReply(s, "sub")});
  EXPECT_EQ(s->CommandState(), CS_LoggedIn);
  const Lines spy = Spy();
  const int first = Find(spy, {"event=109", Session(s)});
  EXPECT_GT(Find(spy, {"event=109", Session(s)}, first + 1), first) << "called again on release";
}

// A release that finds the message queue full is not lost: it reaches the
// session within a tick.
TEST_F(HookSession, ReleaseOnFullQueueIsNotLost) {
  RFTPSComInterp* s = HeldCwd();
  const RWindowId sink = loop_.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  while (loop_.PostMessage(sink, MSG_NOTIFY)) {
  }
  EXPECT_EQ(PostRelease(s), 1);
  loop_.RunPending();
  Seconds(4);
  EXPECT_EQ(Replies(s), Lines{CwdReply(s, "sub")});
  EXPECT_EQ(s->CommandState(), CS_LoggedIn);
  loop_.DestroyWindow(sink);
}

// A command the library never releases ends after the hold limit with a
// reply and a log line; the session then takes commands again.
TEST_F(HookSession, UnreleasedCommandTimesOut) {
  RFTPSComInterp* s = HeldCwd();
  Seconds(115);
  EXPECT_EQ(Replies(s), Lines{}) << "still within the hold limit";
  EXPECT_EQ(s->CommandState(), CS_AwaitingHook);
  Seconds(20);
  EXPECT_EQ(Replies(s),
            Lines{"451 No answer from the event hook in time - command not carried out."});
  EXPECT_EQ(s->CommandState(), CS_LoggedIn);
  EXPECT_EQ(LogCount(FormatStr(kLogHookNoRelease, s->Number(), "CWD", 120)), 1);
  EXPECT_EQ(Send(s, "NOOP"), Lines{"200 Command okay."});
  // A late release of the ended hold changes nothing.
  ASSERT_EQ(PostRelease(s), 1);
  loop_.RunPending();
  EXPECT_EQ(Replies(s), Lines{});
  EXPECT_EQ(s->Login.currentDir, s->Login.homeDir);
}

// RNTO (104) and the rename (15) carry the new name as the second text and
// nothing as the first.
TEST_F(HookSession, RenameEventsCarryNewNameInSecondText) {
  Start("EventHookDLL1=" + SpyLib() + "\n");
  test::WriteText(Home() + "/a.txt", "x");
  RFTPSComInterp* s = Login();
  EXPECT_EQ(Send(s, "RNFR a.txt").size(), 1u);
  EXPECT_EQ(Send(s, "RNTO b.txt"), Lines{"250 RNTO command successful."});
  const std::string dest = s->Login.homeDir + "\\b.txt";
  const Lines spy = Spy();
  for (const char* event : {"event=104 ", "event=15 "}) {
    SCOPED_TRACE(event);
    const int i = Find(spy, {event, Session(s)});
    ASSERT_GE(i, 0);
    EXPECT_NE(spy[static_cast<size_t>(i)].find(" text= text2=" + dest), std::string::npos)
        << spy[static_cast<size_t>(i)];
  }
}
