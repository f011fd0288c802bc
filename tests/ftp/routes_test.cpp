// Routing by socket identifier and the counts kept beside the session list:
// every socket role is found after its open, accept or hand-over and
// nothing after its close; a descriptor number the system gives again
// routes to its new owner; the per-address and per-account counts equal
// what a walk of the sessions finds, through every transition.

#include "ftp/RSocketRoutes.h"
#include "ftp_fixture.h"
#include "util/RText.h"

using namespace vantor;

namespace {

// --- the routes alone ----------------------------------------------------------------

class RoutesTest : public FtpTest {
 protected:
  std::unique_ptr<RWinSocket> Listening() {
    auto s = std::make_unique<RWinSocket>(&layer_, 0, 0, WS_STREAM);
    EXPECT_EQ(s->Listen(0, true, "127.0.0.1"), WS_OK);
    return s;
  }
  RSocketRoutes routes_;
};

TEST_F(RoutesTest, HeldSocketKeepsItsRoute) {
  struct Case {
    const char* what;
    RSocketRole role;
  };
  for (const Case& c : {Case{"data", RSocketRole::Data}, Case{"passive", RSocketRole::Passive}}) {
    SCOPED_TRACE(c.what);
    RRoutedSocket held;
    held.Bind(&routes_, 7, c.role);
    auto first = Listening();
    const uint32_t firstId = first->Id();
    held = std::move(first);
    const RSocketRouteStr* r = routes_.Find(firstId);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->session, 7u);
    EXPECT_EQ(r->role, c.role);
    // Replaced: the old one routes nowhere, the new one to the same owner.
    auto second = Listening();
    const uint32_t secondId = second->Id();
    held = std::move(second);
    EXPECT_EQ(routes_.Find(firstId), nullptr);
    ASSERT_NE(routes_.Find(secondId), nullptr);
    EXPECT_EQ(routes_.Find(secondId)->session, 7u);
    // Given up, then taken back.
    std::unique_ptr<RWinSocket> out = held.release();
    EXPECT_FALSE(held);
    EXPECT_EQ(routes_.Find(secondId), nullptr);
    held = std::move(out);
    EXPECT_NE(routes_.Find(secondId), nullptr);
    held.reset();
    EXPECT_EQ(routes_.Find(secondId), nullptr);
    // Destroyed with its holder.
    {
      RRoutedSocket scoped;
      scoped.Bind(&routes_, 8, c.role);
      scoped = Listening();
      EXPECT_EQ(routes_.Size(), 1u);
    }
    EXPECT_EQ(routes_.Size(), 0u);
  }
}

TEST_F(RoutesTest, ReusedDescriptorRoutesToItsNewOwner) {
  RRoutedSocket a;
  a.Bind(&routes_, 1, RSocketRole::Data);
  RRoutedSocket b;
  b.Bind(&routes_, 2, RSocketRole::Data);
  a = Listening();
  const int fd = a->NativeHandle();
  const uint32_t oldId = a->Id();
  a.reset();
  // The lowest free number comes back first: the new socket gets it.
  b = Listening();
  ASSERT_EQ(b->NativeHandle(), fd);
  EXPECT_EQ(routes_.Find(oldId), nullptr) << "an event of the closed socket found an owner";
  ASSERT_NE(routes_.Find(b->Id()), nullptr);
  EXPECT_EQ(routes_.Find(b->Id())->session, 2u);
}

// --- the manager's routes over real connections ------------------------------------------

class ManagerRoutes : public LoopbackTest {
 protected:
  // The route of `socket`, as "role session" ("none" when there is none).
  std::string RouteOf(uint32_t id) const {
    const RSocketRouteStr* r = manager_->Routes().Find(id);
    if (r == nullptr) return "none";
    static const char* const names[] = {"control", "data", "passive", "intake"};
    return std::string(names[static_cast<int>(r->role)]) + " " + std::to_string(r->session);
  }
};

TEST_F(ManagerRoutes, EverySocketRoleIsRoutedUntilItCloses) {
  Serve();
  WriteFile("f.bin", "abc");
  Peer p = Login();
  RFTPSComInterp* s = OnlySession();
  ASSERT_NE(s, nullptr);
  const std::string n = std::to_string(s->Number());
  const uint32_t control = s->Control()->Id();
  EXPECT_EQ(RouteOf(control), "control " + n);
  EXPECT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
  const int port = PasvPort(Cmd(p, "PASV"));
  ASSERT_GT(port, 0);
  ASSERT_TRUE(s->Transfer.passiveSocket);
  const uint32_t passive = s->Transfer.passiveSocket->Id();
  EXPECT_EQ(RouteOf(passive), "passive " + n);
  const int data = ConnectTo(port);
  EXPECT_EQ(Cmd(p, "RETR f.bin"), "150 Opening BINARY mode data connection for f.bin (3 bytes).");
  // The accepted connection is routed; the listener it came from is gone.
  uint32_t accepted = 0;
  if (s->Transfer.link.socket) accepted = s->Transfer.link.socket->Id();
  EXPECT_EQ(ReadToEnd(data), "abc");
  EXPECT_EQ(Line(p), "226 Transfer complete.");
  ASSERT_NE(accepted, 0u);
  EXPECT_EQ(RouteOf(passive), "none");
  EXPECT_EQ(s->Transfer.link.socket ? RouteOf(accepted) : "none",
            s->Transfer.link.socket ? "data " + n : "none");
  EXPECT_EQ(Cmd(p, "QUIT").substr(0, 4), "221 ");
  EXPECT_TRUE(Closed(p));
  RunUntil([&] { return manager_->Sessions().empty(); });
  ASSERT_TRUE(manager_->Sessions().empty());
  for (uint32_t id : {control, passive, accepted}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(RouteOf(id), "none");
  }
  EXPECT_EQ(manager_->Routes().Size(), 0u);
  EXPECT_EQ(manager_->FindSession(static_cast<uint32_t>(std::stoul(n))), nullptr);
}

TEST_F(ManagerRoutes, ProxyIntakeIsHandedOverToItsSession) {
  Serve("ProxyProtocolFrom=127.0.0.1\n");
  Peer p = Client();
  RunUntil([&] { return manager_->Routes().Size() != 0; });
  ASSERT_EQ(manager_->Routes().Size(), 1u);
  EXPECT_TRUE(manager_->Sessions().empty());
  Send(p, "PROXY TCP4 192.0.2.9 127.0.0.1 40000 21");
  EXPECT_EQ(Line(p), kGreeting);
  RFTPSComInterp* s = OnlySession();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Connection.clientAddress, "192.0.2.9");
  // One route: the same socket, now the session's control connection.
  EXPECT_EQ(manager_->Routes().Size(), 1u);
  EXPECT_EQ(RouteOf(s->Control()->Id()), "control " + std::to_string(s->Number()));
  EXPECT_EQ(Cmd(p, "USER joe"), "230 User JOE logged in.");
}

// --- the counts ----------------------------------------------------------------------------

class SessionCounts : public FtpTest {
 protected:
  // What the counts must say: a walk of every session, as the manager
  // answered before it kept counts.
  int WalkSessions(std::string_view name, uint32_t address) const {
    int n = 0;
    for (const auto& s : manager_->Sessions()) {
      if (!name.empty() && !EqualNoCaseAscii(s->Login.userName, name)) continue;
      if (address != 0 && s->Connection.localAddress != address) continue;
      ++n;
    }
    return n;
  }
  int WalkLogins(std::string_view client, std::string_view name) const {
    int n = 0;
    for (const auto& s : manager_->Sessions()) {
      if (s->Connection.clientAddress == client && EqualNoCaseAscii(s->Login.userName, name)) ++n;
    }
    return n;
  }
  int WalkNotLoggedIn(std::string_view client, const RFTPSComInterp* except) const {
    int n = 0;
    for (const auto& s : manager_->Sessions()) {
      if (s.get() == except || s->Connection.clientAddress != client) continue;
      if (s->IsLoggedIn() || s->IsClosing() || s->RemovalRequested()) continue;
      ++n;
    }
    return n;
  }
  void ExpectCountsAsWalk() {
    for (const char* name : {"", "joe", "JOE", "anna", "nobody"}) {
      for (uint32_t local : {0u, 0x7F000001u, 0x0A000001u}) {
        SCOPED_TRACE(std::string(name) + " on " + std::to_string(local));
        EXPECT_EQ(manager_->CountSessions(name, local), WalkSessions(name, local));
      }
      for (const char* client : {"10.1.2.3", "10.9.9.9"}) {
        SCOPED_TRACE(std::string(name) + " from " + client);
        EXPECT_EQ(manager_->CountLoginsFrom(client, name), WalkLogins(client, name));
      }
    }
    for (const char* client : {"10.1.2.3", "10.9.9.9"}) {
      EXPECT_EQ(manager_->NotLoggedInFrom(client), WalkNotLoggedIn(client, nullptr)) << client;
      for (const auto& s : manager_->Sessions()) {
        EXPECT_EQ(manager_->NotLoggedInFrom(client, s.get()), WalkNotLoggedIn(client, s.get()))
            << client << " except " << s->Number();
      }
    }
  }
};

TEST_F(SessionCounts, FollowEveryTransition) {
  Start("[GLOBAL]\n");
  RFTPSComInterp* a = Detached("10.1.2.3", 0x7F000001);
  RFTPSComInterp* b = Detached("10.1.2.3", 0x7F000001);
  RFTPSComInterp* c = Detached("10.9.9.9", 0x0A000001);
  struct Step {
    const char* what;
    std::function<void()> run;
  };
  auto named = [](RFTPSComInterp* s, const char* name) {
    s->Login.userName = name;
    s->Recount();
  };
  const Step steps[] = {
      {"three sessions", [] {}},
      {"a gives USER", [&] { named(a, "JOE"), a->EnterUserGiven(); }},
      {"a logs in", [&] { a->EnterLoggedIn(); }},
      {"b logs in as joe", [&] { named(b, "joe"), b->EnterLoggedIn(); }},
      {"c logs in as anna", [&] { named(c, "ANNA"), c->EnterLoggedIn(); }},
      {"a holds a command", [&] { a->HoldCommand(DC_Retr); }},
      {"b renames", [&] { b->ExpectRename(); }},
      {"b is back", [&] { b->EnterLoggedIn(); }},
      {"c moves home", [&] { c->Connection.localAddress = 0x7F000001, c->Recount(); }},
      {"a starts again", [&] { named(a, ""), a->ResetLogin(); }},
      {"a closes", [&] { a->CloseAfterReplies(); }},
      {"b is removed", [&] { b->RequestRemoval(); }},
      {"b goes", [&] { manager_->RemoveSession(b->Number()); }},
      {"a fourth arrives", [&] { Detached("10.9.9.9", 0x0A000001); }},
      {"a goes", [&] { manager_->RemoveSession(a->Number()); }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.run();
    ExpectCountsAsWalk();
  }
  while (!manager_->Sessions().empty())
    manager_->RemoveSession(manager_->Sessions().front()->Number());
  ExpectCountsAsWalk();
  EXPECT_EQ(manager_->CountSessions("", 0), 0);
}

}  // namespace
