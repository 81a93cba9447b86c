// The detour's plan. See DetourPlan.h; its phases, DetourPlanPhases.h.

#include "Detour/DetourPlan.h"

#include "Detour/InstructionLengthDecoder.h"
#include "DetourPlanPhases.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <utility>

namespace Detour
{
	std::string_view DescribeFailure(DetourFailure a_failure) noexcept
	{
		switch (a_failure) {
			case DetourFailure::None:
				return "no failure";
			case DetourFailure::AlreadyInstalled:
				return "already installed";
			case DetourFailure::Undecodable:
				return "instruction not decodable";
			case DetourFailure::RunTooLong:
				return "relocated instructions do not fit the trampoline";
			case DetourFailure::RipRelative:
				return "rip-relative operand and no memory near the target";
			case DetourFailure::RelativeBranch:
				return "relative branch and no memory near the target";
			case DetourFailure::FunctionEnds:
				return "function ends before the jump fits";
			case DetourFailure::PastFunctionEnd:
				return "jump would reach past the function's end";
			case DetourFailure::BranchIntoStolenBytes:
				return "a branch of the function lands inside the patched bytes";
			case DetourFailure::Unrelocatable:
				return "instruction cannot be relocated";
			case DetourFailure::CodeTooShort:
				return "code ends before the jump fits";
			case DetourFailure::TargetNotExecutable:
				return "target is not executable memory";
			case DetourFailure::InsideFunction:
				return "target lies inside a function, not at its start";
			case DetourFailure::NoTrampolineMemory:
				return "no memory for the trampoline";
			case DetourFailure::TrampolineNotExecutable:
				return "trampoline could not be made executable";
			case DetourFailure::TargetNotWritable:
				return "target could not be made writable";
			case DetourFailure::RestOfFunctionUnchecked:
				return "cannot check the rest of the function";
			case DetourFailure::JumpPointerUnreadable:
				return "a leading jump's pointer cannot be read";
		}
		return "unknown failure";
	}

	bool NearReach(std::uintptr_t a_from, std::uint64_t a_size, std::uintptr_t a_to) noexcept
	{
		// Measured without wrapping: a branch at the bottom of the address space does not
		// reach the top of it, whatever modular arithmetic would say.
		constexpr std::uintptr_t kTop = std::numeric_limits<std::uintptr_t>::max();
		if (a_size > kTop - a_from) {
			return false;
		}
		const std::uintptr_t end = a_from + a_size;
		constexpr auto       kForward = static_cast<std::uintptr_t>(std::numeric_limits<std::int32_t>::max());
		return a_to >= end ? a_to - end <= kForward : end - a_to <= kForward + 1;
	}

	std::uint64_t JumpSize(std::uintptr_t a_from, std::uintptr_t a_to) noexcept
	{
		// A backward near jump reaches 5 bytes less far than a forward one: the
		// displacement is taken from the end of the jump.
		return NearReach(a_from, kNearJumpSize, a_to) ? kNearJumpSize : kAbsoluteJumpSize;
	}

	namespace
	{
		using Branch = InstructionInfo::Branch;
		using PlanPhases::kLongestInstruction;
		using PlanPhases::Refusal;
		using PlanPhases::Stolen;

		constexpr std::uint8_t   kNop = 0x90;
		constexpr std::uint8_t   kInt3 = 0xCC;
		constexpr std::uintptr_t kTop = std::numeric_limits<std::uintptr_t>::max();

		// Relocated forms that do not fit rel32 reach.
		constexpr std::size_t kNearConditionalSize = 6;          // 0F 8x rel32
		constexpr std::size_t kAbsoluteCallSize = 16;            // FF 15 02000000 | EB 08 | address
		constexpr std::size_t kInvertedConditionalSize = 2 + 14; // J!cc +14 | FF 25 00000000 address

		void Append(std::vector<std::uint8_t>& a_out, std::initializer_list<std::uint8_t> a_bytes)
		{
			a_out.insert(a_out.end(), a_bytes);
		}

		void AppendLittleEndian(std::vector<std::uint8_t>& a_out, std::uint64_t a_value, std::size_t a_bytes)
		{
			for (std::size_t i = 0; i < a_bytes; ++i) {
				a_out.push_back(static_cast<std::uint8_t>(a_value >> (8 * i)));
			}
		}

		// The rel32 for a branch of a_size bytes at a_from to a_to; the caller checked reach.
		std::uint32_t Rel32(std::uintptr_t a_from, std::size_t a_size, std::uintptr_t a_to)
		{
			return static_cast<std::uint32_t>(a_to - (a_from + a_size));
		}

		// E9 rel32 (a_size 5) or FF 25 00000000 and the 8-byte destination (a_size 14).
		void AppendJump(std::vector<std::uint8_t>& a_out, std::uintptr_t a_at, std::uintptr_t a_to, std::uint64_t a_size)
		{
			if (a_size == kNearJumpSize) {
				a_out.push_back(0xE9);
				AppendLittleEndian(a_out, Rel32(a_at, kNearJumpSize, a_to), 4);
			} else {
				Append(a_out, { 0xFF, 0x25, 0, 0, 0, 0 });
				AppendLittleEndian(a_out, a_to, 8);
			}
		}

		// Whether rel32 reaches a_to from anywhere a branch of the trampoline can sit. The
		// forms are chosen before the trampoline's layout is known, so the check covers
		// every place in it.
		bool ReachableFromTrampoline(std::uintptr_t a_trampoline, std::uintptr_t a_to)
		{
			return NearReach(a_trampoline, 0, a_to) && NearReach(a_trampoline, kMaxTrampolineSize, a_to);
		}

		DetourPlan Fail(DetourPlan& a_plan, Refusal a_refusal)
		{
			a_plan.failure = a_refusal.failure;
			a_plan.failedAt = a_refusal.at;
			a_plan.patch.clear();
			a_plan.trampoline.clear();
			a_plan.relay.clear();
			return std::move(a_plan);
		}

		// Whether a 67 prefix (address size 32) is among the instruction's prefixes.
		bool HasAddressSizePrefix(const std::uint8_t* a_bytes, const InstructionInfo& a_info)
		{
			return std::find(a_bytes, a_bytes + a_info.prefixCount, std::uint8_t{ 0x67 }) != a_bytes + a_info.prefixCount;
		}

		// The size of an instruction's copy in the trampoline, by how Relocate carries it.
		std::size_t CopySize(const Stolen& a_stolen)
		{
			const auto length = static_cast<std::size_t>(a_stolen.info.length);
			switch (a_stolen.relocation) {
				case Relocation::Copied:
				case Relocation::RipDisplacement:
					return length;
				case Relocation::Jump:
					return a_stolen.absolute ? kAbsoluteJumpSize : kNearJumpSize;
				case Relocation::Call:
					return a_stolen.absolute ? kAbsoluteCallSize : kNearJumpSize;
				case Relocation::ConditionalJump:
					return a_stolen.absolute ? kInvertedConditionalSize : kNearConditionalSize;
				case Relocation::Loop:
					return (HasAddressSizePrefix(a_stolen.bytes, a_stolen.info) ? 1u : 0u) + 4 + (a_stolen.absolute ? kAbsoluteJumpSize : kNearJumpSize);
			}
			return length;
		}

		// The condition code (0-15) of a Jcc: the low nibble of 70-7F and 0F 80-8F alike.
		std::uint8_t ConditionOf(const Stolen& a_stolen)
		{
			return a_stolen.bytes[a_stolen.info.opcodeOffset + a_stolen.info.opcodeSize - 1] & 0x0F;
		}

		// The near-page question, and where the target's own jump goes.
		void ChooseJump(DetourPlan& a_plan, std::uintptr_t a_relay)
		{
			a_plan.nearPage = NearReach(a_plan.target, kNearJumpSize, a_plan.trampolineAddress) && ReachableFromTrampoline(a_plan.trampolineAddress, a_plan.target);

			// The target's own jump goes through the relay whenever there is one (a page of
			// ours that outlives the replacement's module), in the near form when it reaches;
			// without a relay, straight to the replacement.
			const std::uintptr_t through = a_relay != 0 ? a_relay : a_plan.replacement;
			a_plan.relayAddress = a_relay;
			a_plan.jumpDestination = through;
			a_plan.jumpSize = JumpSize(a_plan.target, through);
		}

		// One copy's bytes at a_here; a_to is where its branch or operand goes from there.
		bool EmitCopy(const Stolen& a_stolen, std::uintptr_t a_here, std::uintptr_t a_to, std::vector<std::uint8_t>& a_out)
		{
			const InstructionInfo& info = a_stolen.info;
			switch (a_stolen.relocation) {
				case Relocation::Copied:
					a_out.insert(a_out.end(), a_stolen.bytes, a_stolen.bytes + info.length);
					break;
				case Relocation::RipDisplacement: {
					if (!NearReach(a_here, static_cast<std::uint64_t>(info.length), a_to)) {
						return false;
					}
					// The instruction's own bytes around a displacement measured from here.
					const std::uint8_t* const displacement = a_stolen.bytes + info.relativeOffset;
					a_out.insert(a_out.end(), a_stolen.bytes, displacement);
					AppendLittleEndian(a_out, Rel32(a_here, static_cast<std::size_t>(info.length), a_to), 4);
					a_out.insert(a_out.end(), displacement + 4, a_stolen.bytes + info.length);
					break;
				}
				case Relocation::Jump:
					AppendJump(a_out, a_here, a_to, a_stolen.absolute ? kAbsoluteJumpSize : kNearJumpSize);
					break;
				case Relocation::Call:
					if (!a_stolen.absolute) {
						a_out.push_back(0xE8);
						AppendLittleEndian(a_out, Rel32(a_here, kNearJumpSize, a_to), 4);
					} else {
						// call [rip+2], returning onto a short jump over the address.
						Append(a_out, { 0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0xEB, 0x08 });
						AppendLittleEndian(a_out, a_to, 8);
					}
					break;
				case Relocation::ConditionalJump:
					if (!a_stolen.absolute) {
						Append(a_out, { 0x0F, static_cast<std::uint8_t>(0x80 | ConditionOf(a_stolen)) });
						AppendLittleEndian(a_out, Rel32(a_here, kNearConditionalSize, a_to), 4);
					} else {
						// The opposite condition skips the absolute jump.
						Append(a_out, { static_cast<std::uint8_t>(0x70 | (ConditionOf(a_stolen) ^ 1)), static_cast<std::uint8_t>(kAbsoluteJumpSize) });
						AppendJump(a_out, a_here + 2, a_to, kAbsoluteJumpSize);
					}
					break;
				case Relocation::Loop: {
					// loop +2 lands on the jump to the destination; falling through, a short
					// jump skips it. An address-size prefix (ecx instead of rcx) is kept.
					const std::uint64_t jump = a_stolen.absolute ? kAbsoluteJumpSize : kNearJumpSize;
					const std::size_t   prefix = HasAddressSizePrefix(a_stolen.bytes, info) ? 1 : 0;
					if (prefix != 0) {
						a_out.push_back(0x67);
					}
					Append(a_out, { a_stolen.bytes[info.opcodeOffset], 0x02, 0xEB, static_cast<std::uint8_t>(jump) });
					AppendJump(a_out, a_here + prefix + 4, a_to, jump);
					break;
				}
			}
			return true;
		}
	} // namespace

	namespace PlanPhases
	{
		InstructionInfo MeasurePadded(std::span<const std::uint8_t> a_code, std::uint8_t (&a_padded)[kPaddedSize])
		{
			std::fill(std::begin(a_padded), std::end(a_padded), kInt3);
			std::copy_n(a_code.begin(), std::min(a_code.size(), kLongestInstruction), a_padded);
			return MeasureInstruction(a_padded, kX86_64Mode);
		}

		Run MeasureRun(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::uint64_t a_jumpSize, std::size_t a_functionSize, bool a_nearPage)
		{
			Run         run;
			std::size_t length = 0;
			while (length < a_jumpSize) {
				if (length >= a_code.size()) {
					run.refusal = { DetourFailure::CodeTooShort, length };
					return run;
				}
				Stolen       instruction;
				std::uint8_t padded[kPaddedSize];
				instruction.offset = length;
				instruction.info = MeasurePadded(a_code.subspan(length), padded);
				const InstructionInfo& info = instruction.info;
				const auto             size = static_cast<std::size_t>(info.length);
				DetourFailure          failure = DetourFailure::None;
				const auto             destination = info.length < 0 ? 0 : static_cast<std::uintptr_t>(RelativeDestination(padded, info, a_target + length));
				// EB 00 goes on to the next instruction: it does not end the function.
				const bool toNext = info.branch == Branch::Jump && destination == a_target + length + size;
				if (info.length < 0) {
					failure = DetourFailure::Undecodable;
				} else if (size > a_code.size() - length) {
					failure = DetourFailure::CodeTooShort;
				} else if (a_functionSize != 0 && length + size > a_functionSize) {
					failure = DetourFailure::PastFunctionEnd;
				} else if (info.branch == Branch::Breakpoint || (info.EndsFlow() && !toNext && length + size < a_jumpSize)) {
					// int3 is padding after a function or a debugger's breakpoint: never the
					// function's own code. A return or unconditional jump may end the run,
					// but what follows it is not this function's.
					failure = DetourFailure::FunctionEnds;
				} else if (!a_nearPage && info.relative != InstructionInfo::Relative::None) {
					failure = info.relative == InstructionInfo::Relative::Memory ? DetourFailure::RipRelative : DetourFailure::RelativeBranch;
				} else if (info.relative == InstructionInfo::Relative::Memory && HasAddressSizePrefix(padded, info)) {
					// With an address-size prefix a rip-relative operand is eip-relative: its
					// address is cut to 32 bits, which a rewritten displacement cannot reproduce.
					failure = DetourFailure::Unrelocatable;
				}
				if (failure != DetourFailure::None) {
					run.refusal = { failure, length };
					return run;
				}
				std::copy_n(padded, size, instruction.bytes);
				instruction.destination = destination;
				run.instructions.push_back(instruction);
				length += size;
			}
			run.length = length;
			return run;
		}

		Refusal Relocate(std::vector<Stolen>& a_run, std::uintptr_t a_target, std::uintptr_t a_trampoline)
		{
			const std::size_t length = a_run.empty() ? 0 : a_run.back().offset + static_cast<std::size_t>(a_run.back().info.length);
			for (Stolen& instruction : a_run) {
				const InstructionInfo& info = instruction.info;
				instruction.relocation = Relocation::Copied;
				if (info.relative == InstructionInfo::Relative::None) {
					continue;
				}
				// A destination past either end of the address space is no place to go.
				if (!NearReach(a_target + instruction.offset, static_cast<std::uint64_t>(info.length), instruction.destination)) {
					return { DetourFailure::Unrelocatable, instruction.offset };
				}
				if (info.relative == InstructionInfo::Relative::Memory) {
					instruction.relocation = Relocation::RipDisplacement; // its reach is checked where the copy lands
					continue;
				}
				// A branch into the stolen bytes goes to the copy of the instruction it lands on.
				if (instruction.destination >= a_target && instruction.destination < a_target + length) {
					const auto landing = std::ranges::find(a_run, instruction.destination - a_target, &Stolen::offset);
					if (landing == a_run.end()) {
						return { DetourFailure::Unrelocatable, instruction.offset }; // into the middle of an instruction
					}
					instruction.internal = static_cast<int>(landing - a_run.begin());
				}
				instruction.absolute = instruction.internal < 0 && !ReachableFromTrampoline(a_trampoline, instruction.destination);
				switch (info.branch) {
					case Branch::Jump:
						instruction.relocation = Relocation::Jump;
						break;
					case Branch::Call:
						instruction.relocation = Relocation::Call;
						break;
					case Branch::ConditionalJump:
						instruction.relocation = Relocation::ConditionalJump;
						break;
					case Branch::Loop:
						instruction.relocation = Relocation::Loop;
						break;
					default:
						break;
				}
			}
			return {};
		}

		Refusal LayOut(const std::vector<Stolen>& a_run, DetourPlan& a_plan)
		{
			// Each copy's size first, so that branches between copies know where they land.
			std::size_t at = 0;
			a_plan.instructions.clear();
			for (const Stolen& instruction : a_run) {
				StolenInstruction record;
				record.offset = static_cast<std::uint8_t>(instruction.offset);
				record.length = static_cast<std::uint8_t>(instruction.info.length);
				record.trampolineOffset = static_cast<std::uint16_t>(at);
				record.trampolineLength = static_cast<std::uint16_t>(CopySize(instruction));
				record.relocation = instruction.relocation;
				record.endsFlow = instruction.info.EndsFlow();
				at += record.trampolineLength;
				a_plan.instructions.push_back(record);
			}
			a_plan.returnJumpSize = JumpSize(a_plan.trampolineAddress + at, a_plan.target + a_plan.stolenLength);
			if (at + a_plan.returnJumpSize > kMaxTrampolineSize) {
				return { DetourFailure::RunTooLong, 0 };
			}
			return {};
		}

		Refusal Emit(const std::vector<Stolen>& a_run, DetourPlan& a_plan)
		{
			std::vector<std::uint8_t>& out = a_plan.trampoline;
			out.clear();
			for (std::size_t i = 0; i < a_run.size(); ++i) {
				const Stolen&            instruction = a_run[i];
				const StolenInstruction& record = a_plan.instructions[i];
				const std::uintptr_t     here = a_plan.trampolineAddress + record.trampolineOffset;
				const std::uintptr_t     to = instruction.internal >= 0 ? a_plan.trampolineAddress + a_plan.instructions[static_cast<std::size_t>(instruction.internal)].trampolineOffset : instruction.destination;
				// Every branch between copies was aimed by the layout: a copy of another size
				// would misplace them all.
				if (!EmitCopy(instruction, here, to, out) || out.size() != std::size_t{ record.trampolineOffset } + record.trampolineLength) {
					return { DetourFailure::Unrelocatable, record.offset };
				}
			}
			AppendJump(out, a_plan.trampolineAddress + out.size(), a_plan.target + a_plan.stolenLength, a_plan.returnJumpSize);

			a_plan.relay.clear();
			if (a_plan.relayAddress != 0) {
				AppendJump(a_plan.relay, a_plan.relayAddress, a_plan.replacement, kAbsoluteJumpSize);
				a_plan.relay.resize(kRelaySize, kInt3);
			}
			a_plan.patch.clear();
			AppendJump(a_plan.patch, a_plan.target, a_plan.jumpDestination, a_plan.jumpSize);
			a_plan.patch.resize(a_plan.stolenLength, kNop);
			return {};
		}
	} // namespace PlanPhases

	DetourPlan PlanDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::uintptr_t a_replacement, std::uintptr_t a_trampoline, std::uintptr_t a_relay, std::size_t a_functionSize,
	                      std::uintptr_t a_imageBase)
	{
		DetourPlan plan;
		plan.target = a_target;
		plan.replacement = a_replacement;
		plan.trampolineAddress = a_trampoline;
		// No address of the plan wraps around the top of the address space.
		if (a_trampoline > kTop - kMaxTrampolineSize) {
			return Fail(plan, { DetourFailure::NoTrampolineMemory, 0 });
		}
		const std::span<const std::uint8_t> code = a_code.first(std::min<std::size_t>(a_code.size(), kTop - a_target));
		ChooseJump(plan, a_relay <= kTop - kRelaySize ? a_relay : 0);

		PlanPhases::Run run = PlanPhases::MeasureRun(code, a_target, plan.jumpSize, a_functionSize, plan.nearPage);
		if (run.refusal) {
			return Fail(plan, run.refusal);
		}
		plan.stolenLength = run.length;
		Refusal refusal = PlanPhases::CheckRestOfFunction(code, a_target, run.length, a_functionSize, a_imageBase);
		if (!refusal) {
			refusal = PlanPhases::Relocate(run.instructions, a_target, a_trampoline);
		}
		if (!refusal) {
			refusal = PlanPhases::LayOut(run.instructions, plan);
		}
		if (!refusal) {
			refusal = PlanPhases::Emit(run.instructions, plan);
		}
		if (refusal) {
			return Fail(plan, refusal);
		}
		return plan;
	}

	DetourPlan DryRunDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_functionSize, std::uintptr_t a_imageBase)
	{
		constexpr std::uintptr_t kBlock = 0x10000;
		constexpr std::uintptr_t kFar = std::uintptr_t{ 64 } << 30;
		// The block below the target's, where there is one that is not block 0 (a relay
		// at address 0 would be no relay); else the one above.
		const std::uintptr_t block = a_target & ~(kBlock - 1);
		const std::uintptr_t page = block >= 2 * kBlock ? block - kBlock : block + kBlock;
		const std::uintptr_t replacement = a_target <= kTop - kFar ? a_target + kFar : a_target - kFar;
		return PlanDetour(a_code, a_target, replacement, page + kRelaySize, page, a_functionSize, a_imageBase);
	}
} // namespace Detour
