#include "ftp/RFTPSDataArgs.h"

#include "ftp/RFTPStrings.h"
#include "ftp/RTextScan.h"
#include "platform/RIpAddress.h"
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
  return DecideDataAddress(args.AddressText(), args.port, blockBounce, peerAddress, oldPort);
}

RPortDecisionStr DecideDataAddress(std::string_view address, uint16_t port, bool blockBounce,
                                   std::string_view peerAddress, uint16_t oldPort) {
  RPortDecisionStr d;
  d.dataAddress = std::string(address);
  d.dataPort = port;
  if (blockBounce && d.dataAddress != peerAddress) {
    d.bounceRefused = true;
  } else if (blockBounce && IsPrivilegedDataPort(port)) {
    d.lowPortRefused = true;
  } else {
    return d;
  }
  d.dataAddress = std::string(peerAddress);
  d.dataPort = oldPort;
  return d;
}

bool IsPrivilegedDataPort(uint16_t port) {
  return port < 1024;
}

bool PassivePeerAllowed(bool check, std::string_view peerAddress, std::string_view clientAddress) {
  return !check || peerAddress == clientAddress;
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
  return FormatStr(kReplyPasvEntering, addr[0], addr[1], addr[2], addr[3], port / 256, port % 256);
}

namespace {

bool AllDigits(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A short decimal field; false for an empty, over-long or non-digit one.
bool SmallNumber(std::string_view t, int max, int& out) {
  if (!AllDigits(t) || t.size() > 5) return false;
  int v = 0;
  for (char c : t) v = v * 10 + (c - '0');
  if (v > max) return false;
  out = v;
  return true;
}

}  // namespace

RNetArgResult ParseEprtArgument(std::string_view arg, REprtArgsStr& out) {
  if (arg.size() < 4) return RNetArgResult::Syntax;
  const char d = arg[0];
  if (d < 33 || d > 126) return RNetArgResult::Syntax;
  std::string_view field[3];
  size_t pos = 1;
  for (std::string_view& f : field) {
    const size_t end = arg.find(d, pos);
    if (end == std::string_view::npos) return RNetArgResult::Syntax;
    f = arg.substr(pos, end - pos);
    pos = end + 1;
  }
  if (pos != arg.size()) return RNetArgResult::Syntax;
  int protocol = 0;
  if (!SmallNumber(field[0], 65535, protocol)) return RNetArgResult::Syntax;
  if (protocol != 1 && protocol != 2) return RNetArgResult::Protocol;
  RIpAddrStr a;
  const bool addrOk = protocol == 1 ? ParseIPv4Text(field[1], a) : ParseIPv6Text(field[1], a);
  if (!addrOk) return RNetArgResult::Syntax;
  int port = 0;
  if (!SmallNumber(field[2], 65535, port) || port == 0) return RNetArgResult::Syntax;
  out.protocol = protocol;
  out.address = PlainAddressText(IpText(a));
  out.port = static_cast<uint16_t>(port);
  return RNetArgResult::Ok;
}

RNetArgResult ParseEpsvArgument(std::string_view arg, REpsvArgsStr& out) {
  REpsvArgsStr r;
  if (arg.empty()) {
    out = r;
    return RNetArgResult::Ok;
  }
  if (arg.size() == 3 && (arg[0] | 0x20) == 'a' && (arg[1] | 0x20) == 'l' &&
      (arg[2] | 0x20) == 'l') {
    r.all = true;
    out = r;
    return RNetArgResult::Ok;
  }
  if (!SmallNumber(arg, 65535, r.protocol)) return RNetArgResult::Syntax;
  if (r.protocol != 1 && r.protocol != 2) return RNetArgResult::Protocol;
  out = r;
  return RNetArgResult::Ok;
}

std::string EpsvReplyText(uint16_t port) {
  return FormatStr(kReplyEpsvEntering, static_cast<unsigned>(port));
}

}  // namespace vantor
