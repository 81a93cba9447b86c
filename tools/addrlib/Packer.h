#pragma once

// The encoder of the packed entry stream of formats 1 and 2: the inverse of
// REL::IDDBCodec::Unpack. Each entry takes the shortest id rule and the shortest offset
// rule against the entry before it, scaled by the pointer size where that is shorter.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "REL/IDDBCodec.h"

namespace AddrLib
{
	[[nodiscard]] std::vector<std::byte> Pack(std::span<const REL::IDDBCodec::Entry> a_entries, std::int32_t a_pointerSize);
}
