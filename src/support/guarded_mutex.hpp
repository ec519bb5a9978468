// GuardedMutex: the one lock of a shared core object (a store, an incremental reducer), with a
// poisoned state and a wait that a host interpreter can make safe.
//
// Poisoning: when an operation fails abnormally while holding the lock (anything but an allocation
// failure of an operation that is strongly exception-safe), the lock is marked broken and every
// later acquisition throws InternalFault with the owner's poison message.
//
// Contention: an uncontended acquisition is one try_lock. When the lock is contended, the calling
// thread waits through the ContentionWait installed for the thread, if any. The Python binding
// installs one that detaches the thread from the interpreter while it blocks, so that a waiter never
// stalls the GIL or a stop-the-world pause (the lock holder never calls into Python). The core
// itself never installs one and blocks plainly.
#pragma once

#include <atomic>
#include <mutex>

namespace tarnvel {

// A thread-local hook: `wait(mutex)` must return with `mutex` locked.
struct ContentionWait {
  virtual void wait(std::mutex& mutex) = 0;

 protected:
  ~ContentionWait() = default;
};

// Installs `wait` for the current thread for the lifetime of the scope (scopes nest).
class ContentionWaitScope {
 public:
  explicit ContentionWaitScope(ContentionWait& wait) noexcept;
  ~ContentionWaitScope();
  ContentionWaitScope(const ContentionWaitScope&) = delete;
  ContentionWaitScope& operator=(const ContentionWaitScope&) = delete;

 private:
  ContentionWait* previous_;
};

class GuardedMutex {
 public:
  explicit GuardedMutex(const char* poison_message) noexcept : poison_message_(poison_message) {}

  // Runs `body()` with the lock held and returns its result. An exception from `body` poisons
  // the lock unless it is std::bad_alloc and `strongly_safe` says the body left nothing half-done.
  template <class Body>
  decltype(auto) with_lock(Body&& body, bool strongly_safe = true) {
    std::unique_lock<std::mutex> lock = acquire();
    try {
      return body();
    } catch (const std::bad_alloc&) {
      if (!strongly_safe) poisoned_.store(true, std::memory_order_relaxed);
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_relaxed);
      throw;
    }
  }

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }

 private:
  std::unique_lock<std::mutex> acquire();

  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  const char* poison_message_;
};

}  // namespace tarnvel
