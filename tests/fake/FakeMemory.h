#pragma once

// Fake system information and virtual address space.
//
// The address space is a script: a list of regions, each with a base, a size and a
// state (kMemFree, kMemReserve, kMemCommit). VirtualQuery reports the region that holds
// an address, from the page of that address to the region's end; an address between
// scripted regions lies in a reserved gap up to the next region; an address at or past
// the end of the last region is outside the address space (the call fails with
// ERROR_INVALID_PARAMETER, as Windows does above the highest user address).
//
// VirtualAlloc records the address it was asked for and hands back real, writable heap
// memory of the requested size (owned by the fake until VirtualFree or Reset), so that
// code that fills the memory it reserved can run.

#include <cstdint>
#include <vector>

#include "FakeOS.h"

namespace FakeOS
{
	using REX::OS::SIZE_T;

	struct MemoryRegion
	{
		std::uint64_t base{ 0 };
		std::uint64_t size{ 0 };
		DWORD         state{ REX::OS::kMemFree };
	};

	// Regions in any order; they must not overlap. Default: no address space at all.
	void SetMemoryMap(std::vector<MemoryRegion> a_regions);
	// What GetSystemInfo reports as dwAllocationGranularity (default 0x10000).
	void SetAllocationGranularity(DWORD a_granularity);

	struct VirtualAllocCall
	{
		std::uint64_t address{ 0 }; // as requested
		SIZE_T        size{ 0 };
		DWORD         allocationType{ 0 };
		DWORD         protect{ 0 };
		void*         result{ nullptr }; // the real memory handed back, or null on failure
	};

	struct VirtualFreeCall
	{
		void*  address{ nullptr };
		SIZE_T size{ 0 };
		DWORD  freeType{ 0 };
	};

	[[nodiscard]] const std::vector<VirtualAllocCall>& VirtualAllocs();
	[[nodiscard]] const std::vector<VirtualFreeCall>&  VirtualFrees();
	// Addresses passed to VirtualQuery, in order.
	[[nodiscard]] const std::vector<std::uint64_t>& VirtualQueries();
} // namespace FakeOS
