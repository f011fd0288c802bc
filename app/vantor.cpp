// `vantor`: the server without a window system.
#include <cstdio>
#include <string>
#include <vector>

#include "app/RVantorApp.h"
#include "platform/RMessageLoop.h"
#include "platform/RProcess.h"
#include "util/RStringTable.h"

int main(int argc, char** argv) {
  using namespace vantor;
  auto env = [](const char* name) { return EnvVar(name); };
  const auto all = env("LC_ALL"), messages = env("LC_MESSAGES"), lang = env("LANG");
  SetLanguage(LanguageFromLocale(all ? all->c_str() : nullptr,
                                 messages ? messages->c_str() : nullptr,
                                 lang ? lang->c_str() : nullptr));
  std::vector<std::string> args(argv + 1, argv + argc);
  RMessageLoop loop;
  RVantorApp app(loop, stdout);
  // The FTP engine joins here: app.SetEngine(...) (see docs/config.md).
  return app.Main(args);
}
