// OpIdMap: a map from operator ids to values, for a pass over one graph. It is a vector indexed by
// id while the operator table is small beside the graph (the usual case: a store's operators are
// mostly its graph's), and a hash map otherwise, so that a small graph over a large table costs
// what the graph does rather than what the table does.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "ir/op_id.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {

template <class V>
class OpIdMap {
 public:
  // Every id looked up is below `table_size`; the graph has `graph_size` nodes.
  OpIdMap(std::size_t table_size, std::size_t graph_size)
      : dense_(table_size <= 4 * graph_size + 1024) {
    if (dense_) values_.resize(table_size);
  }

  const V* find(OpId op) const {
    if (dense_) return op < values_.size() && values_[op] ? &*values_[op] : nullptr;
    const auto found = sparse_.find(op);
    return found == sparse_.end() ? nullptr : &found->second;
  }
  // REQUIRES: find(op) is null and op is below the table size.
  const V& emplace(OpId op, V value) {
    if (dense_) return values_[op].emplace(std::move(value));
    return emplace_aside(sparse_, op, std::move(value)).first->second;
  }

 private:
  bool dense_;
  std::vector<std::optional<V>> values_;    // by id, when dense_
  absl::flat_hash_map<OpId, V> sparse_;    // otherwise; lookups only: never iterated
};

}  // namespace tarnvel
