// The blob reader: validates as it reads and stops at the first failure.
#include <algorithm>
#include <array>
#include <bit>
#include <type_traits>

#include "absl/container/flat_hash_map.h"
#include "ir/utf8.hpp"
#include "serialize/blob.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/table_growth.hpp"

// Binds the value of a std::expected expression to `name`, or returns its error.
#define BLOB_TRY(name, expression)                                                  \
  auto name##_or_error = (expression);                                              \
  if (!name##_or_error) return std::unexpected(std::move(name##_or_error).error()); \
  auto name = std::move(*name##_or_error)
// Returns the error of a std::expected<void, BlobError> expression, if any.
#define BLOB_CHECK(expression) \
  if (auto checked = (expression); !checked) return std::unexpected(std::move(checked).error())

namespace tarnvel {
namespace {

constexpr std::string_view kMagic = "TIR1";

// The fewest bytes a well-formed entry can take. They only bound reservations: a declared count
// never reserves more entries than the remaining bytes could hold.
constexpr std::size_t kMinParamBytes = 4 + 1 + 1;   // empty key, tag, Bool value
constexpr std::size_t kMinMemberBytes = 4 + 4;      // empty token, no refs
constexpr std::size_t kMinRecordBytes = 1 + 4 + 4;  // Source: tag, empty name, no params
constexpr std::size_t kRefBytes = 1 + 4;

std::unexpected<BlobError> truncated() {
  return std::unexpected(BlobError{BlobError::Truncated{}});
}
std::unexpected<BlobError> bad_tag(std::string_view what, std::uint8_t tag) {
  return std::unexpected(BlobError{BlobError::BadTag{what, tag}});
}
std::unexpected<BlobError> bad_node_ref(std::uint64_t value) {
  return std::unexpected(BlobError{BlobError::BadNodeRef{value}});
}

std::size_t bounded(std::uint64_t count, std::size_t remaining, std::size_t entry_bytes) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining / entry_bytes));
}

// Reads the value of `out`, whose key and tag are set.
std::expected<void, BlobError> read_value(Reader& reader, ParamView& out) {
  switch (out.tag) {
    case ParamValue::Tag::Int:
    case ParamValue::Tag::Float: {
      BLOB_TRY(bits, reader.u64());
      out.bits = bits;
      return {};
    }
    case ParamValue::Tag::Bool: {
      BLOB_TRY(flag, reader.byte());
      out.bits = flag != 0;
      return {};
    }
    case ParamValue::Tag::Str: {
      BLOB_TRY(text, reader.string());
      out.str = text;
      return {};
    }
  }
  return bad_tag("param", static_cast<std::uint8_t>(out.tag));
}

// Where records stand while some are read ahead of their interning: the records interned so far
// have become the nodes `node_of_record` lists, and the records after them, up to the one being
// read, are assumed to become the new nodes `next_id`, `next_id` + 1, ... in order.
struct RecordsSoFar {
  std::span<const NodeId> node_of_record;
  NodeId next_id;

  // The node that record `record`, interned or waiting, is taken to be.
  NodeId node(NodeId record) const {
    return record < node_of_record.size() ? node_of_record[record]
                                          : next_id + (record - node_of_record.size());
  }
};

// Record k may name records 0..k-1 only (`limit` is k).
std::expected<void, BlobError> read_inputs(Reader& reader, const RecordsSoFar& so_far,
                                           std::uint64_t limit, NodeInputs& out) {
  BLOB_CHECK(reader.inputs(limit, out));
  for (NodeId& id : out) id = so_far.node(id);
  return {};
}
// For a record read when every earlier one is interned.
std::expected<void, BlobError> read_inputs(Reader& reader, std::span<const NodeId> node_of_record,
                                           NodeInputs& out) {
  return read_inputs(reader, RecordsSoFar{node_of_record, 0}, node_of_record.size(), out);
}

std::expected<PayloadDescriptor, BlobError> read_descriptor(Reader& reader) {
  PayloadDescriptor descriptor;
  for (std::string* field : {&descriptor.kind, &descriptor.content_hash, &descriptor.framework,
                             &descriptor.version, &descriptor.io_schema}) {
    BLOB_TRY(text, reader.string());
    field->assign(text);
  }
  BLOB_TRY(present, reader.byte());
  if (present != 0) {
    BLOB_TRY(text, reader.string());
    descriptor.preprocessing_ref.emplace(text);
  }
  return descriptor;
}

// What the member texts of a blob name, resolved once each: a blob's stages repeat few member
// operators. A text that is exactly an operator's token becomes that operator's id in the store
// being filled, interned on first sight; any other text stays text (see StageOp). Bounded, like
// KnownOperators below.
class KnownMembers {
 public:
  static constexpr std::size_t kMaxTexts = std::size_t{1} << 16;

  // `text` views the blob, which outlives the reading.
  MemberOp resolve(std::string_view text, GraphStore::Batch& store) {
    std::optional<OpId> id;
    if (const auto found = ops_.find(text); found != ops_.end()) {
      id = found->second;
    } else {
      if (std::optional<NodeKey> op = member_operator(text)) id = store.intern_operator(*op);
      if (ops_.size() < kMaxTexts) emplace_aside(ops_, text, id);
    }
    return id ? MemberOp(*id) : MemberOp(Text(text));
  }

 private:
  absl::flat_hash_map<std::string_view, std::optional<OpId>> ops_;  // lookups only: never iterated
};

// Member j may use an earlier member (index below j) or any Input index: Input references are
// not checked against the stage's inputs, so whoever follows one must check it.
std::expected<StageOp, BlobError> read_member(Reader& reader, std::uint64_t j, KnownMembers& known,
                                              GraphStore::Batch& store) {
  BLOB_TRY(text, reader.string());
  BLOB_TRY(ref_count, reader.u32());
  StageOp member{known.resolve(text, store), {}};
  member.refs.reserve(bounded(ref_count, reader.remaining(), kRefBytes));
  for (std::uint32_t i = 0; i < ref_count; ++i) {
    BLOB_TRY(tag, reader.byte());
    BLOB_TRY(index, reader.u32());
    switch (static_cast<StageRef::Tag>(tag)) {
      case StageRef::Tag::Input: member.refs.push_back(StageRef::input(index)); continue;
      case StageRef::Tag::Member:
        if (index >= j) return bad_node_ref(index);
        member.refs.push_back(StageRef::member(index));
        continue;
    }
    return bad_tag("stage-ref", tag);
  }
  return member;
}

// A Stage record's operator (its members; the inputs come before them), named as the store it
// goes to names operators.
std::expected<NodeKey, BlobError> read_members(Reader& reader, KnownMembers& known,
                                               GraphStore::Batch& store) {
  BLOB_TRY(member_count, reader.u32());
  std::vector<StageOp> members;
  members.reserve(bounded(member_count, reader.remaining(), kMinMemberBytes));
  for (std::uint32_t j = 0; j < member_count; ++j) {
    BLOB_TRY(member, read_member(reader, j, known, store));
    members.push_back(std::move(member));
  }
  return NodeKey::stage({}, std::move(members));
}

std::expected<NodeId, BlobError> interned(std::expected<NodeId, BadNodeId> id) {
  check_invariant(id.has_value(), "blob inputs translate to nodes the store holds");
  return *id;
}

// Reads the rest of an External record and interns it.
std::expected<NodeId, BlobError> intern_external(Reader& reader,
                                                 std::span<const NodeId> node_of_record,
                                                 GraphStore::Batch& store) {
  BLOB_TRY(descriptor, read_descriptor(reader));
  std::vector<ParamView> params;
  BLOB_CHECK(reader.params(params));
  NodeInputs inputs;
  BLOB_CHECK(read_inputs(reader, node_of_record, inputs));
  return interned(store.intern(NodeKey::external(std::move(descriptor), ParamMap(params), inputs)));
}

// A record of a kind without extra parts, read as a view of the blob bytes but not yet interned.
// Its buffers are reused from record to record, so a repeated record copies nothing.
struct PlainRecord {
  NodeKind kind = NodeKind::Source;
  std::string_view name;
  std::vector<ParamView> params;
  NodeInputs inputs;
  OpId op = 0;  // its operator's id in the store being filled
  std::uint64_t hash = 0;  // node_hash of op and inputs
  // When it was read: the records interned, the id the next new node would get, and how many
  // records had repeated an earlier one.
  std::size_t interned_at_read = 0;
  NodeId next_id_at_read = 0;
  std::uint64_t repeats_at_read = 0;

  KeyView view() const { return KeyView{kind, name, params, {inputs.data(), inputs.size()}}; }
  void rehash() { hash = node_hash(op, std::span<const NodeId>(inputs.data(), inputs.size())); }
};

// Reads the rest of plain record k.
std::expected<void, BlobError> read_plain(Reader& reader, NodeKind kind, const RecordsSoFar& so_far,
                                          std::uint64_t k, PlainRecord& out) {
  out.kind = kind;
  out.name = {};
  if (kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction) {
    BLOB_TRY(text, reader.string());
    out.name = text;
  }
  BLOB_CHECK(reader.params(out.params));
  if (kind != NodeKind::Source) BLOB_CHECK(read_inputs(reader, so_far, k, out.inputs));
  return {};
}

// The operators of record parts read so far: the heads of plain records (their bytes from the
// kind tag to the inputs), or the members of Stage records. A blob repeats few operators across
// many records, and a part whose bytes were read before needs neither validating, resolving nor
// interning again. Bounded, so that a blob of distinct operators does not make it grow with the
// blob.
class KnownOperators {
 public:
  static constexpr std::size_t kMaxParts = std::size_t{1} << 16;

  std::optional<OpId> find(std::string_view part) const {
    const auto found = ops_.find(part);
    if (found == ops_.end()) return std::nullopt;
    return found->second;
  }
  // `part` views the blob, which outlives the reading.
  void add(std::string_view part, OpId op) {
    if (ops_.size() >= kMaxParts) return;
    emplace_aside(ops_, part, op);
  }

 private:
  absl::flat_hash_map<std::string_view, OpId> ops_;  // lookups only: never iterated
};

// Plain records read ahead of their interning, oldest first, at most kReadAhead + 1 of them in a
// ring where record k sits at k % the ring's size. A record read ahead assumes that the records
// still waiting before it are all new, and names each of them by the id it would get; when one of
// them turns out to repeat an earlier record, the assumed ids are corrected before it is interned.
class ReadAhead {
 public:
  static constexpr std::size_t kReadAhead = 3;

  // `node_of_record` holds the store ids of the records interned so far; it grows by one id as
  // each oldest record is interned, before `pop`.
  explicit ReadAhead(const std::vector<NodeId>& node_of_record) : node_of_record_(node_of_record) {}

  std::size_t size() const { return count_; }
  // The slot of record k, the next record, to read it into with `next_id`, the id the next new
  // node would get now. Its inputs are cleared; the rest of it is the previous occupant's.
  PlainRecord& push(std::uint32_t k, NodeId next_id) {
    PlainRecord& next = ring_[k % ring_.size()];
    next.interned_at_read = node_of_record_.size();
    next.next_id_at_read = next_id;
    next.repeats_at_read = repeats_;
    next.inputs.clear();
    ++count_;
    return next;
  }
  // The oldest waiting record, its inputs and hash corrected for the records interned since it
  // was read: every record before it is interned now.
  PlainRecord& oldest() {
    PlainRecord& record = ring_[node_of_record_.size() % ring_.size()];
    if (record.repeats_at_read != repeats_) correct(record);
    return record;
  }
  // Drops the oldest record once interned; `repeated` when it became an earlier record's node.
  void pop(bool repeated) {
    repeats_ += repeated ? 1 : 0;
    --count_;
  }

 private:
  // An assumed id names a waiting record by its distance from the first one waiting at the read.
  void correct(PlainRecord& record) const {
    for (NodeId& id : record.inputs) {
      if (id < record.next_id_at_read) continue;
      id = node_of_record_[record.interned_at_read + (id - record.next_id_at_read)];
    }
    record.rehash();
  }

  const std::vector<NodeId>& node_of_record_;
  std::array<PlainRecord, kReadAhead + 1> ring_;
  std::size_t count_ = 0;  // records node_of_record_.size() .. + count_ - 1
  std::uint64_t repeats_ = 0;  // records interned as an earlier record's node
};

// Reads the rest of a Stage record and interns it.
std::expected<NodeId, BlobError> intern_stage(Reader& reader,
                                              std::span<const NodeId> node_of_record,
                                              KnownOperators& known, KnownMembers& members,
                                              GraphStore::Batch& store) {
  NodeInputs inputs;
  BLOB_CHECK(read_inputs(reader, node_of_record, inputs));
  const std::size_t start = reader.position();
  const std::optional<std::size_t> end = reader.stage_members_end();
  const std::string_view part = end ? reader.text(start, *end) : std::string_view();
  std::optional<OpId> op = end ? known.find(part) : std::nullopt;
  if (op) {
    reader.skip_to(*end);
  } else {
    BLOB_TRY(stage, read_members(reader, members, store));
    op = store.intern_operator(stage);  // its members are resolved: a table's form
    if (end) known.add(part, *op);
  }
  const std::span<const NodeId> ids(inputs.data(), inputs.size());
  return interned(store.intern(*op, ids, node_hash(*op, ids)));
}

// Interns the records in order. Plain records are read up to kReadAhead records ahead of their
// interning, and the index entries each will be looked up among start loading as it is read: in a
// large store every lookup is a cache miss, and this overlaps them with the work in between. An
// External or Stage record is read and interned after every record before it.
std::expected<void, BlobError> intern_records(Reader& reader, std::uint32_t record_count,
                                              std::vector<NodeId>& node_of_record,
                                              GraphStore::Batch& store) {
  ReadAhead waiting(node_of_record);
  KnownOperators heads;
  KnownOperators stages;
  KnownMembers members;
  const auto intern_oldest = [&]() -> std::expected<void, BlobError> {
    const PlainRecord& record = waiting.oldest();
    const std::span<const NodeId> inputs(record.inputs.data(), record.inputs.size());
    const NodeId fresh = store.next_id();
    BLOB_TRY(id, interned(store.intern(record.op, inputs, record.hash)));
    node_of_record.push_back(id);
    waiting.pop(id != fresh);
    return {};
  };
  for (std::uint32_t k = 0; k < record_count; ++k) {
    note_work();
    BLOB_TRY(tag, reader.byte());
    if (tag >= kNodeKindCount) return bad_tag("node", tag);
    const auto kind = static_cast<NodeKind>(tag);
    if (kind == NodeKind::External || kind == NodeKind::Stage) {
      while (waiting.size() > 0) BLOB_CHECK(intern_oldest());
      BLOB_TRY(id, kind == NodeKind::Stage
                       ? intern_stage(reader, node_of_record, stages, members, store)
                       : intern_external(reader, node_of_record, store));
      node_of_record.push_back(id);
      continue;
    }
    const RecordsSoFar so_far{node_of_record, store.next_id()};
    PlainRecord& next = waiting.push(k, so_far.next_id);
    const std::size_t head_start = reader.position() - 1;  // at the tag
    const std::optional<std::size_t> head_end = reader.plain_head_end(kind);
    const std::string_view head =
        head_end ? reader.text(head_start, *head_end) : std::string_view();
    if (const auto known = head_end ? heads.find(head) : std::nullopt) {
      reader.skip_to(*head_end);
      // The slot's name and params are the record's own or none, never an earlier record's.
      next.kind = kind;
      next.name = {};
      next.params.clear();
      next.op = *known;
      if (kind != NodeKind::Source) BLOB_CHECK(read_inputs(reader, so_far, k, next.inputs));
    } else {
      BLOB_CHECK(read_plain(reader, kind, so_far, k, next));
      next.op = store.intern_operator(next.view());
      if (head_end) heads.add(head, next.op);
    }
    next.rehash();
    store.prefetch(next.hash);
    if (waiting.size() > ReadAhead::kReadAhead) BLOB_CHECK(intern_oldest());
  }
  while (waiting.size() > 0) BLOB_CHECK(intern_oldest());
  return {};
}

}  // namespace

std::string BlobError::message() const {
  return std::visit(
      [](const auto& detail) -> std::string {
        using Case = std::decay_t<decltype(detail)>;
        if constexpr (std::is_same_v<Case, BadMagic>) {
          return "not a tarnvel IR blob (bad magic/version)";
        } else if constexpr (std::is_same_v<Case, Truncated>) {
          return "truncated tarnvel IR blob";
        } else if constexpr (std::is_same_v<Case, BadTag>) {
          return "invalid " + std::string(detail.what) + " tag " + std::to_string(detail.tag);
        } else if constexpr (std::is_same_v<Case, BadUtf8>) {
          return "invalid utf-8 in tarnvel IR blob";
        } else {
          return "node reference " + std::to_string(detail.value) + " out of range";
        }
      },
      error);
}

std::expected<std::string_view, BlobError> Reader::string() {
  BLOB_TRY(length, u32());
  if (remaining() < length) return truncated();
  const std::string_view text(reinterpret_cast<const char*>(bytes_.data() + position_), length);
  if (!is_valid_utf8(text)) return std::unexpected(BlobError{BlobError::BadUtf8{}});
  position_ += length;
  return text;
}

std::expected<void, BlobError> Reader::params(std::vector<ParamView>& out) {
  out.clear();
  BLOB_TRY(count, u32());
  out.reserve(bounded(count, remaining(), kMinParamBytes));
  for (std::uint32_t i = 0; i < count; ++i) {
    BLOB_TRY(key, string());
    BLOB_TRY(tag, byte());
    if (tag > static_cast<std::uint8_t>(ParamValue::Tag::Str)) return bad_tag("param", tag);
    ParamView& param = out.emplace_back(ParamView{key, static_cast<ParamValue::Tag>(tag), 0, {}});
    BLOB_CHECK(read_value(*this, param));
  }
  sort_by_key(out);
  return {};
}

std::optional<std::size_t> Reader::plain_head_end(NodeKind kind) const noexcept {
  Reader walk(bytes_, position_);
  const auto skip_string = [&walk]() -> bool {
    const auto length = walk.u32();
    if (!length || walk.remaining() < *length) return false;
    walk.position_ += *length;
    return true;
  };
  if ((kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction) &&
      !skip_string())
    return std::nullopt;
  const auto count = walk.u32();
  if (!count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    if (!skip_string()) return std::nullopt;
    const auto tag = walk.byte();
    if (!tag) return std::nullopt;
    std::size_t width = 0;
    switch (static_cast<ParamValue::Tag>(*tag)) {
      case ParamValue::Tag::Int:
      case ParamValue::Tag::Float: width = 8; break;
      case ParamValue::Tag::Bool: width = 1; break;
      case ParamValue::Tag::Str:
        if (!skip_string()) return std::nullopt;
        continue;
      default: return std::nullopt;
    }
    if (walk.remaining() < width) return std::nullopt;
    walk.position_ += width;
  }
  return walk.position_;
}

std::optional<std::size_t> Reader::stage_members_end() const noexcept {
  Reader walk(bytes_, position_);
  const auto member_count = walk.u32();
  if (!member_count) return std::nullopt;
  for (std::uint32_t j = 0; j < *member_count; ++j) {
    const auto length = walk.u32();
    if (!length || walk.remaining() < *length) return std::nullopt;
    walk.position_ += *length;
    const auto ref_count = walk.u32();
    if (!ref_count || walk.remaining() / kRefBytes < *ref_count) return std::nullopt;
    walk.position_ += std::size_t{*ref_count} * kRefBytes;
  }
  return walk.position_;
}

std::expected<void, BlobError> Reader::inputs(std::uint64_t limit, NodeInputs& out) {
  out.clear();
  BLOB_TRY(count, u32());
  if (const std::size_t room = bounded(count, remaining(), sizeof(NodeId)); room > out.capacity())
    out.reserve(room);
  for (std::uint32_t i = 0; i < count; ++i) {
    BLOB_TRY(id, u64());
    if (id >= limit) return bad_node_ref(id);
    out.push_back(id);
  }
  return {};
}

std::expected<std::unique_ptr<GraphStore>, BlobError> deserialize(
    std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kMagic.size()) return truncated();
  if (std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
    return std::unexpected(BlobError{BlobError::BadMagic{}});
  }
  Reader reader(bytes, kMagic.size());
  BLOB_TRY(record_count, reader.u32());

  auto store = std::make_unique<GraphStore>();
  // node_of_record[k] is the node record k became: k itself, unless an earlier record repeats.
  std::vector<NodeId> node_of_record;
  node_of_record.reserve(bounded(record_count, reader.remaining(), kMinRecordBytes));
  store->reserve(node_of_record.capacity());
  // The store is filled under one hold of its lock; nobody else sees it yet.
  const auto fill = [&](GraphStore::Batch& batch) -> std::expected<void, BlobError> {
    BLOB_CHECK(intern_records(reader, record_count, node_of_record, batch));
    BLOB_TRY(output_count, reader.u32());
    for (std::uint32_t i = 0; i < output_count; ++i) {
      BLOB_TRY(record, reader.u64());
      if (record >= node_of_record.size()) return bad_node_ref(record);
      check_invariant(batch.mark_output(node_of_record[record]).has_value(),
                      "blob outputs translate to nodes the store holds");
    }
    return {};
  };
  BLOB_CHECK(store->batch(fill));
  return store;
}

std::expected<std::unique_ptr<GraphStore>, BlobError> deserialize(std::string_view bytes) {
  return deserialize(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace tarnvel

#undef BLOB_TRY
#undef BLOB_CHECK
