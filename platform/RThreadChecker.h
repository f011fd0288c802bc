// Asserts that an object the loop thread owns is used on that thread only.
//
// The loop-only objects (the log sink, the INI images and their writer
// queue, the session registry, the account store) carry no locks: a call
// from a pool worker or the data lane is a data race that may go unseen for
// a long time. Each of them holds a checker and calls VANTOR_CHECK_THREAD at
// its public entry points; the first call binds the checker to its thread,
// and a call from any other thread prints the object's name, both threads
// and the call site, then aborts.
//
// An object made on one thread and handed to the loop's thread before the
// loop starts calls `Detach()` (the next use binds) or `Bind()` on the new
// thread.
//
// Debug and sanitizer builds only (the compiler says -fsanitize=address or
// thread is on; VANTOR_SANITIZE or VANTOR_TSAN defined by hand do the same):
// with NDEBUG and neither, the checker is an empty class whose calls compile
// to nothing (hold it as `[[no_unique_address]]` so it takes no space).
#pragma once

#include <atomic>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VANTOR_SANITIZER_ON 1
#endif
#endif
#if !defined(NDEBUG) || defined(VANTOR_SANITIZE) || defined(VANTOR_TSAN) || \
    defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(VANTOR_SANITIZER_ON)
#define VANTOR_THREAD_CHECKS 1
#else
#define VANTOR_THREAD_CHECKS 0
#endif

namespace vantor {

// The call site of a failed check. Not std::source_location: the fuzz
// build's clang cannot make one with this libstdc++.
struct RCallSite {
  const char* file;
  unsigned line;
  const char* function;
};

class RThreadChecker {
 public:
  static constexpr bool kEnabled = VANTOR_THREAD_CHECKS != 0;

#if VANTOR_THREAD_CHECKS
  RThreadChecker() = default;
  // A copy is a new object: it binds on its own first use.
  RThreadChecker(const RThreadChecker&) {}
  RThreadChecker& operator=(const RThreadChecker&) {
    return *this;
  }

  // Binds to the calling thread when unbound; aborts when bound to another.
  // `what` names the object in the message.
  void Check(const char* what, const char* file = __builtin_FILE(),
             unsigned line = __builtin_LINE(), const char* function = __builtin_FUNCTION()) const {
    std::thread::id self = std::this_thread::get_id();
    std::thread::id owner = owner_.load(std::memory_order_relaxed);
    if (owner == self) return;
    if (owner == std::thread::id() &&
        owner_.compare_exchange_strong(owner, self, std::memory_order_relaxed)) {
      return;
    }
    if (owner == self) return;
    Fail(what, owner, RCallSite{file, line, function});
  }
  // Binds to the calling thread now, whatever it was bound to.
  void Bind() {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  // Unbinds: the next Check binds.
  void Detach() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
  }
  // Whether the caller may use the object (true when unbound).
  bool OnOwnerThread() const {
    std::thread::id owner = owner_.load(std::memory_order_relaxed);
    return owner == std::thread::id() || owner == std::this_thread::get_id();
  }

 private:
  [[noreturn]] static void Fail(const char* what, std::thread::id owner, const RCallSite& at);
  mutable std::atomic<std::thread::id> owner_{};
#else
  void Check(const char*) const {}
  void Bind() {}
  void Detach() {}
  bool OnOwnerThread() const {
    return true;
  }
#endif
};

}  // namespace vantor

#if VANTOR_THREAD_CHECKS
#define VANTOR_CHECK_THREAD(checker, what) (checker).Check(what)
#else
#define VANTOR_CHECK_THREAD(checker, what) ((void)0)
#endif
