// CodeMemory on Windows: VirtualQuery, VirtualAlloc, VirtualProtect, VirtualFree,
// FlushInstructionCache and GetCurrentProcess, called directly.

#include "CodeMemory.h"

#include "Detour/FunctionTable.h"

#include "REL/NearMemory.h"

#include <windows.h>

#include <algorithm>

namespace
{
	constexpr DWORD kReadableExecutable = PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
	constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
	constexpr DWORD kExecutable = PAGE_EXECUTE | kReadableExecutable;
	constexpr DWORD kReadable = PAGE_READONLY | kWritable | PAGE_EXECUTE_READ;

	// The page size and the allocation granularity never change while the process runs,
	// and one install asks for them about ten times: the system is asked once.
	const SYSTEM_INFO& SystemInfo() noexcept
	{
		static const SYSTEM_INFO info = [] {
			SYSTEM_INFO system{};
			::GetSystemInfo(&system);
			return system;
		}();
		return info;
	}

	void* AllocateBlock(void* a_at)
	{
		return ::VirtualAlloc(a_at, Detour::CodeMemory::BlockSize(), MEM_RESERVE, PAGE_NOACCESS);
	}

	Detour::FunctionTable::Entry EntryOf(const RUNTIME_FUNCTION& a_function)
	{
		return { a_function.BeginAddress, a_function.EndAddress, a_function.UnwindData };
	}

	// The function table of the loaded image at a_base, through the system's lookup. The
	// caller found the image by looking up a_rva's entry, a_function: that answer is kept,
	// so that Locate does not ask the system the same question again.
	class LoadedFunctionTable final : public Detour::FunctionTable
	{
	public:
		LoadedFunctionTable(DWORD64 a_base, std::uint32_t a_rva, const RUNTIME_FUNCTION& a_function) :
		    base(a_base), knownRva(a_rva), known(EntryOf(a_function)) {}

	private:
		std::optional<Entry> LookupEntry(std::uint32_t a_rva) const override
		{
			if (a_rva == knownRva) {
				return known;
			}
			DWORD64    imageBase = 0;
			const auto function = ::RtlLookupFunctionEntry(base + a_rva, &imageBase, nullptr);
			if (function == nullptr || imageBase != base) {
				return std::nullopt;
			}
			return EntryOf(*function);
		}

		// Unwind data of a loaded image lies inside it, readable: the system unwinds through it.
		std::span<const std::uint8_t> ReadImage(std::uint32_t a_rva, std::size_t a_size) const override
		{
			return { reinterpret_cast<const std::uint8_t*>(base + a_rva), a_size };
		}

		DWORD64       base;
		std::uint32_t knownRva;
		Entry         known;
	};
} // namespace

namespace Detour::CodeMemory
{
	namespace
	{
		// Each saved page's own protection back.
		bool PutBack(const SavedProtection& a_saved)
		{
			bool restored = true;
			for (std::size_t i = 0; i < a_saved.pages; ++i) {
				DWORD ignored = 0;
				restored = ::VirtualProtect(reinterpret_cast<void*>(a_saved.firstPage + i * PageSize()), 1, a_saved.each[i], &ignored) != FALSE && restored;
			}
			return restored;
		}

		// How many bytes from a_address on (at most a_max) are committed with one of the
		// protections a_allowed (and neither guarded nor inaccessible).
		std::size_t AccessibleLength(const void* a_address, std::size_t a_max, DWORD a_allowed)
		{
			auto        at = reinterpret_cast<std::uintptr_t>(a_address);
			std::size_t length = 0;
			while (length < a_max) {
				MEMORY_BASIC_INFORMATION region{};
				if (::VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) == 0 || region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 || (region.Protect & a_allowed) == 0) {
					break;
				}
				const auto end = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
				length += end - at;
				at = end;
			}
			return std::min(length, a_max);
		}
	} // namespace

	bool MakeWritable(void* a_address, std::size_t a_size, SavedProtection& a_former) noexcept
	{
		// VirtualProtect over several pages reports the first page's former protection
		// only: each page is changed, and remembered, on its own.
		const PageRun run = PagesOf(a_address, a_size);
		if (run.count > SavedProtection::kMaxPages) {
			return false;
		}
		// One function's code lies in one allocation (an image is one); a run across two is
		// no function's, and is refused as VirtualProtect refuses a range across two.
		MEMORY_BASIC_INFORMATION first{};
		MEMORY_BASIC_INFORMATION last{};
		if (::VirtualQuery(reinterpret_cast<const void*>(run.first), &first, sizeof first) == 0 ||
		    ::VirtualQuery(reinterpret_cast<const void*>(run.first + (run.count - 1) * PageSize()), &last, sizeof last) == 0 || first.AllocationBase != last.AllocationBase) {
			return false;
		}
		SavedProtection saved{ run.first, 0, {} };
		for (std::size_t i = 0; i < run.count; ++i) {
			DWORD former = 0;
			if (::VirtualProtect(reinterpret_cast<void*>(run.first + i * PageSize()), 1, PAGE_EXECUTE_READWRITE, &former) == FALSE) {
				PutBack(saved);
				return false;
			}
			saved.each[saved.pages++] = former;
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
		::FlushInstructionCache(::GetCurrentProcess(), a_address, a_size);
	}

	std::size_t ExecutableLength(const void* a_address, std::size_t a_max) noexcept
	{
		return AccessibleLength(a_address, a_max, kReadableExecutable);
	}

	std::size_t ReadableLength(const void* a_address, std::size_t a_max) noexcept
	{
		return AccessibleLength(a_address, a_max, kReadable);
	}

	FunctionTable::Position LocateFunction(const void* a_address) noexcept
	{
		DWORD64    imageBase = 0;
		const auto address = reinterpret_cast<DWORD64>(a_address);
		const auto function = ::RtlLookupFunctionEntry(address, &imageBase, nullptr);
		if (function == nullptr) {
			return {};
		}
		const auto                rva = static_cast<std::uint32_t>(address - imageBase);
		const LoadedFunctionTable table{ imageBase, rva, *function };
		FunctionTable::Position   position = table.Locate(rva);
		position.imageBase = static_cast<std::uintptr_t>(imageBase);
		return position;
	}

	bool QueryAccess(const void* a_address, Access& a_access) noexcept
	{
		MEMORY_BASIC_INFORMATION region{};
		if (::VirtualQuery(a_address, &region, sizeof region) == 0 || region.State != MEM_COMMIT) {
			return false;
		}
		const DWORD protect = (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ? 0 : region.Protect;
		a_access = { (protect & kReadable) != 0, (protect & kWritable) != 0, (protect & kExecutable) != 0 };
		return true;
	}

	std::size_t PageSize() noexcept
	{
		return SystemInfo().dwPageSize;
	}

	std::size_t BlockSize() noexcept
	{
		return SystemInfo().dwAllocationGranularity;
	}

	void* ReserveNear(std::uintptr_t a_near) noexcept
	{
		const auto query = [](std::uint64_t a_position, REL::NearMemory::Region& a_region) {
			MEMORY_BASIC_INFORMATION region{};
			if (::VirtualQuery(reinterpret_cast<const void*>(a_position), &region, sizeof region) == 0) {
				return false;
			}
			a_region = { reinterpret_cast<std::uint64_t>(region.BaseAddress), region.RegionSize, region.State == MEM_FREE };
			return true;
		};
		// The search tries only multiples of the allocation granularity, and VirtualAlloc
		// reserves such a start as it is: the start found is the block's address.
		const auto          reserve = [](std::uint64_t a_start) { return AllocateBlock(reinterpret_cast<void*>(a_start)) != nullptr; };
		const std::uint64_t granularity = BlockSize();
		const std::uint64_t reach = REL::NearMemory::kReach - 2 * granularity;
		const auto          start = REL::NearMemory::SearchOutward(a_near, granularity, granularity, reach, query, reserve);
		return start ? reinterpret_cast<void*>(*start) : nullptr;
	}

	void* ReserveAnywhere() noexcept
	{
		return AllocateBlock(nullptr);
	}

	bool CommitPage(void* a_page) noexcept
	{
		return ::VirtualAlloc(a_page, PageSize(), MEM_COMMIT, PAGE_READWRITE) == a_page;
	}

	bool SealPage(void* a_page) noexcept
	{
		DWORD former = 0;
		return ::VirtualProtect(a_page, PageSize(), PAGE_EXECUTE_READ, &former) != FALSE;
	}

	void DecommitPage(void* a_page) noexcept
	{
		::VirtualFree(a_page, PageSize(), MEM_DECOMMIT);
	}

	void ReleaseBlock(void* a_block) noexcept
	{
		::VirtualFree(a_block, 0, MEM_RELEASE);
	}
} // namespace Detour::CodeMemory
