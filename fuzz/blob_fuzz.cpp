// Fuzzes the blob reader. Any input must either fail with a BlobError or give a store whose blob is
// canonical: reading that blob back and writing it again reproduces it byte for byte. A store read
// from a blob is then put through everything a caller can do with it (a blob is valid input even
// when its stage references point past their stage's inputs): rendering, the node view's token
// parsing, the cone, both reductions and the incremental reducer, none of which may fail.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "ir/token.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "blob_fuzz: %s\n", what);
  std::abort();
}

// Reductions are the slow part: only small stores take them, so the reader keeps most of the time.
constexpr std::uint64_t kMaxReducedNodes = 64;

void use_everywhere(const tarnvel::GraphStore& store) {
  static const tarnvel::SaturationEngine engine;
  require(!store.to_dot().empty(), "every store renders");
  const tarnvel::Snapshot snapshot = store.snapshot();
  for (const tarnvel::NodeKey& node : snapshot.nodes) {
    if (node.kind() != tarnvel::NodeKind::Stage) continue;
    for (const tarnvel::StageOp& member : node.members())
      if (const tarnvel::Text* text = member.text()) (void)tarnvel::parse_op_token(text->view());
  }
  if (snapshot.nodes.size() > kMaxReducedNodes) return;
  auto coned = tarnvel::cone(store, snapshot.outputs);
  require(coned.has_value(), "the marks have a cone");
  const std::vector<tarnvel::NodeMapEntry> map = (*coned)->node_map();
  std::vector<tarnvel::NodeId> landed;
  for (tarnvel::NodeId output : snapshot.outputs) {
    require(output < map.size() && map[output].has_value(), "every mark is kept by its cone");
    landed.push_back(map[output]->node);
  }
  require((*coned)->outputs() == landed, "the cone is marked with where the marks landed");
  for (bool maximal_fusion : {false, true}) {
    const tarnvel::ReducedStore reduced = tarnvel::reduce_with(store, engine, maximal_fusion);
    const tarnvel::ReductionReport& report = reduced.second;
    require(report.input_nodes == snapshot.nodes.size(), "the report counts the input");
    require(report.reduced_nodes == reduced.first->node_count(), "the report counts the result");
    require(report.canonical_nodes <= report.reachable_nodes, "canonicalization never adds nodes");
    auto blob = tarnvel::serialize_with(*reduced.first, reduced.first->outputs());
    require(blob && tarnvel::deserialize(*blob).has_value(), "a reduced store round trips");
  }
  auto reducer = std::make_unique<tarnvel::IncrementalReducer>();
  auto consumed = reducer->step(store.identity(), store.nodes_view(), SIZE_MAX);
  require(consumed && *consumed == snapshot.nodes.size(), "a store's own nodes step in one go");
  auto finalized = reducer->finalize(store.identity(), snapshot.outputs, engine, false);
  require(finalized.has_value(), "the marks finalize");
  (void)tarnvel::from_reduced(std::move(*finalized));
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
  use_everywhere(first);
  return 0;
}
