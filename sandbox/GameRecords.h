#pragma once

// The game's records as the plugin sees them: a form header (virtual table at 0, form ID
// at 0x14) and, for cells, the state byte at 0x44 and the two precomputed-data pointers
// at 0x50 and 0xD0. Everything the game keeps elsewhere in these records is modelled only
// as padding. The layout is the sandbox's own, written as the game lays its records out;
// the checks below hold it to the offsets the plugin is built against (GameLayout.h), so
// that the two cannot drift apart unnoticed.

#include <array>
#include <cstddef>
#include <cstdint>

#include "GameLayout.h"

namespace Sandbox
{
	struct GameForm;

	// The game's virtual table. Only slot 58, the form's display name, is offered; every
	// other slot stops the sandbox, since the plugin must not rely on it.
	struct GameFormVtable
	{
		using Unused = void (*)();
		using GetNameFn = const char* (*)(const GameForm*);

		std::array<Unused, 58> unused;  // 0x000
		GetNameFn              getName; // 0x1D0
	};
	static_assert(offsetof(GameFormVtable, getName) == GameLayout::kNameVtableOffset);
	static_assert(offsetof(GameFormVtable, getName) / sizeof(void*) == GameLayout::kNameSlot);

	struct GameForm
	{
		const GameFormVtable* vtable{ nullptr }; // 0x00
		const char*           name{ nullptr };   // 0x08  the sandbox's own: what slot 58 returns
		std::uint32_t         unknown10{ 0 };    // 0x10
		std::uint32_t         formID{ 0 };       // 0x14
	};
	static_assert(offsetof(GameForm, formID) == GameLayout::kFormIDOffset);

	// A placed reference (TESObjectREFR): the plugin reads only its form header.
	struct GameReference
	{
		GameForm form;
	};

	// A cell (TESObjectCELL).
	struct GameCell
	{
		GameForm     form;                       // 0x00
		std::uint8_t unknown18[0x2C]{};          // 0x18
		std::uint8_t state{ 0 };                 // 0x44  4 and above: the cell is set up
		std::uint8_t unknown45[0x0B]{};          // 0x45
		void*        precombinedData{ nullptr }; // 0x50
		std::uint8_t unknown58[0x78]{};          // 0x58
		void*        previsData{ nullptr };      // 0xD0
	};
	static_assert(offsetof(GameCell, state) == GameLayout::kCellStateOffset);
	static_assert(offsetof(GameCell, precombinedData) == GameLayout::kCellFirstDataOffset);
	static_assert(offsetof(GameCell, previsData) == GameLayout::kCellSecondDataOffset);

	// The virtual table every sandbox form points at.
	[[nodiscard]] const GameFormVtable* FormVtable() noexcept;
} // namespace Sandbox
