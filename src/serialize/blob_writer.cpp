// The blob writer. Each operator is encoded once, by one encoder run over two sinks (SizeSink
// measures and checks the 32-bit limits, ByteSink then writes exactly that many bytes, so the two
// never disagree); a record is then its operator's bytes around its inputs. The blob is measured
// whole before a byte is written, so its buffer is allocated once and never grown.
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
  void u32(std::uint32_t) noexcept { size_ += 4; }  // a value that always fits
  void u64(std::uint64_t) noexcept { size_ += 8; }
  void raw(std::string_view bytes) noexcept { size_ += bytes.size(); }
  template <class Id>
  void ids(std::span<const Id> ids) noexcept {
    size_ += sizeof(std::uint64_t) * ids.size();
  }

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
  void u32(std::uint32_t value) noexcept { put(value); }
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

// `tokens[id]` spells the operator of id `id` for every member that names one by id.
template <class Sink>
void put_members(Sink& sink, std::span<const StageOp> members, const std::vector<Text>& tokens) {
  sink.u32(members.size(), BlobLimit::MemberCount);
  for (const StageOp& member : members) {
    const OpId* id = member.id();
    put_string(sink, (id != nullptr ? tokens[*id] : *member.text()).view());
    sink.u32(member.refs.size(), BlobLimit::RefCount);
    for (const StageRef& ref : member.refs) {
      sink.byte(static_cast<std::uint8_t>(ref.tag));
      sink.u32(ref.index);
    }
  }
}

// A record is its operator's part, the inputs, and for a Stage its members after them: the part
// before the inputs is the kind tag and the fields of the kind (a Source has no input list).
template <class Sink>
void put_operator_head(Sink& sink, const NodeKey& op) {
  sink.byte(static_cast<std::uint8_t>(op.kind()));
  switch (op.kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      put_string(sink, op.name());
      put_param_map(sink, op.params());
      return;
    case NodeKind::External:
      put_descriptor(sink, op.descriptor());
      put_param_map(sink, op.params());
      return;
    case NodeKind::Stage: return;
    case NodeKind::Exchange:
    case NodeKind::Join: put_param_map(sink, op.params()); return;
  }
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
    case BlobLimit::OutputCount: what = "output count"; break;
  }
  return std::string(what) + " exceeds the blob format's 32-bit limit";
}

// Each operator's encoded head and tail (a Stage's members), made once however many nodes share
// it: most of a record is its operator, and a graph has far fewer operators than nodes.
std::expected<BlobWriter::Part, BlobLimitError> BlobWriter::encode(const NodeKey& op) {
  Part part;
  part.offset = op_bytes_.size();
  auto head = append_encoded(op_bytes_, [&](auto& sink) { put_operator_head(sink, op); });
  if (!head) return std::unexpected(head.error());
  part.head = op_bytes_.size() - part.offset;
  if (op.kind() == NodeKind::Stage) {
    const std::span<const StageOp> members = op.members();
    if (member_tokens_.empty()) member_tokens_.resize(nodes_.ops().size());  // a store of Stages
    for (const StageOp& member : members) {
      const OpId* id = member.id();
      if (id != nullptr && member_tokens_[*id].empty())
        member_tokens_[*id] = Text(nodes_.ops()[*id].token());
    }
    auto tail =
        append_encoded(op_bytes_, [&](auto& sink) { put_members(sink, members, member_tokens_); });
    if (!tail) return std::unexpected(tail.error());
  }
  part.tail = op_bytes_.size() - part.offset - part.head;
  part.has_inputs = op.kind() != NodeKind::Source;
  return part;
}

std::expected<BlobWriter, BlobLimitError> BlobWriter::measure(const GraphStore& store,
                                                              std::span<const NodeId> outputs) {
  // One view serves both passes: the same consistent state a snapshot would give, without copying
  // a node and without holding the lock.
  BlobWriter writer(store.nodes_view(), outputs);
  const NodesView& nodes = writer.nodes_;
  if (auto fits = check_blob_limit(nodes.size(), BlobLimit::NodeCount); !fits)
    return std::unexpected(fits.error());
  if (auto fits = check_blob_limit(outputs.size(), BlobLimit::OutputCount); !fits)
    return std::unexpected(fits.error());
  std::size_t size = kMagic.size() + 4 + 4 + 8 * outputs.size();
  writer.parts_.assign(nodes.ops().size(), Part{});
  for (std::size_t id = 0; id < nodes.size(); ++id) {
    note_work();  // measuring is where a long write may be interrupted: nothing is written yet
    const Node& node = nodes.stored(id);
    Part& part = writer.parts_[node.op];
    if (part.offset == Part::kUnencoded) {
      auto encoded = writer.encode(nodes.ops()[node.op]);
      if (!encoded) return std::unexpected(encoded.error());
      part = *encoded;
    }
    size += part.head + part.tail;
    if (part.has_inputs) {
      if (auto fits = check_blob_limit(node.children.size(), BlobLimit::InputCount); !fits)
        return std::unexpected(fits.error());
      size += 4 + 8 * node.children.size();
    }
  }
  writer.size_ = size;
  return writer;
}

void BlobWriter::write(char* out) const noexcept {
  ByteSink sink(out);
  sink.raw(kMagic);
  sink.u32(nodes_.size(), BlobLimit::NodeCount);
  const std::string_view bytes = op_bytes_;
  for (std::size_t id = 0; id < nodes_.size(); ++id) {
    const Node& node = nodes_.stored(id);
    const Part& part = parts_[node.op];
    sink.raw(bytes.substr(part.offset, part.head));
    if (part.has_inputs) put_ids(sink, node.children.ids(), BlobLimit::InputCount);
    sink.raw(bytes.substr(part.offset + part.head, part.tail));
  }
  put_ids(sink, std::span<const NodeId>(outputs_), BlobLimit::OutputCount);
}

std::expected<std::string, BlobLimitError> serialize_with(const GraphStore& store,
                                                          std::span<const NodeId> outputs) {
  auto writer = BlobWriter::measure(store, outputs);
  if (!writer) return std::unexpected(writer.error());
  std::string blob;
  // The bytes go in inside resize_and_overwrite, which must not throw: write never does. The
  // length is the measured one: the callback's size argument may be the grown capacity.
  blob.resize_and_overwrite(writer->size(), [&](char* out, std::size_t) {
    writer->write(out);
    return writer->size();
  });
  return blob;
}

std::expected<void, BlobLimitError> put_params(std::string& buffer, const ParamMap& params) {
  return append_encoded(buffer, [&](auto& sink) { put_param_map(sink, params); });
}

}  // namespace tarnvel
