// The facts both canonicalizers share: the rewrite engine builds its rules from these lists and the
// incremental reducer applies the same simplifications in one forward pass, so the two agree only
// as long as both read them from here.
#pragma once

#include <array>
#include <string_view>

namespace tarnvel {

// Tokens of the Op nodes that equal their single input: x + 0.0 and x * 1.0, scalar on either side.
// The scalar is spelled as its IEEE-754 bit pattern, so -0.0 (f8000000000000000) is not among them.
inline constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

// Names of the binary Op nodes whose two operands commute (parameterless, two inputs).
inline constexpr std::array<std::string_view, 8> kCommutativeNames = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum",
};

}  // namespace tarnvel
