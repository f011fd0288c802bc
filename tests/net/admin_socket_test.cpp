#include "net/RAdminSocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/temp_dir.h"

using namespace vantor;

// Listen addresses as AdminListen and MetricsListen take them.
TEST(RAdminSocket, ParseListenAddress) {
  struct Case {
    const char* text;
    bool ok;
    bool loopback;
    int family;
  } cases[] = {
      {"127.0.0.1:8021", true, true, AF_INET},
      {"127.8.9.10:1", true, true, AF_INET},
      {"192.0.2.5:8021", true, false, AF_INET},
      {":8021", true, false, AF_INET},
      {"[::1]:8021", true, true, AF_INET6},
      {"[2001:db8::1]:65535", true, false, AF_INET6},
      {"127.0.0.1", false, false, 0},
      {"127.0.0.1:", false, false, 0},
      {"127.0.0.1:0", false, false, 0},
      {"127.0.0.1:65536", false, false, 0},
      {"127.0.0.1:80x", false, false, 0},
      {"::1:8021", false, false, 0},
      {"host.example:8021", false, false, 0},
      {"[::1:8021", false, false, 0},
      {"", false, false, 0},
      {"1.2.3.4:-1", false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RListenAddrStr a;
    ASSERT_EQ(ParseListenAddress(c.text, &a), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(a.loopback, c.loopback);
    EXPECT_EQ(reinterpret_cast<const sockaddr*>(&a.addr)->sa_family, c.family);
  }
}

// The socket file gets its mode; a stale one is replaced, a live one and
// any other file are left alone.
TEST(RAdminSocket, UnixSocketFile) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/admin.sock";
  std::string error;
  RFd fd = ListenUnixSocket(path, 0660, std::nullopt, &error);
  ASSERT_TRUE(fd) << error;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  // Someone answers on it: a second server must not take it over.
  RFd second = ListenUnixSocket(path, 0660, std::nullopt, &error);
  EXPECT_FALSE(second);
  EXPECT_EQ(error, "in use by another running server");
  fd = RFd();
  // Stale now: replaced.
  RFd third = ListenUnixSocket(path, 0600, std::nullopt, &error);
  ASSERT_TRUE(third) << error;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  third = RFd();
  RemoveUnixSocket(path);
  EXPECT_NE(::stat(path.c_str(), &st), 0);
  // A file that is no socket is never deleted.
  const std::string plain = dir.File("plain");
  dir.Write("plain", "keep");
  EXPECT_FALSE(ListenUnixSocket(plain, 0660, std::nullopt, &error));
  EXPECT_EQ(error, "exists and is not a socket");
  RemoveUnixSocket(plain);
  EXPECT_EQ(::stat(plain.c_str(), &st), 0);
}

// The peer's uid comes from the kernel, and addresses print as the log shows them.
TEST(RAdminSocket, PeerFacts) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(PeerUid(sv[0]), static_cast<uint32_t>(::getuid()));
  ::close(sv[0]);
  ::close(sv[1]);
  for (const char* text : {"192.0.2.1:5", "[2001:db8::7]:5"}) {
    SCOPED_TRACE(text);
    RListenAddrStr a;
    ASSERT_TRUE(ParseListenAddress(text, &a));
    const std::string want(text);
    EXPECT_EQ(PeerAddressText(reinterpret_cast<const sockaddr*>(&a.addr)),
              want[0] == '[' ? want.substr(1, want.find(']') - 1) : want.substr(0, want.find(':')));
  }
  EXPECT_EQ(PeerAddressText(nullptr), "");
}
