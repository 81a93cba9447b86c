// Inline function detour. See InlineHook.h for what is accepted and why.

#include "Detour/InlineHook.h"

#include "CodeMemory.h"
#include "TrampolinePool.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <span>

namespace Detour
{
	namespace
	{
		// The target's bytes the plan may look at: enough for the longest run it steals
		// (13 bytes and a 15-byte instruction), never past the executable memory there.
		constexpr std::size_t kCodeWindow = 32;
		// How much of a function of known size is scanned for branches into the stolen bytes.
		constexpr std::size_t kLongestScannedFunction = 0x10000;

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
	} // namespace

	InlineHook::~InlineHook()
	{
		Restore();
		// Still installed when the target could not be made writable: the slot stays, so
		// that the game's jump and the replacement's calls through it keep working.
	}

	std::uint8_t* InlineHook::FollowJumps(std::uint8_t* a_code)
	{
		std::uint8_t* p = a_code;
		for (int jumps = 0; jumps < kMaxJumpsFollowed; ++jumps) {
			if (p[0] == 0xFF && p[1] == 0x25) {
				// jmp [rip+d]: the destination is the pointer stored at the next instruction + d.
				std::uint8_t* destination;
				std::memcpy(&destination, Offset(p, 6 + std::int64_t{ ReadInt32(p + 2) }), sizeof destination);
				p = destination;
			} else if (p[0] == 0xE9) {
				p = Offset(p, 5 + std::int64_t{ ReadInt32(p + 1) });
			} else if (p[0] == 0xEB && p[1] != 0x00 && p[1] != 0x80) {
				p = Offset(p, 2 + std::int64_t{ static_cast<std::int8_t>(p[1]) });
			} else {
				break;
			}
		}
		return p;
	}

	std::uint64_t InlineHook::JumpSize(const void* a_from, const void* a_to) noexcept
	{
		// A backward near jump reaches 5 bytes less far than a forward one: the
		// displacement is taken from the end of the jump.
		return NearReach(reinterpret_cast<std::uintptr_t>(a_from), kNearJumpSize, reinterpret_cast<std::uintptr_t>(a_to)) ? kNearJumpSize : kAbsoluteJumpSize;
	}

	void* InlineHook::TrampolineAddress() const noexcept
	{
		return installed != 0 ? trampolineAddress : nullptr;
	}

	void InlineHook::ReturnSlot()
	{
		if (_slot != nullptr) {
			TrampolinePool::Instance().Return({ _slot, _slotSize });
			_slot = nullptr;
			_slotSize = 0;
		}
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

		// Nothing is read from, let alone written to, memory that is not code.
		if (CodeMemory::ExecutableLength(a_function, 1) == 0) {
			target = patchAddress = a_function;
			return Fail(Failure::TargetNotExecutable, a_function);
		}
		target = FollowJumps(a_function);
		patchAddress = target;
		// The function's extent, where the image records it, bounds the run and lets the
		// plan check the rest of the function for branches back into the stolen bytes. An
		// address the table places in the middle of a function is no function's entry.
		const auto position = CodeMemory::LocateFunction(target);
		if (position.kind == FunctionTable::Position::Kind::InsideFunction) {
			return Fail(Failure::InsideFunction, target);
		}
		const std::size_t functionSize = position.size;
		const std::size_t available = CodeMemory::ExecutableLength(target, std::max(kCodeWindow, std::min(functionSize, kLongestScannedFunction)));
		if (available == 0) {
			return Fail(Failure::TargetNotExecutable, target);
		}
		const std::span<const std::uint8_t> code{ target, available };
		const auto                          targetAddress = reinterpret_cast<std::uintptr_t>(target);
		const auto                          replacementAddress = reinterpret_cast<std::uintptr_t>(a_replacement);

		// A slot near the target for the relay (when the replacement is out of near reach)
		// and the trampoline, sized for the longest plan, in a page of its own; else a slot
		// anywhere, where the plan falls back to the absolute jump.
		TrampolinePool&      pool = TrampolinePool::Instance();
		const std::size_t    relaySize = NearReach(targetAddress, kNearJumpSize, replacementAddress) ? 0 : kRelaySize;
		TrampolinePool::Slot slot = pool.Take(targetAddress, relaySize + kMaxTrampolineSize);
		if (!slot) {
			slot = pool.Take(0, relaySize + kMaxTrampolineSize);
		}
		if (!slot) {
			return Fail(Failure::NoTrampolineMemory, target);
		}
		_slot = slot.address;
		_slotSize = slot.size;

		const auto       slotAddress = reinterpret_cast<std::uintptr_t>(slot.address);
		const DetourPlan plan = PlanDetour(code, targetAddress, replacementAddress, slotAddress + relaySize, relaySize != 0 ? slotAddress : 0, functionSize);
		if (!plan.ok()) {
			return Fail(plan.failure, target + plan.failedAt);
		}

		jumpSize = plan.jumpSize;
		jumpDestination = reinterpret_cast<const void*>(plan.jumpDestination);
		returnJumpSize = plan.returnJumpSize;
		stolenLength = plan.stolenLength;
		stolenBytes.assign(target, target + stolenLength);
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
			*a_publish = trampolineAddress;
			std::atomic_thread_fence(std::memory_order_release);
		}

		CodeMemory::Protection former = 0;
		if (!CodeMemory::MakeWritable(target, stolenLength, former)) {
			if (a_publish != nullptr) {
				*a_publish = nullptr;
			}
			return Fail(Failure::TargetNotWritable, target);
		}
		std::memcpy(target, plan.patch.data(), stolenLength);
		CodeMemory::RestoreProtection(target, stolenLength, former);
		CodeMemory::FlushInstructionCache(target, stolenLength);

		installed = 1;
		return true;
	}

	void InlineHook::Restore()
	{
		if (installed != 0) {
			CodeMemory::Protection former = 0;
			if (!CodeMemory::MakeWritable(target, stolenLength, former)) {
				return; // write nothing to a range whose protection did not change
			}
			std::memcpy(target, stolenBytes.data(), stolenLength);
			CodeMemory::RestoreProtection(target, stolenLength, former);
			CodeMemory::FlushInstructionCache(target, stolenLength);
		}
		Empty();
	}
} // namespace Detour
