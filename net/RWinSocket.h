// RWinSocket: the one asynchronous socket of the system (TCP and UDP, IPv4
// and IPv6).
//
// Contract
// - Thread: every call belongs to the event-loop thread of the socket's
//   layer (see net/RSocketLayer.h). Nothing blocks: an operation either
//   completes at once or returns `WS_OK` and finishes later with an event.
// - Owner events: each event is one posted message
//       PostMessage(ownerWindow, ownerMessage,
//                   wParam = (operation << 8) | status, lParam = Id())
//   with operation one of WS_Listening, WS_Receiving, WS_Sending,
//   WS_Connecting, WS_Service, WS_Closing. Decode with `WsEventOp` and
//   `WsEventStatus`. When the post is refused (queue full, window gone) the
//   layer keeps the event in its deferred queue and re-posts it later, in
//   order. An owner registered with RSocketLayer::SetDirectOwner gets the
//   same message by SendMessage instead, once the layer's dispatch that made
//   it has finished (see there). Either way an owner is never re-entered
//   from inside an operation; only the virtual `EventProc` runs inside the
//   layer.
// - Ownership: the owner creates and destroys the socket; the layer never
//   destroys one. Do not destroy a socket inside its own `EventProc`.
//   Destruction posts no event, cancels a running look-up, closes the handle
//   and drops the socket's deferred events and parked readiness messages.
// - Buffers: `SendBlock`, `ReceiveBlock` and the counters passed to them are
//   the caller's and stay in use (not copied) until the matching
//   `WS_Sending` / `WS_Receiving` completion event (or `Abort`, a time-out,
//   an error, `ResetConnection` or destruction). `DNSLookup`'s buffer stays in
//   use until the `WS_Service` event. Line buffers are the socket's own.
// - Statuses: every operation returns a `WsStatus`; refusals have no side
//   effects. Byte counts are 64-bit.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/RSockCalls.h"
#include "net/RTlsStream.h"
#include "net/RWsErrors.h"
#include "platform/RMessageLoop.h"
#include "util/RDblLinkedList.h"

namespace vantor {

class RSocketLayer;
class RSockCalls;
class RWorkCancel;
struct RPipeStepStr;
struct RTlsStepStr;
struct RFileRecvStepStr;
struct RFileRecvFds;
struct RStepFds;

// Socket kinds, fixed at construction.
enum : int { WS_DATAGRAM = 6, WS_STREAM = 7 };

// Abort selectors.
enum : int {
  WS_TYPE_ALL = 0,
  WS_TYPE_SEND = 1,
  WS_TYPE_REC = 2,
  WS_TYPE_CON = 3,
  WS_TYPE_SERV = 4,
  WS_TYPE_LIST = 5,
};

// Flags of ReceiveBlock (bit 0, bit 1) and InitRecLine (bits 1, 2).
// WS_REC_DISCARD_OVERLONG: the rest of a line cut at the buffer size is
// dropped up to its CR instead of arriving as the next line.
enum : int { WS_REC_STREAMING = 1, WS_REC_KEEPALIVE = 2, WS_REC_DISCARD_OVERLONG = 4 };

// TakeByteCount selectors.
enum : int { WS_COUNT_SENT = 1, WS_COUNT_RECEIVED = 2 };

// Owner-event encoding.
constexpr uintptr_t WsEventParam(int operation, int status) {
  return (static_cast<uintptr_t>(operation) << 8) | static_cast<uintptr_t>(status & 0xFF);
}
constexpr int WsEventOp(uintptr_t wParam) {
  return static_cast<int>((wParam >> 8) & 0xFF);
}
constexpr int WsEventStatus(uintptr_t wParam) {
  return static_cast<int>(wParam & 0xFF);
}

// GetStatus record: 14 fields in this order.
struct RSockStatusStr {
  int32_t started = 0;
  int32_t connected = 0;
  int32_t listening = 0;
  int32_t sending = 0;
  int32_t receiving = 0;
  int32_t acceptPending = 0;  // only while listening
  int32_t lookupRunning = 0;
  int64_t blockBytesSent = 0;  // of the current block; 0 when not sending
  int64_t bytesBuffered = 0;   // waiting in the receive buffer; 0 when not receiving
  int32_t connectStatus = 0;
  int32_t listenStatus = 0;
  int32_t sendStatus = 0;
  int32_t receiveStatus = 0;
  int32_t lookupStatus = 0;
};

// Time-out slots (SetTimeOut's array order).
enum : int {
  WS_TO_LISTEN = 0,
  WS_TO_CONNECT = 1,
  WS_TO_SEND = 2,
  WS_TO_RECEIVE = 3,
  WS_TO_LOOKUP = 4
};
using RTimeOuts = std::array<int32_t, 5>;

class RWinSocket {
 public:
  // `layer` nullptr: the process-wide layer (RSocketLayer::Process()). A
  // construction while the layer is not started starts it; without a layer,
  // or when the start fails, every operation returns `WS_NoSockLib`.
  // `ownerWindow`/`ownerMessage`: where events are posted. `kind`: WS_STREAM
  // or WS_DATAGRAM. `traceTag` is passed as wParam with every trace line.
  RWinSocket(RSocketLayer* layer, RWindowId ownerWindow, uint32_t ownerMessage, int kind,
             int32_t traceTag = 0);
  RWinSocket(RWindowId ownerWindow, uint32_t ownerMessage, int kind, int32_t traceTag = 0);
  virtual ~RWinSocket();
  RWinSocket(const RWinSocket&) = delete;
  RWinSocket& operator=(const RWinSocket&) = delete;

  // Called after the layer handled an event: WS_Listening (accept event),
  // WS_Connecting, WS_Service, WS_Sending / WS_Receiving (progress),
  // WS_Closing (connection ended), WS_Timeout, WS_TimerTick (every second).
  virtual void EventProc(WsStatus status) { (void)status; }

  // --- identity ---------------------------------------------------------------
  uint32_t Id() const { return id_; }  // unique, from 1, never reused
  // A send started by SendBlock, SendFile, SendLine or SendLines still runs.
  bool Sending() const { return send_.active; }
  int Kind() const { return kind_; }
  int32_t TraceTag() const { return traceTag_; }
  RWindowId OwnerWindow() const { return ownerWindow_; }
  uint32_t OwnerMessage() const { return ownerMessage_; }
  // Events from now on go to the new owner (events already posted do not).
  void SetOwner(RWindowId window, uint32_t message);
  RSocketLayer* Layer() const { return layer_; }

  // --- connections --------------------------------------------------------------
  // Stream: bind and listen (backlog 50). Datagram: bind; the socket is then
  // "connected" and can receive. Port 0 picks a free port (GetLocalPort).
  // localIp nullptr or "": all local addresses; a stream listener then takes
  // IPv6 and IPv4 clients on one dual-stack socket (IPv4 alone where the
  // machine has no IPv6). localIp may be an IPv4 or an IPv6 text.
  [[nodiscard]] WsStatus Listen(uint16_t port, bool reuseAddress, const char* localIp = nullptr);
  // Listener only: sets SO_KEEPALIVE on the listening socket, which the
  // kernel copies to every connection it accepts, so a receiver asking for
  // keep-alive later costs no call per connection.
  WsStatus KeepAliveForAccepted();
  // Listener only: sets TCP_NODELAY on the listening socket, copied by the
  // kernel to every accepted connection (replies must not wait for the
  // client's delayed acknowledgement of the previous write).
  WsStatus NoDelayForAccepted();
  // Takes the listener's pending connection onto this (idle) socket.
  // `WS_NoCaller` when none is waiting. The listener keeps listening.
  // `WS_NoSocket` when the process is out of descriptors (or memory): the
  // listener then announces nothing for a second or two, so an owner that
  // retries on every announcement does not spin.
  [[nodiscard]] WsStatus AcceptHost(RWinSocket& listener);
  // Stream: connect to an IPv4 or IPv6 address, or to a host name after a silent
  // look-up; the owner hears exactly one WS_Connecting event. Datagram: sets
  // the destination of later sends (dotted address only).
  [[nodiscard]] WsStatus CallHost(const char* host, uint16_t remotePort, uint16_t localPort = 0,
                                  const char* localIp = nullptr);
  // Reverse look-up when `buffer` holds a dotted address, forward otherwise;
  // the answer (host name, or dotted address) replaces the text, cut to
  // size - 1 characters. Runs on the resolver thread; WS_Service event.
  [[nodiscard]] WsStatus DNSLookup(char* buffer, int size);
  // Graceful close now (0: WS_OK, WS_Closing/WS_SoftClose event) or after
  // `delaySeconds` ticks (returns WS_Busy). Under TLS close_notify goes
  // before the FIN: when the socket has no room for it, WS_Busy too, and
  // the close (with its event) follows once it is sent, or ends with
  // WS_Closing/WS_Timeout when the peer reads nothing for 15 seconds.
  // WS_NotCon when not connected.
  [[nodiscard]] WsStatus DisconnectHost(int delaySeconds);
  // Stops the selected operations (WS_TYPE_*) with WS_Aborted events, in the
  // order send, receive, connect, look-up, listen.
  void Abort(int selector);
  // Abortive close (RST); clears every activity; no event. A connection the
  // peer ended cleanly (its FIN, or close_notify under TLS) with nothing of
  // ours cut off closes gracefully instead: nothing is left to protect.
  void ResetConnection();
  void GetStatus(RSockStatusStr& out) const;

  // This socket's local address, else the machine's primary address, else
  // the first address of the host name, else "". Addresses are shown as
  // SockAddrText shows them: an IPv4 peer of a dual-stack socket, and the
  // local end of its connection, read as plain IPv4.
  std::string GetLocalIPAddress() const;
  // Every IPv4 address of the machine's interfaces, in interface order, at
  // most `capacity`.
  std::vector<std::string> GetLocalIPAddressList(size_t capacity) const;
  // Peer address ("" when not connected); for a datagram socket the sender
  // of the last datagram.
  std::string GetRemoteIPAddress() const;
  uint16_t GetLocalPort() const;
  uint16_t GetRemotePort() const;
  // WS_COUNT_SENT / WS_COUNT_RECEIVED: the running total, then zeroed; -1
  // for another selector.
  int64_t TakeByteCount(int which);

  // --- data ---------------------------------------------------------------------
  // Sends `length` bytes from the caller's buffer; WS_Sending/WS_OK when all
  // went out. `*sentCounter` (optional) is set to 0 and grows as bytes go.
  [[nodiscard]] WsStatus SendBlock(const void* buffer, int64_t length, int64_t* sentCounter);
  // Like SendBlock, but the bytes come from the open file `fileFd` starting
  // at `offset` and go out with sendfile(2) without passing through user
  // memory. The fd is the caller's; it must stay open until the
  // WS_Sending event. Same pacing, counters, events and time-outs. The data
  // lane's copy of `fileFd` is kept for the next sends naming the same
  // number until the connection closes: a caller that closes the file and
  // opens another under that number sends it on a new connection.
  [[nodiscard]] WsStatus SendFile(int fileFd, int64_t offset, int64_t length, int64_t* sentCounter);
  // Receives into the caller's buffer. Without streaming: one WS_Receiving
  // event when the block is full (or, on a datagram socket, one datagram
  // arrived). With WS_REC_STREAMING: an event after every chunk; take the
  // bytes with GetReceivedBytes. Length 0 or less: WS_OK, nothing starts.
  [[nodiscard]] WsStatus ReceiveBlock(void* buffer, int64_t length, int64_t* receivedCounter,
                                      int flags);
  // Like ReceiveBlock, but the bytes go into the pipe `pipeFd` (its write
  // end, non-blocking, empty at the call) with splice(2) and never pass
  // through user memory. The block also ends, short, when the pipe has no
  // room left while it holds bytes: the caller empties the pipe each block.
  [[nodiscard]] WsStatus ReceiveToPipe(int pipeFd, int64_t length, int64_t* receivedCounter);
  // Like ReceiveToPipe, but each chunk goes on from the pipe (`pipeRead`,
  // `pipeWrite`: its two ends, empty at the call) into the open file
  // `fileFd` at its position, in the same step: socket to file in one
  // hand-over. `*fileResult` is set to 0 and grows by the bytes the file
  // took; a failed file write makes it -errno and ends the block at once
  // (WS_Receiving/WS_OK; the bytes not written stay in the pipe). The block
  // is handed over when full, like ReceiveBlock. The descriptors are the
  // caller's and stay open while the socket lives; the socket copies them
  // once for its data-thread steps, not once per step.
  [[nodiscard]] WsStatus ReceiveToFile(int pipeRead, int pipeWrite, int fileFd, int64_t length,
                                       int64_t* receivedCounter, int64_t* fileResult);
  // A receive step runs on a data thread now.
  bool ReceiveStepOut() const { return recv_.offloaded; }
  // Runs `then` on the loop once the receive step out now has settled (its
  // bytes counted, its events posted), or when the socket closes first.
  // False, and `then` is dropped, when no step is out.
  bool AfterReceiveStep(std::function<void()> then);
  // Streaming receive: moves up to `maximum` buffered bytes out; returns the
  // count (0 when not receiving on a stream).
  int64_t GetReceivedBytes(void* destination, int64_t maximum);
  // Line send mode with lines of at most `maximumLength` characters; posts
  // WS_Sending/WS_OK at once ("send the first line").
  [[nodiscard]] WsStatus InitSendLine(int maximumLength);
  // Sends `text` + CR LF; WS_More when the text was cut to the maximum;
  // WS_Busy while the previous line is still going out.
  [[nodiscard]] WsStatus SendLine(const char* text);
  // Line send mode: sends `length` bytes of ready-made lines (CR LF
  // included) at once, as far as the socket takes them, so that a batch of
  // replies costs one send. WS_OK: everything went out and no event
  // follows. WS_Sending: the rest goes out as the socket drains, then one
  // WS_Sending event (WS_OK or the failure) follows; the buffer must stay
  // untouched until then. WS_Busy while a send runs, WS_Error outside line
  // mode; another status: the send failed (its event is posted too).
  [[nodiscard]] WsStatus SendLines(const char* buffer, int64_t length);
  // Line receive mode with a line buffer of `size` (>= 3) bytes. A line ends
  // at CR; LF and NUL bytes are dropped; an over-long line is cut (its rest
  // is the next line, or dropped with WS_REC_DISCARD_OVERLONG).
  [[nodiscard]] WsStatus InitRecLine(int size, int flags);
  // Takes the next line (terminated) into `destination`: WS_OK, WS_More
  // (cut), WS_Nothing (no complete line), WS_Error (size < 3, not in line
  // mode).
  [[nodiscard]] WsStatus ReceiveLine(char* destination, int size);

  // --- TLS ---------------------------------------------------------------------
  // Starts the server side of a TLS handshake on this connected stream
  // socket. Nothing may be sending; line input already buffered is dropped
  // (bytes that arrived before the handshake must never count as
  // protected). One WS_Securing event follows: WS_OK, WS_Timeout after
  // `limitSeconds` without completion, else WS_Error (`TlsFailure` says
  // why). Afterwards every block, line and file operation goes through TLS,
  // and a graceful close sends close_notify first. `sessionId` and
  // `lineage`: see RTlsStream::SetSessionId and SetLineage.
  // `dataConnection` issues no tickets and gathers records (BulkMode).
  [[nodiscard]] WsStatus StartTls(std::shared_ptr<RTlsContext> context, std::string_view sessionId,
                                  bool dataConnection, int32_t limitSeconds,
                                  std::string_view lineage = {});
  // A handshake under way gets `limitSeconds` from now: a data connection
  // that shakes hands before its transfer command counts from the command.
  void RestartHandshakeClock(int32_t limitSeconds);
  // Stops reading (data stays in the kernel) until StartTls: the command
  // that asks for TLS is answered in clear text, and nothing the client
  // sends after it may be read as clear text.
  void HoldInput() { recv_.held = true; }
  bool TlsActive() const { return tls_ != nullptr && tls_->Established(); }
  bool TlsHandshaking() const { return tlsHandshaking_; }
  // The established stream (nullptr without TLS): protocol, cipher, resumption.
  const RTlsStream* Tls() const { return TlsActive() ? tls_.get() : nullptr; }
  // A further session ticket, sent with the next protected write.
  bool IssueTlsTicket() { return TlsActive() && tls_->IssueTicket(); }
  const std::string& TlsFailure() const { return tlsFailure_; }

  // --- time-outs and limits -------------------------------------------------------
  // Seconds per slot (WS_TO_*): >= 1 sets, < 0 removes the limit (-1), 0
  // keeps. `autoReset`: progress restarts the counter (inactivity limits).
  void SetTimeOut(const RTimeOuts& limits, bool autoReset);
  RTimeOuts GetTimeOut() const { return limits_; }
  void ResetTimeOut();
  // Bytes per second for this socket (0 or less: off).
  void SetLocalSpeedLimit(int64_t bytesPerSecond);
  // Bytes moved in the previous whole second (per-session rate displays).
  int64_t BytesLastSecond() const { return bytesPrevSecond_; }
  int32_t IdleSeconds() const { return idleSeconds_; }

  // --- raw access -------------------------------------------------------------------
  // The OS handle (-1 when none) for socket options such as TCP_NODELAY.
  // Never close it or read/write through it: the layer owns it.
  int NativeHandle() const { return handle_; }

 private:
  friend class RSocketLayer;

  bool Ready() const;
  bool Tracing() const;
  void TraceLine(const std::string& text) const;
  RSockCalls Calls() const;
  void Notify(int operation, int status);
  void PostSelf(uint32_t event);

  // handles
  WsStatus OpenHandle(int type, int family = AF_INET);
  WsStatus Arm(uint32_t events, bool nonBlocking = false, uint32_t readyNow = 0);
  void EnsureKeepAlive();
  void CloseHandle(bool abortive);
  // DisconnectHost's close_notify: true while it waits for the socket.
  bool TlsCloseWaits();
  void DiscardUnread();

  // connections
  WsStatus DoListen(uint16_t port, bool reuseAddress, const char* localIp);
  WsStatus DoAccept(RWinSocket& listener);
  WsStatus DoCallHost(const char* host, uint16_t remotePort, uint16_t localPort,
                      const char* localIp);
  WsStatus StartConnection();
  // The address an outgoing socket binds to before it connects: the local
  // address and port CallHost was given, in the remote's family. False when
  // neither was given (the kernel picks both).
  bool LocalBinding(RSockCalls& c, RSockAddr& out) const;
  WsStatus DoLookup(char* buffer, int size);
  WsStatus DoDisconnect(int delaySeconds);
  void AcceptEvent(int error);
  void ConnectEvent(int error);
  void PeerClose(int error);
  void EndConnection();
  void LookupDone(int error, const std::string& answer);
  void CancelLookup();

  // data
  WsStatus StartSend(const char* buffer, int fileFd, int64_t offset, int64_t length,
                     int64_t* sentCounter);
  WsStatus DoInitSendLine(int maximumLength);
  WsStatus DoSendLine(const char* text);
  WsStatus DoSendLines(const char* buffer, int64_t length);
  [[nodiscard]] WsStatus LineSendRefusal() const;
  // The `length` bytes at `buffer` become the send in progress (the idle
  // count restarts when `autoReset_`).
  void BeginLineBlock(const char* buffer, int64_t length);
  WsStatus DoReceiveBlock(void* buffer, int pipeFd, int64_t length, int64_t* receivedCounter,
                          int flags);
  WsStatus DoInitRecLine(int size, int flags);
  WsStatus DoReceiveLine(char* destination, int size);
  int64_t SendOnce(RSockCalls& c, int64_t n);
  void SentBytes(int64_t n);
  void ReceivedBytes(int64_t n);
  bool SendHandler(int error, bool selfPosted = false);  // false: a speed budget is used up
  // One copying step for a data thread: runs there on its own copies of
  // this socket and of the file or pipe; its result reaches `done` on the
  // loop.
  using StepResult = std::shared_ptr<const void>;
  using StepBody = std::function<StepResult(int sock, int other, const RWorkCancel& cancel)>;
  bool OffloadStep(int other, std::shared_ptr<RStepFds>* copies, StepBody body,
                   std::function<void(const StepResult&)> done, std::shared_ptr<RWorkCancel>* out);
  bool OffloadFileSend(int64_t chunk, bool paced);
  // Sends the trace lines a step collected on its thread (tracing on).
  void EmitTrace(const std::vector<std::string>& lines) const;
  void FileSendDone(uint64_t generation, int64_t sent, int64_t offset, int err, bool full);
  void FinishSendStep(bool failed, int err, bool flushWaits);
  // The protected download's step: the stream is lent to a data thread,
  // which reads the file, encrypts and sends; `tls_` is not touched here
  // until TlsSendDone takes it back.
  bool OffloadTlsSend(int64_t want, bool paced);
  void TlsSendDone(uint64_t generation, RTlsStepStr& step);
  // The socket goes away (or resets) while its stream is lent: the step
  // takes the stream and the descriptor with it and ends both.
  void OrphanTlsStep();
  // The protected upload's step: decrypts on a data thread into a buffer of
  // the step's own (the caller's may go with an abort); the loop copies the
  // bytes into the caller's block when the stream comes back.
  bool OffloadTlsReceive(int64_t want, bool paced);
  void TlsReceiveDone(uint64_t generation, RTlsStepStr& step);
  // A step's share of the speed budgets: taken when it goes out, the
  // unused part given back when it returns (`slot`: the send's or the
  // receive's reservation).
  void ReserveBudgets(int64_t& slot, int64_t n);
  void ReturnBudgets(int64_t& slot);
  // The lent stream is wanted back: the step ends after its current record.
  void StopTlsStep();
  bool OffloadPipeReceive(int64_t chunk, bool paced);
  bool OffloadFileReceive(int64_t chunk, bool paced);
  // The data threads' copies of the file (and, `withSocket`, of the socket
  // and the pipe) of a file receive, made once and kept; false when the
  // system gave no descriptor.
  bool FileCopies(bool withSocket);
  // A protected block's decrypted bytes into the file on the loop; false
  // when the file refused them (the block then ends).
  bool WriteToFile(const char* bytes, int64_t n);
  void FileReceiveDone(uint64_t generation, const RFileRecvStepStr& step);
  // Drains the pipe into the file after `n` bytes were spliced in on the
  // loop; false when the file refused them (the block then ends).
  bool DrainPipeToFile(int64_t n);
  void RunAfterStep();
  void PipeReceiveDone(uint64_t generation, const RPipeStepStr& step);
  void HandOverBlock(int64_t got, bool pipeFull, bool eof, bool failed);
  void FinishReceiveStep(bool failed, int err, bool eof);
  // An offloaded receive step is back: false (the step's bytes dropped)
  // when its receive ended meanwhile.
  bool ReceiveStepBack(uint64_t generation);
  // Counts a step's bytes as received and resets the receive time-out.
  void StepReceived(int64_t got);
  // SO_RCVLOWAT of a clear upload's socket: kRecvLowat bytes or one.
  void SetRecvLowat(bool raised);
  bool ReceiveHandler(int error);  // false: a speed budget is used up
  void EndSend(int status);
  void EndReceive(int status);
  void ScanLine(int64_t n);
  void FreeSendLine();
  void FreeRecLine();

  // TLS
  void DriveHandshake();
  void EndHandshake(int status);
  int64_t TlsSendOnce(RSockCalls& c, int64_t n);
  int64_t TlsRecvOnce(RSockCalls& c, void* p, int64_t n);
  // Sends the records a bulk write gathered; true while the socket is full
  // (FD_WRITE is re-enabled), `*failed` when the connection broke.
  bool TlsFlushWaits(RSockCalls& c, bool* failed);
  int TlsErrorCode(RTlsResult r);
  void DropTls();

  // pacing and ticks
  bool LimitInForce() const;
  bool ApplyBudgets(int64_t& chunk) const;
  void Account(int64_t n);
  bool Reached(int slot);
  void Tick();

  // identity
  RSocketLayer* layer_ = nullptr;
  uint32_t id_ = 0;
  int32_t traceTag_ = 0;
  int handle_ = -1;
  uint32_t selectMessage_ = 0;  // readiness message number of this handle
  int kind_ = WS_STREAM;
  RWindowId ownerWindow_ = 0;
  uint32_t ownerMessage_ = 0;
  // This socket's events waiting in the layer's relay queue: while any
  // wait, a new one queues behind them instead of being handed over.
  uint32_t ownerQueued_ = 0;

  // time-outs
  RTimeOuts limits_{-1, 120, 120, -1, 120};
  RTimeOuts counters_{0, 0, 0, 0, 0};
  bool autoReset_ = true;
  int32_t idleSeconds_ = 0;
  int32_t delayedClose_ = 0;

  // rate
  int64_t bytesThisSecond_ = 0;
  int64_t bytesPrevSecond_ = 0;
  bool localLimitOn_ = false;
  int64_t localLimit_ = 0;
  int64_t localBudget_ = 0;

  RDblLink layerLink_;

  // The socket's state flags, one record per concern, so a check or a reset
  // names the concern it belongs to.
  struct SendFlags {
    bool active = false;     // a send (block, file or line) is under way
    bool lines = false;      // InitSendLine: the socket sends lines
    bool inlineRun = false;  // SendLines runs the send handler itself
    bool offloaded = false;  // a file step runs on a data thread
  };
  struct ReceiveFlags {
    bool active = false;           // a receive (block, pipe or lines) runs
    bool lines = false;            // line mode (InitRecLine)
    bool streaming = false;        // WS_REC_STREAMING: an event after every chunk
    bool lineReady = false;        // a whole line waits in the buffer
    bool discardOverlong = false;  // InitRecLine's WS_REC_DISCARD_OVERLONG
    bool skippingLine = false;     // dropping the rest of a cut line
    bool held = false;             // HoldInput: nothing is read until StartTls
    bool offloaded = false;        // a pipe step runs on a data thread
  };
  struct LookupFlags {
    bool running = false;       // a request is with the resolver
    bool connectAfter = false;  // CallHost: connect when the answer comes
    bool silent = false;        // CallHost's own look-up: no owner event
    bool reverse = false;       // the text was an address: address to name
  };
  struct CloseFlags {
    bool peerClosed = false;  // FD_CLOSE came while input was still to be read
    bool drained = false;     // the last line read emptied the socket
    bool eofPending = false;  // read to the end before FD_CLOSE arrived
    bool attempt = false;     // a graceful close is under way
    bool peerEnded = false;   // the peer's FIN (not a reset) ended its stream
    bool sendCut = false;     // a send ended unfinished: a close must reset
    bool tlsClosing = false;  // DisconnectHost waits to send close_notify
  };
  SendFlags send_;
  ReceiveFlags recv_;
  LookupFlags lookup_;
  CloseFlags close_;

  // socket options known to be set, and close bookkeeping
  bool keepAliveOn_ = false;        // SO_KEEPALIVE known to be set on handle_
  int recvLowat_ = 1;               // SO_RCVLOWAT of handle_ (SetRecvLowat)
  bool keepAliveAccepted_ = false;  // listener: accepted sockets inherit it
  int stepsQueued_ = 0;             // own FD_WRITE messages not handled yet
  int closeStatus_ = WS_OK;
  int64_t closeAttemptStart_ = 0;

  // listening
  bool listening_ = false;
  bool acceptPending_ = false;
  int32_t acceptPause_ = 0;  // ticks until accepting resumes (out of descriptors)
  int listenStatus_ = WS_OK;
  int32_t listenHealth_ = 180;

  bool connected_ = false;

  // connecting
  bool connecting_ = false;
  bool remoteKnown_ = false;
  RSockAddr remote_{};
  int connectStatus_ = WS_OK;
  uint16_t localPort_ = 0;
  RSockAddr localAddr_{};  // bind address of CallHost (port unset)
  std::unique_ptr<char[]> hostName_;

  // look-up
  int lookupStatus_ = WS_OK;
  char* resultBuf_ = nullptr;
  int resultSize_ = 0;
  int lookupHandle_ = 0;

  // sending
  int sendStatus_ = WS_OK;
  const char* sendBuf_ = nullptr;
  const char* sendPtr_ = nullptr;
  int fileFd_ = -1;              // SendFile source, -1 for memory blocks
  uint64_t sendGeneration_ = 0;  // which send an offloaded step belongs to
  std::shared_ptr<RWorkCancel> sendStep_;
  std::shared_ptr<RStepFds> sendFds_;  // the steps' copies, kept for the whole send
  int64_t fileOffset_ = 0;
  int64_t sendLeft_ = 0;
  int64_t blockLength_ = 0;
  int64_t bytesSent_ = 0;
  int64_t* sentCounter_ = nullptr;
  std::unique_ptr<char[]> sendLine_;
  int sendLineMax_ = 0;

  // receiving
  int recStatus_ = WS_OK;
  char* recBuf_ = nullptr;
  char* writePtr_ = nullptr;
  int recPipe_ = -1;      // ReceiveToPipe target, -1 for memory blocks
  int recPipeRead_ = -1;  // ReceiveToFile: the pipe's read end
  int recFile_ = -1;      // ReceiveToFile: the file, -1 otherwise
  int64_t* fileResult_ = nullptr;
  // The data threads' copies of this socket, the pipe and the file, made at
  // the first step of a file receive and kept for the next ones.
  std::shared_ptr<RFileRecvFds> recvFds_;
  std::shared_ptr<RStepFds> recvPipeFds_;  // the same for a receive into a pipe
  std::vector<std::function<void()>> afterStep_;
  uint64_t recvGeneration_ = 0;  // which receive an offloaded step belongs to
  std::shared_ptr<RWorkCancel> recvStep_;
  int64_t capacity_ = 0;
  int64_t freeSpace_ = 0;
  int64_t bytesReceived_ = 0;
  int64_t* recCounter_ = nullptr;
  std::unique_ptr<char[]> recLine_;
  RSockAddr lastSender_{};
  bool haveSender_ = false;
  // The peer of an accepted connection, as accept() gave it.
  RSockAddr acceptedPeer_{};
  bool havePeer_ = false;

  // TLS
  std::unique_ptr<RTlsStream> tls_;
  // While a step has the stream (`tlsLent_`), the loop keeps off `tls_`:
  // reads wait (`tlsReadDeferred_`) and a close waits for the step.
  std::shared_ptr<RTlsStepStr> tlsStep_;
  bool tlsLent_ = false;
  bool tlsReadDeferred_ = false;
  bool tlsWriteDeferred_ = false;
  bool tlsStepReset_ = false;           // a lent step's read met the peer's reset
  std::unique_ptr<char[]> tlsRecvBuf_;  // an upload step's buffer between steps
  int64_t tlsRecvBufLen_ = 0;
  int64_t sendReserved_ = 0;  // speed budget the send's step may use
  int64_t recvReserved_ = 0;  // ... and the receive's
  bool tlsHandshaking_ = false;
  bool tlsData_ = false;  // StartTls's dataConnection
  int32_t tlsLimit_ = 0;
  int32_t tlsSeconds_ = 0;
  bool tlsReadWantsWrite_ = false;  // a read waits for FD_WRITE
  bool tlsWriteWantsRead_ = false;  // a write waits for FD_READ
  std::string tlsFailure_;
  // Downloads without kernel TLS: file bytes read here, then encrypted.
  std::unique_ptr<char[]> tlsFileBuf_;
  int64_t tlsFileLen_ = 0;
  int64_t tlsFilePos_ = 0;
  int64_t tlsRetryLen_ = 0;  // length of a protected write that must be repeated
};

}  // namespace vantor

#include "net/RSocketLayer.h"
