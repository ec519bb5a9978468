// The symbol a node carries into the rewrite engine and the key it is rebuilt from afterwards.
//
// The engine treats equal symbols with equal children as one node, and the pipeline rebuilds every
// opaque node from the first surviving node with its symbol, so a symbol must identify its node
// completely apart from the inputs. NodeKey::token does not for two kinds: a Stage's token names
// only its member count, and an External's token writes its descriptor fields unescaped (an
// absent preprocessing_ref reads like "-", and a "|" inside a field reads like a separator).
//
// Invariants:
//   - an Op's symbol is its token, since the rewrite rules match on tokens;
//   - no other kind's symbol begins with "op|" (the engine derives `opaque` from that prefix);
//   - over all kinds, equal symbols imply equal keys once the inputs are ignored.
#pragma once

#include <string>

#include "ir/node.hpp"

namespace tarnvel {

std::string engine_symbol(const NodeKey& key);

}  // namespace tarnvel
