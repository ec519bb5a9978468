#include "ir/param.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "ir/token.hpp"
#include "ir/utf8.hpp"

namespace tarnvel {
namespace {

constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ULL;

std::string display_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // The fewest significant digits that read back come from the shortest scientific form, written
  // out here without its exponent. Fixed format is shortest in characters instead, which for a
  // large integral value is its exact binary value (1e23 as 99999999999999991611392).
  char buffer[32];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), end, exponent);
  const bool negative = text.front() == '-';
  std::string digits;
  for (char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits += c;
  }
  // The value is 0.<digits> times ten to the power (exponent + 1).
  std::string out = negative ? "-" : "";
  const int integral = exponent + 1;
  if (integral <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-integral), '0');
    out += digits;
  } else if (static_cast<std::size_t>(integral) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(integral) - digits.size(), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(integral));
    out += '.';
    out.append(digits, static_cast<std::size_t>(integral));
  }
  return out;
}

// Characters shown as \u{...}: controls and the invisible format and separator characters.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  if (c == 0xAD || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E)) return false;
  if ((c >= 0x2060 && c <= 0x2064) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB)) return false;
  return true;
}

std::string display_str(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    // A node's strings are well-formed; a byte that is not is shown as itself all the same.
    const std::size_t start = i;
    const std::optional<char32_t> decoded = decode_utf8(text, i);
    const bool valid = decoded.has_value();
    const char32_t c = valid ? *decoded : static_cast<unsigned char>(text[i++]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (valid && is_printable(c)) {
      out.append(text.substr(start, i - start));
      continue;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
    out += buffer;
  }
  out += '"';
  return out;
}

}  // namespace

std::uint64_t ParamValue::canonical_float_bits(double v) noexcept {
  return std::isnan(v) ? kCanonicalNan : std::bit_cast<std::uint64_t>(v);
}

ParamValue ParamValue::of_view(const ParamView& view) {
  switch (view.tag) {
    case Tag::Int: return of_int(static_cast<std::int64_t>(view.bits));
    case Tag::Float: return of_float(std::bit_cast<double>(view.bits));
    case Tag::Bool: return of_bool(view.bits != 0);
    case Tag::Str: return of_str(view.str);
  }
  return of_int(0);
}

Param::Param(const ParamView& view) : key(view.key), value(ParamValue::of_view(view)) {}

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
  return a.view({}) == b.view({});
}

std::string ParamValue::token() const {
  switch (tag()) {
    case Tag::Int: return "i" + std::to_string(as_int());
    case Tag::Float: {
      char buffer[20];
      std::snprintf(buffer, sizeof buffer, "f%016llx",
                    static_cast<unsigned long long>(canonical_float_bits(as_float())));
      return buffer;
    }
    case Tag::Bool: return as_bool() ? "btrue" : "bfalse";
    case Tag::Str: return "s" + escape_token(as_str());
  }
  return {};
}

std::string ParamValue::display() const {
  switch (tag()) {
    case Tag::Int: return std::to_string(as_int());
    case Tag::Float: return display_float(as_float());
    case Tag::Bool: return as_bool() ? "true" : "false";
    case Tag::Str: return display_str(as_str());
  }
  return {};
}

ParamMap::ParamMap(Pairs&& pairs) : pairs_(std::move(pairs)) { sort_by_key(pairs_); }

ParamMap::ParamMap(std::span<const ParamView> views) {
  if (views.size() > pairs_.capacity()) pairs_.reserve(views.size());
  for (const ParamView& view : views) pairs_.emplace_back(view);
  sort_by_key(pairs_);
}

std::string ParamMap::token() const {
  std::string out;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (i > 0) out += ';';
    out += escape_token(pairs_[i].key.view());
    out += '=';
    out += pairs_[i].value.token();
  }
  return out;
}

std::string ParamMap::display() const {
  std::string out = "{";
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (i > 0) out += ", ";
    out += pairs_[i].key.view();
    out += '=';
    out += pairs_[i].value.display();
  }
  out += '}';
  return out;
}

}  // namespace tarnvel
