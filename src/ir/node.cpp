#include "ir/node.hpp"

#include <cstring>

#include "absl/hash/hash.h"
#include "ir/token.hpp"
#include "support/fault.hpp"
#include "support/seeded_hash.hpp"

namespace tarnvel {
namespace {

bool has_extra(NodeKind kind) { return kind == NodeKind::External || kind == NodeKind::Stage; }

// Words of a key folded by the seeded hasher. Lengths go into the words that announce the parts,
// so that a string is read with overlapping loads only, which together with its length determine
// every byte.
class StructureHasher {
 public:
  void word(std::uint64_t w) noexcept { hasher_.word(w); }
  void text(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n > 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) word(load64(p + i));
      word(load64(p + n - 8));
    } else if (n >= 4) {
      word(load32(p) | (load32(p + n - 4) << 32));
    } else if (n > 0) {
      word(byte(p[0]) | (byte(p[n / 2]) << 8) | (byte(p[n - 1]) << 16));
    }
  }
  void param(const ParamView& param) noexcept {
    const bool is_str = param.tag == ParamValue::Tag::Str;
    word(static_cast<std::uint64_t>(param.tag) | (param.key.size() << 8) |
         (is_str ? param.str.size() << 32 : 0));
    text(param.key);
    if (is_str) {
      text(param.str);
    } else {
      word(param.canonical_bits());
    }
  }
  std::uint64_t finish() const noexcept { return hasher_.finish(); }

 private:
  static std::uint64_t byte(char c) noexcept { return static_cast<unsigned char>(c); }
  static std::uint64_t load32(const char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  SeededHasher hasher_;
};

}  // namespace

struct NodeKey::ExternalPart final : NodeKey::Extra {
  explicit ExternalPart(PayloadDescriptor d) : descriptor(std::move(d)) {}
  std::unique_ptr<Extra> clone() const override { return std::make_unique<ExternalPart>(*this); }
  PayloadDescriptor descriptor;
};

struct NodeKey::StagePart final : NodeKey::Extra {
  explicit StagePart(std::vector<StageOp> m) : members(std::move(m)) {}
  std::unique_ptr<Extra> clone() const override { return std::make_unique<StagePart>(*this); }
  std::vector<StageOp> members;
};

// REQUIRES (both): the key is of the part's kind, so `extra_` holds that part.
const PayloadDescriptor& NodeKey::descriptor_part() const noexcept {
  return static_cast<const ExternalPart&>(*extra_).descriptor;
}
const std::vector<StageOp>& NodeKey::members_part() const noexcept {
  return static_cast<const StagePart&>(*extra_).members;
}

NodeKey::NodeKey(NodeKind kind, Text&& name, ParamMap&& params, NodeInputs&& inputs,
                 std::unique_ptr<Extra>&& extra) noexcept
    : kind_(kind),
      name_(std::move(name)),
      params_(std::move(params)),
      inputs_(std::move(inputs)),
      extra_(std::move(extra)) {}

NodeKey NodeKey::source(Text name, ParamMap params) {
  return NodeKey(NodeKind::Source, std::move(name), std::move(params), NodeInputs(), nullptr);
}
NodeKey NodeKey::op(Text name, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Op, std::move(name), std::move(params), std::move(inputs), nullptr);
}
NodeKey NodeKey::reduction(Text name, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Reduction, std::move(name), std::move(params), std::move(inputs),
                 nullptr);
}
NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, NodeInputs inputs) {
  std::unique_ptr<Extra> extra = std::make_unique<ExternalPart>(std::move(descriptor));
  return NodeKey(NodeKind::External, Text(), std::move(params), std::move(inputs),
                 std::move(extra));
}
NodeKey NodeKey::stage(NodeInputs inputs, std::vector<StageOp> members) {
  std::unique_ptr<Extra> extra = std::make_unique<StagePart>(std::move(members));
  return NodeKey(NodeKind::Stage, Text(), ParamMap(), std::move(inputs), std::move(extra));
}
NodeKey NodeKey::exchange(ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Exchange, Text(), std::move(params), std::move(inputs), nullptr);
}
NodeKey NodeKey::join(ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Join, Text(), std::move(params), std::move(inputs), nullptr);
}

NodeKey::NodeKey(const KeyView& view)
    : kind_(view.kind),
      name_(view.name),
      params_(view.params),
      inputs_(view.inputs.begin(), view.inputs.end()) {
  check_invariant(!has_extra(view.kind), "a key view of a kind with extra parts");
}

NodeKey::NodeKey(const NodeKey& other)
    : kind_(other.kind_),
      name_(other.name_),
      params_(other.params_),
      inputs_(other.inputs_),
      extra_(other.extra_ ? other.extra_->clone() : nullptr) {}

NodeKey& NodeKey::operator=(const NodeKey& other) {
  if (this != &other) *this = NodeKey(other);
  return *this;
}

const PayloadDescriptor& NodeKey::descriptor() const {
  check_invariant(kind_ == NodeKind::External, "descriptor() of a node that is not an External");
  return descriptor_part();
}

std::span<const StageOp> NodeKey::members() const {
  check_invariant(kind_ == NodeKind::Stage, "members() of a node that is not a Stage");
  return members_part();
}

void NodeKey::rename_member_ops(absl::FunctionRef<OpId(OpId)> rename) {
  check_invariant(kind_ == NodeKind::Stage, "members of a node that is not a Stage renamed");
  for (StageOp& member : static_cast<StagePart&>(*extra_).members) {
    if (const OpId* id = member.id()) member.op = rename(*id);
  }
}

NodeKey NodeKey::with_inputs(NodeInputs inputs) const {
  NodeKey copy(*this);
  if (kind_ != NodeKind::Source) copy.inputs_ = std::move(inputs);
  return copy;
}

bool NodeKey::same_operator(const NodeKey& other) const noexcept {
  if (kind_ != other.kind_ || name_ != other.name_ || params_ != other.params_) return false;
  if (kind_ == NodeKind::External) return descriptor_part() == other.descriptor_part();
  if (kind_ == NodeKind::Stage) return members_part() == other.members_part();
  return true;
}

bool NodeKey::same_operator(const KeyView& view) const noexcept {
  if (kind_ != view.kind || !same_text(name_.view(), view.name) ||
      params_.size() != view.params.size())
    return false;
  for (std::size_t i = 0; i < view.params.size(); ++i) {
    if (params_[i].view() != view.params[i]) return false;
  }
  return true;  // a view's kind has no extra parts, and neither has this key's then
}

bool operator==(const NodeKey& a, const NodeKey& b) noexcept {
  return a.inputs_ == b.inputs_ && a.same_operator(b);
}

bool NodeKey::matches(const KeyView& view) const noexcept {
  if (inputs_.size() != view.inputs.size()) return false;
  for (std::size_t i = 0; i < view.inputs.size(); ++i) {  // short: a loop beats a memcmp call
    if (inputs_[i] != view.inputs[i]) return false;
  }
  return same_operator(view);
}

namespace {

const ParamView& view_of(const ParamView& param) { return param; }
ParamView view_of(const Param& param) { return param.view(); }

// The parts every kind has, hashed alike for a key and for its view.
template <class Params>
StructureHasher hash_common(NodeKind kind, std::string_view name, const Params& params,
                            std::span<const NodeId> inputs) noexcept {
  StructureHasher hasher;
  hasher.word(static_cast<std::uint64_t>(kind) | (name.size() << 8) | (params.size() << 32) |
              (inputs.size() << 48));
  hasher.text(name);
  for (const auto& param : params) hasher.param(view_of(param));
  for (NodeId id : inputs) hasher.word(id);
  return hasher;
}

}  // namespace

std::uint64_t structural_hash(const KeyView& view) noexcept {
  return hash_common(view.kind, view.name, view.params, view.inputs).finish();
}

std::uint64_t operator_hash(const KeyView& view) noexcept {
  return hash_common(view.kind, view.name, view.params, {}).finish();
}

namespace {

std::uint64_t hash_key(const NodeKey& key, std::span<const NodeId> inputs) noexcept {
  StructureHasher hasher = hash_common(key.kind(), key.name(), key.params(), inputs);
  if (key.kind() == NodeKind::External) hasher.word(absl::HashOf(key.descriptor()));
  if (key.kind() == NodeKind::Stage) {
    for (const StageOp& member : key.members()) hasher.word(absl::HashOf(member));
  }
  return hasher.finish();
}

}  // namespace

std::uint64_t structural_hash(const NodeKey& key) noexcept { return hash_key(key, key.inputs()); }

std::uint64_t operator_hash(const NodeKey& key) noexcept { return hash_key(key, {}); }

std::string NodeKey::token() const {
  const std::string_view kind = token_kind(kind_);
  switch (kind_) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      return with_params(std::string(kind) + '|' + escape_token(name()), params_);
    case NodeKind::External: {
      // Descriptor fields are written as they are: this form is what tools have always seen.
      const PayloadDescriptor& d = descriptor_part();
      std::string base = std::string(kind) + '|' + d.kind + '|' + d.content_hash + '|' +
                         d.framework + '|' + d.version + '|' + d.io_schema + '|' +
                         d.preprocessing_ref.value_or("-");
      return with_params(std::move(base), params_);
    }
    case NodeKind::Stage: return std::string(kind) + '|' + std::to_string(members_part().size());
    case NodeKind::Exchange:
    case NodeKind::Join: return with_params(std::string(kind), params_);
  }
  return {};
}

std::string NodeKey::label() const {
  const std::string params = params_.empty() ? std::string() : " " + params_.display();
  switch (kind_) {
    case NodeKind::Source: return "Source " + name_.str() + params;
    case NodeKind::Op: return "Op " + name_.str() + params;
    case NodeKind::Reduction: return "Reduction " + name_.str() + params;
    case NodeKind::External: {
      const PayloadDescriptor& d = descriptor_part();
      return "External " + d.kind + ':' + d.content_hash + " [" + d.framework + ' ' + d.version +
             ']' + params;
    }
    case NodeKind::Stage: return "Stage[" + std::to_string(members_part().size()) + " members]";
    case NodeKind::Exchange: return "Exchange" + params;
    case NodeKind::Join: return "Join" + params;
  }
  return {};
}

std::string_view kind_name(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Source: return "source";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "reduction";
    case NodeKind::External: return "external";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exchange";
    case NodeKind::Join: return "join";
  }
  return "";
}

std::string_view token_kind(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Source: return "src";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "red";
    case NodeKind::External: return "ext";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exch";
    case NodeKind::Join: return "join";
  }
  return "";
}

std::optional<NodeKey> member_operator(std::string_view text) {
  std::optional<ParsedOpToken> parsed = parse_op_token(text);
  if (!parsed) return std::nullopt;
  Text name(parsed->name);
  std::optional<NodeKey> op =
      parsed->kind == "op" ? NodeKey::op(std::move(name), std::move(parsed->params), {})
                           : NodeKey::reduction(std::move(name), std::move(parsed->params), {});
  // Parsing forgives what formatting never writes (escapes, signs, digits, key order), and such
  // text must show and write back as it was.
  if (op->token() != text) return std::nullopt;
  return op;
}

}  // namespace tarnvel
