#include "optimizer/engine_symbol.hpp"

#include "ir/token.hpp"

namespace tarnvel {
namespace {

// "ext", then the six descriptor fields each after a "|", then the parameters. Every field is
// escaped, so a "|" only ever separates; the optional field is marked "-" when absent and "+" ahead
// of its text when present. An External without a preprocessing_ref and without characters to
// escape keeps exactly its token.
std::string external_symbol(const NodeKey& key) {
  const PayloadDescriptor& d = key.descriptor();
  std::string symbol = "ext";
  for (const std::string* field :
       {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
    symbol += '|';
    symbol += escape_token(*field);
  }
  if (d.preprocessing_ref) {
    symbol += "|+";
    symbol += escape_token(*d.preprocessing_ref);
  } else {
    symbol += "|-";
  }
  return with_params(std::move(symbol), key.params());
}

// The token ("stage|" and the member count), then per member a "|", its escaped token and one
// ";i<index>" or ";m<index>" per operand. Escaping leaves no raw "|" or ";" inside a member token.
std::string stage_symbol(const NodeKey& key) {
  std::string symbol = key.token();
  for (const StageOp& member : key.members()) {
    symbol += '|';
    symbol += escape_token(member.token);
    for (const StageRef& ref : member.refs) {
      symbol += ref.tag == StageRef::Tag::Input ? ";i" : ";m";
      symbol += std::to_string(ref.index);
    }
  }
  return symbol;
}

}  // namespace

std::string engine_symbol(const NodeKey& key) {
  switch (key.kind()) {
    case NodeKind::External: return external_symbol(key);
    case NodeKind::Stage: return stage_symbol(key);
    // Names and parameter keys and strings are escaped in these tokens, so they are injective.
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
    case NodeKind::Exchange:
    case NodeKind::Join: return key.token();
  }
  return key.token();
}

}  // namespace tarnvel
