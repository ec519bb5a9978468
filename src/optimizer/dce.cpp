#include "optimizer/dce.hpp"

#include <cstdint>

#include "support/fault.hpp"

namespace tarnvel {

DceResult dead_code_elimination(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
  std::vector<std::uint8_t> live(nodes.size(), 0);
  std::size_t live_count = 0;
  std::vector<NodeId> stack(outputs.begin(), outputs.end());
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    check_invariant(id < nodes.size(), "index out of range: node id beyond the node list");
    if (live[id]) continue;
    live[id] = 1;
    ++live_count;
    for (NodeId input : nodes[id].inputs()) {
      check_invariant(input < id, "index out of range: an input does not name an earlier node");
      stack.push_back(input);
    }
  }

  DceResult result;
  result.nodes.reserve(live_count);
  result.survival.assign(nodes.size(), kDropped);
  for (NodeId id = 0; id < nodes.size(); ++id) {
    if (!live[id]) continue;
    const NodeKey& node = nodes[id];
    NodeInputs inputs;
    inputs.reserve(node.inputs().size());
    for (NodeId input : node.inputs()) inputs.push_back(result.survival[input]);
    result.survival[id] = result.nodes.size();
    result.nodes.push_back(node.with_inputs(std::move(inputs)));
  }
  result.outputs.reserve(outputs.size());
  for (NodeId output : outputs) result.outputs.push_back(result.survival[output]);
  return result;
}

}  // namespace tarnvel
