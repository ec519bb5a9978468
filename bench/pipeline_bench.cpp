// End-to-end reduction of a graph shaped like recorded dataflow programs: 64 chains of alternating
// elementwise ops with fan-out, commuted duplicates and identity ops, about 5% dead nodes and one
// output per chain. The counter "nodes/s" is input nodes per second; 100k to 1M should scale
// linearly.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "ir/node.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"

namespace tarnvel {
namespace {

constexpr int kChains = 64;

struct Program {
  std::unique_ptr<GraphStore> store = std::make_unique<GraphStore>();
  std::vector<NodeId> outputs;
};

ParamMap scalar_params(double scalar) {
  ParamMap::Pairs pairs;
  pairs.push_back(Param{Text("scalar"), ParamValue::of_float(scalar)});
  pairs.push_back(Param{Text("side"), ParamValue::of_str("r")});
  return ParamMap(std::move(pairs));
}

// One block per chain per round, round-robin over the chains:
//   a = neg(h); b = add(a, h); c = add(h, a) (commuted twin of b); i = c * 1.0 (identity);
//   m = mul(i, b), which canonicalizes to mul(b, b); every fourth block adds a dead exp(m).
Program make_program(std::size_t target_nodes) {
  Program program;
  program.store->reserve(target_nodes + 6 * kChains);
  auto add = [&](const NodeKey& key) { return program.store->intern(key).value(); };
  std::vector<NodeId> heads;
  for (int c = 0; c < kChains; ++c) {
    heads.push_back(add(NodeKey::source(Text("x" + std::to_string(c)), {})));
  }
  const ParamMap one = scalar_params(1.0);
  for (std::size_t round = 0; program.store->node_count() < target_nodes; ++round) {
    for (NodeId& h : heads) {
      const NodeId a = add(NodeKey::op("neg", {}, {h}));
      const NodeId b = add(NodeKey::op("add", {}, {a, h}));
      const NodeId c = add(NodeKey::op("add", {}, {h, a}));
      const NodeId i = add(NodeKey::op("mul", one, {c}));
      const NodeId m = add(NodeKey::op("mul", {}, {i, b}));
      if (round % 4 == 3) add(NodeKey::op("exp", {}, {m}));
      h = m;
    }
  }
  program.outputs = heads;
  return program;
}

void BM_ReduceWithMode(benchmark::State& state) {
  const Program program = make_program(static_cast<std::size_t>(state.range(0)));
  const NodesView nodes = program.store->nodes_view();
  const bool maximal = state.range(1) != 0;
  const SaturationEngine engine;
  for (auto _ : state) {
    Reduced reduced = reduce_with_mode(nodes, program.outputs, engine, maximal);
    benchmark::DoNotOptimize(reduced);
  }
  state.counters["nodes"] = static_cast<double>(nodes.size());
  state.counters["nodes/s"] = benchmark::Counter(
      static_cast<double>(nodes.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ReduceWithMode)
    ->ArgsProduct({{100'000, 1'000'000}, {0, 1}})
    ->ArgNames({"nodes", "maximal"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace tarnvel
