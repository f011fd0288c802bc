// MLSD, MLST and MFMT: the machine listings and setting a modification time.
//
// The perm fact answers with the very questions the commands ask, so a
// client can tell from it what the server will allow:
//   file: a = APPE (append, else modify), d = DELE and f = RNFR (modify),
//         r = RETR (read), w = STOR over it (modify; append for an empty file);
//   directory: c = STOR of a new file in it (write), d = RMD and f = RNFR
//         (remove directory), e = CWD and l = LIST/MLSD (change directory),
//         m = MKD in it (make directory), p = DELE or RMD of what it holds
//         (modify or remove directory).
// Questions about a new or held name inside a directory are asked for the
// first name STOU would pick there; rules that name single files still
// decide for those files, which their own entries show.
#include "ftp/RFTPSMlsx.h"

#include <functional>
#include <utility>

#include "accounts/AccessQuery.h"
#include "fs/RMLSDir.h"
#include "fs/RMlsxFacts.h"
#include "fs/RPath.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSList.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RWorkerAccess.h"
#include "platform/RFileSys.h"

namespace vantor {
namespace {

constexpr std::string_view kProbeName = "FTP00000";

// The questions are the session's own; `ask` puts them (the session's
// AskFlag on the loop, AskFlagOffLoop on a worker).
class RSessionMlsx final : public RFsAccess, public RMlsxPerms {
 public:
  using AskFn = std::function<bool(uint32_t code, std::string_view path)>;
  explicit RSessionMlsx(AskFn ask) : ask_(std::move(ask)) {}

  // The listing's filter: the question LIST asks of every entry.
  bool CanList(std::string_view, uint32_t, std::string_view localPath) override {
    return ask_(QC_LIST_DIR, localPath);
  }

  std::string Letters(std::string_view path, bool directory, int64_t size) override {
    return directory ? DirLetters(path) : FileLetters(path, size);
  }

 private:
  bool Ask(uint32_t code, std::string_view path) { return ask_(code, path); }

  std::string FileLetters(std::string_view path, int64_t size) {
    // APPE asks "append" and, refused, "modify": one answer settles both.
    const bool modify = Ask(QC_MODIFY_FILE, path);
    const bool append = modify || Ask(QC_APPEND_FILE, path);
    std::string p;
    if (append) p += 'a';
    if (modify) p += "df";
    if (Ask(QC_READ_FILE, path)) p += 'r';
    // STOR over a file asks "modify", over an empty one "append" first.
    if (modify || (size == 0 && append)) p += 'w';
    return p;
  }

  std::string DirLetters(std::string_view path) {
    std::string probe(path);
    if (probe.back() != '\\') probe += '\\';
    probe += kProbeName;
    std::string p;
    if (Ask(QC_WRITE_FILE, probe)) p += 'c';
    const bool remove = Ask(QC_DELETE_DIR, path);
    const bool enter = Ask(QC_CHANGE_DIR, path);
    if (remove) p += 'd';
    if (enter) p += 'e';
    if (remove) p += 'f';
    if (enter) p += 'l';
    if (Ask(QC_CREATE_DIR, probe)) p += 'm';
    if (Ask(QC_MODIFY_FILE, probe) || Ask(QC_DELETE_DIR, probe)) p += 'p';
    return p;
  }

  AskFn ask_;
};

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return path;
  std::string dir = path.substr(0, slash);
  if (dir.size() == 2 && dir[1] == ':') dir += '\\';
  return dir;
}

bool HiddenName(std::string_view path) {
  const size_t slash = path.rfind('\\');
  const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return !leaf.empty() && leaf[0] == '.';
}

}  // namespace

void HandleMlsd(RFTPSComInterp& s, std::string_view line) {
  if (s.Transfer.State() != XS_Idle) {
    s.ReplyStr(kReplyMlsdBusy);
    return;
  }
  const std::string arg = CommandArgument(line, 4);
  const std::string dir = arg.empty() ? s.Login.currentDir : s.ResolveClientPath(arg);
  if (!IsDirectory(s.FsSettings(), dir)) {
    // The parent's rules decide first, so a refused place tells nothing
    // about what it holds.
    if (!s.AskFlag(QC_CHANGE_DIR, ParentDir(dir))) {
      s.ReplyStr(kReplyMlsxDenied);
    } else if (IsRegularFile(s.FsSettings(), dir)) {
      s.ReplyStr(kReplyMlsdNotDirectory, s.ClientPathOf(dir));
    } else {
      s.ReplyStr(kReplyMlsxNotFound, s.ClientPathOf(dir));
    }
    return;
  }
  if (!s.AskFlag(QC_CHANGE_DIR, dir)) {
    s.ReplyStr(kReplyMlsxDenied);
    return;
  }
  const bool security = !s.Manager().SecurityOff();
  RMLSDirArgsStr a;
  a.user = s.Login.userName;
  a.dir = dir;
  a.address = s.Connection.localAddress;
  a.home = s.Login.homeDir;
  a.relPaths = security && s.Login.relativePaths;
  a.hideHidden = s.Login.hideHidden;
  a.facts = s.Choices.mlstFacts;
  // Read on a worker like LIST; sessions asking for the same listing while
  // the first waits share its run.
  const std::string key = "MLSD\n" + a.user + '\n' + a.dir + '\n' + std::to_string(a.facts) + '\n' +
                          std::to_string(a.address) + '\n' + a.home + '\n' + (security ? "s" : "") +
                          (a.relPaths ? "r" : "") + (a.hideHidden ? "h" : "");
  auto work = [a, security, ctx = WorkerContext(s)]() mutable -> RWorkPool::Result {
    RSessionMlsx access(
        [&ctx](uint32_t code, std::string_view path) { return AskFlagOffLoop(ctx, code, path); });
    a.access = security ? &access : nullptr;
    a.perms = &access;
    RMLSDir ls(*ctx.fs, ctx.manager->Fs().Cache(), a);
    return ls.Lines();
  };
  auto done = [&s, dir](const RWorkPool::Result& r) {
    SendListing(s, std::static_pointer_cast<const RDirLinesStr>(r), dir);
  };
  if (!s.RunOffLoop(key, std::move(work), std::move(done))) s.ReplyStr(kReplyWorkersBusy);
}

void HandleMlst(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 4);
  const std::string path = arg.empty() ? s.Login.currentDir : s.ResolveClientPath(arg);
  const bool directory = IsDirectory(s.FsSettings(), path);
  const bool security = !s.Manager().SecurityOff();
  // As LIST would show it: the directory must be open to the user and a
  // file must pass the listing's filter.
  if (!s.AskFlag(QC_CHANGE_DIR, directory ? path : ParentDir(path)) ||
      (!directory && security && !s.AskFlag(QC_LIST_DIR, path))) {
    s.ReplyStr(kReplyMlsxDenied);
    return;
  }
  const std::string shown = s.ClientPathOf(path);
  RSessionMlsx access([&s](uint32_t code, std::string_view p) { return s.AskFlag(code, p); });
  RMlsxEntryStr e;
  if ((!directory && s.Login.hideHidden && HiddenName(path)) || !MlsxNameListable(shown) ||
      !MlstEntry(s.FsSettings(), path, shown, s.Choices.mlstFacts, &access, e)) {
    s.ReplyStr(kReplyMlsxNotFound, shown);
    return;
  }
  s.ReplyStr(kReplyMlstFirst, shown);
  s.ReplyStr(kReplyMlstFacts, FormatMlsxEntry(e, s.Choices.mlstFacts));
  s.ReplyStr(kReplyMlstEnd);
}

void HandleMfmt(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 4);
  const size_t blank = arg.find(' ');
  int64_t when = 0;
  if (blank == std::string::npos || !ParseMlsxTime(std::string_view(arg).substr(0, blank), when)) {
    s.ReplyStr(kReplyMfmtSyntax);
    return;
  }
  const std::string given(TrimBlanks(std::string_view(arg).substr(blank + 1)));
  if (given.empty()) {
    s.ReplyStr(kReplyMfmtSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(given);
  // The same question as MDTM's set form.
  if (!s.AskFlag(QC_WRITE_FILE, path)) {
    s.ReplyStr(kReplyMfmtDenied);
    return;
  }
  if (!IsDirectory(s.FsSettings(), path) && !IsRegularFile(s.FsSettings(), path)) {
    s.ReplyStr(kReplyMfmtNotFound, s.ClientPathOf(path));
    return;
  }
  const std::string posix = LocalToPosix(s.FsSettings(), path);
  RFileStatStr st;
  if (posix.empty() || FsSetModTime(posix, when) != 0 || !LocalStat(s.FsSettings(), path, st)) {
    s.ReplyStr(kReplyMfmtFailed, s.ClientPathOf(path));
    return;
  }
  // The time as the file system now holds it, for the name the client gave.
  s.ReplyStr(kReplyMfmtDone, MlsxTime(st.mtime), given);
}

}  // namespace vantor
