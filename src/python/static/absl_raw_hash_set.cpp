// Debian's libabsl_raw_hash_set.a is compiled as position-dependent code: its debug-order seed is a
// thread_local read through local-exec TLS relocations, which no linker accepts in a shared object.
// The static extension module therefore gets the archive member's few out-of-line definitions from
// here, compiled as PIC, and the linker never pulls the member in. Built only against the Abseil
// release it was written for (see src/python/CMakeLists.txt).
#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "absl/base/config.h"
#include "absl/base/internal/raw_logging.h"
#include "absl/container/internal/raw_hash_set.h"

#if ABSL_LTS_RELEASE_VERSION != 20220623
#error "written for Abseil 20220623: check raw_hash_set.h's out-of-line declarations again"
#endif

namespace absl {
ABSL_NAMESPACE_BEGIN
namespace container_internal {

// An empty table points at this group: it holds no full slot, so every probe stops at once.
alignas(16) ABSL_CONST_INIT ABSL_DLL const ctrl_t kEmptyGroup[16] = {
    ctrl_t::kSentinel, ctrl_t::kEmpty, ctrl_t::kEmpty, ctrl_t::kEmpty,
    ctrl_t::kEmpty,    ctrl_t::kEmpty, ctrl_t::kEmpty, ctrl_t::kEmpty,
    ctrl_t::kEmpty,    ctrl_t::kEmpty, ctrl_t::kEmpty, ctrl_t::kEmpty,
    ctrl_t::kEmpty,    ctrl_t::kEmpty, ctrl_t::kEmpty, ctrl_t::kEmpty};

// Only builds without NDEBUG call this, to shake out code that relies on insertion order.
bool ShouldInsertBackwards(size_t hash, const ctrl_t* ctrl) {
  static thread_local size_t counter = 0;
  return (H1(hash, ctrl) ^ ++counter) % 13 > 6;
}

void ConvertDeletedToEmptyAndFullToDeleted(ctrl_t* ctrl, size_t capacity) {
  assert(ctrl[capacity] == ctrl_t::kSentinel);
  assert(IsValidCapacity(capacity));
  for (ctrl_t* pos = ctrl; pos < ctrl + capacity; pos += Group::kWidth)
    Group{pos}.ConvertSpecialToEmptyAndFullToDeleted(pos);
  // The last group may have rewritten the sentinel and the cloned bytes: restore both.
  std::memcpy(ctrl + capacity + 1, ctrl, NumClonedBytes());
  ctrl[capacity] = ctrl_t::kSentinel;
}

void HashTableSizeOverflow() {
  ABSL_RAW_LOG(FATAL, "Hash table size overflow");
  std::abort();  // FATAL aborts already; this tells the compiler
}

template FindInfo find_first_non_full(const ctrl_t*, size_t, size_t);

}  // namespace container_internal
ABSL_NAMESPACE_END
}  // namespace absl
