#pragma once

// The text form of an id/offset list that the tool writes databases from and that its
// dump prints: one "id offset" pair per line, each number decimal or 0x-hexadecimal;
// "#" starts a comment; blank lines are skipped.

#include <cstdint>
#include <istream>
#include <optional>
#include <string_view>
#include <vector>

#include "REL/IDDBCodec.h"

namespace AddrLib
{
	// Raises std::invalid_argument naming the line for anything else.
	[[nodiscard]] std::vector<REL::IDDBCodec::Entry> ParsePairs(std::istream& a_in);

	// One unsigned 64-bit number, decimal or 0x-hexadecimal; nothing for other text.
	[[nodiscard]] std::optional<std::uint64_t> ParseNumber(std::string_view a_text);
} // namespace AddrLib
