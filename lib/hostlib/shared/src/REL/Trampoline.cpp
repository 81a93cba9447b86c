#include "REL/Trampoline.h"

#include <cstring>

#include "REL/NearMemory.h"
#include "REX/FModule.h"
#include "REX/FatalError.h"
#include "REX/LOG.h"
#include "REX/OS.h"

namespace REL
{
	void* Impl::AllocTrampoline(const std::uint64_t a_size, const std::uint64_t a_address)
	{
		REX::OS::SYSTEM_INFO info{};
		REX::OS::GetSystemInfo(&info);
		const std::uint64_t granularity = info.dwAllocationGranularity;

		// Regions are visited in ascending order from the window's lower bound, so the
		// lowest qualifying block wins. NearMemory decides what qualifies: a block that
		// lies wholly inside the window, never one at address 0.
		const NearMemory::Window window = NearMemory::WindowAround(a_address, granularity);
		std::uint64_t            position = window.lower;
		do {
			REX::OS::MEMORY_BASIC_INFORMATION region{};
			if (REX::OS::VirtualQuery(reinterpret_cast<const void*>(position), &region, sizeof(region)) == 0) {
				REX::LogError("VirtualQuery failed with code: 0x{:08X}", REX::OS::GetLastError());
				return nullptr;
			}

			const auto base = reinterpret_cast<std::uint64_t>(region.BaseAddress);
			const auto next = base + region.RegionSize;
			// A region that reaches the top of the address space, or a query that reports
			// no progress, ends the walk instead of wrapping round to the bottom.
			if (next <= position) {
				return nullptr;
			}

			const auto candidate = NearMemory::Candidate({ base, region.RegionSize, region.State == REX::OS::kMemFree }, window, a_size, granularity);
			if (candidate) {
				auto* const memory = REX::OS::VirtualAlloc(
				    reinterpret_cast<void*>(*candidate),
				    a_size,
				    REX::OS::kMemCommit | REX::OS::kMemReserve,
				    REX::OS::kPageExecuteReadWrite);
				if (memory) {
					return memory;
				}
				REX::LogError("VirtualAlloc failed with code: 0x{:08X}", REX::OS::GetLastError());
			}
			position = next;
		} while (position < window.upper);

		return nullptr;
	}

	void Trampoline::create(const std::size_t a_size, void* const a_module)
	{
		if (a_size == 0) {
			REX::Fatal("Cannot create a trampoline with a zero size");
		}

		auto address = reinterpret_cast<std::uint64_t>(a_module);
		if (!address) {
			// Branches are written from the game's code, so the buffer must sit within
			// reach of the whole code section: its end is the nearest point to aim for.
			const auto text = REX::FModule::ProcessModule().FindSection(".text");
			address = text.start + text.size;
		}

		auto* const memory = Impl::AllocTrampoline(a_size, address);
		if (!memory) {
			REX::Fatal("Failed to create trampoline");
		}

		adopt(memory, a_size, [](void* a_memory, std::size_t) {
			REX::OS::VirtualFree(a_memory, 0, REX::OS::kMemRelease);
		});
	}

	void Trampoline::adopt(void* const a_data, const std::size_t a_size, deleter_type a_deleter)
	{
		// Fill with int3, so that a jump into a part not yet written stops at a
		// breakpoint instead of running whatever bytes were there.
		if (a_data) {
			std::memset(a_data, 0xCC, a_size);
		}

		release();

		deleter = std::move(a_deleter);
		buffer = static_cast<std::byte*>(a_data);
		size = a_size;
		usedBytes = 0;

		stats();
	}

	void Trampoline::release()
	{
		if (buffer && deleter) {
			deleter(buffer, size);
		}
		buffer = nullptr;
		size = 0;
		usedBytes = 0;
	}

	void* Trampoline::allocate(const std::size_t a_size)
	{
		// Compared as what is left, so that a huge request cannot wrap the sum round.
		if (a_size > size - usedBytes) {
			REX::LogError("Trampoline [{}]: cannot allocate {}B, {}B of {}B left", name, a_size, size - usedBytes, size);
			return nullptr;
		}
		auto* const memory = buffer + usedBytes;
		usedBytes += a_size;
		return memory;
	}

	void Trampoline::stats() const
	{
		// An empty instance reports 0 % rather than the NaN of 0 / 0.
		const auto percent = size ? static_cast<double>(usedBytes) / static_cast<double>(size) * 100.0 : 0.0;
		REX::LogDebug("Trampoline [{}]: {}B / {}B ({:05.2f}%)", name, usedBytes, size, percent);
	}

	Trampoline& DefaultTrampoline()
	{
		static Trampoline trampoline{ "Default" };
		return trampoline;
	}
} // namespace REL
