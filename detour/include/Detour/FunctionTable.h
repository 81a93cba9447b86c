#pragma once

// The x86-64 function table of a PE image (its exception directory, ".pdata") and the
// one rule for how far a function reaches.
//
// Each entry gives a range of code and its unwind information. A compiler may split
// one function into several entries: MSVC often gives a short prologue (`sub rsp, n`,
// 4 bytes) an entry of its own and continues the function in a chained fragment right
// after it, whose unwind information carries UNW_FLAG_CHAININFO and a copy of the entry
// it continues. The primary entry's range alone then ends long before the function
// does. FunctionEnd extends it over the fragments that continue the same function where
// the previous range ends; fragments placed elsewhere (cold code) do not extend it.
//
// The same rule serves a loaded image (the live install asks the system's lookup) and
// a file read from disk (addrlib check and the hookability benchmark): each supplies
// the two look-ups below.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace Detour
{
	class FunctionTable
	{
	public:
		// One entry: relative virtual addresses (RVAs) of the range and of its unwind data.
		struct Entry
		{
			std::uint32_t begin{ 0 };  // the first byte
			std::uint32_t end{ 0 };    // just past the last byte
			std::uint32_t unwind{ 0 }; // the UNWIND_INFO (low bit set: of another entry, an alias)

			friend bool operator==(const Entry&, const Entry&) = default;
		};

		// Compilers chain a fragment to its primary entry directly; a walk this long is a
		// loop in damaged data.
		static constexpr int kMaxChainLength = 32;
		// The most fragments FunctionEnd joins; more is damaged data, not a function.
		static constexpr int kMaxFragmentsJoined = 1024;

		// Whether a_entry continues another entry's unwind state: an alias, or unwind data
		// flagged UNW_FLAG_CHAININFO.
		[[nodiscard]] bool IsChained(const Entry& a_entry) const;

		// The entry a chained fragment (or an alias) continues; nullopt when a_entry is a
		// primary entry or its unwind data cannot be read.
		[[nodiscard]] std::optional<Entry> Continues(const Entry& a_entry) const;

		// The primary entry at the end of a_entry's chain (a_entry itself when primary);
		// nullopt when the chain is broken or longer than kMaxChainLength. Virtual so that a
		// table read whole from a file can answer from chains it resolved once, instead of
		// walking them again on every question (FunctionEnd and Locate ask it per entry).
		[[nodiscard]] virtual std::optional<Entry> PrimaryOf(const Entry& a_entry) const;

		// Just past the last byte of the function that a_entry begins or continues,
		// reachable without leaving it: a_entry's end, extended over each entry that begins
		// exactly there and whose chain leads to the same primary entry.
		[[nodiscard]] std::uint32_t FunctionEnd(const Entry& a_entry) const;

		// Where an address lies in the table. Every function the compiler gave a frame has
		// an entry, so an address inside one but not at the start of its primary entry is
		// the middle of a function (where an Address Library of another game version
		// points): no place to patch. Code the table does not cover (a leaf function, code
		// written at run time) tells nothing.
		struct Position
		{
			enum class Kind : std::uint8_t
			{
				Uncovered,     // no entry holds the address
				FunctionStart, // a primary entry begins here; size is to the function's end
				InsideFunction // within an entry, past a function's start (a chained fragment's start included)
			};
			Kind          kind{ Kind::Uncovered };
			std::uint32_t size{ 0 }; // FunctionStart only: FunctionEnd less the address
			// Where the image begins, which the table's RVAs count from: reported by the
			// lookup in a loaded image (CodeMemory::LocateFunction); 0 from Locate, whose
			// table knows RVAs alone.
			std::uintptr_t imageBase{ 0 };
		};
		[[nodiscard]] Position Locate(std::uint32_t a_rva) const;

	protected:
		FunctionTable() = default;
		FunctionTable(const FunctionTable&) = default;
		FunctionTable& operator=(const FunctionTable&) = default;
		~FunctionTable() = default;

	private:
		// The entry whose range holds a_rva; nullopt when none does.
		[[nodiscard]] virtual std::optional<Entry> LookupEntry(std::uint32_t a_rva) const = 0;
		// The image's bytes from a_rva on, at most a_size of them; fewer or none where they
		// cannot be read.
		[[nodiscard]] virtual std::span<const std::uint8_t> ReadImage(std::uint32_t a_rva, std::size_t a_size) const = 0;
	};
} // namespace Detour
