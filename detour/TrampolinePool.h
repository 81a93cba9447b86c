#pragma once

// Executable memory of the detour's own for trampolines and relays. Blocks are reserved
// near the targets (within rel32 reach), or anywhere as a fallback, and shared: each
// hands out slots one after another until it is full, and it is given back when the
// last slot in it is returned. A block is read/write only while a slot is written into
// it and execute/read otherwise: never writable and executable at once. Nothing else's
// protection is ever changed.
//
// Switching a block to read/write for a write makes it briefly non-executable: like the
// patch at a target, a write happens while no thread runs the detours of that block
// (the plugin installs its detours on the loading thread, before the game calls them).

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

class TrampolinePool
{
public:
	struct Slot
	{
		std::uint8_t* address{ nullptr };
		std::size_t   size{ 0 };
		explicit      operator bool() const noexcept { return address != nullptr; }
	};

	// The process-wide pool that every InlineHook uses.
	static TrampolinePool& Instance();

	TrampolinePool() = default;
	TrampolinePool(const TrampolinePool&) = delete;
	TrampolinePool& operator=(const TrampolinePool&) = delete;
	// Blocks with live slots are left alone: detours may still run through them.
	~TrampolinePool() = default;

	// A slot of a_size bytes lying wholly within rel32 reach of a_near (both ways), or
	// with a_near 0 anywhere; an empty slot when none can be had.
	[[nodiscard]] Slot Take(std::uintptr_t a_near, std::size_t a_size);
	// Gives back the tail of the slot past a_size when nothing was handed out after it.
	void Trim(Slot& a_slot, std::size_t a_size);
	// Writes a_bytes at a_offset in the slot: read/write, copy, execute/read, flush.
	[[nodiscard]] bool Write(const Slot& a_slot, std::size_t a_offset, std::span<const std::uint8_t> a_bytes);
	// Returns a slot; its block is released with its last slot.
	void Return(const Slot& a_slot);

	// Blocks currently held (for tests).
	[[nodiscard]] std::size_t BlockCount() const;

private:
	struct Block
	{
		std::uint8_t* base;
		std::size_t   used;
		std::size_t   slots;
	};

	Block* BlockOf(const std::uint8_t* a_address);

	mutable std::mutex _lock;
	std::vector<Block> _blocks;
};
