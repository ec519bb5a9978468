#include "ir/token.hpp"

#include <bit>
#include <charconv>

namespace tarnvel {
namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(from, start)) != std::string::npos;
       start = at + from.size()) {
    out.append(text, start, at - start);
    out.append(to);
  }
  out.append(text, start, std::string::npos);
  text = std::move(out);
}

// Reads an unsigned hexadecimal of at most 64 bits, with an optional leading "+".
std::optional<std::uint64_t> read_hex_bits(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Reads a signed decimal 64-bit integer with an optional leading "+" or "-".
std::optional<std::int64_t> read_int(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ParamValue> read_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::string_view rest = text.substr(1);
  switch (text.front()) {
    case 'b':
      if (rest == "true") return ParamValue::of_bool(true);
      if (rest == "false") return ParamValue::of_bool(false);
      return std::nullopt;
    case 'f':
      if (auto bits = read_hex_bits(rest))
        return ParamValue::of_float(std::bit_cast<double>(*bits));
      return std::nullopt;
    case 'i':
      if (auto value = read_int(rest)) return ParamValue::of_int(*value);
      return std::nullopt;
    case 's': return ParamValue::of_str(unescape_token(rest));
    default: return std::nullopt;
  }
}

}  // namespace

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out += c;
    }
  }
  return out;
}

std::string unescape_token(std::string_view text) {
  std::string out(text);
  if (out.find('%') == std::string::npos) return out;
  replace_all(out, "%7C", "|");
  replace_all(out, "%3D", "=");
  replace_all(out, "%3B", ";");
  replace_all(out, "%25", "%");
  return out;
}

std::string with_params(std::string base, const ParamMap& params) {
  if (params.empty()) return base;
  base += '|';
  base += params.token();
  return base;
}

std::optional<ParsedOpToken> parse_op_token(std::string_view token) {
  const std::size_t first_bar = token.find('|');
  if (first_bar == std::string_view::npos) return std::nullopt;
  const std::string_view kind = token.substr(0, first_bar);
  if (kind != "op" && kind != "red") return std::nullopt;
  const std::string_view after = token.substr(first_bar + 1);
  const std::size_t second_bar = after.find('|');
  const std::string_view name = after.substr(0, second_bar);
  const std::string_view rest =
      second_bar == std::string_view::npos ? std::string_view() : after.substr(second_bar + 1);

  ParamMap::Pairs pairs;
  if (!rest.empty()) {
    std::size_t start = 0;
    while (true) {
      const std::size_t semicolon = rest.find(';', start);
      const std::string_view item = rest.substr(start, semicolon - start);
      const std::size_t equals = item.find('=');
      if (equals == std::string_view::npos) return std::nullopt;
      auto value = read_value(item.substr(equals + 1));
      if (!value) return std::nullopt;
      pairs.push_back(Param{Text(unescape_token(item.substr(0, equals))), std::move(*value)});
      if (semicolon == std::string_view::npos) break;
      start = semicolon + 1;
    }
  }
  return ParsedOpToken{std::string(kind), unescape_token(name), ParamMap(std::move(pairs))};
}

}  // namespace tarnvel
