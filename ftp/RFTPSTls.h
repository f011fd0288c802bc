// FTPS (RFC 4217): AUTH, PBSZ, PROT, CCC and the protected data connection.
#pragma once

#include <cstdint>
#include <string_view>

#include "ftp/RFTPSComInterp.h"

namespace vantor {

void HandleAuth(RFTPSComInterp& s, std::string_view line);
void HandlePbsz(RFTPSComInterp& s, std::string_view line);
void HandleProt(RFTPSComInterp& s, std::string_view line);
void HandleCcc(RFTPSComInterp& s, std::string_view line);

// Starts the handshake of a just-connected data connection when the session
// chose PROT P. True while it runs (a WS_Securing event follows); false when
// the data connection stays clear text.
// `early`: the transfer command has not come yet; the handshake's time limit
// then starts with the command (RestartDataTlsClock).
bool StartDataTls(RFTPSComInterp& s, bool early = false);
void RestartDataTlsClock(RFTPSComInterp& s);
// The WS_Securing event of the data connection: 0 when the transfer may go
// on, else the id of the reply that ends it.
uint32_t DataTlsDone(RFTPSComInterp& s, int status);
// A data handshake still running when its connection is dropped (ABOR, a new
// PASV or PORT, the session's end) never reports: it failed here.
void CutDataTls(RFTPSComInterp& s);

}  // namespace vantor
