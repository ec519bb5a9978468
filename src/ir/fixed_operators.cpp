#include "ir/fixed_operators.hpp"

namespace tarnvel {
namespace {

NodeKey identity_op(std::string_view name, double scalar, std::string_view side) {
  ParamMap::Pairs params;
  params.emplace_back("scalar", ParamValue::of_float(scalar));
  params.emplace_back("side", ParamValue::of_str(side));
  return NodeKey::op(Text(name), ParamMap(std::move(params)), {});
}

}  // namespace

std::vector<NodeKey> fixed_operators() {
  std::vector<NodeKey> ops;
  ops.reserve(kFixedOperatorCount);
  for (std::string_view name : kCommutativeNames) ops.push_back(NodeKey::op(Text(name), {}, {}));
  ops.push_back(identity_op("add", 0.0, "r"));
  ops.push_back(identity_op("add", 0.0, "l"));
  ops.push_back(identity_op("mul", 1.0, "r"));
  ops.push_back(identity_op("mul", 1.0, "l"));
  return ops;
}

}  // namespace tarnvel
