// OpId: the name of an operator in an operator table.
#pragma once

#include <cstdint>

namespace tarnvel {

// The id of an operator in an operator table: dense from 0, and below 2^32 as node ids are.
using OpId = std::uint32_t;

}  // namespace tarnvel
