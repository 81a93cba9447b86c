#pragma once

// The detour's plan: everything an install will write, computed from the target's bytes
// and a few addresses alone, without touching memory.
//
// Installing a detour is two steps. PlanDetour decides what to steal from the target,
// how each stolen instruction is rewritten to run from the trampoline, and produces the
// exact bytes of the patch, the trampoline and (when a relay address is given) the
// relay. InlineHook::Install then only finds memory for them and writes them.
// Because the plan is a pure function of bytes and addresses, tests, benchmarks and
// `addrlib check` run it on copies of code that is not live: a file's bytes, a buffer.
//
//   DetourPlan plan = PlanDetour(code, target, replacement, trampoline, relay, functionSize, imageBase);
//     code          the bytes at `target` that may be read (from a file, say); the plan
//                   never reads past them and fails with CodeTooShort when it would need to
//     target        the address the code runs at (where the jump goes)
//     replacement   the function the target is sent to
//     trampoline    where the trampoline would be written
//     relay         where the relay is written; the target's jump then goes to it and it
//                   jumps on to the replacement; 0 = no relay, the jump goes straight there
//     functionSize  bytes from target to the function's end when known (.pdata), 0 = unknown;
//                   when known, the run never reaches past it, and the rest of the function
//                   is scanned for branches back into the stolen bytes, which would land in
//                   the middle of the jump; a scan that cannot reach the function's end
//                   (`code` ends first, or an instruction there is not decodable) refuses,
//                   for the branch it could not see may be just such a one
//     imageBase     where the image holding the target begins (the base its function table
//                   and relative addresses count from), 0 = unknown; with it the scan passes
//                   the switch jump tables a compiler places after a function's code (see
//                   below), without it it refuses at them
//
// Switch tables. MSVC dispatches a switch through tables it places in the function's range,
// after all of its code: 32-bit offsets of the cases from the image's base, read by
// `mov r32, [base + index*4 + table]`, and for a two-level switch bytes that index them,
// read by `movzx r32, byte [base + index + table]` right before, where base holds the
// image's base and the displacement is the table's offset from it (past its start when the
// lowest case is not 0). Those bytes are no instructions, so a scan that would measure them
// cannot reach the function's end. The scan passes them as data, and only then, when
// everything from where the code ends to the function's end is such tables and nothing
// runs into them:
//   - the code ends with a return, jump, int3, ud2 or call (one that does not return, since
//     what follows it is data), followed by nops at most;
//   - each table is read, in its form, by the code before that end; it runs up to the next
//     table read (or the function's end), ending in a nop or int3s that align the next;
//   - every offset leads to the start of an instruction the scan measured before that end,
//     and every index names an entry of the offset table read right after it;
//   - no branch, rip-relative operand or other operand at an offset from the image's base
//     (but the table reads) in the code points at the bytes after that end.
// A case that lands inside the bytes the jump overwrites is refused like any other branch
// there. Bytes that fail any of this are walked as code, as without the image's base.
//
// Addresses. The plan never lets an address wrap around the address space: a trampoline
// whose bytes would, is refused; a relay at 0 or whose bytes would wrap is no relay; the
// code is read only as far as it lies below the top of the address space; a relative
// branch or operand whose destination wraps is refused.
//
// Near and far. When the whole trampoline lies within near-jump reach of the target (a
// page of its own within +-2 GiB, what Install looks for first), the target gets a 5-byte
// E9 to the relay (FF 25: an absolute jump on to the replacement), and every
// position-dependent stolen instruction is relocated. Otherwise (no near page could be
// had) the plan falls back to the 14-byte absolute jump at the target and refuses a stolen
// run that holds a position-dependent instruction.
//
// Sizing. The size of a trampoline depends on where it sits (a branch that rel32 cannot
// reach from there becomes an absolute form), so a caller plans at the address it would
// use, reserves plan.trampoline.size() bytes there and, if they do not fit, plans again
// at another address. kMaxTrampolineSize bounds every plan's trampoline.
//
// DryRunDetour plans as an install from a far replacement would in a typical process:
// trampoline and relay in a page just below the target (just above it in the lowest
// 128 KiB), replacement 64 GiB away. It is what the hookability benchmark and `addrlib
// check` report.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace Detour
{
	// Why a plan or an install was refused. Nothing has been written when one is reported.
	enum class DetourFailure : std::uint8_t
	{
		None,
		AlreadyInstalled,        // the record's detour is in place; nothing was touched
		Undecodable,             // the decoder refused the instruction at failedAt
		RunTooLong,              // the relocated run would not fit the trampoline
		RipRelative,             // no near page: the instruction at failedAt addresses memory relative to rip
		RelativeBranch,          // no near page: the instruction at failedAt is a relative branch
		FunctionEnds,            // the function ends (ret, jmp, int3, ud2) at failedAt before the jump fits
		PastFunctionEnd,         // the instruction at failedAt reaches past the function's known size
		BranchIntoStolenBytes,   // the function's own branch at failedAt lands inside the bytes the jump overwrites
		Unrelocatable,           // the instruction at failedAt cannot be rewritten for the trampoline
		CodeTooShort,            // the bytes given end inside the instruction at failedAt
		TargetNotExecutable,     // the target (at failedAt) is not executable memory
		InsideFunction,          // the target (at failedAt) lies inside a function of its image's table, not at its start
		NoTrampolineMemory,      // no memory could be had for the trampoline
		TrampolineNotExecutable, // the trampoline's page (at failedAt) could not be made executable
		TargetNotWritable,       // the target (at failedAt) could not be made writable
		RestOfFunctionUnchecked, // the scan for branches back into the stolen bytes stopped at failedAt, before the function's end
		JumpPointerUnreadable    // a leading jump at failedAt reads its destination from memory that cannot be read
	};

	// A short human reason, e.g. "rip-relative operand cannot be relocated".
	[[nodiscard]] std::string_view DescribeFailure(DetourFailure a_failure) noexcept;

	// How one stolen instruction was carried into the trampoline.
	enum class Relocation : std::uint8_t
	{
		Copied,          // position-independent: copied unchanged
		RipDisplacement, // rip-relative operand: its displacement rewritten for the new place
		Jump,            // jmp rel8/rel32: E9 rel32, or FF 25 absolute when rel32 cannot reach
		Call,            // call rel32: E8 rel32, or call [rip+2] / jmp +8 / address
		ConditionalJump, // Jcc rel8/rel32: 0F 8x rel32, or the inverted Jcc over FF 25 absolute
		Loop,            // loop/loope/loopne/jrcxz: kept, over a short jump, to a jump to the destination
	};

	// One stolen instruction and its relocated copy.
	struct StolenInstruction
	{
		std::uint8_t  offset{ 0 };           // from the target
		std::uint8_t  length{ 0 };           // in the target
		std::uint16_t trampolineOffset{ 0 }; // where its copy starts in the trampoline
		std::uint16_t trampolineLength{ 0 }; // bytes of the copy
		Relocation    relocation{ Relocation::Copied };
		bool          endsFlow{ false }; // ret or unconditional jump: the function goes no further here
	};

	struct DetourPlan
	{
		DetourFailure failure{ DetourFailure::None };
		std::size_t   failedAt{ 0 }; // offset from the target of what failed

		std::uintptr_t target{ 0 };
		std::uintptr_t replacement{ 0 };
		std::uintptr_t trampolineAddress{ 0 };
		std::uintptr_t relayAddress{ 0 };    // 0 when no relay is used
		std::uintptr_t jumpDestination{ 0 }; // where the target's own jump goes: relay or replacement
		bool           nearPage{ false };    // the trampoline is within near reach: relocation allowed

		std::uint64_t jumpSize{ 0 };       // 5 (E9) or 14 (FF 25 absolute)
		std::uint64_t returnJumpSize{ 0 }; // the jump from the trampoline's end back into the target
		std::uint64_t stolenLength{ 0 };   // bytes taken from the target

		std::vector<std::uint8_t>      patch;      // stolenLength bytes for the target: the jump, then 90s
		std::vector<std::uint8_t>      trampoline; // the relocated run and the jump back
		std::vector<std::uint8_t>      relay;      // 14 bytes at relayAddress, or empty
		std::vector<StolenInstruction> instructions;

		[[nodiscard]] bool ok() const noexcept { return failure == DetourFailure::None; }
	};

	// The two jumps a plan writes: E9 rel32, and, where rel32 cannot reach, the absolute
	// FF 25 00000000 followed by the 8-byte destination.
	inline constexpr std::uint64_t kNearJumpSize = 5;
	inline constexpr std::uint64_t kAbsoluteJumpSize = 14;

	// The longest trampoline a plan produces. A stolen run is at most 28 bytes (13, then
	// one instruction of up to 15), and no relocated copy is longer than 9 bytes for each
	// byte of its instruction: the worst is a 2-byte loop in the absolute form (18 bytes);
	// the longest copy, a 67-prefixed loop in that form (1 + 4 + 14 = 19 bytes), comes
	// from 3. So 14 pairs of stolen bytes at 18 bytes each, plus the 14-byte jump back.
	inline constexpr std::size_t kMaxTrampolineSize = 14 * 18 + 14;
	// The relay: FF 25 00000000 and the 8-byte address, padded to 16.
	inline constexpr std::size_t kRelaySize = 16;

	[[nodiscard]] DetourPlan PlanDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::uintptr_t a_replacement,
	                                    std::uintptr_t a_trampoline, std::uintptr_t a_relay, std::size_t a_functionSize = 0,
	                                    std::uintptr_t a_imageBase = 0);

	// The plan of a detour from a far replacement, with trampoline and relay in a near page:
	// the page below the target's 64 KiB block, or above it when there is no room below.
	[[nodiscard]] DetourPlan DryRunDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_functionSize = 0,
	                                      std::uintptr_t a_imageBase = 0);

	// Whether a rel32 jump or call placed at a_from (a_size bytes long) reaches a_to, the
	// distance taken without wrapping around the address space.
	[[nodiscard]] bool NearReach(std::uintptr_t a_from, std::uint64_t a_size, std::uintptr_t a_to) noexcept;

	// The length of a jump written at a_from to a_to: kNearJumpSize when the near jump
	// reaches it, else kAbsoluteJumpSize.
	[[nodiscard]] std::uint64_t JumpSize(std::uintptr_t a_from, std::uintptr_t a_to) noexcept;
} // namespace Detour
