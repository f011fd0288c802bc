// The transfer object's transitions, count and upload-block settlement.
#include "ftp/RTransfer.h"

#include <algorithm>

namespace vantor {

WsStatus RDataLink::SendFile(int fileFd, int64_t offset, int64_t length) {
  if (!socket) return WS_NotCon;
  return socket->SendFile(fileFd, offset, length, &step_);
}

WsStatus RDataLink::SendBlock(const void* data, int64_t length) {
  if (!socket) return WS_NotCon;
  return socket->SendBlock(data, length, &step_);
}

WsStatus RDataLink::ReceiveBlock(void* buffer, int64_t length) {
  if (!socket) return WS_NotCon;
  return socket->ReceiveBlock(buffer, length, &step_, 0);
}

WsStatus RDataLink::ReceiveToPipe(int pipeWrite, int64_t length) {
  if (!socket) return WS_NotCon;
  return socket->ReceiveToPipe(pipeWrite, length, &step_);
}

WsStatus RDataLink::ReceiveToFile(int pipeRead, int pipeWrite, int fileFd, int64_t length) {
  if (!socket) return WS_NotCon;
  return socket->ReceiveToFile(pipeRead, pipeWrite, fileFd, length, &step_, &fileResult_);
}

void RTransfer::Enter(int32_t state) {
  state_ = state;
}

bool RTransfer::Wait(RTransferKind kind, int64_t nowMs) {
  if (state_ != XS_Idle) return false;
  kind_ = kind;
  moved_ = 0;
  Steps().ClearStep();
  startMs = nowMs;
  lastTickCount = 0;
  dataConnected = false;
  Enter(kind == RTransferKind::Upload    ? XS_WaitReceive
        : kind == RTransferKind::Listing ? XS_WaitList
                                         : XS_WaitSend);
  return true;
}

bool RTransfer::OnConnected() {
  if (!Waiting()) return false;
  moved_ = 0;
  Steps().ClearStep();
  dataConnected = true;
  Enter(kind_ == RTransferKind::Upload    ? XS_Receiving
        : kind_ == RTransferKind::Listing ? XS_Listing
                                          : XS_Sending);
  return true;
}

int64_t RTransfer::OnBlock() {
  const int64_t n = Steps().StepBytes();
  moved_ += n;
  if (kind_ == RTransferKind::Download) sendOffset += n;
  Steps().ClearStep();
  return n;
}

int64_t RTransfer::Bytes() const {
  return moved_ + (steps_ != nullptr ? steps_->StepBytes() : link.StepBytes());
}

int64_t RTransfer::ReserveFileBlock(RBlockQuota* quota, int64_t block) {
  if (quota == nullptr) return block;
  const int64_t floor = std::min(block, kFastBlock);
  for (int64_t n = std::min(block, kQuotaFileBlock); n >= floor; n /= 2) {
    if (quota->Reserve(n)) return n;
  }
  return 0;
}

WsStatus RTransfer::ReceiveFileBlock(int64_t length, bool reserved) {
  fileBlock_ = true;
  reserved_ = reserved ? length : 0;
  return Steps().ReceiveToFile(pipeRead.Get(), pipeWrite.Get(), file.Fd(), length);
}

bool RTransfer::OnFileBlock(RBlockQuota* quota) {
  if (!fileBlock_) return true;
  fileBlock_ = false;
  const int64_t fill = Steps().StepBytes();
  const int64_t wrote = Steps().FileResult();
  const int64_t reserved = reserved_;
  reserved_ = 0;
  const int64_t result = wrote == fill ? fill : (wrote < 0 ? wrote : -EIO);
  const bool ok = file.BlockDone(result, static_cast<size_t>(fill)) == fill;
  const int64_t back = ok ? reserved - fill : reserved;
  if (quota != nullptr && back > 0) quota->Refund(back);
  return ok;
}

void RTransfer::DropBuffers() {
  buffer.reset();
  pipeRead.Reset();
  pipeWrite.Reset();
  bufferSize = 0;
}

void RTransfer::Finish(RTransferOutcome outcome) {
  // The step that ended the transfer counts: the end's log line and
  // counters read the whole count.
  moved_ += Steps().StepBytes();
  Steps().ClearStep();
  if (kind_ == RTransferKind::Listing) lines.clear();
  DropBuffers();
  // A complete upload's client closed its end already.
  if (outcome == RTransferOutcome::Complete && kind_ != RTransferKind::Upload && link.socket) {
    const WsStatus st = link.socket->DisconnectHost(0);
    if (st == WS_OK || st == WS_Busy) {  // the closing event ends it (OnClosed)
      Enter(XS_Closing);
      return;
    }
  }
  link.socket.reset();
  early = false;
  if (outcome == RTransferOutcome::Aborted) {
    passiveSocket.reset();
    passive = false;
    lines.clear();
    if (file.IsOpen()) file.Close();
    fileBlock_ = false;
    reserved_ = 0;
  }
  Enter(XS_Idle);
}

void RTransfer::OnClosed() {
  link.socket.reset();
  Enter(XS_Idle);
}

}  // namespace vantor
