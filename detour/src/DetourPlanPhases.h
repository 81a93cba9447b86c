#pragma once

// The four phases of PlanDetour (measure, relocate, size, emit), each a function of its
// own so that it can be read and tested alone (DetourPlan.h says what the plan as a whole
// promises):
//
//   measure    MeasureRun: whole instructions from the target until the jump fits, never
//              past the function's end or the bytes given; CheckRestOfFunction
//              (RestOfFunction.cpp): the function's own branches back into those bytes
//   relocate   Relocate: how each stolen instruction is carried, where a branch into the
//              run lands, and whether rel32 still reaches from the trampoline
//   size       LayOut: where each copy sits in the trampoline, and the jump back
//   emit       Emit: the bytes of the trampoline, the relay and the patch
//
// A phase that refuses says what and where (an offset from the target); later phases
// then do not run.

#include "Detour/DetourPlan.h"
#include "Detour/InstructionLengthDecoder.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Detour::PlanPhases
{
	inline constexpr std::size_t kLongestInstruction = 15;
	inline constexpr std::size_t kPaddedSize = kLongestInstruction + 8;

	// The decoder reads only an instruction's own bytes, but may need up to 15 of them
	// before it knows its length: it reads a copy padded with int3, and the caller
	// refuses an instruction whose length reaches past the bytes given.
	[[nodiscard]] InstructionInfo MeasurePadded(std::span<const std::uint8_t> a_code, std::uint8_t (&a_padded)[kPaddedSize]);

	// A phase's refusal; none when failure is None.
	struct Refusal
	{
		DetourFailure failure{ DetourFailure::None };
		std::size_t   at{ 0 };

		explicit operator bool() const noexcept { return failure != DetourFailure::None; }
	};

	// One stolen instruction as the phases see it.
	struct Stolen
	{
		InstructionInfo info;
		std::uint8_t    bytes[kLongestInstruction]{};
		std::size_t     offset{ 0 };      // from the target
		std::uintptr_t  destination{ 0 }; // of a relative branch or operand
		int             internal{ -1 };   // Relocate: the stolen instruction a branch lands on, or -1
		Relocation      relocation{ Relocation::Copied };
		bool            absolute{ false }; // Relocate: the branch takes its absolute form
	};

	struct Run
	{
		std::vector<Stolen> instructions;
		std::size_t         length{ 0 };
		Refusal             refusal;
	};

	// Instructions from a_target until a_jumpSize bytes are covered. Without a near page
	// (a_nearPage false) a position-dependent instruction is refused.
	[[nodiscard]] Run MeasureRun(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::uint64_t a_jumpSize, std::size_t a_functionSize, bool a_nearPage);

	// With the function's size known, walks the rest of it for a branch into the first
	// a_stolen bytes (past the first); refuses when the walk cannot reach the function's end.
	// With the image's base known (a_imageBase, 0 = unknown), the switch tables a compiler
	// places after the function's code are passed as data when the code read them as such
	// and each of their entries leads to an instruction the walk measured.
	[[nodiscard]] Refusal CheckRestOfFunction(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_stolen, std::size_t a_functionSize,
	                                          std::uintptr_t a_imageBase);

	// Fills each instruction's relocation, internal and absolute.
	[[nodiscard]] Refusal Relocate(std::vector<Stolen>& a_run, std::uintptr_t a_target, std::uintptr_t a_trampoline);

	// The instruction records of the plan, and its returnJumpSize.
	[[nodiscard]] Refusal LayOut(const std::vector<Stolen>& a_run, DetourPlan& a_plan);

	// The plan's trampoline, relay and patch bytes; a_plan holds the layout.
	[[nodiscard]] Refusal Emit(const std::vector<Stolen>& a_run, DetourPlan& a_plan);
} // namespace Detour::PlanPhases
