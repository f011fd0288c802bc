// File and directory commands: CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO,
// SIZE, MDTM, ALLO, SMNT.
#include "ftp/RFTPSFileCmds.h"

#include <cerrno>

#include "accounts/RFTPQuota.h"
#include "accounts/RWildcard.h"
#include "fs/RFsStrings.h"
#include "fs/RPath.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPSTransferArgs.h"
#include "ftp/RFTPStrings.h"
#include "platform/RFileSys.h"
#include "platform/RLocalTime.h"
#include "platform/RTimeZone.h"
#include "util/RFormat.h"
#include "util/RText.h"

namespace vantor {
namespace {

// Event-hook events of the file commands: before (and the deferred command
// the hook may hold) and after. The rename events carry the new name as the
// second text and leave the first empty.
struct RFileHookStr {
  uint32_t before;
  int32_t deferred;
  uint32_t after;
  bool newName = false;
};
constexpr RFileHookStr kDele{105, DC_Dele, 16};
constexpr RFileHookStr kRmd{106, DC_Rmd, 17};
constexpr RFileHookStr kMkd{107, DC_Mkd, 19};
constexpr RFileHookStr kCwd{109, DC_Cwd, 18};
constexpr RFileHookStr kRnto{104, DC_Rnto, 15, true};

constexpr int64_t kFutureSlackSeconds = 900;

// "550 %s: Names with "*" or "?" cannot be created."
// "550 %s: An access rule names a path inside this directory."

// "*" and "?" are patterns to every other command: a file or directory of
// such a name could be made but never reached again. True (and the 550 sent)
// for such a name.
bool RefuseWildcardName(RFTPSComInterp& s, const std::string& path) {
  if (!HasWildcard(path)) return false;
  s.ReplyStr(kReplyWildcardName, s.ClientPathOf(path));
  return true;
}

// True when the command acts now; otherwise the hook replied or holds it
// (the path waits in the transfer extension).
bool BeforeHook(RFTPSComInterp& s, const RFileHookStr& h, const std::string& path) {
  const int verdict = h.newName ? s.RaiseHook(h.before, {}, path) : s.RaiseHook(h.before, path);
  if (verdict == HV_Reply) {
    SendText(s, s.Hook ? s.Hook->VerdictText() : std::string());
    return false;
  }
  if (verdict == HV_Hold) {
    s.Transfer.pendingPath = path;
    s.HoldCommand(h.deferred);
    return false;
  }
  return true;
}

// Renaming a directory that an access rule names (itself or a path inside
// it) would leave the rule guarding nothing while the files it guarded live
// on under another name. True (and the 550 sent) then. RMD needs no such
// check: it removes only an empty directory, which carries nothing away.
bool RefuseRuleDirectory(RFTPSComInterp& s, const std::string& dir) {
  if (!s.Manager().RulesNameInside(s.Login.userName, s.Connection.localAddress, dir)) return false;
  s.ReplyStr(kReplyRuleInside, s.ClientPathOf(dir));
  return true;
}

// The POSIX path of a name to be created or renamed to: its directory
// through the case-insensitive lookup, the last component as the client
// wrote it (so a rename can change only the letter case).
std::string PosixForNewName(const RFsSettingsStr& fs, const std::string& local) {
  const size_t slash = local.rfind('\\');
  if (slash == std::string::npos) return LocalToPosix(fs, local);
  std::string dir = local.substr(0, slash);
  if (dir.size() == 2 && dir[1] == ':') dir += '\\';
  std::string posix = LocalToPosix(fs, dir);
  if (posix.empty()) return posix;
  if (posix.back() != '/') posix += '/';
  return posix + local.substr(slash + 1);
}

// --- CWD, CDUP, PWD ---------------------------------------------------------------------

void CwdAct(RFTPSComInterp& s, const std::string& path) {
  if (!IsDirectory(s.FsSettings(), path)) {
    s.ReplyStr(kReplyDirNotFound, s.ClientPathOf(path));
    return;
  }
  s.Login.currentDir = LocalTrueCase(s.FsSettings(), path);
  auto changed = [](RFTPSComInterp& s) {
    s.ReplyStr(kReplyDirChanged, s.ClientPathOf(s.Login.currentDir));
    (void)s.RaiseHook(kCwd.after, s.Login.currentDir);
  };
  if (!s.Connection.verboseReplies) {
    changed(s);
    return;
  }
  // The second file only when the first cannot be read.
  const RGlobalSettings& g = s.Manager().Settings();
  SendMessageFile(s, {g.dirChangeMesFile, g.dirChangeMesFile2}, "250", changed);
}

void ChangeDir(RFTPSComInterp& s, const std::string& arg) {
  const std::string path = s.ResolveClientPath(arg);
  if (!s.AskFlag(QC_CHANGE_DIR, path)) {
    s.ReplyStr(kReplyCwdDenied, s.ClientPathOf(path));
    return;
  }
  if (!BeforeHook(s, kCwd, path)) return;
  CwdAct(s, path);
}

}  // namespace

void HandleCwd(RFTPSComInterp& s, std::string_view line) {
  ChangeDir(s, CommandArgument(line, 3));
}
void HandleCdup(RFTPSComInterp& s, std::string_view) {
  ChangeDir(s, "..");
}
void HandlePwd(RFTPSComInterp& s, std::string_view) {
  s.ReplyStr(kReplyCurrentDirectory, s.ClientPathOf(s.Login.currentDir));
}

namespace {

// --- MKD, RMD, DELE ------------------------------------------------------------------------

void MkdAct(RFTPSComInterp& s, const std::string& path) {
  const std::string posix = PosixForNewName(s.FsSettings(), path);
  if (posix.empty() || IsReservedDevice(path) || FsMakeDir(posix) != 0) {
    s.ReplyStr(kReplyMkdFailed, s.ClientPathOf(path));
    return;
  }
  s.ReplyStr(kReplyMkdCreated, s.ClientPathOf(path));
  (void)s.RaiseHook(kMkd.after, path);
}

}  // namespace

void HandleMkd(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 3);
  if (arg.empty()) {
    s.ReplyStr(kReplyMkdSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(arg);
  if (RefuseWildcardName(s, path)) return;
  if (!s.AskFlag(QC_CREATE_DIR, path)) {
    s.ReplyStr(kReplyMkdDenied, s.ClientPathOf(path));
    return;
  }
  if (!BeforeHook(s, kMkd, path)) return;
  MkdAct(s, path);
}

namespace {

void RmdAct(RFTPSComInterp& s, const std::string& path) {
  // The server process never changes its own working directory into the
  // served tree, so no directory is busy because of us and there is nothing
  // to step out of first.
  const std::string posix = LocalToPosix(s.FsSettings(), path);
  if (posix.empty() || FsRemoveDir(posix) != 0) {
    s.ReplyStr(kReplyRmdNotEmpty, s.ClientPathOf(path));
    return;
  }
  s.ReplyStr(kReplyRmdOkay);
  (void)s.RaiseHook(kRmd.after, path);
}

}  // namespace

void HandleRmd(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 3);
  if (arg.empty()) {
    s.ReplyStr(kReplyRmdSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(arg);
  if (!s.AskFlag(QC_DELETE_DIR, path)) {
    s.ReplyStr(kReplyRmdDenied, s.ClientPathOf(path));
    return;
  }
  if (!IsDirectory(s.FsSettings(), path)) {
    s.ReplyStr(kReplyRmdNotFound, s.ClientPathOf(path));
    return;
  }
  if (!BeforeHook(s, kRmd, path)) return;
  RmdAct(s, path);
}

namespace {

void DeleAct(RFTPSComInterp& s, const std::string& path) {
  const std::string posix = LocalToPosix(s.FsSettings(), path);
  if (!s.Login.anonymous && !posix.empty()) (void)FsSetReadOnly(posix, false);
  // A file an upload still writes is credited by that upload when it ends:
  // the bytes it adds meanwhile leave the disk with it.
  const bool credit = s.Quota && !RTransferFile::UploadHolds(posix);
  if (credit) s.Quota->CreditFile(path);
  if (posix.empty() || FsRemoveFile(posix) != 0) {
    if (credit) s.Quota->UndoLast();
    s.ReplyStr(kReplyDeleFailed, s.ClientPathOf(path));
    return;
  }
  s.ReplyStr(kReplyDeleOkay);
  (void)s.RaiseHook(kDele.after, path);
}

}  // namespace

void HandleDele(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 4);
  if (arg.empty()) {
    s.ReplyStr(kReplyDeleSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(arg);
  if (!s.AskFlag(QC_MODIFY_FILE, path)) {
    s.ReplyStr(kReplyDeleDenied);
    return;
  }
  if (!IsRegularFile(s.FsSettings(), path)) {
    s.ReplyStr(kReplyDeleNotFound, s.ClientPathOf(path));
    return;
  }
  if (!BeforeHook(s, kDele, path)) return;
  DeleAct(s, path);
}

// --- RNFR, RNTO ------------------------------------------------------------------------------

void HandleRnfr(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 4);
  if (arg.empty()) {
    s.ReplyStr(kReplyRnfrSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(arg);
  const bool isDir = IsDirectory(s.FsSettings(), path);
  if (!s.AskFlag(isDir ? QC_DELETE_DIR : QC_MODIFY_FILE, path)) {
    s.ReplyStr(kReplyRnfrDenied);
    return;
  }
  if (!isDir && !IsRegularFile(s.FsSettings(), path)) {
    s.ReplyStr(kReplyRnfrNotFound, s.ClientPathOf(path));
    return;
  }
  if (isDir && RefuseRuleDirectory(s, path)) return;
  s.Transfer.renameSource = path;
  s.Transfer.renameIsDir = isDir;
  s.ReplyStr(kReplyRnfrReady);
  s.ExpectRename();
}

namespace {

void RntoAct(RFTPSComInterp& s, const std::string& dest) {
  const std::string& src = s.Transfer.renameSource;
  const std::string from = LocalToPosix(s.FsSettings(), src);
  const std::string to = PosixForNewName(s.FsSettings(), dest);
  const bool replacing = !EqualNoCaseAscii(src, dest) && IsRegularFile(s.FsSettings(), dest);
  // rename() replaces an existing file in one step, so the old file is
  // never lost when the move itself fails.
  // As for DELE, an upload still writing the file replaced credits it.
  const bool credit =
      replacing && s.Quota && !RTransferFile::UploadHolds(LocalToPosix(s.FsSettings(), dest));
  if (credit) s.Quota->CreditFile(dest);
  if (src != dest) {
    int rc = from.empty() || to.empty() ? -ENOENT : FsRename(from, to);
    bool destGone = false;
    if (rc != 0 && replacing && (rc == -EISDIR || rc == -ENOTDIR || rc == -EEXIST)) {
      // A directory cannot replace a file in one step: remove the file first.
      destGone = FsRemoveFile(LocalToPosix(s.FsSettings(), dest)) == 0;
      if (destGone) rc = FsRename(from, to);
    }
    if (rc != 0) {
      // The credit stands when the old file is gone all the same.
      if (credit && !destGone) s.Quota->UndoLast();
      s.ReplyStr(kReplyRntoFailed, s.ClientPathOf(dest));
      return;
    }
  }
  s.ReplyStr(kReplyRntoOkay);
  (void)s.RaiseHook(kRnto.after, {}, dest);
}

}  // namespace

void HandleRnto(RFTPSComInterp& s, std::string_view line) {
  if (s.CommandState() != CS_RenamePending) {
    s.ReplyStr(kReplyRntoBadSequence);
    return;
  }
  s.EnterLoggedIn();
  const std::string arg = CommandArgument(line, 4);
  if (arg.empty()) {
    s.ReplyStr(kReplyRntoSyntax);
    return;
  }
  const std::string dest = s.ResolveClientPath(arg);
  if (RefuseWildcardName(s, dest)) return;
  if (!s.AskFlag(s.Transfer.renameIsDir ? QC_CREATE_DIR : QC_MODIFY_FILE, dest)) {
    s.ReplyStr(kReplyRntoDenied);
    return;
  }
  if (!BeforeHook(s, kRnto, dest)) return;
  RntoAct(s, dest);
}

namespace {

// --- SIZE, MDTM, ALLO, SMNT ----------------------------------------------------------------------

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return path;
  std::string dir = path.substr(0, slash);
  if (dir.size() == 2 && dir[1] == ':') dir += '\\';
  return dir;
}

}  // namespace

void HandleSize(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 4);
  if (arg.empty()) {
    s.ReplyStr(kReplySizeSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(arg, true);
  if (!s.AskFlag(QC_READ_FILE, path) && !s.AskFlag(QC_LIST_DIR, ParentDir(path))) {
    s.ReplyStr(kReplySizeDenied);
    return;
  }
  if (!IsRegularFile(s.FsSettings(), path)) {
    s.ReplyStr(kReplySizeNotFound, s.ClientPathOf(path));
    return;
  }
  s.ReplyStr(kReplySize, FileSize(s.FsSettings(), path));
}

namespace {

// The stamp as seconds since 1970. Without a zone number it is local time.
bool StampToSeconds(const RMdtmStampStr& st, int64_t& out) {
  const int64_t asUtc = DaysFromCivil(st.year, st.month, st.day) * 86400 + st.hour * 3600 +
                        st.minute * 60 + st.second;
  if (st.utc) {
    out = asUtc;
    return true;
  }
  int64_t off = 0;
  if (!LocalUtcOffsetSeconds(asUtc, off)) return false;
  // The offset at the guessed instant settles daylight-saving boundaries.
  int64_t off2 = off;
  if (!LocalUtcOffsetSeconds(asUtc - off, off2)) return false;
  out = asUtc - off2;
  return true;
}

}  // namespace

void HandleMdtm(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = CommandArgument(line, 4);
  if (arg.empty()) {
    s.ReplyStr(kReplyMdtmSyntax);
    return;
  }
  const RMdtmArgStr a = ParseMdtmArg(arg);
  const std::string path = s.ResolveClientPath(a.path);
  if (!s.AskFlag(a.setForm ? QC_WRITE_FILE : QC_LIST_DIR, path)) {
    s.ReplyStr(kReplyMdtmDenied);
    return;
  }
  if (!IsDirectory(s.FsSettings(), path) && !IsRegularFile(s.FsSettings(), path)) {
    s.ReplyStr(kReplyMdtmNotFound, s.ClientPathOf(path));
    return;
  }
  if (!a.setForm) {
    RFileStatStr st;
    if (!LocalStat(s.FsSettings(), path, st)) {
      s.ReplyStr(kReplyMdtmUnknownTime, s.ClientPathOf(path));
      return;
    }
    const RLocalTm t = LocalTime(st.mtime);
    s.ReplyStr(kReplyMdtm, RFormat("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                                   t.minute, t.second));
    return;
  }
  int64_t when = 0;
  if (!StampToSeconds(a.stamp, when)) {
    s.ReplyStr(kReplyMdtmCannotChange, s.ClientPathOf(path));
    return;
  }
  if (when > s.Manager().Loop().Clock().WallSeconds() + kFutureSlackSeconds) {
    s.ReplyStr(kReplyMdtmFuture);
    return;
  }
  const std::string posix = LocalToPosix(s.FsSettings(), path);
  if (posix.empty() || FsSetModTime(posix, when) != 0) {
    s.ReplyStr(kReplyMdtmCannotChange, s.ClientPathOf(path));
    return;
  }
  s.ReplyStr(kReplyMdtmChanged);
}

void HandleAllo(RFTPSComInterp& s, std::string_view line) {
  const std::optional<uint64_t> wanted = ParseAlloLine(line);
  if (!wanted) {
    s.ReplyStr(kReplyAlloSyntax);
    return;
  }
  const int64_t space = FsFreeSpace(LocalToPosix(s.FsSettings(), s.Login.currentDir));
  const char drive = s.Login.currentDir.empty() ? 'C' : s.Login.currentDir[0];
  s.Reply(AlloReplyText(*wanted, space < 0 ? 0 : static_cast<uint64_t>(space), drive));
}

// Held commands released by a hook.
void ResumeDele(RFTPSComInterp& s) {
  DeleAct(s, s.Transfer.pendingPath);
}
void ResumeRmd(RFTPSComInterp& s) {
  RmdAct(s, s.Transfer.pendingPath);
}
void ResumeMkd(RFTPSComInterp& s) {
  MkdAct(s, s.Transfer.pendingPath);
}
void ResumeCwd(RFTPSComInterp& s) {
  CwdAct(s, s.Transfer.pendingPath);
}
void ResumeRnto(RFTPSComInterp& s) {
  RntoAct(s, s.Transfer.pendingPath);
}
}  // namespace vantor
