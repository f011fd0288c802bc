// Test helpers for a live engine inside Qt: pumping Qt's loop (which drives
// the engine's) until a condition holds, and an FTP control connection on
// 127.0.0.1 that collects the reply text.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <functional>
#include <string>

namespace vantor::guitest {

// Runs Qt (and with it the engine) until `done` holds; gives up after a
// generous bound so a broken engine fails the test instead of hanging it.
inline bool PumpUntil(const std::function<bool()>& done) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > 10000) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A port on 127.0.0.1 that nothing listens on right now (the kernel's
// pick for port 0); the server binds it a moment later.
inline uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

// A control connection on 127.0.0.1 that collects reply text.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  void Send(const std::string& line) {
    const std::string l = line + "\r\n";
    pollfd p{fd_, POLLOUT, 0};
    (void)::poll(&p, 1, 1000);
    (void)::send(fd_, l.data(), l.size(), MSG_NOSIGNAL);
  }
  // Reads what is there; false once the server closed the connection.
  bool Read() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        text_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) closed_ = true;
      return !closed_;
    }
  }
  bool WaitFor(const std::string& what) {
    return PumpUntil([&] {
             Read();
             return text_.find(what) != std::string::npos || closed_;
           }) &&
           text_.find(what) != std::string::npos;
  }
  bool WaitClosed() {
    return PumpUntil([&] {
      Read();
      return closed_;
    });
  }
  const std::string& Text() const { return text_; }

 private:
  int fd_ = -1;
  std::string text_;
  bool closed_ = false;
};

}  // namespace vantor::guitest
