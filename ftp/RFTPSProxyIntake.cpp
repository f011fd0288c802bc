// The PROXY header a load balancer sends first on a connection it forwards.
// From a `ProxyProtocolFrom` address the header is required: it is read in
// exact blocks (never past its end, so a client that talks early loses
// nothing), within a total deadline that a sender of one byte at a time
// cannot stretch, and only then does the connection become a session whose
// client is the address the header names.
#include "ftp/RFTPSProxyIntake.h"

#include <string>

#include "ftp/RFTPSManager.h"
#include "ftp/RFTPStrings.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// Balancers send the header with the connection; this is for the whole
// header, not for each byte of it.
constexpr int32_t kProxyHeaderSeconds = 5;

}  // namespace

// The header comes before a TLS handshake too: the balancer writes it in
// clear text in front of the bytes it forwards.
void RFTPSManager::StartProxyIntake(std::unique_ptr<RWinSocket> socket, std::string peer,
                                    bool implicitTls) {
  auto intake = std::make_unique<RProxyIntakeStr>();
  const uint32_t id = socket->Id();
  // Receive limit without reset on progress: a deadline, not an idle limit.
  socket->SetTimeOut({0, 0, 0, kProxyHeaderSeconds, 0}, false);
  socket->ResetTimeOut();
  intake->socket = std::move(socket);
  intake->peer = std::move(peer);
  intake->implicitTls = implicitTls;
  RProxyIntakeStr& in = *intake;
  intakes_[id] = std::move(intake);
  routes_.Add(id, 0, RSocketRole::Intake);
  ReadProxyHeader(in);
}

void RFTPSManager::ReadProxyHeader(RProxyIntakeStr& in) {
  const uint32_t id = in.socket->Id();
  RProxyHeaderStr header;
  size_t need = 0;
  switch (ParseProxyHeader(std::string_view(in.bytes.data(), in.have), header, need)) {
    case RProxyParse::Malformed:
      EndProxyIntake(id, kLogProxyMalformed);
      return;
    case RProxyParse::TooLong:
      EndProxyIntake(id, kLogProxyTooLong);
      return;
    case RProxyParse::Incomplete:
      in.asked = need;
      if (in.socket->ReceiveBlock(in.bytes.data() + in.have, static_cast<int64_t>(need), nullptr,
                                  0) != WS_OK) {
        EndProxyIntake(id, kLogProxyEnded);
      }
      return;
    case RProxyParse::Done:
      break;
  }
  std::unique_ptr<RWinSocket> socket = std::move(in.socket);
  std::string client = header.hasAddress ? header.clientAddress : in.peer;
  const bool implicitTls = in.implicitTls;
  WriteLog(LOG_SECURITY, FormatStr(kLogProxyClient, in.peer, client, header.version));
  intakes_.erase(id);
  routes_.Remove(id);
  // The session sets its own limits; until then none is left over from here.
  socket->SetTimeOut({0, 0, 0, -1, 0}, true);
  AdmitConnection(std::move(socket), std::move(client), implicitTls);
}

void RFTPSManager::OnProxyIntakeEvent(uint32_t socketId, int operation, int status) {
  auto it = intakes_.find(socketId);
  if (it == intakes_.end()) return;
  RProxyIntakeStr& in = *it->second;
  if (operation == WS_Receiving && status == WS_OK) {
    in.have += in.asked;
    in.asked = 0;
    ReadProxyHeader(in);
  } else if (operation == WS_Receiving && status == WS_Timeout) {
    EndProxyIntake(socketId, kLogProxyTimedOut);
  } else if (operation == WS_Receiving || operation == WS_Closing) {
    EndProxyIntake(socketId, kLogProxyEnded);
  }
}

void RFTPSManager::EndProxyIntake(uint32_t socketId, uint32_t logId) {
  auto it = intakes_.find(socketId);
  if (it == intakes_.end()) return;
  // Only the peer's address is logged: the bytes are the sender's.
  const std::string& peer = it->second->peer;
  WriteLog(LOG_SECURITY, logId == kLogProxyTimedOut ? FormatStr(logId, peer, kProxyHeaderSeconds)
                                                    : FormatStr(logId, peer));
  intakes_.erase(it);
  routes_.Remove(socketId);
}

}  // namespace vantor
