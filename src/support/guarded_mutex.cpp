#include "support/guarded_mutex.hpp"

#include "support/builtins.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {
TARNVEL_TLS_INITIAL_EXEC thread_local ContentionWait* current_wait = nullptr;
}  // namespace

ContentionWaitScope::ContentionWaitScope(ContentionWait& wait) noexcept : previous_(current_wait) {
  current_wait = &wait;
}

ContentionWaitScope::~ContentionWaitScope() { current_wait = previous_; }

void GuardedMutex::lock_contended() {
  // Marks the lock contended and sleeps until it is free; whoever takes it this way leaves it
  // marked contended, so its release wakes the next waiter.
  const auto block = [](void* context) {
    auto& state = *static_cast<std::atomic<std::uint32_t>*>(context);
    while (state.exchange(kContended, std::memory_order_acquire) != kFree) {
      state.wait(kContended, std::memory_order_relaxed);
    }
  };
  if (current_wait != nullptr) {
    current_wait->wait(block, &state_);
  } else {
    block(&state_);
  }
}

void GuardedMutex::fail_poisoned() const { fail_invariant(poison_message_); }

}  // namespace tarnvel
