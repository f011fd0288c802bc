// File transfers: RETR, STOR, APPE, STOU, REST, TYPE, MODE, STRU, the send
// and receive loops and the end of a transfer.
#include "ftp/RFTPSTransfer.h"

#include "accounts/RClusterStore.h"
#include "accounts/RFTPQuota.h"
#include "accounts/RFTPRatios.h"
#include "accounts/RWildcard.h"
#include "fs/RFsSettings.h"
#include "fs/RFsStrings.h"
#include "fs/RPath.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTransferArgs.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RStouNames.h"
#include "ftp/RTransferSummary.h"
#include "ftp/RWorkerAccess.h"
#include "platform/RFileIO.h"
#include "platform/RSocketOptions.h"
#include "util/RLog.h"
#include "util/RText.h"

#include <optional>

namespace vantor {
namespace {

// "550 %s: Names with "*" or "?" cannot be created."

// Event-hook event numbers of transfers.
enum : uint32_t {
  HE_UploadEnded = 10,
  HE_DownloadStarted = 11,
  HE_DownloadEnded = 12,
  HE_UploadFailed = 13,
  HE_DownloadFailed = 14,
  HE_UploadStarted = 9,
  HE_BeforeRetr = 100,
  HE_BeforeStor = 101,
  HE_BeforeAppe = 102,
  HE_BeforeStou = 103,
};

int64_t NowMs(RFTPSComInterp& s) {
  return s.Manager().Loop().Clock().NowMs();
}

bool SpeedLimited(RFTPSComInterp& s) {
  if (s.Login.speedLimit > 0) return true;
  RSocketLayer* layer =
      s.Transfer.link.socket ? s.Transfer.link.socket->Layer() : s.Manager().Layer();
  return layer != nullptr && layer->SpeedLimitOn();
}

// True when the command goes on now; otherwise the hook answered or holds it.
bool PreCommandHook(RFTPSComInterp& s, uint32_t event, int32_t deferred, const std::string& path) {
  const int verdict = s.RaiseHook(event, path);
  if (verdict == HV_Reply) {
    SendText(s, s.Hook ? s.Hook->VerdictText() : std::string());
    return false;
  }
  if (verdict == HV_Hold) {
    s.HoldCommand(deferred);
    return false;
  }
  return true;
}

// A library that changed the path of a RETR, STOR, APPE or STOU event names
// the file the transfer uses instead (served or stored in place of the one
// asked for; the client-visible name in replies follows it).
void TakeHookReplacement(RFTPSComInterp& s) {
  if (!s.Hook) return;
  std::string text = s.Hook->EventText();
  // The record holds 511 characters: a long path the library left alone
  // comes back cut, which is no replacement.
  constexpr size_t kRecordText = 511;
  if (text.empty() || text == std::string_view(s.Transfer.fileName).substr(0, kRecordText)) return;
  s.Transfer.fileName = std::move(text);
}

void RaiseTransferEnd(RFTPSComInterp& s, uint32_t code, uint32_t reason, int64_t elapsed) {
  if (!s.Hook) return;
  RHookEventStr e;
  e.code = code;
  e.second = reason;
  e.elapsed = static_cast<uint32_t>(elapsed);
  e.bytes = static_cast<uint64_t>(s.Transfer.Bytes());
  e.text = s.Transfer.fileName;
  e.text2 = TypeWord(s);
  (void)s.Hook->Raise(e);
}

void SendEndReply(RFTPSComInterp& s, uint32_t reply) {
  std::string text = LoadStr(reply);
  if (text.find('%') != std::string::npos)
    text = FormatStr(reply, ClientLeaf(s, s.Transfer.fileName));
  if (s.Connection.verboseReplies) {
    SendRatioQuotaSummary(s, text);
  } else {
    s.Reply(text);
  }
}

// The data socket's status of the transfer's side, -1 without a socket.
int DataSideStatus(RFTPSComInterp& s, bool upload) {
  if (!s.Transfer.link.socket) return -1;
  RSockStatusStr st;
  s.Transfer.link.socket->GetStatus(st);
  return upload ? st.receiveStatus : st.sendStatus;
}

// --- RETR ---------------------------------------------------------------------------

void RetrOpen(RFTPSComInterp& s);

// Counts the download and charges the ratio credit, then goes on with
// `then`; refused, kReplyNoDownloadCredit goes out instead. With the credit
// in the cluster store the session waits for the charge's statement.
void RetrCharge(RFTPSComInterp& s, void (*then)(RFTPSComInterp&)) {
  ++s.Counters.filesDown;
  auto refuse = [](RFTPSComInterp& s) {
    if (s.Counters.filesDown > 0) --s.Counters.filesDown;
    s.ReplyStr(kReplyNoDownloadCredit);
  };
  if (s.Ratio && s.Ratio->Shared()) {
    RFTPSComInterp::StoreResume resume = s.WaitForStore();
    s.Ratio->MayDownloadShared(s.Transfer.fileName, [resume, then, refuse](bool allowed) {
      return resume([allowed, then, refuse](RFTPSComInterp& s) {
        if (allowed) {
          then(s);
        } else {
          refuse(s);
        }
      });
    });
    return;
  }
  if (s.Ratio && !s.Ratio->MayDownload(s.Transfer.fileName)) {
    refuse(s);
    return;
  }
  then(s);
}

void RetrHookThenOpen(RFTPSComInterp& s);

// Gives back what RetrCharge took, for a download that does not happen.
void RetrGiveUp(RFTPSComInterp& s) {
  if (s.Ratio) s.Ratio->DownloadFailed();
  if (s.Counters.filesDown > 0) --s.Counters.filesDown;
}

}  // namespace

void HandleRetr(RFTPSComInterp& s, std::string_view line) {
  if (s.Transfer.State() != XS_Idle) {
    s.ReplyStr(kReplyRetrBusy);
    return;
  }
  const std::string arg = CommandArgument(line, 4);
  if (arg.empty()) {
    s.ReplyStr(kReplyRetrSyntax);
    return;
  }
  s.Transfer.fileName = s.ResolveClientPath(arg, true);
  if (!s.AskFlag(QC_READ_FILE, s.Transfer.fileName)) {
    s.ReplyStr(kReplyRetrDenied);
    return;
  }
  if (!IsRegularFile(s.FsSettings(), s.Transfer.fileName)) {
    s.ReplyStr(kReplyRetrNotFound, s.ClientPathOf(s.Transfer.fileName));
    return;
  }
  RetrCharge(s, RetrHookThenOpen);
}

namespace {

void RetrHookThenOpen(RFTPSComInterp& s) {
  if (!PreCommandHook(s, HE_BeforeRetr, DC_Retr, s.Transfer.fileName)) {
    // Answered by the hook, or held: either way nothing is sent now. A held
    // download is charged again when it is let go (RetrResume), so neither
    // a release with the library's own reply nor a session that ends while
    // it waits keeps a charge for a download that never happened.
    RetrGiveUp(s);
    return;
  }
  RetrOpen(s);
}

}  // namespace

void RetrResume(RFTPSComInterp& s) {
  RetrCharge(s, RetrOpen);
}

namespace {

// What a download and an upload do alike once the file is open and, in active
// mode, the data connection is under way: the log line, the session's
// transfer state and counters, the passive start and the hook event.
void BeginTransfer(RFTPSComInterp& s, bool upload) {
  if (s.Connection.logged) {
    WriteLog(
        upload ? LOG_UPLOADS : LOG_DOWNLOADS,
        FormatStr(upload ? kLogReceiving : kLogSending, s.Number(), Lower(s.Transfer.fileName)));
  }
  (void)s.Transfer.Wait(upload ? RTransferKind::Upload : RTransferKind::Download, NowMs(s));
  if (upload) {
    ++s.Manager().Stats().UploadsActive;
    ++s.Counters.filesUp;
  } else {
    ++s.Manager().Stats().DownloadsActive;
  }
  if (s.Transfer.passive) DataConnected(s, WS_OK);
  (void)s.RaiseHook(upload ? HE_UploadStarted : HE_DownloadStarted, s.Transfer.fileName);
}

void RetrOpen(RFTPSComInterp& s) {
  LoadTransferSettings(s);
  TakeHookReplacement(s);
  s.Transfer.file.Close();
  const int rc =
      s.Transfer.file.Open(LocalToPosix(s.FsSettings(), s.Transfer.fileName),
                           RTransferOpenMode::Read, s.Transfer.restartOffset, RUploadSharing::Any);
  s.Transfer.startOffset = s.Transfer.restartOffset;
  s.Transfer.restartOffset = 0;
  if (rc != 0) {
    RetrGiveUp(s);
    s.ReplyStr(kReplyRetrCannotOpen, s.ClientPathOf(s.Transfer.fileName));
    return;
  }
  s.Transfer.fileSize = std::max<int64_t>(FileSize(s.FsSettings(), s.Transfer.fileName), 0);
  s.Transfer.fileSize = s.Transfer.fileSize;
  if (!s.Transfer.passive) {
    s.ReplyStr(kReplyRetrOpening, TypeWord(s), ClientLeaf(s, s.Transfer.fileName),
               s.Transfer.fileSize);
    if (!OpenActive(s, kReplyRetrNoSockets, kReplyRetrCannotConnect)) {
      s.Transfer.file.Close();
      RetrGiveUp(s);
      return;
    }
  }
  BeginTransfer(s, false);
}

// --- uploads ------------------------------------------------------------------------------

uint32_t HookEventOf(RUploadKind k) {
  return k == RUploadKind::Stor ? HE_BeforeStor
                                : (k == RUploadKind::Appe ? HE_BeforeAppe : HE_BeforeStou);
}
int32_t DeferredOf(RUploadKind k) {
  return k == RUploadKind::Stor ? DC_Stor : (k == RUploadKind::Appe ? DC_Appe : DC_Stou);
}

static_assert(RUploadRecords::kMaxAgeSeconds == RClusterStore::kUploadRecordSeconds);

// Query code 7, 8 or 10 for writing FileName (7 for an append the client's
// own upload record allows, `recorded` when another machine holds it); 8 is
// retried as 10.
uint32_t UploadCode(RFTPSComInterp& s, RUploadKind kind, bool recorded) {
  if (!IsRegularFile(s.FsSettings(), s.Transfer.fileName)) return QC_WRITE_FILE;
  const int64_t size = FileSize(s.FsSettings(), s.Transfer.fileName);
  const uint32_t code = (kind == RUploadKind::Appe || size <= s.Transfer.restartOffset)
                            ? QC_APPEND_FILE
                            : QC_MODIFY_FILE;
  if (code == QC_APPEND_FILE &&
      (recorded ||
       s.Manager().UploadRecords().Contains(s.Connection.clientAddress, s.Transfer.fileName))) {
    return QC_WRITE_FILE;
  }
  return code;
}

bool MayUpload(RFTPSComInterp& s, uint32_t code) {
  if (s.AskFlag(code, s.Transfer.fileName)) return true;
  return code == QC_APPEND_FILE && s.AskFlag(QC_MODIFY_FILE, s.Transfer.fileName);
}

bool PathTaken(const RFsSettingsStr& fs, const std::string& p) {
  return IsRegularFile(fs, p) || IsDirectory(fs, p);
}

void ContinueUpload(RFTPSComInterp& s, RUploadKind kind);

// STOU's name search may walk millions of names, so it runs on a worker.
// The name it found is checked once more on the loop: another session may
// have taken it meanwhile, and two uploads into one file would lose one.
void FindStouName(RFTPSComInterp& s, std::string_view arg) {
  s.Transfer.restartOffset = 0;
  const std::string resolved = s.ResolveClientPath(arg, true);
  auto work = [resolved, ctx = WorkerContext(s)]() -> RWorkPool::Result {
    const RFsSettingsStr& fs = *ctx.fs;
    std::optional<std::string> name =
        FindUniqueName(resolved, IsDirectory(fs, resolved),
                       [&fs](const std::string& p) { return PathTaken(fs, p); });
    return name ? std::make_shared<const std::string>(std::move(*name)) : nullptr;
  };
  auto done = [&s, resolved](const RWorkPool::Result& r) {
    std::optional<std::string> name;
    if (r) name = *std::static_pointer_cast<const std::string>(r);
    const RFsSettingsStr& fs = s.FsSettings();
    if (name && PathTaken(fs, *name))
      name = FindUniqueName(resolved, IsDirectory(fs, resolved),
                            [&fs](const std::string& p) { return PathTaken(fs, p); });
    if (!name) {
      s.ReplyStr(kReplyNoUniqueName);
      return;
    }
    s.Transfer.fileName = *name;
    ContinueUpload(s, RUploadKind::Stou);
  };
  if (!s.RunOffLoop({}, std::move(work), std::move(done))) s.ReplyStr(kReplyWorkersBusy);
}

void HandleUpload(RFTPSComInterp& s, std::string_view line, RUploadKind kind) {
  if (s.Transfer.State() != XS_Idle) {
    s.ReplyStr(kReplyStorBusy);
    return;
  }
  const std::string arg = CommandArgument(line, 4);
  if (kind == RUploadKind::Stou) {
    FindStouName(s, arg);
    return;
  }
  if (arg.empty()) {
    s.ReplyStr(kReplyStorSyntax);
    return;
  }
  s.Transfer.fileName = s.ResolveClientPath(arg, true);
  ContinueUpload(s, kind);
}

void UploadAllowed(RFTPSComInterp& s, RUploadKind kind, uint32_t code) {
  if (!MayUpload(s, code)) {
    s.ReplyStr(kReplyStorDenied);
    return;
  }
  s.Transfer.uploadKind = kind;
  if (!PreCommandHook(s, HookEventOf(kind), DeferredOf(kind), s.Transfer.fileName)) return;
  UploadStart(s);
}

void ContinueUpload(RFTPSComInterp& s, RUploadKind kind) {
  // "*" and "?" are patterns to every other command: such a file could be
  // stored but never fetched, removed or renamed again.
  if (HasWildcard(s.Transfer.fileName)) {
    s.ReplyStr(kReplyWildcardName, s.ClientPathOf(s.Transfer.fileName));
    return;
  }
  const uint32_t code = UploadCode(s, kind, false);
  RClusterStore* store = s.Manager().Cluster();
  // An append (or a resume at the end) that the client's own upload record
  // may allow: the record may be another machine's, so the store is asked.
  // Unanswered (the store away), this machine's records decide under either
  // ClusterUnavailable: a record only ever widens a right, so going without
  // it refuses nothing the rules allow.
  if (code == QC_APPEND_FILE && store != nullptr && store->Ready()) {
    RFTPSComInterp::StoreResume resume = s.WaitForStore();
    store->FindUpload(
        s.Connection.clientAddress, s.Transfer.fileName, [resume, kind](bool ok, bool found) {
          resume(
              [=](RFTPSComInterp& s) { UploadAllowed(s, kind, UploadCode(s, kind, ok && found)); });
        });
    return;
  }
  UploadAllowed(s, kind, code);
}

}  // namespace

void UploadStart(RFTPSComInterp& s) {
  const RGlobalSettings& g = LoadTransferSettings(s);
  const RUploadKind kind = s.Transfer.uploadKind;
  TakeHookReplacement(s);
  s.Transfer.file.Close();
  // No quota charge yet: the file is not changed before the data connection
  // is up (StartReceiving credits what the truncation then removes), so an
  // upload that never gets its connection has nothing to give back.
  RUploadSharing sharing = RUploadSharing::Any;
  if (g.openFilesUploadMode == RUploadMode::Shared) sharing = RUploadSharing::Shared;
  if (g.openFilesUploadMode == RUploadMode::Exclusive) sharing = RUploadSharing::Exclusive;
  const std::string posix = IsReservedDevice(s.Transfer.fileName)
                                ? std::string()
                                : LocalToPosix(s.FsSettings(), s.Transfer.fileName);
  const int rc = posix.empty()
                     ? -ENOENT
                     : s.Transfer.file.Open(posix,
                                            kind == RUploadKind::Appe ? RTransferOpenMode::Append
                                                                      : RTransferOpenMode::Write,
                                            s.Transfer.restartOffset, sharing);
  const int64_t offset = s.Transfer.restartOffset;
  s.Transfer.startOffset = s.Transfer.restartOffset;
  s.Transfer.restartOffset = 0;
  if (rc == RTransferFile::kBeyondEnd) {
    s.ReplyStr(kReplyRestartBeyondEnd, offset, ClientLeaf(s, s.Transfer.fileName),
               std::max<int64_t>(FileSize(s.FsSettings(), s.Transfer.fileName), 0));
    return;
  }
  if (rc != 0) {
    s.ReplyStr(kReplyStorCannotCreate, ClientLeaf(s, s.Transfer.fileName));
    return;
  }
  if (!s.Transfer.passive) {
    s.ReplyStr(kReplyStorOpening, TypeWord(s), ClientLeaf(s, s.Transfer.fileName));
    if (!OpenActive(s, kReplyStorNoSockets, kReplyStorCannotConnect)) {
      // The connection never opened: a new file goes again, an existing one
      // was never changed (its truncation waits for the connection).
      s.Transfer.file.Abandon();
      return;
    }
  }
  BeginTransfer(s, true);
}

void HandleStor(RFTPSComInterp& s, std::string_view line) {
  HandleUpload(s, line, RUploadKind::Stor);
}
void HandleAppe(RFTPSComInterp& s, std::string_view line) {
  HandleUpload(s, line, RUploadKind::Appe);
}
void HandleStou(RFTPSComInterp& s, std::string_view line) {
  HandleUpload(s, line, RUploadKind::Stou);
}

// --- REST, TYPE, MODE, STRU -------------------------------------------------------------------

void HandleRest(RFTPSComInterp& s, std::string_view line) {
  const std::optional<int64_t> offset = ParseRestLine(line);
  if (!offset) {
    s.ReplyStr(kReplyRestSyntax);
    return;
  }
  s.Transfer.restartOffset = *offset;
  s.ExpectRestart();
  s.ReplyStr(kReplyRestarting, *offset);
}

void HandleType(RFTPSComInterp& s, std::string_view line) {
  const RTypeDecisionStr d = DecideType(line);
  if (d.changes) s.Transfer.ascii = d.ascii;
  s.ReplyStr(d.reply);
}

void HandleMode(RFTPSComInterp& s, std::string_view line) {
  s.ReplyStr(DecideMode(line));
}
void HandleStru(RFTPSComInterp& s, std::string_view line) {
  s.ReplyStr(DecideStru(line));
}

namespace {

// --- sending -------------------------------------------------------------------------------

void SendNextBlock(RFTPSComInterp& s) {
  const int64_t size = s.Transfer.file.Size();
  if (size < 0) {
    EndSend(s, true, kReplyRetrCannotRead, false);
    return;
  }
  const int64_t left = size - s.Transfer.sendOffset;
  if (left <= 0) {
    EndSend(s, false, kReplyRetrComplete, false);
    return;
  }
  const int64_t block = SpeedLimited(s) ? RTransfer::kPacedBlock : RTransfer::kFastSendBlock;
  const int64_t n = left < block ? left : block;
  if (s.Transfer.Steps().SendFile(s.Transfer.file.Fd(), s.Transfer.sendOffset, n) != WS_OK) {
    EndSend(s, true, kReplyRetrAborted, false);
  }
}

// --- receiving ------------------------------------------------------------------------------

// The seam between upload blocks and the session's quota: every block's
// bytes are reserved here before the block is handed out, and what the
// block did not use comes back here when it is settled.
class RSessionBlockQuota final : public RBlockQuota {
 public:
  explicit RSessionBlockQuota(RFTPQuota& quota) : quota_(quota) {}
  bool Reserve(int64_t bytes) override { return quota_.Charge(-bytes); }
  void Refund(int64_t bytes) override { (void)quota_.Charge(bytes); }

 private:
  RFTPQuota& quota_;
};

// The session's block quota, empty without an enabled quota.
std::optional<RSessionBlockQuota> BlockQuota(RFTPSComInterp& s) {
  if (!s.Quota || !s.Quota->Enabled()) return std::nullopt;
  return RSessionBlockQuota(*s.Quota);
}

RBlockQuota* QuotaOf(std::optional<RSessionBlockQuota>& q) {
  return q ? &*q : nullptr;
}

void ReceiveNextBlock(RFTPSComInterp& s) {
  // A shared quota store is asked before the reservation here runs short;
  // the session waits for its answer (an ended upload drops the wait).
  if (s.Quota && s.Quota->MustReserve(RTransfer::kQuotaFileBlock)) {
    s.Quota->Reserve(RTransfer::kQuotaFileBlock, [&s] { ReceiveNextBlock(s); });
    return;
  }
  RTransfer& t = s.Transfer;
  WsStatus st = WS_NotCon;
  // Protected blocks go to the file the same way (decrypted and written
  // off the loop), without a pipe.
  const bool tls = t.link.socket && t.link.socket->TlsActive();
  if (!t.link.socket) {
  } else if (t.pipeWrite || tls) {
    // A quota user's block is halved while the quota refuses it; 0: the
    // last bytes of the quota wait in the pipe for their charge (a block
    // that arrives beyond it is refused whole, as it always was).
    std::optional<RSessionBlockQuota> quota = BlockQuota(s);
    const int64_t block = t.ReserveFileBlock(QuotaOf(quota), t.bufferSize == RTransfer::kPacedBlock
                                                                 ? t.bufferSize
                                                                 : RTransfer::kFileBlock);
    if (block > 0) {
      st = t.ReceiveFileBlock(block, quota.has_value());
    } else if (tls) {
      st = t.Steps().ReceiveBlock(t.buffer.get(), t.bufferSize);
    } else {
      st = t.Steps().ReceiveToPipe(t.pipeWrite.Get(), t.bufferSize);
    }
  } else {
    st = t.Steps().ReceiveBlock(t.buffer.get(), t.bufferSize);
  }
  if (st != WS_OK) EndReceive(s, true, kReplyStorAborted, false);
}

}  // namespace

const char* TypeWord(const RFTPSComInterp& s) {
  return s.Transfer.ascii ? "ASCII" : "BINARY";
}

std::string ClientLeaf(const RFTPSComInterp& s, std::string_view localPath) {
  const std::string client = s.ClientPathOf(localPath);
  const size_t slash = client.rfind('/');
  return slash == std::string::npos ? client : client.substr(slash + 1);
}

void StartSending(RFTPSComInterp& s) {
  // Sends then stop at a small backlog and each session's next step comes
  // with its client's progress (a failure only costs speed).
  if (s.Transfer.link.socket) {
    (void)SetSocketOption(s.Transfer.link.socket->NativeHandle(), RSockOption::NotSentLowWater,
                          RTransfer::kUnsentBytes);
  }
  s.Transfer.sendOffset = s.Transfer.file.StartOffset();
  SendNextBlock(s);
}

void SendCompleted(RFTPSComInterp& s, int status) {
  if (status != WS_OK) {
    EndSend(s, true, kReplyRetrAborted, false);
    return;
  }
  (void)s.Transfer.OnBlock();
  SendNextBlock(s);
}

void StartReceiving(RFTPSComInterp& s) {
  s.Transfer.bufferSize = SpeedLimited(s) ? RTransfer::kPacedBlock : RTransfer::kFastBlock;
  // Room for a block even when it arrives in small segments (one pipe slot
  // each).
  // Protected bytes are decrypted in user memory: no pipe for them.
  const bool tls = s.Transfer.link.socket && s.Transfer.link.socket->TlsActive();
  if (tls || FdPipe(s.Transfer.pipeRead, s.Transfer.pipeWrite, RTransfer::kPipeBytes) != 0) {
    s.Transfer.buffer.reset(new char[static_cast<size_t>(s.Transfer.bufferSize)]);
  }
  // The connection is up: now the old contents may be cut.
  if (s.Transfer.file.Commit() != 0) {
    EndReceive(s, true, kReplyStorDiskFull, false);
    return;
  }
  // STOR over a file (or after REST short of its end) just removed the old
  // tail: that space is free now.
  if (s.Quota && s.Transfer.file.CutBytes() > 0) (void)s.Quota->Charge(s.Transfer.file.CutBytes());
  ReceiveNextBlock(s);
}

namespace {

// Settles the file block the socket wrote (whole or, at the end, in
// part): true when all its bytes are on disk. A failed block is cut back
// off the file and gives its whole reservation back; a good one the part
// it did not use.
bool SettleFileBlock(RFTPSComInterp& s) {
  std::optional<RSessionBlockQuota> quota = BlockQuota(s);
  return s.Transfer.OnFileBlock(QuotaOf(quota));
}

// True when the block is on disk; a failed one gives its charge back.
bool SettleBlock(RFTPSComInterp& s, int64_t wrote) {
  if (wrote == s.Transfer.Steps().StepBytes()) return true;
  if (s.Quota) s.Quota->UndoLast();
  return false;
}

void BlockWritten(RFTPSComInterp& s, int status, int64_t wrote) {
  if (!SettleBlock(s, wrote)) {
    EndReceive(s, true, kReplyStorDiskFull, false);
    return;
  }
  (void)s.Transfer.OnBlock();
  if (status == WS_SoftClose) return;  // the closing event ends the upload
  ReceiveNextBlock(s);
}

}  // namespace

void ReceiveCompleted(RFTPSComInterp& s, int status) {
  RTransfer& t = s.Transfer;
  const int64_t fill = t.Steps().StepBytes();
  if (t.FileBlockOut()) {
    // Already on disk: settled first, whatever ends the upload now.
    const bool ok = SettleFileBlock(s);
    if (status != WS_OK && status != WS_SoftClose) {
      EndReceive(s, true, kReplyStorAborted, false);
    } else if (!ok) {
      EndReceive(s, true, kReplyStorDiskFull, false);
    } else if (fill == 0) {
      EndReceive(s, false, kReplyStorComplete, false);
    } else {
      (void)t.OnBlock();
      if (status != WS_SoftClose) ReceiveNextBlock(s);  // else the closing event ends it
    }
    return;
  }
  if (status != WS_OK && status != WS_SoftClose) {
    EndReceive(s, true, kReplyStorAborted, false);
    return;
  }
  if (fill == 0) {
    EndReceive(s, false, kReplyStorComplete, false);
    return;
  }
  if (s.Quota && !s.Quota->Charge(-fill)) {
    EndReceive(s, true, kReplyQuotaExceeded, false);
    return;
  }
  // A block decrypted in memory, or the last of a quota that waited in the
  // pipe for its charge: at most kFastBlock, written here.
  const auto len = static_cast<size_t>(fill);
  const int64_t wrote =
      t.pipeRead ? t.file.WriteFromPipe(t.pipeRead.Get(), len) : t.file.Write(t.buffer.get(), len);
  BlockWritten(s, status, wrote);
}

// Why a transfer ended, for its log line and hook event (nothing when it
// succeeded).
RTransferReasonStr EndReason(const RFTPSComInterp& s, bool upload, bool failed, bool killed,
                             uint32_t reply, int dataStatus) {
  if (!failed) return {};
  RTransferEndFactsStr f;
  f.upload = upload;
  f.killedByServer = killed;
  f.reply = reply;
  f.dataStatus = dataStatus;
  f.controlConnected = s.Control() != nullptr && !s.RemovalRequested();
  return PickFailureReason(f);
}

// One line of the transfer log for the transfer that ends now, which moved
// `bytes` (for an upload, what the file kept of it).
void RecordTransfer(RFTPSComInterp& s, bool upload, bool failed, int64_t elapsedMs, int64_t bytes) {
  const RXferLog& log = s.Manager().XferLog();
  if (!log.On()) return;
  RXferRecordStr r;
  r.now = s.Manager().Now();
  r.seconds = elapsedMs / 1000;
  r.host = s.Connection.clientAddress;
  r.bytes = static_cast<uint64_t>(bytes);
  r.path = LocalToPosix(s.FsSettings(), s.Transfer.fileName);
  r.ascii = s.Transfer.ascii;
  r.upload = upload;
  r.anonymous = s.Login.anonymous;
  r.user = s.Login.userArgument.empty() ? s.Login.userName : s.Login.userArgument;
  r.complete = !failed;
  log.Write(r);
}

void EndSend(RFTPSComInterp& s, bool failed, uint32_t reply, bool suppress, bool killed) {
  const int64_t elapsed = NowMs(s) - s.Transfer.startMs + 10;
  (void)s.Transfer.OnBlock();
  const int64_t moved = s.Transfer.Bytes();
  const int dataStatus = DataSideStatus(s, false);
  const bool listing = s.Transfer.Listing();
  s.Transfer.file.Close();
  s.Transfer.Finish(failed ? RTransferOutcome::Failed : RTransferOutcome::Complete);
  if (failed && !listing) RetrGiveUp(s);

  const RTransferReasonStr reason = EndReason(s, false, failed, killed, reply, dataStatus);
  const std::string reasonText = reason.text != 0 ? LoadStr(reason.text) : "";
  if (!listing) {
    if (s.Connection.logged) {
      WriteLog(LOG_DOWNLOADS,
               TransferEndLogLine(false, failed, s.Number(), s.Transfer.fileName,
                                  static_cast<uint64_t>(moved), elapsed, reasonText));
    }
    RecordTransfer(s, false, failed, elapsed, moved);
    s.Manager().Metrics().CountTransfer(false, failed, static_cast<uint64_t>(moved),
                                        s.Login.userName);
    RaiseTransferEnd(s, failed ? HE_DownloadFailed : HE_DownloadEnded,
                     static_cast<uint32_t>(reason.number), elapsed);
    if (s.Manager().Stats().DownloadsActive > 0) --s.Manager().Stats().DownloadsActive;
    if (!failed) ++s.Manager().Stats().FilesDownloaded;
    s.Counters.bytesDown += static_cast<uint64_t>(moved);
  }
  ServerStats& st = s.Manager().Stats();
  st.BytesDownloaded += static_cast<uint64_t>(moved);
  st.KBytesDownloaded = static_cast<double>(st.BytesDownloaded / 1024);
  if (!suppress) SendEndReply(s, reply);
  s.TransferEnded();
}

void EndReceive(RFTPSComInterp& s, bool failed, uint32_t reply, bool suppress, bool killed,
                bool fromCommand) {
  // The socket's step is settled before anything ends a transfer (the
  // session's events wait behind it), so the block in progress is counted
  // here; one that failed fails the upload.
  if (s.Transfer.FileBlockOut() && !SettleFileBlock(s) && !failed) {
    failed = true;
    reply = kReplyStorDiskFull;
  }
  const RGlobalSettings& g = LoadTransferSettings(s);
  const int64_t elapsed = NowMs(s) - s.Transfer.startMs + 10;
  (void)s.Transfer.OnBlock();
  const int64_t moved = s.Transfer.Bytes();
  const int dataStatus = DataSideStatus(s, true);
  s.Transfer.Finish(failed ? RTransferOutcome::Failed : RTransferOutcome::Complete);

  // Another client deleted the file or renamed one over it while it was
  // written: its bytes leave the disk with this close, and that command left
  // the credit to this end, which knows how much there is to give back.
  int64_t freed = 0;
  const bool unlinked = s.Transfer.file.Unlinked();
  if (unlinked) freed = std::max<int64_t>(s.Transfer.file.Size(), 0);
  bool fileRemains = true;
  if (failed) {
    if (s.Counters.filesUp > 0) --s.Counters.filesUp;
    if (!s.Transfer.dataConnected) {
      // Nothing arrived: put things back as they were before the command.
      const int64_t lost = s.Transfer.file.Abandon();
      if (!unlinked) freed = lost;
      fileRemains = false;
    } else if (g.deletePartialUploads) {
      // What the file really loses, taken from the file: bytes counted in
      // TransferBytes may still sit in the pipe.
      const int64_t lost = s.Transfer.file.DeletePartial();
      if (!unlinked) freed = lost;
      fileRemains = false;
    }
  }
  // Bytes kept: what the transfer log records for an upload that was cut.
  const int64_t kept = s.Transfer.file.Written();
  s.Transfer.file.Close();
  if (s.Quota && freed > 0) (void)s.Quota->Charge(freed);
  // The upload is over: the store learns now what is on disk, and the
  // reservation not used goes back.
  if (s.Quota) s.Quota->Flush();

  const RTransferReasonStr reason = EndReason(s, true, failed, killed, reply, dataStatus);
  const std::string reasonText = reason.text != 0 ? LoadStr(reason.text) : "";
  if (s.Connection.logged) {
    WriteLog(LOG_UPLOADS, TransferEndLogLine(true, failed, s.Number(), s.Transfer.fileName,
                                             static_cast<uint64_t>(moved), elapsed, reasonText));
  }
  RClusterStore* sharedWith = nullptr;
  if (fileRemains && !s.AskFlag(QC_APPEND_FILE, s.Transfer.fileName) &&
      !s.AskFlag(QC_MODIFY_FILE, s.Transfer.fileName)) {
    s.Manager().UploadRecords().Insert(s.Connection.clientAddress, s.Transfer.fileName,
                                       s.Manager().Now());
    sharedWith = s.Manager().Cluster();
  }
  // A block refused by the quota was received but never written.
  RecordTransfer(s, true, failed, elapsed, fileRemains ? kept : 0);
  s.Manager().Metrics().CountTransfer(true, failed, static_cast<uint64_t>(moved), s.Login.userName);
  RaiseTransferEnd(s, failed ? HE_UploadFailed : HE_UploadEnded,
                   static_cast<uint32_t>(reason.number), elapsed);
  if (s.Manager().Stats().UploadsActive > 0) --s.Manager().Stats().UploadsActive;
  s.Counters.bytesUp += static_cast<uint64_t>(moved);
  ServerStats& st = s.Manager().Stats();
  st.BytesUploaded += static_cast<uint64_t>(moved);
  st.KBytesUploaded = static_cast<double>(st.BytesUploaded / 1024);
  if (fileRemains) {
    if (s.Ratio && moved > 0) s.Ratio->Uploaded(static_cast<uint64_t>(moved));
    ++s.Manager().Stats().FilesUploaded;
  }
  if (sharedWith != nullptr && sharedWith->Ready() && !suppress && !fromCommand &&
      !s.AwaitingWork()) {
    // The reply waits for the record: a client told that its upload was cut
    // may resume it from another machine at once.
    RFTPSComInterp::StoreResume resume = s.WaitForStore();
    sharedWith->ShareUpload(s.Connection.clientAddress, s.Transfer.fileName, [resume, reply] {
      resume([reply](RFTPSComInterp& s) {
        SendEndReply(s, reply);
        s.TransferEnded();
      });
    });
    return;
  }
  if (sharedWith != nullptr)
    sharedWith->ShareUpload(s.Connection.clientAddress, s.Transfer.fileName);
  if (!suppress) SendEndReply(s, reply);
  s.TransferEnded();
}

void TransferTick(RFTPSComInterp& s) {
  const int64_t bytes = s.Transfer.Bytes();
  const int64_t elapsed = NowMs(s) - s.Transfer.startMs;
  if (!s.Transfer.Listing() && s.Hook) {
    RHookEventStr e;
    e.code = s.Transfer.Upload() ? HE_UploadProgress : HE_DownloadProgress;
    e.elapsed = static_cast<uint32_t>(elapsed);
    e.bytes = static_cast<uint64_t>(bytes);
    e.text = s.Transfer.fileName;
    e.text2 = TypeWord(s);
    (void)s.Hook->Raise(e);
  }
  // A fast upload needs less patience from its data connection.
  if (s.Transfer.Upload() && s.Transfer.link.socket && bytes >= 5001 &&
      bytes - static_cast<int64_t>(s.Transfer.lastTickCount) >= 3001 &&
      static_cast<double>(bytes) / static_cast<double>(elapsed + 10) > 0.6) {
    const RTimeOuts t = s.Transfer.link.socket->GetTimeOut();
    if (t[WS_TO_RECEIVE] > 90) {
      s.Transfer.link.socket->SetTimeOut({0, 0, 0, t[WS_TO_RECEIVE] - 10, 0}, true);
    }
  }
  s.Transfer.lastTickCount = static_cast<uint64_t>(bytes);
}

}  // namespace vantor
