#include "ir/node.hpp"

#include "ir/token.hpp"
#include "support/fault.hpp"

namespace tarnvel {

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
  auto extra = std::make_unique<Extra>(Extra{std::move(descriptor), {}});
  return NodeKey(NodeKind::External, Text(), std::move(params), std::move(inputs), std::move(extra));
}
NodeKey NodeKey::stage(NodeInputs inputs, std::vector<StageOp> members) {
  auto extra = std::make_unique<Extra>(Extra{{}, std::move(members)});
  return NodeKey(NodeKind::Stage, Text(), ParamMap(), std::move(inputs), std::move(extra));
}
NodeKey NodeKey::exchange(ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Exchange, Text(), std::move(params), std::move(inputs), nullptr);
}
NodeKey NodeKey::join(ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Join, Text(), std::move(params), std::move(inputs), nullptr);
}

NodeKey::NodeKey(const NodeKey& other)
    : kind_(other.kind_),
      name_(other.name_),
      params_(other.params_),
      inputs_(other.inputs_),
      extra_(other.extra_ ? std::make_unique<Extra>(*other.extra_) : nullptr) {}

NodeKey& NodeKey::operator=(const NodeKey& other) {
  if (this != &other) *this = NodeKey(other);
  return *this;
}

const PayloadDescriptor& NodeKey::descriptor() const {
  check_invariant(kind_ == NodeKind::External, "descriptor() of a node that is not an External");
  return extra_->descriptor;
}

std::span<const StageOp> NodeKey::members() const {
  check_invariant(kind_ == NodeKind::Stage, "members() of a node that is not a Stage");
  return extra_->members;
}

NodeKey NodeKey::with_inputs(NodeInputs inputs) const {
  NodeKey copy(*this);
  if (kind_ != NodeKind::Source) copy.inputs_ = std::move(inputs);
  return copy;
}

bool operator==(const NodeKey& a, const NodeKey& b) noexcept {
  if (a.kind_ != b.kind_ || a.name_ != b.name_ || a.params_ != b.params_ || a.inputs_ != b.inputs_)
    return false;
  if (a.kind_ == NodeKind::External) return a.extra_->descriptor == b.extra_->descriptor;
  if (a.kind_ == NodeKind::Stage) return a.extra_->members == b.extra_->members;
  return true;
}

std::string NodeKey::token() const {
  switch (kind_) {
    case NodeKind::Source: return with_params("src|" + escape_token(name()), params_);
    case NodeKind::Op: return with_params("op|" + escape_token(name()), params_);
    case NodeKind::Reduction: return with_params("red|" + escape_token(name()), params_);
    case NodeKind::External: {
      // Descriptor fields are written as they are: this form is what tools have always seen.
      const PayloadDescriptor& d = extra_->descriptor;
      std::string base = "ext|" + d.kind + '|' + d.content_hash + '|' + d.framework + '|' +
                         d.version + '|' + d.io_schema + '|' + d.preprocessing_ref.value_or("-");
      return with_params(std::move(base), params_);
    }
    case NodeKind::Stage: return "stage|" + std::to_string(extra_->members.size());
    case NodeKind::Exchange: return with_params("exch", params_);
    case NodeKind::Join: return with_params("join", params_);
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
      const PayloadDescriptor& d = extra_->descriptor;
      return "External " + d.kind + ':' + d.content_hash + " [" + d.framework + ' ' + d.version +
             ']' + params;
    }
    case NodeKind::Stage: return "Stage[" + std::to_string(extra_->members.size()) + " members]";
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

}  // namespace tarnvel
