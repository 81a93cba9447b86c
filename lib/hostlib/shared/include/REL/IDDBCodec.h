#pragma once

// The Address Library's file layouts and the pure work on them: reading headers,
// decoding the packed entry stream of formats 1 and 2, checking a mapped raw or
// format-5 table against the bytes that hold it, and searching a table. Nothing here
// touches the platform or ends the process, so the loader in the game and the addrlib
// tool share exactly one copy of the decoding rules; each caller turns a refusal into
// its own report.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string_view>

#include "REL/Version.h"

namespace REL::IDDBCodec
{
	// One id/offset pair as the sorted tables and the shared region hold it.
	struct Entry
	{
		std::uint64_t id;
		std::uint64_t offset;
	};
	static_assert(sizeof(Entry) == 16);

	inline constexpr std::size_t kNameSize = 64;

	// Formats 1 and 2, in memory. The file stores the same values in another order
	// (version, name length, name, pointer size, address count).
	struct HeaderV2
	{
		char                        name[kNameSize];
		std::array<std::int32_t, 4> version;
		std::int32_t                pointerSize;
		std::int32_t                addressCount;
	};

	// Format 5: exactly the first 96 bytes of the file.
	struct HeaderV5
	{
		std::int32_t                format;
		std::array<std::int32_t, 4> version;
		char                        name[kNameSize];
		std::int32_t                unknown1;
		std::int32_t                unknown2;
		std::int32_t                addressCount;
	};
	static_assert(sizeof(HeaderV5) == 96);

	inline constexpr std::size_t kRawHeaderSize = 8;
	inline constexpr std::size_t kV5HeaderSize = sizeof(HeaderV5);

	// Messages shared by the loader and the tool, so a bad file reads the same in both.
	inline constexpr char kUnhandledType[] = "Unhandled type while loading Address Library!";
	inline constexpr char kUnsupportedFormat[] = "Unsupported Address Library format: {}";
	inline constexpr char kVersionMismatch[] = "Address Library version mismatch!\nExpected Version: {}\nActual Version: {}";

	// Why a file is refused beyond what the fixed messages above cover.
	enum class Defect
	{
		None,
		Truncated,         // the packed stream ends inside an entry
		UnhandledType,     // a type byte with bit 3 set
		ZeroPointerSize,   // a scaled entry under a pointer size of 0
		NegativeCount,     // an address count below 0
		CountBeyondFile,   // more entries than the file's bytes can hold
		NotSorted,         // a raw table whose ids are not ascending
		ShorterThanHeader, // a mapped file shorter than its fixed header
	};

	// A readable line for a defect, e.g. "The address count is negative."
	[[nodiscard]] std::string_view Describe(Defect a_defect) noexcept;

	// The low 16 bits of each stored value, which is all that any comparison or message uses.
	[[nodiscard]] VersionNumber ToVersion(const std::array<std::int32_t, 4>& a_version) noexcept;

	// Stream readers. Each read either fills its target completely or raises
	// std::ios_base::failure, whatever the stream's exception mask.
	[[nodiscard]] std::int32_t ReadFormat(std::istream& a_in);
	// The stream stands behind the format field. A name of 64 bytes or more keeps its
	// first 63 bytes; the excess is skipped, never written.
	[[nodiscard]] HeaderV2 ReadHeaderV2(std::istream& a_in);
	// The stream stands behind the format field; the result's format is 5.
	[[nodiscard]] HeaderV5 ReadHeaderV5(std::istream& a_in);

	struct UnpackResult
	{
		Defect      defect{ Defect::None };
		std::size_t decoded{ 0 };   // entries written before the defect (all on success)
		std::size_t consumed{ 0 };  // bytes of the packed stream used
		bool        sorted{ true }; // ids came out ascending, so no sort is needed
		Entry       last{ 0, 0 };   // the last entry decoded: where a following chunk starts
	};

	// Decodes a_out.size() packed entries from a_packed, each against the entry before
	// it; the first against a_previous (id and offset 0 at the start of the stream). A
	// long stream can be decoded in chunks by passing each chunk the last result's `last`.
	[[nodiscard]] UnpackResult Unpack(std::span<const std::byte> a_packed, std::int32_t a_pointerSize, std::span<Entry> a_out, Entry a_previous = { 0, 0 }) noexcept;

	// The smallest number of bytes a_count packed entries can take (one type byte each).
	[[nodiscard]] constexpr std::uint64_t MinimumPackedSize(std::uint64_t a_count) noexcept
	{
		return a_count;
	}

	// A raw file as mapped: its count, checked against the bytes that follow it, and the
	// order of its ids, checked in one read-only pass.
	struct RawTable
	{
		Defect                 defect{ Defect::None };
		std::uint64_t          count{ 0 };
		std::span<const Entry> entries;
	};
	[[nodiscard]] RawTable ViewRaw(std::span<const std::byte> a_file) noexcept;

	// A format-5 file as mapped: its flat array, with the address count checked against
	// the bytes that follow the header.
	struct FlatTable
	{
		Defect                         defect{ Defect::None };
		std::int64_t                   count{ 0 };
		std::span<const std::uint32_t> offsets;
	};
	[[nodiscard]] FlatTable ViewFlat(std::span<const std::byte> a_file) noexcept;

	// The first entry whose id is not less than a_id, by the binary search that every
	// loader of this library uses; nothing when that entry is missing or has another id.
	[[nodiscard]] std::optional<std::uint64_t> Find(std::span<const Entry> a_table, std::uint64_t a_id) noexcept;
	// The element at a_id; nothing when a_id lies beyond the array or the element is 0.
	[[nodiscard]] std::optional<std::uint64_t> FindFlat(std::span<const std::uint32_t> a_table, std::uint64_t a_id) noexcept;

	[[nodiscard]] bool IsSorted(std::span<const Entry> a_table) noexcept;
} // namespace REL::IDDBCodec
