// Throughput and pacing of the socket layer over 127.0.0.1.
//
//   socket_bench [GiB]    (default 1)
//
// Prints, for the given volume: the layer sending to a plain blocking
// reader, the layer receiving from a plain blocking writer, the same with
// 4096-byte steps (a speed limit far above the achievable rate), and a
// plain blocking send/recv loop of 64 KiB blocks for reference; then 10 s
// under a 10 MB/s global limit with one and with two sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "net/RSocketLayer.h"
#include "net/RWinSocket.h"
#include "platform/RMessageLoop.h"

using namespace vantor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kPlainBlock = 64 << 10;
constexpr int64_t kLayerBlock = 8 << 20;

int ListenFd(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, 8) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

int ConnectFd(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

int64_t DrainAll(int fd, int64_t total) {
  std::vector<char> buf(kPlainBlock);
  int64_t got = 0;
  while (got < total) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

void SendAll(int fd, int64_t total) {
  std::vector<char> buf(kPlainBlock, 'p');
  int64_t sent = 0;
  while (sent < total) {
    int64_t want = std::min<int64_t>(kPlainBlock, total - sent);
    ssize_t n = ::send(fd, buf.data(), static_cast<size_t>(want), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += n;
  }
}

double Mbs(int64_t bytes, double seconds) {
  return bytes / seconds / 1e6;
}

// Plain blocking loop: one thread sends 64 KiB blocks, one receives.
double PlainLoop(int64_t total) {
  uint16_t port;
  int lfd = ListenFd(&port);
  std::thread writer([&] {
    int fd = ConnectFd(port);
    SendAll(fd, total);
    ::close(fd);
  });
  int fd = ::accept(lfd, nullptr, nullptr);
  auto t0 = Clock::now();
  int64_t got = DrainAll(fd, total);
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  writer.join();
  ::close(fd);
  ::close(lfd);
  return got == total ? Mbs(total, s) : 0;
}

// The layer on this thread, a plain blocking peer on another.
class LayerRun {
 public:
  explicit LayerRun(int64_t limit) : loop_(10000), layer_(loop_) {
    owner_ = loop_.CreateWindow([this](const RMsg& m) { return OnEvent(m); });
    if (limit > 0) layer_.SetSpeedLimit(limit);
  }

  // direction: true = layer sends.
  double Run(bool layerSends, int64_t total) {
    total_ = total;
    uint16_t port;
    int lfd = ListenFd(&port);
    std::atomic<int64_t> peerBytes{0};
    std::thread peer([&] {
      int fd = ::accept(lfd, nullptr, nullptr);
      if (layerSends) {
        peerBytes = DrainAll(fd, total);
      } else {
        SendAll(fd, total);
      }
      ::close(fd);
    });
    sock_ = std::make_unique<RWinSocket>(&layer_, owner_, 1024u, WS_STREAM, 0);
    send_ = layerSends;
    buf_.assign(static_cast<size_t>(kLayerBlock), 'L');
    if (sock_->CallHost("127.0.0.1", port) != WS_OK) return 0;
    t0_ = Clock::now();
    loop_.Run();
    peer.join();
    ::close(lfd);
    sock_.reset();
    double s = std::chrono::duration<double>(t1_ - t0_).count();
    if (layerSends && peerBytes.load() != total) return 0;
    if (!layerSends && moved_ != total) return 0;
    return Mbs(total, s);
  }

 private:
  intptr_t OnEvent(const RMsg& m) {
    const int op = WsEventOp(m.wParam), st = WsEventStatus(m.wParam);
    if (op == WS_Connecting && st == WS_OK) {
      t0_ = Clock::now();
      Next();
    } else if ((op == WS_Sending || op == WS_Receiving) && st == WS_OK) {
      moved_ += last_;
      Next();
    } else if (op != WS_Closing || moved_ < total_) {
      std::fprintf(stderr, "event %s/%s\n", WsStatusName(op), WsStatusName(st));
      loop_.Quit(1);
    }
    return 0;
  }
  void Next() {
    if (moved_ >= total_) {
      t1_ = Clock::now();
      loop_.Quit(0);
      return;
    }
    last_ = std::min(kLayerBlock, total_ - moved_);
    WsStatus st = send_ ? sock_->SendBlock(buf_.data(), last_, nullptr)
                        : sock_->ReceiveBlock(buf_.data(), last_, nullptr, 0);
    if (st != WS_OK) loop_.Quit(1);
  }

  RMessageLoop loop_;
  RSocketLayer layer_;
  RWindowId owner_;
  std::unique_ptr<RWinSocket> sock_;
  std::vector<char> buf_;
  bool send_ = true;
  int64_t total_ = 0, moved_ = 0, last_ = 0;
  Clock::time_point t0_, t1_;
};

// `count` layer sockets send to plain readers under a global limit for
// `seconds`; returns each socket's bytes.
std::vector<int64_t> Paced(int count, int64_t limit, int seconds) {
  RMessageLoop loop(10000);
  RSocketLayer layer(loop);
  std::vector<int64_t> sent(count, 0);
  std::vector<char> buf(1 << 30 >> 2, 'x');  // 256 MiB, more than 10 s can take
  std::vector<std::unique_ptr<RWinSocket>> socks;
  RWindowId owner = loop.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  uint16_t port;
  int lfd = ListenFd(&port);
  std::vector<std::thread> readers;
  std::atomic<bool> stop{false};
  std::vector<std::atomic<int64_t>> got(count);
  // The layer's one-second tick starts with its first socket; measuring from
  // half a tick after it, over whole seconds, counts each refill once.
  const auto layerStart = Clock::now();
  for (int i = 0; i < count; ++i) {
    socks.push_back(std::make_unique<RWinSocket>(&layer, owner, 1024u, WS_STREAM, 0));
    (void)socks.back()->CallHost("127.0.0.1", port);
    int fd = ::accept(lfd, nullptr, nullptr);
    readers.emplace_back([fd, i, &got, &stop] {
      std::vector<char> b(kPlainBlock);
      timeval tv{0, 200000};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      while (!stop) {
        ssize_t n = ::recv(fd, b.data(), b.size(), 0);
        if (n > 0) got[i] += n;
        if (n == 0) break;
      }
      ::close(fd);
    });
  }
  // Let the connects complete, then start all sends together.
  auto until = Clock::now() + std::chrono::milliseconds(200);
  while (Clock::now() < until) loop.RunOnce(10);
  layer.SetSpeedLimit(limit);
  for (int i = 0; i < count; ++i) {
    (void)socks[i]->SendBlock(buf.data(), static_cast<int64_t>(buf.size()), &sent[i]);
  }
  auto from = layerStart + std::chrono::milliseconds(1500);
  while (Clock::now() < from) loop.RunOnce(10);
  std::vector<int64_t> first(sent);
  auto end = from + std::chrono::seconds(seconds);
  while (Clock::now() < end) loop.RunOnce(10);
  std::vector<int64_t> out(count);
  for (int i = 0; i < count; ++i) out[i] = sent[i] - first[i];
  socks.clear();
  stop = true;
  for (auto& t : readers) t.join();
  ::close(lfd);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const double gib = argc > 1 ? std::atof(argv[1]) : 1.0;
  const int64_t total = static_cast<int64_t>(gib * (1LL << 30));
  std::printf("socket layer over 127.0.0.1, %.2f GiB per run\n", gib);
  double plain = PlainLoop(total);
  std::printf("  plain blocking send/recv, 64 KiB blocks : %8.0f MB/s\n", plain);
  double ls = LayerRun(0).Run(true, total);
  std::printf("  layer SendBlock, no limit               : %8.0f MB/s  (%.0f%% of plain)\n", ls,
              100 * ls / plain);
  double lr = LayerRun(0).Run(false, total);
  std::printf("  layer ReceiveBlock, no limit            : %8.0f MB/s  (%.0f%% of plain)\n", lr,
              100 * lr / plain);
  const int64_t farAbove = int64_t{1} << 50;
  double ss = LayerRun(farAbove).Run(true, total);
  std::printf("  layer SendBlock, 4096-byte steps        : %8.0f MB/s  (%.0f%% of plain)\n", ss,
              100 * ss / plain);
  double sr = LayerRun(farAbove).Run(false, total);
  std::printf("  layer ReceiveBlock, 4096-byte steps     : %8.0f MB/s  (%.0f%% of plain)\n", sr,
              100 * sr / plain);

  const int64_t limit = 10'000'000;
  const int secs = 10;
  std::vector<int64_t> one = Paced(1, limit, secs);
  double rate1 = one[0] / double(secs);
  std::printf("global limit %lld B/s, %d s, one socket  : %.0f B/s (%+.2f%% of the limit)\n",
              static_cast<long long>(limit), secs, rate1, 100 * (rate1 - limit) / limit);
  std::vector<int64_t> two = Paced(2, limit, secs);
  double a = two[0] / double(secs), b = two[1] / double(secs);
  std::printf(
      "global limit, two sockets               : %.0f + %.0f B/s (sum %+.2f%%, "
      "difference %.2f%%)\n",
      a, b, 100 * (a + b - limit) / limit, 100 * std::abs(a - b) / std::max(a, b));
  return 0;
}
