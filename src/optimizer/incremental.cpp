#include "optimizer/incremental.hpp"

#include <algorithm>
#include <string>

#include "optimizer/rules.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {
namespace {

// Op x + 0.0 or x * 1.0 in one of the listed token forms, over exactly one input.
bool is_identity(const NodeKey& key) {
  // Every identity token names add or mul with exactly two parameters: the token is built only
  // for the nodes that can match.
  if (key.kind() != NodeKind::Op || key.inputs().size() != 1 || key.params().size() != 2) return false;
  if (key.name() != "add" && key.name() != "mul") return false;
  const std::string token = key.token();
  return std::ranges::find(kIdentityTokens, token) != kIdentityTokens.end();
}

// A parameterless two-input Op whose operands commute.
bool is_commutative(const NodeKey& key) {
  return key.kind() == NodeKind::Op && key.params().empty() && key.inputs().size() == 2 &&
         std::ranges::find(kCommutativeNames, key.name()) != kCommutativeNames.end();
}

// Grows capacity geometrically so that `extra` appends cannot fail; one-node steps stay linear.
template <class T>
void reserve_extra(std::vector<T>& list, std::size_t extra) {
  const std::size_t needed = list.size() + extra;
  if (needed > list.capacity()) list.reserve(std::max(needed, 2 * list.capacity()));
}

}  // namespace

IncrementalReducer::IncrementalReducer()
    : canonical_index_(0, IndexHash{&canonical_}, IndexEq{&canonical_}) {}

std::expected<std::uint64_t, ReducerError> IncrementalReducer::step(std::uint64_t store,
                                                                     std::span<const NodeKey> delta) {
  if (follows_other(store)) return std::unexpected(OtherStore{});
  // A step that fails part-way is rolled back entirely, so that nothing is consumed, total_work
  // keeps equal to the watermark and the caller can retry with a corrected delta.
  const std::size_t canonical_size = canonical_.size();
  const std::size_t start = to_canonical_.size();
  struct RollBackUnlessCommitted {
    IncrementalReducer& reducer;
    std::size_t canonical_size, watermark;
    bool committed = false;
    ~RollBackUnlessCommitted() {
      if (!committed) reducer.roll_back(canonical_size, watermark);
    }
  } guard{*this, canonical_size, start};

  reserve_extra(canonical_, delta.size());
  reserve_extra(to_canonical_, delta.size());
  if (index_erased_) {
    // Erased slots may linger as tombstones, which make Abseil grow early: a fresh table has none.
    rebuild_aside(canonical_index_, canonical_.size() + delta.size());
    index_erased_ = false;
  } else {
    reserve_aside(canonical_index_, canonical_.size() + delta.size());
  }
  for (const NodeKey& node : delta) {
    NodeInputs inputs;
    inputs.reserve(node.inputs().size());
    for (NodeId input : node.inputs()) {
      if (input >= to_canonical_.size()) return std::unexpected(BadNodeId{input});
      inputs.push_back(to_canonical_[input]);
    }
    const NodeId id = fold(node, std::move(inputs));
    to_canonical_.push_back(id);
  }
  total_work_ += delta.size();
  if (!delta.empty()) store_ = store;
  guard.committed = true;
  return delta.size();
}

NodeId IncrementalReducer::fold(const NodeKey& node, NodeInputs&& inputs) {
  // Identity and commutativity depend on the kind, name, parameters and input count only.
  if (is_identity(node)) return inputs[0];
  if (node.kind() == NodeKind::External || node.kind() == NodeKind::Stage) {
    return find_or_add(node.with_inputs(std::move(inputs)));
  }
  absl::InlinedVector<ParamView, 4> params;
  for (const Param& param : node.params()) params.push_back(param.view());
  const KeyView candidate{node.kind(), node.name(), {params.data(), params.size()}, {inputs.data(), inputs.size()}};
  if (is_commutative(node)) {
    // The first-seen orientation is the one kept.
    if (auto it = canonical_index_.find(candidate); it != canonical_index_.end()) return *it;
    const NodeId swapped_inputs[] = {inputs[1], inputs[0]};
    KeyView swapped = candidate;
    swapped.inputs = swapped_inputs;
    if (auto it = canonical_index_.find(swapped); it != canonical_index_.end()) return *it;
  }
  return find_or_add(candidate);
}

template <class Key>
NodeId IncrementalReducer::find_or_add(const Key& candidate) {
  if (auto it = canonical_index_.find(candidate); it != canonical_index_.end()) return *it;
  // The key is built in place before the index learns of it: a failed construction leaves both
  // as they were, and with room reserved by step neither the append nor the insert can fail.
  const NodeId next = canonical_.size();
  canonical_.emplace_back(candidate);
  canonical_index_.insert(next);
  return next;
}

void IncrementalReducer::roll_back(std::size_t canonical_size, std::size_t watermark) noexcept {
  if (canonical_.size() > canonical_size) index_erased_ = true;
  for (NodeId id = canonical_.size(); id-- > canonical_size;) canonical_index_.erase(id);
  canonical_.erase(canonical_.begin() + static_cast<std::ptrdiff_t>(canonical_size),
                   canonical_.end());
  to_canonical_.resize(watermark);
}

std::expected<Reduced, ReducerError> IncrementalReducer::finalize(std::uint64_t store,
                                                                  std::span<const NodeId> outputs,
                                                                  const RewriteEngine& engine,
                                                                  bool maximal_fusion) const {
  if (follows_other(store)) return std::unexpected(OtherStore{});
  std::vector<NodeId> canonical_outputs;
  canonical_outputs.reserve(outputs.size());
  for (NodeId output : outputs) {
    if (output >= to_canonical_.size()) return std::unexpected(BadNodeId{output});
    canonical_outputs.push_back(to_canonical_[output]);
  }
  Reduced reduced = reduce_with_mode(canonical_, canonical_outputs, engine, maximal_fusion);
  std::vector<NodeMapEntry> by_store_id;
  by_store_id.reserve(to_canonical_.size());
  for (NodeId id : to_canonical_) by_store_id.push_back(reduced.node_map[id]);
  reduced.node_map = std::move(by_store_id);
  return reduced;
}

}  // namespace tarnvel
