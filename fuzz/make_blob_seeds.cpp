// Writes the seed corpus of blob_fuzz into a directory: blobs made by the writer that cover every
// node kind, param tag and stage reference kind, and damaged copies that reach each error.
//
//   make_blob_seeds DIR
#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "seed_corpus.hpp"
#include "serialize/blob.hpp"

namespace tarnvel {
namespace {

ParamMap params(std::initializer_list<std::pair<const char*, ParamValue>> pairs) {
  ParamMap::Pairs out;
  for (const auto& [key, value] : pairs) out.push_back(Param{Text(key), value});
  return ParamMap(std::move(out));
}

NodeId add(GraphStore& store, NodeKey key) { return *store.intern(std::move(key)); }

std::string write(const GraphStore& store, std::vector<NodeId> outputs) {
  return *serialize_with(store, outputs);
}

std::string every_kind() {
  GraphStore store;
  const NodeId x = add(
      store,
      NodeKey::source(
          "x", params({{"i", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
                       {"max", ParamValue::of_int(std::numeric_limits<std::int64_t>::max())},
                       {"nan", ParamValue::of_float(std::bit_cast<double>(0x7FF000000000BEEFULL))},
                       {"neg0", ParamValue::of_float(-0.0)},
                       {"inf", ParamValue::of_float(std::numeric_limits<double>::infinity())},
                       {"b", ParamValue::of_bool(false)},
                       {"s", ParamValue::of_str("caf\xC3\xA9 \xF0\x9F\x98\x80|;=%")}})));
  const NodeId w = add(store, NodeKey::source("w", {}));
  const NodeId y = add(store, NodeKey::op("add", params({{"k", ParamValue::of_int(2)}}), {x, x}));
  const NodeId r = add(store, NodeKey::reduction("sum", {}, {y, w}));
  const NodeId e = add(store, NodeKey::external({"onnx", "h", "torch", "2", "io", "prep"},
                                                params({{"t", ParamValue::of_bool(true)}}), {r}));
  add(store, NodeKey::external({"onnx", "h", "torch", "2", "io", std::nullopt}, {}, {}));
  const NodeId s =
      add(store,
          NodeKey::stage({x, e}, {StageOp{"op|neg", {StageRef::input(1)}},
                                  StageOp{"op|mul|k=i3", {StageRef::member(0), StageRef::input(0)}},
                                  StageOp{"red|sum", {StageRef::member(1), StageRef::input(7)}}}));
  const NodeId ex =
      add(store, NodeKey::exchange(params({{"scheme", ParamValue::of_str("hash")}}), {s}));
  add(store, NodeKey::join({}, {ex, y, w}));
  return write(store, {8, 2, 8, 0});
}

std::string chain(int length) {
  GraphStore store;
  NodeId last = add(store, NodeKey::source("in", {}));
  for (int i = 0; i < length; ++i) {
    last = add(store,
               NodeKey::op(i % 2 ? "neg" : "exp", params({{"i", ParamValue::of_int(i)}}), {last}));
  }
  return write(store, {last});
}

std::string single_source() {
  GraphStore store;
  add(store, NodeKey::source("x", {}));
  return write(store, {0});
}

}  // namespace
}  // namespace tarnvel

int main(int argc, char** argv) {
  const tarnvel::seeds::Corpus corpus(argc, argv);

  const std::string empty = *tarnvel::serialize_with(tarnvel::GraphStore(), {});
  const std::string kinds = tarnvel::every_kind();
  corpus.put("empty", empty);
  corpus.put("single-source", tarnvel::single_source());
  corpus.put("every-kind", kinds);
  corpus.put("chain", tarnvel::chain(64));
  corpus.put("trailing-bytes", kinds + "trailing");

  // Damaged copies: cut short, one byte changed, foreign magic, forged counts.
  for (std::size_t cut :
       {std::size_t{3}, std::size_t{7}, kinds.size() / 3, kinds.size() / 2, kinds.size() - 1}) {
    corpus.put("cut-" + std::to_string(cut), kinds.substr(0, cut));
  }
  for (std::size_t at = 8; at < kinds.size(); at += kinds.size() / 9) {
    std::string flipped = kinds;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
    corpus.put("flip-" + std::to_string(at), flipped);
  }
  corpus.put("magic-version", "TIR2" + kinds.substr(4));
  std::string huge = empty;
  huge.replace(4, 4, "\xFF\xFF\xFF\xFF");
  corpus.put("huge-node-count", huge);
  std::string repeated = tarnvel::single_source();
  repeated.replace(4, 1, "\x02");
  repeated.insert(8, repeated.substr(8, 10));  // the source record twice
  corpus.put("repeated-record", repeated);
  return 0;
}
