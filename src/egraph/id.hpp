// Id: the e-graph's name for a class.
#pragma once

#include <cstdint>

namespace tarnvel::egraph {

// Class identifier: dense from 0 in creation order, valid forever, canonical only while a root.
using Id = std::uint32_t;

}  // namespace tarnvel::egraph
