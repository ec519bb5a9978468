#include "optimizer/dce.hpp"

#include <cstdint>

#include "support/fault.hpp"
#include "support/interruption.hpp"

namespace tarnvel {

// Inputs always name earlier nodes, so one sweep from the last node down marks every node an
// output needs: a node's flag is final before the sweep reaches it. The sweep reads nodes in
// descending address order, only the live ones, and needs no stack.
std::vector<NodeId> survival_map(const NodesView& nodes, std::span<const NodeId> outputs) {
  const std::size_t size = nodes.size();
  std::vector<std::uint8_t> live(size, 0);
  for (NodeId output : outputs) {
    check_index(output, size, "output node id");
    live[output] = 1;
  }
  for (NodeId id = size; id-- > 0;) {
    note_work();
    if (!live[id]) continue;
    for (NodeId input : nodes[id].inputs()) {
      check_index(input, id, "input id of a node");
      live[input] = 1;
    }
  }

  std::vector<NodeId> survival(size, kDropped);
  NodeId next = 0;
  for (NodeId id = 0; id < size; ++id) {
    if (live[id]) survival[id] = next++;
  }
  return survival;
}

std::size_t survivor_count(std::span<const NodeId> survival) {
  std::size_t count = 0;
  for (NodeId id : survival) count += id != kDropped ? 1 : 0;
  return count;
}

}  // namespace tarnvel
