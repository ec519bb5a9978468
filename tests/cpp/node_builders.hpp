// The builders the C++ tests record graphs with: the IR's own constructors with the defaults tests
// want (no params, a scalar operand), so that a test reads as the graph it builds.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/fixed_operators.hpp"
#include "ir/node.hpp"
#include "ir/param.hpp"
#include "optimizer/engine.hpp"
#include "store/graph_store.hpp"

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

// Nodes made by hand, with their operators, as a store would hold them (inputs unchecked).
struct HandMade {
  explicit HandMade(const std::vector<NodeKey>& keys) {
    for (const NodeKey& key : keys) {
      nodes.emplace_back(Node{ops.intern(key, operator_hash(key)), Children(key.inputs())});
    }
  }
  NodesView view() const { return NodesView(nodes.view(), ops.view()); }

  OperatorTable ops;
  NodeList nodes;
};

// The id every operator table gives the commutative operator of this name.
inline OpId commutative_op(std::string_view name) {
  const auto* at = std::ranges::find(kCommutativeNames, name);
  if (at == kCommutativeNames.end()) throw std::invalid_argument("not a commutative name");
  return kFirstCommutativeOp + static_cast<OpId>(at - kCommutativeNames.begin());
}
// An operator id no fixed operator has, for engine graphs that name no table.
inline OpId other_op(OpId k) { return kFixedOperatorCount + k; }

// A node of an engine graph: an operator id over `children`.
inline Node engine_node(OpId op, std::initializer_list<std::uint32_t> children = {}) {
  return Node{op, Children(children)};
}

// How a failed assertion shows a key: its token and its inputs.
inline void PrintTo(const NodeKey& key, std::ostream* out) {
  *out << key.token() << " (";
  for (std::size_t i = 0; i < key.inputs().size(); ++i) *out << (i ? ", " : "") << key.inputs()[i];
  *out << ")";
}

// A fresh store holding `keys`, interned in order (equal keys become one node).
inline std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& keys) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& key : keys) {
    if (!store->intern(key)) throw std::invalid_argument("a key names a later node");
  }
  return store;
}

}  // namespace tarnvel
