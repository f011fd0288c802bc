// The program's start-up step as a whole: the parts of the server's start
// that each read the configuration (the server, the administration
// settings, the switch of account, the kernel's confinement) read one
// content, whatever an editor saves meanwhile.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/RVantorApp.h"
#include "config/RIniFile.h"
#include "config/RProfile.h"
#include "platform/RMessageLoop.h"
#include "temp_dir.h"

namespace vantor {
namespace {

using test::TempDir;
using test::WriteText;

TEST(VantorAppStart, StartStepReadsTheContentTheServerLoaded) {
  const std::string first = "[GLOBAL]\nVersion=2.5.11.3\nPortNr=0\nConfinement=off\n";
  struct Case {
    const char* name;
    std::string saved;  // what lands on disk while the start step runs
    const char* confinementAfter;
    const char* driveAfter;
  };
  const Case cases[] = {
      // An editor truncates the file before writing it out: it reads as
      // empty, and the confinement's default (kernel) with no drive roots.
      {"truncated mid-save", "", "kernel", "-"},
      {"saved with a new drive", first + "[DRIVES]\nD=/srv/other\n", "off", "/srv/other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string ini = dir.Write("VANTOR.INI", first);
    std::vector<std::string> seen;
    std::optional<RIniFile> server;
    RMessageLoop loop;
    {
      RVantorApp app(loop, nullptr);
      REngineHooks h;
      h.start = [&](RVantorApp& a, const std::string& path) {
        // The server keeps its image of the file, as the real one does.
        server.emplace(path);
        seen.push_back(server->GetString(kGlobalSection, "Confinement", "kernel"));
        WriteText(path, c.saved);
        const RIniFile later(path);
        seen.push_back(later.GetString(kGlobalSection, "Confinement", "kernel"));
        seen.push_back(later.GetString("DRIVES", "D", "-"));
        a.Loop().Quit(0);
      };
      app.SetEngine(std::move(h));
      EXPECT_EQ(app.Main({"-u", ini}), 0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"off", "off", "-"}));
    // Not frozen: after the step, readers see the file as it is.
    EXPECT_EQ(server->GetString(kGlobalSection, "Confinement", "kernel"), c.confinementAfter);
    EXPECT_EQ(server->GetString("DRIVES", "D", "-"), c.driveAfter);
  }
}

}  // namespace
}  // namespace vantor
