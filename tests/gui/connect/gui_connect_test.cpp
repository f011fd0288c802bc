// vantor-gui --connect against a real running vantor: the built server with
// an INI in a temporary folder, an FTP session made by Python's ftplib, the
// window watching it through the administration socket (and over TLS with
// a token). Run under Xvfb.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/RIniFile.h"
#include "gui/qt/RMainWindow.h"
#include "gui/qt/RRemoteHost.h"
#include "gui/qt/RSetupDialogs.h"
#include "gui/qt/RUserInfoWindow.h"
#include "live_client.h"
#include "temp_dir.h"

using namespace vantor;
using vantor::guitest::FreePort;
using vantor::test::TempDir;

namespace {

const std::string kVantor = std::string(VANTOR_BINARY_DIR) + "/app/vantor";

bool PumpUntil(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A child process of the test, ended (SIGTERM to its PID) when it goes.
class Child : public QProcess {
 public:
  ~Child() override { Stop(); }
  void Stop() {
    if (state() == NotRunning) return;
    terminate();
    waitForFinished(15000);
  }
  // Whether it printed `text` so far.
  bool Printed(const char* text) {
    out_ += readAllStandardOutput().toStdString();
    return out_.find(text) != std::string::npos;
  }
  const std::string& Output() const { return out_; }

 private:
  std::string out_;
};

// Logs in, then keeps the control connection busy (PWD, NOOP) so the trace
// has lines, until the server ends the session; says how it ended.
const char* kFtpScript = R"(
import ftplib, sys, time
f = ftplib.FTP()
f.connect("127.0.0.1", int(sys.argv[1]), timeout=30)
f.login("joe", "pw-joe")
print("in", flush=True)
try:
    while True:
        f.pwd()
        f.voidcmd("NOOP")
        time.sleep(0.1)
except (EOFError, OSError, ftplib.Error) as e:
    print("closed", type(e).__name__, flush=True)
)";

class Server {
 public:
  explicit Server(const TempDir& dir, const std::string& extra = {}) : dir_(dir) {
    port = FreePort();
    std::filesystem::create_directories(dir.File("root"));
    socket = dir.File("admin.sock");
    ini = dir.Write("VANTOR.INI", "[GLOBAL]\nPortNr=" + std::to_string(port) +
                                      "\nEncryptPasswords=no\nAdminSocket=" + socket + "\n" +
                                      extra + "[DRIVES]\nC=" + dir.File("root") +
                                      "\n[USER=joe]\nPassword=pw-joe\nHomeDir=C:\\\n"
                                      "Access1=C:\\,RWL\n");
  }
  void Start() {
    std::filesystem::remove(socket);
    child_ = std::make_unique<Child>();
    child_->setProcessChannelMode(QProcess::MergedChannels);
    child_->setStandardOutputFile(QString::fromStdString(dir_.File("vantor.out")),
                                  QIODevice::Append);
    child_->start(QString::fromStdString(kVantor), {"-u", QString::fromStdString(ini)});
    ASSERT_TRUE(PumpUntil([&] { return std::filesystem::exists(socket); }))
        << test::ReadText(dir_.File("vantor.out"));
  }
  void Stop() { child_.reset(); }

  uint16_t port = 0;
  std::string socket, ini;

 private:
  const TempDir& dir_;
  std::unique_ptr<Child> child_;
};

std::string Label(RMainWindow* w) {
  return w->ConnectionField() != nullptr ? w->ConnectionField()->text().toStdString() : "";
}

}  // namespace

TEST(GuiConnect, LiveSessionTraceKillAndReconnect) {
  TempDir dir;
  Server server(dir);
  server.Start();
  std::string error;
  RAdminClient::Options o;
  o.target = *ParseConnectTarget("unix:" + server.socket, &error);
  RRemoteHost host(o, RGuiOptionsStr{});
  host.Start();
  RMainWindow* w = host.Window();
  ASSERT_TRUE(PumpUntil([&] { return host.Connected(); })) << Label(w);
  EXPECT_EQ(Label(w), "Connected to " + server.socket);

  const std::string script = dir.Write("ftp.py", kFtpScript);
  Child ftp;
  ftp.start("python3", {QString::fromStdString(script), QString::number(server.port)});
  ASSERT_TRUE(PumpUntil([&] { return ftp.Printed("in\n"); })) << ftp.Output();

  // The session in the list, the status bar and the log pane.
  w->ShowUserInfo();
  RUserInfoWindow* info = w->UserInfo();
  ASSERT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 1; }));
  const uint32_t n = info->List()->topLevelItem(0)->data(0, Qt::UserRole).toUInt();
  EXPECT_NE(info->LineText(n).toStdString().find("\tjoe\t127.0.0.1\t"), std::string::npos)
      << info->LineText(n).toStdString();
  EXPECT_TRUE(PumpUntil([&] { return w->StatusField(1)->text().startsWith("1 (0) Users"); }))
      << w->StatusField(1)->text().toStdString();
  EXPECT_TRUE(PumpUntil([&] {
    return w->LogPane()->toPlainText().contains("joe", Qt::CaseInsensitive);
  })) << w->LogPane()->toPlainText().toStdString();

  // Tracking it follows its dialogue; the details are its own.
  info->List()->setCurrentItem(info->List()->topLevelItem(0));
  EXPECT_EQ(info->Tracked(), n);
  ASSERT_TRUE(PumpUntil([&] {
    const QString d = info->Dialogue()->toPlainText();
    return d.contains("NOOP") && d.contains("257 ");
  })) << info->Dialogue()->toPlainText().toStdString();
  EXPECT_TRUE(PumpUntil([&] { return !info->Detail(5).isEmpty() && !info->Detail(0).isEmpty(); }))
      << info->Detail(5).toStdString();
  EXPECT_EQ(info->Detail(7).toStdString(), "Not protected; data: clear");

  // Kill: ftplib sees its connection end, the list empties.
  info->KillTracked();
  ASSERT_TRUE(PumpUntil([&] { return ftp.Printed("closed"); })) << ftp.Output();
  EXPECT_TRUE(PumpUntil([&] { return info->List()->topLevelItemCount() == 0; }));

  // The server goes away: shown as lost, the fields greyed; it comes back:
  // the window is connected again by itself.
  server.Stop();
  ASSERT_TRUE(PumpUntil([&] { return !host.Connected(); }));
  EXPECT_NE(Label(w).find("Connection to " + server.socket + " lost"), std::string::npos)
      << Label(w);
  EXPECT_FALSE(w->StatusField(1)->isEnabled());
  server.Start();
  ASSERT_TRUE(PumpUntil([&] { return host.Connected(); })) << Label(w);
  EXPECT_EQ(Label(w), "Connected to " + server.socket);
  EXPECT_TRUE(w->StatusField(1)->isEnabled());

  // The FTP server dialog, opened from the menu, saves into the image; its
  // change goes to the server as one PATCH and the reload shows in the
  // status bar.
  ASSERT_TRUE(PumpUntil([&] { return !host.IniPath().empty(); }));
  EXPECT_EQ(RIniFile(host.IniPath()).GetString("USER=joe", "Password"), "********");
  w->runSetup = [&](RSetupPage page) {
    EXPECT_EQ(page, RSetupPage::Server);
    RServerDialog d(host.IniPath());
    d.SetShowErrors(false);
    d.Field("MaxNrUsers")->setText("7");
    return d.TryAccept();
  };
  w->Action("setupserver")->trigger();
  EXPECT_TRUE(PumpUntil([&] { return w->StatusField(1)->text() == "0 (0) of 7 Users"; }))
      << w->StatusField(1)->text().toStdString();
  RIniFile written(server.ini);
  EXPECT_EQ(written.GetString("GLOBAL", "MaxNrUsers"), "7");
  // The mask was never written back.
  EXPECT_EQ(written.GetString("USER=joe", "Password"), "pw-joe");
  // A change the server's check refuses: its reasons in the log pane.
  ASSERT_TRUE(RIniFile(host.IniPath()).WriteString("GLOBAL", "MaxNrUsers", std::string("many")));
  host.ReloadSettings();
  EXPECT_TRUE(PumpUntil([&] {
    return w->LogPane()->toPlainText().contains(
        "The server refused the change: the change was refused: nothing was written; "
        "MaxNrUsers=many is not a number");
  })) << w->LogPane()->toPlainText().toStdString();
  EXPECT_EQ(RIniFile(server.ini).GetString("GLOBAL", "MaxNrUsers"), "7");
  host.Stop();
}

TEST(GuiConnect, OverTlsWithTokenAndItsRefusal) {
  TempDir dir;
  const std::string cert = dir.File("cert.pem"), key = dir.File("key.pem");
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=vantor "
      "-addext subjectAltName=IP:127.0.0.1 -days 2 -keyout '" +
      key + "' -out '" + cert + "' 2>/dev/null";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string hashOut = dir.File("hash");
  const std::string hash = "echo tok-gui | '" + kVantor + "' --hash-password > '" + hashOut + "'";
  ASSERT_EQ(std::system(hash.c_str()), 0);
  std::string tokenHash = test::ReadText(hashOut);
  while (!tokenHash.empty() && (tokenHash.back() == '\n' || tokenHash.back() == '\r'))
    tokenHash.pop_back();
  const uint16_t adminPort = FreePort();
  Server server(dir, "TLSCertificateFile=" + cert + "\nTLSPrivateKeyFile=" + key +
                         "\nAdminListen=:" + std::to_string(adminPort) +
                         "\nAdminTokenHash=" + tokenHash + "\n");
  server.Start();

  struct Case {
    const char* token;
    bool withCa;
    const char* shows;  // in the connection field
  } cases[] = {
      {"tok-gui", true, "Connected to https://127.0.0.1:"},
      {"wrong", true, "HTTP 401"},
      {"tok-gui", false, "lost"},  // the self-signed certificate is not trusted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.token) + (c.withCa ? " with CA" : " without CA"));
    RAdminClient::Options o;
    std::string error;
    o.target = *ParseConnectTarget("https://127.0.0.1:" + std::to_string(adminPort), &error);
    o.token = c.token;
    if (c.withCa) o.caFile = cert;
    RRemoteHost host(o, RGuiOptionsStr{});
    host.Start();
    EXPECT_TRUE(PumpUntil([&] { return Label(host.Window()).find(c.shows) != std::string::npos; }))
        << Label(host.Window());
    if (std::string(c.shows).find("Connected") != std::string::npos) {
      EXPECT_TRUE(PumpUntil([&] { return !host.IniPath().empty(); }));
    } else {
      EXPECT_FALSE(host.Connected());
    }
    host.Stop();
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Under Xvfb the real platform plug-in; elsewhere the offscreen one.
  if (std::getenv("DISPLAY") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int code = 0;
  {
    QApplication app(argc, argv);
    code = RUN_ALL_TESTS();
  }
  curl_global_cleanup();
  return code;
}
