#include "support/guarded_mutex.hpp"

#include "support/fault.hpp"

namespace tarnvel {
namespace {
// initial-exec: a plain load instead of a __tls_get_addr call on every locked operation; one
// pointer fits the static TLS surplus that dlopen-ed modules may use.
__attribute__((tls_model("initial-exec"))) thread_local ContentionWait* current_wait = nullptr;
}  // namespace

ContentionWaitScope::ContentionWaitScope(ContentionWait& wait) noexcept : previous_(current_wait) {
  current_wait = &wait;
}

ContentionWaitScope::~ContentionWaitScope() { current_wait = previous_; }

std::unique_lock<std::mutex> GuardedMutex::acquire() {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    if (current_wait != nullptr) {
      current_wait->wait(mutex_);
      lock = std::unique_lock<std::mutex>(mutex_, std::adopt_lock);
    } else {
      lock.lock();
    }
  }
  if (poisoned()) fail_invariant(poison_message_);
  return lock;
}

}  // namespace tarnvel
