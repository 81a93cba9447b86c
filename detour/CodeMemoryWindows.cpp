// CodeMemory on Windows: VirtualProtect, FlushInstructionCache and GetCurrentProcess,
// called directly.

#include "CodeMemory.h"

#include <windows.h>

namespace CodeMemory
{
	bool MakeWritable(void* a_address, std::size_t a_size, Protection& a_former) noexcept
	{
		DWORD former = 0;
		if (::VirtualProtect(a_address, a_size, PAGE_EXECUTE_READWRITE, &former) == FALSE) {
			return false;
		}
		a_former = former;
		return true;
	}

	bool RestoreProtection(void* a_address, std::size_t a_size, Protection a_former) noexcept
	{
		DWORD ignored = 0;
		return ::VirtualProtect(a_address, a_size, a_former, &ignored) != FALSE;
	}

	void FlushInstructionCache(const void* a_address, std::size_t a_size) noexcept
	{
		::FlushInstructionCache(::GetCurrentProcess(), a_address, a_size);
	}
}
