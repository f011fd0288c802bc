// A gate the test opens: jobs that wait on it keep their worker busy until
// then. Keep it in a shared_ptr where a worker may still be leaving Wait()
// when the test is done with it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vantor::test {

class WorkGate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  // True once `n` jobs wait (ten seconds at most).
  bool WaitForWaiters(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return waiting_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  int waiting_ = 0;
};

}  // namespace vantor::test
