// Move-only owner of a file descriptor: invalid value -1, closes exactly once
// and never retries close (a retried close may close someone else's fd).
#pragma once

#include <unistd.h>

#include <utility>

namespace vantor {

class RFd {
 public:
  RFd() = default;
  explicit RFd(int fd) : fd_(fd) {}
  RFd(const RFd&) = delete;
  RFd& operator=(const RFd&) = delete;
  RFd(RFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  RFd& operator=(RFd&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~RFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  [[nodiscard]] int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// What an open returns: the descriptor, or an invalid one and the reason.
struct RFdResult {
  RFd fd;
  int err = 0;  // 0 when `fd` is valid, else -errno
};

}  // namespace vantor
