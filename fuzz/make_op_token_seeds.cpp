// Writes the seed corpus of parse_op_token_fuzz into a directory: the tokens of Op and Reduction
// keys made by the IR's own constructors (the fixed operators' tokens among them) and damaged
// copies of them, in the target's text mode, and the same keys in its structured mode.
//
//   make_op_token_seeds DIR
#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "ir/fixed_operators.hpp"
#include "ir/node.hpp"
#include "ir/token.hpp"
#include "seed_corpus.hpp"

namespace tarnvel {
namespace {

struct Seed {
  bool reduction;
  std::string name;
  std::vector<Param> params;
};

std::vector<Seed> keys() {
  const double payload_nan = std::bit_cast<double>(0x7FF000000000BEEFULL);
  return {
      {false, "add", {}},
      {false, "add", {{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("r")}}},
      {false, "mul", {{"side", ParamValue::of_str("l")}, {"scalar", ParamValue::of_float(1.0)}}},
      {false, "add", {{"scalar", ParamValue::of_float(-0.0)}, {"side", ParamValue::of_str("r")}}},
      {true, "sum", {{"scale", ParamValue::of_int(2)}}},
      {true, "", {{"", ParamValue::of_str("")}}},
      {false, "a|b;c=d%e%7C%25", {{"k|;=%", ParamValue::of_str("v|;=%3B%")}}},
      {false,
       "caf\xC3\xA9 \xF0\x9F\x98\x80",
       {{"b", ParamValue::of_bool(true)}, {"c", ParamValue::of_bool(false)}}},
      {false,
       "extremes",
       {{"min", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
        {"max", ParamValue::of_int(std::numeric_limits<std::int64_t>::max())},
        {"nan", ParamValue::of_float(payload_nan)},
        {"inf", ParamValue::of_float(-std::numeric_limits<double>::infinity())}}},
      {true,
       "dup",
       {{"k", ParamValue::of_int(1)},
        {"k", ParamValue::of_str("1")},
        {"a", ParamValue::of_float(0.5)}}},
      {false,
       std::string(40, 'n'),
       {{Text(std::string(30, 'k')), ParamValue::of_str(std::string(50, 's'))}}},
  };
}

std::string token_of(const Seed& seed) {
  ParamMap params{ParamMap::Pairs(seed.params.begin(), seed.params.end())};
  return seed.reduction ? NodeKey::reduction(Text(seed.name), std::move(params), {0}).token()
                        : NodeKey::op(Text(seed.name), std::move(params), {0}).token();
}

// The structured mode's encoding of `seed`: see Bytes in parse_op_token_fuzz.cpp.
std::string structured(const Seed& seed) {
  std::string out = "\x01";
  const auto text = [&](std::string_view t) {
    out += static_cast<char>(std::min<std::size_t>(t.size(), 23));
    out += t.substr(0, 23);
  };
  const auto u64 = [&](std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
  };
  out += static_cast<char>(seed.reduction);
  text(seed.name);
  out += static_cast<char>(seed.params.size());
  for (const Param& param : seed.params) {
    text(param.key.view());
    out += static_cast<char>(param.value.tag());
    switch (param.value.tag()) {
      case ParamValue::Tag::Int: u64(static_cast<std::uint64_t>(param.value.as_int())); break;
      case ParamValue::Tag::Float: u64(std::bit_cast<std::uint64_t>(param.value.as_float())); break;
      case ParamValue::Tag::Bool: out += static_cast<char>(param.value.as_bool()); break;
      case ParamValue::Tag::Str: text(param.value.as_str()); break;
    }
  }
  return out;
}

}  // namespace
}  // namespace tarnvel

int main(int argc, char** argv) {
  using namespace tarnvel;
  const seeds::Corpus corpus(argc, argv);
  const std::string text_mode(1, '\0');
  int n = 0;
  for (const Seed& seed : keys()) {
    const std::string token = token_of(seed);
    corpus.put("key-" + std::to_string(n), text_mode + token);
    corpus.put("structured-" + std::to_string(n), structured(seed));
    // Damaged copies: cut at every separator, and with the kind changed.
    for (std::size_t at = 0; at < token.size(); ++at) {
      if (token[at] == '|' || token[at] == ';' || token[at] == '=') {
        corpus.put("cut-" + std::to_string(n) + "-" + std::to_string(at),
                   text_mode + token.substr(0, at + 1));
      }
    }
    corpus.put("kind-" + std::to_string(n), text_mode + "src" + token.substr(token.find('|')));
    ++n;
  }
  for (const NodeKey& fixed : fixed_operators())
    corpus.put("fixed-" + std::to_string(n++), text_mode + fixed.token());
  for (const char* odd :
       {"op", "op|", "red|x|k", "op|x|k=z1", "op|x|k=i", "op|x|k=i+-1", "op|x|k=f+1", "op|x|k=fg",
        "op|x|k=btru", "op|x|=s;=s", "op|x||k=i1", "op|%zz|k=s%7"}) {
    corpus.put("odd-" + std::to_string(n++), text_mode + odd);
  }
  return 0;
}
