// Inline function detour. See InlineHook.h for what is accepted and why.

#include "Detour/InlineHook.h"

#include "CodeMemory.h"
#include "Detour/InstructionLengthDecoder.h"
#include "ThreadFreeze.h"
#include "TrampolinePool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <span>

namespace Detour
{
	namespace
	{
		// The target's bytes the plan may look at: enough for the longest run it steals
		// (13 bytes and a 15-byte instruction), and the whole function where its size is
		// known (the plan walks all of it for branches back into the stolen bytes), never
		// past the executable memory there.
		constexpr std::size_t kCodeWindow = 32;
		// The longest leading jump: FF 25 and its 32-bit displacement.
		constexpr std::size_t kLongestLeadingJump = 6;

		std::int32_t ReadInt32(const std::uint8_t* a_at)
		{
			std::int32_t value;
			std::memcpy(&value, a_at, sizeof value);
			return value;
		}

		std::uint8_t* Offset(const std::uint8_t* a_at, std::int64_t a_offset)
		{
			return reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(a_at) + static_cast<std::uintptr_t>(a_offset));
		}

		std::uintptr_t AddressOf(const void* a_at)
		{
			return reinterpret_cast<std::uintptr_t>(a_at);
		}

		// Where a thread held at a_ip goes once the jump covers the stolen bytes. One that
		// stands at a stolen instruction after the first has begun the function's first
		// instructions: it goes on at that instruction's copy in the trampoline, which runs
		// the rest of them and jumps back. One at the entry has not begun; it stays and
		// takes the jump, as any call made from now on. Nothing else is inside the run.
		std::uintptr_t IntoTrampoline(const InlineHook& a_hook, std::uintptr_t a_ip) noexcept
		{
			const std::uintptr_t target = AddressOf(a_hook.target);
			if (a_ip <= target || a_ip >= target + a_hook.stolenLength) {
				return a_ip;
			}
			for (const StolenInstruction& instruction : a_hook.instructions) {
				if (a_ip == target + instruction.offset) {
					return AddressOf(a_hook.trampolineAddress) + instruction.trampolineOffset;
				}
			}
			return a_ip;
		}

		// The way back once the stolen bytes are written back: a thread at the start of a
		// copy goes on at its original instruction, one at the trampoline's closing jump
		// right after the stolen bytes, where that jump would have taken it.
		std::uintptr_t OutOfTrampoline(const InlineHook& a_hook, std::uintptr_t a_ip) noexcept
		{
			const std::uintptr_t trampoline = AddressOf(a_hook.trampolineAddress);
			for (const StolenInstruction& instruction : a_hook.instructions) {
				if (a_ip == trampoline + instruction.trampolineOffset) {
					return AddressOf(a_hook.target) + instruction.offset;
				}
			}
			if (a_ip == trampoline + a_hook.trampoline.size() - a_hook.returnJumpSize) {
				return AddressOf(a_hook.target) + a_hook.stolenLength;
			}
			return a_ip;
		}

		// Whether a stolen instruction calls out: its callee returns into the trampoline,
		// and no freeze sees a return address on another thread's stack.
		bool HoldsCall(std::span<const std::uint8_t> a_stolen, std::span<const StolenInstruction> a_instructions)
		{
			// The decoder reads only an instruction's own bytes; int3 after the run keeps
			// even a misjudged read inside this buffer.
			std::array<std::uint8_t, kCodeWindow + 16> padded{};
			padded.fill(0xCC);
			std::copy_n(a_stolen.begin(), std::min(a_stolen.size(), kCodeWindow), padded.begin());
			return std::ranges::any_of(a_instructions, [&](const StolenInstruction& a_instruction) {
				const auto branch = MeasureInstruction(padded.data() + a_instruction.offset, kX86_64Mode).branch;
				return branch == InstructionInfo::Branch::Call || branch == InstructionInfo::Branch::IndirectCall;
			});
		}

		// The relay is FF 25 00000000 followed by the address it jumps to.
		constexpr std::size_t kRelayDestinationOffset = 6;
	} // namespace

	InlineHook::~InlineHook()
	{
		Restore();
		if (installed != 0) {
			// Our jump is still there and could not be made writable. The replacement goes
			// away with this module; the game's calls must still reach the game's code.
			const ThreadFreeze freeze;
			RelayToTrampoline();
			LeaveInPlace();
		}
	}

	void InlineHook::LeaveInPlace() noexcept
	{
		if (installed == 0) {
			return;
		}
		// The slot is dropped from the record, not returned: its code stays live for good.
		_slot = nullptr;
		_slotSize = 0;
		_keepSlot = false;
		installed = 0;
	}

	InlineHook::JumpWalk InlineHook::FollowJumps(std::uint8_t* a_code)
	{
		// Nothing is read before the memory query says it is there: the address may come
		// from a database for another game version, and the bytes there may only look
		// like jumps.
		const auto    refuse = [](Failure a_failure, const std::uint8_t* a_at) { return JumpWalk{ nullptr, a_failure, a_at }; };
		std::uint8_t* p = a_code;
		if (CodeMemory::ExecutableLength(p, 1) == 0) {
			return refuse(Failure::TargetNotExecutable, p);
		}
		for (int jumps = 0; jumps < kMaxJumpsFollowed; ++jumps) {
			const std::size_t readable = CodeMemory::ExecutableLength(p, kLongestLeadingJump);
			std::uint8_t*     next = nullptr;
			if (p[0] == 0xFF && readable >= 2 && p[1] == 0x25) {
				// jmp [rip+d]: the destination is the pointer stored at the next instruction + d.
				if (readable < 6) {
					return refuse(Failure::TargetNotExecutable, p);
				}
				const std::uint8_t* const slot = Offset(p, 6 + std::int64_t{ ReadInt32(p + 2) });
				if (CodeMemory::ReadableLength(slot, sizeof next) < sizeof next) {
					return refuse(Failure::JumpPointerUnreadable, p);
				}
				std::memcpy(&next, slot, sizeof next);
			} else if (p[0] == 0xE9) {
				if (readable < 5) {
					return refuse(Failure::TargetNotExecutable, p);
				}
				next = Offset(p, 5 + std::int64_t{ ReadInt32(p + 1) });
			} else if (p[0] == 0xEB && readable >= 2 && p[1] != 0x00 && p[1] != 0x80) {
				next = Offset(p, 2 + std::int64_t{ static_cast<std::int8_t>(p[1]) });
			} else {
				break;
			}
			if (CodeMemory::ExecutableLength(next, 1) == 0) {
				return refuse(Failure::TargetNotExecutable, next);
			}
			p = next;
		}
		return { p, Failure::None, nullptr };
	}

	std::uint64_t InlineHook::JumpSize(const void* a_from, const void* a_to) noexcept
	{
		return Detour::JumpSize(reinterpret_cast<std::uintptr_t>(a_from), reinterpret_cast<std::uintptr_t>(a_to));
	}

	void* InlineHook::TrampolineAddress() const noexcept
	{
		if (installed == 0) {
			return nullptr;
		}
		_keepSlot = true; // handed out: a replacement may call it after any restore
		return trampolineAddress;
	}

	void InlineHook::ReturnSlot()
	{
		if (_slot != nullptr && !_keepSlot) {
			TrampolinePool::Instance().Return({ _slot, _slotSize });
		}
		// A kept slot is left to the pool as it is, sealed, never handed out again.
		_slot = nullptr;
		_slotSize = 0;
		_keepSlot = false;
	}

	bool InlineHook::Fail(Failure a_failure, const std::uint8_t* a_where)
	{
		failure = a_failure;
		failedAt = a_where;
		Empty();
		return false;
	}

	void InlineHook::Empty()
	{
		ReturnSlot();
		std::vector<std::uint8_t>().swap(trampoline);
		std::vector<std::uint8_t>().swap(stolenBytes);
		std::vector<std::uint8_t>().swap(_patch);
		instructions.clear();
		trampolineAddress = nullptr;
		relayAddress = nullptr;
		stolenLength = 0;
		installed = 0;
	}

	bool InlineHook::Install(std::uint8_t* a_function, const void* a_replacement, void** a_publish)
	{
		if (installed != 0) {
			failure = Failure::AlreadyInstalled;
			failedAt = nullptr;
			return false;
		}
		failure = Failure::None;
		failedAt = nullptr;
		replacement = a_replacement;

		// Nothing is read from, let alone written to, memory that is not code. An address
		// the image's table places in the middle of a function is no function's entry: it
		// is refused before any jump there is followed, or a tail jump inside one function
		// would lead to the start of another, which would pass.
		target = patchAddress = a_function;
		if (CodeMemory::ExecutableLength(a_function, 1) == 0) {
			return Fail(Failure::TargetNotExecutable, a_function);
		}
		const auto given = CodeMemory::LocateFunction(a_function);
		if (given.kind == FunctionTable::Position::Kind::InsideFunction) {
			return Fail(Failure::InsideFunction, a_function);
		}
		const JumpWalk walk = FollowJumps(a_function);
		if (walk.failure != Failure::None) {
			return Fail(walk.failure, walk.failedAt);
		}
		target = patchAddress = walk.end;
		// The function's extent, where the image records it, bounds the run and lets the
		// plan check the rest of the function for branches back into the stolen bytes.
		// Where the jumps lead must be a function's entry too.
		const auto position = target == a_function ? given : CodeMemory::LocateFunction(target);
		if (position.kind == FunctionTable::Position::Kind::InsideFunction) {
			return Fail(Failure::InsideFunction, target);
		}
		const std::size_t functionSize = position.size;
		const std::size_t available = CodeMemory::ExecutableLength(target, std::max(kCodeWindow, functionSize));
		if (available == 0) {
			return Fail(Failure::TargetNotExecutable, target);
		}
		const std::span<const std::uint8_t> code{ target, available };
		const auto                          targetAddress = reinterpret_cast<std::uintptr_t>(target);
		const auto                          replacementAddress = reinterpret_cast<std::uintptr_t>(a_replacement);

		// A slot near the target for the relay and the trampoline, sized for the longest
		// plan, in a page of its own; else a slot anywhere, where the plan falls back to
		// the absolute jump. The relay is there even for a near replacement: it is what a
		// restore among other hooks turns into a pass-through.
		TrampolinePool&       pool = TrampolinePool::Instance();
		constexpr std::size_t relaySize = kRelaySize;
		TrampolinePool::Slot  slot = pool.Take(targetAddress, relaySize + kMaxTrampolineSize);
		if (!slot) {
			slot = pool.Take(0, relaySize + kMaxTrampolineSize);
		}
		if (!slot) {
			return Fail(Failure::NoTrampolineMemory, target);
		}
		_slot = slot.address;
		_slotSize = slot.size;

		const auto       slotAddress = reinterpret_cast<std::uintptr_t>(slot.address);
		const DetourPlan plan = PlanDetour(code, targetAddress, replacementAddress, slotAddress + relaySize, slotAddress, functionSize, position.imageBase);
		if (!plan.ok()) {
			return Fail(plan.failure, target + plan.failedAt);
		}

		jumpSize = plan.jumpSize;
		jumpDestination = reinterpret_cast<const void*>(plan.jumpDestination);
		returnJumpSize = plan.returnJumpSize;
		stolenLength = plan.stolenLength;
		stolenBytes.assign(target, target + stolenLength);
		_patch = plan.patch;
		_keepSlot = HoldsCall(stolenBytes, plan.instructions);
		trampoline = plan.trampoline;
		instructions = plan.instructions;
		trampolineAddress = slot.address + relaySize;
		relayAddress = plan.relay.empty() ? nullptr : slot.address;

		// Written while nothing can run there yet, then sealed execute/read for good.
		if ((!plan.relay.empty() && !pool.Write(slot, 0, plan.relay)) || !pool.Write(slot, relaySize, plan.trampoline) || !pool.Seal(slot)) {
			return Fail(Failure::TrampolineNotExecutable, slot.address);
		}

		// The trampoline is live: publish it before any thread can reach the replacement.
		if (a_publish != nullptr) {
			_keepSlot = true; // handed out: never given back, even if the patch fails now
			*a_publish = trampolineAddress;
			std::atomic_thread_fence(std::memory_order_release);
		}

		// Every other thread is held while the target changes: none runs half-written
		// bytes, and one that had begun the stolen instructions finishes them in the
		// trampoline. Nothing between here and the freeze's end allocates or locks. (A
		// held thread's context is only refused for one that is being torn down; it does
		// not run the function again.)
		bool written = false;
		{
			ThreadFreeze                freeze;
			CodeMemory::SavedProtection former;
			if (CodeMemory::MakeWritable(target, stolenLength, former)) {
				std::memcpy(target, plan.patch.data(), stolenLength);
				freeze.MoveInstructionPointers([this](std::uintptr_t a_ip) { return IntoTrampoline(*this, a_ip); });
				CodeMemory::RestoreProtection(target, stolenLength, former);
				CodeMemory::FlushInstructionCache(target, stolenLength);
				written = true;
			}
		}
		if (!written) {
			if (a_publish != nullptr) {
				*a_publish = nullptr;
			}
			return Fail(Failure::TargetNotWritable, target);
		}

		installed = 1;
		return true;
	}

	std::size_t InlineHook::ReadableEntry() const noexcept
	{
		// Only what is still mapped code is read: the module holding the target (another
		// plugin's replacement, say) may have been unloaded under us.
		return CodeMemory::ExecutableLength(target, stolenLength);
	}

	bool InlineHook::RelayToTrampoline() noexcept
	{
		if (relayAddress == nullptr) {
			return false;
		}
		// The relay's page is sealed; it is made writable for the one pointer store while
		// every other thread is held, and stays executable throughout. The store sits in
		// one cache line: a thread that was not held sees the old or the new destination.
		std::uint8_t* const         destination = relayAddress + kRelayDestinationOffset;
		const auto                  to = reinterpret_cast<std::uintptr_t>(trampolineAddress);
		CodeMemory::SavedProtection former;
		if (!CodeMemory::MakeWritable(destination, sizeof to, former)) {
			return false;
		}
		std::memcpy(destination, &to, sizeof to);
		CodeMemory::RestoreProtection(destination, sizeof to, former);
		CodeMemory::FlushInstructionCache(relayAddress, kRelaySize);
		return true;
	}

	InlineHook::Unhooked InlineHook::Unhook()
	{
		// A relocated call returns into the trampoline: a thread in its callee now
		// (invisible to the freeze, which sees instruction pointers, not return
		// addresses) will come back to it. HoldsCall made that slot one to keep.
		ThreadFreeze      freeze;
		const std::size_t readable = ReadableEntry();
		if (std::memcmp(target, _patch.data(), readable) != 0) {
			// Another hook wrote over our jump, having saved it as its original bytes:
			// writing ours back would erase that hook, and its removal would later write
			// our jump back. Whoever reaches us goes on to the game's code instead.
			RelayToTrampoline();
			_keepSlot = true;
			return Unhooked::PassThrough;
		}
		CodeMemory::SavedProtection former;
		if (readable < stolenLength || !CodeMemory::MakeWritable(target, stolenLength, former)) {
			return Unhooked::NotWritable; // write nothing to a range whose protection did not change
		}
		std::memcpy(target, stolenBytes.data(), stolenLength);
		// A thread inside the slot that cannot be moved out (in the relay, on its way to
		// the replacement, or within a copy of several instructions) keeps the slot alive:
		// the trampoline still runs to its end and jumps back into the function, whose
		// bytes past the stolen ones never changed.
		const std::uintptr_t slotStart = AddressOf(_slot);
		const std::uintptr_t slotEnd = slotStart + _slotSize;
		bool                 slotInUse = false;
		const bool           allMoved = freeze.MoveInstructionPointers([&](std::uintptr_t a_ip) {
            const std::uintptr_t moved = OutOfTrampoline(*this, a_ip);
            if (moved == a_ip && a_ip >= slotStart && a_ip < slotEnd) {
                slotInUse = true;
            }
            return moved;
        });
		_keepSlot = _keepSlot || slotInUse || !allMoved;
		CodeMemory::RestoreProtection(target, stolenLength, former);
		CodeMemory::FlushInstructionCache(target, stolenLength);
		return Unhooked::WrittenBack;
	}

	void InlineHook::Restore()
	{
		if (installed != 0 && Unhook() == Unhooked::NotWritable) {
			return; // still installed: a later Restore may succeed
		}
		Empty();
	}
} // namespace Detour
