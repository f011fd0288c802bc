// fuzz-libs: ftp fs accounts net log config platform util
// Feeds arbitrary bytes as command lines to a session without a network:
// the input is cut into lines at CR and LF, each line goes through the
// interpreter as the socket layer would deliver it (cut at 341 characters,
// Telnet commands removed). The account store answers from a real INI file.
// Checks that every reply is a bounded line, the reply queue stays within
// its bound, variables never grow past their buffer, and the session
// leaves no counter behind.
//
// Before fuzzing, one scripted login must succeed: a target that cannot
// log in would only ever explore the "not logged in" replies. It prints
// "ftp_session: login reached", which the CI smoke run looks for.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/RFTPSSecurity.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPVariables.h"
#include "net/RSocketLayer.h"
#include "platform/RClock.h"
#include "platform/RMessageLoop.h"

using namespace vantor;

namespace {

struct World {
  std::string dir;
  RManualClock clock;
  RMessageLoop loop{10000, &clock};
  RSocketLayer layer{loop};
  RFrontEnd frontEnd;
  std::unique_ptr<RFTPSSecurity> store;
  std::unique_ptr<RFTPSManager> manager;

  World() {
    char tmpl[] = "/tmp/vantor-fuzz-ftp-XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/login.txt") << "%Name %IP %unow %dir %u24h %ServerAvg %QuotaLeft\n";
    std::ofstream(dir + "/VANTOR.INI")
        << "[GLOBAL]\nEncryptPasswords=NO\nMaxNrUsers=5\n"
        << "[SIGNONOFF]\nMessageFiles1=-1|" << dir << "/login.txt|" << dir << "/login.txt\n"
        << "[USER=anonymous]\nHomeDir=" << dir << "\nLoginMesFile=" << dir << "/login.txt\n"
        << "[USER=joe]\nPassword=secret\nHomeDir=" << dir << "\nMaxUsersLoginPerIP=1\n"
        << "[USER=nopass]\nPassword=\nHomeDir=" << dir << "/missing\n";
    store = std::make_unique<RFTPSSecurity>(dir + "/VANTOR.INI", &clock);
    manager = std::make_unique<RFTPSManager>(loop, frontEnd, dir + "/VANTOR.INI", false, &layer);
    manager->SetAccessHandler(
        [this](AccessQuery& q) { HandleAccessQueryMessage(store.get(), true, q); });
    store->SetMessageFileLookup([this](bool on, uint32_t a, std::string& f) {
      return manager->LookupMessageFile(on, a, f);
    });
    manager->ApplySettings();
  }
  ~World() {
    manager.reset();
    std::filesystem::remove_all(dir);
  }
};

World& TheWorld() {
  static World* w = new World;  // lives for the whole run
  return *w;
}

void CheckReplies(RFTPSComInterp& s) {
  if (s.QueuedReplies().size() > RFTPSComInterp::kMaxQueuedReplies + 1) abort();
  for (const std::string& r : s.TakeQueuedReplies()) {
    if (r.size() > 1024) abort();
    if (r.find('\r') != std::string::npos || r.find('\n') != std::string::npos) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  World& w = TheWorld();
  RFTPSComInterp* s = w.manager->CreateDetachedSession("10.9.8.7", 0x7F000001);
  s->Dispatch("USER joe");
  s->Dispatch("PASS secret");
  const bool loggedIn = s->CommandState() == CS_LoggedIn;
  const std::deque<std::string> replies = s->TakeQueuedReplies();
  s->Dispatch("QUIT");
  s->OnTimer();
  w.manager->RemoveSession(s->Number());
  if (!loggedIn) {
    fprintf(stderr, "ftp_session: login failed:\n");
    for (const std::string& r : replies) fprintf(stderr, "  %s\n", r.c_str());
    abort();
  }
  fprintf(stderr, "ftp_session: login reached\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = TheWorld();
  const ServerStats& stats = w.manager->Stats();
  const uint32_t before = stats.ConnectionsNow;
  const uint32_t anonBefore = stats.AnonymousNow;
  RFTPSComInterp* s = w.manager->CreateDetachedSession("10.9.8.7", 0x7F000001);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const size_t end = input.find_first_of("\r\n");
    std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (line.size() > kMaxCommandLine) line = line.substr(0, kMaxCommandLine);
    s->Dispatch(StripTelnet(line));
    std::string text(line);
    ExpandVariables(*s, text);
    if (text.size() > 511) abort();
    CheckReplies(*s);
  }
  s->OnTimer();
  w.manager->RemoveSession(s->Number());
  if (stats.ConnectionsNow != before || stats.AnonymousNow != anonBefore) abort();
  return 0;
}
