// Data connections of one session: PORT, PASV, EPRT, EPSV and ABOR, the
// active connect, the accept of a passive connection, and the exits every
// transfer shares (abort, close). The state they drive is the session's
// transfer object (ftp/RTransfer.h).
//
// Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

class RFTPSComInterp;
struct RGlobalSettings;
class RWinSocket;

void HandlePasv(RFTPSComInterp& s, std::string_view line);
void HandlePort(RFTPSComInterp& s, std::string_view line);
void HandleEprt(RFTPSComInterp& s, std::string_view line);
void HandleEpsv(RFTPSComInterp& s, std::string_view line);
void HandleAbor(RFTPSComInterp& s, std::string_view line);

// The server-wide settings ([GLOBAL], as the server last read them).
const RGlobalSettings& LoadTransferSettings(RFTPSComInterp& s);
// The [GLOBAL] socket options (out-of-band inline, keep-alive, no Nagle,
// buffer sizes), each only when configured, on a control or data socket.
void ApplyConfiguredSocketOptions(const RGlobalSettings& g, int fd);

// Connects actively for a transfer that already sent its "150". False after
// replying `noSocketReply` / `cannotOpenReply` (the caller gives up).
[[nodiscard]] bool OpenActive(RFTPSComInterp& s, uint32_t noSocketReply, uint32_t cannotOpenReply);
void DataConnected(RFTPSComInterp& s, int status);
// The data connection is ready (after its TLS handshake under PROT P): the
// waiting transfer starts, or ends with `refusal` (0: its usual reply).
void DataReady(RFTPSComInterp& s, int status, uint32_t refusal);
// Ends whatever the transfer holds (ABOR, a new listener or address, the
// session's end): a transfer under way ends with its failure reply and log
// line (`killed`: ", client killed by server"). Never the end of a success.
// `fromData`: the data connection's own end, with no command's reply to
// follow the transfer's.
void AbortTransfer(RFTPSComInterp& s, bool killed = false, bool fromData = false);
// Destroys data socket and passive listener (REIN, session end).
void CloseDataSockets(RFTPSComInterp& s);

// An event of the session's data socket or passive listener.
void OnDataEvent(RFTPSComInterp& s, RWinSocket& socket, int operation, int status);
// The data port before any PORT or EPRT (RFC 959): the client's own end of
// the control connection.
uint16_t DefaultDataPort(const RFTPSComInterp& s);
// REIN: type ASCII, passive off, listener closed, data address and port reset.
void OnReinitialize(RFTPSComInterp& s);

// The argument of a command: the text after the verb and one blank, at most
// 511 characters, trimmed of blanks and tabs. `verbLen` is 3 or 4.
std::string CommandArgument(std::string_view line, size_t verbLen);

}  // namespace vantor
