#include "platform/RInstanceLock.h"

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vantor {

bool RInstanceLock::Acquire(const std::string& iniPath) {
  if (fd_) return true;
  // The path may be longer than a socket name may be: use a hash of it.
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : iniPath) h = (h ^ c) * 1099511628211ULL;
  char name[64];
  int len = std::snprintf(name, sizeof name, "vantor-%016llx", static_cast<unsigned long long>(h));
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name, static_cast<size_t>(len));  // sun_path[0] = 0: abstract
  RFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + len);
  if (::bind(fd.Get(), reinterpret_cast<struct sockaddr*>(&addr), size) != 0) return false;
  fd_ = std::move(fd);
  return true;
}

}  // namespace vantor
