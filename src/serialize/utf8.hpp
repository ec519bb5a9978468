// Strict UTF-8 validation for blob strings: every string a blob carries must be well-formed.
#pragma once

#include <string_view>

namespace tarnvel {

// True when `bytes` is well-formed UTF-8: shortest forms only, no surrogates (U+D800..U+DFFF),
// nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace tarnvel
