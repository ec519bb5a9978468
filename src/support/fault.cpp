#include "support/fault.hpp"

namespace tarnvel {

void fail_invariant(const std::string& message) { throw InternalFault(message); }

}  // namespace tarnvel
