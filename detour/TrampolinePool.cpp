// Shared blocks of the detour's own code memory. See TrampolinePool.h.

#include "TrampolinePool.h"

#include "CodeMemory.h"
#include "DetourPlan.h"

#include <algorithm>
#include <cstring>

namespace
{
	// Slots start on 16-byte boundaries, where a processor fetches code best.
	constexpr std::size_t kSlotAlignment = 16;

	std::size_t Aligned(std::size_t a_size)
	{
		return (a_size + kSlotAlignment - 1) & ~(kSlotAlignment - 1);
	}

	// Whether every byte of [a_start, a_start + a_size) is in rel32 reach of a_near
	// and a_near in reach of each.
	bool WithinReach(std::uintptr_t a_near, std::uintptr_t a_start, std::size_t a_size)
	{
		return NearReach(a_near, 5, a_start) && NearReach(a_near, 5, a_start + a_size) && NearReach(a_start, 5, a_near) && NearReach(a_start + a_size, 5, a_near);
	}
} // namespace

TrampolinePool& TrampolinePool::Instance()
{
	// Never destroyed: detours restored by other statics' destructors return their
	// slots to it during shutdown.
	static TrampolinePool* const pool = new TrampolinePool();
	return *pool;
}

TrampolinePool::Slot TrampolinePool::Take(std::uintptr_t a_near, std::size_t a_size)
{
	const std::size_t      blockSize = CodeMemory::BlockSize();
	const std::size_t      size = Aligned(a_size);
	const std::scoped_lock guard{ _lock };
	if (size == 0 || size > blockSize) {
		return {};
	}
	for (Block& block : _blocks) {
		const auto start = reinterpret_cast<std::uintptr_t>(block.base) + block.used;
		if (block.used + size <= blockSize && (a_near == 0 || WithinReach(a_near, start, size))) {
			block.used += size;
			++block.slots;
			return { block.base + (block.used - size), size };
		}
	}
	void* const memory = a_near != 0 ? CodeMemory::ReserveNear(a_near) : CodeMemory::ReserveAnywhere();
	if (memory == nullptr) {
		return {};
	}
	auto* const base = static_cast<std::uint8_t*>(memory);
	// Filled with int3 and made executable at once: a block is never left writable.
	std::memset(base, 0xCC, blockSize);
	if (!CodeMemory::MakeBlockExecutable(base)) {
		CodeMemory::ReleaseBlock(base);
		return {};
	}
	_blocks.push_back({ base, size, 1 });
	return { base, size };
}

TrampolinePool::Block* TrampolinePool::BlockOf(const std::uint8_t* a_address)
{
	const std::size_t blockSize = CodeMemory::BlockSize();
	const auto        found = std::find_if(_blocks.begin(), _blocks.end(), [&](const Block& a_block) { return a_address >= a_block.base && a_address < a_block.base + blockSize; });
	return found != _blocks.end() ? &*found : nullptr;
}

void TrampolinePool::Trim(Slot& a_slot, std::size_t a_size)
{
	const std::scoped_lock guard{ _lock };
	Block* const           block = BlockOf(a_slot.address);
	const std::size_t      size = Aligned(a_size);
	if (block != nullptr && size < a_slot.size && a_slot.address + a_slot.size == block->base + block->used) {
		block->used -= a_slot.size - size;
		a_slot.size = size;
	}
}

bool TrampolinePool::Write(const Slot& a_slot, std::size_t a_offset, std::span<const std::uint8_t> a_bytes)
{
	const std::scoped_lock guard{ _lock };
	Block* const           block = BlockOf(a_slot.address);
	if (block == nullptr || a_offset + a_bytes.size() > a_slot.size) {
		return false; // never past the slot
	}
	if (!CodeMemory::MakeBlockWritable(block->base)) {
		return false;
	}
	std::memcpy(a_slot.address + a_offset, a_bytes.data(), a_bytes.size());
	if (!CodeMemory::MakeBlockExecutable(block->base)) {
		// Not executable and not to be left writable: make it unusable.
		std::memset(a_slot.address + a_offset, 0xCC, a_bytes.size());
		static_cast<void>(CodeMemory::MakeBlockExecutable(block->base));
		return false;
	}
	CodeMemory::FlushInstructionCache(a_slot.address + a_offset, a_bytes.size());
	return true;
}

void TrampolinePool::Return(const Slot& a_slot)
{
	const std::scoped_lock guard{ _lock };
	Block* const           block = BlockOf(a_slot.address);
	if (block == nullptr || block->slots == 0) {
		return;
	}
	if (a_slot.address + a_slot.size == block->base + block->used) {
		block->used -= a_slot.size; // the last slot handed out can be handed out again
	}
	if (--block->slots == 0) {
		CodeMemory::ReleaseBlock(block->base);
		_blocks.erase(_blocks.begin() + (block - _blocks.data()));
	}
}

std::size_t TrampolinePool::BlockCount() const
{
	const std::scoped_lock guard{ _lock };
	return _blocks.size();
}
