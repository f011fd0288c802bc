// Data connections: PORT, PASV, EPRT, EPSV, ABOR, the active connect, the accept of a
// passive connection and the transfer state machine's common exits.
#include "ftp/RFTPSData.h"

#include <algorithm>

#include "ftp/RBusMessages.h"
#include "ftp/RFTPSDataArgs.h"
#include "ftp/RFTPSList.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTls.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPStrings.h"
#include "net/RSocketLayer.h"
#include "platform/RIpAddress.h"
#include "platform/RSocketOptions.h"
#include "util/RLog.h"

namespace vantor {
namespace {

// Without `PacketTimeOut` in the configuration the data connection keeps
// the socket layer's own send limit; a configured value is at least 5 s.
constexpr int32_t kDefaultPacketTimeOut = 120;
constexpr int32_t kMinPacketTimeOut = 5;

int32_t PacketTimeOutSeconds(RFTPSComInterp& s) {
  const int32_t pt = LoadTransferSettings(s).packetTimeOut;
  return pt < 0 ? kDefaultPacketTimeOut : std::max(pt, kMinPacketTimeOut);
}

std::unique_ptr<RWinSocket> NewDataSocket(RFTPSComInterp& s) {
  return std::make_unique<RWinSocket>(s.Manager().Layer(), s.Manager().MainWindow(),
                                      MSG_SESSION_SOCKET, WS_STREAM, 0);
}

// The initial data address and port are the client's end of the control
// connection.
void EnsureDataDefaults(RFTPSComInterp& s) {
  if (!s.Transfer.address.empty()) return;
  s.Transfer.address = s.Connection.clientAddress;
  s.Transfer.port = DefaultDataPort(s);
}

// Connected to a port of our own, the server would read what it sends as
// a client's commands (a file of "USER", "PASS", "DELE" lines run as a
// session from this machine, past the rules meant for the client) or feed
// another session's passive listener. True (after the log line and
// `refusal`) for such an address.
bool RefusedOwnPort(RFTPSComInterp& s, uint32_t refusal) {
  RSocketLayer* layer = s.Manager().Layer();
  if (layer == nullptr || !layer->ReachesOwnListener(s.Transfer.address, s.Transfer.port))
    return false;
  s.LogStr(LOG_SECURITY, kLogDataToOwnPort, s.Transfer.address,
           static_cast<unsigned>(s.Transfer.port));
  s.ReplyStr(refusal);
  return true;
}

std::string ControlLocalAddress(const RFTPSComInterp& s) {
  if (s.Control() != nullptr) return s.Control()->GetLocalIPAddress();
  return s.Connection.localAddressText;
}

void ApplyDataSocketSettings(RFTPSComInterp& s, RWinSocket& sock) {
  ApplyConfiguredSocketOptions(LoadTransferSettings(s), sock.NativeHandle());
}

// A client that never connects must not hold a waiting transfer (and its
// open file) for ever: once a transfer waits, the listener gives up after
// the packet time-out, counted from now.
void ArmPassiveWait(RFTPSComInterp& s) {
  RWinSocket& listener = *s.Transfer.passiveSocket;
  if (listener.GetTimeOut()[WS_TO_LISTEN] >= 1) return;
  listener.SetTimeOut({PacketTimeOutSeconds(s), 0, 0, 0, 0}, true);
  listener.ResetTimeOut();
}

// A passive connection from anywhere but the client (unless PassivePeerCheck
// is off) would hand the file to whoever raced to the port: it is closed and
// logged, and the transfer keeps waiting for the client.
bool AcceptPassivePeer(RFTPSComInterp& s) {
  const std::string peer = s.Transfer.link.socket->GetRemoteIPAddress();
  if (PassivePeerAllowed(LoadTransferSettings(s).passivePeerCheck, peer,
                         s.Connection.clientAddress)) {
    return true;
  }
  s.LogStr(LOG_SECURITY, kLogForeignPassivePeer, peer, s.Connection.clientAddress);
  s.Transfer.link.socket.reset();
  return false;
}

void SendOpeningReply(RFTPSComInterp& s) {
  switch (s.Transfer.State()) {
    case XS_WaitReceive:
      s.ReplyStr(kReplyStorOpening, TypeWord(s), ClientLeaf(s, s.Transfer.fileName));
      break;
    case XS_WaitList:
      s.ReplyStr(kReplyListOpening);
      break;
    case XS_WaitSend:
      s.ReplyStr(kReplyRetrOpening, TypeWord(s), ClientLeaf(s, s.Transfer.fileName),
                 s.Transfer.fileSize);
      break;
    default:
      break;
  }
}

// An early connection goes with the listener it came from.
void DropEarlyData(RFTPSComInterp& s) {
  if (!s.Transfer.early) return;
  CutDataTls(s);
  s.Transfer.link.socket.reset();
  s.Transfer.early = false;
}

// A connection to the listener of a PROT P session while no transfer waits:
// taken now and its handshake answered as it comes. A connection that
// cannot be taken stays for the transfer command, as before.
void AcceptEarly(RFTPSComInterp& s) {
  if (!s.Transfer.Idle() || !s.Transfer.passive || s.Transfer.link.socket || !s.Tls.protP ||
      !s.Tls.control) {
    return;
  }
  s.Transfer.link.socket = NewDataSocket(s);
  if (s.Transfer.link.socket->AcceptHost(*s.Transfer.passiveSocket) != WS_OK) {
    s.Transfer.link.socket.reset();
    return;
  }
  if (!AcceptPassivePeer(s)) return;
  s.Transfer.link.socket->SetLocalSpeedLimit(s.Login.speedLimit);
  ApplyDataSocketSettings(s, *s.Transfer.link.socket);
  s.Transfer.early = true;
  s.Transfer.earlyRefusal = 0;
  // A handshake that cannot start fails the command after its 150, as it
  // would have then.
  s.Transfer.earlyDone = !StartDataTls(s, true);
  s.Transfer.earlyStatus = s.Transfer.earlyDone ? WS_Error : WS_OK;
}

// The early connection's events before its transfer command: the
// handshake's end is kept; bytes wait; a close is kept as a failure.
void OnEarlyDataEvent(RFTPSComInterp& s, int operation, int status) {
  if (operation == WS_Securing && !s.Transfer.earlyDone) {
    s.Transfer.earlyDone = true;
    s.Transfer.earlyRefusal = DataTlsDone(s, status);
    s.Transfer.earlyStatus = s.Transfer.earlyRefusal == 0 ? status : WS_Error;
  } else if (operation == WS_Closing) {
    CutDataTls(s);
    s.Transfer.earlyDone = true;
    s.Transfer.earlyStatus = WS_Error;
    s.Transfer.link.socket.reset();
  }
}

// The transfer command takes the early connection: the "150" as for a
// connection accepted now, then the transfer once the handshake is done.
// The replies and their order are those of a connection that came after
// the command: a handshake that failed or was refused, or a connection the
// client closed, ends the transfer after the "150".
void TakeEarly(RFTPSComInterp& s) {
  s.Transfer.early = false;
  s.Transfer.passiveSocket.reset();
  s.Transfer.passive = false;
  // PROT C since the handshake: a protected connection cannot carry clear data.
  if (!s.Tls.protP) {
    CutDataTls(s);
    s.Transfer.link.socket.reset();
  }
  SendOpeningReply(s);
  if (s.Transfer.link.socket) {
    const int32_t pt = PacketTimeOutSeconds(s);
    s.Transfer.link.socket->SetTimeOut({0, 0, pt, pt, 0}, true);
  }
  s.FlushReplies();
  if (s.Transfer.link.socket && s.Transfer.tlsPending) {
    RestartDataTlsClock(s);
    return;
  }
  const bool ok = s.Transfer.link.socket && s.Transfer.earlyDone;
  DataReady(s, ok ? s.Transfer.earlyStatus : WS_Error, s.Transfer.earlyRefusal);
}

// --- commands -------------------------------------------------------------------

// The protocol number (RFC 2428) of the control connection's family, as
// the 522 reply lists it.
const char* ControlProtocol(const RFTPSComInterp& s) {
  return IsIPv6Text(s.Connection.clientAddress) ? "2" : "1";
}

// After EPSV ALL the client promised to use EPSV only (RFC 2428, 4): every
// other command that sets up a data connection is refused.
bool RefusedAfterEpsvAll(RFTPSComInterp& s, const char* verb) {
  if (!s.Transfer.epsvAll) return false;
  s.ReplyStr(kReplyNotAfterEpsvAll, verb);
  return true;
}

// PORT and PASV carry IPv4 addresses only.
bool RefusedOnIPv6(RFTPSComInterp& s) {
  if (!IsIPv6Text(s.Connection.clientAddress)) return false;
  s.ReplyStr(kReplyProtocolNotSupported, ControlProtocol(s));
  return true;
}

// A new active address (PORT, EPRT) replaces any passive listener; a
// transfer still waiting for its passive connection could never get it
// once the listener goes: end it now, silently (no "150" was sent).
void LeavePassive(RFTPSComInterp& s) {
  EnsureDataDefaults(s);
  if (s.Transfer.passive && s.Transfer.Waiting()) AbortTransfer(s);
  DropEarlyData(s);
  s.Transfer.passiveSocket.reset();
  s.Transfer.passive = false;
}

// Listens on the first free port of the configured range, starting where
// the previous search stopped. The loop thread binds one port at a time, so
// two sessions can never be handed the same port; one whose bind fails
// (another program, a listener of ours) is skipped. An exhausted range
// gives 425 and a log line. SO_REUSEADDR lets a port whose last data
// connection lingers in TIME_WAIT serve again; Linux still refuses a port
// another socket listens on.
bool ListenInRange(RFTPSComInterp& s, const std::string& local, int32_t low, int32_t high) {
  const uint32_t count = static_cast<uint32_t>(high - low + 1);
  uint32_t& cursor = s.Manager().PassivePortCursor();
  for (uint32_t i = 0; i < count; ++i) {
    const auto port = static_cast<uint16_t>(low + static_cast<int32_t>(cursor++ % count));
    const WsStatus st = s.Transfer.passiveSocket->Listen(port, true, local.c_str());
    if (st == WS_OK) return true;
    if (st != WS_PortUsed) break;
  }
  s.Transfer.passiveSocket.reset();
  s.LogStr(LOG_SYSTEM, kLogNoFreePassivePort, low, high);
  s.ReplyStr(kReplyNoFreePassivePort);
  return false;
}

// Opens the passive listener on the control connection's local address.
// False after the failure reply.
bool OpenPassiveListener(RFTPSComInterp& s, const std::string& local, const char* verb) {
  // A transfer waiting on the earlier listener never sent its "150": it ends
  // silently. Abandoned after PassiveMode is cleared, it would answer with a
  // "426" ahead of the new listener's reply and leave a lock-step client one
  // reply behind.
  if (s.Transfer.passiveSocket) AbortTransfer(s);
  s.Transfer.passive = false;
  s.Transfer.passiveSocket = NewDataSocket(s);
  const RGlobalSettings& g = LoadTransferSettings(s);
  if (g.passivePortLow > 0) return ListenInRange(s, local, g.passivePortLow, g.passivePortHigh);
  if (s.Transfer.passiveSocket->Listen(0, false, local.c_str()) != WS_OK) {
    s.Transfer.passiveSocket.reset();
    s.ReplyStr(kReplyPasvNotUnderstood, verb);
    return false;
  }
  // No listen limit while nothing waits: the listener serves the session's
  // data settings for as long as they last (DataConnected arms the limit).
  return true;
}

}  // namespace

void HandlePort(RFTPSComInterp& s, std::string_view line) {
  if (RefusedAfterEpsvAll(s, "PORT") || RefusedOnIPv6(s)) return;
  RPortArgsStr args;
  if (!ParsePortLine(line, args)) {
    s.ReplyStr(kReplyPortSyntax);
    return;
  }
  LeavePassive(s);
  const RGlobalSettings& g = LoadTransferSettings(s);
  const RPortDecisionStr d =
      DecidePort(args, g.blockFTPBounceAttack, s.Connection.clientAddress, s.Transfer.port);
  s.Transfer.address = d.dataAddress;
  s.Transfer.port = d.dataPort;
  if (d.lowPortRefused) {
    s.ReplyStr(kReplyLowDataPort, "PORT");
    return;
  }
  s.ReplyStr(d.bounceRefused ? kReplyPortForeignAddress : kReplyPortOkay);
}

void HandlePasv(RFTPSComInterp& s, std::string_view) {
  if (RefusedAfterEpsvAll(s, "PASV") || RefusedOnIPv6(s)) return;
  const std::string local = ControlLocalAddress(s);
  // Behind NAT the announced address is the public one: the IP home's
  // passive address wins over the server-wide `PassiveAddress`.
  const std::string& announced = LoadTransferSettings(s).passiveAddress;
  std::string shown = announced.empty() ? local : announced;
  for (const RIPHomeStr& home : s.Manager().IPHomes()) {
    if (home.address == s.Connection.localAddress && !home.passiveText.empty()) {
      shown = home.passiveText;
      break;
    }
  }
  std::array<int, 4> quad{};
  if (!ParseDottedQuad(shown, quad)) {
    s.Transfer.passive = false;
    s.ReplyStr(kReplyPasvNotUnderstood, "PASV");
    return;
  }
  if (!OpenPassiveListener(s, local, "PASV")) return;
  s.Reply(PasvReplyText(quad, s.Transfer.passiveSocket->GetLocalPort()));
  s.Transfer.passive = true;
}

namespace {

// Replies to an EPRT/EPSV argument that did not parse; true when it did.
bool ArgumentAccepted(RFTPSComInterp& s, RNetArgResult r) {
  switch (r) {
    case RNetArgResult::Syntax:
      s.ReplyStr(kReplyPortSyntax);
      return false;
    case RNetArgResult::Protocol:
      s.ReplyStr(kReplyProtocolNotSupported, "1,2");
      return false;
    case RNetArgResult::Ok:
      break;
  }
  return true;
}

}  // namespace

void HandleEprt(RFTPSComInterp& s, std::string_view line) {
  if (RefusedAfterEpsvAll(s, "EPRT")) return;
  REprtArgsStr args;
  if (!ArgumentAccepted(s, ParseEprtArgument(CommandArgument(line, 4), args))) return;
  // The data connection goes out from the control connection's local
  // address, so it can only reach an address of the same family.
  if (IsIPv6Text(args.address) != IsIPv6Text(s.Connection.clientAddress)) {
    s.ReplyStr(kReplyProtocolNotSupported, ControlProtocol(s));
    return;
  }
  LeavePassive(s);
  const RGlobalSettings& g = LoadTransferSettings(s);
  const RPortDecisionStr d = DecideDataAddress(args.address, args.port, g.blockFTPBounceAttack,
                                               s.Connection.clientAddress, s.Transfer.port);
  s.Transfer.address = d.dataAddress;
  s.Transfer.port = d.dataPort;
  if (d.lowPortRefused) {
    s.ReplyStr(kReplyLowDataPort, "EPRT");
    return;
  }
  s.ReplyStr(d.bounceRefused ? kReplyEprtForeignAddress : kReplyEprtOkay);
}

void HandleEpsv(RFTPSComInterp& s, std::string_view line) {
  REpsvArgsStr args;
  if (!ArgumentAccepted(s, ParseEpsvArgument(CommandArgument(line, 4), args))) return;
  if (args.all) {
    s.Transfer.epsvAll = true;
    s.ReplyStr(kReplyEpsvAllOkay);
    return;
  }
  if (args.protocol != 0 && std::to_string(args.protocol) != ControlProtocol(s)) {
    s.ReplyStr(kReplyProtocolNotSupported, ControlProtocol(s));
    return;
  }
  if (!OpenPassiveListener(s, ControlLocalAddress(s), "EPSV")) return;
  s.Reply(EpsvReplyText(s.Transfer.passiveSocket->GetLocalPort()));
  s.Transfer.passive = true;
}

void HandleAbor(RFTPSComInterp& s, std::string_view) {
  AbortTransfer(s);
  s.ReplyStr(kReplyAborOkay);
}

// --- session seams -------------------------------------------------------------------

namespace {

// The data connection closed: the orderly close after a complete send,
// the client's end of an upload (its bytes are all in), or a cut.
void OnDataClosed(RFTPSComInterp& s, int status) {
  if (s.Transfer.State() == XS_Closing) {
    s.Transfer.OnClosed();
    s.TransferEnded();
    return;
  }
  if ((s.Transfer.State() == XS_Receiving || s.Transfer.State() == XS_WaitReceive) &&
      status == WS_SoftClose) {
    EndReceive(s, false, kReplyStorComplete, s.Transfer.passive && s.Transfer.Waiting());
    return;
  }
  AbortTransfer(s, false, true);
}

}  // namespace

void OnDataEvent(RFTPSComInterp& s, RWinSocket& socket, int operation, int status) {
  if (&socket == s.Transfer.passiveSocket.get()) {
    if (operation != WS_Listening) return;
    if (s.Transfer.Waiting()) {
      DataConnected(s, status);
    } else if (status == WS_OK) {
      AcceptEarly(s);
    }
    return;
  }
  if (s.Transfer.early) {
    OnEarlyDataEvent(s, operation, status);
    return;
  }
  switch (operation) {
    case WS_Connecting:
      DataConnected(s, status);
      break;
    case WS_Sending:
      if (s.Transfer.State() == XS_Sending) {
        SendCompleted(s, status);
      } else if (s.Transfer.State() == XS_Listing) {
        SendNextLine(s, status);
      }
      break;
    case WS_Receiving:
      if (s.Transfer.State() == XS_Receiving) ReceiveCompleted(s, status);
      break;
    case WS_Closing:
      OnDataClosed(s, status);
      break;
    case WS_Securing:
      if (s.Transfer.Waiting()) {
        const uint32_t refusal = DataTlsDone(s, status);
        DataReady(s, refusal == 0 ? status : WS_Error, refusal);
      }
      break;
    default:
      break;
  }
}

uint16_t DefaultDataPort(const RFTPSComInterp& s) {
  return s.Control() != nullptr ? s.Control()->GetRemotePort() : 0;
}

void OnReinitialize(RFTPSComInterp& s) {
  DropEarlyData(s);
  s.Transfer.ascii = true;
  s.Transfer.epsvAll = false;
  s.Transfer.passiveSocket.reset();
  s.Transfer.passive = false;
  s.Transfer.address.clear();
  EnsureDataDefaults(s);
}

void ApplyConfiguredSocketOptions(const RGlobalSettings& g, int fd) {
  if (fd < 0) return;
  // Each option only when configured; a failing one is ignored.
  if (g.socketInlineOOB >= 0) (void)SetSocketOption(fd, RSockOption::InlineOOB, g.socketInlineOOB);
  if (g.socketKeepAlive >= 0) (void)SetSocketOption(fd, RSockOption::KeepAlive, g.socketKeepAlive);
  if (g.socketNoNagle >= 0) (void)SetSocketOption(fd, RSockOption::NoDelay, g.socketNoNagle);
  if (g.socketSndBuffer >= 0) (void)SetSocketOption(fd, RSockOption::SendBuffer, g.socketSndBuffer);
  if (g.socketRcvBuffer >= 0) {
    (void)SetSocketOption(fd, RSockOption::ReceiveBuffer, g.socketRcvBuffer);
  }
}

const RGlobalSettings& LoadTransferSettings(RFTPSComInterp& s) {
  return s.Manager().Settings();
}

std::string CommandArgument(std::string_view line, size_t verbLen) {
  std::string_view arg = line.size() > verbLen + 1 ? line.substr(verbLen + 1) : std::string_view();
  if (arg.size() > 511) arg = arg.substr(0, 511);
  while (!arg.empty() && (arg.front() == ' ' || arg.front() == '\t')) arg.remove_prefix(1);
  while (!arg.empty() && (arg.back() == ' ' || arg.back() == '\t')) arg.remove_suffix(1);
  return std::string(arg);
}

bool OpenActive(RFTPSComInterp& s, uint32_t noSocketReply, uint32_t cannotOpenReply) {
  EnsureDataDefaults(s);
  if (RefusedOwnPort(s, cannotOpenReply)) return false;
  const std::string local = ControlLocalAddress(s);
  const uint16_t controlPort = s.Control() != nullptr ? s.Control()->GetLocalPort() : 21;
  const uint16_t localDataPort = static_cast<uint16_t>(controlPort - 1);
  s.Transfer.link.socket = NewDataSocket(s);
  s.Transfer.link.socket->SetLocalSpeedLimit(s.Login.speedLimit);
  WsStatus st = s.Transfer.link.socket->CallHost(s.Transfer.address.c_str(), s.Transfer.port,
                                                 localDataPort, local.c_str());
  if (st != WS_OK && st != WS_NoSocket) {
    // The port below the control port is privileged (or taken) for an
    // ordinary user; any port will do for the client.
    s.Transfer.link.socket = NewDataSocket(s);
    s.Transfer.link.socket->SetLocalSpeedLimit(s.Login.speedLimit);
    st = s.Transfer.link.socket->CallHost(s.Transfer.address.c_str(), s.Transfer.port, 0,
                                          local.c_str());
  }
  if (st == WS_OK) return true;
  s.Transfer.link.socket.reset();
  s.ReplyStr(st == WS_NoSocket ? noSocketReply : cannotOpenReply);
  return false;
}

void DataConnected(RFTPSComInterp& s, int status) {
  if (!s.Transfer.Waiting()) return;
  if (s.Transfer.passive && s.Transfer.early) {
    TakeEarly(s);
    return;
  }
  if (s.Transfer.passive) {
    if (status == WS_OK && !s.Transfer.passiveSocket) return;
    if (status == WS_OK) ArmPassiveWait(s);
    s.Transfer.link.socket = NewDataSocket(s);
    if (status == WS_OK) {
      const WsStatus r = s.Transfer.link.socket->AcceptHost(*s.Transfer.passiveSocket);
      if (r == WS_NoCaller) {
        s.Transfer.link.socket.reset();
        return;
      }
      if (r == WS_OK && !AcceptPassivePeer(s)) return;
      status = r;
      s.Transfer.link.socket->SetLocalSpeedLimit(s.Login.speedLimit);
    }
    s.Transfer.passiveSocket.reset();
    s.Transfer.passive = false;
    if (status == WS_OK) SendOpeningReply(s);
  }
  if (s.Transfer.link.socket) {
    const int32_t pt = PacketTimeOutSeconds(s);
    s.Transfer.link.socket->SetTimeOut({0, 0, pt, pt, 0}, true);
  }
  // The configured options hold from the first byte, TLS handshake included,
  // and are in place before the client hears the "150".
  if (status == WS_OK && s.Transfer.link.socket)
    ApplyDataSocketSettings(s, *s.Transfer.link.socket);
  // Replies wait for the end of the loop's pass; the "150" must be on the
  // wire before the data connection carries anything.
  s.FlushReplies();
  // Under PROT P the handshake follows the "150", as clients expect; the
  // transfer starts when it is done.
  if (status == WS_OK && s.Transfer.link.socket && StartDataTls(s)) return;
  if (status == WS_OK && s.Tls.protP) status = WS_Error;
  DataReady(s, status, 0);
}

void DataReady(RFTPSComInterp& s, int status, uint32_t refusal) {
  s.FlushReplies();
  const bool ok = status == WS_OK && s.Transfer.link.socket != nullptr;
  if (!s.Transfer.Waiting()) return;
  if (!ok) {
    switch (s.Transfer.Kind()) {
      case RTransferKind::Download:
        EndSend(s, true, refusal != 0 ? refusal : kReplyRetrCannotConnect, false);
        break;
      case RTransferKind::Listing:
        EndSend(s, true, refusal != 0 ? refusal : kReplyListAborted, false);
        break;
      case RTransferKind::Upload:
        EndReceive(s, true, refusal != 0 ? refusal : kReplyStorCannotConnect, false);
        break;
    }
    return;
  }
  (void)s.Transfer.OnConnected();
  switch (s.Transfer.Kind()) {
    case RTransferKind::Download:
      StartSending(s);
      break;
    case RTransferKind::Listing:
      SendNextLine(s, WS_OK);
      break;
    case RTransferKind::Upload:
      StartReceiving(s);
      break;
  }
}

// Everything a transfer holds goes (ABOR, a new listener or address, the
// session's end); a transfer under way first ends with its failure reply,
// unless it still waited for a passive connection (no "150" went out).
void AbortTransfer(RFTPSComInterp& s, bool killed, bool fromData) {
  CutDataTls(s);
  const bool suppress = s.Transfer.passive && s.Transfer.Waiting();
  if (s.Transfer.Waiting() || s.Transfer.Moving()) {
    switch (s.Transfer.Kind()) {
      case RTransferKind::Upload:
        EndReceive(s, true, kReplyStorAborted, suppress, killed, !fromData);
        break;
      case RTransferKind::Download:
        EndSend(s, true, kReplyRetrAborted, suppress, killed);
        break;
      case RTransferKind::Listing:
        EndSend(s, true, kReplyTransferAborted, suppress, killed);
        break;
    }
  }
  s.Transfer.Finish(RTransferOutcome::Aborted);
  s.TransferEnded();
}

void CloseDataSockets(RFTPSComInterp& s) {
  CutDataTls(s);
  s.Transfer.link.socket.reset();
  s.Transfer.passiveSocket.reset();
  s.Transfer.passive = false;
}

}  // namespace vantor
