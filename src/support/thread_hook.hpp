// ThreadHook<Hook>: a hook the host installs for the current thread, for the core to call back
// there (the wait for a contended lock, the check for an interruption). Installing one is a scope;
// scopes nest, and each restores the hook it replaced.
//
//   struct Host final : InterruptionCheck { ... } host;
//   ThreadHook<InterruptionCheck>::Scope scope(host);   // ThreadHook<...>::current() is &host
#pragma once

#include "support/builtins.hpp"

namespace tarnvel {

template <class Hook>
class ThreadHook {
 public:
  // The innermost hook installed on this thread, or null.
  static Hook* current() noexcept { return installed_; }

  class Scope {
   public:
    explicit Scope(Hook& hook) noexcept : previous_(installed_) { installed_ = &hook; }
    ~Scope() { installed_ = previous_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Hook* previous_;
  };

 private:
  // initial-exec: one plain load per use, even in a dlopen-ed module.
  static inline TARNVEL_TLS_INITIAL_EXEC constinit thread_local Hook* installed_ = nullptr;
};

}  // namespace tarnvel
