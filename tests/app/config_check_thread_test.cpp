// The configuration check on a text not yet saved, run on a thread that is
// not the loop's (as PATCH /v1/config runs it on a pool worker): it must
// judge the run-as account's reach of the files that text names, and never
// touch the loop's readers of the file (the thread checker of sanitizer
// builds aborts on any such use).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "app/RAdminCommands.h"
#include "config/RGlobalSettings.h"
#include "config/RIniFile.h"
#include "platform/RPrivileges.h"
#include "temp_dir.h"

namespace vantor {
namespace {

using test::TempDir;

std::vector<std::string> ErrorsOnWorker(const std::string& path, const std::string& text) {
  std::vector<std::string> out;
  std::thread worker([&] {
    for (const RConfigProblemStr& p : CheckConfigText(path, text))
      if (p.error) out.push_back(p.text);
  });
  worker.join();
  return out;
}

TEST(ConfigCheckOffLoop, RunAsReachComesFromTheCandidateText) {
  if (!RunningAsRoot()) GTEST_SKIP() << "asking as another account needs root";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
  const std::string secret = dir.Write("secret.pem", "not for nobody\n");
  const std::string open = dir.Write("open.pem", "anyone\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0644), 0);
  const std::string base = "[GLOBAL]\nVersion=2.5.11.3\nRunAsUser=nobody\n";
  const std::string saved =
      base + "TLSCertificateFile=" + open + "\nTLSPrivateKeyFile=" + open + "\n";
  const std::string ini = dir.Write("VANTOR.INI", saved);
  ASSERT_EQ(::chmod(ini.c_str(), 0666), 0);
  // The loop's reader of the file, bound to this thread as the server's is.
  const RIniFile loopReader(ini);
  ASSERT_EQ(loopReader.GetString(kGlobalSection, "TLSCertificateFile"), open);

  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"the saved text", saved, {}},
      {"a key file nobody cannot read",
       base + "TLSCertificateFile=" + open + "\nTLSPrivateKeyFile=" + secret + "\n",
       {"TLSPrivateKeyFile: " + secret + " cannot be read by nobody"}},
      {"both named unreadable",
       base + "TLSCertificateFile=" + secret + "\nTLSPrivateKeyFile=" + secret + "\n",
       {"TLSCertificateFile: " + secret + " cannot be read by nobody",
        "TLSPrivateKeyFile: " + secret + " cannot be read by nobody"}},
      // A missing file is reported by the existence checks, not as unreachable.
      {"no run-as account",
       "[GLOBAL]\nVersion=2.5.11.3\nTLSCertificateFile=" + secret +
           "\nTLSPrivateKeyFile=" + secret + "\n",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorsOnWorker(ini, c.text), c.errors);
  }
  // The loop's reader still sees the file as saved.
  EXPECT_EQ(loopReader.GetString(kGlobalSection, "TLSPrivateKeyFile"), open);
}

TEST(IniFromText, PrivateContentNeverReadNorWritten) {
  TempDir dir;
  const std::string path = dir.Write("A.INI", "[S]\nK=disk\n");
  const RIniFile shared(path);
  RIniFile copy = RIniFile::FromText(path, "[S]\nK=text\n[T]\nX=1\n");
  EXPECT_EQ(copy.GetString("S", "K"), "text");
  EXPECT_EQ(copy.SectionNames(), (std::vector<std::string>{"S", "T"}));
  EXPECT_FALSE(copy.WriteString("S", "K", "new"));
  EXPECT_FALSE(copy.WriteLines({"[S]", "K=lines"}));
  EXPECT_EQ(shared.GetString("S", "K"), "disk");
  EXPECT_EQ(test::ReadText(path), "[S]\nK=disk\n");
}

}  // namespace
}  // namespace vantor
