#include "support/interruption.hpp"

namespace tarnvel {
namespace {

// Counted on every hold of a shared object's lock.
TARNVEL_TLS_INITIAL_EXEC thread_local unsigned uninterruptible_depth = 0;

}  // namespace

UninterruptibleScope::UninterruptibleScope() noexcept { ++uninterruptible_depth; }

UninterruptibleScope::~UninterruptibleScope() { --uninterruptible_depth; }

namespace interruption_detail {

constinit thread_local std::int64_t units_before_check = kUnitsPerCheck;

void check() {
  units_before_check = kUnitsPerCheck;
  InterruptionCheck* installed = ThreadHook<InterruptionCheck>::current();
  if (installed == nullptr || uninterruptible_depth != 0) return;
  if (installed->stop_requested()) throw Interrupted();
}

}  // namespace interruption_detail
}  // namespace tarnvel
