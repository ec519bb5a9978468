// The blob writer. Both passes run one encoder over a sink: SizeSink measures the blob and checks
// the 32-bit limits, ByteSink then writes into a buffer of exactly that size. Sharing the encoder
// keeps the two passes from ever disagreeing, and the buffer is allocated once and never grown.
#include <bit>
#include <optional>

#include "serialize/blob.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"

namespace tarnvel {
namespace {

constexpr std::string_view kMagic = "TIR1";

class SizeSink {
 public:
  void byte(std::uint8_t) noexcept { size_ += 1; }
  void u32(std::uint64_t value, BlobLimit limit) noexcept {
    if (auto fits = check_blob_limit(value, limit); !fits && !error_) [[unlikely]] {
      error_ = fits.error();
    }
    size_ += 4;
  }
  void u64(std::uint64_t) noexcept { size_ += 8; }
  void raw(std::string_view bytes) noexcept { size_ += bytes.size(); }
  template <class Id>
  void ids(std::span<const Id> ids) noexcept {
    size_ += sizeof(std::uint64_t) * ids.size();
  }
  // Measuring is where a long write may be interrupted: nothing has been written yet.
  void node_done() { note_work(); }

  std::size_t size() const noexcept { return size_; }
  // The first value that did not fit, if any.
  const std::optional<BlobLimitError>& error() const noexcept { return error_; }

 private:
  std::size_t size_ = 0;
  std::optional<BlobLimitError> error_;
};

// REQUIRES: the buffer holds what a SizeSink measured for the same encoding, so no write checks
// for room and every u32 value is known to fit.
class ByteSink {
 public:
  explicit ByteSink(char* out) noexcept : out_(out) {}

  void byte(std::uint8_t value) noexcept { *out_++ = static_cast<char>(value); }
  void u32(std::uint64_t value, BlobLimit) noexcept { put(static_cast<std::uint32_t>(value)); }
  void u64(std::uint64_t value) noexcept { put(value); }
  void raw(std::string_view bytes) noexcept {
    if (bytes.empty()) return;  // an empty view may carry a null pointer, which memcpy must not see
    std::memcpy(out_, bytes.data(), bytes.size());
    out_ += bytes.size();
  }
  // Every id takes 64 bits in the blob, whatever its width in memory.
  template <class Id>
  void ids(std::span<const Id> ids) noexcept {
    if constexpr (std::endian::native == std::endian::little && sizeof(Id) == 8) {
      if (ids.empty()) return;
      std::memcpy(out_, ids.data(), ids.size_bytes());
      out_ += ids.size_bytes();
    } else {
      for (Id id : ids) put(std::uint64_t{id});
    }
  }

  // Never interrupted: the bytes go in inside std::string::resize_and_overwrite, which must not
  // throw, and this pass is a straight copy of what measuring already walked.
  void node_done() noexcept {}

  char* position() const noexcept { return out_; }

 private:
  template <class Int>
  void put(Int value) noexcept {
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    std::memcpy(out_, &value, sizeof value);
    out_ += sizeof value;
  }

  char* out_;
};

template <class Sink>
void put_string(Sink& sink, std::string_view text) {
  sink.u32(text.size(), BlobLimit::StringLength);
  sink.raw(text);
}

template <class Sink, class Id>
void put_ids(Sink& sink, std::span<const Id> ids, BlobLimit limit) {
  sink.u32(ids.size(), limit);
  sink.ids(ids);
}

template <class Sink>
void put_param_map(Sink& sink, const ParamMap& params) {
  sink.u32(params.size(), BlobLimit::ParamCount);
  for (const Param& param : params) {
    put_string(sink, param.key.view());
    const ParamValue& value = param.value;
    sink.byte(static_cast<std::uint8_t>(value.tag()));
    switch (value.tag()) {
      case ParamValue::Tag::Int: sink.u64(static_cast<std::uint64_t>(value.as_int())); break;
      case ParamValue::Tag::Float: sink.u64(std::bit_cast<std::uint64_t>(value.as_float())); break;
      case ParamValue::Tag::Bool: sink.byte(value.as_bool() ? 1 : 0); break;
      case ParamValue::Tag::Str: put_string(sink, value.as_str()); break;
    }
  }
}

template <class Sink>
void put_descriptor(Sink& sink, const PayloadDescriptor& descriptor) {
  put_string(sink, descriptor.kind);
  put_string(sink, descriptor.content_hash);
  put_string(sink, descriptor.framework);
  put_string(sink, descriptor.version);
  put_string(sink, descriptor.io_schema);
  sink.byte(descriptor.preprocessing_ref ? 1 : 0);
  if (descriptor.preprocessing_ref) put_string(sink, *descriptor.preprocessing_ref);
}

template <class Sink>
void put_members(Sink& sink, std::span<const StageOp> members) {
  sink.u32(members.size(), BlobLimit::MemberCount);
  for (const StageOp& member : members) {
    put_string(sink, member.token);
    sink.u32(member.refs.size(), BlobLimit::RefCount);
    for (const StageRef& ref : member.refs) {
      sink.byte(static_cast<std::uint8_t>(ref.tag));
      sink.u32(ref.index, BlobLimit::RefIndex);
    }
  }
}

// `node` is a NodeKey or a NodeRef.
template <class Sink, class Node>
void put_node(Sink& sink, const Node& node) {
  sink.byte(static_cast<std::uint8_t>(node.kind()));
  switch (node.kind()) {
    case NodeKind::Source:
      put_string(sink, node.name());
      put_param_map(sink, node.params());
      return;
    case NodeKind::Op:
    case NodeKind::Reduction:
      put_string(sink, node.name());
      put_param_map(sink, node.params());
      put_ids(sink, node.inputs(), BlobLimit::InputCount);
      return;
    case NodeKind::External:
      put_descriptor(sink, node.descriptor());
      put_param_map(sink, node.params());
      put_ids(sink, node.inputs(), BlobLimit::InputCount);
      return;
    case NodeKind::Stage:
      put_ids(sink, node.inputs(), BlobLimit::InputCount);
      put_members(sink, node.members());
      return;
    case NodeKind::Exchange:
    case NodeKind::Join:
      put_param_map(sink, node.params());
      put_ids(sink, node.inputs(), BlobLimit::InputCount);
      return;
  }
}

template <class Sink, class Nodes>
void put_blob(Sink& sink, const Nodes& nodes, std::span<const NodeId> outputs) {
  sink.raw(kMagic);
  sink.u32(nodes.size(), BlobLimit::NodeCount);
  for (std::size_t id = 0; id < nodes.size(); ++id) {
    put_node(sink, nodes[id]);
    sink.node_done();
  }
  put_ids(sink, outputs, BlobLimit::OutputCount);
}

// Measures with `encode(SizeSink&)`, then appends exactly that many bytes with
// `encode(ByteSink&)`. On a limit error `buffer` is left as it was.
template <class Encode>
std::expected<void, BlobLimitError> append_encoded(std::string& buffer, Encode encode) {
  SizeSink size;
  encode(size);
  if (size.error()) return std::unexpected(*size.error());
  const std::size_t start = buffer.size();
  buffer.resize_and_overwrite(start + size.size(), [&](char* out, std::size_t) {
    ByteSink sink(out + start);
    encode(sink);
    return static_cast<std::size_t>(sink.position() - out);
  });
  check_invariant(buffer.size() == start + size.size(), "blob writer passes disagree on the size");
  return {};
}

}  // namespace

std::string BlobLimitError::message() const {
  std::string_view what;
  switch (limit) {
    case BlobLimit::NodeCount: what = "node count"; break;
    case BlobLimit::StringLength: what = "string length"; break;
    case BlobLimit::InputCount: what = "input list length"; break;
    case BlobLimit::ParamCount: what = "param map length"; break;
    case BlobLimit::MemberCount: what = "stage member count"; break;
    case BlobLimit::RefCount: what = "stage reference count"; break;
    case BlobLimit::RefIndex: what = "stage reference index"; break;
    case BlobLimit::OutputCount: what = "output count"; break;
  }
  return std::string(what) + " exceeds the blob format's 32-bit limit";
}

std::expected<std::string, BlobLimitError> serialize_with(const GraphStore& store,
                                                          std::span<const NodeId> outputs) {
  // Both passes read one view of the store: the same consistent state a snapshot would give,
  // without copying every key first and without holding the lock.
  const NodesView nodes = store.nodes_view();
  std::string blob;
  auto written = append_encoded(blob, [&](auto& sink) { put_blob(sink, nodes, outputs); });
  if (!written) return std::unexpected(written.error());
  return blob;
}

std::expected<void, BlobLimitError> put_params(std::string& buffer, const ParamMap& params) {
  return append_encoded(buffer, [&](auto& sink) { put_param_map(sink, params); });
}

}  // namespace tarnvel
