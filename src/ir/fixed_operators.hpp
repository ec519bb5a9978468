// The operators every operator table holds from the start, at fixed ids, so that the rewrite rules
// and the incremental reducer name them by id instead of by text or a lookup.
//
// Ids 0..7 are the parameterless binary Ops whose two operands commute; ids 8..11 are the Ops that
// equal their single input: x + 0.0 and x * 1.0, with the scalar on either side (-0.0 is not among
// them: params compare by bit pattern).
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "ir/node.hpp"

namespace tarnvel {

inline constexpr std::array<std::string_view, 8> kCommutativeNames = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum",
};
inline constexpr OpId kFirstCommutativeOp = 0;
inline constexpr OpId kFirstIdentityOp = kFirstCommutativeOp + kCommutativeNames.size();
inline constexpr OpId kIdentityOpCount = 4;
inline constexpr OpId kFixedOperatorCount = kFirstIdentityOp + kIdentityOpCount;

inline constexpr bool is_commutative_op(OpId op) noexcept { return op < kFirstIdentityOp; }
inline constexpr bool is_identity_op(OpId op) noexcept {
  return op >= kFirstIdentityOp && op < kFixedOperatorCount;
}

// The fixed operators in id order, as keys without inputs.
std::vector<NodeKey> fixed_operators();

}  // namespace tarnvel
