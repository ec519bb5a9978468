// Interruption: lets the host stop long core work, for example when the user presses Ctrl-C.
//
// Long loops report their work with `note_work(units)`, where a unit is roughly one node or one
// e-node visited. Every kUnitsPerCheck units the thread's InterruptionCheck, if one is installed,
// is asked whether to stop; when it says so, note_work throws Interrupted and the work unwinds.
// Counting is one thread-local subtraction, so a check costs nothing measurable.
//
// A thread that holds a lock of a shared core object (an UninterruptibleScope, which every such
// hold opens) is never interrupted and its check is never called: the host's check may run host
// code (a Python signal handler), which must never run under a core lock. Work that can be
// interrupted therefore leaves shared objects as they were: it reads them without their locks
// (snapshots, views of an append-only store) or writes only objects nobody else sees yet.
//
//   struct Host final : InterruptionCheck { bool stop_requested() override { ... } } host;
//   InterruptionScope scope(host);
//   for (...) { note_work(); ... }   // may throw Interrupted
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "support/builtins.hpp"
#include "support/thread_hook.hpp"

namespace tarnvel {

// A thread-local hook; `stop_requested` is called only on the thread that installed it.
struct InterruptionCheck {
  virtual bool stop_requested() = 0;

 protected:
  ~InterruptionCheck() = default;
};

// Installs `check` for the current thread for the lifetime of the scope (scopes nest).
using InterruptionScope = ThreadHook<InterruptionCheck>::Scope;

// Suspends interruption on the current thread for the lifetime of the scope (scopes nest).
class UninterruptibleScope {
 public:
  UninterruptibleScope() noexcept;
  ~UninterruptibleScope();
  UninterruptibleScope(const UninterruptibleScope&) = delete;
  UninterruptibleScope& operator=(const UninterruptibleScope&) = delete;
};

// Thrown when the installed check asked to stop. The host knows why (a Python exception is set).
class Interrupted final : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

namespace interruption_detail {
// About a millisecond of work at tens of nanoseconds a unit.
inline constexpr std::int64_t kUnitsPerCheck = std::int64_t{1} << 15;
// initial-exec and constinit: one plain load and store per count, no call, even in a dlopen-ed
// module.
extern TARNVEL_TLS_INITIAL_EXEC constinit thread_local std::int64_t units_before_check;
void check();
}  // namespace interruption_detail

// Counts `units` of work; may throw Interrupted.
inline void note_work(std::size_t units = 1) {
  interruption_detail::units_before_check -= static_cast<std::int64_t>(units);
  if (interruption_detail::units_before_check < 0) [[unlikely]]
    interruption_detail::check();
}

}  // namespace tarnvel
