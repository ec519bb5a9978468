// Strict UTF-8: shortest forms only, no surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no
// truncated sequence. Every string of a node is well-formed: Python's str gives no other, and the
// blob reader refuses any other.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tarnvel {

// The code point of the UTF-8 sequence at text[i], with `i` advanced past it; nothing, with `i`
// unchanged, when the bytes there are not one well-formed sequence. REQUIRES: i < text.size().
std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& i) noexcept;

// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace tarnvel
