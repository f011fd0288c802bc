// What the end-to-end server drivers share: log lines on standard output, a
// front end that quits on a close request, and the "PORT"/"OFFLINE" line the
// test scripts wait for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "ftp/RFTPServer.h"
#include "platform/RMessageLoop.h"

namespace vantor::e2e {

constexpr uint32_t kSignalMessage = 0x7F00;

inline void PrintLog(void*, int category, std::string_view text) {
  std::printf("LOG %d %.*s\n", category, static_cast<int>(text.size()), text.data());
  std::fflush(stdout);
}

class RTestFrontEnd final : public RFrontEnd {
 public:
  explicit RTestFrontEnd(RMessageLoop& loop) : loop_(loop) {}
  void OnCloseRequest() override { loop_.Quit(0); }

 private:
  RMessageLoop& loop_;
};

inline void AnnouncePort(RFTPServer& server) {
  if (server.Manager().Online()) {
    std::printf("PORT %u\n", static_cast<unsigned>(server.Manager().ListeningPort()));
  } else {
    std::printf("OFFLINE\n");
  }
  std::fflush(stdout);
}

}  // namespace vantor::e2e
