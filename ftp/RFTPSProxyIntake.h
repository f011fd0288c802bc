// The PROXY header intake of a connection from a `ProxyProtocolFrom`
// address. The manager keeps one record per connection whose header is
// still being read; its steps (`StartProxyIntake`, `OnProxyIntakeEvent`,
// `ReadProxyHeader`, `EndProxyIntake`) are RFTPSManager members defined in
// ftp/RFTPSProxyIntake.cpp. Loop thread only.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "net/RProxyHeader.h"
#include "net/RWinSocket.h"

namespace vantor {

// One connection whose PROXY header is being read.
struct RProxyIntakeStr {
  std::unique_ptr<RWinSocket> socket;
  std::string peer;
  std::array<char, kProxyV2MaxBytes> bytes{};
  size_t have = 0;           // header bytes taken so far
  size_t asked = 0;          // length of the block being received
  bool implicitTls = false;  // accepted on the implicit TLS port
};

}  // namespace vantor
