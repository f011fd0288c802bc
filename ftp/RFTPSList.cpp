// LIST and NLST: the listing is generated (or taken from the directory
// cache) by the file services, queued, and sent over the data connection.
#include "ftp/RFTPSList.h"

#include "fs/RFsStrings.h"
#include "fs/RLSDir.h"
#include "fs/RPath.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSListArgs.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RWorkerAccess.h"

namespace vantor {
namespace {

// Replies of the listing commands.

// Lines longer than this are cut: room for the longest name a file system
// stores (255 bytes) with its columns, and a bound on what one entry sends.
constexpr size_t kMaxListLine = 500;
// Lines are joined into blocks of about this size for one send: the bytes
// on the wire are exactly the CR LF terminated lines, with far fewer steps.
constexpr size_t kListBlock = 65536;

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  std::string dir = slash == std::string::npos ? path : path.substr(0, slash);
  if (dir.size() == 2 && dir[1] == ':') dir += '\\';
  return dir;
}

void HandleList(RFTPSComInterp& s, std::string_view line, bool isList) {
  if (s.Transfer.State() != XS_Idle) {
    s.ReplyStr(kReplyListBusy);
    return;
  }
  const RListArgStr args =
      ParseListArgument(line.size() > 5 ? line.substr(5) : std::string_view(), isList);
  // A current directory removed under the session lists as missing, like
  // every other command acting inside it, not as an empty directory.
  if (args.path.empty() && !IsDirectory(s.FsSettings(), s.Login.currentDir)) {
    s.ReplyStr(kReplyDirNotFound, s.ClientPathOf(s.Login.currentDir));
    return;
  }
  const std::string local = args.path.empty() ? s.Login.currentDir : s.ResolveClientPath(args.path);
  const std::string checked = IsDirectory(s.FsSettings(), local) ? local : ParentOf(local);
  if (!s.AskFlag(QC_CHANGE_DIR, checked)) {
    s.ReplyStr(kReplyListDenied);
    return;
  }
  RLSDirArgsStr ls;
  if (args.path.empty()) {
    ls.dir = s.Login.currentDir;
  } else {
    SplitListPath(local, ls.dir, ls.pattern);
  }
  const bool security = !s.Manager().SecurityOff();
  ls.user = s.Login.userName;
  ls.options = args.options;
  ls.address = s.Connection.localAddress;
  ls.home = s.Login.homeDir;
  ls.relPaths = security && s.Login.relativePaths;
  ls.hideHidden = s.Login.hideHidden;
  ls.now = s.Manager().Loop().Clock().WallSeconds();
  // Reading and formatting happen on a worker; a second session asking for
  // the same listing while the first still waits shares its run.
  const std::string key =
      std::string(isList ? "LIST" : "NLST") + '\n' + ls.user + '\n' + ls.dir + '\n' + ls.pattern +
      '\n' + ls.options + '\n' + std::to_string(ls.address) + '\n' + ls.home + '\n' +
      (security ? "s" : "") + (ls.relPaths ? "r" : "") + (ls.hideHidden ? "h" : "");
  auto work = [ls, security, ctx = WorkerContext(s)]() mutable -> RWorkPool::Result {
    RWorkerListAccess access(ctx);
    ls.access = security ? &access : nullptr;
    RLSDir dir(*ctx.fs, ctx.manager->Fs().Cache(), ls);
    return dir.Lines();
  };
  auto done = [&s, dir = ls.dir](const RWorkPool::Result& r) {
    SendListing(s, std::static_pointer_cast<const RDirLinesStr>(r), dir);
  };
  if (!s.RunOffLoop(key, std::move(work), std::move(done))) s.ReplyStr(kReplyWorkersBusy);
}

}  // namespace

void HandleListVerb(RFTPSComInterp& s, std::string_view line) {
  HandleList(s, line, true);
}
void HandleNlstVerb(RFTPSComInterp& s, std::string_view line) {
  HandleList(s, line, false);
}

void SendListing(RFTPSComInterp& s, RDirLinesPtr lines, const std::string& dir) {
  LoadTransferSettings(s);
  s.Transfer.lines = RDirLineQueue(std::move(lines));
  if (!s.Transfer.passive) {
    s.ReplyStr(kReplyListOpening);
    if (!OpenActive(s, kReplyListNoSockets, kReplyListCannotConnect)) {
      s.Transfer.lines.clear();
      return;
    }
  }
  s.Transfer.fileName = dir;
  (void)s.Transfer.Wait(RTransferKind::Listing, s.Manager().Loop().Clock().NowMs());
  if (s.Transfer.passive) DataConnected(s, WS_OK);
}

void SendNextLine(RFTPSComInterp& s, int status) {
  if (status != WS_OK) {
    EndSend(s, true, kReplyListAborted, false);
    return;
  }
  (void)s.Transfer.OnBlock();
  if (s.Transfer.lines.empty()) {
    // The cut reply lives with the file services' limits, the plain one here.
    const uint32_t done =
        s.Transfer.lines.Cut() ? uint32_t{kReplyListCut} : uint32_t{kReplyListComplete};
    EndSend(s, false, done, false);
    return;
  }
  std::string& block = s.Transfer.listBlock;
  block.clear();
  while (!s.Transfer.lines.empty() && block.size() < kListBlock) {
    const std::string_view l = s.Transfer.lines.front();
    block.append(l.substr(0, kMaxListLine));
    block += "\r\n";
    s.Transfer.lines.pop_front();
  }
  if (s.Transfer.Steps().SendBlock(block.data(), static_cast<int64_t>(block.size())) != WS_OK) {
    EndSend(s, true, kReplyListAborted, false);
  }
}

}  // namespace vantor
