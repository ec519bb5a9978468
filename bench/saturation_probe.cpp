// How the saturation run of a reduction goes: reads a blob, takes the nodes its outputs need, and
// canonicalizes them with the rewrite engine the module uses, printing one JSON object with the
// run's CPU time (the runner's clock, which the time limit is measured on), its iterations and its
// stop reason. bench/scale.py runs it on the programs it measures.
//
// Run: <build>/bench/saturation_probe PROGRAM.blob
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>
#include <variant>

#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"

namespace {

std::string reason_text(const tarnvel::egraph::StopReason& reason) {
  return std::visit(
      [](const auto& stop) -> std::string {
        using Reason = std::decay_t<decltype(stop)>;
        if constexpr (std::is_same_v<Reason, tarnvel::egraph::Saturated>) return "saturated";
        if constexpr (std::is_same_v<Reason, tarnvel::egraph::IterationLimit>)
          return "iteration limit";
        if constexpr (std::is_same_v<Reason, tarnvel::egraph::NodeLimit>) return "node limit";
        return "time limit";
      },
      reason);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: saturation_probe PROGRAM.blob\n");
    return 2;
  }
  // Each form is dropped once the next is made, so that a 100M-node program fits the machine.
  tarnvel::EngineGraph graph;
  {
    std::ifstream in(argv[1], std::ios::binary);
    auto store = [&] {
      const std::string bytes{std::istreambuf_iterator<char>(in), {}};
      return tarnvel::deserialize(bytes);
    }();
    if (!store) {
      std::fprintf(stderr, "saturation_probe: %s\n", store.error().message().c_str());
      return 1;
    }
    const std::vector<tarnvel::NodeId> outputs = (*store)->outputs();
    const auto cone = tarnvel::cone(**store, outputs);
    if (!cone) return 1;
    store->reset();
    graph = tarnvel::to_engine_graph((*cone)->nodes_view(), (*cone)->outputs());
  }
  tarnvel::SaturationRun run;
  const auto canonical = tarnvel::SaturationEngine().canonicalize(graph, run);
  std::printf(
      "{\"seconds\": %.6f, \"iterations\": %zu, \"stop_reason\": \"%s\", \"nodes\": %zu, "
      "\"canonical\": %zu}\n",
      std::chrono::duration<double>(run.time).count(), run.iterations,
      reason_text(*run.stop_reason).c_str(), graph.nodes.size(), canonical.graph.nodes.size());
  return 0;
}
