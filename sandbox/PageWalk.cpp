#include "PageWalk.h"

#include <windows.h>

#include <algorithm>
#include <iomanip>
#include <ostream>

namespace Sandbox
{
	namespace
	{
		constexpr std::uintptr_t kPage = 0x1000;
		constexpr std::uintptr_t kNearReach = 0x80000000;

		bool WritableAndExecutable(std::uint32_t a_protect)
		{
			const auto base = a_protect & 0xFF; // without PAGE_GUARD, PAGE_NOCACHE, ...
			return base == PAGE_EXECUTE_READWRITE || base == PAGE_EXECUTE_WRITECOPY;
		}

		bool Executable(std::uint32_t a_protect)
		{
			const auto base = a_protect & 0xFF;
			return base == PAGE_EXECUTE || base == PAGE_EXECUTE_READ || WritableAndExecutable(a_protect);
		}

		// The region of a walk holding a_address, or null.
		const MemoryRegion* RegionAt(const std::vector<MemoryRegion>& a_walk, std::uintptr_t a_address)
		{
			const auto after = std::ranges::upper_bound(a_walk, a_address, {}, &MemoryRegion::base);
			if (after == a_walk.begin()) {
				return nullptr;
			}
			const auto& region = *(after - 1);
			return a_address - region.base < region.size ? &region : nullptr;
		}

		// True when every page of a_region was committed with the same protection before:
		// the region is as the process had it before the plugins loaded.
		bool Unchanged(const std::vector<MemoryRegion>& a_before, const MemoryRegion& a_region)
		{
			for (std::uintptr_t page = a_region.base; page < a_region.base + a_region.size; page += kPage) {
				const auto* before = RegionAt(a_before, page);
				if (!before || before->protect != a_region.protect) {
					return false;
				}
			}
			return true;
		}

		bool Near(const MemoryRegion& a_region, const std::vector<const void*>& a_code)
		{
			return std::ranges::all_of(a_code, [&](const void* a_function) {
				const auto at = reinterpret_cast<std::uintptr_t>(a_function);
				const auto distance = std::max(at, a_region.base + a_region.size) - std::min(at, a_region.base);
				return distance < kNearReach;
			});
		}

		void PrintRegion(std::ostream& a_out, const MemoryRegion& a_region)
		{
			a_out << "  " << std::hex << std::setfill('0') << std::setw(16) << a_region.base << ' ' << a_region.size
			      << " protect " << a_region.protect << " type " << a_region.type << std::dec << std::setfill(' ');
		}
	} // namespace

	std::vector<MemoryRegion> WalkMemory()
	{
		SYSTEM_INFO system{};
		::GetSystemInfo(&system);
		std::vector<MemoryRegion> regions;
		auto                      at = reinterpret_cast<std::uintptr_t>(system.lpMinimumApplicationAddress);
		const auto                end = reinterpret_cast<std::uintptr_t>(system.lpMaximumApplicationAddress);
		MEMORY_BASIC_INFORMATION  info{};
		while (at < end && ::VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == sizeof info) {
			const auto base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
			if (info.State == MEM_COMMIT) {
				regions.push_back({ base, info.RegionSize, info.Protect, info.Type });
			}
			if (base + info.RegionSize <= at) {
				break; // a region that does not move the walk on would loop for ever
			}
			at = base + info.RegionSize;
		}
		return regions;
	}

	void PrintPageChanges(std::ostream& a_out, const std::vector<MemoryRegion>& a_before, const std::vector<MemoryRegion>& a_after,
	                      const std::vector<const void*>& a_gameCode)
	{
		// Wine and the C runtime may keep writable-and-executable pages of their own (and
		// the walk sees them before the plugins load as well); what loading the plugins
		// created or changed is what differs from the first walk. That covers the plugin's
		// trampoline pages, any heap page it made executable, and the game's code pages it
		// patched, without blaming the process for pages the plugin never touched.
		std::vector<MemoryRegion> writableExecutable;
		std::vector<MemoryRegion> newPrivateExecutable;
		for (const auto& region : a_after) {
			if (Unchanged(a_before, region)) {
				continue;
			}
			if (WritableAndExecutable(region.protect)) {
				writableExecutable.push_back(region);
			}
			if (Executable(region.protect) && region.type == MEM_PRIVATE) {
				newPrivateExecutable.push_back(region);
			}
		}
		a_out << "writable-executable new or changed: " << writableExecutable.size() << '\n';
		for (const auto& region : writableExecutable) {
			PrintRegion(a_out, region);
			a_out << '\n';
		}
		a_out << "private executable new: " << newPrivateExecutable.size() << '\n';
		for (const auto& region : newPrivateExecutable) {
			PrintRegion(a_out, region);
			a_out << (Near(region, a_gameCode) ? " near" : " far") << '\n';
		}
		const bool codeUnchanged = std::ranges::all_of(a_gameCode, [&](const void* a_function) {
			const auto  at = reinterpret_cast<std::uintptr_t>(a_function);
			const auto* before = RegionAt(a_before, at);
			const auto* after = RegionAt(a_after, at);
			return before && after && before->protect == after->protect;
		});
		a_out << "game code protection: " << (codeUnchanged ? "unchanged" : "changed") << '\n';
	}
} // namespace Sandbox
