// Growing and copying Abseil hash tables without risking them on an allocation failure.
//
// Abseil's own growth (on insertion, reserve, rehash, and in the copy constructor) records the new
// capacity before allocating it, so a std::bad_alloc there leaves a table whose destructor walks
// and frees memory the table never had. These helpers build the bigger table aside, sized from the
// start (the sized constructor allocates before the table exists), and swap it in: a failure
// throws before anything changed.
//
// Two more conditions keep an insertion from failing halfway:
// - an element is constructed outside the table and moved in (an element constructor that throws
//   inside the table leaves its slot marked full without an element);
// - after an erase, use rebuild_aside before inserting again: an erased slot may stay behind as a
//   tombstone, which makes Abseil grow earlier than reserve_aside expects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

namespace tarnvel {

// A bucket count whose table takes `count` elements without growing: Abseil fills 7/8 of the
// capacity, which it rounds up to a power of two minus one.
constexpr std::size_t room_for(std::size_t count) { return count + count / 7 + 1; }

// Replaces `table` with an equal table built aside, with room for `count` elements (at least its
// size). Moving the elements over cannot fail: the new table never grows.
template <class Table>
[[gnu::noinline]] void rebuild_aside(Table& table, std::size_t count) {
  Table grown(room_for(std::max(count, table.size())), table.hash_function(), table.key_eq(),
              table.get_allocator());
  for (auto it = table.begin(); it != table.end();) grown.insert(table.extract(it++));
  table.swap(grown);
}

// Makes room in `table` for `count_after` elements, so that inserting until it holds that many
// never makes it grow by itself. Cheap when there is room: one comparison.
// REQUIRES: nothing was erased from `table` since it was last built or rebuilt.
template <class Table>
void reserve_aside(Table& table, std::size_t count_after) {
  const std::size_t capacity = table.capacity();
  // Abseil grows once its size reaches capacity - capacity / 8; one slot of margin stays clear of
  // it (platforms with 8-wide groups fill a capacity of 7 only up to 6).
  if (count_after < capacity - capacity / 8) [[likely]]
    return;
  // Doubling keeps the cost amortized when a table is reserved one insertion at a time.
  rebuild_aside(table, std::max(count_after, 2 * table.size()));
}

// Enters a new element, its room made aside first, so that a failed growth leaves `table` as it
// was. Returns what `emplace` returns. The arguments should only move or copy values in: an element
// constructor that throws inside the table corrupts it.
// REQUIRES: as reserve_aside.
template <class Table, class... Args>
auto emplace_aside(Table& table, Args&&... args) {
  reserve_aside(table, table.size() + 1);
  return table.emplace(std::forward<Args>(args)...);
}

// A copy of `table` made without Abseil's copy constructor, which fails like its growth.
template <class Table>
Table copy_aside(const Table& table) {
  Table copy(room_for(table.size()), table.hash_function(), table.key_eq(), table.get_allocator());
  for (const auto& element : table) {
    typename Table::init_type entry(element);
    copy.insert(std::move(entry));
  }
  return copy;
}

}  // namespace tarnvel
