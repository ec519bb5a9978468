#include "support/fault.hpp"

namespace tarnvel {

void fail_invariant(const std::string& message) { throw InternalFault(message); }

void fail_index(const char* what, std::uint64_t index, std::uint64_t limit) {
  fail_invariant("index out of range: " + std::string(what) + " " + std::to_string(index) +
                 " is not below " + std::to_string(limit));
}

}  // namespace tarnvel
