#include "net/RAdminSocket.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vantor {
namespace {

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

RFd ListenUnixSocket(const std::string& path, uint32_t mode, std::optional<uint32_t> gid,
                     std::string* error) {
  sockaddr_un sun{};
  if (path.empty() || path.size() >= sizeof(sun.sun_path)) {
    *error = "socket path too long";
    return RFd();
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    // Only a socket is ours to replace: a typo in `AdminSocket` must never
    // delete a file.
    if (!S_ISSOCK(st.st_mode)) {
      *error = "exists and is not a socket";
      return RFd();
    }
    // A socket someone still answers on belongs to a running instance.
    sockaddr_un probe{};
    probe.sun_family = AF_UNIX;
    std::memcpy(probe.sun_path, path.data(), path.size());
    RFd test(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (test && ::connect(test.Get(), reinterpret_cast<sockaddr*>(&probe), sizeof(probe)) == 0) {
      *error = "in use by another running server";
      return RFd();
    }
    ::unlink(path.c_str());
  }
  RFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = ErrnoText("socket");
    return RFd();
  }
  sun.sun_family = AF_UNIX;
  std::memcpy(sun.sun_path, path.data(), path.size());
  // The file is created with no access at all, so that nobody can connect in
  // the moment between bind and chmod.
  const mode_t old = ::umask(0777);
  const int rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&sun), sizeof(sun));
  ::umask(old);
  if (rc != 0) {
    *error = ErrnoText("bind");
    return RFd();
  }
  auto fail = [&](const char* what) {
    *error = ErrnoText(what);
    ::unlink(path.c_str());
    return RFd();
  };
  if (gid && ::chown(path.c_str(), static_cast<uid_t>(-1), *gid) != 0) return fail("chown");
  if (::chmod(path.c_str(), mode) != 0) return fail("chmod");
  if (::listen(fd.Get(), 128) != 0) return fail("listen");
  return fd;
}

bool SetUnixSocketGroup(const std::string& path, std::optional<uint32_t> gid, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
    *error = "no socket there";
    return false;
  }
  const gid_t to = gid ? static_cast<gid_t>(*gid) : ::getegid();
  if (st.st_gid == to) return true;
  if (::lchown(path.c_str(), static_cast<uid_t>(-1), to) != 0) {
    *error = ErrnoText("chown");
    return false;
  }
  return true;
}

void RemoveUnixSocket(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
}

bool ParseListenAddress(const std::string& text, RListenAddrStr* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long p = std::stoul(port);
  if (p == 0 || p > 65535) return false;
  *out = RListenAddrStr{};
  out->text = text;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(p));
    if (::inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) != 1) return false;
    out->loopback = IN6_IS_ADDR_LOOPBACK(&a.sin6_addr);
    std::memcpy(&out->addr, &a, sizeof(a));
    out->len = sizeof(a);
    return true;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(p));
  if (host.empty()) {
    a.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    return false;
  }
  out->loopback = (ntohl(a.sin_addr.s_addr) >> 24) == 127;
  std::memcpy(&out->addr, &a, sizeof(a));
  out->len = sizeof(a);
  return true;
}

RFd ListenTcpSocket(const RListenAddrStr& a, std::string* error) {
  const int family = reinterpret_cast<const sockaddr*>(&a.addr)->sa_family;
  RFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = ErrnoText("socket");
    return RFd();
  }
  const int one = 1;
  (void)::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (family == AF_INET6)
    (void)::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a.addr), a.len) != 0) {
    *error = ErrnoText("bind");
    return RFd();
  }
  if (::listen(fd.Get(), 128) != 0) {
    *error = ErrnoText("listen");
    return RFd();
  }
  return fd;
}

std::optional<uint32_t> PeerUid(int fd) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return std::nullopt;
  return static_cast<uint32_t>(cred.uid);
}

std::string PeerAddressText(const sockaddr* sa) {
  if (sa == nullptr) return {};
  char buf[INET6_ADDRSTRLEN] = {};
  if (sa->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(sa);
    if (::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof(buf)) != nullptr) return buf;
  } else if (sa->sa_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
      in_addr v4{};
      std::memcpy(&v4, &a->sin6_addr.s6_addr[12], 4);
      if (::inet_ntop(AF_INET, &v4, buf, sizeof(buf)) != nullptr) return buf;
    } else if (::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof(buf)) != nullptr) {
      return buf;
    }
  }
  return {};
}

std::optional<uint32_t> GroupIdOf(const std::string& name) {
  group g{};
  group* found = nullptr;
  std::vector<char> buf(16384);
  if (::getgrnam_r(name.c_str(), &g, buf.data(), buf.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  return static_cast<uint32_t>(found->gr_gid);
}

}  // namespace vantor
