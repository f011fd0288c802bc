// fuzz-libs: ftp accounts fs log config net platform util
// Fuzzes the EPRT and EPSV argument parsers and the address texts beneath
// them: whatever a client sends must parse or be refused without a crash,
// and what parses must be an address the session can use again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ftp/RFTPSDataArgs.h"
#include "platform/RIpAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vantor::REprtArgsStr eprt;
  if (vantor::ParseEprtArgument(text, eprt) == vantor::RNetArgResult::Ok) {
    // A parsed address reads back to itself and names a usable port.
    vantor::RIpAddrStr a;
    if (!vantor::ParseIpText(eprt.address, a) || vantor::IpText(a) != eprt.address) abort();
    if (eprt.port == 0 || (eprt.protocol != 1 && eprt.protocol != 2)) abort();
  }
  vantor::REpsvArgsStr epsv;
  (void)vantor::ParseEpsvArgument(text, epsv);
  vantor::RIpAddrStr prefix;
  int bits = -1;
  if (vantor::ParseCidrText(text, prefix, bits)) {
    if (bits < 0 || bits > (prefix.v6 ? 128 : 32)) abort();
    if (!vantor::InPrefix(prefix, prefix, bits)) abort();
  }
  (void)vantor::PlainAddressText(text);
  return 0;
}
