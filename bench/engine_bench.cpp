// canonicalize on engine graphs shaped like recorded programs: sources, chains of unary ops,
// binary ops that fan out from earlier results, commuted duplicates, identity ops and reductions.
//
// Run (Release): <build>/bench/engine_bench --benchmark_repetitions=5
//                 --benchmark_report_aggregates_only=true
// Linear cost means the 1,000,000-node median stays within about 10x the 100,000-node one.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "ir/fixed_operators.hpp"
#include "optimizer/saturation_engine.hpp"

namespace {

using tarnvel::EngineGraph;
using tarnvel::Node;
using tarnvel::OpId;

class Random {
 public:
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::size_t below(std::size_t bound) { return next() % bound; }

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1Du;
};

// The fixed id of the commutative operator `name`.
constexpr OpId commutative(std::string_view name) {
  OpId op = 0;
  while (tarnvel::kCommutativeNames[op] != name) ++op;
  return tarnvel::kFirstCommutativeOp + op;
}

// Operands are mostly recent results (chains), sometimes one of a few hub nodes that many ops
// read (fan-out from sources and shared parameters) and sometimes any earlier node; commuted
// duplicates restate a recent commutative op with its operands swapped.
//
// Operators are ids as a table gives them: the fixed ones for the operators the rules name, fresh
// ones from kFixedOperatorCount on for the rest, each source its own.
EngineGraph program_like_graph(std::size_t n) {
  constexpr OpId kNeg = tarnvel::kFixedOperatorCount, kExp = kNeg + 1, kLog = kNeg + 2,
                 kTimesTwo = kNeg + 3, kSub = kNeg + 4, kSum = kNeg + 5;
  constexpr OpId kUnary[] = {kNeg, kExp, kLog, kTimesTwo};
  constexpr OpId kBinary[] = {commutative("add"), commutative("mul"), kSub, commutative("maximum"),
                              commutative("and")};
  // add 0.0 with the scalar on the right, mul 1.0 with the scalar on the left
  constexpr OpId kIdentity[] = {tarnvel::kFirstIdentityOp, tarnvel::kFirstIdentityOp + 3};
  OpId next_source = kSum + 1;
  constexpr std::size_t kHubs = 64;
  Random random;
  EngineGraph graph;
  graph.nodes.reserve(n);
  std::vector<std::size_t> hubs;
  std::vector<std::size_t> commutative;  // recent commutative binary nodes
  const auto add = [&](OpId op, std::initializer_list<std::size_t> children) {
    Node& node = graph.nodes.emplace_back(Node{op, {}});
    for (std::size_t child : children) node.children.push_back(static_cast<std::uint32_t>(child));
    return graph.nodes.size() - 1;
  };
  const auto recent = [&] {
    const std::size_t size = graph.nodes.size();
    return size - 1 - random.below(size < 32 ? size : 32);
  };
  const auto operand = [&] {
    const std::size_t choice = random.below(10);
    if (choice < 6) return recent();
    if (choice < 9) return hubs[random.below(hubs.size())];
    return random.below(graph.nodes.size());
  };

  for (std::size_t i = 0; i < kHubs; ++i) {
    hubs.push_back(add(next_source++, {}));
  }
  while (graph.nodes.size() < n) {
    const std::size_t choice = random.below(100);
    if (choice < 2) {
      const std::size_t source = add(next_source++, {});
      hubs[random.below(kHubs)] = source;
    } else if (choice < 36) {
      add(kUnary[random.below(4)], {recent()});
    } else if (choice < 70) {
      const std::size_t op = random.below(5);
      const std::size_t node = add(kBinary[op], {recent(), operand()});
      if (op != 2) commutative.push_back(node);
      if (commutative.size() > 256) {
        commutative.erase(commutative.begin(), commutative.begin() + 128);
      }
    } else if (choice < 82 && !commutative.empty()) {
      const Node& original = graph.nodes[commutative[random.below(commutative.size())]];
      add(original.op, {original.children[1], original.children[0]});
    } else if (choice < 96) {
      add(kIdentity[random.below(2)], {recent()});
    } else {
      add(kSum, {recent()});
    }
  }
  for (std::size_t i = 0; i < 4; ++i) graph.outputs.push_back(n - 1 - i);
  return graph;
}

void BM_Canonicalize(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const EngineGraph graph = program_like_graph(n);
  const tarnvel::SaturationEngine engine;
  std::size_t canonical_nodes = 0;
  for (auto _ : state) {
    tarnvel::CanonicalGraph result = engine.canonicalize(graph);
    canonical_nodes = result.graph.nodes.size();
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.counters["canonical_nodes"] = static_cast<double>(canonical_nodes);
}
BENCHMARK(BM_Canonicalize)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
