// What the message loop's parts hand each other: a message for a window,
// and the asynchronous-select event bits with their reply encoding.
#pragma once

#include <cstdint>

namespace vantor {

using RWindowId = uint32_t;

struct RMsg {
  RWindowId window = 0;
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// Asynchronous-select event bits (the WinSock numbering).
enum : uint32_t {
  FD_READ = 0x01,
  FD_WRITE = 0x02,
  FD_OOB = 0x04,
  FD_ACCEPT = 0x08,
  FD_CONNECT = 0x10,
  FD_CLOSE = 0x20,
};

constexpr intptr_t RSelectReply(uint32_t event, int error) {
  return static_cast<intptr_t>((static_cast<uint32_t>(error) << 16) | (event & 0xFFFF));
}
constexpr uint32_t RSelectEvent(intptr_t lParam) {
  return static_cast<uint32_t>(lParam) & 0xFFFF;
}
constexpr int RSelectError(intptr_t lParam) {
  return static_cast<int>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
}

}  // namespace vantor
