// InternalFault: a broken invariant that no input can cause. Errors that input can cause are
// returned as values (BadNodeId, BlobError); this exception is for the rest, and the binding turns
// it into an exception that ordinary `except Exception` clauses do not catch.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tarnvel {

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Throws InternalFault(message) unless `condition` holds. Out of line so call sites stay small.
[[noreturn]] void fail_invariant(const std::string& message);
inline void check_invariant(bool condition, const char* message) {
  if (!condition) [[unlikely]]
    fail_invariant(message);
}

// Throws InternalFault "index out of range: <what> <index> is not below <limit>" unless index <
// limit.
[[noreturn]] void fail_index(const char* what, std::uint64_t index, std::uint64_t limit);
inline void check_index(std::uint64_t index, std::uint64_t limit, const char* what) {
  if (index >= limit) [[unlikely]]
    fail_index(what, index, limit);
}

}  // namespace tarnvel
