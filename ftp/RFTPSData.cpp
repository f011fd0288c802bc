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

bool IsWaiting(int32_t state) {
  return state == XS_WaitSend || state == XS_WaitReceive || state == XS_WaitList;
}

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
  if (!s.Data.address.empty()) return;
  s.Data.address = s.Connection.clientAddress;
  s.Data.port = DefaultDataPort(s);
}

// Connected to a port of our own, the server would read what it sends as
// a client's commands (a file of "USER", "PASS", "DELE" lines run as a
// session from this machine, past the rules meant for the client) or feed
// another session's passive listener. True (after the log line and
// `refusal`) for such an address.
bool RefusedOwnPort(RFTPSComInterp& s, uint32_t refusal) {
  RSocketLayer* layer = s.Manager().Layer();
  if (layer == nullptr || !layer->ReachesOwnListener(s.Data.address, s.Data.port)) return false;
  s.LogStr(LOG_SECURITY, kLogDataToOwnPort, s.Data.address, static_cast<unsigned>(s.Data.port));
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
  RWinSocket& listener = *s.Data.passiveSocket;
  if (listener.GetTimeOut()[WS_TO_LISTEN] >= 1) return;
  listener.SetTimeOut({PacketTimeOutSeconds(s), 0, 0, 0, 0}, true);
  listener.ResetTimeOut();
}

// A passive connection from anywhere but the client (unless PassivePeerCheck
// is off) would hand the file to whoever raced to the port: it is closed and
// logged, and the transfer keeps waiting for the client.
bool AcceptPassivePeer(RFTPSComInterp& s) {
  const std::string peer = s.Data.socket->GetRemoteIPAddress();
  if (PassivePeerAllowed(LoadTransferSettings(s).passivePeerCheck, peer,
                         s.Connection.clientAddress)) {
    return true;
  }
  s.LogStr(LOG_SECURITY, kLogForeignPassivePeer, peer, s.Connection.clientAddress);
  s.Data.socket.reset();
  return false;
}

void SendOpeningReply(RFTPSComInterp& s) {
  RFTPSTransferExt& x = TransferExt(s);
  switch (s.Transfer.state) {
    case XS_WaitReceive:
      s.ReplyStr(kReplyStorOpening, TypeWord(s), ClientLeaf(s, s.Transfer.fileName));
      break;
    case XS_WaitList:
      s.ReplyStr(kReplyListOpening);
      break;
    case XS_WaitSend:
      s.ReplyStr(kReplyRetrOpening, TypeWord(s), ClientLeaf(s, s.Transfer.fileName), x.fileSize);
      break;
    default:
      break;
  }
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
  if (!TransferExt(s).epsvAll) return false;
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
  if (s.Data.passive && IsWaiting(s.Transfer.state)) AbortTransfer(s, WS_Error);
  s.Data.passiveSocket.reset();
  s.Data.passive = false;
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
    const WsStatus st = s.Data.passiveSocket->Listen(port, true, local.c_str());
    if (st == WS_OK) return true;
    if (st != WS_PortUsed) break;
  }
  s.Data.passiveSocket.reset();
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
  if (s.Data.passiveSocket) AbortTransfer(s, WS_Error);
  s.Data.passive = false;
  s.Data.passiveSocket = NewDataSocket(s);
  const RGlobalSettings& g = LoadTransferSettings(s);
  if (g.passivePortLow > 0) return ListenInRange(s, local, g.passivePortLow, g.passivePortHigh);
  if (s.Data.passiveSocket->Listen(0, false, local.c_str()) != WS_OK) {
    s.Data.passiveSocket.reset();
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
      DecidePort(args, g.blockFTPBounceAttack, s.Connection.clientAddress, s.Data.port);
  s.Data.address = d.dataAddress;
  s.Data.port = d.dataPort;
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
    s.Data.passive = false;
    s.ReplyStr(kReplyPasvNotUnderstood, "PASV");
    return;
  }
  if (!OpenPassiveListener(s, local, "PASV")) return;
  s.Reply(PasvReplyText(quad, s.Data.passiveSocket->GetLocalPort()));
  s.Data.passive = true;
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
                                               s.Connection.clientAddress, s.Data.port);
  s.Data.address = d.dataAddress;
  s.Data.port = d.dataPort;
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
    TransferExt(s).epsvAll = true;
    s.ReplyStr(kReplyEpsvAllOkay);
    return;
  }
  if (args.protocol != 0 && std::to_string(args.protocol) != ControlProtocol(s)) {
    s.ReplyStr(kReplyProtocolNotSupported, ControlProtocol(s));
    return;
  }
  if (!OpenPassiveListener(s, ControlLocalAddress(s), "EPSV")) return;
  s.Reply(EpsvReplyText(s.Data.passiveSocket->GetLocalPort()));
  s.Data.passive = true;
}

void HandleAbor(RFTPSComInterp& s, std::string_view) {
  AbortTransfer(s, WS_Error);
  s.ReplyStr(kReplyAborOkay);
}

// --- session seams -------------------------------------------------------------------

void OnDataEvent(RFTPSComInterp& s, RWinSocket& socket, int operation, int status) {
  if (&socket == s.Data.passiveSocket.get()) {
    if (operation == WS_Listening) DataConnected(s, status);
    return;
  }
  switch (operation) {
    case WS_Connecting:
      DataConnected(s, status);
      break;
    case WS_Sending:
      if (s.Transfer.state == XS_Sending) {
        SendCompleted(s, status);
      } else if (s.Transfer.state == XS_Listing) {
        SendNextLine(s, status);
      }
      break;
    case WS_Receiving:
      if (s.Transfer.state == XS_Receiving) ReceiveCompleted(s, status);
      break;
    case WS_Closing:
      AbortTransfer(s, status);
      break;
    case WS_Securing:
      if (IsWaiting(s.Transfer.state)) {
        const uint32_t refusal = DataTlsDone(s, status);
        DataReady(s, refusal == 0 ? status : WS_Error, refusal);
      }
      break;
    default:
      break;
  }
}

void OnSessionAbort(RFTPSComInterp& s, std::string_view reason) {
  AbortTransfer(s, WS_Error, !reason.empty());
}

uint16_t DefaultDataPort(const RFTPSComInterp& s) {
  return s.Control() != nullptr ? s.Control()->GetRemotePort() : 0;
}

void OnReinitialize(RFTPSComInterp& s) {
  s.Transfer.ascii = true;
  TransferExt(s).epsvAll = false;
  s.Data.passiveSocket.reset();
  s.Data.passive = false;
  s.Data.address.clear();
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

RFTPSTransferExt& TransferExt(RFTPSComInterp& s) {
  if (!s.Transfer.ext) {
    s.Transfer.ext = std::make_unique<RFTPSTransferExt>();
    // The "150" and the final reply of a transfer follow each other closely;
    // with Nagle's rule on the control connection the second waits for the
    // client's delayed acknowledgement of the first (about 40 ms per
    // transfer). Unless the administrator asked for Nagle explicitly, turn
    // it off for sessions that transfer.
    const int fd = s.Control() != nullptr ? s.Control()->NativeHandle() : -1;
    if (fd >= 0 && s.Manager().Settings().socketNoNagle != 0) {
      (void)SetSocketOption(fd, RSockOption::NoDelay, 1);
    }
  }
  return static_cast<RFTPSTransferExt&>(*s.Transfer.ext);
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

int64_t TransferredSoFar(RFTPSComInterp& s) {
  RFTPSTransferExt& x = TransferExt(s);
  return s.Transfer.bytes + x.bufferFill - x.folded;
}

void TakeBlockBytes(RFTPSComInterp& s) {
  RFTPSTransferExt& x = TransferExt(s);
  s.Transfer.bytes += x.bufferFill - x.folded;
  x.bufferFill = 0;
  x.folded = 0;
}

bool OpenActive(RFTPSComInterp& s, uint32_t noSocketReply, uint32_t cannotOpenReply) {
  EnsureDataDefaults(s);
  if (RefusedOwnPort(s, cannotOpenReply)) return false;
  const std::string local = ControlLocalAddress(s);
  const uint16_t controlPort = s.Control() != nullptr ? s.Control()->GetLocalPort() : 21;
  const uint16_t localDataPort = static_cast<uint16_t>(controlPort - 1);
  s.Data.socket = NewDataSocket(s);
  s.Data.socket->SetLocalSpeedLimit(s.Login.speedLimit);
  WsStatus st =
      s.Data.socket->CallHost(s.Data.address.c_str(), s.Data.port, localDataPort, local.c_str());
  if (st != WS_OK && st != WS_NoSocket) {
    // The port below the control port is privileged (or taken) for an
    // ordinary user; any port will do for the client.
    s.Data.socket = NewDataSocket(s);
    s.Data.socket->SetLocalSpeedLimit(s.Login.speedLimit);
    st = s.Data.socket->CallHost(s.Data.address.c_str(), s.Data.port, 0, local.c_str());
  }
  if (st == WS_OK) return true;
  s.Data.socket.reset();
  s.ReplyStr(st == WS_NoSocket ? noSocketReply : cannotOpenReply);
  return false;
}

void DataConnected(RFTPSComInterp& s, int status) {
  if (!IsWaiting(s.Transfer.state)) return;
  if (s.Data.passive) {
    if (status == WS_OK && !s.Data.passiveSocket) return;
    if (status == WS_OK) ArmPassiveWait(s);
    s.Data.socket = NewDataSocket(s);
    if (status == WS_OK) {
      const WsStatus r = s.Data.socket->AcceptHost(*s.Data.passiveSocket);
      if (r == WS_NoCaller) {
        s.Data.socket.reset();
        return;
      }
      if (r == WS_OK && !AcceptPassivePeer(s)) return;
      status = r;
      s.Data.socket->SetLocalSpeedLimit(s.Login.speedLimit);
    }
    s.Data.passiveSocket.reset();
    s.Data.passive = false;
    if (status == WS_OK) SendOpeningReply(s);
  }
  if (s.Data.socket) {
    const int32_t pt = PacketTimeOutSeconds(s);
    s.Data.socket->SetTimeOut({0, 0, pt, pt, 0}, true);
  }
  // The configured options hold from the first byte, TLS handshake included,
  // and are in place before the client hears the "150".
  if (status == WS_OK && s.Data.socket) ApplyDataSocketSettings(s, *s.Data.socket);
  // Replies wait for the end of the loop's pass; the "150" must be on the
  // wire before the data connection carries anything.
  s.FlushReplies();
  // Under PROT P the handshake follows the "150", as clients expect; the
  // transfer starts when it is done.
  if (status == WS_OK && s.Data.socket && StartDataTls(s)) return;
  if (status == WS_OK && s.Tls.protP) status = WS_Error;
  DataReady(s, status, 0);
}

void DataReady(RFTPSComInterp& s, int status, uint32_t refusal) {
  RFTPSTransferExt& x = TransferExt(s);
  s.FlushReplies();
  s.Transfer.bytes = 0;
  x.bufferFill = 0;
  x.folded = 0;
  const bool ok = status == WS_OK && s.Data.socket != nullptr;
  switch (s.Transfer.state) {
    case XS_WaitSend:
      if (!ok) {
        EndSend(s, true, refusal != 0 ? refusal : kReplyRetrCannotConnect, false);
        return;
      }
      x.dataConnected = true;
      s.Transfer.state = XS_Sending;
      StartSending(s);
      break;
    case XS_WaitList:
      if (!ok) {
        EndSend(s, true, refusal != 0 ? refusal : kReplyListAborted, false);
        return;
      }
      x.dataConnected = true;
      s.Transfer.state = XS_Listing;
      SendNextLine(s, WS_OK);
      break;
    case XS_WaitReceive:
      if (!ok) {
        EndReceive(s, true, refusal != 0 ? refusal : kReplyStorCannotConnect, false);
        return;
      }
      x.dataConnected = true;
      s.Transfer.state = XS_Receiving;
      StartReceiving(s);
      break;
    default:
      break;
  }
}

void AbortTransfer(RFTPSComInterp& s, int status, bool killed) {
  RFTPSTransferExt& x = TransferExt(s);
  const bool suppress = s.Data.passive && IsWaiting(s.Transfer.state);
  switch (s.Transfer.state) {
    case XS_Receiving:
    case XS_WaitReceive:
      if (status == WS_SoftClose && !killed) {
        EndReceive(s, false, kReplyStorComplete, suppress);
      } else {
        EndReceive(s, true, kReplyStorAborted, suppress, killed);
      }
      break;
    case XS_Sending:
    case XS_WaitSend:
      EndSend(s, true, kReplyRetrAborted, suppress, killed);
      break;
    case XS_Listing:
    case XS_WaitList:
      EndSend(s, true, kReplyTransferAborted, suppress, killed);
      break;
    default:
      break;
  }
  s.Data.socket.reset();
  s.Data.passiveSocket.reset();
  x.DropBuffers();
  x.lines.clear();
  if (x.file.IsOpen()) x.file.Close();
  s.Data.passive = false;
  s.Transfer.state = XS_Idle;
  s.TransferEnded();
}

void CloseDataSockets(RFTPSComInterp& s) {
  s.Data.socket.reset();
  s.Data.passiveSocket.reset();
  s.Data.passive = false;
}

}  // namespace vantor
