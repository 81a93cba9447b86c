// How far a function reaches in a function table. See FunctionTable.h.

#include "Detour/FunctionTable.h"

#include <cstring>

namespace Detour
{
	namespace
	{
		// UNWIND_INFO: version in bits 0-2 of its first byte, flags in bits 3-7; a chained
		// fragment's copy of the entry it continues follows the unwind codes.
		constexpr std::uint8_t kUnwindFlagChainInfo = 0x4;
		// An entry whose unwind field has its low bit set is an alias: the field (low bit
		// cleared) is the RVA of another entry that holds its unwind state.
		constexpr std::uint32_t kUnwindIndirect = 0x1;
		constexpr std::size_t   kEntrySize = 12;

		std::uint32_t Read32(std::span<const std::uint8_t> a_bytes, std::size_t a_at)
		{
			std::uint32_t value;
			std::memcpy(&value, a_bytes.data() + a_at, sizeof value);
			return value;
		}
	} // namespace

	std::optional<FunctionTable::Entry> FunctionTable::Continues(const Entry& a_entry) const
	{
		std::uint32_t entryAt = 0;
		if ((a_entry.unwind & kUnwindIndirect) != 0) {
			entryAt = a_entry.unwind & ~kUnwindIndirect;
		} else {
			const auto header = ReadImage(a_entry.unwind, 4);
			if (header.size() < 4 || ((header[0] >> 3) & kUnwindFlagChainInfo) == 0) {
				return std::nullopt;
			}
			// The unwind codes are 2 bytes each, their count rounded up to even.
			const std::uint32_t codes = (std::uint32_t{ header[2] } + 1) & ~1u;
			entryAt = a_entry.unwind + 4 + codes * 2;
		}
		const auto data = ReadImage(entryAt, kEntrySize);
		if (data.size() < kEntrySize) {
			return std::nullopt;
		}
		return Entry{ Read32(data, 0), Read32(data, 4), Read32(data, 8) };
	}

	bool FunctionTable::IsChained(const Entry& a_entry) const
	{
		if ((a_entry.unwind & kUnwindIndirect) != 0) {
			return true;
		}
		const auto header = ReadImage(a_entry.unwind, 1);
		return !header.empty() && ((header[0] >> 3) & kUnwindFlagChainInfo) != 0;
	}

	std::optional<FunctionTable::Entry> FunctionTable::PrimaryOf(const Entry& a_entry) const
	{
		Entry entry = a_entry;
		for (int step = 0; step < kMaxChainLength; ++step) {
			if (!IsChained(entry)) {
				return entry;
			}
			const auto next = Continues(entry);
			if (!next) {
				return std::nullopt;
			}
			entry = *next;
		}
		return std::nullopt;
	}

	std::uint32_t FunctionTable::FunctionEnd(const Entry& a_entry) const
	{
		const auto    primary = PrimaryOf(a_entry);
		std::uint32_t end = a_entry.end;
		if (!primary) {
			return end;
		}
		for (int joined = 0; joined < kMaxFragmentsJoined; ++joined) {
			const auto next = LookupEntry(end);
			if (!next || next->begin != end || next->end <= end) {
				break;
			}
			const auto nextPrimary = PrimaryOf(*next);
			if (!nextPrimary || nextPrimary->begin != primary->begin) {
				break; // the next function, or a fragment of another one
			}
			end = next->end;
		}
		return end;
	}

	FunctionTable::Position FunctionTable::Locate(std::uint32_t a_rva) const
	{
		const auto entry = LookupEntry(a_rva);
		if (!entry || entry->end <= entry->begin) {
			return {};
		}
		const auto primary = PrimaryOf(*entry);
		if (entry->begin != a_rva || !primary || *primary != *entry) {
			return { Position::Kind::InsideFunction, 0 };
		}
		return { Position::Kind::FunctionStart, FunctionEnd(*entry) - a_rva };
	}
} // namespace Detour
