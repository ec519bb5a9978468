// The IR blob: the canonical, versioned, durable byte form of a GraphStore.
//
// Layout (all integers little-endian, no padding): "TIR1", uint32 node count, one record per node
// in id order, uint32 output count, uint64 output ids in the order given. A record is a kind tag
// byte and the fields of that kind; strings and lists carry a uint32 length.
//
// Guarantees: the same store and outputs always give the same bytes, and reading a blob the writer
// produced rebuilds a store with the same ids and marks, whose blob is byte-identical.
//
//   auto bytes = serialize_with(store, store.outputs());        // or a BlobLimitError
//   auto copy = deserialize(*bytes);                             // or a BlobError
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ir/node.hpp"
#include "ir/param.hpp"
#include "store/graph_store.hpp"

namespace tarnvel {

// The writer's error: a count, length or index that does not fit the format's 32-bit fields.
// No bytes are produced when it is returned.
enum class BlobLimit : std::uint8_t {
  NodeCount,
  StringLength,
  InputCount,
  ParamCount,
  MemberCount,
  RefCount,
  OutputCount,
};

struct BlobLimitError {
  BlobLimit limit;
  // "<what overflowed> exceeds the blob format's 32-bit limit".
  std::string message() const;
  friend bool operator==(const BlobLimitError&, const BlobLimitError&) = default;
};

// Every count and length the writer stores goes through this check; exposed so that the limits
// can be tested without building a 4 GiB store.
inline constexpr std::uint64_t kBlobMaxCount = 0xFFFFFFFFu;
[[nodiscard]] inline std::expected<void, BlobLimitError> check_blob_limit(
    std::uint64_t value, BlobLimit limit) noexcept {
  if (value > kBlobMaxCount) [[unlikely]]
    return std::unexpected(BlobLimitError{limit});
  return {};
}

// The writer in its two steps, for a caller that provides the buffer (the binding writes into the
// bytes object it returns, so that the blob is made once): measure, then write exactly size()
// bytes. It covers every node of one view of `store`, then `outputs` verbatim (order and
// duplicates kept; the store's own marks are not consulted).
class BlobWriter {
 public:
  // Checks every 32-bit limit while it measures, and may be interrupted.
  // REQUIRES: every id in `outputs` names a node.
  [[nodiscard]] static std::expected<BlobWriter, BlobLimitError> measure(
      const GraphStore& store, std::span<const NodeId> outputs);
  std::size_t size() const noexcept { return size_; }
  // Never fails and is never interrupted. REQUIRES: `out` has room for size() bytes.
  void write(char* out) const noexcept;

 private:
  // Where an operator's encoded head (the record up to its inputs) and tail (a Stage's members)
  // sit in op_bytes_.
  struct Part {
    static constexpr std::size_t kUnencoded = ~std::size_t{0};
    std::size_t offset = kUnencoded;
    std::size_t head = 0;
    std::size_t tail = 0;
    bool has_inputs = false;
  };
  BlobWriter(NodesView nodes, std::span<const NodeId> outputs)
      : nodes_(std::move(nodes)), outputs_(outputs.begin(), outputs.end()) {}
  std::expected<Part, BlobLimitError> encode(const NodeKey& op);

  NodesView nodes_;
  std::vector<NodeId> outputs_;
  std::vector<Part> parts_;  // by operator id
  // By operator id, sized at the first Stage operator: the token of an operator some Stage member
  // applies, once spelled; a token is never empty.
  std::vector<Text> member_tokens_;
  std::string op_bytes_;
  std::size_t size_ = 0;
};

// The blob as a string: measure and write.
[[nodiscard]] std::expected<std::string, BlobLimitError> serialize_with(
    const GraphStore& store, std::span<const NodeId> outputs);

// Appends one param map (uint32 count, then key string, value tag byte, value for each pair, in
// the map's sorted order). Appends nothing when it fails.
[[nodiscard]] std::expected<void, BlobLimitError> put_params(std::string& buffer,
                                                             const ParamMap& params);

// The reader's error, one of five cases with fixed messages.
struct BlobError {
  struct BadMagic {
    friend bool operator==(const BadMagic&, const BadMagic&) = default;
  };
  struct Truncated {
    friend bool operator==(const Truncated&, const Truncated&) = default;
  };
  struct BadTag {
    std::string_view what;  // "node", "stage-ref" or "param": always a string literal
    std::uint8_t tag;
    friend bool operator==(const BadTag&, const BadTag&) = default;
  };
  struct BadUtf8 {
    friend bool operator==(const BadUtf8&, const BadUtf8&) = default;
  };
  struct BadNodeRef {
    std::uint64_t value;
    friend bool operator==(const BadNodeRef&, const BadNodeRef&) = default;
  };

  std::variant<BadMagic, Truncated, BadTag, BadUtf8, BadNodeRef> error;

  std::string message() const;
  friend bool operator==(const BlobError&, const BlobError&) = default;
};

// A cursor over blob bytes. Every read either consumes exactly its field or fails without a
// partial result; the position after a failure is unspecified. Lists are bounded by the bytes
// that remain, never by their declared count alone, so a forged count cannot make the reader
// reserve memory the input could not fill.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes, std::size_t position = 0) noexcept
      : bytes_(bytes), position_(position) {}

  std::size_t position() const noexcept { return position_; }
  std::size_t remaining() const noexcept { return bytes_.size() - position_; }

  [[nodiscard]] std::expected<std::uint8_t, BlobError> byte() noexcept {
    if (remaining() < 1) return std::unexpected(BlobError{BlobError::Truncated{}});
    return bytes_[position_++];
  }
  std::expected<std::uint32_t, BlobError> u32() noexcept { return fixed<std::uint32_t>(); }
  std::expected<std::uint64_t, BlobError> u64() noexcept { return fixed<std::uint64_t>(); }

  // A length-prefixed string, checked to be strict UTF-8. The view points into the input bytes.
  [[nodiscard]] std::expected<std::string_view, BlobError> string();
  // A param map into `out`, in key order (stable by key bytes; equal keys stay in blob order).
  // Keys and Str values point into the input bytes.
  [[nodiscard]] std::expected<void, BlobError> params(std::vector<ParamView>& out);
  // An id list into `out`, read id by id: an id not below `limit` is BadNodeRef with that id, a
  // missing id is Truncated, whichever comes first.
  [[nodiscard]] std::expected<void, BlobError> inputs(std::uint64_t limit, NodeInputs& out);

  // Where the head of a plain record of `kind` (its name if it has one, and its params) that starts
  // here ends, found from its lengths alone, neither validated nor consumed; nothing when the bytes
  // end first or a param tag is unknown (reading it properly then tells the error).
  [[nodiscard]] std::optional<std::size_t> plain_head_end(NodeKind kind) const noexcept;
  // The same for the members of a Stage record that start here.
  [[nodiscard]] std::optional<std::size_t> stage_members_end() const noexcept;
  std::string_view text(std::size_t from, std::size_t to) const noexcept {
    return {reinterpret_cast<const char*>(bytes_.data()) + from, to - from};
  }
  // REQUIRES: position() <= to <= the end.
  void skip_to(std::size_t to) noexcept { position_ = to; }

 private:
  template <class Int>
  [[nodiscard]] std::expected<Int, BlobError> fixed() noexcept {
    if (remaining() < sizeof(Int)) return std::unexpected(BlobError{BlobError::Truncated{}});
    Int value;
    std::memcpy(&value, bytes_.data() + position_, sizeof value);
    position_ += sizeof value;
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t position_;
};

// Rebuilds a store from blob bytes; bytes after the last output id are ignored. The new store's
// node map is empty.
//
// A record equal to an earlier one is accepted and becomes the node the earlier record became, so
// the store can hold fewer nodes than the blob has records. Input and output ids in the blob are
// record positions (checked against the record count, or against k inside record k) and are
// translated to the node each record became, so every reference keeps naming what the blob meant.
//
// Stage Input references are stored as read, without checking them against the stage's inputs
// (the format allows any index): code that follows one must bounds-check it first.
[[nodiscard]] std::expected<std::unique_ptr<GraphStore>, BlobError> deserialize(
    std::span<const std::uint8_t> bytes);
[[nodiscard]] std::expected<std::unique_ptr<GraphStore>, BlobError> deserialize(
    std::string_view bytes);

}  // namespace tarnvel
