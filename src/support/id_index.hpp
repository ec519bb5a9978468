// Growing an Abseil set of dense ids without risking it on an allocation failure.
#pragma once

#include <cstddef>

#include "support/table_growth.hpp"

namespace tarnvel {

// Makes room in `index` (an absl::flat_hash_set holding exactly the ids 0 .. size - 1) for
// `count_after` ids, so that inserting up to that many never makes the table grow by itself; a
// failed allocation leaves `index` as it was (see table_growth.hpp).
template <class IdSet>
void reserve_ids(IdSet& index, std::size_t count_after) {
  reserve_aside(index, count_after);
}

}  // namespace tarnvel
