#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ftp/RBusMessages.h"
#include "ftp/RFTPCommands.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPVariables.h"
#include "ftp_fixture.h"

using namespace vantor;

namespace {

const char* kIni =
    "[GLOBAL]\nVersion=2.5.11.3\n"
    "[USER=joe]\nPassword=secret\nHomeDir=/\n";

// Puts a session into `state` through its transitions.
void EnterState(RFTPSComInterp& s, int32_t state) {
  switch (state) {
    case CS_Connected:
      s.ResetLogin();
      break;
    case CS_UserGiven:
      s.EnterUserGiven();
      break;
    case CS_LoggedIn:
      s.EnterLoggedIn();
      break;
    case CS_RenamePending:
      s.ExpectRename();
      break;
    case CS_RestartPending:
      s.ExpectRestart();
      break;
    case CS_Closing:
      s.CloseAfterReplies();
      break;
    default:
      FAIL() << "no transition into " << state;
  }
}

class SessionTest : public FtpTest {
 protected:
  void SetUp() override { Start(kIni); }
};

}  // namespace

// The greeting of a detached session is queued like any reply.
TEST_F(SessionTest, GreetingAndSecurityOffLogin) {
  RFTPSComInterp* s = manager_->CreateDetachedSession("10.1.2.3", 0x7F000001);
  EXPECT_EQ(Replies(s), Lines{"220 Vantor FTP-Server v2.5k for WinSock ready..."});
  EXPECT_EQ(Send(s, "USER joe@host"), Lines{"230 User JOE logged in."});
  EXPECT_EQ(s->CommandState(), CS_LoggedIn);
  EXPECT_EQ(Send(s, "PASS x"), Lines{"503 Bad sequence of commands."});
  EXPECT_EQ(s->CommandState(), CS_Connected);
  EXPECT_TRUE(Logged("4 ("));
}

// The command states decide what a line reaches, in the fixed order.
TEST_F(SessionTest, DispatchStates) {
  RFTPSComInterp* open = Detached();
  struct Case {
    int32_t state;
    const char* line;
    Lines want;
    int32_t after;
  };
  const Case cases[] = {
      {CS_Connected, "ACCT x", {"530 Not logged in."}, CS_Connected},
      {CS_UserGiven, "SMNT", {"530 Not logged in."}, CS_UserGiven},
      {CS_LoggedIn,
       "ACCT x",
       {"202 Command not implemented, superfluous at this site."},
       CS_LoggedIn},
      {CS_LoggedIn, "xyz abc", {"500 'XYZ': command not understood."}, CS_LoggedIn},
      {CS_RenamePending, "NOOP", {"200 Command okay."}, CS_RenamePending},
      {CS_RenamePending, "SYST", {"215 UNIX Type: L8"}, CS_RenamePending},
      {CS_RenamePending,
       "ACCT",
       {"202 Command not implemented, superfluous at this site."},
       CS_LoggedIn},
      {CS_RestartPending, "NOOP", {"200 Command okay."}, CS_LoggedIn},
      {CS_Closing, "NOOP", {"221 Service closing control connection."}, CS_Closing},
      {CS_LoggedIn, "   ", {}, CS_LoggedIn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line + std::string(" in state ") + std::to_string(c.state));
    // Closing cannot be left: that case gets a session of its own.
    RFTPSComInterp* s = c.state == CS_Closing ? Detached() : open;
    EnterState(*s, c.state);
    s->Transfer.restartOffset = 77;
    EXPECT_EQ(Send(s, c.line), c.want);
    EXPECT_EQ(s->CommandState(), c.after);
    if (c.state == CS_RestartPending) {
      EXPECT_EQ(s->Transfer.restartOffset, 0);
    }
  }
}

// Closing is a flag beside the state: the session is no longer logged in
// nor holding a command, and the closing line still names its user.
TEST_F(SessionTest, ClosingIsAFlagBesideTheState) {
  RFTPSComInterp* s = Detached();
  (void)Send(s, "USER joe");
  s->HoldCommand(DC_Dele);
  ASSERT_TRUE(s->IsHoldingCommand());
  s->CloseAfterReplies();
  EXPECT_EQ(s->CommandState(), CS_Closing);
  EXPECT_FALSE(s->IsLoggedIn());
  EXPECT_FALSE(s->IsHoldingCommand()) << "a closing session must not park its socket events";
  s->ResumeDeferred(s->Number());
  EXPECT_EQ(Send(s, "NOOP"), Lines{"221 Service closing control connection."});
  const uint32_t number = s->Number();
  manager_->RemoveSession(number);
  char want[64];
  snprintf(want, sizeof want, "(%06u) Closing connection for user JOE (", number);
  EXPECT_TRUE(Logged(want)) << want;
}

// A restart offset survives only STOR, RETR, PORT and PASV right after REST.
TEST_F(SessionTest, RestartOffsetKeptByTransferVerbs) {
  RFTPSComInterp* s = Detached();
  for (const char* verb : {"PORT 1,2,3,4,5,6", "PASV"}) {
    SCOPED_TRACE(verb);
    s->ExpectRestart();
    s->Transfer.restartOffset = 1234;
    (void)Send(s, verb);
    EXPECT_EQ(s->Transfer.restartOffset, 1234);
  }
}

// Replies beyond 6000 queued lines are dropped; the tick trims to 3000.
TEST_F(SessionTest, ReplyQueueBounds) {
  RFTPSComInterp* s = Detached();
  for (int i = 0; i < 6100; ++i) s->Reply("200 x" + std::to_string(i));
  EXPECT_EQ(s->QueuedReplies().size(), 6001u);
  EXPECT_EQ(s->QueuedReplies().back(), "200 x6000");
  s->OnTimer();
  EXPECT_EQ(s->QueuedReplies().size(), 3000u);
  EXPECT_EQ(s->QueuedReplies().front(), "200 x3001") << "the oldest lines go";
}

// The PASS line of a named session is logged without the password.
TEST_F(SessionTest, PasswordNotLogged) {
  RFTPSComInterp* s = Detached();
  s->Dispatch("USER joe");
  s->Dispatch("PaSs topsecret");
  EXPECT_FALSE(Logged("topsecret"));
  EXPECT_TRUE(Logged(") PaSs xxxxx"));
}

// Destruction logs the closing line with the connected time and counts down
// the manager's own counters.
TEST_F(SessionTest, DestructionLogAndCounters) {
  RFTPSComInterp* s = Detached();
  EXPECT_EQ(manager_->Stats().ConnectionsNow, 1u);
  s->Dispatch("USER anonymous");
  EXPECT_EQ(s->Login.anonymous, true);
  EXPECT_EQ(manager_->Stats().AnonymousNow, 1u);
  clock_.Advance(3723000);
  const uint32_t number = s->Number();
  manager_->RemoveSession(number);
  EXPECT_EQ(manager_->Stats().ConnectionsNow, 0u);
  EXPECT_EQ(manager_->Stats().AnonymousNow, 0u);
  char want[96];
  snprintf(want, sizeof want, "(%06u) Closing connection for user ANONYMOUS (01:02:03 connected)",
           number);
  EXPECT_TRUE(Logged(want)) << want;
}

// Variables: table cases on a session with known counters.
TEST_F(SessionTest, ExpandVariables) {
  RFTPSComInterp* s = Detached("10.1.2.3");
  s->Login.userName = "JOE";
  s->Recount();
  s->Counters.filesUp = 3;
  s->Counters.filesDown = 4;
  s->Counters.bytesUp = 4096;
  s->Counters.bytesDown = 1024 * 10 + 5;
  struct Case {
    const char* in;
    const char* want;
  };
  const Case cases[] = {
      {"%Name from %IP", "JOE from 10.1.2.3"},
      {"%IP:", "10.1.2.3:"},
      {"%x and %% and 100%", "%x and %% and 100%"},
      {"%fup/%FDOWN/%ftot", "3/4/7"},
      {"%bup %bdown %btot", "4 10 14"},
      {"%disk %dir", "C /C:/"},
      {"%MaxUsers", "-1"},
      {"%UThisName %UAnonAll", "1 0"},
      {"%RatioCredit %QuotaMax", "0 0"},
      {"%ServerAvg", "0.000"},
      {"%nameless", "JOEless"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string text = c.in;
    ExpandVariables(*s, text);
    EXPECT_EQ(text, c.want);
  }
  std::string u24 = "%u24hours";
  ExpandVariables(*s, u24);
  EXPECT_EQ(u24.substr(u24.size() - 4), "ours");
  EXPECT_NE(u24[0], '%');
  std::string longText(600, 'a');
  longText += "%Name";
  ExpandVariables(*s, longText, 511);
  EXPECT_EQ(longText, std::string(511, 'a')) << "cut to the caller's buffer";
}

// On an IPv6 control connection PASV and PORT (IPv4 only) and the IPv4 forms
// of EPSV and EPRT point the client at protocol 2; the GUI's session summary
// carries the whole IPv6 address.
TEST_F(SessionTest, IPv6ControlConnection) {
  const std::string client = "2001:db8:1234:5678:9abc:def0:1234:5678";
  RFTPSComInterp* s = Detached(client);
  (void)Send(s, "USER joe");
  const std::string use2 = "522 Network protocol not supported, use (2)";
  const struct {
    const char* line;
    std::string want;
  } cases[] = {
      {"PASV", use2},
      {"PORT 10,0,0,1,4,1", use2},
      {"EPSV 1", use2},
      {"EPRT |1|10.0.0.1|4000|", use2},
      {"EPRT |3|10.0.0.1|4000|", "522 Network protocol not supported, use (1,2)"},
      // Bounce blocking is on by default: the client's own address.
      {"EPRT |2|2001:db8::1|4000|", "530 Only client IP address allowed for EPRT command."},
      {"EPRT |2|2001:db8:1234:5678:9abc:def0:1234:5678|4000|", "200 EPRT command successful."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Send(s, c.line), Lines{c.want});
  }
  EXPECT_EQ(s->Transfer.address, client);
  EXPECT_EQ(s->Transfer.port, 4000);
  EXPECT_TRUE(Logged("Connected to " + client)) << "the log shows the address whole";

  RSessionSummaryStr r;
  r.session = s->Number();
  manager_->Loop().SendMessage(manager_->MainWindow(), MSG_SESSION_QUERY, SQ_Summary,
                               reinterpret_cast<intptr_t>(&r));
  EXPECT_EQ(r.found, 1u);
  EXPECT_EQ(std::string(r.client), client);
  // The typed call gives the same record; an unknown number gives none, and
  // the bus leaves such a record as it was but for "found".
  ASSERT_TRUE(manager_->SessionSummary(s->Number()).has_value());
  EXPECT_EQ(std::string(manager_->SessionSummary(s->Number())->client), client);
  EXPECT_FALSE(manager_->SessionSummary(s->Number() + 1).has_value());
  r.session = s->Number() + 1;
  manager_->Loop().SendMessage(manager_->MainWindow(), MSG_SESSION_QUERY, SQ_Summary,
                               reinterpret_cast<intptr_t>(&r));
  EXPECT_EQ(r.found, 0u);
  EXPECT_EQ(std::string(r.client), client);
}

// With every file descriptor in use a login is told to come back, and the
// log says why, instead of blaming a home directory that is there.
TEST_F(SessionTest, LoginAtDescriptorLimit) {
  Start("[GLOBAL]\nPortNr=0\n", false);
  manager_->SetAccessHandler([this](AccessQuery& q) {
    q.flag = 1;
    if (q.code == QC_HOME_DIR) SetQueryAux(q, dir_);
  });
  RFTPSComInterp* s = Detached();
  rlimit was{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  rlimit low = was;
  low.rlim_cur = std::min<rlim_t>(was.rlim_cur, 1024);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held{open("/dev/null", O_RDONLY)};
  ASSERT_GE(held[0], 0);
  for (int fd; (fd = dup(held[0])) >= 0;) held.push_back(fd);
  const Lines refused = Send(s, "USER joe");
  for (int fd : held) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0);
  EXPECT_EQ(refused, Lines{"421 Server is temporarily unavailable - please try again later."});
  EXPECT_TRUE(s->IsClosing());
  EXPECT_TRUE(Logged("PROBLEM: Out of file descriptors - login of user JOE refused"));
  EXPECT_FALSE(Logged("home dir")) << "the home directory is not missing";
  EXPECT_EQ(Send(Detached(), "USER joe"), Lines{"230 User logged in, proceed."});
}

// What the administration is shown of the command a session runs: no
// password of PASS, ACCT or SITE PSWD, for anonymous sessions too.
TEST(ShownCommand, PasswordsMasked) {
  const std::pair<std::string, std::string> cases[] = {
      {"RETR /pub/a b.txt", "RETR /pub/a b.txt"},
      {"PASS topsecret", "PASS xxxxx"},
      {"pass guest@example.org", "pass xxxxx"},
      {"PASS", "PASS"},
      {"ACCT billing-secret", "ACCT xxxxx"},
      {"SITE PSWD old new", "SITE PSWD xxxxx"},
      {"site \tpswd \"o l d\" \"n e w\"", "site \tpswd xxxxx"},
      {"SITE ZONE", "SITE ZONE"},
      {"PASSX y", "PASS xxxxx"},
      {"STOR " + std::string(300, 'f'), "STOR " + std::string(154, 'f')},
      {"PASS " + std::string(300, 's'), "PASS xxxxx"},
  };
  for (const auto& [line, shown] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(ShownCommandLine(line), shown);
  }
}
