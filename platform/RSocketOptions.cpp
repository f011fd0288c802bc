#include "platform/RSocketOptions.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vantor {

int SetSocketOption(int fd, RSockOption option, int value) {
  int level = SOL_SOCKET;
  int name = 0;
  switch (option) {
    case RSockOption::InlineOOB:
      name = SO_OOBINLINE;
      break;
    case RSockOption::KeepAlive:
      name = SO_KEEPALIVE;
      break;
    case RSockOption::NoDelay:
      level = IPPROTO_TCP;
      name = TCP_NODELAY;
      break;
    case RSockOption::SendBuffer:
      name = SO_SNDBUF;
      break;
    case RSockOption::ReceiveBuffer:
      name = SO_RCVBUF;
      break;
    case RSockOption::NotSentLowWater:
      level = IPPROTO_TCP;
      name = TCP_NOTSENT_LOWAT;
      break;
  }
  if (::setsockopt(fd, level, name, &value, sizeof(value)) != 0) return -errno;
  return 0;
}

}  // namespace vantor
