#include "REL/IDDBCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <istream>
#include <limits>

namespace REL::IDDBCodec
{
	namespace
	{
		void ReadExact(std::istream& a_in, void* a_target, std::size_t a_size)
		{
			a_in.read(static_cast<char*>(a_target), static_cast<std::streamsize>(a_size));
			if (!a_in || static_cast<std::size_t>(a_in.gcount()) != a_size) {
				throw std::ios_base::failure("Address Library file ends early");
			}
		}

		template <class T>
		T ReadValue(std::istream& a_in)
		{
			T value{};
			ReadExact(a_in, &value, sizeof(value));
			return value;
		}

		// Rule tables by rule value 0..7 (ids and offsets share them): operand size (0 is an
		// 8-byte absolute, 1 none, 2/3 one byte, 4/5 two bytes, 6 a 2-byte and 7 a 4-byte
		// absolute); and for the branch-free decoder the mask that
		// keeps that many bytes of an 8-byte little-endian load, the constant that rule 1
		// adds without an operand, and whether the rule is absolute or subtracts.
		constexpr std::uint8_t  kSize[8] = { 8, 0, 1, 1, 2, 2, 2, 4 };
		constexpr std::uint64_t kMask[8] = { ~0ull, 0, 0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF };
		constexpr std::uint64_t kOne[8] = { 0, 1, 0, 0, 0, 0, 0, 0 };
		constexpr std::uint64_t kAbsolute[8] = { ~0ull, 0, 0, 0, 0, 0, ~0ull, ~0ull };
		constexpr std::uint64_t kNegative[8] = { 0, 0, 0, ~0ull, 0, ~0ull, 0, 0 };
		// Length of a whole entry by its type byte, so that the next entry's position costs
		// one lookup: decoding is bound by that chain from one entry to the next.
		constexpr auto kEntrySize = [] {
			std::array<std::uint8_t, 256> sizes{};
			for (unsigned type = 0; type < 256; ++type) {
				sizes[type] = static_cast<std::uint8_t>(1 + kSize[type & 0x7] + kSize[(type >> 4) & 0x7]);
			}
			return sizes;
		}();
		// The longest entry: a type byte and two 8-byte operands.
		constexpr std::size_t kLongestEntry = 17;

		// One rule without branches: the absolute value, or base plus or minus it.
		inline std::uint64_t ApplyRule(unsigned a_rule, std::uint64_t a_base, std::uint64_t a_operand) noexcept
		{
			const auto relative = a_base + ((a_operand ^ kNegative[a_rule]) - kNegative[a_rule]);
			return (a_operand & kAbsolute[a_rule]) | (relative & ~kAbsolute[a_rule]);
		}

		inline std::uint64_t Load8(const std::byte* a_at) noexcept
		{
			std::uint64_t value;
			std::memcpy(&value, a_at, sizeof(value));
			return value;
		}

		// Little-endian operand of 1, 2, 4 or 8 bytes; the caller has checked the length.
		template <std::size_t N>
		std::uint64_t Operand(const std::byte* a_at) noexcept
		{
			std::uint64_t value = 0;
			std::memcpy(&value, a_at, N);
			return value;
		}
	} // namespace

	std::string_view Describe(Defect a_defect) noexcept
	{
		switch (a_defect) {
			case Defect::None:
				return "No defect.";
			case Defect::Truncated:
				return "The file ends inside its entries.";
			case Defect::UnhandledType:
				return kUnhandledType;
			case Defect::ZeroPointerSize:
				return "An entry is scaled by a pointer size of 0.";
			case Defect::NegativeCount:
				return "The address count is negative.";
			case Defect::CountBeyondFile:
				return "The entry count is larger than the file can hold.";
			case Defect::NotSorted:
				return "The entries are not sorted by id.";
			case Defect::ShorterThanHeader:
				return "The file is shorter than its header.";
		}
		return "Unknown defect.";
	}

	VersionNumber ToVersion(const std::array<std::int32_t, 4>& a_version) noexcept
	{
		return VersionNumber{
			static_cast<std::uint16_t>(a_version[0]),
			static_cast<std::uint16_t>(a_version[1]),
			static_cast<std::uint16_t>(a_version[2]),
			static_cast<std::uint16_t>(a_version[3])
		};
	}

	std::int32_t ReadFormat(std::istream& a_in)
	{
		return ReadValue<std::int32_t>(a_in);
	}

	HeaderV2 ReadHeaderV2(std::istream& a_in)
	{
		HeaderV2 header{};
		ReadExact(a_in, header.version.data(), sizeof(header.version));
		const auto nameLength = ReadValue<std::uint32_t>(a_in);
		// The name is never used; what does not fit beside its ending zero is skipped so
		// that a long name cannot run into the version that follows it in memory.
		const auto kept = std::min<std::uint64_t>(nameLength, kNameSize - 1);
		ReadExact(a_in, header.name, static_cast<std::size_t>(kept));
		header.name[kept] = '\0';
		if (const auto excess = nameLength - kept; excess > 0) {
			a_in.ignore(static_cast<std::streamsize>(excess));
			if (!a_in || static_cast<std::uint64_t>(a_in.gcount()) != excess) {
				throw std::ios_base::failure("Address Library file ends inside its name");
			}
		}
		header.pointerSize = ReadValue<std::int32_t>(a_in);
		header.addressCount = ReadValue<std::int32_t>(a_in);
		return header;
	}

	HeaderV5 ReadHeaderV5(std::istream& a_in)
	{
		HeaderV5 header{};
		header.format = 5;
		ReadExact(a_in, reinterpret_cast<char*>(&header) + sizeof(header.format), sizeof(header) - sizeof(header.format));
		return header;
	}

	UnpackResult Unpack(std::span<const std::byte> a_packed, std::int32_t a_pointerSize, std::span<Entry> a_out, Entry a_previous) noexcept
	{
		// The pointer size scales offsets; it is taken sign-extended, as the files' writers
		// and every other reader of this format take it.
		const auto pointerSize = static_cast<std::uint64_t>(static_cast<std::int64_t>(a_pointerSize));

		UnpackResult           result;
		const std::byte*       at = a_packed.data();
		const std::byte* const end = at + a_packed.size();
		std::uint64_t          id = a_previous.id;
		std::uint64_t          offset = a_previous.offset;

		// A table of a million entries is decoded at every game start in the session's first
		// process: while a whole longest entry is left, and the pointer size is a power of
		// two (8 in every published file), entries are decoded without a branch on their
		// rules. The loop below finishes the tail and handles every other pointer size.
		static_assert(std::endian::native == std::endian::little);
		std::size_t next = 0;
		if (pointerSize != 0 && std::has_single_bit(pointerSize)) {
			const auto shift = std::countr_zero(pointerSize);
			while (next < a_out.size() && static_cast<std::size_t>(end - at) >= kLongestEntry) {
				const auto type = static_cast<std::uint8_t>(*at);
				if ((type & 0x8) != 0) {
					break; // reported by the loop below
				}
				const unsigned idRule = type & 0x7;
				const unsigned offsetRule = (type >> 4) & 0x7;
				const bool     scaled = (type & 0x80) != 0;
				const auto     idOperand = (Load8(at + 1) & kMask[idRule]) | kOne[idRule];
				const auto     offsetOperand = (Load8(at + 1 + kSize[idRule]) & kMask[offsetRule]) | kOne[offsetRule];
				at += kEntrySize[type];

				const auto previousId = id;
				id = ApplyRule(idRule, id, idOperand);
				const auto base = scaled ? offset >> shift : offset;
				const auto value = ApplyRule(offsetRule, base, offsetOperand);
				offset = scaled ? value << shift : value;
				result.sorted = result.sorted && id >= previousId;
				a_out[next++] = Entry{ id, offset };
			}
			result.decoded = next;
		}

		for (auto& out : a_out.subspan(next)) {
			if (at == end) {
				result.defect = Defect::Truncated;
				break;
			}
			const auto type = static_cast<std::uint8_t>(*at);
			const auto idRule = type & 0xF;
			const auto offsetRule = (type >> 4) & 0x7;
			const bool scaled = (type & 0x80) != 0;
			if (idRule >= 8) {
				result.defect = Defect::UnhandledType;
				break;
			}
			if (scaled && pointerSize == 0) {
				result.defect = Defect::ZeroPointerSize;
				break;
			}
			const auto idSize = kSize[idRule];
			const auto offsetSize = kSize[offsetRule];
			if (static_cast<std::size_t>(end - at) < 1u + idSize + offsetSize) {
				result.defect = Defect::Truncated;
				break;
			}
			++at;

			auto read = [&](std::uint8_t a_size) noexcept {
				std::uint64_t value = 0;
				switch (a_size) {
					case 1:
						value = Operand<1>(at);
						break;
					case 2:
						value = Operand<2>(at);
						break;
					case 4:
						value = Operand<4>(at);
						break;
					case 8:
						value = Operand<8>(at);
						break;
					default:
						break;
				}
				at += a_size;
				return value;
			};

			const auto previousId = id;
			switch (idRule) {
				case 0:
				case 6:
				case 7:
					id = read(idSize);
					break;
				case 1:
					id = id + 1;
					break;
				case 2:
				case 4:
					id = id + read(idSize);
					break;
				default: // 3, 5
					id = id - read(idSize);
					break;
			}

			const auto base = scaled ? offset / pointerSize : offset;
			switch (offsetRule) {
				case 0:
				case 6:
				case 7:
					offset = read(offsetSize);
					break;
				case 1:
					offset = base + 1;
					break;
				case 2:
				case 4:
					offset = base + read(offsetSize);
					break;
				default: // 3, 5
					offset = base - read(offsetSize);
					break;
			}
			if (scaled) {
				offset *= pointerSize;
			}

			if (id < previousId) {
				result.sorted = false;
			}
			out = Entry{ id, offset };
			++result.decoded;
		}
		result.consumed = static_cast<std::size_t>(at - a_packed.data());
		result.last = Entry{ id, offset };
		return result;
	}

	RawTable ViewRaw(std::span<const std::byte> a_file) noexcept
	{
		RawTable result;
		if (a_file.size() < kRawHeaderSize) {
			result.defect = Defect::ShorterThanHeader;
			return result;
		}
		std::memcpy(&result.count, a_file.data(), sizeof(result.count));
		const auto room = (a_file.size() - kRawHeaderSize) / sizeof(Entry);
		if (result.count > room) {
			result.defect = Defect::CountBeyondFile;
			return result;
		}
		// The table is searched where it lies; its rows are 8-byte aligned because a
		// mapped view starts on a page and the count takes 8 bytes.
		const std::span entries{ reinterpret_cast<const Entry*>(a_file.data() + kRawHeaderSize), static_cast<std::size_t>(result.count) };
		if (!IsSorted(entries)) {
			result.defect = Defect::NotSorted;
			return result;
		}
		result.entries = entries;
		return result;
	}

	FlatTable ViewFlat(std::span<const std::byte> a_file) noexcept
	{
		FlatTable result;
		if (a_file.size() < kV5HeaderSize) {
			result.defect = Defect::ShorterThanHeader;
			return result;
		}
		HeaderV5 header{};
		std::memcpy(&header, a_file.data(), sizeof(header));
		result.count = header.addressCount;
		if (result.count < 0) {
			result.defect = Defect::NegativeCount;
			return result;
		}
		const auto room = (a_file.size() - kV5HeaderSize) / sizeof(std::uint32_t);
		if (static_cast<std::uint64_t>(result.count) > room) {
			result.defect = Defect::CountBeyondFile;
			return result;
		}
		result.offsets = { reinterpret_cast<const std::uint32_t*>(a_file.data() + kV5HeaderSize), static_cast<std::size_t>(result.count) };
		return result;
	}

	std::optional<std::uint64_t> Find(std::span<const Entry> a_table, std::uint64_t a_id) noexcept
	{
		const Entry*       cursor = a_table.data();
		const Entry* const last = cursor + a_table.size();
		auto               n = a_table.size();
		// The classic lower-bound search, written without a branch on the comparison: a
		// lookup in a table of a million ids is bound by cache misses, so both entries that
		// the next step may probe are fetched while this one is compared.
		while (n > 0) {
			const auto half = n / 2;
			__builtin_prefetch(cursor + half / 2);
			__builtin_prefetch(cursor + half + 1 + (n - half - 1) / 2);
			const bool less = cursor[half].id < a_id;
			cursor = less ? cursor + half + 1 : cursor;
			n = less ? n - half - 1 : half;
		}
		if (cursor == last || cursor->id != a_id) {
			return std::nullopt;
		}
		return cursor->offset;
	}

	std::optional<std::uint64_t> FindFlat(std::span<const std::uint32_t> a_table, std::uint64_t a_id) noexcept
	{
		if (a_id >= a_table.size() || a_table[static_cast<std::size_t>(a_id)] == 0) {
			return std::nullopt;
		}
		return a_table[static_cast<std::size_t>(a_id)];
	}

	bool IsSorted(std::span<const Entry> a_table) noexcept
	{
		return std::is_sorted(a_table.begin(), a_table.end(), [](const Entry& a_lhs, const Entry& a_rhs) { return a_lhs.id < a_rhs.id; });
	}
} // namespace REL::IDDBCodec
