// NodeRef and NodesView: nodes read where they are kept (a Node and its operator in a table),
// with the read interface of a NodeKey, so that readers need no copy.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ir/node.hpp"
#include "store/operator_table.hpp"
#include "support/chunked.hpp"

namespace tarnvel {

// Chunks of 4096 nodes (64 KB) stay below the allocator's mmap threshold, so they are reused from
// store to store; larger ones measured no faster and left more of the last chunk unused.
using NodeList = Chunked<Node, 12>;

// One node: its operator, viewed in the table, and its inputs. Valid while the table's view it was
// read through is.
class NodeRef {
 public:
  NodeRef(const OperatorTable::View& ops, const Node& node) noexcept
      : ops_(&ops), op_(&ops[node.op]), node_(&node) {}

  OpId op_id() const noexcept { return node_->op; }
  // The operator, as a key without inputs.
  const NodeKey& op() const noexcept { return *op_; }
  // The table the node's operator is in, which also holds its members' operators.
  const OperatorTable::View& ops() const noexcept { return *ops_; }
  std::span<const std::uint32_t> inputs() const noexcept { return node_->children.ids(); }

  NodeKind kind() const noexcept { return op_->kind(); }
  std::string_view name() const noexcept { return op_->name(); }
  const ParamMap& params() const noexcept { return op_->params(); }
  const PayloadDescriptor& descriptor() const { return op_->descriptor(); }
  // Named by ids of ops() (see StageOp).
  std::span<const StageOp> members() const { return op_->members(); }
  std::string token() const { return op_->token(); }
  std::string label() const { return op_->label(); }

  // An owned copy, which stands alone: a Stage's members are spelled.
  NodeKey key() const {
    const auto in = inputs();
    return standalone_key(*op_, NodeInputs(in.begin(), in.end()), *ops_);
  }

 private:
  const OperatorTable::View* ops_;
  const NodeKey* op_;
  const Node* node_;
};

// The nodes a list held when the view was taken, with the operators they name. It reads without any
// lock while the owner keeps appending (see Chunked), and stays valid while both the node
// list and the operator table live.
class NodesView {
 public:
  NodesView(NodeList::View nodes, OperatorTable::View ops)
      : nodes_(std::move(nodes)), ops_(std::move(ops)) {}

  std::size_t size() const noexcept { return nodes_.size(); }
  NodeRef operator[](std::size_t i) const { return NodeRef(ops_, nodes_[i]); }
  const Node& stored(std::size_t i) const { return nodes_[i]; }
  // Owned copies of the nodes from position `start` on; empty when `start` is at or past the end.
  std::vector<NodeKey> keys(std::size_t start = 0) const {
    std::vector<NodeKey> keys;
    if (start >= size()) return keys;
    keys.reserve(size() - start);
    for (std::size_t i = start; i < size(); ++i) keys.push_back((*this)[i].key());
    return keys;
  }
  const OperatorTable::View& ops() const noexcept { return ops_; }

 private:
  NodeList::View nodes_;
  OperatorTable::View ops_;
};

}  // namespace tarnvel
