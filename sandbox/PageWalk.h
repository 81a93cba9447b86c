#pragma once

// The process's memory as VirtualQuery describes it, walked before the plugins load and
// again after, so that the sandbox can show what loading them did to page protection:
// above all, that no page became writable and executable at once.

#include <cstdint>
#include <iosfwd>
#include <vector>

namespace Sandbox
{
	struct MemoryRegion
	{
		std::uintptr_t base{ 0 };
		std::uintptr_t size{ 0 };
		std::uint32_t  protect{ 0 }; // PAGE_* as VirtualQuery reports it
		std::uint32_t  type{ 0 };    // MEM_IMAGE, MEM_MAPPED or MEM_PRIVATE
	};

	// Every committed region of the process's address space, in address order.
	[[nodiscard]] std::vector<MemoryRegion> WalkMemory();

	// Compares two walks and prints, one fact per line:
	//   "writable-executable new or changed: N", then one line per such region
	//   "private executable new: N", then one line per region ("near" when it lies within
	//       2 GiB of a_gameCode, the reach of a 5-byte jump from the game's code)
	//   "game code protection: unchanged|changed", for the pages holding a_gameCode
	void PrintPageChanges(std::ostream& a_out, const std::vector<MemoryRegion>& a_before, const std::vector<MemoryRegion>& a_after,
	                      const std::vector<const void*>& a_gameCode);
} // namespace Sandbox
