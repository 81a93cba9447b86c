// CodeMemory on Linux (and other POSIX systems with /proc/self/maps): mprotect works
// on whole pages and, unlike VirtualProtect, does not report the protection it
// replaces, so the former protection is read from the kernel's list of mappings.

#include "CodeMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace CodeMemory
{
	namespace
	{
		struct PageRange
		{
			std::uintptr_t first;
			std::size_t    size;
		};

		PageRange PagesOf(const void* a_address, std::size_t a_size)
		{
			const auto     page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
			const auto     start = reinterpret_cast<std::uintptr_t>(a_address);
			const auto     first = start & ~(page - 1);
			const auto     end = (start + (a_size == 0 ? 1 : a_size) + page - 1) & ~(page - 1);
			return { first, end - first };
		}

		// The protection of the mapping that holds a_page, from /proc/self/maps.
		bool CurrentProtection(std::uintptr_t a_page, Protection& a_protection)
		{
			std::FILE* maps = std::fopen("/proc/self/maps", "r");
			if (maps == nullptr) {
				return false;
			}
			bool found = false;
			char line[512];
			while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
				std::uintptr_t low = 0;
				std::uintptr_t high = 0;
				char           permissions[5] = {};
				if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &low, &high, permissions) == 3 && a_page >= low && a_page < high) {
					a_protection = (permissions[0] == 'r' ? PROT_READ : 0) | (permissions[1] == 'w' ? PROT_WRITE : 0) | (permissions[2] == 'x' ? PROT_EXEC : 0);
					found = true;
				}
			}
			std::fclose(maps);
			return found;
		}
	}

	bool MakeWritable(void* a_address, std::size_t a_size, Protection& a_former) noexcept
	{
		const PageRange pages = PagesOf(a_address, a_size);
		Protection      former = 0;
		if (!CurrentProtection(pages.first, former)) {
			return false;
		}
		if (::mprotect(reinterpret_cast<void*>(pages.first), pages.size, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
			// Linux changes the mappings it meets before a hole and then fails; give the
			// pages it already changed their protection back.
			::mprotect(reinterpret_cast<void*>(pages.first), pages.size, static_cast<int>(former));
			return false;
		}
		a_former = former;
		return true;
	}

	bool RestoreProtection(void* a_address, std::size_t a_size, Protection a_former) noexcept
	{
		const PageRange pages = PagesOf(a_address, a_size);
		return ::mprotect(reinterpret_cast<void*>(pages.first), pages.size, static_cast<int>(a_former)) == 0;
	}

	void FlushInstructionCache(const void* a_address, std::size_t a_size) noexcept
	{
		// x86 keeps instruction fetch coherent with stores; other processors need this.
		char* const start = static_cast<char*>(const_cast<void*>(a_address));
		__builtin___clear_cache(start, start + a_size);
	}
}
