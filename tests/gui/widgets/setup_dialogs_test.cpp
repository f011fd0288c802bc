#include <gtest/gtest.h>

#include "accounts/RCrypt.h"
#include "accounts/RPasswordHash.h"
#include "config/RDriveConfig.h"
#include "fake_engine.h"
#include "gui/qt/RAccountsDialog.h"
#include "gui/qt/RDrivesDialog.h"
#include "gui/qt/RLogPane.h"
#include "gui/qt/RSetupDialogs.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::guitest::FakeEngine;
using vantor::test::TempDir;

namespace {

class SetupTest : public ::testing::Test {
 protected:
  SetupTest() { SetLanguage(RLanguage::English); }
  std::string Ini(const std::string& text) {
    dir_.Write("VANTOR.INI", text);
    return dir_.File("VANTOR.INI");
  }
  std::string Text() const { return dir_.Read("VANTOR.INI"); }
  TempDir dir_;
};

}  // namespace

// Bad numbers and addresses are refused with the reason, and nothing is
// written.
TEST_F(SetupTest, ServerDialogRefusesBadInput) {
  const std::string path = Ini("[GLOBAL]\nPortNr=2121\n");
  RServerDialog d(path);
  d.SetShowErrors(false);
  EXPECT_EQ(d.Field("PortNr")->text(), "2121");
  struct Case {
    const char* field;
    const char* value;
    const char* error;
  };
  const Case cases[] = {
      {"PortNr", "70000", "\"70000\" is not a number from 1 to 65535."},
      {"PortNr", "21a", "\"21a\" is not a number from 1 to 65535."},
      {"MaxNrUsers", "many", "\"many\" is not a number from 0 to 1000000."},
      {"DirCacheSize", "500", "\"500\" is not a number from 1 to 150."},
      {"DirListMask", "rwxrwxrwz", "\"rwxrwxrwz\" is not a permission mask like rwxrwxrwx."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    const QString keep = d.Field(c.field)->text();
    d.Field(c.field)->setText(c.value);
    EXPECT_FALSE(d.TryAccept());
    EXPECT_EQ(d.Error(), c.error);
    d.Field(c.field)->setText(keep);
  }
  d.homes->insertRow(0);
  d.homes->setItem(0, 0, new QTableWidgetItem("10.0.0.256"));
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(),
            "\"10.0.0.256\" is not an IP address (four numbers from 0 to 255, separated by dots).");
  EXPECT_EQ(Text(), "[GLOBAL]\nPortNr=2121\n");
  EXPECT_FALSE(d.Saved());
}

// The account to run as and the TLS keys: shown as the file has them (the
// session reuse switch on by default), checked, and written only when
// changed; an emptied field removes its key.
TEST_F(SetupTest, ServerDialogRunAsAndTls) {
  const std::string path = Ini("[GLOBAL]\nPortNr=2121\nTLSMinProtocol=tlsv1.3\n");
  RServerDialog d(path);
  d.SetShowErrors(false);
  EXPECT_EQ(d.Field("RunAsUser")->text(), "");
  EXPECT_TRUE(d.Switch("TLSDataSessionReuse")->isChecked());
  auto* min = d.findChild<QComboBox*>("TLSMinProtocol");
  ASSERT_NE(min, nullptr);
  EXPECT_EQ(min->currentText(), "TLSv1.3");
  EXPECT_TRUE(d.TryAccept());
  EXPECT_FALSE(d.Saved());
  EXPECT_EQ(Text(), "[GLOBAL]\nPortNr=2121\nTLSMinProtocol=tlsv1.3\n");

  RServerDialog e(path);
  e.SetShowErrors(false);
  e.Field("RunAsGroup")->setText("ftp");
  EXPECT_FALSE(e.TryAccept());
  EXPECT_EQ(e.Error(), "A run-as group needs a run-as user.");
  e.Field("RunAsUser")->setText("ftp");
  e.Field("TLSImplicitPortNr")->setText("2121");
  EXPECT_FALSE(e.TryAccept());
  EXPECT_EQ(e.Error(), "The implicit TLS port may not be the FTP port.");
  e.Field("TLSImplicitPortNr")->setText("70000");
  EXPECT_FALSE(e.TryAccept());
  EXPECT_EQ(e.Error(), "\"70000\" is not a number from 0 to 65535.");
  EXPECT_EQ(Text(), "[GLOBAL]\nPortNr=2121\nTLSMinProtocol=tlsv1.3\n");
  e.Field("TLSImplicitPortNr")->setText("990");
  e.Field("TLSMaxHandshakes")->setText("0");
  EXPECT_FALSE(e.TryAccept());
  EXPECT_EQ(e.Error(), "\"0\" is not a number from 1 to 100000.");
  e.Field("TLSMaxHandshakes")->setText("500");
  e.Field("TLSCertificateFile")->setText("/etc/vantor/cert.pem");
  e.Field("TLSPrivateKeyFile")->setText("/etc/vantor/key.pem");
  e.findChild<QComboBox*>("TLSMinProtocol")->setCurrentIndex(0);
  e.Switch("TLSDataSessionReuse")->setChecked(false);
  ASSERT_TRUE(e.TryAccept()) << e.Error();
  EXPECT_EQ(Text(),
            "[GLOBAL]\nPortNr=2121\nTLSMinProtocol=TLSv1.2\nRunAsGroup=ftp\nRunAsUser=ftp\n"
            "TLSCertificateFile=/etc/vantor/cert.pem\nTLSImplicitPortNr=990\nTLSMaxHandshakes=500\n"
            "TLSPrivateKeyFile=/etc/vantor/key.pem\nTLSDataSessionReuse=NO\n");

  RServerDialog f(path);
  f.SetShowErrors(false);
  EXPECT_FALSE(f.Switch("TLSDataSessionReuse")->isChecked());
  f.Field("RunAsGroup")->setText("");
  ASSERT_TRUE(f.TryAccept()) << f.Error();
  EXPECT_FALSE(RIniFile(path).HasKey("GLOBAL", "RunAsGroup"));
  EXPECT_EQ(RIniFile(path).GetString("GLOBAL", "RunAsUser"), "ftp");
}

// Only changed fields are written, over a hand edit made while the dialog
// was open; IP homes keep their key numbers.
TEST_F(SetupTest, ServerDialogWritesChangesOnly) {
  const std::string path = Ini(
      "; admin notes\n[GLOBAL]\nPortNr=2121\nCheckAnonPass=yes\n[IP-HOMES]\nIP3=10.0.0.1,Office\n");
  {
    RServerDialog untouched(path);
    untouched.SetShowErrors(false);
    EXPECT_TRUE(untouched.TryAccept());
    EXPECT_FALSE(untouched.Saved());
  }
  EXPECT_EQ(
      Text(),
      "; admin notes\n[GLOBAL]\nPortNr=2121\nCheckAnonPass=yes\n[IP-HOMES]\nIP3=10.0.0.1,Office\n");

  RServerDialog d(path);
  d.SetShowErrors(false);
  EXPECT_TRUE(d.Switch("CheckAnonPass")->isChecked());
  d.Field("PortNr")->setText("2200");
  d.Field("MaxNrUsers")->setText("10");
  EXPECT_TRUE(d.Switch("BlockFTPBounceAttack")->isChecked()) << "on by default";
  d.Switch("BlockFTPBounceAttack")->setChecked(false);
  d.Switch("AntiHammer")->setChecked(true);
  d.homes->insertRow(1);
  d.homes->setItem(1, 0, new QTableWidgetItem("192.168.1.5"));
  d.homes->setItem(1, 1, new QTableWidgetItem(""));
  d.homes->setItem(1, 2, new QTableWidgetItem("203.0.113.9"));
  // Someone edits the file by hand meanwhile.
  RIniFile hand(path);
  ASSERT_TRUE(hand.WriteString("GLOBAL", "CheckAnonPass", "no"));
  ASSERT_TRUE(d.TryAccept()) << d.Error();
  EXPECT_TRUE(d.Saved());
  RIniFile ini(path);
  EXPECT_EQ(ini.GetString("GLOBAL", "PortNr"), "2200");
  EXPECT_EQ(ini.GetString("GLOBAL", "MaxNrUsers"), "10");
  EXPECT_EQ(ini.GetString("GLOBAL", "BlockFTPBounceAttack"), "NO");
  EXPECT_EQ(ini.GetString("GLOBAL", "AntiHammer"), "YES");
  EXPECT_FALSE(ini.GetBool("GLOBAL", "CheckAnonPass", true)) << "hand edit overwritten";
  EXPECT_EQ(ini.GetString("IP-HOMES", "IP3"), "10.0.0.1,Office");
  EXPECT_EQ(ini.GetString("IP-HOMES", "IP4"), "192.168.1.5,,203.0.113.9");
  EXPECT_EQ(Text().rfind("; admin notes\n", 0), 0u);
}

// IP access rules: order kept, malformed entries of the file dropped, bad
// patterns refused.
TEST_F(SetupTest, IPAccessDialog) {
  const std::string path = Ini("[IP-ACCESS]\nIP1=A,127.*\nIP2=X,junk\nIP3=D,*\n");
  RIPAccessDialog d(path);
  d.SetShowErrors(false);
  ASSERT_EQ(d.rules->rowCount(), 2);
  d.AddRule(false, "10.0.0.1-50");
  d.AddRule(true, "*.example.com");
  d.AddRule(true, "10.0.0.300");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(),
            "\"10.0.0.300\": each part must be *, a number from 0 to 255 or a range low-high.");
  d.rules->removeRow(4);
  ASSERT_TRUE(d.TryAccept()) << d.Error();
  EXPECT_EQ(Text(), "[IP-ACCESS]\nIP1=A,127.*\nIP2=D,*\nIP3=D,10.0.0.1-50\nIP4=A,*.example.com\n");
}

// Logging switches, file and IP list through the logger's own save.
TEST_F(SetupTest, LoggingDialog) {
  const std::string path = Ini("[GLOBAL]\n");
  FakeEngine engine(path);
  RLoggingDialog d(engine);
  d.SetShowErrors(false);
  EXPECT_TRUE(d.screen[LS_SYSTEM]->isChecked());
  EXPECT_FALSE(d.screen[LS_COMMANDS]->isChecked());
  d.screen[LS_COMMANDS]->setChecked(true);
  d.logfile->setText(" " + QString::fromStdString(dir_.File("ftp.log")) + " ");
  d.rotation->setCurrentIndex(1);
  for (const char* bad : {"abc", "1000", "-1"}) {
    d.ipLogMinutes->setText(bad);
    EXPECT_FALSE(d.TryAccept()) << bad;
  }
  d.ipLogMinutes->setText("10");
  d.ipLogFile->setText("ips.txt");
  EXPECT_EQ(d.xferLog->text(), "");
  d.xferLog->setText(" xferlog ");
  d.dontLog->setText("127.0.0.1, 10.0.0.999");
  EXPECT_FALSE(d.TryAccept());
  d.dontLog->setText("127.0.0.1, 10.0.*.*");
  // The font is shown as a font, and one picked in the font dialog (which
  // answers in points) is stored in the file's form.
  EXPECT_EQ(d.font->text(), "Arial, 10 pt");
  EXPECT_EQ(d.font->font().family(), "Arial");
  QFont picked("DejaVu Sans Mono");
  picked.setPointSize(10);
  picked.setWeight(QFont::Bold);
  d.SetLogFont(QFontToLogFont(picked, d.LogFont()));
  EXPECT_EQ(d.font->text(), "DejaVu Sans Mono, 10 pt");
  EXPECT_EQ(d.font->font().pixelSize(), 13);
  EXPECT_TRUE(d.font->font().bold());
  ASSERT_TRUE(d.TryAccept()) << d.Error();
  RIniFile ini(path);
  EXPECT_EQ(ini.GetString("GLOBAL", "LogFTPCommands"), "ON");
  EXPECT_EQ(ini.GetString("GLOBAL", "Logfile"), dir_.File("ftp.log"));
  EXPECT_EQ(ini.GetString("GLOBAL", "LogFileRotation"), "Dayly");
  EXPECT_EQ(ini.GetString("GLOBAL", "IPLog"), "10,ips.txt");
  EXPECT_EQ(ini.GetString("GLOBAL", "LogIPDontLog"), "127.0.0.1, 10.0.*.*");
  EXPECT_EQ(ini.GetString("GLOBAL", "LogFont"), "-13,700,0,0,0,0,DejaVu Sans Mono");
  EXPECT_EQ(ini.GetString("GLOBAL", "XferLog"), "xferlog");
  // Emptied, the transfer log is off again: the key goes.
  RLoggingDialog again(engine);
  again.SetShowErrors(false);
  EXPECT_EQ(again.xferLog->text(), "xferlog");
  again.xferLog->clear();
  ASSERT_TRUE(again.TryAccept()) << again.Error();
  EXPECT_EQ(RIniFile(path).GetString("GLOBAL", "XferLog", "none"), "none");
}

// A stored log font survives the trip through the font button: shown as the
// font, saved back unchanged (character set included, which Qt lacks).
TEST_F(SetupTest, LogFontRoundTrip) {
  for (const char* stored : {"-13,500,0,0,0,0,Arial", "-16,700,1,1,0,136,DejaVu Sans",
                             "-9,400,0,0,1,0,Liberation Mono"}) {
    SCOPED_TRACE(stored);
    RLogFontStr f;
    ASSERT_TRUE(ParseLogFont(stored, &f));
    EXPECT_EQ(FormatLogFont(QFontToLogFont(LogFontToQFont(f), f)), stored);
  }
  const std::string path = Ini("[GLOBAL]\nLogFont=-16,700,1,0,0,0,DejaVu Sans\n");
  FakeEngine engine(path);
  RLoggingDialog d(engine);
  d.SetShowErrors(false);
  EXPECT_EQ(d.font->text(), "DejaVu Sans, 12 pt");
  EXPECT_TRUE(d.font->font().italic());
  ASSERT_TRUE(d.TryAccept());
  EXPECT_FALSE(d.Saved());
  EXPECT_EQ(Text(), "[GLOBAL]\nLogFont=-16,700,1,0,0,0,DejaVu Sans\n");
}

// Sign-on/sign-off files per home and the directory change files.
TEST_F(SetupTest, MessagesDialog) {
  const std::string path = Ini("[IP-HOMES]\nIP2=10.0.0.1\n[SIGNONOFF]\nMessageFiles1=2|a.txt|\n");
  RMessagesDialog d(path);
  d.SetShowErrors(false);
  ASSERT_EQ(d.files->rowCount(), 1);
  d.AddRow(-1, "on|x.txt", "off.txt");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "A message file name may not contain \"|\".");
  d.files->item(1, 1)->setText("on.txt");
  d.AddRow(-1, "", "x");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "Each IP home may have one entry only.");
  d.files->removeRow(2);
  d.dirChange->setText(".message");
  ASSERT_TRUE(d.TryAccept()) << d.Error();
  RIniFile ini(path);
  EXPECT_EQ(ini.GetString("SIGNONOFF", "MessageFiles1"), "2|a.txt|");
  EXPECT_EQ(ini.GetString("SIGNONOFF", "MessageFiles2"), "-1|on.txt|off.txt");
  EXPECT_EQ(ini.GetString("GLOBAL", "DirChangeMesFile"), ".message");
}

// Users: create, edit (password stored as crypt), validate, rename, delete.
TEST_F(SetupTest, UsersDialogRoundTrip) {
  const std::string path = Ini("[USER=** Default **]\nTimeOut=45\n");
  RAccountsDialog d(path, false);
  d.SetShowErrors(false);
  EXPECT_EQ(d.Current(), "** Default **");
  EXPECT_EQ(d.Field("TimeOut")->text(), "45");
  EXPECT_FALSE(d.CreateAccount("a]b"));
  EXPECT_FALSE(d.CreateAccount("** DEFAULT **"));
  EXPECT_EQ(d.Error(), "\"** DEFAULT **\" exists already.");
  ASSERT_TRUE(d.CreateAccount("joe")) << d.Error();
  EXPECT_EQ(d.Current(), "joe");
  d.Field("HomeDir")->setText("C:\\srv\\ftp");
  d.Field("TimeOut")->setText("ten");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "\"ten\" is not a number from 0 to 86400.");
  d.Field("TimeOut")->setText("");
  d.AddAccessRule("C:\\srv\\ftp", "");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "An access rule needs at least one permission.");
  d.access->removeRow(0);
  d.AddAccessRule("C:\\srv\\ftp", "rlp");
  d.AddAccessRule("*.exe", "");
  d.access->item(1, 5)->setCheckState(Qt::Checked);  // E
  d.AddIPRule(false, "10.*");
  d.AddIPRule(true, "*");
  d.Switch("HideHidden")->setCheckState(Qt::Checked);
  d.Switch("Enable")->setCheckState(Qt::Unchecked);
  d.Switch("RequireTLS")->setCheckState(Qt::Checked);
  d.setPassword->setChecked(true);
  d.password->setText("secret");
  ASSERT_TRUE(d.TryAccept()) << d.Error();

  RIniFile ini(path);
  const std::string sec = "USER=joe";
  EXPECT_EQ(ini.GetString(sec, "HomeDir"), "C:\\srv\\ftp");
  EXPECT_EQ(ini.GetString(sec, "Access1"), "C:\\srv\\ftp,RLP");
  EXPECT_EQ(ini.GetString(sec, "Access2"), "*.exe,E");
  EXPECT_EQ(ini.GetString(sec, "IP1"), "D,10.*");
  EXPECT_EQ(ini.GetString(sec, "IP2"), "A,*");
  EXPECT_EQ(ini.GetString(sec, "HideHidden"), "YES");
  EXPECT_EQ(ini.GetString(sec, "Enable"), "NO");
  EXPECT_EQ(ini.GetString(sec, "RequireTLS"), "YES");
  EXPECT_FALSE(ini.HasKey(sec, "RelPaths"));
  EXPECT_FALSE(ini.HasKey(sec, "TimeOut"));
  // New passwords are stored as yescrypt hashes.
  const std::string stored = ini.GetString(sec, "Password");
  EXPECT_EQ(stored.rfind("$y$", 0), 0u);
  EXPECT_EQ(CheckPasswordHash("secret", stored), RPasswordCheck::Match);
  EXPECT_EQ(ini.GetString("USER=** Default **", "TimeOut"), "45");
}

// A new access row grants nothing until letters are ticked, and sits on the
// account's home (the whole drive C: only without one).
TEST_F(SetupTest, NewAccessRowHasNoLetters) {
  const std::string path = Ini("[USER=joe]\nHomeDir=C:\\srv\\ftp\n[USER=ann]\n");
  RAccountsDialog d(path, false);
  d.SetShowErrors(false);
  struct Case {
    const char* user;
    const char* path;
  } cases[] = {{"joe", "C:\\srv\\ftp"}, {"ann", "C:\\"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    ASSERT_TRUE(d.Select(c.user)) << d.Error();
    const int before = d.access->rowCount();
    d.AddNewAccessRow();
    ASSERT_EQ(d.access->rowCount(), before + 1);
    EXPECT_EQ(d.access->item(before, 0)->text().toStdString(), c.path);
    for (int col = 1; col < d.access->columnCount(); ++col)
      EXPECT_EQ(d.access->item(before, col)->checkState(), Qt::Unchecked) << col;
    // Saved as it is, the row would grant nothing: the dialog says so.
    EXPECT_FALSE(d.TryAccept());
    EXPECT_EQ(d.Error(), "An access rule needs at least one permission.");
    d.access->removeRow(before);
  }
}

// Renaming keeps the keys; deleting removes the section; members follow a
// renamed group.
TEST_F(SetupTest, RenameAndDelete) {
  const std::string path = Ini(
      "[USER=joe]\nHomeDir=C:\\a\nGroup=staff\nAccess1=C:\\a,RL\n[GROUP=staff]\nSpeedLimit=100\n");
  {
    RAccountsDialog users(path, false);
    users.SetShowErrors(false);
    ASSERT_TRUE(users.Select("joe"));
    ASSERT_TRUE(users.RenameAccount("jim")) << users.Error();
    EXPECT_EQ(users.Current(), "jim");
  }
  RIniFile ini(path);
  EXPECT_FALSE(ini.HasSection("USER=joe"));
  EXPECT_EQ(ini.GetString("USER=jim", "Access1"), "C:\\a,RL");
  {
    RAccountsDialog groups(path, true);
    groups.SetShowErrors(false);
    EXPECT_EQ(groups.Current(), "staff");
    EXPECT_EQ(groups.Field("SpeedLimit")->text(), "100");
    EXPECT_EQ(groups.Field("Group"), nullptr);
    ASSERT_TRUE(groups.RenameAccount("crew")) << groups.Error();
  }
  EXPECT_EQ(ini.GetString("USER=jim", "Group"), "crew");
  EXPECT_EQ(ini.GetString("GROUP=crew", "SpeedLimit"), "100");
  {
    RAccountsDialog users(path, false);
    ASSERT_TRUE(users.Select("jim"));
    ASSERT_TRUE(users.DeleteAccount());
    EXPECT_TRUE(users.AccountNames().empty());
  }
  EXPECT_FALSE(ini.HasSection("USER=jim"));
}

// The drive table: bad letters, twice the same letter and relative new roots
// are refused; a relative root read from the file is kept while untouched;
// only changed letters are written (comments stay) and the server reads the
// result; removing every letter leaves no drive, not the whole file system.
TEST_F(SetupTest, DrivesDialog) {
  const std::string path = Ini("[DRIVES]\n; the example's tree\nC=ftproot\nD=/srv/old\n");
  {
    RDrivesDialog untouched(path);
    untouched.SetShowErrors(false);
    ASSERT_EQ(untouched.drives->rowCount(), 2);
    EXPECT_TRUE(untouched.TryAccept());
    EXPECT_FALSE(untouched.Saved());
  }
  RDrivesDialog d(path);
  d.SetShowErrors(false);
  d.AddDrive("e", "srv/e");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "\"srv/e\" is not an absolute directory (it must begin with /).");
  d.drives->item(2, 1)->setText("/srv/e");
  d.drives->item(2, 0)->setText("d");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "\"D\" exists already.");
  d.drives->item(2, 0)->setText("E:");
  EXPECT_FALSE(d.TryAccept());
  EXPECT_EQ(d.Error(), "\"E:\" is not a drive letter (one letter from A to Z).");
  d.drives->item(2, 0)->setText("e");
  d.drives->item(1, 1)->setText("/srv/new");
  EXPECT_TRUE(d.TryAccept()) << d.Error();
  EXPECT_EQ(Text(), "[DRIVES]\n; the example's tree\nC=ftproot\nD=/srv/new\nE=/srv/e\n");
  const RDriveMap m = DriveMapFromIni(RIniFile(path));
  EXPECT_EQ(m.Root('E'), "/srv/e");
  EXPECT_EQ(m.Root('D'), "/srv/new");

  RDrivesDialog all(path);
  all.SetShowErrors(false);
  while (all.drives->rowCount() > 0) all.drives->removeRow(0);
  EXPECT_TRUE(all.TryAccept()) << all.Error();
  EXPECT_EQ(Text(), "[DRIVES]\n; the example's tree\n");
  EXPECT_FALSE(DriveMapFromIni(RIniFile(path)).HasDrive('C'));
}

// Every set-up dialog fits a 1280x800 screen with room for a title bar and
// a panel, so OK and Cancel are always on the screen; the file holds the
// example's accounts, drives and IP homes, not an empty set.
TEST_F(SetupTest, EveryDialogFitsTheScreen) {
  const std::string path =
      Ini("[GLOBAL]\nPortNr=2121\nTLSCertificateFile=tls/cert.pem\n"
          "[IP-HOMES]\nIP1=127.0.0.1,local,\nIP2=::1,six,\n"
          "[IP-ACCESS]\nIP1=A,127.0.0.*\nIP2=D,*\n"
          "[DRIVES]\nC=/srv/ftp\n"
          "[USER=demo]\nHomeDir=C:\\users\\demo\nAccess1=C:\\users\\demo,RWAMLCDP\n"
          "Access2=C:\\pub,RLP\n[USER=Anonymous]\nHomeDir=C:\\pub\n"
          "[GROUP=staff]\nAccess1=C:\\staff,RWLP\n");
  FakeEngine engine(path);
  std::vector<std::unique_ptr<RSetupDialog>> dialogs;
  dialogs.push_back(std::make_unique<RServerDialog>(path));
  dialogs.push_back(std::make_unique<RIPAccessDialog>(path));
  dialogs.push_back(std::make_unique<RLoggingDialog>(engine));
  dialogs.push_back(std::make_unique<RMessagesDialog>(path));
  dialogs.push_back(std::make_unique<RAccountsDialog>(path, false));
  dialogs.push_back(std::make_unique<RAccountsDialog>(path, true));
  dialogs.push_back(std::make_unique<RDrivesDialog>(path));
  for (const auto& d : dialogs) {
    SCOPED_TRACE(d->objectName().toStdString());
    d->show();
    const QSize hint = d->sizeHint();
    const QSize opened = d->size();
    EXPECT_LE(hint.width(), 1280);
    EXPECT_LE(hint.height(), 740);
    EXPECT_LE(opened.width(), 1280);
    EXPECT_LE(opened.height(), 740);
    d->hide();
  }
}
