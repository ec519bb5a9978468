// The builders the C++ tests record graphs with: the IR's own constructors with the defaults tests
// want (no params, a scalar operand), so that a test reads as the graph it builds.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/node.hpp"
#include "ir/param.hpp"
#include "optimizer/engine.hpp"

namespace tarnvel {

inline ParamMap params(std::initializer_list<std::pair<const char*, ParamValue>> pairs) {
  ParamMap::Pairs out;
  for (const auto& [key, value] : pairs) out.push_back(Param{Text(key), value});
  return ParamMap(std::move(out));
}

// The params of the scalar-operand form of add and mul: side "r" or "l".
inline ParamMap scalar_params(double scalar, const char* side) {
  return params({{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}});
}

inline NodeKey source(const char* name) { return NodeKey::source(name, {}); }

inline NodeKey op(const char* name, NodeInputs inputs, ParamMap op_params = {}) {
  return NodeKey::op(name, std::move(op_params), std::move(inputs));
}

inline NodeKey scalar_op(const char* name, double scalar, const char* side, NodeInputs inputs) {
  return op(name, std::move(inputs), scalar_params(scalar, side));
}

inline NodeKey stage(NodeInputs inputs, std::vector<StageOp> members) {
  return NodeKey::stage(std::move(inputs), std::move(members));
}

// Nodes of an engine graph: an Op node over `children`, and an opaque node without children.
inline EngineNode engine_node(std::string_view symbol,
                              std::initializer_list<std::size_t> children = {}) {
  return EngineNode{Text(symbol), {children.begin(), children.end()}, false};
}
inline EngineNode opaque_node(std::string_view symbol) {
  return EngineNode{Text(symbol), {}, true};
}

}  // namespace tarnvel
