// CodeMemory on Linux (and other POSIX systems with /proc/self/maps): mprotect works
// on whole pages and, unlike VirtualProtect, does not report the protection it
// replaces, so the former protection is read from the kernel's list of mappings, which
// also tells where free address space lies for blocks near a target.

#include "CodeMemory.h"

#include "REL/NearMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

namespace Detour::CodeMemory
{
	namespace
	{
		struct Mapping
		{
			std::uintptr_t low;
			std::uintptr_t high;
			Protection     protection;
		};

		// The process's mappings in ascending order, from /proc/self/maps.
		std::vector<Mapping> ReadMappings()
		{
			std::vector<Mapping> mappings;
			std::FILE*           maps = std::fopen("/proc/self/maps", "r");
			if (maps == nullptr) {
				return mappings;
			}
			char line[512];
			while (std::fgets(line, sizeof line, maps) != nullptr) {
				std::uintptr_t low = 0;
				std::uintptr_t high = 0;
				char           permissions[5] = {};
				if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &low, &high, permissions) == 3) {
					const Protection protection = (permissions[0] == 'r' ? PROT_READ : 0) | (permissions[1] == 'w' ? PROT_WRITE : 0) | (permissions[2] == 'x' ? PROT_EXEC : 0);
					mappings.push_back({ low, high, protection });
				}
			}
			std::fclose(maps);
			return mappings;
		}

		const Mapping* MappingAt(const std::vector<Mapping>& a_mappings, std::uintptr_t a_address)
		{
			const auto found = std::find_if(a_mappings.begin(), a_mappings.end(), [&](const Mapping& a_mapping) { return a_address >= a_mapping.low && a_address < a_mapping.high; });
			return found != a_mappings.end() ? &*found : nullptr;
		}

		// The protection of the mapping that holds a_page.
		bool CurrentProtection(std::uintptr_t a_page, Protection& a_protection)
		{
			const auto     mappings = ReadMappings();
			const Mapping* mapping = MappingAt(mappings, a_page);
			if (mapping == nullptr) {
				return false;
			}
			a_protection = mapping->protection;
			return true;
		}

		// The lowest address user space reaches, and one past the highest (x86-64, 4-level paging).
		constexpr std::uintptr_t kUserLow = 0x10000;
		constexpr std::uintptr_t kUserHigh = std::uintptr_t{ 1 } << 47;

		void* MapBlock(void* a_at, int a_flags)
		{
			void* const block = ::mmap(a_at, BlockSize(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | a_flags, -1, 0);
			if (block == MAP_FAILED) {
				return nullptr;
			}
			if (a_at != nullptr && block != a_at) {
				// An old kernel takes MAP_FIXED_NOREPLACE as a mere hint.
				::munmap(block, BlockSize());
				return nullptr;
			}
			return block;
		}
	} // namespace

	namespace
	{
		// How many bytes from a_address on (at most a_max) lie in mappings that allow all of a_required.
		std::size_t AccessibleLength(const void* a_address, std::size_t a_max, Protection a_required)
		{
			const auto  mappings = ReadMappings();
			auto        at = reinterpret_cast<std::uintptr_t>(a_address);
			std::size_t length = 0;
			while (length < a_max) {
				const Mapping* mapping = MappingAt(mappings, at);
				if (mapping == nullptr || (mapping->protection & a_required) != a_required) {
					break;
				}
				length += mapping->high - at;
				at = mapping->high;
			}
			return std::min(length, a_max);
		}

		// Each saved page's own protection back.
		bool PutBack(const SavedProtection& a_saved)
		{
			bool restored = true;
			for (std::size_t i = 0; i < a_saved.pages; ++i) {
				void* const page = reinterpret_cast<void*>(a_saved.firstPage + i * PageSize());
				restored = ::mprotect(page, PageSize(), static_cast<int>(a_saved.each[i])) == 0 && restored;
			}
			return restored;
		}
	} // namespace

	std::size_t ExecutableLength(const void* a_address, std::size_t a_max) noexcept
	{
		return AccessibleLength(a_address, a_max, PROT_READ | PROT_EXEC);
	}

	std::size_t ReadableLength(const void* a_address, std::size_t a_max) noexcept
	{
		return AccessibleLength(a_address, a_max, PROT_READ);
	}

	FunctionTable::Position LocateFunction(const void*) noexcept
	{
		return {}; // ELF code carries no table of function extents that is always there
	}

	bool QueryAccess(const void* a_address, Access& a_access) noexcept
	{
		Protection protection = 0;
		if (!CurrentProtection(reinterpret_cast<std::uintptr_t>(a_address), protection)) {
			return false;
		}
		a_access = { (protection & PROT_READ) != 0, (protection & PROT_WRITE) != 0, (protection & PROT_EXEC) != 0 };
		return true;
	}

	std::size_t PageSize() noexcept
	{
		// It never changes while the process runs, and one install asks for it about ten
		// times: the system is asked once.
		static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
		return size;
	}

	std::size_t BlockSize() noexcept
	{
		return PageSize(); // mmap's granularity is the page
	}

	void* ReserveNear(std::uintptr_t a_near) noexcept
	{
		// One snapshot of the mappings answers the walk's questions; a block taken
		// meanwhile by another thread makes MAP_FIXED_NOREPLACE fail, and the walk goes on.
		const auto mappings = ReadMappings();
		const auto query = [&](std::uint64_t a_position, REL::NearMemory::Region& a_region) {
			// Outside user space: a region that is never free.
			if (a_position < kUserLow) {
				a_region = { 0, kUserLow, false };
				return true;
			}
			if (a_position >= kUserHigh) {
				a_region = { kUserHigh, ~std::uint64_t{ 0 } - kUserHigh, false };
				return true;
			}
			if (const Mapping* mapping = MappingAt(mappings, a_position)) {
				a_region = { mapping->low, mapping->high - mapping->low, false };
				return true;
			}
			std::uintptr_t low = kUserLow;
			std::uintptr_t high = kUserHigh;
			for (const Mapping& mapping : mappings) {
				if (mapping.high <= a_position) {
					low = std::max(low, mapping.high);
				} else if (mapping.low > a_position) {
					high = std::min(high, mapping.low);
				}
			}
			a_region = { low, high - low, true };
			return true;
		};
		// MapBlock maps at the start asked for or not at all: the start found is the block.
		const auto          reserve = [](std::uint64_t a_start) { return MapBlock(reinterpret_cast<void*>(a_start), MAP_FIXED_NOREPLACE) != nullptr; };
		const std::uint64_t reach = REL::NearMemory::kReach - 2 * BlockSize();
		const auto          start = REL::NearMemory::SearchOutward(a_near, BlockSize(), BlockSize(), reach, query, reserve);
		return start ? reinterpret_cast<void*>(*start) : nullptr;
	}

	void* ReserveAnywhere() noexcept
	{
		return MapBlock(nullptr, 0);
	}

	bool CommitPage(void* a_page) noexcept
	{
		return ::mprotect(a_page, PageSize(), PROT_READ | PROT_WRITE) == 0;
	}

	bool SealPage(void* a_page) noexcept
	{
		return ::mprotect(a_page, PageSize(), PROT_READ | PROT_EXEC) == 0;
	}

	void DecommitPage(void* a_page) noexcept
	{
		// The kernel drops a private page's contents; it reads as zeros when committed again.
		::mprotect(a_page, PageSize(), PROT_NONE);
		::madvise(a_page, PageSize(), MADV_DONTNEED);
	}

	void ReleaseBlock(void* a_block) noexcept
	{
		::munmap(a_block, BlockSize());
	}

	bool MakeWritable(void* a_address, std::size_t a_size, SavedProtection& a_former) noexcept
	{
		const PageRun run = PagesOf(a_address, a_size);
		if (run.count > SavedProtection::kMaxPages) {
			return false;
		}
		const auto      mappings = ReadMappings();
		SavedProtection saved{ run.first, 0, {} };
		for (std::size_t i = 0; i < run.count; ++i) {
			const std::uintptr_t page = run.first + i * PageSize();
			const Mapping*       mapping = MappingAt(mappings, page);
			if (mapping == nullptr || ::mprotect(reinterpret_cast<void*>(page), PageSize(), PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
				PutBack(saved);
				return false;
			}
			saved.each[saved.pages++] = mapping->protection;
		}
		a_former = saved;
		return true;
	}

	bool RestoreProtection(void* a_address, std::size_t a_size, const SavedProtection& a_former) noexcept
	{
		const PageRun run = PagesOf(a_address, a_size);
		if (run.first != a_former.firstPage || run.count != a_former.pages) {
			return false; // not the range whose protections were saved
		}
		return PutBack(a_former);
	}

	void FlushInstructionCache(const void* a_address, std::size_t a_size) noexcept
	{
		// x86 keeps instruction fetch coherent with stores; other processors need this.
		char* const start = static_cast<char*>(const_cast<void*>(a_address));
		__builtin___clear_cache(start, start + a_size);
	}
} // namespace Detour::CodeMemory
