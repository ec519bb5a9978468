// GuardedMutex: the one lock of a shared core object (a store, an incremental reducer), with a
// poisoned state and a wait that a host interpreter can make safe.
//
// Poisoning: when an operation fails abnormally while holding the lock (anything but an allocation
// failure of an operation that is strongly exception-safe), the lock is marked broken and every
// later acquisition throws InternalFault with the owner's poison message.
//
// Contention: an uncontended acquisition is one compare-and-swap and a release one exchange (a
// three-state futex lock: free, held, held with waiters). When the lock is contended, the calling
// thread blocks through the ContentionWait installed for the thread, if any. The Python binding
// installs one that detaches the thread from the interpreter while it blocks, so that a waiter
// never stalls the GIL or a stop-the-world pause (the lock holder never calls into Python). The
// core itself never installs one and blocks plainly.
//
// Interruption: a thread holding the lock of a shared object is not interrupted (interruption.hpp).
//
// Checking: the class is a capability for clang's thread-safety analysis, which `make lint` runs.
// Guarded members are ABSL_GUARDED_BY(mutex_), and a body passed to with_lock that touches them is
// a lambda declared ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_), naming the mutex that runs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>

#include "absl/base/thread_annotations.h"
#include "support/interruption.hpp"
#include "support/thread_hook.hpp"

namespace tarnvel {

// A thread-local hook: `wait` must call `block(context)` once, which returns with the lock held.
struct ContentionWait {
  virtual void wait(void (*block)(void*), void* context) = 0;

 protected:
  ~ContentionWait() = default;
};

// Installs `wait` for the current thread for the lifetime of the scope (scopes nest).
using ContentionWaitScope = ThreadHook<ContentionWait>::Scope;

class ABSL_LOCKABLE GuardedMutex {
 public:
  explicit GuardedMutex(const char* poison_message) noexcept : poison_message_(poison_message) {}
  GuardedMutex(const GuardedMutex&) = delete;
  GuardedMutex& operator=(const GuardedMutex&) = delete;

  // Whether other threads or host code can reach the guarded object. Work under the lock of a
  // shared object is never interrupted; under the lock of an object still being built, it may be.
  enum class Reach { Shared, Unshared };

  // Runs `body()` with the lock held and returns its result. An exception from `body` poisons
  // the lock unless it is std::bad_alloc and `strongly_safe` says the body left nothing half-done.
  // The lock is not recursive, hence excluded. The analysis cannot match a lambda's requirement to
  // *this, so with_lock itself is not analysed: it is the one place the lock is taken.
  template <class Body>
  decltype(auto) with_lock(Body&& body, bool strongly_safe = true, Reach reach = Reach::Shared)
      ABSL_LOCKS_EXCLUDED(this) ABSL_NO_THREAD_SAFETY_ANALYSIS {
    const Held held(*this, reach);
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
  enum : std::uint32_t { kFree = 0, kHeld = 1, kContended = 2 };

  // Holds the lock for a scope; throws InternalFault (after releasing it) when it is poisoned.
  class Held {
   public:
    Held(GuardedMutex& mutex, Reach reach) : mutex_(mutex) {
      if (reach == Reach::Shared) uninterruptible_.emplace();
      std::uint32_t expected = kFree;
      if (!mutex_.state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) [[unlikely]] {
        mutex_.lock_contended();
      }
      if (mutex_.poisoned()) [[unlikely]] {
        mutex_.unlock();
        mutex_.fail_poisoned();
      }
    }
    ~Held() { mutex_.unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    std::optional<UninterruptibleScope> uninterruptible_;  // outlives the hold: declared first
    GuardedMutex& mutex_;
  };

  void lock_contended();
  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kContended) state_.notify_one();
  }
  [[noreturn]] void fail_poisoned() const;

  std::atomic<std::uint32_t> state_{kFree};
  std::atomic<bool> poisoned_{false};
  const char* poison_message_;
};

}  // namespace tarnvel
