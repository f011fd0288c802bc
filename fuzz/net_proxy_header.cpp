// fuzz-libs: net platform util
// Fuzzes the PROXY header parser the way the reader drives it: every prefix
// must ask for more without overshooting the header, and a whole header
// must name a client that reads back as an address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/RProxyHeader.h"
#include "platform/RIpAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  size_t have = 0;
  for (;;) {
    vantor::RProxyHeaderStr h;
    size_t need = 0;
    const vantor::RProxyParse r = vantor::ParseProxyHeader(bytes.substr(0, have), h, need);
    if (r == vantor::RProxyParse::Incomplete) {
      if (need == 0 || have + need > vantor::kProxyV2MaxBytes) abort();
      if (have + need > size) break;
      have += need;
      continue;
    }
    if (r == vantor::RProxyParse::Done) {
      if (h.length != have) abort();  // the reader never takes a byte too many
      vantor::RIpAddrStr a;
      if (h.hasAddress && !vantor::ParseIpText(h.clientAddress, a)) abort();
    }
    break;
  }
  (void)vantor::ProxySourceListed(vantor::ParseProxySources(bytes), "10.0.0.1");
  return 0;
}
