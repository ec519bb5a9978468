// Fuzzes parse_op_token and the token round trip. The first byte picks the mode:
//
// - even: the rest is a token text. parse_op_token must either refuse it or split it into a kind,
//   a name and parameters that survive being written as a token and parsed again unchanged.
// - odd: the rest describes an Op or a Reduction key (name, then parameters of every kind with
//   arbitrary bytes); the key's token must parse back to exactly its kind, name and parameters.
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ir/node.hpp"
#include "ir/token.hpp"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "parse_op_token_fuzz: %s\n", what);
  std::abort();
}

// Reads the structured mode's fields off the input; running out gives zeros and empty texts.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }
  std::uint64_t u64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | byte();
    return value;
  }
  // A length byte, then that many bytes; short lengths are likely so names stay small.
  std::string text() {
    const std::size_t length = byte() % 24;
    std::string out;
    while (out.size() < length && !empty()) out.push_back(static_cast<char>(byte()));
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

std::string token_of(const tarnvel::ParsedOpToken& parsed) {
  return tarnvel::with_params(parsed.kind + "|" + tarnvel::escape_token(parsed.name),
                              parsed.params);
}

void check_text(std::string_view token) {
  const auto parsed = tarnvel::parse_op_token(token);
  if (!parsed) return;
  require(parsed->kind == "op" || parsed->kind == "red", "the kind is op or red");
  require(token.starts_with(parsed->kind + "|"), "the kind is the token's prefix");
  const std::string again = token_of(*parsed);
  const auto reparsed = tarnvel::parse_op_token(again);
  require(reparsed.has_value(), "a written token parses");
  require(reparsed->kind == parsed->kind && reparsed->name == parsed->name,
          "kind and name survive");
  require(reparsed->params == parsed->params, "parameters survive");
  require(token_of(*reparsed) == again, "writing a parsed token is a fixed point");
}

void check_key(Bytes& in) {
  const bool reduction = in.byte() & 1;
  const std::string name = in.text();
  tarnvel::ParamMap::Pairs pairs;
  for (int count = in.byte() % 6; count > 0 && !in.empty(); --count) {
    std::string key = in.text();
    switch (in.byte() % 4) {
      case 0:
        pairs.push_back(
            {tarnvel::Text(key), tarnvel::ParamValue::of_int(static_cast<std::int64_t>(in.u64()))});
        break;
      case 1:
        pairs.push_back(
            {tarnvel::Text(key), tarnvel::ParamValue::of_float(std::bit_cast<double>(in.u64()))});
        break;
      case 2:
        pairs.push_back({tarnvel::Text(key), tarnvel::ParamValue::of_bool(in.byte() & 1)});
        break;
      default: pairs.push_back({tarnvel::Text(key), tarnvel::ParamValue::of_str(in.text())}); break;
    }
  }
  const tarnvel::ParamMap params{tarnvel::ParamMap::Pairs(pairs)};
  const tarnvel::NodeKey key = reduction
                                   ? tarnvel::NodeKey::reduction(tarnvel::Text(name), params, {0})
                                   : tarnvel::NodeKey::op(tarnvel::Text(name), params, {0});
  const std::string token = key.token();
  const auto parsed = tarnvel::parse_op_token(token);
  require(parsed.has_value(), "an Op or Reduction token parses");
  require(parsed->kind == (reduction ? "red" : "op"), "the kind survives");
  require(parsed->name == name, "the name survives");
  require(parsed->params == params, "the parameters survive, in key order");
  check_text(token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    check_text(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  } else {
    Bytes in(data + 1, size - 1);
    check_key(in);
  }
  return 0;
}
