#include "serialize/blob.hpp"

#include <array>
#include <bit>
#include <limits>

#include "gtest/gtest.h"
#include "ir/utf8.hpp"
#include "node_builders.hpp"
#include "test_random.hpp"

namespace tarnvel {
namespace {

// Hand-assembled blobs, little-endian whatever the host, for inputs the writer never produces.
class Blob {
 public:
  Blob& u8(std::uint8_t v) {
    bytes += static_cast<char>(v);
    return *this;
  }
  Blob& u32(std::uint32_t v) { return le(v, 4); }
  Blob& u64(std::uint64_t v) { return le(v, 8); }
  Blob& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    bytes += s;
    return *this;
  }
  Blob& ids(std::initializer_list<std::uint64_t> list) {
    u32(static_cast<std::uint32_t>(list.size()));
    for (std::uint64_t id : list) u64(id);
    return *this;
  }
  Blob& header(std::uint32_t records) {
    bytes += "TIR1";
    return u32(records);
  }
  Blob& source(std::string_view name) { return u8(0).str(name).u32(0); }
  Blob& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    return u8(1).str(name).u32(0).ids(inputs);
  }
  std::string bytes;

 private:
  Blob& le(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
};

NodeId add(GraphStore& store, NodeKey key) { return *store.intern(std::move(key)); }

std::string write(const GraphStore& store, std::vector<NodeId> outputs) {
  return *serialize_with(store, outputs);
}

std::string write(const GraphStore& store) { return write(store, store.outputs()); }

std::unique_ptr<GraphStore> read(std::string_view bytes) {
  auto store = deserialize(bytes);
  EXPECT_TRUE(store.has_value()) << store.error().message();
  return store ? std::move(*store) : std::make_unique<GraphStore>();
}

std::string read_error(std::string_view bytes) {
  auto store = deserialize(bytes);
  return store ? "accepted" : store.error().message();
}

constexpr std::uint64_t kNanWithPayload = 0x7FF000000000BEEFULL;

// Every kind, every param tag, both stage ref kinds, and floats whose bits equality would hide.
std::unique_ptr<GraphStore> every_kind_store() {
  auto store = std::make_unique<GraphStore>();
  const NodeId x =
      add(*store,
          NodeKey::source(
              "x", params({{"i", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
                           {"nan", ParamValue::of_float(std::bit_cast<double>(kNanWithPayload))},
                           {"neg0", ParamValue::of_float(-0.0)},
                           {"b", ParamValue::of_bool(true)},
                           {"s", ParamValue::of_str("\xC3\xA9t\xE2\x82\xAC \xF0\x9F\x98\x80")}})));
  const NodeId y = add(*store, NodeKey::op("add", {}, {x, x}));
  const NodeId r =
      add(*store, NodeKey::reduction("sum", params({{"axis", ParamValue::of_int(1)}}), {y}));
  PayloadDescriptor with_ref{"onnx", "h", "torch", "2", "io", std::string()};
  PayloadDescriptor without_ref{"onnx", "h", "torch", "2", "io", std::nullopt};
  const NodeId e = add(*store, NodeKey::external(with_ref, {}, {r}));
  add(*store, NodeKey::external(without_ref, {}, {r}));
  add(*store,
      NodeKey::stage({x, e}, {StageOp{"op|neg", {StageRef::input(1)}},
                              StageOp{"op|mul", {StageRef::member(0), StageRef::input(0)}}}));
  add(*store, NodeKey::exchange(params({{"scheme", ParamValue::of_str("hash")}}), {y, r}));
  add(*store, NodeKey::join({}, {}));
  return store;
}

TEST(BlobFormatTest, EmptyStoreIsTwelveBytes) {
  GraphStore empty;
  const std::string bytes = write(empty);
  EXPECT_EQ(bytes, std::string("TIR1\0\0\0\0\0\0\0\0", 12));
  auto back = read(bytes);
  EXPECT_EQ(back->node_count(), 0u);
  EXPECT_TRUE(back->outputs().empty());
}

// serialize_with returns exactly the measured bytes at every length: the string's growth policy
// (the capacity handed to its writing callback) must never leak into the blob's length.
TEST(BlobFormatTest, SerializedLengthIsTheMeasuredLengthAtEverySize) {
  for (std::size_t name_size = 0; name_size <= 300; ++name_size) {
    GraphStore store;
    const std::string name(name_size > 0 ? name_size - 1 : 0, 'x');
    if (name_size > 0) add(store, NodeKey::source(std::string_view(name), {}));
    const auto measured = BlobWriter::measure(store, {});
    ASSERT_TRUE(measured.has_value());
    std::string expected(measured->size(), '\0');
    measured->write(expected.data());
    const std::string blob = write(store, {});
    ASSERT_EQ(blob.size(), measured->size()) << "name of " << name_size - 1 << " bytes";
    EXPECT_EQ(blob, expected);
    EXPECT_EQ(write(*read(blob), {}), blob);
  }
}

TEST(BlobFormatTest, SingleSourceHasTheDocumentedBytes) {
  GraphStore store;
  add(store, NodeKey::source("x", {}));
  const std::string expected("TIR1\1\0\0\0\0\1\0\0\0x\0\0\0\0\1\0\0\0\0\0\0\0\0\0\0\0", 30);
  EXPECT_EQ(write(store, {0}), expected);
}

// The writer encodes each operator once and places its bytes around each node's inputs: shared
// operators, a Stage's members after its inputs, a Source without an input list and lists of more
// than two inputs must all come out as the records the format documents.
TEST(BlobFormatTest, SharedOperatorsAndLongInputListsHaveTheDocumentedBytes) {
  GraphStore store;
  const std::vector<StageOp> members = {{"op|neg", {StageRef::input(0)}},
                                        {"op|add", {StageRef::member(0), StageRef::input(2)}}};
  add(store, source("x"));
  add(store, op("neg", {0}));
  add(store, op("neg", {1}));
  add(store, stage({0, 1, 2}, members));
  add(store, stage({2, 1, 0}, members));
  add(store, NodeKey::join({}, {3, 4, 0}));
  add(store, NodeKey::exchange(params({{"k", ParamValue::of_int(7)}}), {5}));
  Blob expected;
  expected.header(7).source("x").op("neg", {0}).op("neg", {1});
  for (const auto inputs : {std::initializer_list<std::uint64_t>{0, 1, 2}, {2, 1, 0}}) {
    expected.u8(4).ids(inputs).u32(2);
    expected.str("op|neg").u32(1).u8(0).u32(0);
    expected.str("op|add").u32(2).u8(1).u32(0).u8(0).u32(2);
  }
  expected.u8(6).u32(0).ids({3, 4, 0});
  expected.u8(5).u32(1).str("k").u8(0).u64(7).ids({5});
  expected.ids({6, 0});
  EXPECT_EQ(write(store, {6, 0}), expected.bytes);
  const auto writer = BlobWriter::measure(store, std::vector<NodeId>{6, 0});
  ASSERT_TRUE(writer.has_value());
  EXPECT_EQ(writer->size(), expected.bytes.size());
}

TEST(BlobFormatTest, RoundTripKeepsIdsMarksAndFloatBits) {
  auto store = every_kind_store();
  ASSERT_TRUE(store->mark_output(5).has_value());
  ASSERT_TRUE(store->mark_output(1).has_value());
  const std::string bytes = write(*store);
  auto back = read(bytes);
  EXPECT_EQ(back->snapshot().nodes, store->snapshot().nodes);
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{5, 1}));
  EXPECT_TRUE(back->node_map().empty());
  EXPECT_EQ(write(*back), bytes);

  // Key equality canonicalizes NaN, so compare the stored bits directly.
  const Snapshot read_back = back->snapshot();
  const ParamMap& p = read_back.nodes[0].params();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(p[2].value.as_float()), kNanWithPayload);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(p[3].value.as_float()),
            std::bit_cast<std::uint64_t>(-0.0));
}

TEST(BlobFormatTest, OutputsAreWrittenVerbatimAndOnlyTheirSectionDiffers) {
  auto store = every_kind_store();
  const std::string a = write(*store, {2, 2, 0});
  const std::string b = write(*store, {});
  EXPECT_EQ(write(*store, {2, 2, 0}), a);
  const std::size_t records_end = b.size() - 4;
  EXPECT_EQ(a.substr(0, records_end), b.substr(0, records_end));
  EXPECT_EQ(a.size(), b.size() + 3 * 8);
  EXPECT_EQ(read(a)->outputs(), (std::vector<NodeId>{2, 0}));  // duplicates are marked once
}

TEST(BlobFormatTest, PutParamsAppendsTheSortedMap) {
  std::string buffer = "head";
  ASSERT_TRUE(
      put_params(buffer, params({{"b", ParamValue::of_bool(true)}, {"a", ParamValue::of_int(-2)}}))
          .has_value());
  const std::string expected =
      Blob().u32(2).str("a").u8(0).u64(static_cast<std::uint64_t>(-2)).str("b").u8(2).u8(1).bytes;
  EXPECT_EQ(buffer, "head" + expected);
}

TEST(BlobLimitTest, CountsAboveThirtyTwoBitsAreRefusedByName) {
  EXPECT_TRUE(check_blob_limit(kBlobMaxCount, BlobLimit::NodeCount).has_value());
  auto refused = check_blob_limit(kBlobMaxCount + 1, BlobLimit::StringLength);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "string length exceeds the blob format's 32-bit limit");
  EXPECT_EQ(BlobLimitError{BlobLimit::NodeCount}.message(),
            "node count exceeds the blob format's 32-bit limit");
}

TEST(BlobLimitTest, TheLargestStageRefIndexIsWritten) {
  GraphStore store;
  const NodeId x = add(store, NodeKey::source("x", {}));
  add(store, NodeKey::stage({x}, {StageOp{"op|neg", {StageRef::input(kBlobMaxCount)}}}));
  ASSERT_TRUE(serialize_with(store, {}).has_value());
}

TEST(BlobReaderErrorTest, ShortOrForeignHeaders) {
  for (std::size_t n = 0; n < 4; ++n)
    EXPECT_EQ(read_error(std::string("TIR1").substr(0, n)), "truncated tarnvel IR blob");
  for (std::size_t n = 4; n < 8; ++n)
    EXPECT_EQ(read_error(std::string("TIR1\0\0\0", n)), "truncated tarnvel IR blob");
  for (const std::string& foreign : {std::string("XXXX"), std::string("TIR2\0\0\0\0", 8),
                                     std::string("tir1\0\0\0\0\0\0\0\0", 12)}) {
    EXPECT_EQ(read_error(foreign), "not a tarnvel IR blob (bad magic/version)") << foreign;
  }
}

TEST(BlobReaderErrorTest, UnknownTagsNameTheirField) {
  EXPECT_EQ(read_error(Blob().header(1).u8(7).bytes), "invalid node tag 7");
  EXPECT_EQ(read_error(Blob().header(1).u8(0).str("x").u32(1).str("k").u8(4).bytes),
            "invalid param tag 4");
  const Blob stage = Blob().header(2).source("x").u8(4).ids({0}).u32(1).str("op|neg").u32(1);
  EXPECT_EQ(read_error(Blob(stage).u8(2).u32(0).bytes), "invalid stage-ref tag 2");
}

TEST(BlobReaderErrorTest, ReferencesMustNameEarlierRecords) {
  const Blob three = Blob().header(4).source("a").op("b", {0}).op("c", {0, 1});
  EXPECT_EQ(read_error(Blob(three).op("d", {0, 3}).bytes), "node reference 3 out of range");
  EXPECT_EQ(read_error(Blob(three).op("d", {9}).bytes), "node reference 9 out of range");
  EXPECT_EQ(read_error(Blob().header(1).source("a").u32(1).u64(1).bytes),
            "node reference 1 out of range");
  const Blob member0 = Blob().header(2).source("x").u8(4).ids({0}).u32(1).str("op|neg").u32(1);
  EXPECT_EQ(read_error(Blob(member0).u8(1).u32(0).bytes), "node reference 0 out of range");
}

TEST(BlobReaderErrorTest, EveryProperPrefixIsTruncated) {
  const std::string bytes = write(*every_kind_store(), {0, 7});
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    ASSERT_EQ(read_error(bytes.substr(0, n)), "truncated tarnvel IR blob") << n << " bytes";
  }
}

TEST(BlobReaderErrorTest, HugeDeclaredCountsWithFewBytesAreTruncated) {
  constexpr std::uint32_t huge = 0xFFFFFFFF;
  const Blob one = Blob().header(1);
  const std::string cases[] = {
      Blob().header(huge).source("x").bytes,                          // records
      Blob(one).u8(0).u32(huge).bytes,                                // string length
      Blob(one).u8(0).str("x").u32(huge).str("k").u8(2).u8(1).bytes,  // params
      Blob(one).u8(5).u32(0).u32(huge).bytes,                         // inputs
      Blob(one).u8(4).u32(0).u32(huge).bytes,                         // members
      Blob(one).u8(4).u32(0).u32(1).str("t").u32(huge).u8(0).u32(0).bytes,  // refs
      Blob().header(0).u32(huge).u32(0).bytes,                        // outputs
  };
  for (const std::string& bytes : cases) EXPECT_EQ(read_error(bytes), "truncated tarnvel IR blob");
}

TEST(BlobUtf8Test, OnlyWellFormedUtf8IsAccepted) {
  for (std::string_view good : {"", "plain ascii, longer than eight", "\x7F", "\xC2\x80",
                                "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "12345678\xE2\x82\xAC"}) {
    EXPECT_TRUE(is_valid_utf8(good)) << good;
  }
  for (std::string_view bad :
       {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xE2\x82",
        "1234567\xE2\x82", "\xC3\x28", "\xF0\x90\x80\x7F"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << testing::PrintToString(bad);
  }
}

// Decoding yields the code point and moves past it; a sequence that is not well-formed (here a
// surrogate, an overlong form and a truncated one) yields nothing and leaves the position alone.
TEST(BlobUtf8Test, DecodingGivesCodePointsAndStopsAtMalformedBytes) {
  const std::string_view text = "\xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80";  // é ✓ 😀
  std::size_t i = 0;
  EXPECT_EQ(decode_utf8(text, i), char32_t{0xE9});
  EXPECT_EQ(decode_utf8(text, i), char32_t{0x2713});
  EXPECT_EQ(decode_utf8(text, i), char32_t{0x1F600});
  EXPECT_EQ(i, text.size());
  for (const std::string_view bad : {"\xED\xA0\x80", "\xC0\xAF", "\xE2\x9C"}) {
    std::size_t at = 0;
    EXPECT_FALSE(decode_utf8(bad, at).has_value());
    EXPECT_EQ(at, 0u);
  }
}

TEST(BlobUtf8Test, NamesValuesAndTokensAreChecked) {
  const std::string bad = "\xED\xA0\x80";  // a surrogate
  const char* message = "invalid utf-8 in tarnvel IR blob";
  EXPECT_EQ(read_error(Blob().header(1).source(bad).bytes), message);
  EXPECT_EQ(read_error(Blob().header(1).u8(0).str("x").u32(1).str("k").u8(3).str(bad).bytes),
            message);
  EXPECT_EQ(read_error(Blob().header(1).u8(4).u32(0).u32(1).str(bad).bytes), message);
}

// A record whose head (tag, name, params) repeats an earlier one's bytes is read without parsing
// the head again; heads that differ only in param order still become one operator, and a record
// that breaks off after a known head is still reported.
TEST(BlobReaderLeniencyTest, RepeatedHeadsReadAsTheirFirstReading) {
  const auto scaled = [](Blob& blob, bool sorted, std::uint64_t input) -> Blob& {
    blob.u8(1).str("mul").u32(2);
    if (sorted) {
      blob.str("scalar").u8(1).u64(std::bit_cast<std::uint64_t>(2.0)).str("side").u8(3).str("r");
    } else {
      blob.str("side").u8(3).str("r").str("scalar").u8(1).u64(std::bit_cast<std::uint64_t>(2.0));
    }
    return blob.ids({input});
  };
  Blob blob;
  blob.header(5).source("x");
  scaled(blob, true, 0);
  scaled(blob, true, 1);
  scaled(blob, false, 2);
  scaled(blob, false, 0);  // the same node as record 1
  blob.ids({4});
  const auto store = read(blob.bytes);
  ASSERT_EQ(store->node_count(), 4u);
  EXPECT_EQ(store->node(1)->node().key(), scalar_op("mul", 2.0, "r", {0}));
  EXPECT_EQ(store->node(2)->node().key(), scalar_op("mul", 2.0, "r", {1}));
  EXPECT_EQ(store->node(3)->node().key(), scalar_op("mul", 2.0, "r", {2}));
  EXPECT_EQ(store->outputs(), (std::vector<NodeId>{1}));

  Blob cut;
  cut.header(3).source("x");
  scaled(cut, true, 0);
  cut.u8(1).str("mul").u32(2).str("scalar").u8(1).u64(std::bit_cast<std::uint64_t>(2.0));
  cut.str("side").u8(3).str("r").u32(1);  // the input list breaks off
  EXPECT_EQ(read_error(cut.bytes), "truncated tarnvel IR blob");
  Blob forward = Blob().header(2).source("x");
  scaled(forward, true, 0).bytes.pop_back();  // drops the last byte of record 1's input
  EXPECT_EQ(read_error(forward.bytes), "truncated tarnvel IR blob");
}

TEST(BlobReaderLeniencyTest, TrailingBytesAreIgnored) {
  const std::string bytes = write(*every_kind_store(), {3});
  EXPECT_EQ(write(*read(bytes + "trailing")), bytes);
}

TEST(BlobReaderLeniencyTest, ParamsAreSortedStablyAndNonZeroBytesAreTrue) {
  const std::string bytes = Blob()
                                .header(1)
                                .u8(0)
                                .str("x")
                                .u32(4)
                                .str("b")
                                .u8(2)
                                .u8(7)
                                .str("a")
                                .u8(0)
                                .u64(1)
                                .str("a")
                                .u8(0)
                                .u64(2)
                                .str("")
                                .u8(1)
                                .u64(0)
                                .u32(0)
                                .bytes;
  auto back = read(bytes);
  const NodeKey expected = NodeKey::source("x", params({{"", ParamValue::of_float(0.0)},
                                                        {"a", ParamValue::of_int(1)},
                                                        {"a", ParamValue::of_int(2)},
                                                        {"b", ParamValue::of_bool(true)}}));
  EXPECT_EQ(back->snapshot().nodes[0], expected);
  EXPECT_NE(write(*back), bytes);  // the input was not canonical
}

TEST(BlobReaderLeniencyTest, PresenceByteAndStageInputRefsAreTakenAsWritten) {
  const std::string bytes = Blob()
                                .header(3)
                                .source("x")
                                .u8(3)
                                .str("k")
                                .str("h")
                                .str("f")
                                .str("v")
                                .str("io")
                                .u8(9)
                                .str("")
                                .u32(0)
                                .ids({0})
                                .u8(4)
                                .ids({0})
                                .u32(1)
                                .str("op|neg")
                                .u32(1)
                                .u8(0)
                                .u32(12345)
                                .u32(0)
                                .bytes;
  auto back = read(bytes);
  const auto nodes = back->snapshot().nodes;
  EXPECT_EQ(nodes[1].descriptor().preprocessing_ref, std::optional<std::string>(""));
  EXPECT_EQ(nodes[2].members()[0].refs[0], StageRef::input(12345));  // beyond the stage's 1 input
}

// A record equal to an earlier one becomes the earlier node; later references by record position
// must follow it, or they would name whatever node took that position instead.
TEST(BlobReaderLeniencyTest, RepeatedRecordsTranslateLaterReferences) {
  const std::string bytes = Blob()
                                .header(5)
                                .source("a")
                                .source("b")
                                .source("a")  // record 2 repeats record 0
                                .op("f", {2})
                                .op("g", {1, 3})
                                .u32(3)
                                .u64(2)
                                .u64(4)
                                .u64(3)
                                .bytes;
  auto back = read(bytes);
  GraphStore expected;
  const NodeId a = add(expected, NodeKey::source("a", {}));
  const NodeId b = add(expected, NodeKey::source("b", {}));
  const NodeId f = add(expected, NodeKey::op("f", {}, {a}));
  const NodeId g = add(expected, NodeKey::op("g", {}, {b, f}));
  EXPECT_EQ(back->snapshot().nodes, expected.snapshot().nodes);
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{a, g, f}));
  // Positions are still checked against the records, not the smaller store.
  EXPECT_EQ(read_error(Blob().header(2).source("a").source("a").u32(1).u64(1).bytes), "accepted");
  EXPECT_EQ(read_error(Blob().header(2).source("a").source("a").u32(1).u64(2).bytes),
            "node reference 2 out of range");
}

// Many repeats, many references to the last few records, and stages in between: the reader, which
// reads records ahead of interning them and resolves repeated member texts once, must give what
// interning the translated records one at a time gives.
TEST(BlobReaderLeniencyTest, RandomRepeatsReadAsRecordByRecordInterning) {
  TestRandom random;
  const auto below = [&](std::uint64_t bound) { return random.below(bound); };
  constexpr std::uint32_t kRecords = 3000;
  Blob blob;
  blob.header(kRecords);
  GraphStore expected;
  std::vector<NodeId> became;
  std::vector<bool> repeated;  // by record: it became an earlier record's node
  std::size_t after_repeat = 0;  // references to a recent record at or after a repeat
  for (std::uint32_t k = 0; k < kRecords; ++k) {
    const auto pick = [&] {
      if (below(4) == 0) return below(k);
      const std::uint64_t recent = k - 1 - below(std::min<std::uint64_t>(k, 10));
      const std::uint64_t from = recent < 9 ? 0 : recent - 9;
      bool shifted = false;
      for (std::uint64_t r = from; r <= recent; ++r) shifted = shifted || repeated[r];
      after_repeat += shifted ? 1 : 0;
      return recent;
    };
    const std::string name(1, static_cast<char>('a' + below(3)));
    const std::size_t size = expected.node_count();
    if (k < 2 || below(5) == 0) {
      blob.source(name);
      became.push_back(add(expected, NodeKey::source(Text(name), {})));
    } else if (below(10) == 0) {
      // Members spelled as an operator's token, or read as one but not written as one.
      const std::uint64_t input = pick();
      const char* member = std::array{"op|neg", "op|neg|", "red|sum"}[below(3)];
      blob.u8(4).u32(1).u64(input).u32(1).str(member).u32(1).u8(0).u32(0);
      became.push_back(
          add(expected, NodeKey::stage({became[input]}, {StageOp{member, {StageRef::input(0)}}})));
    } else {
      const std::uint64_t first = pick();
      const std::uint64_t second = below(std::min<std::uint64_t>(k, 4));
      blob.u8(1).str(name).u32(0).u32(2).u64(first).u64(second);
      became.push_back(add(expected, NodeKey::op(Text(name), {}, {became[first], became[second]})));
    }
    repeated.push_back(expected.node_count() == size);
  }
  blob.u32(2).u64(kRecords - 1).u64(0);
  const auto back = read(blob.bytes);
  EXPECT_GT(after_repeat, 100u);  // the case is about these
  EXPECT_EQ(back->snapshot().nodes, expected.snapshot().nodes);
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{became[kRecords - 1], became[0]}));
}

TEST(BlobReaderLeniencyTest, TranslationCanMergeRecordsThatDifferedInTheBlob) {
  auto back = read(Blob().header(4).source("a").source("a").op("f", {0}).op("f", {1}).u32(0).bytes);
  EXPECT_EQ(back->node_count(), 2u);
}

}  // namespace
}  // namespace tarnvel
