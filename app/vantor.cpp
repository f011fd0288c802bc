// `vantor`: the server without a window system.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/RMessageLoop.h"
#include "util/RStringTable.h"

using namespace vantor;

namespace {
constexpr uint32_t kMsgSignal = 0x8000;
}

int main() {
  SetLanguage(
      LanguageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG")));
  RMessageLoop loop;
  RWindowId main = loop.CreateWindow([&](const RMsg& m) -> intptr_t {
    if (m.message == kMsgSignal) {
      std::printf("%s\n", FormatStr(111, static_cast<int>(m.wParam)).c_str());
      loop.Quit(0);
    }
    return 0;
  });
  loop.WatchSignal(SIGTERM, main, kMsgSignal);
  loop.WatchSignal(SIGINT, main, kMsgSignal);
  std::printf("%s\n", FormatStr(110, "2.5.11.3", static_cast<int>(getpid())).c_str());
  std::fflush(stdout);
  return loop.Run();
}
