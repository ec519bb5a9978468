#include "support/table_growth.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "support/chunked.hpp"

namespace tarnvel {
namespace {

// What the tables below may allocate: counted, and refused while `refuse` is set, as an exhausted
// address space would.
struct Allocations {
  bool refuse = false;
  std::size_t count = 0;
};
Allocations allocations;

template <class T>
struct RefusingAllocator {
  using value_type = T;
  RefusingAllocator() = default;
  template <class U>
  RefusingAllocator(const RefusingAllocator<U>&) {}  // NOLINT: rebinding is implicit
  T* allocate(std::size_t n) {
    ++allocations.count;
    if (allocations.refuse) throw std::bad_alloc();
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) { std::allocator<T>().deallocate(p, n); }
  friend bool operator==(const RefusingAllocator&, const RefusingAllocator&) { return true; }
};

using Set = absl::flat_hash_set<std::uint64_t, absl::Hash<std::uint64_t>, std::equal_to<>,
                                RefusingAllocator<std::uint64_t>>;

// Inserts `count` values after `first`, each after reserve_aside, and fails if an insertion
// itself allocates (it would then be the table's own growth, which can corrupt it).
void insert_one_at_a_time(Set& set, std::uint64_t first, std::size_t count) {
  for (std::uint64_t value = first; value < first + count; ++value) {
    reserve_aside(set, set.size() + 1);
    const std::size_t before = allocations.count;
    set.insert(value);
    ASSERT_EQ(allocations.count, before) << "inserting the element numbered " << set.size();
  }
}

class TableGrowth : public ::testing::Test {
 protected:
  void TearDown() override { allocations = {}; }
};

TEST_F(TableGrowth, InsertionsAfterReservingNeverGrowTheTable) {
  Set set;
  insert_one_at_a_time(set, 0, 5000);
  EXPECT_EQ(set.size(), 5000u);
  for (std::uint64_t value = 0; value < 5000; ++value) EXPECT_TRUE(set.contains(value));

  // One reservation ahead, or a table sized by room_for, covers a whole batch of any size.
  for (std::size_t batch : {1u, 6u, 7u, 8u, 14u, 15u, 100u, 112u, 113u, 4096u}) {
    Set reserved;
    reserve_aside(reserved, batch);
    Set sized(room_for(batch));
    const std::size_t before = allocations.count;
    for (std::uint64_t value = 0; value < batch; ++value) {
      reserved.insert(value);
      sized.insert(value);
    }
    EXPECT_EQ(allocations.count, before) << "batch of " << batch;
  }
}

TEST_F(TableGrowth, RebuildingAfterErasesClearsTombstones) {
  // Erased slots may stay as tombstones, which count against the room reserve_aside sees; a
  // rebuild gives a table that takes the reserved count again without growing.
  Set set;
  insert_one_at_a_time(set, 0, 1000);
  for (std::uint64_t value = 500; value < 1000; ++value) set.erase(value);
  rebuild_aside(set, 1000);
  EXPECT_EQ(set.size(), 500u);
  const std::size_t before = allocations.count;
  for (std::uint64_t value = 2000; value < 2500; ++value) set.insert(value);
  EXPECT_EQ(allocations.count, before);
  for (std::uint64_t value = 0; value < 500; ++value) EXPECT_TRUE(set.contains(value));
}

TEST_F(TableGrowth, FailedGrowthOrCopyLeavesTheTableWhole) {
  Set set;
  insert_one_at_a_time(set, 0, 100);
  while (set.size() + 1 < set.capacity() - set.capacity() / 8) set.insert(set.size());
  const std::size_t size = set.size();
  const std::size_t capacity = set.capacity();

  allocations.refuse = true;
  EXPECT_THROW(reserve_aside(set, size + 1), std::bad_alloc);
  EXPECT_THROW(copy_aside(set), std::bad_alloc);
  EXPECT_THROW(emplace_aside(set, std::uint64_t{size}), std::bad_alloc);
  allocations.refuse = false;

  EXPECT_FALSE(set.contains(size));
  EXPECT_EQ(set.size(), size);
  EXPECT_EQ(set.capacity(), capacity);
  for (std::uint64_t value = 0; value < size; ++value) EXPECT_TRUE(set.contains(value));
  EXPECT_TRUE(emplace_aside(set, std::uint64_t{size}).second);
  insert_one_at_a_time(set, size + 1, 1000);  // and it keeps working
  const Set copy = copy_aside(set);
  EXPECT_EQ(copy, set);
}

// A key whose copy fails once `copies_left` reaches zero, holding a string on the heap so that a
// slot destroyed without ever being constructed frees garbage.
int copies_left = 0;
struct FragileKey {
  std::string text;
  explicit FragileKey(std::string t) : text(std::move(t)) {}
  FragileKey(const FragileKey& other) : text(other.text) {
    if (copies_left-- == 0) throw std::bad_alloc();
  }
  FragileKey(FragileKey&&) noexcept = default;
  FragileKey& operator=(const FragileKey&) = default;
  friend bool operator==(const FragileKey&, const FragileKey&) = default;
  template <class H>
  friend H AbslHashValue(H state, const FragileKey& key) {
    return H::combine(std::move(state), key.text);
  }
};

TEST_F(TableGrowth, CopyWhoseElementFailsLeavesNoHalfBuiltSlot) {
  absl::flat_hash_map<FragileKey, int> map;
  for (int i = 0; i < 50; ++i) map.emplace(FragileKey(std::string(40, 'a') + std::to_string(i)), i);
  copies_left = 20;
  EXPECT_THROW(copy_aside(map), std::bad_alloc);  // the half-made copy is destroyed cleanly
  copies_left = 1 << 30;
  const auto copy = copy_aside(map);
  EXPECT_EQ(copy, map);
}

// Every index lands on its own element, which never moves; a small sequence has room for its size
// rounded up to a power of two (at least 16), a large one for whole chunks.
template <unsigned kBits>
void check_layout() {
  constexpr std::size_t kChunk = Chunked<std::uint32_t, kBits>::kChunkSize;
  Chunked<std::uint32_t, kBits> sequence;
  EXPECT_EQ(sequence.capacity(), 0u);
  std::vector<const std::uint32_t*> addresses;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    addresses.push_back(&sequence.emplace_back(i));
    const std::size_t size = i + 1;
    const std::size_t room = size <= kChunk ? std::max<std::size_t>(16, std::bit_ceil(size))
                                            : (size + kChunk - 1) / kChunk * kChunk;
    ASSERT_EQ(sequence.capacity(), room) << size;
  }
  ASSERT_EQ(sequence.size(), 1000u);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(sequence[i], i) << i;
    ASSERT_EQ(&sequence[i], addresses[i]) << i;
  }

  // A copy holds equal elements of its own; a moved-from sequence is empty and usable.
  Chunked<std::uint32_t, kBits> copy = sequence;
  Chunked<std::uint32_t, kBits> moved = std::move(sequence);
  EXPECT_EQ(moved.size(), 1000u);
  EXPECT_EQ(&moved[999], addresses[999]);
  for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(copy[i], i) << i;
  EXPECT_NE(&copy[0], addresses[0]);
  EXPECT_EQ(sequence.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from state is defined
  sequence.emplace_back(5u);
  EXPECT_EQ(sequence[0], 5u);
}

TEST(ChunkedTest, EveryElementKeepsItsIndexAndItsAddressAndSmallStaysSmall) {
  check_layout<4>();  // no growing chunk but the first
  check_layout<5>();
  check_layout<7>();
  check_layout<14>();
}

// A sequence that throws while constructing an element from a negative number.
struct Picky {
  explicit Picky(int v) : value(v) {
    if (v < 0) throw std::bad_alloc();
  }
  int value;
};

// Views of a sequence outlive appends and truncations past their end, reading the same elements at
// the same addresses: a frozen canonical form relies on this while a failed step rolls back.
TEST(ChunkedTest, TruncatingPastAViewNeverMovesOrChangesWhatItCovers) {
  using List = Chunked<Picky, 6>;
  constexpr std::size_t kChunk = List::kChunkSize;
  List list;
  for (std::size_t i = 0; i < 20; ++i) list.emplace_back(static_cast<int>(i));
  const List::View early = list.view();  // ends within the second of the growing chunks
  for (std::size_t i = 20; i < kChunk + 5; ++i) list.emplace_back(static_cast<int>(i));
  const List::View view = list.view();
  std::vector<const Picky*> addresses;
  for (std::size_t i = 0; i < view.size(); ++i) addresses.push_back(&view[i]);

  // Mid-chunk, across chunk ends, and to a chunk end, never below the view's end.
  for (std::size_t extra : {std::size_t{3}, 3 * kChunk}) {
    for (std::size_t i = 0; i < extra; ++i) list.emplace_back(7);
    list.truncate(view.size());
    EXPECT_EQ(list.capacity(), 2 * kChunk);  // the chunks past the end are freed
  }
  for (std::size_t i = view.size(); i < 2 * kChunk + 9; ++i) list.emplace_back(static_cast<int>(i));
  list.truncate(2 * kChunk);
  for (std::size_t i = 2 * kChunk; i < 3 * kChunk; ++i) list.emplace_back(static_cast<int>(i));
  ASSERT_EQ(list.size(), 3 * kChunk);
  for (std::size_t i = 0; i < list.size(); ++i) ASSERT_EQ(list[i].value, static_cast<int>(i));

  // A construction that fails at a chunk end leaves the list as it was and appending goes on.
  EXPECT_THROW(list.emplace_back(-1), std::bad_alloc);
  ASSERT_EQ(list.size(), 3 * kChunk);
  list.emplace_back(static_cast<int>(3 * kChunk));
  EXPECT_EQ(list[3 * kChunk].value, static_cast<int>(3 * kChunk));
  EXPECT_EQ(list.view().size(), 3 * kChunk + 1);

  for (std::size_t i = 0; i < view.size(); ++i) {
    ASSERT_EQ(&view[i], addresses[i]);
    ASSERT_EQ(view[i].value, static_cast<int>(i));
  }
  ASSERT_EQ(early.size(), 20u);
  for (std::size_t i = 0; i < early.size(); ++i) ASSERT_EQ(&early[i], addresses[i]);

  // Truncated to nothing and grown again, the list starts small.
  list.truncate(0);
  EXPECT_EQ(list.capacity(), 0u);
  list.emplace_back(1);
  EXPECT_EQ(list.capacity(), 16u);
  EXPECT_EQ(list.copy(0).front().value, 1);
}

}  // namespace
}  // namespace tarnvel
