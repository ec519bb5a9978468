// Growing an Abseil set of dense ids without risking it on an allocation failure.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tarnvel {

// Makes room in `index` (an absl::flat_hash_set holding exactly the ids 0 .. size - 1) for
// `count_after` ids, so that inserting up to that many never makes the table grow by itself.
// Abseil's own growth records the new capacity before allocating it, so a failed allocation there
// corrupts the table; here the bigger table is built aside and swapped in, and a failure leaves
// `index` as it was. The rebuild costs what Abseil's growth costs: one insert per id.
template <class IdSet>
void reserve_ids(IdSet& index, std::size_t count_after) {
  const std::size_t capacity = index.capacity();
  // Abseil grows once size reaches capacity - capacity / 8; one slot of margin stays clear of it.
  if (count_after < capacity - capacity / 8) return;
  // The capacity is given to the constructor: a failed allocation there throws before the new
  // table exists (reserve() on a built table would leave that table corrupt too). With it, the
  // inserts below never grow the table and cannot fail.
  const std::size_t wanted = std::max(count_after, 2 * index.size());
  IdSet grown(wanted + wanted / 7 + 1, index.hash_function(), index.key_eq());
  for (std::size_t id = 0; id < index.size(); ++id) grown.insert(id);
  index.swap(grown);
}

}  // namespace tarnvel
