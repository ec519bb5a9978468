// PayloadDescriptor: the reproducibility metadata an External node carries (the payload it calls
// and how to run it).
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tarnvel {

// Reproducibility metadata of an External node; every field is part of the node's identity, and an
// absent preprocessing_ref differs from a present empty one.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
  template <class H>
  friend H AbslHashValue(H state, const PayloadDescriptor& d) {
    return H::combine(std::move(state), d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                      d.preprocessing_ref);
  }
};

}  // namespace tarnvel
