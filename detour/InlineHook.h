#pragma once

// Inline function detour.
//
// Install overwrites the first instructions of a function of the running game with a
// jump to a replacement, and moves those instructions ("stolen bytes") into a
// trampoline: the stolen bytes followed by a jump back to the rest of the function.
// Calling the trampoline runs the game's own function as it was. Restore, run when
// the record is destroyed at unload, writes the stolen bytes back.
//
// What Install accepts, and what the game's functions mean for it
// ----------------------------------------------------------------
// 1. The jump at the target is the 5-byte near jump (E9 rel32) when the replacement
//    lies within reach of a 32-bit displacement, else the 14-byte absolute jump
//    (FF 25 00000000, then the 8-byte address). A plugin DLL is usually loaded too far
//    from the game executable, so in the game the 14-byte form is the common one and
//    at least 14 bytes are stolen.
// 2. The stolen bytes are copied unchanged, so they must not depend on where they sit.
//    Install refuses (returns false, writes nothing) when the stolen run holds
//      - an operand addressed relative to the instruction pointer (mod 0, rm 5 in
//        x86-64 mode: `mov rax, [rip+x]`, `lea rcx, [rip+x]`, `jmp [rip+x]`, ...), or
//      - a relative branch: call/jmp rel32, Jcc, jmp rel8, loop, jrcxz.
//    No instruction is relocated. Copied verbatim, such an instruction would read the
//    wrong memory or branch to the wrong place from the trampoline; relocating it
//    needs a trampoline within 2 GiB of everything it addresses, which a heap buffer
//    cannot promise. For a real game this means: a compiled prologue made of stores,
//    pushes and stack adjustments is detoured; one whose first 5 bytes (near jump) or
//    first 14 bytes (absolute jump) include the stack-cookie load
//    `48 8B 05 disp32` (mov rax, [rip+__security_cookie]) or a call is refused, and
//    the owner logs its error line and the game keeps its own behaviour.
// 3. The run must lie inside the function. A return (C3, C2, CB, CA, CF), an
//    unconditional jump (E9, EB, FF /4, FF /5) or ud2 (0F 0B) before the jump fits
//    means the function ends there and the next bytes belong to something else:
//    Install refuses (as the last stolen instruction it is fine). int3 (CC) anywhere
//    in the run is refused: it is padding after the function, or a debugger's
//    breakpoint. An instruction the decoder refuses (-1: VEX/AVX, lfence, ...) fails
//    the install too.
// 4. Leading jumps are followed first (FollowJumps): a target that starts with E9,
//    EB (except EB 00 and EB 80) or FF 25 is not patched itself; the detour goes where
//    the chain ends, at most kMaxJumpsFollowed jumps on.
//
// Examples, as the sandbox's game stand-in uses them:
//    48 89 5C 24 08 | 48 89 74 24 10 | 57 | 48 83 EC 20 | ...   accepted: 5 bytes stolen
//        with a near replacement, 15 with a far one (FF 25 jump, then one 90 byte)
//    48 89 5C 24 08 | 57 | 48 83 EC 20 | 48 8B 05 ...           accepted with a near
//        replacement (5 stolen); refused with a far one (the 14 bytes reach the rip load)
//    48 8B 05 disp32 | ...                                       refused: rip-relative
//        first instruction, whatever the distance
//    E9 rel32 -> body                                            followed: the body is
//        patched (so its own prologue must be accepted), the E9 stays as it is
//
// A failed Install leaves no trampoline, stolenLength 0 and installed 0 (target and
// the other fields keep what the attempt computed), writes nothing to the target, and
// says what failed and where in `failure` and `failedAt`. A later Install measures
// afresh. Restore after a failed Install therefore writes nothing: it cannot put back
// stale bytes over a jump that another detour placed there meanwhile.
//
// Install runs before the game calls the target, on one thread; the patch is not
// atomic. The trampoline is a heap buffer made executable for good.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

class InlineHook
{
public:
	// Why the last Install returned false.
	enum class Failure : std::uint8_t
	{
		None,
		AlreadyInstalled,         // this record's detour is in place; nothing was touched
		Undecodable,              // the decoder refused the instruction at failedAt
		RunTooLong,               // the instruction at failedAt would not fit the trampoline
		RipRelative,              // the instruction at failedAt addresses memory relative to rip
		RelativeBranch,           // the instruction at failedAt is a relative branch
		FunctionEnds,             // the function ends with the instruction at failedAt, too early
		TrampolineNotExecutable,  // the trampoline (at failedAt) could not be made executable
		TargetNotWritable         // the target (at failedAt) could not be made writable
	};

	// The longest run of jumps FollowJumps walks; a real chain (an import thunk, another
	// detour) is one to three jumps long, and a cycle (EB FE) must not hang the loader.
	static constexpr int kMaxJumpsFollowed = 16;

	// The trampoline holds at most this many bytes: stolen instructions of at most 15
	// bytes each reach at most 13 + 15 bytes for a 14-byte jump, plus a 14-byte jump back.
	static constexpr std::size_t kTrampolineCapacity = 50;

	static constexpr std::uint64_t kNearJumpSize = 5;       // E9 rel32
	static constexpr std::uint64_t kAbsoluteJumpSize = 14;  // FF 25 00000000, address

	InlineHook() = default;
	InlineHook(const InlineHook&) = delete;
	InlineHook& operator=(const InlineHook&) = delete;

	// Restore; if the target can no longer be made writable the detour stays in place
	// and its trampoline is deliberately leaked, so that the game's jump and the
	// replacement's calls through the trampoline keep working.
	~InlineHook();

	// Detours the function at a_function (after following its leading jumps) to
	// a_replacement. Returns true once the jump is in place.
	bool Install(std::uint8_t* a_function, const void* a_replacement);

	// The same for a replacement given as a function, and for a target given as an
	// address (as REL::ResolveID returns it).
	template <class Function>
		requires std::is_function_v<Function>
	bool Install(std::uint8_t* a_function, Function* a_replacement)
	{
		return Install(a_function, reinterpret_cast<const void*>(a_replacement));
	}

	template <class Function>
		requires std::is_function_v<Function>
	bool Install(std::uintptr_t a_function, Function* a_replacement)
	{
		return Install(reinterpret_cast<std::uint8_t*>(a_function), reinterpret_cast<const void*>(a_replacement));
	}

	// Writes the stolen bytes back to the target and empties the record. With no detour
	// in place it writes nothing. When the target cannot be made writable it writes
	// nothing either, and the record stays installed.
	void Restore();

	// Where the game's own function is called from now on: the start of the trampoline,
	// or null when there is none (not installed).
	[[nodiscard]] void* TrampolineAddress() const noexcept;

	template <class Function>
	[[nodiscard]] Function* TrampolineAs() const noexcept
	{
		return reinterpret_cast<Function*>(TrampolineAddress());
	}

	// The address a chain of leading jumps at a_code ends at: FF 25 (through the pointer
	// it addresses), E9, and EB other than EB 00 and EB 80 are followed, at most
	// kMaxJumpsFollowed of them.
	[[nodiscard]] static std::uint8_t* FollowJumps(std::uint8_t* a_code);

	// The length of a jump written at a_from to a_to: 5 when the near jump's
	// displacement, a_to - (a_from + 5), fits in a signed 32-bit value, else 14.
	[[nodiscard]] static std::uint64_t JumpSize(const void* a_from, const void* a_to) noexcept;

	// The detour record, its nine fields in their fixed order.
	std::uint8_t*             target{ nullptr };           // the function's entry after following leading jumps
	const void*               replacement{ nullptr };      // the replacement function
	std::uint8_t*             patchAddress{ nullptr };     // where the jump is written (= target)
	const void*               jumpDestination{ nullptr };  // where that jump goes (= replacement)
	std::uint64_t             jumpSize{ 0 };               // 5 or 14
	std::uint64_t             returnJumpSize{ 0 };         // 5 or 14: the jump at the end of the trampoline
	std::vector<std::uint8_t> trampoline;                  // stolen bytes, then the jump back
	std::uint64_t             stolenLength{ 0 };           // bytes taken from target; 0 = none
	std::int32_t              installed{ 0 };              // 1 while the detour is in place

	// Diagnostics of the last failed Install.
	Failure             failure{ Failure::None };
	const std::uint8_t* failedAt{ nullptr };

private:
	bool Fail(Failure a_failure, const std::uint8_t* a_where);
	bool MeasureStolenRun();
};
