#include "optimizer/canonical_fold.hpp"

#include "ir/fixed_operators.hpp"

namespace tarnvel {

// The simplifications are decided by operator id alone: the fixed operators hold the same ids in
// every table.
NodeId CanonicalFold::add(OpId op, std::span<const std::uint32_t> inputs) {
  if (index_stale_) rebuild_index();
  if (is_identity_op(op) && inputs.size() == 1) return inputs[0];
  const Probe candidate{op, inputs, node_hash(op, inputs)};
  if (is_commutative_op(op) && inputs.size() == 2) {
    // The first-seen orientation is the one kept: a node is only ever added in the orientation
    // this finds absent, so the fold never holds both, and a miss on the swapped one leaves the
    // candidate to be found or added.
    const std::uint32_t swapped_inputs[] = {inputs[1], inputs[0]};
    const std::span<const std::uint32_t> swapped(swapped_inputs);
    if (const auto known = find(Probe{op, swapped, node_hash(op, swapped)})) return *known;
  }
  return find_or_add(candidate);
}

std::optional<NodeId> CanonicalFold::find(const Probe& candidate) const {
  return index_.find(candidate.hash, same_as(candidate));
}

// The node is built before the index learns of it: a failed construction leaves both as they were.
NodeId CanonicalFold::find_or_add(const Probe& candidate) {
  return index_.find_or_add(candidate.hash, same_as(candidate), [&] {
    const auto next = static_cast<std::uint32_t>(nodes_.size());
    nodes_.emplace_back(Node{candidate.op, Children(candidate.inputs)});
    return next;
  });
}

void CanonicalFold::truncate(std::size_t size) noexcept {
  if (nodes_.size() > size) index_stale_ = true;
  nodes_.truncate(size);
}

void CanonicalFold::rebuild_index() {
  NodeIndex index;
  index.reserve(nodes_.size());
  const auto distinct = [](std::uint32_t) { return false; };  // the nodes are all distinct
  for (std::size_t id = 0; id < nodes_.size(); ++id) {
    const Node& node = nodes_[id];
    static_cast<void>(index.find_or_add(node_hash(node.op, node.children.ids()), distinct,
                                        [id] { return static_cast<std::uint32_t>(id); }));
  }
  index_ = std::move(index);
  index_stale_ = false;
}

}  // namespace tarnvel
