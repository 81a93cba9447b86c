#pragma once

// Executable memory of the detour's own for trampolines and relays. Blocks of address
// space are reserved near the targets (within rel32 reach), or anywhere as a fallback,
// and shared by the detours near each other; memory is committed page by page.
//
// A page is never writable while code in it may run, and code in it may run from the
// moment it is sealed: each slot gets a fresh page, read/write while the install writes
// it, then sealed execute/read for good. So installing a second detour never touches
// the page of a first one that a game thread may be running at that moment. A page
// is decommitted when its slot is returned (nothing can run in it any more) and may
// then be committed afresh; a block is released with its last page. Nothing else's
// protection is ever changed.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace Detour
{
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

		// A slot of a_size bytes (at most a page) at the start of a fresh page, read/write,
		// lying wholly within rel32 reach of a_near (both ways), or with a_near 0 anywhere;
		// an empty slot when none can be had.
		[[nodiscard]] Slot Take(std::uintptr_t a_near, std::size_t a_size);
		// Copies a_bytes to a_offset in a slot that is not sealed yet; never past the slot.
		[[nodiscard]] bool Write(const Slot& a_slot, std::size_t a_offset, std::span<const std::uint8_t> a_bytes);
		// Makes the slot's page execute/read for good and flushes the instruction cache;
		// nothing can be written to it afterwards.
		[[nodiscard]] bool Seal(const Slot& a_slot);
		// Returns a slot; its page is decommitted, its block released with its last page.
		void Return(const Slot& a_slot);

		// Blocks and committed pages currently held (for tests).
		[[nodiscard]] std::size_t BlockCount() const;
		[[nodiscard]] std::size_t PageCount() const;

	private:
		enum class PageState : std::uint8_t
		{
			Free,     // reserved address space only
			Writable, // committed read/write, its slot being written
			Sealed    // execute/read for good
		};

		struct Block
		{
			std::uint8_t*          base;
			std::vector<PageState> pages;
		};

		struct Place
		{
			Block*      block;
			std::size_t page;
		};

		Place       PlaceOf(const std::uint8_t* a_address);
		static Slot Commit(Block& a_block, std::size_t a_page, std::size_t a_size);

		mutable std::mutex _lock;
		std::vector<Block> _blocks;
	};
} // namespace Detour
