#pragma once

// The two game functions the plugin detours, with the prologues a test can choose, and
// the counters by which the sandbox sees what the game's own code did.

#include <cstdint>
#include <optional>
#include <string_view>

#include "GameRecords.h"

namespace Sandbox
{
	// How a game function begins. The detour copies the first instructions aside, so
	// what they are decides whether it can.
	enum class EPrologue
	{
		Compiler,    // a compiler's frame set-up, position-independent (48 89 5C 24 08 ...)
		RipRelative, // first reads memory relative to the instruction pointer
		Jump,        // starts with a near jump to the real body (another detour, a thunk)
		Undecodable, // starts with an instruction the plugin's decoder does not accept
		StackCookie, // MSVC's stack-cookie frame: sub rsp, n, then the cookie read rip-relative
		TestBranch,  // MSVC's early null test of the cell argument: test, then je past the stolen bytes
	};

	[[nodiscard]] std::optional<EPrologue> ParsePrologue(std::string_view a_name) noexcept;

	using InvalidatesPreCalcDataForCellFn = bool (*)(GameReference*, GameCell*);
	using ClearPreCalcedDataFn = void (*)(GameCell*);

	[[nodiscard]] InvalidatesPreCalcDataForCellFn InvalidatesPreCalcDataForCell(EPrologue a_prologue) noexcept;
	[[nodiscard]] ClearPreCalcedDataFn            ClearPreCalcedData(EPrologue a_prologue) noexcept;

	// Offset of a function from the start of the game's image, as the Address Library
	// records it.
	[[nodiscard]] std::uint64_t ImageOffset(const void* a_function) noexcept;

	// What the game's own code did on the calling thread, counted inside the functions'
	// bodies. Per thread, so that counting costs the game threads nothing shared.
	struct GameCounters
	{
		std::uint64_t invalidationChecks{ 0 };
		std::uint64_t answeredInvalidates{ 0 };
		std::uint64_t clearsRun{ 0 };
	};
	[[nodiscard]] const GameCounters& ThreadCounters() noexcept;

	// The answer the game's own InvalidatesPreCalcDataForCell gives on this thread, set
	// by whoever plays the game's part before each call.
	void SetGameAnswer(bool a_invalidates) noexcept;
} // namespace Sandbox
