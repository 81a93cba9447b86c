// Pages of the detour's own code memory. See TrampolinePool.h.

#include "TrampolinePool.h"

#include "CodeMemory.h"
#include "Detour/DetourPlan.h"

#include <algorithm>
#include <cstring>

namespace Detour
{
	namespace
	{
		// Whether every byte of [a_start, a_start + a_size) is in rel32 reach of a_near
		// and a_near in reach of each.
		bool WithinReach(std::uintptr_t a_near, std::uintptr_t a_start, std::size_t a_size)
		{
			return NearReach(a_near, kNearJumpSize, a_start) && NearReach(a_near, kNearJumpSize, a_start + a_size) && NearReach(a_start, kNearJumpSize, a_near) && NearReach(a_start + a_size, kNearJumpSize, a_near);
		}

		constexpr std::uint8_t kInt3 = 0xCC;
	} // namespace

	TrampolinePool& TrampolinePool::Instance()
	{
		// Never destroyed: detours restored by other statics' destructors return their
		// slots to it during shutdown.
		static TrampolinePool* const pool = new TrampolinePool();
		return *pool;
	}

	TrampolinePool::Slot TrampolinePool::Commit(Block& a_block, std::size_t a_page, std::size_t a_size)
	{
		const std::size_t   pageSize = CodeMemory::PageSize();
		std::uint8_t* const page = a_block.base + a_page * pageSize;
		if (!CodeMemory::CommitPage(page)) {
			return {};
		}
		// What is not written stays int3: a stray jump into the page stops there.
		std::memset(page, kInt3, pageSize);
		a_block.pages[a_page] = PageState::Writable;
		return { page, a_size };
	}

	TrampolinePool::Slot TrampolinePool::Take(std::uintptr_t a_near, std::size_t a_size)
	{
		const std::size_t      pageSize = CodeMemory::PageSize();
		const std::scoped_lock guard{ _lock };
		if (a_size == 0 || a_size > pageSize) {
			return {};
		}
		for (Block& block : _blocks) {
			for (std::size_t page = 0; page < block.pages.size(); ++page) {
				const auto start = reinterpret_cast<std::uintptr_t>(block.base) + page * pageSize;
				if (block.pages[page] == PageState::Free && (a_near == 0 || WithinReach(a_near, start, a_size))) {
					if (const Slot slot = Commit(block, page, a_size)) {
						return slot;
					}
				}
			}
		}
		void* const memory = a_near != 0 ? CodeMemory::ReserveNear(a_near) : CodeMemory::ReserveAnywhere();
		if (memory == nullptr) {
			return {};
		}
		Block      block{ static_cast<std::uint8_t*>(memory), std::vector<PageState>(std::max<std::size_t>(1, CodeMemory::BlockSize() / pageSize), PageState::Free) };
		const Slot slot = Commit(block, 0, a_size);
		if (!slot) {
			CodeMemory::ReleaseBlock(block.base);
			return {};
		}
		_blocks.push_back(std::move(block));
		return slot;
	}

	TrampolinePool::Place TrampolinePool::PlaceOf(const std::uint8_t* a_address)
	{
		const std::size_t blockSize = CodeMemory::BlockSize();
		const auto        found = std::ranges::find_if(_blocks, [&](const Block& a_block) { return a_address >= a_block.base && a_address < a_block.base + blockSize; });
		if (found == _blocks.end()) {
			return { nullptr, 0 };
		}
		return { &*found, static_cast<std::size_t>(a_address - found->base) / CodeMemory::PageSize() };
	}

	bool TrampolinePool::Write(const Slot& a_slot, std::size_t a_offset, std::span<const std::uint8_t> a_bytes)
	{
		const std::scoped_lock guard{ _lock };
		const Place            place = PlaceOf(a_slot.address);
		if (place.block == nullptr || place.block->pages[place.page] != PageState::Writable || a_offset + a_bytes.size() > a_slot.size) {
			return false; // never past the slot, never into a sealed page
		}
		std::memcpy(a_slot.address + a_offset, a_bytes.data(), a_bytes.size());
		return true;
	}

	bool TrampolinePool::Seal(const Slot& a_slot)
	{
		const std::scoped_lock guard{ _lock };
		const Place            place = PlaceOf(a_slot.address);
		if (place.block == nullptr || place.block->pages[place.page] != PageState::Writable || !CodeMemory::SealPage(a_slot.address)) {
			return false;
		}
		place.block->pages[place.page] = PageState::Sealed;
		CodeMemory::FlushInstructionCache(a_slot.address, a_slot.size);
		return true;
	}

	void TrampolinePool::Return(const Slot& a_slot)
	{
		const std::scoped_lock guard{ _lock };
		const Place            place = PlaceOf(a_slot.address);
		if (place.block == nullptr || place.block->pages[place.page] == PageState::Free) {
			return;
		}
		CodeMemory::DecommitPage(place.block->base + place.page * CodeMemory::PageSize());
		place.block->pages[place.page] = PageState::Free;
		if (std::ranges::all_of(place.block->pages, [](PageState a_state) { return a_state == PageState::Free; })) {
			CodeMemory::ReleaseBlock(place.block->base);
			_blocks.erase(_blocks.begin() + (place.block - _blocks.data()));
		}
	}

	std::size_t TrampolinePool::BlockCount() const
	{
		const std::scoped_lock guard{ _lock };
		return _blocks.size();
	}

	std::size_t TrampolinePool::PageCount() const
	{
		const std::scoped_lock guard{ _lock };
		std::size_t            pages = 0;
		for (const Block& block : _blocks) {
			pages += static_cast<std::size_t>(std::ranges::count_if(block.pages, [](PageState a_state) { return a_state != PageState::Free; }));
		}
		return pages;
	}
} // namespace Detour
