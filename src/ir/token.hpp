// Token text helpers. Tokens are machine-oriented and escaped; labels are for display; the two
// are never mixed. None of these functions fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ir/param.hpp"

namespace tarnvel {

// Replaces % ; = | by %25 %3B %3D %7C ("%" first, so later escapes are not escaped again).
std::string escape_token(std::string_view text);
// The inverse, "%" restored last; an unknown "%" sequence stays as it is.
std::string unescape_token(std::string_view text);
// base, or base + "|" + params.token() when the map is not empty.
std::string with_params(std::string base, const ParamMap& params);

struct ParsedOpToken {
  std::string kind;  // "op" or "red"
  std::string name;
  ParamMap params;
};
// Splits an Op or Reduction token into its kind text, name and parameters; nothing for any other
// or malformed token.
[[nodiscard]] std::optional<ParsedOpToken> parse_op_token(std::string_view token);

}  // namespace tarnvel
