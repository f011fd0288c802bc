// Data connections, file transfers and listings of one session.
//
// What a transfer holds and its state are the session's transfer object
// (ftp/RTransfer.h); this code is the protocol around it: replies, log
// lines, hook events, ratios, quotas and counters. The command handlers
// are named in the command table (ftp/RFTPCommands.cpp); the data
// connections are ftp/RFTPSData.h.
//
// Flow of one transfer: a command opens the file (or prepares the listing
// lines), sends "150" in active mode and connects (`OpenActive`), enters a
// waiting state (`RTransfer::Wait`), and `DataConnected` starts the send or
// receive loop when the data connection is up (`OnConnected`). Every
// completion event of the data socket continues the loop (`OnBlock`);
// `EndSend` / `EndReceive` finish it with the log line, counters and reply
// (`Finish`); `AbortTransfer` ends it early (ABOR, second PASV, cut
// connection) and never a transfer that succeeded.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/RFTPSComInterp.h"
#include "ftp/RTransfer.h"
#include "ftp/RUploadRecords.h"

namespace vantor {

void StartSending(RFTPSComInterp& s);
void SendCompleted(RFTPSComInterp& s, int status);
void StartReceiving(RFTPSComInterp& s);
void ReceiveCompleted(RFTPSComInterp& s, int status);
void EndSend(RFTPSComInterp& s, bool failed, uint32_t reply, bool suppress, bool killed = false);
// `fromCommand`: a command (ABOR, a new PASV/PORT) or the session's end cut
// it, and the reply must go out before the command's own.
void EndReceive(RFTPSComInterp& s, bool failed, uint32_t reply, bool suppress, bool killed = false,
                bool fromCommand = false);
void TransferTick(RFTPSComInterp& s);

// RETR, STOR, APPE, STOU, REST, TYPE, MODE, STRU.
void HandleRetr(RFTPSComInterp& s, std::string_view line);
void HandleStor(RFTPSComInterp& s, std::string_view line);
void HandleAppe(RFTPSComInterp& s, std::string_view line);
void HandleStou(RFTPSComInterp& s, std::string_view line);
void HandleRest(RFTPSComInterp& s, std::string_view line);
void HandleType(RFTPSComInterp& s, std::string_view line);
void HandleMode(RFTPSComInterp& s, std::string_view line);
void HandleStru(RFTPSComInterp& s, std::string_view line);
// The second halves, run when a hook releases a held command: the path the
// first half checked is in the transfer object (pendingPath).
void RetrResume(RFTPSComInterp& s);
void UploadStart(RFTPSComInterp& s);  // STOR, APPE, STOU
// "ASCII" or "BINARY".
const char* TypeWord(const RFTPSComInterp& s);
// Last component of the client-visible path of a local path.
std::string ClientLeaf(const RFTPSComInterp& s, std::string_view localPath);

}  // namespace vantor
