// Host look-ups off the loop thread. One worker thread (started on first
// use) runs getaddrinfo / getnameinfo; each answer is posted to the layer's
// hidden window as (WM_SocketService, request handle, error << 16) and taken
// with `Take`. The request queue is the only state shared between threads
// and is guarded by one mutex. Internal to net/.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/RMessageLoop.h"

namespace vantor {

class RResolver {
 public:
  RResolver(RMessageLoop& loop, RWindowId window, uint32_t message);
  // Stops the worker; a look-up in progress is waited for.
  ~RResolver();
  RResolver(const RResolver&) = delete;
  RResolver& operator=(const RResolver&) = delete;

  // Queues a look-up; returns its handle (never 0, never reused), or 0 when
  // the worker cannot be started.
  int Submit(bool reverse, const std::string& text);
  // The answer of `handle` will be dropped.
  void Cancel(int handle);
  // Loop thread: the answer for `handle`, once posted. `error` is a WinSock
  // number. False when there is none (cancelled or unknown).
  bool Take(int handle, int* error, std::string* answer);
  // Loop thread: posts answers whose first post was refused (full queue).
  void RetryPosts();

 private:
  struct Request {
    int handle;
    bool reverse;
    std::string text;
  };
  struct Answer {
    int error = 0;
    std::string text;
    bool posted = false;
  };
  void Run();
  static void Resolve(const Request& r, Answer* a);

  RMessageLoop& loop_;
  RWindowId window_;
  uint32_t message_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Request> queue_;
  std::map<int, Answer> answers_;
  int running_ = 0;  // handle being resolved now
  bool cancelRunning_ = false;
  bool stop_ = false;
  int nextHandle_ = 1;
  std::thread worker_;
};

}  // namespace vantor
