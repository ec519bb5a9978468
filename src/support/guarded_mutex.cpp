#include "support/guarded_mutex.hpp"

#include "support/fault.hpp"

namespace tarnvel {
void GuardedMutex::lock_contended() {
  // Marks the lock contended and sleeps until it is free; whoever takes it this way leaves it
  // marked contended, so its release wakes the next waiter.
  const auto block = [](void* context) {
    auto& state = *static_cast<std::atomic<std::uint32_t>*>(context);
    while (state.exchange(kContended, std::memory_order_acquire) != kFree) {
      state.wait(kContended, std::memory_order_relaxed);
    }
  };
  if (ContentionWait* wait = ThreadHook<ContentionWait>::current()) {
    wait->wait(block, &state_);
  } else {
    block(&state_);
  }
}

void GuardedMutex::fail_poisoned() const { fail_invariant(poison_message_); }

}  // namespace tarnvel
