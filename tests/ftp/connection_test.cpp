// Control and data connections over real sockets on 127.0.0.1: closing after
// QUIT, line reading, back-pressure, passive listeners and the data port.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "accounts/RFTPSSecurity.h"
#include "ftp/RBusMessages.h"
#include "ftp/RFTPMessages.h"
#include "ftp_fixture.h"
#include "temp_dir.h"
#include "tls_certificate.h"
#include "wait_until.h"
#include "work_gate.h"

using namespace vantor;

namespace {

class ConnectionTest : public LoopbackTest {
 protected:
  // The client's own port of a connection.
  static uint16_t PortOf(const Peer& p) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    EXPECT_EQ(getsockname(p.fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    return ntohs(a.sin_port);
  }
};

}  // namespace

// After QUIT the connection closes as soon as the reply is out, not a tick
// or two later (the clock does not move here). Lines that arrived with the
// QUIT are answered first.
TEST_F(ConnectionTest, ClosesRightAfterQuitReply) {
  Serve();
  const std::string closing = "221 Service closing control connection.\r\n";
  const struct {
    const char* burst;
    std::string want;
  } cases[] = {
      {"QUIT", "221 Goodbye!\r\n"},
      {"QUIT\r\nNOOP", "221 Goodbye!\r\n" + closing},
      {"QUIT\r\nNOOP\r\nDELE x\r\nQUIT", "221 Goodbye!\r\n" + closing + closing + closing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.burst);
    Peer p = Login();
    Send(p, c.burst);
    EXPECT_TRUE(Closed(p)) << "still open after the 221";
    EXPECT_EQ(p.buf, c.want);
  }
}

// PASV, RETR (never connected), PASV: the waiting transfer ends without a
// reply, the next line is the 227, and the new listener serves a transfer.
TEST_F(ConnectionTest, SecondPasvEndsWaitingTransferSilently) {
  Serve();
  WriteFile("f.bin", "0123456789");
  Peer p = Login();
  EXPECT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
  ASSERT_GT(PasvPort(Cmd(p, "PASV")), 0);
  Send(p, "RETR f.bin");
  EXPECT_EQ(Line(p, kQuiet), "<none>") << "no reply while the transfer waits";
  ExpectRetr(p, Passive(p), "f.bin", "0123456789");
  EXPECT_EQ(Cmd(p, "NOOP"), "200 Command okay.");
}

// A passive listener with nothing waiting does not expire: a client that
// connects long after PASV (beyond the packet time-out) is served.
TEST_F(ConnectionTest, PassiveListenerOutlivesPacketTimeOut) {
  Serve("PacketTimeOut=30\n");
  WriteFile("f.bin", "abc");
  Peer p = Login();
  EXPECT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
  const int port = PasvPort(Cmd(p, "PASV"));
  ASSERT_GT(port, 0);
  for (int i = 0; i < 200; ++i) {
    Seconds(1);
    if (i % 60 == 0) {
      ASSERT_EQ(Cmd(p, "NOOP"), "200 Command okay.");
    }
  }
  ExpectRetr(p, ConnectTo(port), "f.bin", "abc");
}

// A transfer that waits for its passive connection still gives up after the
// packet time-out, counted from the transfer command.
TEST_F(ConnectionTest, WaitingPassiveTransferTimesOut) {
  Serve("PacketTimeOut=30\n");
  WriteFile("f.bin", "abc");
  Peer p = Login();
  ASSERT_GT(PasvPort(Cmd(p, "PASV")), 0);
  for (int i = 0; i < 100; ++i) {
    Seconds(1);
    if (i % 60 == 0) {
      ASSERT_EQ(Cmd(p, "NOOP"), "200 Command okay.");
    }
  }
  Send(p, "RETR f.bin");
  Seconds(25);
  EXPECT_EQ(Line(p, kQuiet), "<none>") << "gave up before the packet time-out";
  Seconds(10);
  EXPECT_EQ(Line(p), "425 Cannot open data connection.");
}

// The initial data port is the client's end of the control connection (RFC
// 959), never the server's own port, and a refused PORT leaves it there.
TEST_F(ConnectionTest, InitialDataPortIsControlPort) {
  Serve("BlockFTPBounceAttack=YES\n");
  Peer p = Login();
  RFTPSComInterp* s = OnlySession();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Transfer.port, PortOf(p));
  EXPECT_EQ(s->Transfer.address, "127.0.0.1");
  EXPECT_EQ(Cmd(p, "PORT 10,0,0,1,4,1"), "530 Only client IP address allowed for PORT command.");
  EXPECT_EQ(s->Transfer.port, PortOf(p));
  EXPECT_EQ(s->Transfer.address, "127.0.0.1");
}

// The tail of an over-long line is dropped up to its end; it never runs as
// a command of its own.
TEST_F(ConnectionTest, OverlongLineTailIsDropped) {
  Serve();
  WriteFile("victim.txt", "keep me");
  Peer p = Login();
  Send(p, "SIZE " + std::string(506, 'a') + "X" + "DELE victim.txt");
  EXPECT_EQ(Line(p).substr(0, 4), "550 ");
  EXPECT_EQ(Cmd(p, "NOOP"), "200 Command okay.") << "the tail answered in between";
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/victim.txt"));
  // A line of exactly the buffer's length minus one is not cut.
  EXPECT_EQ(Cmd(p, "NOOP " + std::string(506, 'b')), "200 Command okay.");
  EXPECT_EQ(Cmd(p, "NOOP"), "200 Command okay.");
}

// 7000 pipelined NOOPs from a client that reads only afterwards, through a
// small receive window: every reply arrives, none is dropped.
TEST_F(ConnectionTest, PipelinedCommandsGetEveryReply) {
  Serve("SocketSndBuffer=4096\n");
  Peer p{ConnectTo(port_, "127.0.0.1", 4096), {}};
  ASSERT_EQ(Line(p), kGreeting);
  ASSERT_EQ(Cmd(p, "USER joe"), "230 User JOE logged in.");
  std::string burst;
  for (int i = 0; i < 7000; ++i) burst += "NOOP\r\n";
  size_t sent = 0;
  while (sent < burst.size()) {
    const ssize_t n = send(p.fd, burst.data() + sent, burst.size() - sent, MSG_DONTWAIT);
    if (n > 0) sent += static_cast<size_t>(n);
    loop_.RunOnce(1);
  }
  RunFor(std::chrono::milliseconds(300));  // the server works, nobody reads
  int replies = 0;
  RunUntil([&] {
    Drain(p);
    size_t eol;
    while ((eol = p.buf.find("\r\n")) != std::string::npos) {
      EXPECT_EQ(p.buf.substr(0, eol), "200 Command okay.");
      p.buf.erase(0, eol + 2);
      ++replies;
    }
    return replies >= 7000;
  });
  EXPECT_EQ(replies, 7000);
  EXPECT_EQ(Cmd(p, "SYST"), "215 UNIX Type: L8");
}

// Fifty NOOPs arriving in one segment are answered in one send of fifty
// exact lines, not one send, posted write and completion per reply.
TEST_F(ConnectionTest, PipelinedBurstAnsweredInOneSend) {
  Serve();
  Peer p = Login();
  const uint32_t control = OnlySession()->Control()->Id();
  const std::string sendTrace = "Sock ID=" + std::to_string(control) + " send(";
  int sends = 0;
  const RWindowId tw = loop_.CreateWindow([&](const RMsg& m) -> intptr_t {
    if (std::string(reinterpret_cast<const char*>(m.lParam)).rfind(sendTrace, 0) == 0) ++sends;
    return 0;
  });
  layer_.SetTrace(true, tw, 0x7001);
  std::string burst;
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    burst += "NOOP\r\n";
    expected += "200 Command okay.\r\n";
  }
  ASSERT_EQ(send(p.fd, burst.data(), burst.size(), 0), static_cast<ssize_t>(burst.size()));
  RunUntil([&] {
    Drain(p);
    return p.buf.size() >= expected.size();
  });
  layer_.SetTrace(false, 0, 0);
  loop_.DestroyWindow(tw);
  EXPECT_EQ(p.buf, expected);
  EXPECT_EQ(sends, 1);
  // A session that ends right after its reply still gets all of it out.
  p.buf.clear();
  Send(p, "NOOP\r\nQUIT");
  EXPECT_TRUE(Closed(p));
  EXPECT_EQ(p.buf, "200 Command okay.\r\n221 Goodbye!\r\n");
}

// The greeting is sent even when the loop's queue is full at admission (the
// connect notice fills it, just before the greeting would be posted).
TEST_F(ConnectionTest, GreetingSurvivesFullQueue) {
  Serve();
  const RWindowId filler = loop_.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  manager_->SetAccessHandler([&](AccessQuery& q) {
    if (q.code == QC_CONNECT) {
      while (loop_.PostMessage(filler, 1)) {
      }
    }
    q.flag = 1;
  });
  Peer p = Client();
  EXPECT_EQ(Line(p), kGreeting);
  loop_.DestroyWindow(filler);
}

// Before login the time is total: a NOOP every ten seconds does not keep a
// connection open past LoginTimeLimit; a logged-in session is not bound.
TEST_F(ConnectionTest, LoginTimeIsTotalNotIdle) {
  Serve("LoginTimeLimit=60\n");
  Peer in = Login();
  Peer p = Client();
  ASSERT_EQ(Line(p), kGreeting);
  for (int i = 0; i < 5; ++i) {
    Seconds(10);
    ASSERT_EQ(Cmd(p, "NOOP"), "200 Command okay.") << "after " << (i + 1) * 10 << " s";
  }
  Seconds(14);
  EXPECT_EQ(Line(p), "421 Connection timed out - closing.");
  EXPECT_TRUE(Closed(p));
  EXPECT_TRUE(Logged(") Connection timed out"));
  EXPECT_EQ(Cmd(in, "NOOP"), "200 Command okay.");
}

// Connections not logged in are limited per client address; logging in
// frees a place, and other addresses are not affected.
TEST_F(ConnectionTest, NotLoggedInConnectionsPerAddress) {
  Serve("MaxPreLoginPerIP=3\n");
  std::vector<Peer> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(Client());
    ASSERT_EQ(Line(waiting.back()), kGreeting);
  }
  Peer fourth = Client();
  EXPECT_EQ(Line(fourth), "421 Too many connections from your address - please try again later.");
  EXPECT_TRUE(Closed(fourth));
  EXPECT_TRUE(Logged(") Too many connections not logged in from 127.0.0.1"));
  Peer other = Client("127.0.0.2");
  EXPECT_EQ(Line(other), kGreeting);
  EXPECT_EQ(Cmd(waiting[0], "USER joe"), "230 User JOE logged in.");
  Peer fifth = Client();
  EXPECT_EQ(Line(fifth), kGreeting);
}

// A handshake on the implicit TLS port is a connection not logged in too:
// past the bound from its address it is closed right after the accept,
// before it costs a handshake; other addresses still get theirs.
TEST_F(ConnectionTest, ImplicitHandshakesCountPerAddress) {
  test::MakeCertificate(dir_ + "/cert.pem", dir_ + "/key.pem", 30);
  const int implicit = FreePort();
  Serve("MaxPreLoginPerIP=2\nTLSCertificateFile=" + dir_ + "/cert.pem\nTLSPrivateKeyFile=" + dir_ +
        "/key.pem\nTLSImplicitPortNr=" + std::to_string(implicit) + "\n");
  std::vector<Peer> silent;
  for (int i = 0; i < 2; ++i) {
    silent.push_back(Peer{ConnectTo(implicit, "127.0.0.3"), {}});
    EXPECT_FALSE(Closed(silent.back(), kQuiet)) << i;
  }
  Peer third{ConnectTo(implicit, "127.0.0.3"), {}};
  EXPECT_TRUE(Closed(third)) << "a third handshake from one address";
  Peer plain = Client("127.0.0.3");
  EXPECT_EQ(Line(plain), "421 Too many connections from your address - please try again later.");
  Peer other{ConnectTo(implicit, "127.0.0.4"), {}};
  EXPECT_FALSE(Closed(other, kQuiet)) << "another address";
}

// Bounce blocking is on by default and also refuses ports below 1024 of the
// client's own address; switched off, both go through.
TEST_F(ConnectionTest, PortBelow1024RefusedByDefault) {
  Serve();
  Peer p = Login();
  RFTPSComInterp* s = OnlySession();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Cmd(p, "PORT 127,0,0,1,0,25"), "504 PORT to a port below 1024 not allowed.");
  EXPECT_EQ(s->Transfer.port, PortOf(p));
  EXPECT_EQ(Cmd(p, "PORT 127,0,0,1,3,255"), "504 PORT to a port below 1024 not allowed.");
  EXPECT_EQ(Cmd(p, "PORT 127,0,0,5,4,1"), "530 Only client IP address allowed for PORT command.");
  EXPECT_EQ(Cmd(p, "PORT 127,0,0,1,4,0"), "200 PORT Command successful.");
  EXPECT_EQ(s->Transfer.port, 1024);
}

TEST_F(ConnectionTest, PortBelow1024AllowedWithoutBounceBlocking) {
  Serve("BlockFTPBounceAttack=NO\n");
  Peer p = Login();
  EXPECT_EQ(Cmd(p, "PORT 127,0,0,1,0,25"), "200 PORT Command successful.");
  EXPECT_EQ(Cmd(p, "PORT 127,0,0,5,0,25"), "200 PORT Command successful.");
  EXPECT_EQ(OnlySession()->Transfer.address, "127.0.0.5");
}

// A passive connection from another address than the client's is closed and
// logged; the transfer goes on waiting and the client's own connection gets
// the file.
TEST_F(ConnectionTest, PassiveConnectionFromOtherAddressRefused) {
  Serve();
  WriteFile("f.bin", "secret");
  Peer p = Login();
  EXPECT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
  const int port = PasvPort(Cmd(p, "PASV"));
  ASSERT_GT(port, 0);
  Peer thief{ConnectTo(port, "127.0.0.2"), {}};
  Send(p, "RETR f.bin");
  EXPECT_TRUE(Closed(thief));
  EXPECT_EQ(thief.buf, "");
  EXPECT_TRUE(Logged(") Passive data connection from 127.0.0.2 refused (client is 127.0.0.1)"));
  EXPECT_EQ(Line(p, kQuiet), "<none>");
  const int data = ConnectTo(port);
  EXPECT_EQ(Line(p), "150 Opening BINARY mode data connection for f.bin (6 bytes).");
  EXPECT_EQ(ReadToEnd(data), "secret");
  EXPECT_EQ(Line(p), "226 Transfer complete.");
}

// PassivePeerCheck=NO allows a passive connection from elsewhere
// (server-to-server transfers).
TEST_F(ConnectionTest, PassivePeerCheckOff) {
  Serve("PassivePeerCheck=NO\n");
  WriteFile("f.bin", "fxp");
  Peer p = Login();
  EXPECT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
  ExpectRetr(p, Passive(p, "127.0.0.2"), "f.bin", "fxp");
}

// The server's kilobyte counters add up bytes, not kilobytes per transfer:
// files under 1 KiB count too.
TEST_F(ConnectionTest, SmallTransfersCountInKilobytes) {
  Serve();
  WriteFile("small.bin", std::string(600, 's'));
  Peer p = Login();
  EXPECT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    ExpectRetr(p, Passive(p), "small.bin", std::string(600, 's'));
    const int data = Passive(p);
    EXPECT_EQ(Cmd(p, "STOR up.bin"), "150 Opening BINARY mode data connection for up.bin.");
    const std::string block(600, 'u');
    ASSERT_EQ(send(data, block.data(), block.size(), 0), 600);
    close(data);
    fds_.erase(std::find(fds_.begin(), fds_.end(), data));
    EXPECT_EQ(Line(p), "226 Transfer complete.");
  }
  EXPECT_EQ(manager_->Stats().KBytesDownloaded, 1.0);
  EXPECT_EQ(manager_->Stats().KBytesUploaded, 1.0);
}

namespace {

// Holds the pool's only worker until the test opens it, so that a session's
// listing waits in the queue for as long as the test needs.
class WorkerGate {
 public:
  explicit WorkerGate(RWorkPool& pool) : gate_(std::make_shared<test::WorkGate>()) {
    // The worker keeps the gate alive: it may still be leaving the wait
    // when this object is gone.
    (void)pool.Submit(
        {}, std::make_shared<RWorkCancel>(),
        [g = gate_]() -> RWorkPool::Result {
          g->Wait();
          return nullptr;
        },
        [](const RWorkPool::Result&) {});
    gate_->WaitForWaiters(1);
  }
  ~WorkerGate() { Open(); }
  void Open() { gate_->Open(); }

 private:
  std::shared_ptr<test::WorkGate> gate_;
};

}  // namespace

// A session whose listing waits for a worker: its further commands wait
// behind it while other sessions are served at once; a full queue answers
// "450" instead of waiting; the administrator's kill ends the waiting
// session, and its job is dropped without running.
TEST_F(ConnectionTest, WorkerWaitQueuesInputFullQueueRefusesKillDrops) {
  Serve("WorkerThreads=1\nWorkerQueue=1\n");
  WriteFile("a.txt", "x");
  Peer a = Login();
  Peer b = Login();
  RFTPSComInterp* sa = manager_->Sessions().front().get();
  const uint32_t numberA = sa->Number();
  WorkerGate gate(manager_->Pool());
  ASSERT_GT(PasvPort(Cmd(a, "PASV")), 0);
  Send(a, "NLST");
  Send(a, "NOOP");
  EXPECT_EQ(Line(a, kQuiet), "<none>") << "NOOP answered before the waiting NLST";
  EXPECT_TRUE(sa->AwaitingWork());
  EXPECT_EQ(Cmd(b, "NOOP"), "200 Command okay.");
  EXPECT_EQ(Cmd(b, "LIST"), "450 Server is busy - please try again later.");
  EXPECT_EQ(Cmd(b, "MLSD"), "450 Server is busy - please try again later.");
  EXPECT_EQ(Cmd(b, "SITE INDEX *.txt"), "450 Server is busy - please try again later.");
  EXPECT_EQ(Cmd(b, "STOU"), "450 Server is busy - please try again later.");
  EXPECT_EQ(Cmd(b, "NOOP"), "200 Command okay.");
  // The kill of the GUI.
  ASSERT_TRUE(loop_.PostMessage(manager_->MainWindow(), MSG_REMOVE_SESSION, numberA));
  EXPECT_TRUE(Closed(a));
  EXPECT_EQ(manager_->FindSession(numberA), nullptr);
  gate.Open();
  EXPECT_TRUE(test::RunLoopUntil(loop_, [&] { return manager_->Pool().Idle(); }));
  EXPECT_EQ(manager_->Pool().Stats().skipped, 1u) << "the killed session's job ran";
  // The worker is free again: b's listing goes through.
  const int port = PasvPort(Cmd(b, "PASV"));
  ASSERT_GT(port, 0);
  const int data = ConnectTo(port);
  EXPECT_EQ(Cmd(b, "NLST"), "150 Opening ASCII mode data connection for /bin/ls.");
  EXPECT_NE(ReadToEnd(data).find("a.txt\r\n"), std::string::npos);
  EXPECT_EQ(Line(b), "226 Transfer complete.");
  // STOU's name search runs on the worker too, and its upload lands whole.
  WriteFile("FTP00000", "taken");
  const int upPort = PasvPort(Cmd(b, "PASV"));
  ASSERT_GT(upPort, 0);
  const int up = ConnectTo(upPort);
  EXPECT_EQ(Cmd(b, "STOU"), "150 Opening ASCII mode data connection for FTP00001.");
  ASSERT_EQ(send(up, "new", 3, 0), 3);
  close(up);
  fds_.erase(std::find(fds_.begin(), fds_.end(), up));
  EXPECT_EQ(Line(b), "226 Transfer complete.");
  EXPECT_EQ(test::ReadText(dir_ + "/FTP00001"), "new");
  EXPECT_EQ(test::ReadText(dir_ + "/FTP00000"), "taken");
}

// What arrives while a listing waits is handled after it, in order: an
// ABOR ends the listing as it would right after the command; a time-out
// ends the session with its reply at once; a client that went away is removed; none leaves a
// session behind. A reload meanwhile retires the pool only once the
// listing it holds is delivered.
TEST_F(ConnectionTest, WorkerWaitThenAbortTimeOutCloseAndReload) {
  Serve("WorkerThreads=1\n");
  {
    Peer p = Login();
    WorkerGate gate(manager_->Pool());
    ASSERT_GT(PasvPort(Cmd(p, "PASV")), 0);
    Send(p, "LIST");
    Send(p, "ABOR");
    EXPECT_EQ(Line(p, kQuiet), "<none>");
    gate.Open();
    EXPECT_EQ(Line(p), "226 ABOR command successful.");
    EXPECT_EQ(Cmd(p, "NOOP"), "200 Command okay.");
    EXPECT_EQ(Cmd(p, "QUIT"), "221 Goodbye!");
    EXPECT_TRUE(Closed(p));
  }
  {
    Peer p = Login();
    RFTPSComInterp* s = OnlySession();
    s->SetLoginTimeOuts(60);  // security off: no account gives one
    WorkerGate gate(manager_->Pool());
    ASSERT_GT(PasvPort(Cmd(p, "PASV")), 0);
    Send(p, "NLST");
    Send(p, "NOOP");
    // The idle limit passes while the listing waits: the time-out is
    // answered at once, not after a job that may never end, and what was
    // parked behind the job is dropped with it.
    Seconds(61);
    // The session may be gone already; if not, it no longer waits for the job.
    if (!manager_->Sessions().empty()) {
      EXPECT_FALSE(OnlySession()->AwaitingWork());
    }
    EXPECT_EQ(Line(p), "421 Connection timed out - closing.");
    EXPECT_TRUE(Closed(p));
    EXPECT_EQ(p.buf, "");
    gate.Open();
    EXPECT_TRUE(test::RunLoopUntil(loop_, [&] { return manager_->Sessions().empty(); }));
  }
  {
    Peer p = Login();
    WorkerGate gate(manager_->Pool());
    RWorkPool* before = &manager_->Pool();
    Send(p, "NLST");
    close(p.fd);
    fds_.erase(std::find(fds_.begin(), fds_.end(), p.fd));
    // The close is seen within passes of the loop; 100 ms of real time is
    // ample, and the session must still be there at the end of them.
    test::RunLoopUntil(
        loop_, [&] { return manager_->Sessions().size() != 1; }, std::chrono::milliseconds(100));
    EXPECT_EQ(manager_->Sessions().size(), 1u) << "gone before its listing came back";
    // A reload that changes the pool's size while the job waits.
    WriteFile("VANTOR.INI", "[GLOBAL]\nPortNr=" + std::to_string(port_) +
                                "\nWorkerThreads=2\n[USER=joe]\nHomeDir=" + dir_ + "\n");
    manager_->ApplySettings();
    EXPECT_NE(&manager_->Pool(), before);
    gate.Open();
    EXPECT_TRUE(test::RunLoopUntil(loop_, [&] { return manager_->Sessions().empty(); }));
  }
}

// Another program's change to the configuration file is read and parsed on
// a worker: the session whose command would ask about it waits until the
// new content is in, its pipelined commands are answered after it, in
// order, and the answers use the new accounts.
TEST_F(ConnectionTest, OutsideIniChangeWaitsForTheWorkerRead) {
  const std::string ini = "[GLOBAL]\nPortNr=" + std::to_string(port_) +
                          "\nWorkerThreads=1\nEncryptPasswords=NO\n[USER=joe]\nPassword=pw\n"
                          "HomeDir=" +
                          dir_ + "\n";
  Start(ini, false);
  auto store = std::make_unique<RFTPSSecurity>(ini_);
  manager_->SetAccessHandler(
      [&](AccessQuery& q) { HandleAccessQueryMessage(store.get(), true, q); });
  manager_->SetAccessDataWait(
      [&](RWorkPool& pool, const RWorkCancelPtr& cancel, std::function<void()> ready) {
        return store->Ini().RefreshOffLoop(&pool, cancel, std::move(ready));
      });
  manager_->ApplySettings();
  Peer p = Client();
  EXPECT_EQ(Line(p), kGreeting);
  EXPECT_EQ(Cmd(p, "USER joe"), "331 User name okay, need password.");
  Peer q = Client();
  EXPECT_EQ(Line(q), kGreeting);
  {
    WorkerGate gate(manager_->Pool());
    WriteFile("VANTOR.INI", ini + "[USER=ann]\nPassword=new\nHomeDir=" + dir_ + "\n");
    Send(p, "PASS pw");
    Send(p, "USER ann");
    Send(p, "PASS new");
    Send(p, "NOOP");
    EXPECT_EQ(Line(p, kQuiet), "<none>") << "answered before the file was read again";
    // Another session's commands that never ask the store wait for nothing.
    Send(q, "NOOP");
    Send(q, " syst");
    EXPECT_EQ(Line(q), "200 Command okay.");
    EXPECT_EQ(Line(q), "215 UNIX Type: L8");
    Send(q, "USER ann");
    EXPECT_EQ(Line(q, kQuiet), "<none>") << "USER answered before the file was read again";
  }
  EXPECT_EQ(Line(q), "331 User name okay, need password.");
  EXPECT_EQ(Line(p), "230 User logged in, proceed.");
  EXPECT_EQ(Line(p), "331 User name okay, need password.");
  EXPECT_EQ(Line(p), "230 User logged in, proceed.");
  EXPECT_EQ(Line(p), "200 Command okay.");
  manager_.reset();  // its sessions still ask the store as they close
}

// Message files are read on a worker: the greeting, a directory message and
// the sign-off wait for it with everything after them, then leave byte for
// byte as before. A session killed while its greeting is read leaves
// nothing behind, and a second session waiting for the same file shares
// the read.
TEST_F(ConnectionTest, MessageFilesReadOnWorker) {
  WriteFile("on.txt", "welcome\r\n%IP here\n");
  WriteFile("off.txt", "bye\n");
  std::filesystem::create_directory(dir_ + "/sub");
  WriteFile("sub/.msg", "in sub\n");
  Serve("WorkerThreads=1\nDirChangeMesFile=" + dir_ + "/sub/.msg\n[SIGNONOFF]\nMessageFiles1=-1|" +
        dir_ + "/on.txt|" + dir_ + "/off.txt\n");
  // Reads every byte until `n` have come or the deadline passes.
  auto bytes = [this](Peer& p, size_t n, std::chrono::milliseconds limit = kWait) {
    RunUntil(
        [&] {
          Drain(p);
          return p.buf.size() >= n;
        },
        limit);
    std::string out = p.buf;
    p.buf.clear();
    return out;
  };
  const std::string greeting =
      "220-Vantor FTP-Server v2.5k for WinSock ready...\r\n220-welcome\r\n220 127.0.0.1 here\r\n";
  auto gate = std::make_unique<WorkerGate>(manager_->Pool());
  Peer a = Client();
  Peer b = Client();
  RunUntil([&] { return manager_->Sessions().size() >= 2; });
  ASSERT_EQ(manager_->Sessions().size(), 2u);
  const uint32_t numberA = manager_->Sessions().front()->Number();
  EXPECT_EQ(bytes(a, 1, kQuiet), "") << "greeting sent before its sign-on file was read";
  ASSERT_TRUE(loop_.PostMessage(manager_->MainWindow(), MSG_REMOVE_SESSION, numberA));
  EXPECT_TRUE(Closed(a));
  EXPECT_EQ(a.buf, "");
  EXPECT_EQ(manager_->FindSession(numberA), nullptr);
  gate.reset();
  EXPECT_EQ(bytes(b, greeting.size()), greeting);
  EXPECT_EQ(manager_->Pool().Stats().joined, 1u) << "the two greetings did not share the read";
  EXPECT_EQ(manager_->Messages().CachedEntries(RSignKind::SignOn), 2u)
      << "a marker for the home and the all-homes entry";
  EXPECT_EQ(Cmd(b, "USER joe"), "230 User JOE logged in.");
  gate = std::make_unique<WorkerGate>(manager_->Pool());
  Send(b, "CWD " + dir_ + "/sub");
  Send(b, "NOOP");
  EXPECT_EQ(bytes(b, 1, kQuiet), "") << "a reply overtook the directory message";
  gate.reset();
  const std::string cwd =
      "250-in sub\r\n250 Directory changed to /c:" + dir_ + "/sub\r\n200 Command okay.\r\n";
  EXPECT_EQ(bytes(b, cwd.size()), cwd);
  Send(b, "QUIT");
  EXPECT_TRUE(Closed(b));
  EXPECT_EQ(b.buf, "221 bye\r\n");
  RunUntil([&] { return manager_->Sessions().empty(); });
  EXPECT_TRUE(manager_->Sessions().empty());
  EXPECT_TRUE(manager_->Pool().Idle());
}

// Server end while an upload step writes on the data lane: the lane stops
// before the sessions end, so the resumed file is cut back to exactly what
// it was, with no chunk of the step landing after the cut (a hole and
// stray bytes beyond the old end).
TEST_F(ConnectionTest, ServerEndStopsUploadStepBeforeTheCut) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Serve("DeletePartialUploads=1\n");
    WriteFile("resumed.bin", "old contents");
    Peer p = Login();
    ASSERT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
    const int data = Passive(p);
    ASSERT_EQ(Cmd(p, "APPE resumed.bin"),
              "150 Opening BINARY mode data connection for resumed.bin.");
    std::thread sender([data] {
      const std::string chunk(1 << 20, 'x');
      for (int i = 0; i < 2048; ++i) {
        if (send(data, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) break;
      }
    });
    // Sampled every millisecond: a step may begin and end between two
    // samples of a slower poll.
    bool running = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!running && std::chrono::steady_clock::now() < end) {
      loop_.RunOnce(1);
      running = layer_.DataPool() != nullptr && layer_.DataPool()->Stats().running > 0;
    }
    EXPECT_TRUE(running) << "no upload step came out";
    manager_.reset();
    shutdown(data, SHUT_RDWR);
    sender.join();
    std::ifstream in(dir_ + "/resumed.bin", std::ios::binary);
    const std::string left((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(left.size(), 12u);
    EXPECT_TRUE(left == "old contents");
    for (int fd : fds_) close(fd);
    fds_.clear();
  }
}

namespace {

// Holds every thread of the data lane until opened: an upload's step is
// then handed out but not run for as long as the test needs.
class LaneGate {
 public:
  explicit LaneGate(RWorkPool& pool) : gate_(std::make_shared<test::WorkGate>()) {
    for (int i = 0; i < pool.DataThreads(); ++i) {
      (void)pool.SubmitData(
          std::make_shared<RWorkCancel>(),
          [g = gate_]() -> RWorkPool::Result {
            g->Wait();
            return nullptr;
          },
          [](const RWorkPool::Result&) {});
    }
    ready = gate_->WaitForWaiters(pool.DataThreads());
  }
  ~LaneGate() { Open(); }
  void Open() { gate_->Open(); }
  bool ready = false;

 private:
  std::shared_ptr<test::WorkGate> gate_;
};

int OpenDescriptors() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return s;
}

}  // namespace

// An upload whose block is out on the data lane when it ends (the client's
// end of the stream, ABOR, the session going away): the loop goes on
// serving (another session's NOOP is answered at once), the end waits
// behind the block by message, then the block is counted whole and the
// replies come in their order. A partial upload is removed, or a resumed
// file cut back, only after the block: nothing is written after the cut.
// No descriptor stays open.
TEST_F(ConnectionTest, UploadEndWaitsForTheBlockOnTheLane) {
  Serve("DeletePartialUploads=1\n");
  // Each session's host name lookup reads /etc/hosts on its own thread: in
  // flight when the descriptors are counted, it made the count one too high
  // on a busy machine and the end then looked one descriptor short.
  manager_->SetHostNameLogging(false);
  WriteFile("resumed.bin", "old contents");
  Peer other = Login();
  const std::string sent = Bytes(100000);
  auto stepOut = [&] {
    for (const auto& s : manager_->Sessions()) {
      if (s->Transfer.link.socket && s->Transfer.link.socket->ReceiveStepOut()) return true;
    }
    return false;
  };
  enum class End { Stream, Abor, Session };
  struct Case {
    const char* name;
    const char* command;
    End end;
    std::vector<std::string> replies;
    std::optional<std::string> left;  // the file afterwards; none: removed
  };
  const Case cases[] = {
      {"end of the stream", "STOR up.bin", End::Stream, {"226 Transfer complete."}, sent},
      {"ABOR",
       "STOR ab.bin",
       End::Abor,
       {"426 Data connection closed, receive file ab.bin aborted.", "226 ABOR command successful."},
       std::nullopt},
      {"session end, resumed file", "APPE resumed.bin", End::Session, {}, "old contents"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer p = Login();
    ASSERT_EQ(Cmd(p, "TYPE I"), "200 Type set to I.");
    // Counted once the workers are idle: a file a login's job (such as the
    // INI write of its counters) still held would make the count one too
    // high, and the end then looked one descriptor short.
    ASSERT_TRUE(RunUntil([&] { return manager_->Pool().Idle(); }));
    const int before = OpenDescriptors();
    const int data = Passive(p);
    const std::string leaf = std::string(c.command).substr(5);
    ASSERT_EQ(Cmd(p, c.command), "150 Opening BINARY mode data connection for " + leaf + ".");
    ASSERT_TRUE(RunUntil([&] { return !stepOut() && layer_.DataPool()->Idle(); }));
    const size_t sessions = manager_->Sessions().size();
    {
      LaneGate gate(*layer_.DataPool());
      ASSERT_TRUE(gate.ready);
      ASSERT_EQ(send(data, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
      ASSERT_TRUE(RunUntil(stepOut));
      if (c.end == End::Stream) shutdown(data, SHUT_WR);
      if (c.end == End::Abor) Send(p, "ABOR");
      if (c.end == End::Session) {
        close(p.fd);
        fds_.erase(std::find(fds_.begin(), fds_.end(), p.fd));
      }
      EXPECT_EQ(Cmd(other, "NOOP"), "200 Command okay.") << "the loop waits for no thread";
      RunFor(kQuiet);
      if (c.end != End::Session) {
        Drain(p);
        EXPECT_EQ(p.buf, "") << "the end waits behind the block";
      }
      EXPECT_EQ(manager_->Sessions().size(), sessions);
    }
    for (const std::string& r : c.replies) EXPECT_EQ(Line(p), r);
    if (c.end == End::Session) {
      EXPECT_TRUE(RunUntil([&] { return manager_->Sessions().size() == sessions - 1; }));
    }
    ASSERT_TRUE(RunUntil([&] { return layer_.DataPool()->Idle() && !stepOut(); }));
    const std::string path = dir_ + "/" + leaf;
    if (!c.left) {
      EXPECT_FALSE(std::filesystem::exists(path));
    } else {
      std::ifstream in(path, std::ios::binary);
      const std::string left((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      EXPECT_EQ(left.size(), c.left->size());
      EXPECT_TRUE(left == *c.left);
    }
    close(data);
    fds_.erase(std::find(fds_.begin(), fds_.end(), data));
    const int expected = before - (c.end == End::Session ? 2 : 0);
    EXPECT_TRUE(RunUntil([&] {
      return layer_.DataPool()->Idle() && OpenDescriptors() == expected &&
             std::all_of(manager_->Sessions().begin(), manager_->Sessions().end(),
                         [](const auto& s) { return !s->Transfer.link.socket; });
    })) << OpenDescriptors()
        << " descriptors, " << expected << " expected";
  }
}
