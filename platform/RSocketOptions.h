// Socket options the FTP data connections take from `[GLOBAL]`
// (`SocketInlineOOB`, `SocketKeepAlive`, `SocketNoNagle`, `SocketSndBuffer`,
// `SocketRcvBuffer`), and the bound on a download's unsent backlog. One call
// per option; a failing option is reported and the caller carries on.
#pragma once

namespace vantor {

enum class RSockOption {
  InlineOOB,
  KeepAlive,
  NoDelay,
  SendBuffer,
  ReceiveBuffer,
  NotSentLowWater
};

// Sets `option` on the socket `fd` to `value`. Returns 0 or -errno.
[[nodiscard]] int SetSocketOption(int fd, RSockOption option, int value);

}  // namespace vantor
