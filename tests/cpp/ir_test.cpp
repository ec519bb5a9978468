#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "absl/hash/hash.h"
#include "gtest/gtest.h"
#include "ir/node.hpp"
#include "ir/token.hpp"
#include "node_builders.hpp"

namespace tarnvel {
namespace {

void expect_same_key(const NodeKey& a, const NodeKey& b) {
  EXPECT_EQ(a, b);
  EXPECT_EQ(absl::HashOf(a), absl::HashOf(b));
}

TEST(TextTest, InlineAndHeapFormsBehaveAsStrings) {
  const std::string long_text(100, 'x');
  Text small("abc"), big(long_text), exactly15("123456789012345");
  EXPECT_EQ(small.view(), "abc");
  EXPECT_EQ(big.view(), long_text);
  EXPECT_EQ(exactly15.view(), "123456789012345");
  Text copy = big;
  Text moved = std::move(copy);
  EXPECT_EQ(moved.view(), long_text);
  EXPECT_TRUE(copy.empty());
  moved = small;
  EXPECT_EQ(moved, small);
  EXPECT_EQ(Text(std::string_view("a\0b", 3)).size(), 3u);
}

// Copies of a long text share one block, which must outlive every copy but the last, whichever
// goes first and on whichever thread.
TEST(TextTest, ConcurrentCopiesOfALongTextShareItsBytesSafely) {
  const std::string long_text(40, 'y');
  auto original = std::make_unique<Text>(long_text);
  std::vector<Text> copies(64, *original);
  EXPECT_EQ(copies[0].view().data(), original->view().data());
  original.reset();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&copies, t] {
      for (std::size_t i = static_cast<std::size_t>(t); i < copies.size(); i += 4) {
        Text local = copies[i];
        copies[i] = Text("short");
        EXPECT_EQ(local.view(), std::string(40, 'y'));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(NodeIdentityTest, FloatsCompareByCanonicalBits) {
  const double nan_a = std::numeric_limits<double>::quiet_NaN();
  const double nan_b = std::bit_cast<double>(0x7FF0000000000123ULL);
  expect_same_key(op("f", {}, params({{"v", ParamValue::of_float(nan_a)}})),
                  op("f", {}, params({{"v", ParamValue::of_float(nan_b)}})));
  EXPECT_NE(ParamValue::of_float(0.0), ParamValue::of_float(-0.0));
}

TEST(NodeIdentityTest, ValueTagsAreDistinct) {
  const ParamValue values[] = {ParamValue::of_int(1), ParamValue::of_float(1.0),
                               ParamValue::of_bool(true), ParamValue::of_str("1")};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_EQ(values[i] == values[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(NodeIdentityTest, InputOrderKindAndRepeatsCount) {
  EXPECT_NE(op("sub", {0, 1}), op("sub", {1, 0}));
  EXPECT_NE(op("neg", {0, 0}), op("neg", {0}));
  EXPECT_NE(op("sum", {0}), NodeKey::reduction("sum", {}, {0}));
  EXPECT_NE(NodeKey::exchange({}, {0}), NodeKey::join({}, {0}));
}

TEST(NodeIdentityTest, DescriptorAbsentRefDiffersFromEmpty) {
  PayloadDescriptor absent{"model", "h", "torch", "2", "io", std::nullopt};
  PayloadDescriptor empty = absent;
  empty.preprocessing_ref = "";
  EXPECT_NE(NodeKey::external(absent, {}, {}), NodeKey::external(empty, {}, {}));
  expect_same_key(NodeKey::external(absent, {}, {0}), NodeKey::external(absent, {}, {0}));
}

TEST(NodeIdentityTest, StagesCompareMembers) {
  const StageOp a{"op|neg", {StageRef::input(0)}};
  const StageOp b{"op|abs", {StageRef::input(0)}};
  expect_same_key(NodeKey::stage({0}, {a}), NodeKey::stage({0}, {a}));
  EXPECT_NE(NodeKey::stage({0}, {a}), NodeKey::stage({0}, {b}));
  EXPECT_NE(NodeKey::stage({0}, {StageOp{"op|neg", {StageRef::member(0)}}}),
            NodeKey::stage({0}, {a}));
}

TEST(ParamMapTest, SortsStablyByKeyBytes) {
  const ParamMap forward = params(
      {{"B", ParamValue::of_int(1)}, {"a", ParamValue::of_int(2)}, {"ab", ParamValue::of_int(3)}});
  const ParamMap backward = params(
      {{"ab", ParamValue::of_int(3)}, {"a", ParamValue::of_int(2)}, {"B", ParamValue::of_int(1)}});
  expect_same_key(op("f", {}, forward), op("f", {}, backward));
  EXPECT_EQ(forward.token(), "B=i1;a=i2;ab=i3");
  const ParamMap repeated = params(
      {{"k", ParamValue::of_int(2)}, {"a", ParamValue::of_int(0)}, {"k", ParamValue::of_int(1)}});
  EXPECT_EQ(repeated.token(), "a=i0;k=i2;k=i1");
}

// Keys of the kinds a view can hold, differing in one part each; names and strings cross the
// hash's 4-, 8- and 16-byte load boundaries.
std::vector<NodeKey> viewable_keys() {
  std::vector<NodeKey> keys;
  for (const char* name : {"", "a", "abc", "abcd", "abcdefg", "abcdefgh", "abcdefghi",
                           "abcdefghijklmnop", "abcdefghijklmnopq"}) {
    keys.push_back(op(name, {0}, {}));
  }
  for (const ParamValue& value :
       {ParamValue::of_int(1), ParamValue::of_float(1.0), ParamValue::of_bool(true),
        ParamValue::of_str("1"), ParamValue::of_int(-1), ParamValue::of_float(0.0),
        ParamValue::of_float(-0.0), ParamValue::of_float(std::numeric_limits<double>::quiet_NaN()),
        ParamValue::of_str(""), ParamValue::of_str(std::string(40, 's'))}) {
    keys.push_back(op("f", {0}, params({{"k", value}})));
  }
  keys.push_back(
      op("f", {0}, params({{"k", ParamValue::of_int(1)}, {"j", ParamValue::of_int(1)}})));
  keys.push_back(op("f", {1, 0}));
  keys.push_back(op("f", {0, 1}));
  keys.push_back(op("f", {}));
  keys.push_back(NodeKey::source("f", {}));
  keys.push_back(NodeKey::reduction("f", {}, {0}));
  keys.push_back(NodeKey::exchange(params({{"k", ParamValue::of_int(1)}}), {0}));
  keys.push_back(NodeKey::join(params({{"k", ParamValue::of_int(1)}}), {0}));
  return keys;
}

struct OwnedView {
  std::vector<ParamView> params;
  KeyView view;
};
OwnedView view_of(const NodeKey& key) {
  OwnedView out;
  for (const Param& param : key.params()) out.params.push_back(param.view());
  out.view = KeyView{key.kind(), key.name(), out.params, key.inputs()};
  return out;
}

TEST(KeyViewTest, AViewMatchesCopiesToAndHashesAsExactlyItsKey) {
  const std::vector<NodeKey> keys = viewable_keys();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const OwnedView view = view_of(keys[i]);
    EXPECT_EQ(NodeKey(view.view), keys[i]) << i;
    EXPECT_EQ(structural_hash(view.view), structural_hash(keys[i])) << i;
    for (std::size_t j = 0; j < keys.size(); ++j) {
      EXPECT_EQ(keys[j].matches(view.view), i == j) << i << " vs " << j;
      if (i != j) {
        EXPECT_NE(structural_hash(keys[j]), structural_hash(keys[i])) << i << " vs " << j;
      }
    }
  }
  // Every NaN is one value, in a view as in a key.
  const NodeKey other_nan =
      op("f", {0},
         params({{"k", ParamValue::of_float(std::bit_cast<double>(0xFFF0000000000001ULL))}}));
  const NodeKey nan =
      op("f", {0}, params({{"k", ParamValue::of_float(std::numeric_limits<double>::quiet_NaN())}}));
  EXPECT_TRUE(nan.matches(view_of(other_nan).view));
  EXPECT_EQ(structural_hash(view_of(other_nan).view), structural_hash(nan));
}

TEST(WithInputsTest, ReplacesInputsOnlyAndKeepsSourcesAndMembers) {
  const NodeKey source = NodeKey::source("x", params({{"n", ParamValue::of_int(3)}}));
  EXPECT_EQ(source.with_inputs({4, 5}), source);
  const NodeKey stage =
      NodeKey::stage({1, 2}, {StageOp{"op|add", {StageRef::input(0), StageRef::input(1)}}});
  const NodeKey moved = stage.with_inputs({7, 8});
  EXPECT_EQ(std::vector<NodeId>(moved.inputs().begin(), moved.inputs().end()),
            (std::vector<NodeId>{7, 8}));
  EXPECT_EQ(moved.members()[0], stage.members()[0]);
  EXPECT_EQ(op("f", {1}).with_inputs({2}), op("f", {2}));
}

TEST(TokenTest, EscapingRoundTrips) {
  EXPECT_EQ(escape_token("a%;=|b"), "a%25%3B%3D%7Cb");
  EXPECT_EQ(unescape_token("a%25%3B%3D%7Cb"), "a%;=|b");
  EXPECT_EQ(unescape_token("%2"), "%2");
  EXPECT_EQ(unescape_token("%253B"), "%3B");  // "%" restored last: no double unescaping
}

TEST(TokenTest, ValueTokens) {
  EXPECT_EQ(ParamValue::of_int(-5).token(), "i-5");
  EXPECT_EQ(ParamValue::of_float(1.0).token(), "f3ff0000000000000");
  EXPECT_EQ(ParamValue::of_float(0.0).token(), "f0000000000000000");
  EXPECT_EQ(ParamValue::of_float(-0.0).token(), "f8000000000000000");
  EXPECT_EQ(ParamValue::of_float(std::bit_cast<double>(0xFFF0000000000001ULL)).token(),
            "f7ff8000000000000");
  EXPECT_EQ(ParamValue::of_bool(true).token(), "btrue");
  EXPECT_EQ(ParamValue::of_str("r;").token(), "sr%3B");
}

TEST(TokenTest, NodeTokens) {
  const ParamMap add_params =
      params({{"side", ParamValue::of_str("r")}, {"scalar", ParamValue::of_float(0.0)}});
  EXPECT_EQ(op("add", {0}, add_params).token(), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(op("add", {0, 1}).token(), "op|add");
  EXPECT_EQ(op("a|b", {}).token(), "op|a%7Cb");
  EXPECT_EQ(NodeKey::source("x", {}).token(), "src|x");
  EXPECT_EQ(NodeKey::reduction("sum", params({{"axis", ParamValue::of_int(0)}}), {0}).token(),
            "red|sum|axis=i0");
  EXPECT_EQ(NodeKey::exchange({}, {}).token(), "exch");
  EXPECT_EQ(NodeKey::join(params({{"how", ParamValue::of_str("inner")}}), {0, 1}).token(),
            "join|how=sinner");
  EXPECT_EQ(NodeKey::stage({}, {StageOp{}, StageOp{}}).token(), "stage|2");
  PayloadDescriptor d{"model", "abc", "torch", "2.1", "f32", std::nullopt};
  EXPECT_EQ(NodeKey::external(d, {}, {}).token(), "ext|model|abc|torch|2.1|f32|-");
  d.preprocessing_ref = "-";
  EXPECT_EQ(NodeKey::external(d, {}, {}).token(), "ext|model|abc|torch|2.1|f32|-");
}

TEST(LabelTest, DisplaysValuesForPeople) {
  const auto display = [](double v) { return ParamValue::of_float(v).display(); };
  EXPECT_EQ(display(1.0), "1");
  EXPECT_EQ(display(0.5), "0.5");
  EXPECT_EQ(display(1e21), "1000000000000000000000");
  EXPECT_EQ(display(-0.0), "-0");
  EXPECT_EQ(display(0.1), "0.1");
  EXPECT_EQ(display(1e-7), "0.0000001");
  // The fewest significant digits, not the exact binary value of a large integral double.
  EXPECT_EQ(display(1e23), "1" + std::string(23, '0'));
  EXPECT_EQ(display(0x1p64), "18446744073709552000");
  EXPECT_EQ(display(1e300), "1" + std::string(300, '0'));
  EXPECT_EQ(display(-1.5e-300), "-0." + std::string(299, '0') + "15");
  EXPECT_EQ(display(123.456), "123.456");
  EXPECT_EQ(display(std::nan("")), "NaN");
  EXPECT_EQ(display(-INFINITY), "-inf");
  EXPECT_EQ(ParamValue::of_str("a\"b\\c\t\r\n").display(), "\"a\\\"b\\\\c\\t\\r\\n\"");
  EXPECT_EQ(ParamValue::of_str(std::string("\0\x01\x7f", 3)).display(), "\"\\0\\u{1}\\u{7f}\"");
  EXPECT_EQ(ParamValue::of_str("é✓").display(), "\"é✓\"");
  // Invisible characters are shown by their decoded code points, whatever their byte length.
  EXPECT_EQ(ParamValue::of_str("a\u0085b\u200Bc\U0001F600").display(),
            "\"a\\u{85}b\\u{200b}c\U0001F600\"");
}

TEST(LabelTest, LabelsOfEveryKind) {
  EXPECT_EQ(op("add", {0}, params({{"k", ParamValue::of_int(2)}})).label(), "Op add {k=2}");
  EXPECT_EQ(NodeKey::source("a;b", {}).label(), "Source a;b");
  EXPECT_EQ(
      NodeKey::reduction(
          "sum", params({{"s", ParamValue::of_str("x")}, {"b", ParamValue::of_bool(false)}}), {0})
          .label(),
      "Reduction sum {b=false, s=\"x\"}");
  PayloadDescriptor d{"model", "abc", "torch", "2.1", "f32", "prep"};
  EXPECT_EQ(NodeKey::external(d, {}, {0}).label(), "External model:abc [torch 2.1]");
  EXPECT_EQ(NodeKey::stage({}, {StageOp{}, StageOp{}, StageOp{}}).label(), "Stage[3 members]");
  EXPECT_EQ(NodeKey::exchange({}, {}).label(), "Exchange");
  EXPECT_EQ(NodeKey::join(params({{"k", ParamValue::of_float(0.5)}}), {}).label(), "Join {k=0.5}");
}

TEST(ParseOpTokenTest, RoundTripsAwkwardKeys) {
  const ParamMap p = params({{"k=;|%", ParamValue::of_str("v;=|%x")},
                             {"min", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
                             {"nan", ParamValue::of_float(std::nan(""))},
                             {"neg", ParamValue::of_float(-0.0)},
                             {"t", ParamValue::of_bool(true)}});
  for (const NodeKey& key : {op("a|b;c", {0}, p), NodeKey::reduction("", p, {0})}) {
    auto parsed = parse_op_token(key.token());
    ASSERT_TRUE(parsed.has_value()) << key.token();
    EXPECT_EQ(parsed->kind, key.kind() == NodeKind::Op ? "op" : "red");
    EXPECT_EQ(parsed->name, key.name());
    EXPECT_EQ(parsed->params, key.params());
  }
}

TEST(ParseOpTokenTest, AcceptsLenientNumbers) {
  auto parsed = parse_op_token("op|f|a=f+3FF0000000000000;b=i+7;c=i-7;d=bfalse");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->params, params({{"a", ParamValue::of_float(1.0)},
                                    {"b", ParamValue::of_int(7)},
                                    {"c", ParamValue::of_int(-7)},
                                    {"d", ParamValue::of_bool(false)}}));
  auto empty_rest = parse_op_token("op|add|");
  ASSERT_TRUE(empty_rest.has_value());
  EXPECT_EQ(empty_rest->name, "add");
  EXPECT_TRUE(empty_rest->params.empty());
  EXPECT_TRUE(parse_op_token("red||").has_value());
}

TEST(ParseOpTokenTest, RefusesMalformedTokens) {
  for (const char* token : {"src|x",
                            "ext|a|b|c|d|e|-",
                            "stage|2",
                            "exch",
                            "join",
                            "op",
                            "opx|add",
                            "op|add|k=i1;",
                            "op|add|k",
                            "op|add|k=x1",
                            "op|add|k=btrue1",
                            "op|add|k=",
                            "op|add|k=i",
                            "op|add|k=i+",
                            "op|add|k=i-",
                            "op|add|k=i1.5",
                            "op|add|k=i9223372036854775808",
                            "op|add|k=f",
                            "op|add|k=f+",
                            "op|add|k=f-1",
                            "op|add|k=f10000000000000000",
                            "op|add|;k=i1",
                            "op|add|k=i+-1"}) {
    EXPECT_FALSE(parse_op_token(token).has_value()) << token;
  }
}

}  // namespace
}  // namespace tarnvel
