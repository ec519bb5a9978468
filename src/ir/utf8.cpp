#include "ir/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace tarnvel {
namespace {

// The allowed range of the second byte after each lead byte; every later continuation byte is
// 80..BF. Narrowed second-byte ranges are what rule out overlongs (E0, F0), surrogates (ED) and
// code points past U+10FFFF (F4).
struct Lead {
  std::uint8_t length;  // 0: not a valid lead byte
  std::uint8_t second_low;
  std::uint8_t second_high;
};

constexpr Lead classify(std::uint8_t lead) noexcept {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& i) noexcept {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const Lead lead = classify(data[i]);
  if (lead.length == 1) return data[i++];
  if (lead.length == 0 || text.size() - i < lead.length) return std::nullopt;
  if (data[i + 1] < lead.second_low || data[i + 1] > lead.second_high) return std::nullopt;
  for (std::size_t k = 2; k < lead.length; ++k) {
    if ((data[i + k] & 0xC0) != 0x80) return std::nullopt;
  }
  char32_t c = data[i] & (0x7F >> lead.length);
  for (std::size_t k = 1; k < lead.length; ++k) c = (c << 6) | (data[i + k] & 0x3F);
  i += lead.length;
  return c;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    // Names and keys are mostly ASCII: skip eight ASCII bytes at a time.
    if (size - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    if (!decode_utf8(bytes, i)) return false;
  }
  return true;
}

}  // namespace tarnvel
