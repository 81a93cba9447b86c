#include "FakeMemory.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace FakeOS
{
	namespace
	{
		constexpr DWORD         kErrorInvalidParameter = 87;
		constexpr DWORD         kErrorInvalidAddress = 487;
		constexpr std::uint64_t kPageSize = 0x1000;

		struct Data
		{
			std::vector<MemoryRegion>                     regions;
			DWORD                                         granularity{ 0x10000 };
			std::vector<VirtualAllocCall>                 allocs;
			std::vector<VirtualFreeCall>                  frees;
			std::vector<std::uint64_t>                    queries;
			std::map<void*, std::unique_ptr<std::byte[]>> blocks;
		};

		struct State : Data
		{
			std::recursive_mutex lock;
		};

		State& GetState()
		{
			return SharedState<State, Data>();
		}
	} // namespace

	void SetMemoryMap(std::vector<MemoryRegion> a_regions)
	{
		std::ranges::sort(a_regions, {}, &MemoryRegion::base);
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.regions = std::move(a_regions);
	}

	void SetAllocationGranularity(const DWORD a_granularity)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.granularity = a_granularity;
	}

	const std::vector<VirtualAllocCall>& VirtualAllocs()
	{
		return GetState().allocs;
	}
	const std::vector<VirtualFreeCall>& VirtualFrees()
	{
		return GetState().frees;
	}
	const std::vector<std::uint64_t>& VirtualQueries()
	{
		return GetState().queries;
	}
} // namespace FakeOS

namespace REX::OS
{
	void GetSystemInfo(SYSTEM_INFO* a_info)
	{
		FakeOS::CountCall("GetSystemInfo");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		*a_info = SYSTEM_INFO{};
		a_info->dwPageSize = static_cast<DWORD>(FakeOS::kPageSize);
		a_info->dwAllocationGranularity = s.granularity;
		a_info->dwNumberOfProcessors = 1;
	}

	SIZE_T VirtualQuery(const void* a_address, MEMORY_BASIC_INFORMATION* a_buffer, SIZE_T a_length)
	{
		FakeOS::CountCall("VirtualQuery");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		const auto             address = reinterpret_cast<std::uint64_t>(a_address);
		s.queries.push_back(address);
		if (FakeOS::ConsumeFailure("VirtualQuery")) {
			return 0;
		}
		if (a_length < sizeof(MEMORY_BASIC_INFORMATION) || s.regions.empty() ||
		    address >= s.regions.back().base + s.regions.back().size) {
			FakeOS::SetLastError(FakeOS::kErrorInvalidParameter);
			return 0;
		}

		// The first region that ends above the address either holds it or follows the
		// reserved gap that holds it.
		const auto it = std::ranges::find_if(s.regions, [&](const FakeOS::MemoryRegion& a_region) {
			return address < a_region.base + a_region.size;
		});
		const bool inside = address >= it->base;
		const auto previousEnd = it == s.regions.begin() ? std::uint64_t{ 0 } : std::prev(it)->base + std::prev(it)->size;
		const auto regionBase = inside ? it->base : previousEnd;
		const auto regionEnd = inside ? it->base + it->size : it->base;
		const auto pageBase = std::max(regionBase, address / FakeOS::kPageSize * FakeOS::kPageSize);

		*a_buffer = MEMORY_BASIC_INFORMATION{};
		a_buffer->BaseAddress = reinterpret_cast<void*>(pageBase);
		a_buffer->AllocationBase = reinterpret_cast<void*>(regionBase);
		a_buffer->RegionSize = regionEnd - pageBase;
		a_buffer->State = inside ? it->state : kMemReserve;
		return sizeof(MEMORY_BASIC_INFORMATION);
	}

	void* VirtualAlloc(void* a_address, SIZE_T a_size, DWORD a_allocationType, DWORD a_protect)
	{
		FakeOS::CountCall("VirtualAlloc");
		auto&                    s = FakeOS::GetState();
		const std::scoped_lock   guard(s.lock);
		FakeOS::VirtualAllocCall call{ reinterpret_cast<std::uint64_t>(a_address), a_size, a_allocationType, a_protect, nullptr };
		if (!FakeOS::ConsumeFailure("VirtualAlloc")) {
			auto block = std::make_unique<std::byte[]>(std::max<SIZE_T>(a_size, 1));
			call.result = block.get();
			s.blocks.emplace(call.result, std::move(block));
		}
		s.allocs.push_back(call);
		return call.result;
	}

	bool VirtualFree(void* a_address, SIZE_T a_size, DWORD a_freeType)
	{
		FakeOS::CountCall("VirtualFree");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		s.frees.push_back({ a_address, a_size, a_freeType });
		if (FakeOS::ConsumeFailure("VirtualFree")) {
			return false;
		}
		if (s.blocks.erase(a_address) == 0) {
			FakeOS::SetLastError(FakeOS::kErrorInvalidAddress);
			return false;
		}
		return true;
	}
} // namespace REX::OS
