// SITE and its sub-commands: PSWD, EXEC, SET TRANSFERPROGRESS, INDEX, ZONE,
// CHMOD, HELP.
//
// The site argument goes to the pre-command hook first (code 108); a held
// SITE runs later through the resume table (deferred command 23).
#include "ftp/RFTPSSiteCmds.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/AccessQuery.h"
#include "fs/RFTPDir.h"
#include "fs/RFsSettings.h"
#include "fs/RPath.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSSiteArgs.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RWorkerAccess.h"
#include "platform/RFileSys.h"
#include "platform/RSpawn.h"
#include "platform/RTimeZone.h"
#include "util/RLog.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr uint32_t kHookSite = 108;
constexpr size_t kMinPasswordLength = 4;

void PasswordChanged(RFTPSComInterp& s) {
  s.ReplyStr(kReplyPswdChanged);
  s.LogStr(LOG_SECURITY, kLogPasswordChanged, s.Login.userName);
}

// With the cluster store, a new password is the store's before it is the
// INI file's: the change is told as done only once every machine will see
// it at its next login. Refused when the store cannot take it, unless
// `ClusterUnavailable=local`, where this machine changes alone. True when
// the reply comes later.
bool ChangeSharedPassword(RFTPSComInterp& s, const std::string& newPassword) {
  RFTPSManager& m = s.Manager();
  RClusterStore* store = m.Cluster();
  const RFTPSManager::RPasswordShareStr& share = m.PasswordShare();
  if (store == nullptr || !share.prepare || !share.commit) return false;
  const bool local = store->Settings().unavailable == RClusterUnavailable::Local;
  if (local && !store->Ready()) return false;
  AccessQuery q = s.NewQuery(QC_CHANGE_PASSWORD, newPassword);
  std::optional<RPasswordChangeStr> change = share.prepare(q);
  // Refused by the INI file: asked the usual way, so that a hook library
  // managing the account may still answer.
  if (!change) return false;
  RFTPSComInterp::StoreResume resume = s.WaitForStore();
  store->WritePassword(change->account, change->stored, change->skey,
                       [resume, change = *change, local](bool ok) {
                         resume([=](RFTPSComInterp& s) {
                           RFTPSManager& m = s.Manager();
                           if (!ok && !local) {
                             s.ReplyStr(kReplyPswdCannotChange);
                             return;
                           }
                           // Taken by the store, this machine's copy follows;
                           // a failed INI write leaves the store's in force.
                           const bool written = m.PasswordShare().commit(change);
                           if (ok) {
                             m.PasswordShare().install(change.account, change.stored);
                           } else if (!written) {
                             s.ReplyStr(kReplyPswdCannotChange);
                             return;
                           }
                           PasswordChanged(s);
                         });
                       });
  return true;
}

void SitePswd(RFTPSComInterp& s) {
  if (s.Login.anonymous) {
    s.ReplyStr(kReplyPswdAnonymous);
    return;
  }
  std::string oldPassword;
  std::string newPassword;
  if (!ParsePswdArguments(s.SiteArgument, oldPassword, newPassword)) {
    s.ReplyStr(kReplyPswdSyntax);
    return;
  }
  AccessQuery verify = s.NewQuery(QC_VERIFY_PASSWORD);
  SetQueryAux2(verify, oldPassword, s.Login.userArgument);
  if (!s.Ask(verify)) {
    s.ReplyStr(kReplyPswdNoMatch);
    return;
  }
  if (newPassword.size() < kMinPasswordLength) {
    s.ReplyStr(kReplyPswdTooShort);
    return;
  }
  if (ChangeSharedPassword(s, newPassword)) return;  // answered once the store has it
  if (!s.AskFlag(QC_CHANGE_PASSWORD, newPassword)) {
    s.ReplyStr(kReplyPswdCannotChange);
    return;
  }
  PasswordChanged(s);
}

void SiteExec(RFTPSComInterp& s) {
  std::string program;
  std::string rest;
  if (!ParseExecArguments(s.SiteArgument, program, rest)) {
    s.ReplyStr(kReplyExecSyntax);
    return;
  }
  const std::string local = s.ResolveClientPath(program);
  // Security off lets everybody in without a password and opens every
  // file; starting programs is not file access, and must never come with
  // that switch.
  if (s.Manager().SecurityOff() || !s.AskFlag(QC_EXEC_PROGRAM, local)) {
    s.ReplyStr(kReplyExecDenied);
    return;
  }
  const std::string path = LocalToPosix(s.FsSettings(), local);
  const std::string workDir = LocalToPosix(s.FsSettings(), s.Login.currentDir);
  std::vector<std::string> args{path};
  for (std::string& a : SplitExecArguments(rest)) args.push_back(std::move(a));
  // A device name or an unmapped drive has no POSIX path: that is a start
  // failure like any other (ENOENT).
  const RSpawnResultStr r =
      path.empty() ? RSpawnResultStr{false, 0, -ENOENT} : SpawnDetached(path, args, workDir);
  if (!r.ok) {
    s.ReplyStr(kReplyExecFailed, static_cast<uint32_t>(-r.error));
    return;
  }
  s.ReplyStr(kReplyExecStarted, static_cast<uint32_t>(r.pid));
}

void SiteSet(RFTPSComInterp& s) {
  const int on = ParseSetArgument(s.SiteArgument);
  if (on < 0) {
    s.ReplyStr(kReplySiteNotSupported);
    return;
  }
  s.Transfer.progressOn = on == 1;
  s.ReplyStr(on == 1 ? kReplyNotifyOn : kReplyNotifyOff);
}

// The search walks the disk on a worker; the found names come back as one
// list and are replied on the loop, in the order found.
struct RIndexFoundStr {
  std::vector<std::string> paths;  // local paths
};

void SiteIndex(RFTPSComInterp& s) {
  const std::string arg = IndexArgumentOf(s.SiteArgument);
  std::string dir = s.Login.currentDir;
  std::string pattern = "*.*";
  if (!arg.empty()) {
    const std::string local = s.ResolveClientPath(arg);
    // Without a backslash there is nothing to search, and nothing is replied.
    if (!SplitIndexPath(local, dir, pattern)) return;
  }
  const bool security = !s.Manager().SecurityOff();
  // Found lines stop where the reply bound would begin to drop, so the
  // final line always gets through.
  const size_t room = RFTPSComInterp::kMaxQueuedReplies > s.QueuedReplies().size() + 1
                          ? RFTPSComInterp::kMaxQueuedReplies - s.QueuedReplies().size() - 1
                          : 0;
  auto work = [dir, pattern, security, room, ctx = WorkerContext(s), home = s.Login.homeDir,
               rel = s.Login.relativePaths, hide = s.Login.hideHidden]() -> RWorkPool::Result {
    RWorkerListAccess access(ctx);
    RFsAccess* filter = security ? &access : nullptr;
    auto found = std::make_shared<RIndexFoundStr>();
    IndexSearch(
        dir, pattern,
        [&](const std::string& d, std::vector<RIndexEntryStr>& out) {
          RFTPDir reader(*ctx.fs, ctx.user, filter, ctx.address, home, rel, hide);
          reader.SetWantStatus(false);
          if (!reader.Open(d + (d.back() == '\\' ? "*.*" : "\\*.*"))) return;
          RFTPDirEntryStr e;
          while (reader.Next(e)) {
            // Link entries are shown, not followed: a link cycle cannot make
            // the search run for ever.
            const bool dirEntry = (e.st.mode & kModeDirectory) != 0 && !e.isLink;
            out.push_back({e.name, dirEntry});
          }
        },
        [&](const std::string& path) {
          if (found->paths.size() < room) found->paths.push_back(path);
        });
    return found;
  };
  auto done = [&s, pattern, lower = s.FsSettings().lowerCase](const RWorkPool::Result& r) {
    const auto& found = *static_cast<const RIndexFoundStr*>(r.get());
    s.ReplyStr(kReplyIndexFirst, pattern);
    for (const std::string& path : found.paths) {
      if (s.QueuedReplies().size() >= RFTPSComInterp::kMaxQueuedReplies) break;
      std::string client = s.ClientPathOf(path);
      if (lower) client = Lower(client);
      s.ReplyStr(kReplyIndexLine, client);
    }
    s.ReplyStr(kReplyIndexEnd, pattern);
  };
  if (!s.RunOffLoop({}, std::move(work), std::move(done))) s.ReplyStr(kReplyWorkersBusy);
}

void SiteZone(RFTPSComInterp& s) {
  int64_t offset = 0;
  if (!LocalUtcOffsetSeconds(s.Manager().Now(), offset)) {
    s.ReplyStr(kReplyZoneUnknown);
    return;
  }
  s.Reply(ZoneReply(offset));
}

// Mirroring clients (lftp's mirror -R, FileZilla) send the modes of the
// files they upload; the W letter that let the file be written decides.
void SiteChmod(RFTPSComInterp& s) {
  uint32_t mode = 0;
  std::string arg;
  if (!ParseChmodArguments(s.SiteArgument, mode, arg)) {
    s.ReplyStr(kReplyChmodSyntax);
    return;
  }
  const std::string path = s.ResolveClientPath(arg);
  if (!s.AskFlag(QC_WRITE_FILE, path)) {
    s.ReplyStr(kReplyChmodDenied);
    return;
  }
  if (!IsRegularFile(s.FsSettings(), path) && !IsDirectory(s.FsSettings(), path)) {
    s.ReplyStr(kReplyChmodNotFound, s.ClientPathOf(path));
    return;
  }
  const std::string posix = LocalToPosix(s.FsSettings(), path);
  if (posix.empty() || FsSetMode(posix, mode) != 0) {
    s.ReplyStr(kReplyChmodFailed, s.ClientPathOf(path));
    return;
  }
  s.ReplyStr(kReplyChmodOkay);
}

void SiteHelp(RFTPSComInterp& s) {
  s.ReplyStr(kReplySiteHelpFirst);
  s.ReplyStr(kReplySiteHelpList);
  s.ReplyStr(kReplySiteHelpEnd);
}

}  // namespace

// The second half of SITE: after the hook let it go.
void RunSite(RFTPSComInterp& s) {
  switch (MatchSiteSub(s.SiteArgument)) {
    case RSiteSub::Pswd:
      return SitePswd(s);
    case RSiteSub::Exec:
      return SiteExec(s);
    case RSiteSub::Set:
      return SiteSet(s);
    case RSiteSub::Index:
      return SiteIndex(s);
    case RSiteSub::Zone:
      return SiteZone(s);
    case RSiteSub::Chmod:
      return SiteChmod(s);
    case RSiteSub::Help:
      return SiteHelp(s);
    case RSiteSub::Unknown:
      break;
  }
  s.ReplyStr(kReplySiteNotSupported);
}

void HandleSite(RFTPSComInterp& s, std::string_view line) {
  s.SiteArgument = SiteArgumentOf(line);
  const int verdict = s.RaiseHook(kHookSite, s.SiteArgument);
  if (verdict == HV_Reply) {
    SendText(s, s.Hook->VerdictText());
    return;
  }
  if (verdict == HV_Hold) {
    s.HoldCommand(DC_Site);
    return;
  }
  RunSite(s);
}
}  // namespace vantor
