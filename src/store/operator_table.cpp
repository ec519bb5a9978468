#include "store/operator_table.hpp"

#include <new>

#include "ir/fixed_operators.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {

NodeKey without_inputs(const NodeKey& key) { return key.with_inputs({}); }
NodeKey without_inputs(const KeyView& view) {
  KeyView op = view;
  op.inputs = {};
  return NodeKey(op);
}

// The fixed operators with their hashes, made once: every table (each reduction makes one) starts
// with copies of them.
struct HashedOperator {
  NodeKey op;
  std::uint64_t hash;
};
const std::vector<HashedOperator>& hashed_fixed_operators() {
  static const std::vector<HashedOperator> ops = [] {
    std::vector<HashedOperator> hashed;
    for (NodeKey& op : fixed_operators()) {
      const std::uint64_t hash = operator_hash(op);
      hashed.push_back({std::move(op), hash});
    }
    return hashed;
  }();
  return ops;
}

}  // namespace

OperatorTable::OperatorTable() {
  for (const auto& [op, hash] : hashed_fixed_operators()) {
    check_invariant(intern(NodeKey(op), hash) == ops_->size() - 1,
                    "the fixed operators are distinct");
  }
}

OpId OperatorTable::intern(const NodeKey& key, std::uint64_t hash) {
  return intern_any(key, hash, [&] { return without_inputs(key); });
}
OpId OperatorTable::intern(const KeyView& view, std::uint64_t hash) {
  return intern_any(view, hash, [&] { return without_inputs(view); });
}
OpId OperatorTable::intern(NodeKey&& op, std::uint64_t hash) {
  check_invariant(op.inputs().empty(), "an operator moved into a table has no inputs");
  return intern_any(op, hash, [&] { return std::move(op); });
}

template <class Key, class Make>
OpId OperatorTable::intern_any(const Key& key, std::uint64_t hash, Make&& make) {
  const auto same = [&](std::uint32_t op) { return (*ops_)[op].same_operator(key); };
  return index_.find_or_add(hash, same, [&] {
    const std::size_t next = ops_->size();
    if (next >= NodeIndex::kNoId) throw std::bad_alloc();
    ops_->emplace_back(make());
    return static_cast<std::uint32_t>(next);
  });
}

}  // namespace tarnvel
