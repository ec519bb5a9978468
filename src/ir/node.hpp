// NodeKey: the structural key of one IR node. A node has no identity besides its key: the store
// interns keys, so two nodes are one node exactly when their keys are equal.
//
// Invariants: keys are plain values (copying is deep, comparing is structural) and carry no
// back-references; the rare large parts (an External's descriptor, a Stage's members) live behind
// an owning pointer so that the common Op key stays small.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "absl/functional/function_ref.h"
#include "ir/op_id.hpp"
#include "ir/param.hpp"
#include "ir/payload_descriptor.hpp"
#include "ir/text.hpp"
#include "support/children.hpp"

namespace tarnvel {

using NodeId = std::uint64_t;
using NodeInputs = absl::InlinedVector<NodeId, 2>;

// Tag order is part of the blob format and of the hash.
enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
  Join = 6,
};
inline constexpr int kNodeKindCount = 7;

// One operand of a stage member: entry `index` of the stage's inputs, or the result of an earlier
// member.
struct StageRef {
  enum class Tag : std::uint8_t { Input = 0, Member = 1 };
  Tag tag;
  std::uint32_t index;  // a stage has fewer inputs and members than a store has nodes

  static StageRef input(std::uint32_t i) { return {Tag::Input, i}; }
  static StageRef member(std::uint32_t i) { return {Tag::Member, i}; }
  friend bool operator==(const StageRef&, const StageRef&) = default;
  template <class H>
  friend H AbslHashValue(H state, const StageRef& r) {
    return H::combine(std::move(state), static_cast<std::uint8_t>(r.tag), r.index);
  }
};

// A member's operands; nearly every member has one or two, which stay inline.
using StageRefs = absl::InlinedVector<StageRef, 2>;

// What a stage member applies. Where operators are held by id (in an operator table, or in a
// reduction's result beside the table it reduced) it is the id of its operator there: a table
// spells no member text. In a key that stands alone (a snapshot, a key built by hand) it is the
// operator's token. A member read from a blob whose text is not exactly an operator's token keeps
// that text in both places, so that it shows and writes back as it was read.
//
// Invariant of a table: a text member is never an operator's token (the table resolves those to
// ids on the way in), so a member's id and text forms never both describe one member and equal
// members are equal in either form.
using MemberOp = std::variant<Text, OpId>;

// One member of a fused stage: what it applies and its operands.
struct StageOp {
  MemberOp op;
  StageRefs refs;

  // The id of the member's operator, or null when the member is named by text.
  const OpId* id() const noexcept { return std::get_if<OpId>(&op); }
  const Text* text() const noexcept { return std::get_if<Text>(&op); }

  friend bool operator==(const StageOp& a, const StageOp& b) noexcept {
    const OpId* id = a.id();
    const bool same_op = id != nullptr ? b.id() != nullptr && *id == *b.id()
                                       : b.text() != nullptr && *a.text() == *b.text();
    return same_op && a.refs == b.refs;
  }
  template <class H>
  friend H AbslHashValue(H state, const StageOp& member) {
    if (const OpId* id = member.id()) return H::combine(std::move(state), true, *id, member.refs);
    return H::combine(std::move(state), false, *member.text(), member.refs);
  }
};

// A key of a kind without extra parts (Source, Op, Reduction, Exchange, Join), borrowed rather
// than owned: what a hash-consing table looks up before it decides to copy anything. `params` are
// in ParamMap order (sort_by_key); a Source's `inputs` are empty and an Exchange's or Join's
// `name` is.
struct KeyView {
  NodeKind kind;
  std::string_view name;
  std::span<const ParamView> params;
  std::span<const NodeId> inputs;
};

class NodeKey;
// A hash of the structure that equal keys share, and that a key shares with every view it matches.
// Seeded per process: it orders nothing, it only spreads keys over a table.
std::uint64_t structural_hash(const NodeKey& key) noexcept;
std::uint64_t structural_hash(const KeyView& view) noexcept;

// A node's operator is everything of it except its inputs: kind, name and params, an External's
// descriptor, a Stage's members. Operators are held as NodeKeys without inputs; these hash and
// compare a key or view as its operator, ignoring whatever inputs it has.
std::uint64_t operator_hash(const NodeKey& key) noexcept;
std::uint64_t operator_hash(const KeyView& view) noexcept;

// A node as the store, the rewrite engine and a reduction hold it: its operator's id and its
// children, in 16 bytes. Everything else of the node (kind, name, params, descriptor, members) is
// its operator's, kept once in a table and asked of the table. What the ids name is the holder's
// to say: a table and earlier nodes of one list.
struct Node {
  OpId op = 0;
  Children children;

  // Whether the node has this operator and these children, given in any integer type.
  template <class Id>
  bool is(OpId other, std::span<const Id> ids) const noexcept {
    return op == other && children.equals(ids);
  }
  friend bool operator==(const Node&, const Node&) = default;
};
static_assert(sizeof(Node) == 16);

class NodeKey {
 public:
  static NodeKey source(Text name, ParamMap params);
  static NodeKey op(Text name, ParamMap params, NodeInputs inputs);
  static NodeKey reduction(Text name, ParamMap params, NodeInputs inputs);
  static NodeKey external(PayloadDescriptor descriptor, ParamMap params, NodeInputs inputs);
  static NodeKey stage(NodeInputs inputs, std::vector<StageOp> members);
  static NodeKey exchange(ParamMap params, NodeInputs inputs);
  static NodeKey join(ParamMap params, NodeInputs inputs);

  // An owned copy of the viewed key.
  explicit NodeKey(const KeyView& view);
  NodeKey(const NodeKey& other);
  NodeKey(NodeKey&&) noexcept = default;
  NodeKey& operator=(const NodeKey& other);
  NodeKey& operator=(NodeKey&&) noexcept = default;
  ~NodeKey() = default;

  NodeKind kind() const noexcept { return kind_; }
  // The name of a Source, Op or Reduction; empty for the other kinds.
  std::string_view name() const noexcept { return name_.view(); }
  // Empty for a Stage.
  const ParamMap& params() const noexcept { return params_; }
  // Empty for a Source.
  std::span<const NodeId> inputs() const noexcept { return {inputs_.data(), inputs_.size()}; }
  // REQUIRES: kind() == External.
  const PayloadDescriptor& descriptor() const;
  // REQUIRES: kind() == Stage.
  std::span<const StageOp> members() const;

  // A deep copy with the input list replaced; a Source ignores `inputs`. A Stage keeps its
  // members, which stay valid as long as the new list keeps the order of the old one.
  NodeKey with_inputs(NodeInputs inputs) const;

  // Renames the operator ids of the members that name their operator by id. REQUIRES: kind() ==
  // Stage, and no table holds this key (its hash changes).
  void rename_member_ops(absl::FunctionRef<OpId(OpId)> rename);

  // The machine form that identifies the node apart from its inputs (see token.hpp).
  std::string token() const;
  // The display form used as a caption.
  std::string label() const;

  friend bool operator==(const NodeKey& a, const NodeKey& b) noexcept;
  // Whether this key equals the viewed one.
  bool matches(const KeyView& view) const noexcept;
  // Whether the two have the same operator (everything but the inputs).
  bool same_operator(const NodeKey& other) const noexcept;
  bool same_operator(const KeyView& view) const noexcept;
  template <class H>
  friend H AbslHashValue(H state, const NodeKey& k) {
    return H::combine(std::move(state), structural_hash(k));
  }

 private:
  // The part only an External (its descriptor) or a Stage (its members) has. Each kind allocates
  // its own part, so a Stage, of which a reduced graph holds many, does not carry an empty
  // descriptor of several strings.
  struct Extra {
    virtual ~Extra() = default;
    virtual std::unique_ptr<Extra> clone() const = 0;
  };
  struct ExternalPart;
  struct StagePart;
  const PayloadDescriptor& descriptor_part() const noexcept;
  const std::vector<StageOp>& members_part() const noexcept;

  NodeKey(NodeKind kind, Text&& name, ParamMap&& params, NodeInputs&& inputs,
          std::unique_ptr<Extra>&& extra) noexcept;

  NodeKind kind_;
  Text name_;
  ParamMap params_;
  NodeInputs inputs_;
  std::unique_ptr<Extra> extra_;  // non-null exactly for External and Stage
};

// The lower-case kind name the node view and blob diagnostics use: "source", "op", ...
std::string_view kind_name(NodeKind kind) noexcept;
// The kind's field of a token: "src", "op", "red", "ext", "stage", "exch", "join".
std::string_view token_kind(NodeKind kind) noexcept;

// The Op or Reduction operator (a key without inputs) whose token is exactly `text`, if any: what
// a stage member of that text applies.
std::optional<NodeKey> member_operator(std::string_view text);

// An owned copy of operator `op` (a key without inputs) with these inputs, which stands alone: a
// Stage's members that name their operator by id are spelled as its token, `ops[id]`.
template <class Ops>
NodeKey standalone_key(const NodeKey& op, NodeInputs inputs, const Ops& ops) {
  if (op.kind() != NodeKind::Stage) return op.with_inputs(std::move(inputs));
  std::vector<StageOp> spelled(op.members().begin(), op.members().end());
  for (StageOp& member : spelled) {
    if (const OpId* id = member.id()) member.op = Text(ops[*id].token());
  }
  return NodeKey::stage(std::move(inputs), std::move(spelled));
}

}  // namespace tarnvel
