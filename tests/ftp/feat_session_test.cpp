// FEAT, OPTS, CLNT, HOST, MLST and MFMT on a detached session: exact
// replies, the perm letters against the questions the commands ask, and
// the state they leave behind.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccessQuery.h"
#include "fs/RMlsxFacts.h"
#include "fs/RPath.h"
#include "ftp/RFTPCommands.h"
#include "ftp/RFTPSFeat.h"
#include "ftp_fixture.h"

using namespace vantor;

namespace {

// A detached session on an INI with two named IP homes; access queries are
// granted when their code is in `granted_` (admission always passes).
class FeatTest : public FtpTest {
 protected:
  // The access handler reaches this class's members: sessions go first.
  ~FeatTest() override { manager_.reset(); }

  RFTPSComInterp* Open(bool loggedIn) {
    StartOnline(
        "[IP-HOMES]\nIP1=127.0.0.1,main.example\n"
        "IP2=10.9.9.9,Other.Example\nIP3=10.9.9.10\n",
        false);
    manager_->SetAccessHandler([this](AccessQuery& q) {
      if (q.code == QC_IP_ACCESS || q.code == QC_LOG_CLIENT_IP) {
        q.flag = 1;
        return;
      }
      asked_.emplace_back(q.code, std::string(QueryAux(q)));
      q.flag = granted_.count(q.code) != 0 ? 1 : 0;
    });
    RFTPSComInterp* s = Detached();
    if (loggedIn) {
      s->EnterLoggedIn();
      s->Login.userName = "JOE";
      s->Login.homeDir = PosixToLocal(s->FsSettings(), dir_);
      s->Login.currentDir = s->Login.homeDir;
      s->Login.relativePaths = true;
    }
    return s;
  }
  std::string Last(RFTPSComInterp* s, std::string_view line) {
    std::vector<std::string> r = Send(s, line);
    return r.empty() ? std::string() : r.back();
  }
  int64_t MTime(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(stat((dir_ + "/" + name).c_str(), &st), 0);
    return st.st_mtime;
  }

  std::set<uint32_t> granted_;
  std::vector<std::pair<uint32_t, std::string>> asked_;
};

std::vector<std::string> FeatReply(const std::vector<std::string>& features) {
  std::vector<std::string> lines = {"211-Features:"};
  for (const std::string& f : features) lines.push_back(" " + f);
  lines.push_back("211 End");
  return lines;
}

void Ignore(RFTPSComInterp&, std::string_view) {}

// FEAT answers before and after login with one line per feature whose
// command has a handler (no TLS lines: these servers have no certificate);
// the MLST line stars the session's facts.
TEST_F(FeatTest, FeaturesFollowTheCommandTable) {
  RFTPSComInterp* s = Open(false);
  const std::string mlst = "MLST type*;size*;modify*;perm*;unique;UNIX.mode;";
  const std::vector<std::string> all = {"CLNT", "EPRT",        "EPSV", "HOST", "MDTM", "MFMT",
                                        mlst,   "REST STREAM", "SIZE", "TVFS", "UTF8"};
  EXPECT_EQ(Send(s, "FEAT"), FeatReply(all));

  // A table without a command does not offer its line; one with it does.
  std::vector<RFTPCommandStr> table(CommandTable().begin(), CommandTable().end());
  std::erase_if(table, [](const RFTPCommandStr& c) {
    return std::string_view(c.verb) == "SIZE" || std::string_view(c.verb) == "MDTM";
  });
  EXPECT_EQ(FeatureLines(*s, table),
            (Lines{"CLNT", "EPRT", "EPSV", "HOST", "MFMT", mlst, "REST STREAM", "TVFS", "UTF8"}));
  table.push_back({"SIZE", &Ignore, CMD_LoggedIn});
  EXPECT_EQ(FeatureLines(*s, table), (Lines{"CLNT", "EPRT", "EPSV", "HOST", "MFMT", mlst,
                                            "REST STREAM", "SIZE", "TVFS", "UTF8"}));

  s->EnterLoggedIn();
  EXPECT_EQ(Last(s, "OPTS MLST unique;Type;"), "200 MLST OPTS type;unique;");
  std::vector<std::string> after = all;
  after[6] = "MLST type*;size;modify;perm;unique*;UNIX.mode;";
  EXPECT_EQ(Send(s, "feat"), FeatReply(after));
}

// OPTS: UTF8 on and off, MLST fact selections, and what it does not know.
TEST_F(FeatTest, OptsReplies) {
  RFTPSComInterp* s = Open(false);
  const std::pair<const char*, const char*> cases[] = {
      {"OPTS UTF8 ON", "200 UTF8 set to on."},
      {"OPTS utf8 off", "200 UTF8 set to off."},
      {"OPTS UTF8", "200 UTF8 set to on."},
      {"OPTS UTF8 MAYBE", "501 Syntax error in parameters or arguments."},
      {"OPTS", "501 Syntax error in parameters or arguments."},
      {"OPTS MLST type;size;modify;perm;", "200 MLST OPTS type;size;modify;perm;"},
      {"OPTS MLST size;bogus;UNIX.MODE", "200 MLST OPTS size;UNIX.mode;"},
      {"OPTS MLST", "200 MLST OPTS"},
      {"OPTS MODE Z", "501 Option not understood."},
      {"OPTS UTF-8 ON", "501 Option not understood."},
  };
  for (const auto& [line, reply] : cases) EXPECT_EQ(Send(s, line), Lines{reply}) << line;
  EXPECT_EQ(s->Choices.mlstFacts, 0u);
  EXPECT_TRUE(s->Choices.utf8);
  EXPECT_EQ(Send(s, "CLNT lftp/4.9.2"), Lines{"200 Noted."});
  EXPECT_EQ(s->Choices.clientName, "lftp/4.9.2");
  EXPECT_EQ(Last(s, "CLNT"), "501 Syntax error in parameters or arguments.");
}

// HOST picks the IP home that carries the name, only before USER; the
// address the client came to is accepted as it is; REIN goes back to it
// and to every default.
TEST_F(FeatTest, HostSelectsANamedHome) {
  RFTPSComInterp* s = Open(false);
  ASSERT_EQ(manager_->IPHomes().size(), 3u);
  const std::pair<const char*, const char*> cases[] = {
      {"HOST nowhere.example", "504 Unknown host."},
      {"HOST 10.9.9.10", "504 Unknown host."},
      {"HOST", "501 Syntax error in parameters or arguments."},
      {"HOST 127.0.0.1", "220 Host accepted."},
      {"HOST [127.0.0.1]", "220 Host accepted."},
  };
  for (const auto& [line, reply] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(Send(s, line), Lines{reply});
    EXPECT_EQ(s->Connection.localAddress, 0x7F000001u);
  }
  EXPECT_EQ(Last(s, "HOST other.example."), "220 Host accepted.");
  EXPECT_EQ(s->Connection.localAddress, 0x0A090909u);
  EXPECT_EQ(s->Connection.localAddressText, "10.9.9.9");
  EXPECT_EQ(Last(s, "HOST MAIN.example"), "220 Host accepted.");
  EXPECT_EQ(s->Connection.localAddress, 0x7F000001u);
  EXPECT_EQ(Last(s, "HOST other.example"), "220 Host accepted.");
  // The arrival address still names the home the client connected to.
  EXPECT_EQ(Last(s, "HOST 127.0.0.1"), "220 Host accepted.");
  EXPECT_EQ(s->Connection.localAddress, 0x7F000001u);
  EXPECT_EQ(Last(s, "HOST other.example"), "220 Host accepted.");

  // Account questions now carry the chosen home.
  asked_.clear();
  EXPECT_EQ(Last(s, "OPTS MLST type"), "200 MLST OPTS type;");
  EXPECT_EQ(Last(s, "OPTS UTF8 OFF"), "200 UTF8 set to off.");
  (void)Send(s, "USER joe");
  EXPECT_EQ(Last(s, "HOST main.example"), "503 Bad sequence of commands.");
  EXPECT_EQ(s->Connection.localAddress, 0x0A090909u);
  const uint32_t queried = s->NewQuery(QC_HOME_DIR).address;  // a packed field: copied
  EXPECT_EQ(queried, 0x0A090909u);
  EXPECT_EQ(Last(s, "REIN"), "220 Service ready for new user.");
  EXPECT_EQ(s->Connection.localAddress, 0x7F000001u);
  EXPECT_EQ(s->Connection.localAddressText, "127.0.0.1");
  // REIN resets every other choice too.
  EXPECT_EQ(s->Choices.mlstFacts, kMlsxDefaultFacts);
  EXPECT_TRUE(s->Choices.utf8);
  s->EnterLoggedIn();
  EXPECT_EQ(Last(s, "HOST other.example"), "503 Bad sequence of commands.");
}

// The perm letters of a file and of a directory for each single access
// answer: a letter shows exactly when the command it stands for would be
// allowed.
TEST_F(FeatTest, MlstPermLettersFollowTheQuestions) {
  RFTPSComInterp* s = Open(true);
  WriteFile("data.bin", "12345");
  WriteFile("empty", "");
  std::filesystem::create_directory(dir_ + "/dir");
  struct Case {
    std::set<uint32_t> granted;
    const char* file;
    const char* empty;
    const char* dir;
  } cases[] = {
      {{}, "", "", ""},
      {{QC_CHANGE_DIR, QC_LIST_DIR}, "", "", "el"},
      {{QC_CHANGE_DIR, QC_LIST_DIR, QC_READ_FILE}, "r", "r", "el"},
      {{QC_CHANGE_DIR, QC_LIST_DIR, QC_APPEND_FILE}, "a", "aw", "el"},
      {{QC_CHANGE_DIR, QC_LIST_DIR, QC_MODIFY_FILE}, "adfw", "adfw", "elp"},
      {{QC_CHANGE_DIR, QC_LIST_DIR, QC_WRITE_FILE}, "", "", "cel"},
      {{QC_CHANGE_DIR, QC_LIST_DIR, QC_CREATE_DIR}, "", "", "elm"},
      {{QC_CHANGE_DIR, QC_LIST_DIR, QC_DELETE_DIR}, "", "", "deflp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    granted_ = c.granted;
    const bool visible = c.granted.count(QC_CHANGE_DIR) != 0;
    const std::string denied = "550 Permission denied.";
    std::vector<std::string> r = Send(s, "MLST data.bin");
    EXPECT_EQ(r.back(), visible ? "250 End" : denied);
    if (visible) {
      EXPECT_EQ(r, (Lines{"250-Listing /data.bin",
                          " type=file;size=5;modify=" + MlsxTime(MTime("data.bin")) +
                              ";perm=" + c.file + "; /data.bin",
                          "250 End"}));
      r = Send(s, "MLST empty");
      ASSERT_EQ(r.size(), 3u);
      EXPECT_EQ(r[1], " type=file;size=0;modify=" + MlsxTime(MTime("empty")) + ";perm=" + c.empty +
                          "; /empty");
      r = Send(s, "MLST /dir");
      ASSERT_EQ(r.size(), 3u);
      EXPECT_EQ(r[1], " type=dir;modify=" + MlsxTime(MTime("dir")) + ";perm=" + c.dir + "; /dir");
    }
  }
  // The directory letters ask about a name a new file or directory would get.
  const std::string probe = PosixToLocal(manager_->Fs().Settings(), dir_) + "\\dir\\FTP00000";
  bool probed = false;
  for (const auto& [code, path] : asked_) probed |= code == QC_CREATE_DIR && path == probe;
  EXPECT_TRUE(probed);
}

// MLST of what is missing, hidden or refused; of the current directory;
// and after OPTS MLST.
TEST_F(FeatTest, MlstReplies) {
  RFTPSComInterp* s = Open(true);
  WriteFile(".dot", "x");
  granted_ = {QC_CHANGE_DIR, QC_LIST_DIR, QC_READ_FILE};
  EXPECT_EQ(Send(s, "MLST nothing"), Lines{"550 /nothing: No such file or directory."});
  EXPECT_EQ(Send(s, "MLST .dot").size(), 3u);
  s->Login.hideHidden = true;
  EXPECT_EQ(Send(s, "MLST .dot"), Lines{"550 /.dot: No such file or directory."});
  EXPECT_EQ(Last(s, "OPTS MLST type;perm"), "200 MLST OPTS type;perm;");
  EXPECT_EQ(Send(s, "MLST"), (Lines{"250-Listing /", " type=dir;perm=el; /", "250 End"}));
  // A file the listing filter refuses is refused here too.
  granted_ = {QC_CHANGE_DIR, QC_READ_FILE};
  s->Login.hideHidden = false;
  EXPECT_EQ(Send(s, "MLST .dot"), Lines{"550 Permission denied."});
}

// MFMT sets the time it is given (UTC) and answers with the time the file
// now has; refused, missing and malformed requests change nothing; the
// MDTM set form keeps working beside it.
TEST_F(FeatTest, MfmtSetsModificationTimes) {
  RFTPSComInterp* s = Open(true);
  WriteFile("f.txt", "x");
  WriteFile("my file.txt", "x");
  granted_ = {QC_WRITE_FILE};
  EXPECT_EQ(Send(s, "MFMT 20200102030405 f.txt"), Lines{"213 Modify=20200102030405; f.txt"});
  EXPECT_EQ(MTime("f.txt"), 1577934245);
  EXPECT_EQ(Last(s, "MFMT 19991231235959.987 my file.txt"),
            "213 Modify=19991231235959; my file.txt");
  EXPECT_EQ(MTime("my file.txt"), 946684799);
  const std::pair<const char*, const char*> bad[] = {
      {"MFMT", "501 Syntax error in parameters or arguments."},
      {"MFMT 20200102030405", "501 Syntax error in parameters or arguments."},
      {"MFMT 20200102030405 ", "501 Syntax error in parameters or arguments."},
      {"MFMT 2020010203040 f.txt", "501 Syntax error in parameters or arguments."},
      {"MFMT 20201302030405 f.txt", "501 Syntax error in parameters or arguments."},
      {"MFMT f.txt 20200102030405", "501 Syntax error in parameters or arguments."},
      {"MFMT 20210102030405 missing.txt", "550 /missing.txt: No such file or directory."},
  };
  for (const auto& [line, reply] : bad) EXPECT_EQ(Send(s, line), Lines{reply}) << line;
  granted_ = {};
  EXPECT_EQ(Last(s, "MFMT 20210102030405 f.txt"), "550 Permission denied.");
  EXPECT_EQ(MTime("f.txt"), 1577934245);

  granted_ = {QC_WRITE_FILE};
  EXPECT_EQ(Last(s, "MDTM 20210102030405+0 f.txt"), "253 Date/time changed okay.");
  EXPECT_EQ(MTime("f.txt"), 1609556645);
}

}  // namespace
