#include "FakeMemory.h"

// Placeholder behaviour until the trampoline's tests script an address space.

namespace REX::OS
{
	void   GetSystemInfo(SYSTEM_INFO* a_info) { *a_info = SYSTEM_INFO{}; a_info->dwAllocationGranularity = 0x10000; a_info->dwPageSize = 0x1000; }
	void*  VirtualAlloc(void*, SIZE_T, DWORD, DWORD) { return nullptr; }
	bool   VirtualFree(void*, SIZE_T, DWORD) { return false; }
	SIZE_T VirtualQuery(const void*, MEMORY_BASIC_INFORMATION*, SIZE_T) { return 0; }
}
