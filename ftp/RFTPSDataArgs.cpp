#include "ftp/RFTPSDataArgs.h"

#include "ftp/RTextScan.h"
#include "util/RFormat.h"
#include "util/RStringTable.h"

namespace vantor {

std::string RPortArgsStr::AddressText() const {
  return RFormat("%d.%d.%d.%d", host[0], host[1], host[2], host[3]);
}

bool ParsePortLine(std::string_view line, RPortArgsStr& out) {
  RTextScan scan(line);
  if (!scan.SkipWord(5)) return false;
  int n[6] = {};
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && !scan.Literal(',')) return false;
    int64_t v = 0;
    if (!scan.Decimal(v) || v < 0 || v > 255) return false;
    n[i] = static_cast<int>(v);
  }
  for (int i = 0; i < 4; ++i) out.host[i] = n[i];
  out.port = static_cast<uint16_t>(n[4] * 256 + n[5]);
  return true;
}

RPortDecisionStr DecidePort(const RPortArgsStr& args, bool blockBounce,
                            std::string_view peerAddress, uint16_t oldPort) {
  RPortDecisionStr d;
  d.dataAddress = args.AddressText();
  d.dataPort = args.port;
  if (blockBounce && d.dataAddress != peerAddress) {
    d.bounceRefused = true;
    d.dataAddress = std::string(peerAddress);
    d.dataPort = oldPort;
  }
  return d;
}

bool ParseDottedQuad(std::string_view text, std::array<int, 4>& out) {
  RTextScan scan(text);
  std::array<int, 4> v{};
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !scan.Literal('.')) return false;
    int64_t n = 0;
    if (!scan.Decimal(n)) return false;
    v[i] = static_cast<int>(n);
  }
  out = v;
  return true;
}

std::string PasvReplyText(const std::array<int, 4>& addr, uint16_t port) {
  return FormatStr(1018, addr[0], addr[1], addr[2], addr[3], port / 256, port % 256);
}

}  // namespace vantor
