#pragma once

// The detour's one seam to the operating system: page protection of code, the
// instruction cache flush after code was written, whether an address holds executable
// code, and pages of the detour's own near an address for its trampolines and relays.
// CodeMemoryWindows.cpp calls VirtualQuery, VirtualAlloc, VirtualProtect and
// FlushInstructionCache directly (the plugin's own code talks to Windows itself, by
// design); CodeMemoryPosix.cpp uses /proc/self/maps, mmap and mprotect, so that the
// same detour runs on real x86-64 code in the native tests.

#include <cstddef>
#include <cstdint>

#include "Detour/FunctionTable.h"

namespace Detour::CodeMemory
{
	// A page protection as the platform spells it (PAGE_* on Windows, PROT_* on POSIX).
	using Protection = std::uint32_t;

	// The protection each page of a run had before MakeWritable changed it, page by page:
	// a run that spans two pages may span two sections (code and data) or two
	// allocations, each with a protection of its own. Only ever handed back to
	// RestoreProtection. A fixed array, not a heap one: it is filled while other threads
	// are held, one of which may hold the heap's lock.
	struct SavedProtection
	{
		static constexpr std::size_t kMaxPages = 4;

		std::uintptr_t firstPage{ 0 };
		std::size_t    pages{ 0 };
		Protection     each[kMaxPages]{};
	};

	// Makes each page holding [a_address, a_address + a_size) readable, writable and
	// executable (PAGE_EXECUTE_READWRITE), one page at a time, and stores each page's
	// former protection in a_former. Returns false when it cannot (or the run spans more
	// than SavedProtection::kMaxPages pages), with every page's protection as it was;
	// nothing may then be written to the range.
	[[nodiscard]] bool MakeWritable(void* a_address, std::size_t a_size, SavedProtection& a_former) noexcept;

	// Puts back, page by page, the protections MakeWritable saved for the same range.
	// Returns false when a page's cannot be put back (it goes on with the others).
	bool RestoreProtection(void* a_address, std::size_t a_size, const SavedProtection& a_former) noexcept;

	// Tells the processor that code in the range has been rewritten.
	void FlushInstructionCache(const void* a_address, std::size_t a_size) noexcept;

	// How many bytes from a_address on (at most a_max) are committed, readable and
	// executable; 0 when a_address is not executable code.
	[[nodiscard]] std::size_t ExecutableLength(const void* a_address, std::size_t a_max) noexcept;

	// How many bytes from a_address on (at most a_max) are committed and readable (a
	// pointer slot of an import table, say); 0 when a_address cannot be read.
	[[nodiscard]] std::size_t ReadableLength(const void* a_address, std::size_t a_max) noexcept;

	// Where a_address lies in the exception directory of its image (.pdata on Windows):
	// the start of a function, with its size up to its end, chained fragments that
	// continue it right after its own range included (FunctionTable::Locate); inside a
	// function; or not covered by any table (always so on POSIX). With the image's base
	// whenever a table covers the address.
	[[nodiscard]] FunctionTable::Position LocateFunction(const void* a_address) noexcept;

	// What the page holding a_address allows; false when it is not mapped.
	struct Access
	{
		bool read{ false };
		bool write{ false };
		bool execute{ false };
	};
	[[nodiscard]] bool QueryAccess(const void* a_address, Access& a_access) noexcept;

	// The unit of protection.
	[[nodiscard]] std::size_t PageSize() noexcept;

	// The pages that hold [a_address, a_address + a_size) (at least one).
	struct PageRun
	{
		std::uintptr_t first{ 0 };
		std::size_t    count{ 0 };
	};
	[[nodiscard]] inline PageRun PagesOf(const void* a_address, std::size_t a_size) noexcept
	{
		const std::uintptr_t page = PageSize();
		const auto           start = reinterpret_cast<std::uintptr_t>(a_address);
		const std::uintptr_t first = start - start % page;
		const std::uintptr_t last = start + (a_size == 0 ? 0 : a_size - 1);
		return { first, static_cast<std::size_t>((last - last % page - first) / page) + 1 };
	}

	// The size of the blocks the detour reserves for its own code: the allocation
	// granularity (64 KiB on Windows, a page on Linux).
	[[nodiscard]] std::size_t BlockSize() noexcept;

	// Address space for a block of BlockSize() bytes, reserved without access, lying
	// wholly within the reach of a rel32 branch from a_near (and of one from it back to
	// a_near), the nearest free one the address space offers; null when there is none.
	[[nodiscard]] void* ReserveNear(std::uintptr_t a_near) noexcept;
	// The same anywhere.
	[[nodiscard]] void* ReserveAnywhere() noexcept;
	// Gives one page of a reserved block memory, read/write. Only a page that holds no
	// live code may be committed: nothing runs from it while it is writable.
	[[nodiscard]] bool CommitPage(void* a_page) noexcept;
	// Switches a committed page to execute/read for good.
	[[nodiscard]] bool SealPage(void* a_page) noexcept;
	// Takes the page's memory back; its address space stays reserved.
	void DecommitPage(void* a_page) noexcept;
	void ReleaseBlock(void* a_block) noexcept;
} // namespace Detour::CodeMemory
