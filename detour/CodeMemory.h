#pragma once

// The detour's one seam to the operating system: page protection of code and the
// instruction cache flush after code was written. CodeMemoryWindows.cpp calls
// VirtualProtect and FlushInstructionCache directly (the plugin's own code talks to
// Windows itself, by design); CodeMemoryPosix.cpp uses mprotect, so that the same
// detour runs on real x86-64 code in the native tests.

#include <cstddef>
#include <cstdint>

namespace CodeMemory
{
	// A page protection as the platform spells it (PAGE_* on Windows, PROT_* on POSIX),
	// only ever handed back to RestoreProtection.
	using Protection = std::uint32_t;

	// Makes the pages holding [a_address, a_address + a_size) readable, writable and
	// executable (PAGE_EXECUTE_READWRITE) and stores their former protection (that of
	// the first page) in a_former. Returns false, with the protection unchanged, when
	// it cannot; nothing may then be written to the range.
	[[nodiscard]] bool MakeWritable(void* a_address, std::size_t a_size, Protection& a_former) noexcept;

	// Puts back a protection that MakeWritable returned. Returns false when it cannot.
	bool RestoreProtection(void* a_address, std::size_t a_size, Protection a_former) noexcept;

	// Tells the processor that code in the range has been rewritten.
	void FlushInstructionCache(const void* a_address, std::size_t a_size) noexcept;
}
