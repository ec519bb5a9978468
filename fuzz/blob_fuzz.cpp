// Fuzzes the blob reader. Any input must either fail with a BlobError or give a store whose blob is
// canonical: reading that blob back and writing it again reproduces it byte for byte.
#include <cstdio>
#include <cstdlib>

#include "serialize/blob.hpp"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "blob_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto store = tarnvel::deserialize(std::span<const std::uint8_t>(data, size));
  if (!store) {
    require(!store.error().message().empty(), "every blob error has a message");
    return 0;
  }
  const tarnvel::GraphStore& first = **store;
  auto bytes = tarnvel::serialize_with(first, first.outputs());
  require(bytes.has_value(), "a store read from a blob fits the blob format");

  auto again = tarnvel::deserialize(*bytes);
  require(again.has_value(), "the writer's blob reads back");
  const tarnvel::GraphStore& second = **again;
  require(second.node_count() == first.node_count(), "the writer's blob repeats no record");
  require(second.outputs() == first.outputs(), "marks survive in mark order");
  auto bytes_again = tarnvel::serialize_with(second, second.outputs());
  require(bytes_again.has_value() && *bytes_again == *bytes, "the round trip is byte-identical");
  return 0;
}
