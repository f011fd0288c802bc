// RFTPServer: what it hands between the account store and the manager.
#include <string>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "config/RIniFile.h"
#include "ftp/RFTPServer.h"
#include "ftp_fixture.h"

namespace vantor {
namespace {

// The store's counter writes go to the manager's worker pool, and
// admission asks the store's name-matching switch.
TEST(RFTPServer, StoreUsesTheManagersPoolAndSwitch) {
  test::TempDir dir;
  const std::string ini = dir.File("VANTOR.INI");
  const std::string head = "[GLOBAL]\nPortNr=" + std::to_string(FreePort()) +
                           "\n[IP-ACCESS]\nIP1=A,*.example\n[USER=q]\nQuotaEnable=YES\n";
  test::WriteText(ini, head + "QuotaMaxCurrent=1000,0\n");
  RManualClock clock;
  RMessageLoop loop(10000, &clock);
  RSocketLayer layer(loop);
  RRecordingFrontEnd frontEnd;
  {
    RFTPServer server(loop, layer, frontEnd, ini);
    server.Start();
    RFTPSManager& m = server.Manager();
    auto ask = [&m](uint32_t code, std::string_view user, std::string_view aux) {
      AccessQuery q = MakeAccessQuery(code, user, 0, 1);
      SetQueryAux2(q, aux, "");
      m.AnswerAccessQuery(q);
      return q.flag;
    };
    (void)m.Pool();
    ask(QC_QUOTA_CHANGE, "q", "-20");
    EXPECT_TRUE(RIniFile::WritesPending()) << "not handed to the manager's pool";
    test::RunLoopUntil(loop, [] { return !RIniFile::WritesPending(); });
    EXPECT_EQ(test::ReadText(ini), head + "QuotaMaxCurrent=1000,20\n");

    EXPECT_FALSE(m.IPNameMatchingOn());
    EXPECT_EQ(ask(QC_IP_ACCESS, "", "10.0.0.1"), 0u);
    EXPECT_TRUE(m.IPNameMatchingOn());
  }
  layer.CleanupSockLib();
}

}  // namespace
}  // namespace vantor
