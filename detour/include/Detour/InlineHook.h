#pragma once

// Inline function detour.
//
// Install overwrites the first instructions of a function of the running game with a
// jump to a replacement, and moves those instructions ("stolen bytes") into a
// trampoline: the stolen instructions, rewritten where they depend on their place,
// followed by a jump back to the rest of the function. Calling the trampoline runs the
// game's own function as it was. Restore, run when the record is destroyed at unload,
// writes the stolen bytes back.
//
// Install is two steps: PlanDetour (DetourPlan.h) computes every byte to be written
// from the target's bytes and the addresses alone; Install finds memory and writes it.
//
// What Install does, and what the game's functions mean for it
// ------------------------------------------------------------
// 1. The trampoline and a relay sit in a page of executable memory of the detour's own
//    within +-2 GiB of the target, in a block of address space shared with other
//    detours near it. The target gets a 5-byte E9 to the relay, an FF 25 absolute jump
//    on to the replacement (`jumpDestination` is where the target's own jump goes,
//    `jumpSize` 5), even when the replacement is near: the relay is what Restore can
//    redirect when it may not write the entry back (see "Among other hooks"). Only when
//    no near block can be had, the target gets the 14-byte FF 25 absolute jump to the
//    relay and the slot goes anywhere; position-dependent stolen instructions are then
//    refused.
// 2. Position-dependent stolen instructions are relocated: a rip-relative operand gets
//    its displacement rewritten (refused if it no longer fits 32 bits); jmp rel8/rel32
//    becomes E9 rel32 or an FF 25 absolute jump; call rel32 becomes E8 rel32, or
//    `call [rip+2]; jmp +8; <address>` (FF 15 02000000, EB 08, 8 bytes), so the callee
//    returns into the trampoline and the run goes on as the original would; Jcc becomes
//    0F 8x rel32, or the inverted Jcc over an FF 25 absolute jump; loop, loope, loopne
//    and jrcxz stay, as `loop +2; jmp short over; jmp destination`. A branch into the
//    stolen bytes lands on the relocated copy of its instruction; one into the middle
//    of an instruction is refused (Unrelocatable).
// 3. The run never leaves the function: a return, an unconditional jump (E9, EB, FF /4,
//    FF /5) or ud2 may be the last stolen instruction, never one before it; int3 (CC,
//    padding or a debugger's breakpoint) is never taken.
// 4. The target must be executable memory (TargetNotExecutable otherwise): nothing is
//    read from or written to anything else. Where the image's function table covers
//    it, it must be a function's start (InsideFunction otherwise): the game's compiler
//    gives every function with a frame an entry, and an Address Library of another game
//    version points into the middle of this one's functions.
// 5. Leading jumps are followed (FollowJumps), after the given address has passed the
//    function-table check of 4: a target that starts with E9, EB (except EB 00 and EB 80)
//    or FF 25 is not patched itself; the detour goes where the chain ends, at most
//    kMaxJumpsFollowed jumps on, reading only memory the system says is there and
//    refusing a jump that leads out of executable code.
// 6. The address through which the replacement calls the game's own function can be
//    published by Install itself, after the trampoline is live and before the target
//    is patched: a game thread that reaches the replacement at once never calls
//    through null.
//
// Examples, as the sandbox's game stand-in uses them (far replacement, near block):
//    48 89 5C 24 08 | 48 89 74 24 10 | ...        5 bytes stolen, copied as they are
//    48 8B 05 disp32 | ...                        7 stolen; the trampoline's copy reads
//        the same cookie through a rewritten displacement
//    85 D2 | 74 xx | ...                          4 stolen; the je becomes 0F 84 rel32
//
// A failed Install writes nothing, leaves no trampoline, stolenLength 0 and installed
// 0, and says what failed and where in `failure` and `failedAt`. Restore after a failed
// Install writes nothing.
//
// Other threads. Install and Restore write the target while every other thread of the
// process is held (by a ThreadFreeze on Windows; the native build holds none), so that no
// thread runs half-written bytes. A held thread that stands at a stolen instruction
// other than the first is moved to that instruction's copy in the trampoline; one at
// the entry stays and takes the jump. Restore moves a thread at a copy back to its
// instruction, and one at the trampoline's closing jump to the first byte after the
// stolen ones. A thread anywhere else in the relay or the trampoline cannot be moved:
// Restore then leaves their page to it for good, as it does whenever the stolen bytes
// hold a call (see "Slots that are never given back"). A thread created while the
// freeze lists the threads is not held.
//
// A trampoline's page is read/write only before it holds live code, then execute/read
// for good: installing another detour never makes a live trampoline non-executable,
// not even briefly. (A pass-through, below, stores the relay's new pointer with the page
// execute/read/write for that one store, every other thread held.)
//
// Among other hooks. The target's jump always goes to the relay, a page of the detour's
// own that outlives the module holding the replacement. Another plugin may hook the
// same function after us: it saves our jump as "the original bytes" and writes its own.
// Restore therefore writes the stolen bytes back only while the entry still holds
// exactly the bytes Install wrote (and only reads the entry while it is mapped code).
// Otherwise it leaves the entry alone and turns the detour into a pass-through: the
// relay is pointed at the trampoline, so whatever still jumps to us (the other hook's
// trampoline, or our jump written back by its removal) runs the game's own code, also
// once our module is gone. That relay and trampoline are never given back.
//
// Slots that are never given back. A trampoline whose address was ever handed out
// (published by Install, or read through TrampolineAddress) may still be called by a
// replacement that is running, and one whose stolen bytes hold any call (E8, FF 15,
// FF D0, ...) may still be returned into by a callee: Restore leaves such a slot to the
// pool, sealed and never reused. The cost is one slot (one page) per restore.
//
// A process that is ending has nothing to undo: LeaveInPlace forgets the detour without
// touching memory, so that the destructor writes nothing while the loader lock is held.

#include "Detour/DetourPlan.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace Detour
{
	class InlineHook
	{
	public:
		// Why the last Install returned false.
		using Failure = DetourFailure;

		// The longest run of jumps FollowJumps walks; a real chain (an import thunk, another
		// detour) is one to three jumps long, and a cycle (EB FE) must not hang the loader.
		static constexpr int kMaxJumpsFollowed = 16;

		// The jump sizes of DetourPlan.h, where the record's users look for them.
		static constexpr std::uint64_t kNearJumpSize = Detour::kNearJumpSize;         // E9 rel32
		static constexpr std::uint64_t kAbsoluteJumpSize = Detour::kAbsoluteJumpSize; // FF 25 00000000, address

		InlineHook() = default;
		InlineHook(const InlineHook&) = delete;
		InlineHook& operator=(const InlineHook&) = delete;

		// Restore; if the target can no longer be made writable the detour becomes a
		// pass-through instead: the replacement goes away with its module, and the game's
		// jump must still reach the game's own code.
		~InlineHook();

		// Detours the function at a_function (after following its leading jumps) to
		// a_replacement. Returns true once the jump is in place. When a_publish is given,
		// the trampoline's address is stored there once the trampoline is live and before
		// the target is patched (and null again if the patch then fails).
		bool Install(std::uint8_t* a_function, const void* a_replacement, void** a_publish = nullptr);

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

		// The same, publishing the trampoline as the game function's own pointer type
		// (a_original) before the target is patched.
		template <class Replacement, class Original>
		requires std::is_function_v<Replacement> && std::is_function_v<Original>
		bool Install(std::uintptr_t a_function, Replacement* a_replacement, Original** a_original)
		{
			return Install(reinterpret_cast<std::uint8_t*>(a_function), reinterpret_cast<const void*>(a_replacement), reinterpret_cast<void**>(a_original));
		}

		// Writes the stolen bytes back to the target and empties the record; the trampoline's
		// page goes back to the pool unless a thread may still run there (see above). With
		// no detour in place it writes nothing. When the entry no longer holds our jump, the
		// target is left as it is and the detour becomes a pass-through (see above); the
		// record is emptied. When what is still mapped of the entry holds our jump but the
		// entry cannot be made writable, nothing is written and the record stays installed.
		void Restore();

		// Forgets the detour and writes nothing: the jump, the relay and the trampoline stay
		// as they are for good. For a process that is ending, where no game code runs any
		// more and a restore would only be work under the loader lock.
		void LeaveInPlace() noexcept;

		// Where the game's own function is called from now on: the trampoline in its
		// executable block, or null when there is none (not installed). Once read, the
		// trampoline is never given back.
		[[nodiscard]] void* TrampolineAddress() const noexcept;

		template <class Function>
		[[nodiscard]] Function* TrampolineAs() const noexcept
		{
			return reinterpret_cast<Function*>(TrampolineAddress());
		}

		// Where a walk along leading jumps ended (`end`), or why it was refused (`failure`,
		// `failedAt`, and `end` null).
		struct JumpWalk
		{
			std::uint8_t*       end{ nullptr };
			Failure             failure{ Failure::None };
			const std::uint8_t* failedAt{ nullptr };
		};

		// The address a chain of leading jumps at a_code ends at: FF 25 (through the pointer
		// it addresses), E9, and EB other than EB 00 and EB 80 are followed, at most
		// kMaxJumpsFollowed of them. Every byte and pointer it reads is first checked with
		// the memory query the install uses, and a_code and each jump's destination must be
		// executable: otherwise the walk is refused, TargetNotExecutable (at the address
		// that is not code, or at a jump whose bytes are not all code) or
		// JumpPointerUnreadable (at an FF 25 whose pointer cannot be read). It never faults.
		[[nodiscard]] static JumpWalk FollowJumps(std::uint8_t* a_code);

		// The length of a jump written at a_from to a_to: 5 when the near jump's
		// displacement, a_to - (a_from + 5), fits in a signed 32-bit value, else 14.
		[[nodiscard]] static std::uint64_t JumpSize(const void* a_from, const void* a_to) noexcept;

		// The detour record, its nine fields in their fixed order.
		std::uint8_t*             target{ nullptr };          // the function's entry after following leading jumps
		const void*               replacement{ nullptr };     // the replacement function
		std::uint8_t*             patchAddress{ nullptr };    // where the jump is written (= target)
		const void*               jumpDestination{ nullptr }; // where that jump goes: the relay or the replacement
		std::uint64_t             jumpSize{ 0 };              // 5 or 14
		std::uint64_t             returnJumpSize{ 0 };        // 5 or 14: the jump at the end of the trampoline
		std::vector<std::uint8_t> trampoline;                 // a record of the bytes written to the trampoline
		std::uint64_t             stolenLength{ 0 };          // bytes taken from target; 0 = none
		std::int32_t              installed{ 0 };             // 1 while the detour is in place

		// The target's bytes as they were, written back by Restore.
		std::vector<std::uint8_t> stolenBytes;
		// Where the trampoline and the relay live (null when there is none).
		std::uint8_t* trampolineAddress{ nullptr };
		std::uint8_t* relayAddress{ nullptr };
		// How each stolen instruction was carried into the trampoline.
		std::vector<StolenInstruction> instructions;

		// Diagnostics of the last failed Install.
		Failure             failure{ Failure::None };
		const std::uint8_t* failedAt{ nullptr };

	private:
		enum class Unhooked
		{
			WrittenBack, // the stolen bytes are back at the target
			PassThrough, // the entry is someone else's now: the relay leads to the trampoline
			NotWritable  // our jump is still there and could not be made writable
		};

		bool                      Fail(Failure a_failure, const std::uint8_t* a_where);
		Unhooked                  Unhook();
		[[nodiscard]] std::size_t ReadableEntry() const noexcept;
		bool                      RelayToTrampoline() noexcept;
		void                      ReturnSlot();
		void                      Empty(); // gives the slot back (unless kept) and forgets the stolen run: not installed

		// The slot of the shared block holding the relay and the trampoline.
		std::uint8_t* _slot{ nullptr };
		std::size_t   _slotSize{ 0 };
		// Someone may still run the slot's code (see above): it is never given back.
		mutable bool _keepSlot{ false };
		// The bytes Install wrote at the target: the jump and its padding.
		std::vector<std::uint8_t> _patch;
	};
} // namespace Detour
