// Checked only by scripts/thread_safety_probe.sh, which expects clang's thread-safety analysis to
// report exactly the lines marked "reported" below: a check that went quiet must not pass.
#include "support/guarded_mutex.hpp"

namespace tarnvel {

class Probe {
 public:
  int locked() const {
    return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return value_; });
  }
  int unlocked() const { return value_; }  // reported
  void body_without_annotation() {
    mutex_.with_lock([&] { ++value_; });  // reported
  }
  int helper_without_lock() const { return read_locked(); }  // reported
  int relocked() const {
    return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
      return mutex_.with_lock([] { return 0; });  // reported
    });
  }

 private:
  int read_locked() const ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return value_; }

  mutable GuardedMutex mutex_{"probe poisoned"};
  int value_ ABSL_GUARDED_BY(mutex_) = 0;
};

}  // namespace tarnvel
