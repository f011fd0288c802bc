// Prints posted-and-dispatched messages per second and the cost of one
// readiness round trip (socketpair write -> FD_READ dispatched -> read).
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/RMessageLoop.h"

using namespace vantor;
using Clock = std::chrono::steady_clock;

// Any numbers do: the windows here take every message.
constexpr uint32_t kPosted = 1024;
constexpr uint32_t kSelected = 1030;

int main() {
  constexpr int kMessages = 5'000'000;
  {
    RMessageLoop loop(kMessages + 1);
    long received = 0;
    RWindowId w = loop.CreateWindow([&](const RMsg&) -> intptr_t {
      ++received;
      return 0;
    });
    auto t0 = Clock::now();
    // Post in bursts of 1000 and dispatch, as a busy server would.
    for (int i = 0; i < kMessages; i += 1000) {
      for (int j = 0; j < 1000; ++j) loop.PostMessage(w, kPosted, static_cast<uintptr_t>(j), 0);
      loop.RunOnce(0);
    }
    loop.RunPending();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("posted+dispatched: %ld messages in %.3f s = %.2f M msg/s\n", received, s,
                received / s / 1e6);
  }
  {
    RMessageLoop loop;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return 1;
    constexpr int kRounds = 200'000;
    int rounds = 0;
    RWindowId w = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
      char c;
      if (RSelectEvent(m.lParam) != FD_READ) return 0;
      if (::read(sv[0], &c, 1) == 1) ++rounds;
      loop.Reenable(sv[0], FD_READ);
      if (rounds < kRounds) {
        if (::write(sv[1], "x", 1) != 1) loop.Quit(1);
      } else {
        loop.Quit(0);
      }
      return 0;
    });
    loop.AsyncSelect(sv[0], w, kSelected, FD_READ);
    auto t0 = Clock::now();
    if (::write(sv[1], "x", 1) != 1) return 1;
    loop.Run();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("readiness round trip: %d rounds in %.3f s = %.2f us each\n", rounds, s,
                s / rounds * 1e6);
    loop.UnwatchFd(sv[0]);
    ::close(sv[0]);
    ::close(sv[1]);
  }
  return 0;
}
