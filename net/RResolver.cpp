#include "net/RResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "net/RWinSocket.h"

namespace vantor {

RResolver::RResolver(RMessageLoop& loop, RWindowId window, uint32_t message)
    : loop_(loop), window_(window), message_(message) {}

RResolver::~RResolver() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

int RResolver::Submit(bool reverse, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!worker_.joinable()) {
    // std::thread reports failure by exception; keep it inside this call.
    try {
      worker_ = std::thread([this] { Run(); });
    } catch (...) {
      return 0;
    }
  }
  int h = nextHandle_++;
  if (nextHandle_ <= 0) nextHandle_ = 1;
  queue_.push_back(Request{h, reverse, text});
  cv_.notify_one();
  return h;
}

void RResolver::Cancel(int handle) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->handle == handle) {
      queue_.erase(it);
      return;
    }
  }
  if (running_ == handle) cancelRunning_ = true;
  answers_.erase(handle);
}

bool RResolver::Take(int handle, int* error, std::string* answer) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = answers_.find(handle);
  if (it == answers_.end()) return false;
  *error = it->second.error;
  *answer = std::move(it->second.text);
  answers_.erase(it);
  return true;
}

void RResolver::RetryPosts() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [h, a] : answers_) {
    if (a.posted) continue;
    a.posted = loop_.PostMessage(window_, message_, static_cast<uintptr_t>(h),
                                 static_cast<intptr_t>(static_cast<uint32_t>(a.error) << 16));
  }
}

void RResolver::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    Request r = std::move(queue_.front());
    queue_.pop_front();
    running_ = r.handle;
    cancelRunning_ = false;
    lock.unlock();
    Answer a;
    Resolve(r, &a);
    lock.lock();
    running_ = 0;
    if (cancelRunning_ || stop_) continue;
    // Posting takes the loop's own lock, never ours; the answer is stored
    // first so the loop thread finds it when the message arrives.
    Answer& stored = answers_[r.handle];
    stored = std::move(a);
    stored.posted =
        loop_.PostMessage(window_, message_, static_cast<uintptr_t>(r.handle),
                          static_cast<intptr_t>(static_cast<uint32_t>(stored.error) << 16));
  }
}

void RResolver::Resolve(const Request& r, Answer* a) {
  if (r.reverse) {
    sockaddr_in sa{};
    sockaddr_in6 sa6{};
    sa.sin_family = AF_INET;
    sa6.sin6_family = AF_INET6;
    const bool v4 = ::inet_pton(AF_INET, r.text.c_str(), &sa.sin_addr) == 1;
    if (!v4 && ::inet_pton(AF_INET6, r.text.c_str(), &sa6.sin6_addr) != 1) {
      a->error = WSAHOST_NOT_FOUND;
      return;
    }
    char host[NI_MAXHOST] = {};
    int rc = v4 ? ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof(sa), host, sizeof(host),
                                nullptr, 0, NI_NAMEREQD)
                : ::getnameinfo(reinterpret_cast<sockaddr*>(&sa6), sizeof(sa6), host, sizeof(host),
                                nullptr, 0, NI_NAMEREQD);
    a->error = EaiToWinSock(rc);
    if (rc == 0) a->text = host;
    return;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(r.text.c_str(), nullptr, &hints, &res);
  a->error = EaiToWinSock(rc);
  if (rc == 0 && res != nullptr) {
    char buf[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    ::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof(buf));
    a->text = buf;
  } else if (rc == 0) {
    a->error = WSAHOST_NOT_FOUND;
  }
  if (res != nullptr) ::freeaddrinfo(res);
}

}  // namespace vantor
