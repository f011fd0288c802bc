// Listeners over real sockets on 127.0.0.1: binding again right after
// serving, a port held by someone else, recovery of a failed listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "ftp_fixture.h"

using namespace vantor;

namespace {

class ListenerTest : public LoopbackTest {
 protected:
  // A listener of our own on the port, as another program would hold it.
  int Occupy() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 5), 0);
    return fd;
  }
  int Count(const std::string& text) const { return log_.Count(text); }
};

}  // namespace

// Sessions closed by the server leave their connections in TIME_WAIT on the
// port; a new server on the same port listens at once all the same.
TEST_F(ListenerTest, RestartAfterServingListensAtOnce) {
  Serve();
  for (int i = 0; i < 3; ++i) {
    Peer c = Client();
    ASSERT_EQ(Line(c), kGreeting);
    ASSERT_EQ(Cmd(c, "QUIT"), "221 Goodbye!");
    ASSERT_TRUE(Closed(c)) << "server did not close";
  }
  manager_.reset();
  log_.lines.clear();
  Serve();
  EXPECT_TRUE(manager_->Online());
  EXPECT_EQ(Count("SERVER IS NOT LISTENING"), 0);
  Peer c = Client();
  EXPECT_EQ(Line(c), kGreeting);
}

// A port that another program holds: the failure is logged at once and then
// once a minute, the front end is told what it waits for (once, not on every
// retry), and the server keeps trying until the port is free.
TEST_F(ListenerTest, PortInUseRetriedUntilFree) {
  const int holder = Occupy();
  Serve("", false);
  EXPECT_FALSE(manager_->Online());
  const std::string failure =
      "SERVER IS NOT LISTENING: Port number " + std::to_string(port_) + " is already in use!";
  EXPECT_EQ(Count(failure), 1);
  EXPECT_EQ(frontEnd_.beeps, 1);
  Seconds(50);
  EXPECT_EQ(Count(failure), 1) << "logged more often than once a minute";
  Seconds(15);
  EXPECT_EQ(Count(failure), 2);
  EXPECT_FALSE(manager_->Online());
  const std::vector<std::string> waiting{"Waiting for port " + std::to_string(port_) +
                                         ": Address already in use"};
  EXPECT_EQ(frontEnd_.listenWaits, waiting);
  close(holder);
  Seconds(6);
  EXPECT_TRUE(manager_->Online());
  EXPECT_EQ(frontEnd_.listenWaits, (std::vector<std::string>{waiting[0], ""}));
  EXPECT_EQ(Count("FTP Server on-line: IP-number(s) "), 1);
  Peer c = Client();
  EXPECT_EQ(Line(c), kGreeting);
  Seconds(120);
  EXPECT_EQ(Count(failure), 2);
}

// An error on the listener: it is logged, replaced on the same port (while
// a session still holds a connection of that port) and keeps accepting.
TEST_F(ListenerTest, FailedListenerIsReplaced) {
  Serve();
  Peer first = Client();
  ASSERT_EQ(Line(first), kGreeting);
  ASSERT_EQ(manager_->Listeners().size(), 1u);
  manager_->OnListenerEvent(manager_->Listeners()[0].socket->Id(), WS_Listening, WS_Error);
  EXPECT_EQ(Count("PROBLEM: Listening socket trashed - will attempt to get new one"), 1);
  EXPECT_EQ(Count("cannot create listening socket"), 0);
  ASSERT_EQ(manager_->Listeners().size(), 1u);
  EXPECT_TRUE(manager_->Online());
  Peer second = Client();
  EXPECT_EQ(Line(second), kGreeting);
  EXPECT_EQ(Cmd(first, "NOOP"), "200 Command okay.");
}
